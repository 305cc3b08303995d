// Draws the built-in Stream Deck splash sets: the product name and its mark
// (two linked rings, the main and its backup) spread over the keys of each
// deck layout, cut into one image per key and stored in the orientation
// each model displays directly. Output is deterministic, so the committed
// files can be checked by regenerating them.
//
// Usage: streamdeck-splash OUTPUT_FOLDER

#include <cstddef>
#include <cstdio>
#include <cstdlib>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct rgb {
  std::uint8_t r, g, b;
};

struct canvas {
  int width, height;
  std::vector<rgb> pixels;
  canvas(int w, int h) : width(w), height(h), pixels(static_cast<std::size_t>(w * h)) {}
  rgb& at(int x, int y) { return pixels[static_cast<std::size_t>(y * width + x)]; }
};

// 5 x 7 glyphs of the letters used, one string of 35 cells per letter.
const char* glyph(char c) {
  switch (c) {
    case 'A': return "01110100011000111111100011000110001";
    case 'C': return "01110100011000010000100001000101110";
    case 'D': return "11110100011000110001100011000111110";
    case 'E': return "11111100001000011110100001000011111";
    case 'I': return "01110001000010000100001000010001110";
    case 'L': return "10000100001000010000100001000011111";
    case 'N': return "10001110011010110011100011000110001";
    case 'O': return "01110100011000110001100011000101110";
    case 'R': return "11110100011000111110101001001010001";
    case 'T': return "11111001000010000100001000010000100";
    case 'U': return "10001100011000110001100011000101110";
    case 'V': return "10001100011000110001100010101000100";
    case 'Y': return "10001100010101000100001000010000100";
    default: return "00000000000000000000000000000000000";
  }
}

std::uint8_t mix(std::uint8_t a, std::uint8_t b, double t) {
  return static_cast<std::uint8_t>(std::lround(a + (b - a) * t));
}

void blend(rgb& p, rgb c, double coverage) {
  p = {mix(p.r, c.r, coverage), mix(p.g, c.g, coverage), mix(p.b, c.b, coverage)};
}

void fill_background(canvas& c) {
  const rgb top{10, 22, 40};
  const rgb bottom{27, 48, 80};
  for (int y = 0; y < c.height; ++y) {
    const double t = static_cast<double>(y) / std::max(1, c.height - 1);
    const rgb row{mix(top.r, bottom.r, t), mix(top.g, bottom.g, t), mix(top.b, bottom.b, t)};
    for (int x = 0; x < c.width; ++x) c.at(x, y) = row;
  }
}

int text_width(const std::string& text, int scale) {
  return static_cast<int>(text.size()) * 6 * scale - scale;
}

// Text centred in the band [top, top + height).
void draw_text(canvas& c, const std::string& text, int scale, int top, int height, rgb color) {
  const int x0 = (c.width - text_width(text, scale)) / 2;
  const int y0 = top + (height - 7 * scale) / 2;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char* g = glyph(text[i]);
    for (int row = 0; row < 7; ++row) {
      for (int col = 0; col < 5; ++col) {
        if (g[row * 5 + col] != '1') continue;
        for (int dy = 0; dy < scale; ++dy) {
          for (int dx = 0; dx < scale; ++dx) {
            const int x = x0 + static_cast<int>(i) * 6 * scale + col * scale + dx;
            c.at(x, y0 + row * scale + dy) = color;
          }
        }
      }
    }
  }
}

// An anti-aliased ring (4 x 4 samples per pixel).
void draw_ring(canvas& c, double cx, double cy, double radius, double thickness, rgb color) {
  const double inner = radius - thickness / 2;
  const double outer = radius + thickness / 2;
  const int x_from = std::max(0, static_cast<int>(cx - outer) - 1);
  const int x_to = std::min(c.width - 1, static_cast<int>(cx + outer) + 1);
  const int y_from = std::max(0, static_cast<int>(cy - outer) - 1);
  const int y_to = std::min(c.height - 1, static_cast<int>(cy + outer) + 1);
  for (int y = y_from; y <= y_to; ++y) {
    for (int x = x_from; x <= x_to; ++x) {
      int hits = 0;
      for (int sy = 0; sy < 4; ++sy) {
        for (int sx = 0; sx < 4; ++sx) {
          const double dx = x + (sx + 0.5) / 4 - cx;
          const double dy = y + (sy + 0.5) / 4 - cy;
          const double d = std::sqrt(dx * dx + dy * dy);
          if (d >= inner && d <= outer) ++hits;
        }
      }
      if (hits > 0) blend(c.at(x, y), color, hits / 16.0);
    }
  }
}

// The mark centred in the band [top, top + height).
void draw_mark(canvas& c, int top, int height) {
  const double radius = height * 0.3;
  const double thickness = radius * 0.28;
  const double cy = top + height / 2.0;
  const double cx = c.width / 2.0;
  draw_ring(c, cx - radius * 0.62, cy, radius, thickness, {33, 196, 176});
  draw_ring(c, cx + radius * 0.62, cy, radius, thickness, {242, 163, 58});
}

int largest_scale(const std::string& text, int width, int height) {
  int scale = 1;
  while (text_width(text, scale + 1) <= width * 0.92 && 7 * (scale + 1) <= height * 0.8) ++scale;
  return scale;
}

// The whole-deck picture for a grid of `columns` x `rows` keys.
canvas draw_deck(int columns, int rows, int side) {
  canvas c(columns * side, rows * side);
  fill_background(c);
  const std::string name = "TOLVARINE";
  const std::string subtitle = "REDUNDANCY CONTROL";
  draw_mark(c, 0, side);
  if (rows == 2) {
    draw_text(c, name, largest_scale(name, c.width, side), side, side, {242, 245, 248});
  } else {
    const int name_band = (rows - 2) * side;
    draw_text(c, name, largest_scale(name, c.width, name_band), side, name_band,
              {242, 245, 248});
    const int sub_top = (rows - 1) * side;
    const int sub_scale = largest_scale(subtitle, c.width, side * 5 / 8);
    draw_text(c, subtitle, sub_scale, sub_top, side, {143, 179, 217});
  }
  return c;
}

enum class storage { upright, turned_180, mini_transposed, legacy_bottom_up };

// Key `key`'s square as stored: rows top to bottom of what goes to the file.
std::vector<rgb> cut_key(canvas& c, int columns, int side, int key, storage how) {
  const int left = (key % columns) * side;
  const int top = (key / columns) * side;
  std::vector<rgb> out(static_cast<std::size_t>(side * side));
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      int sy = y, sx = x;
      switch (how) {
        case storage::upright:
          break;
        case storage::turned_180:
          sy = side - 1 - y;
          sx = side - 1 - x;
          break;
        case storage::mini_transposed:
          // The Mini shows file row y, column x at upright row x, column
          // side - 1 - y.
          sy = x;
          sx = side - 1 - y;
          break;
        case storage::legacy_bottom_up:
          sy = side - 1 - y;
          break;
      }
      out[static_cast<std::size_t>(y * side + x)] = c.at(left + sx, top + sy);
    }
  }
  return out;
}

std::vector<std::uint8_t> encode_jpeg(const std::vector<rgb>& pixels, int side) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = static_cast<JDIMENSION>(side);
  cinfo.image_height = static_cast<JDIMENSION>(side);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  // Quality 70 with the standard tables and 4:2:0 colour keeps the key
  // images between about 0.7 and 2.3 KB.
  jpeg_set_quality(&cinfo, 70, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  std::vector<unsigned char> row(static_cast<std::size_t>(side * 3));
  while (cinfo.next_scanline < cinfo.image_height) {
    const int y = static_cast<int>(cinfo.next_scanline);
    for (int x = 0; x < side; ++x) {
      const rgb& p = pixels[static_cast<std::size_t>(y * side + x)];
      row[static_cast<std::size_t>(x * 3)] = p.r;
      row[static_cast<std::size_t>(x * 3 + 1)] = p.g;
      row[static_cast<std::size_t>(x * 3 + 2)] = p.b;
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::vector<std::uint8_t> out(buffer, buffer + size);
  std::free(buffer);
  return out;
}

void put32(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(x >> (8 * i));
}

// A 24-bit uncompressed BMP whose file rows are `pixels`' rows in order.
std::vector<std::uint8_t> encode_bmp(const std::vector<rgb>& pixels, int side,
                                     std::uint32_t resolution) {
  const auto data_size = static_cast<std::uint32_t>(side * side * 3);
  std::vector<std::uint8_t> out(54 + data_size, 0);
  out[0] = 'B';
  out[1] = 'M';
  put32(out, 2, 54 + data_size);
  put32(out, 10, 54);
  put32(out, 14, 40);
  put32(out, 18, static_cast<std::uint32_t>(side));
  put32(out, 22, static_cast<std::uint32_t>(side));
  out[26] = 1;
  out[28] = 24;
  put32(out, 34, data_size);
  put32(out, 38, resolution);
  put32(out, 42, resolution);
  std::size_t at = 54;
  for (const rgb& p : pixels) {
    out[at++] = p.b;
    out[at++] = p.g;
    out[at++] = p.r;
  }
  return out;
}

struct splash_set {
  const char* name;
  int columns, rows, side;
  storage how;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: streamdeck-splash OUTPUT_FOLDER\n");
    return 2;
  }
  const std::string folder = argv[1];
  const std::array<splash_set, 6> sets{{
      {"deck15", 5, 3, 72, storage::turned_180},
      {"deck32", 8, 4, 96, storage::turned_180},
      {"mini6", 3, 2, 80, storage::mini_transposed},
      {"plus8", 4, 2, 120, storage::upright},
      {"neo8", 4, 2, 96, storage::turned_180},
      {"legacy15", 5, 3, 72, storage::legacy_bottom_up},
  }};
  for (const splash_set& set : sets) {
    canvas deck = draw_deck(set.columns, set.rows, set.side);
    const int keys = set.columns * set.rows;
    std::size_t smallest = SIZE_MAX, largest = 0;
    for (int k = 0; k < keys; ++k) {
      const std::vector<rgb> pixels = cut_key(deck, set.columns, set.side, k, set.how);
      const bool jpeg = set.how == storage::upright || set.how == storage::turned_180;
      const std::vector<std::uint8_t> bytes =
          jpeg ? encode_jpeg(pixels, set.side)
               : encode_bmp(pixels, set.side, set.how == storage::legacy_bottom_up ? 3780 : 0);
      std::array<char, 64> file{};
      std::snprintf(file.data(), file.size(), "%s_%02d.%s", set.name, k, jpeg ? "jpg" : "bmp");
      std::ofstream out(folder + "/" + file.data(), std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(bytes.data()),
                static_cast<std::streamsize>(bytes.size()));
      if (!out) {
        std::fprintf(stderr, "cannot write %s/%s\n", folder.c_str(), file.data());
        return 1;
      }
      smallest = std::min(smallest, bytes.size());
      largest = std::max(largest, bytes.size());
    }
    std::printf("%s: %d images, %zu-%zu bytes\n", set.name, keys, smallest, largest);
  }
  return 0;
}
