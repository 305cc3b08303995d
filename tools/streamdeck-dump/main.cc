// streamdeck-dump: drives the production Stream Deck adapter against one
// simulated deck and prints every report it writes, one per line: "OUT" or
// "FEAT", the length, then the bytes in hex, report id first. The "keys"
// action instead decodes raw input reports into the key events the key
// callback would get.
//
// Usage: streamdeck-dump PRODUCT_ID ACTION [ARGS]
//   paint KEY FILE   an encoded key image (JPEG or BMP as the model takes)
//   clear KEY
//   clear-all
//   splash
//   stop             the reset sent when the adapter stops
//   keys HEX...      input reports, e.g. 0100000001 (report id first)
// PRODUCT_ID is hexadecimal (0x0080 or 80). Adapter messages go to stderr.

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "virtual-decks/fake_hidapi.h"
#include "streamdeck/hid_streamdeck_adapter.h"

namespace {

namespace fake_hid = tolvarine::operator_control::testing::fake_hid;
using tolvarine::operator_control::hid_streamdeck_adapter;
using tolvarine::operator_control::testing::fake_report;

constexpr const char* deck_path = "/dev/hidraw0";
constexpr const char* deck_serial = "DUMP0001";

int usage() {
  std::cerr << "usage: streamdeck-dump PRODUCT_ID paint KEY FILE | clear KEY | clear-all | "
               "splash | stop | keys HEX...\n";
  return 2;
}

bool parse_int(const std::string& text, int base, int* out) {
  try {
    std::size_t used = 0;
    *out = std::stoi(text, &used, base);
    return used == text.size();
  } catch (...) {
    return false;
  }
}

bool parse_hex_bytes(const std::string& text, std::vector<std::uint8_t>* out) {
  if (text.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int byte;
    if (!parse_int(text.substr(i, 2), 16, &byte)) return false;
    out->push_back(static_cast<std::uint8_t>(byte));
  }
  return true;
}

void print_reports() {
  for (const fake_report& r : fake_hid::take_reports(deck_path)) {
    std::printf("%s %zu", r.kind == fake_report::output ? "OUT" : "FEAT", r.bytes.size());
    for (std::uint8_t b : r.bytes) std::printf(" %02x", b);
    std::printf("\n");
  }
  std::fflush(stdout);
}

int run(int argc, char** argv) {
  if (argc < 3) return usage();
  int pid;
  if (!parse_int(argv[1], 16, &pid) || pid < 0 || pid > 0xFFFF) return usage();
  const std::string action = argv[2];

  tolvarine::operator_control::testing::fake_device_spec device;
  device.path = deck_path;
  device.product_id = static_cast<std::uint16_t>(pid);
  device.serial = L"DUMP0001";
  fake_hid::plug(device);

  hid_streamdeck_adapter::options options;
  options.info = [](const std::string& line) { std::cerr << line << std::endl; };
  options.problem = options.info;
  hid_streamdeck_adapter adapter(std::move(options));
  adapter.scan_once();
  if (adapter.decks().empty()) {
    std::cerr << "streamdeck-dump: no supported deck has product id " << argv[1] << "\n";
    return 1;
  }
  fake_hid::take_reports(deck_path);  // the splash painted on attach

  bool ok = true;
  if (action == "paint" && argc == 5) {
    int key;
    if (!parse_int(argv[3], 10, &key)) return usage();
    std::ifstream file(argv[4], std::ios::binary);
    if (!file) {
      std::cerr << "streamdeck-dump: cannot read " << argv[4] << "\n";
      return 1;
    }
    const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(file)), {});
    ok = adapter.set_key_image(deck_serial, key, image);
  } else if (action == "clear" && argc == 4) {
    int key;
    if (!parse_int(argv[3], 10, &key)) return usage();
    ok = adapter.clear_key(deck_serial, key);
  } else if (action == "clear-all" && argc == 3) {
    ok = adapter.clear_all(deck_serial);
  } else if (action == "splash" && argc == 3) {
    ok = adapter.show_splash(deck_serial);
  } else if (action == "stop" && argc == 3) {
    if (!adapter.start()) return 1;
    adapter.stop();
  } else if (action == "keys" && argc >= 4) {
    adapter.on_key([](const std::string&, int key, bool pressed) {
      std::printf("key %d %s\n", key, pressed ? "down" : "up");
    });
    for (int i = 3; i < argc; ++i) {
      std::vector<std::uint8_t> report;
      if (!parse_hex_bytes(argv[i], &report)) return usage();
      fake_hid::queue_input(deck_path, report);
      adapter.read_keys_once();
    }
    std::fflush(stdout);
    return 0;
  } else {
    return usage();
  }
  print_reports();
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
