// virtual-deck-sheet: what a virtual deck shows now, as one PNG contact
// sheet. Replays the deck's reports file (see virtual_decks.cc) through the
// framing of its family: the last complete image of each key, a black key
// for a clear, every key black after a reset; decodes the JPEG or BMP and
// turns it back upright, as the operator sees the key.
//
// Usage: virtual-deck-sheet FOLDER SERIAL OUT.png
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

// After <cstdio>: the JPEG library's header needs size_t and FILE.
#include <jpeglib.h>
#include <png.h>

#include "streamdeck/bmp_images.h"
#include "streamdeck/deck_profile.h"
#include "streamdeck/input_report.h"

namespace {

namespace toc = tolvarine::operator_control;
using bytes = std::vector<std::uint8_t>;

struct picture {
  int width = 0, height = 0;
  bytes rgb;  // top-down
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

picture decode_jpeg(const bytes& data) {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jerr.error_exit = [](j_common_ptr c) { throw c->err->msg_code; };
  picture p;
  try {
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data.data(), static_cast<unsigned long>(data.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    p.width = static_cast<int>(cinfo.output_width);
    p.height = static_cast<int>(cinfo.output_height);
    p.rgb.resize(static_cast<size_t>(p.width) * p.height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
      JSAMPROW row = &p.rgb[static_cast<size_t>(cinfo.output_scanline) * p.width * 3];
      jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
  } catch (int) {
    p = {};
  }
  jpeg_destroy_decompress(&cinfo);
  return p;
}

std::uint32_t le(const bytes& b, size_t at, int n) {
  std::uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | b[at + static_cast<size_t>(i)];
  return v;
}

// 24- or 32-bit uncompressed BMP, either row order.
picture decode_bmp(const bytes& b) {
  if (b.size() < 54 || b[0] != 'B' || b[1] != 'M') return {};
  const int width = static_cast<int>(le(b, 18, 4));
  const int raw_height = static_cast<std::int32_t>(le(b, 22, 4));
  const int bpp = static_cast<int>(le(b, 28, 2));
  const size_t offset = le(b, 10, 4);
  const int height = std::abs(raw_height);
  if (width <= 0 || width > 512 || height == 0 || height > 512 || (bpp != 24 && bpp != 32))
    return {};
  const size_t row = (static_cast<size_t>(width) * (bpp / 8) + 3) / 4 * 4;
  if (offset + row * height > b.size()) return {};
  picture p{width, height, bytes(static_cast<size_t>(width) * height * 3)};
  for (int y = 0; y < height; ++y) {
    const size_t src_row = offset + row * static_cast<size_t>(raw_height > 0 ? height - 1 - y : y);
    for (int x = 0; x < width; ++x) {
      const std::uint8_t* px = &b[src_row + static_cast<size_t>(x) * (bpp / 8)];
      std::uint8_t* out = &p.rgb[(static_cast<size_t>(y) * width + x) * 3];
      out[0] = px[2];
      out[1] = px[1];
      out[2] = px[0];
    }
  }
  return p;
}

// Turned counter-clockwise by `degrees` (undoes the turn the server drew).
picture unturn(picture p, int degrees) {
  for (int t = 0; t < ((degrees / 90) % 4 + 4) % 4 && p.width == p.height; ++t) {
    bytes out(p.rgb.size());
    for (int y = 0; y < p.height; ++y) {
      for (int x = 0; x < p.width; ++x) {
        const size_t from = (static_cast<size_t>(y) * p.width + x) * 3;
        const size_t to = (static_cast<size_t>(p.width - 1 - x) * p.width + y) * 3;
        std::copy(&p.rgb[from], &p.rgb[from] + 3, &out[to]);
      }
    }
    p.rgb.swap(out);
  }
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: virtual-deck-sheet FOLDER SERIAL OUT.png\n";
    return 2;
  }
  const std::string folder = argv[1], serial = argv[2];
  const toc::deck_profile* profile = nullptr;
  std::istringstream decks(read_file(folder + "/decks"));
  for (std::string line; std::getline(decks, line);) {
    std::istringstream words(line);
    std::string pid, s;
    if (words >> pid >> s && s == serial) {
      profile =
          toc::profile_for(static_cast<std::uint16_t>(std::strtoul(pid.c_str(), nullptr, 16)));
    }
  }
  if (!profile) {
    std::cerr << "no supported deck " << serial << " in " << folder << "/decks\n";
    return 1;
  }
  const int keys = profile->key_count;
  std::map<int, bytes> partial, shown;  // by key; an empty image is black
  const bytes file = [&] {
    const std::string text = read_file(folder + "/" + serial + ".reports");
    return bytes(text.begin(), text.end());
  }();
  for (size_t at = 0; at + 5 <= file.size();) {
    const char kind = static_cast<char>(file[at]);
    const size_t n = le(file, at + 1, 4);
    if (at + 5 + n > file.size()) break;
    const bytes r(file.begin() + static_cast<long>(at + 5),
                  file.begin() + static_cast<long>(at + 5 + n));
    at += 5 + n;
    if (kind == 'F' && r.size() >= 3 && r[0] == 0x03 && r[1] == 0x06) shown[r[2]].clear();
    if (kind == 'F' && r.size() >= 2 && (r[0] == 0x03 || r[0] == 0x0B) &&
        (r[1] == 0x02 || r[1] == 0x63))
      shown.clear();
    if (kind != 'O' || r.size() < 16 || r[0] != 0x02) continue;
    int key = 0;
    bool first = false, last = false;
    size_t from = 16, count = r.size() - 16;
    if (profile->family == toc::deck_family::family_main && r[1] == 0x07) {
      key = r[2];
      last = r[3] != 0;
      first = (r[6] | r[7] << 8) == 0;
      from = 8;
      count = std::min<size_t>(r[4] | r[5] << 8, r.size() - 8);
    } else if (r[1] == 0x01 && profile->family == toc::deck_family::family_mini) {
      key = r[5] - 1;
      first = r[2] == 0;
      last = r[4] != 0;
    } else if (r[1] == 0x01) {  // legacy: two parts, device key numbering
      for (int k = 0; k < keys; ++k) {
        if (toc::legacy_device_key(k) == r[5]) key = k;
      }
      first = r[2] == 1;
      last = r[4] != 0;
      count = std::min(count, last ? toc::legacy_image_size - 7803 : size_t{7803});
    } else {
      continue;
    }
    if (first) partial[key].clear();
    partial[key].insert(partial[key].end(), r.begin() + static_cast<long>(from),
                        r.begin() + static_cast<long>(from + count));
    if (last) shown[key] = std::move(partial[key]);
  }

  const int columns = keys == 32 ? 8 : keys == 6 ? 3 : keys == 8 ? 4 : 5;
  const int rows = (keys + columns - 1) / columns, gap = 6;
  const int side = std::max(profile->key_width, profile->key_height);
  picture sheet{columns * (side + gap) + gap, rows * (side + gap) + gap, {}};
  sheet.rgb.assign(static_cast<size_t>(sheet.width) * sheet.height * 3, 40);
  for (int k = 0; k < keys; ++k) {
    picture p;
    auto it = shown.find(k);
    if (it != shown.end() && !it->second.empty()) {
      p = std::string(profile->image_format) == "jpeg" ? decode_jpeg(it->second)
                                                       : decode_bmp(it->second);
      // Legacy images were turned by 180 degrees when converted.
      p = unturn(
          p, profile->family == toc::deck_family::family_legacy ? 180 : profile->image_rotation);
    }
    const int x0 = gap + (k % columns) * (side + gap), y0 = gap + (k / columns) * (side + gap);
    for (int y = 0; y < side; ++y) {
      for (int x = 0; x < side; ++x) {
        std::uint8_t* out = &sheet.rgb[(static_cast<size_t>(y0 + y) * sheet.width + x0 + x) * 3];
        if (x < p.width && y < p.height) {
          std::copy_n(&p.rgb[(static_cast<size_t>(y) * p.width + x) * 3], 3, out);
        } else {
          std::fill_n(out, 3, 0);  // black key, or nothing painted
        }
      }
    }
  }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(sheet.width);
  image.height = static_cast<png_uint_32>(sheet.height);
  image.format = PNG_FORMAT_RGB;
  if (!png_image_write_to_file(&image, argv[3], 0, sheet.rgb.data(), 0, nullptr)) {
    std::cerr << "cannot write " << argv[3] << ": " << image.message << "\n";
    return 1;
  }
  return 0;
}
