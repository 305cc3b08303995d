#include "sim_decks.h"

#include <jpeglib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "config/json_util.h"
#include "sim_answers.h"

namespace tolvarine::show_server_sim {
namespace {

namespace ju = operator_control::json_util;

constexpr size_t kMaxSessions = 64;
constexpr size_t kMaxDecks = 16;
constexpr int kMaxKeys = 64;
constexpr int kMaxSide = 256;
constexpr size_t kMaxImages = 2048;

// 3 x 5 digit glyphs, one row per 3 bits.
constexpr unsigned char kDigits[10][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7}};

struct canvas {
  int width, height;
  std::vector<std::uint8_t> rgb;  // top-down rows
  void fill(int x0, int y0, int w, int h, const std::uint8_t c[3]) {
    for (int y = std::max(0, y0); y < std::min(height, y0 + h); ++y) {
      for (int x = std::max(0, x0); x < std::min(width, x0 + w); ++x) {
        std::copy(c, c + 3, &rgb[(static_cast<size_t>(y) * width + x) * 3]);
      }
    }
  }
  // Turned clockwise by 90, 180 or 270 degrees (square canvases only).
  void rotate(int degrees) {
    const int turns = ((degrees / 90) % 4 + 4) % 4;
    for (int t = 0; t < turns && width == height; ++t) {
      std::vector<std::uint8_t> out(rgb.size());
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
          const size_t from = (static_cast<size_t>(y) * width + x) * 3;
          const size_t to = (static_cast<size_t>(x) * width + (width - 1 - y)) * 3;
          std::copy(&rgb[from], &rgb[from] + 3, &out[to]);
        }
      }
      rgb.swap(out);
    }
  }
  void number(int value, int x0, int y0, int scale, const std::uint8_t c[3]) {
    const std::string text = std::to_string(value);
    for (size_t i = 0; i < text.size(); ++i) {
      const unsigned char* glyph = kDigits[text[i] - '0'];
      for (int row = 0; row < 5; ++row) {
        for (int col = 0; col < 3; ++col) {
          if (glyph[row] & (4 >> col)) {
            fill(x0 + (static_cast<int>(i) * 4 + col) * scale, y0 + row * scale, scale, scale, c);
          }
        }
      }
    }
  }
};

std::vector<std::uint8_t> encode_jpeg(const canvas& c, const std::string& comment) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = static_cast<JDIMENSION>(c.width);
  cinfo.image_height = static_cast<JDIMENSION>(c.height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 80, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  jpeg_write_marker(&cinfo, JPEG_COM, reinterpret_cast<const JOCTET*>(comment.data()),
                    static_cast<unsigned>(comment.size()));
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row =
        const_cast<JSAMPROW>(&c.rgb[static_cast<size_t>(cinfo.next_scanline) * c.width * 3]);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::vector<std::uint8_t> out(buffer, buffer + size);
  std::free(buffer);
  return out;
}

void put_le(std::vector<std::uint8_t>& b, size_t at, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i)
    b[at + static_cast<size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::vector<std::uint8_t> encode_bmp(const canvas& c) {
  const size_t row = (static_cast<size_t>(c.width) * 3 + 3) / 4 * 4;
  std::vector<std::uint8_t> b(54 + row * static_cast<size_t>(c.height), 0);
  b[0] = 'B';
  b[1] = 'M';
  put_le(b, 2, static_cast<std::uint32_t>(b.size()), 4);
  put_le(b, 10, 54, 4);
  put_le(b, 14, 40, 4);
  put_le(b, 18, static_cast<std::uint32_t>(c.width), 4);
  put_le(b, 22, static_cast<std::uint32_t>(c.height), 4);
  put_le(b, 26, 1, 2);
  put_le(b, 28, 24, 2);
  put_le(b, 34, static_cast<std::uint32_t>(row * static_cast<size_t>(c.height)), 4);
  put_le(b, 38, 2835, 4);
  put_le(b, 42, 2835, 4);
  for (int y = 0; y < c.height; ++y) {  // bottom-up, blue-green-red
    const std::uint8_t* src = &c.rgb[static_cast<size_t>(c.height - 1 - y) * c.width * 3];
    std::uint8_t* dst = &b[54 + static_cast<size_t>(y) * row];
    for (int x = 0; x < c.width; ++x) {
      dst[x * 3] = src[x * 3 + 2];
      dst[x * 3 + 1] = src[x * 3 + 1];
      dst[x * 3 + 2] = src[x * 3];
    }
  }
  return b;
}

int clamp_int(long long v, int lo, int hi) {
  return static_cast<int>(std::clamp<long long>(v, lo, hi));
}

}  // namespace

std::vector<std::uint8_t> draw_key_image(const std::string& format, int width, int height,
                                         int rotation, const std::string& server, int page,
                                         int key) {
  canvas c{width, height, std::vector<std::uint8_t>(static_cast<size_t>(width) * height * 3)};
  unsigned hash = 2166136261u;
  for (char ch : server) hash = (hash ^ static_cast<unsigned char>(ch)) * 16777619u;
  const std::uint8_t background[3] = {static_cast<std::uint8_t>(40 + (hash & 0x7f)),
                                      static_cast<std::uint8_t>(40 + (page * 50) % 160),
                                      static_cast<std::uint8_t>(40 + ((hash >> 8) & 0x7f))};
  const std::uint8_t white[3] = {255, 255, 255};
  const std::uint8_t yellow[3] = {255, 220, 0};
  c.fill(0, 0, width, height, background);
  const int scale = std::max(1, std::min(width, height) / 16);
  c.number(page, scale, scale, scale, yellow);  // page, top left
  const int digits = key >= 10 ? 2 : 1;         // key, large, centred below the page
  const int big = std::max(1, std::min(width * 3 / 4 / (digits * 4 - 1), height / 2 / 5));
  c.number(key, (width - (digits * 4 - 1) * big) / 2, height * 2 / 5, big, white);
  c.rotate(rotation);
  if (format == "bmp") return encode_bmp(c);
  return encode_jpeg(c, server + " page=" + std::to_string(page) + " key=" + std::to_string(key));
}

std::string base64_encode(const std::vector<std::uint8_t>& bytes) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const unsigned n = (bytes[i] << 16) | (i + 1 < bytes.size() ? bytes[i + 1] << 8 : 0) |
                       (i + 2 < bytes.size() ? bytes[i + 2] : 0);
    out += alphabet[(n >> 18) & 63];
    out += alphabet[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? alphabet[(n >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? alphabet[n & 63] : '=';
  }
  return out;
}

void sim_deck_sessions::register_decks(const std::string& body) {
  const std::string id = ju::string_value(body, "SessionId", "");
  if (sessions_.count(id) == 0 && sessions_.size() >= kMaxSessions) return;
  session& s = sessions_[id];
  std::vector<deck> decks;
  for (const std::string& text : ju::object_array(body, "Decks")) {
    if (decks.size() >= kMaxDecks) break;
    deck d;
    d.serial = ju::string_value(text, "Serial", "");
    d.key_count = clamp_int(ju::integer_value(text, "KeyCount").value_or(0), 0, kMaxKeys);
    d.width = clamp_int(ju::integer_value(text, "KeyWidth").value_or(72), 1, kMaxSide);
    d.height = clamp_int(ju::integer_value(text, "KeyHeight").value_or(72), 1, kMaxSide);
    d.format = ju::string_value(text, "ImageFormat", "jpeg") == "bmp" ? "bmp" : "jpeg";
    d.rotation = clamp_int(ju::integer_value(text, "ImageRotation").value_or(0), 0, 270);
    for (const deck& old : s.decks) {
      if (old.serial == d.serial) d.page = old.page;
    }
    decks.push_back(std::move(d));
  }
  auto same = [](const deck& a, const deck& b) {
    return a.serial == b.serial && a.key_count == b.key_count && a.width == b.width &&
           a.height == b.height && a.format == b.format && a.rotation == b.rotation;
  };
  const bool changed = s.generation == 0 || !std::equal(decks.begin(), decks.end(), s.decks.begin(),
                                                        s.decks.end(), same);
  s.decks = std::move(decks);
  if (changed) ++s.generation;
}

const std::string& sim_deck_sessions::image_text(const deck& d, int key) {
  const auto id = std::make_tuple(d.format, d.width, d.height, d.rotation, d.page, key);
  auto it = images_.find(id);
  if (it != images_.end()) return it->second;
  if (images_.size() >= kMaxImages) images_.clear();
  return images_[id] = base64_encode(
             draw_key_image(d.format, d.width, d.height, d.rotation, server_, d.page, key));
}

std::string sim_deck_sessions::state_json(const std::string& id, long long since, bool splash,
                                          int pages) {
  auto it = sessions_.find(id);
  const long long generation = it == sessions_.end() ? 0 : it->second.generation;
  const bool changed = it != sessions_.end() && since != generation;
  std::string decks;
  if (changed) {
    for (deck& d : it->second.decks) {
      d.page = std::clamp(d.page, 1, std::max(1, pages));
      if (!decks.empty()) decks += ",";
      decks += "{\"Serial\":" + json_string(d.serial) + ",\"Page\":" + std::to_string(d.page) +
               ",\"UseSplash\":" + (splash ? "true" : "false") + ",\"Keys\":[";
      for (int k = 0; k < d.key_count; ++k) {
        if (k > 0) decks += ",";
        decks += "{\"Index\":" + std::to_string(k) + ",\"Data\":\"" + image_text(d, k) + "\"}";
      }
      decks += "]}";
    }
  }
  return "{\"Generation\":" + std::to_string(generation) +
         ",\"Changed\":" + (changed ? "true" : "false") + ",\"Decks\":[" + decks + "]}";
}

sim_deck_sessions::deck* sim_deck_sessions::find_deck(const std::string& body) {
  auto it = sessions_.find(ju::string_value(body, "SessionId", ""));
  if (it == sessions_.end()) return nullptr;
  const std::string serial = ju::string_value(body, "Serial", "");
  for (deck& d : it->second.decks) {
    if (d.serial == serial) return &d;
  }
  return nullptr;
}

void sim_deck_sessions::key_event(const std::string& body, int pages) {
  deck* d = find_deck(body);
  if (d == nullptr || !ju::bool_value(body, "IsDown", false)) return;
  if (ju::integer_value(body, "Index").value_or(-1) != d->key_count - 1) return;
  d->page = d->page % std::max(1, pages) + 1;
  ++sessions_[ju::string_value(body, "SessionId", "")].generation;
}

void sim_deck_sessions::set_page(const std::string& body, int pages) {
  deck* d = find_deck(body);
  if (d == nullptr) return;
  d->page = clamp_int(ju::integer_value(body, "Page").value_or(1), 1, std::max(1, pages));
  ++sessions_[ju::string_value(body, "SessionId", "")].generation;
}

void sim_deck_sessions::detach(const std::string& body) {
  sessions_.erase(ju::string_value(body, "SessionId", ""));
}

std::string sim_deck_sessions::summary_json() const {
  std::string out = "{";
  for (const auto& [id, s] : sessions_) {
    if (out.size() > 1) out += ",";
    out += json_string(id) + ":{\"generation\":" + std::to_string(s.generation) + ",\"decks\":[";
    for (size_t i = 0; i < s.decks.size(); ++i) {
      if (i > 0) out += ",";
      out += "{\"serial\":" + json_string(s.decks[i].serial) +
             ",\"keyCount\":" + std::to_string(s.decks[i].key_count) +
             ",\"page\":" + std::to_string(s.decks[i].page) + "}";
    }
    out += "]}";
  }
  return out + "}";
}

void sim_deck_sessions::clear() { sessions_.clear(); }

}  // namespace tolvarine::show_server_sim
