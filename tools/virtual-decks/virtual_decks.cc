// Simulated Stream Decks for the unchanged program, loaded with LD_PRELOAD:
// the hidapi functions come from the fake HID bus (fake_hidapi.h), and this
// file drives that bus from the folder named by TRC_VIRTUAL_DECKS:
//
//   decks             the attached decks, one per line: product id (hex),
//                     serial, optional product name. Re-read at every
//                     enumeration, so decks can be plugged and unplugged
//                     while the program runs. '#' starts a comment.
//   <serial>.keys     key presses, appended by whoever drives the deck, one
//                     per line: "down K", "up K" (key from 0), or an input
//                     report in hex (report id first). Read as the program
//                     polls the deck.
//   <serial>.reports  every report the deck receives, appended: one byte
//                     'O' (output) or 'F' (feature), the length as four
//                     bytes little-endian, then the report.
//
// Without TRC_VIRTUAL_DECKS no deck is ever attached.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "virtual-decks/fake_hidapi.h"
#include "streamdeck/deck_profile.h"

namespace tolvarine::operator_control::testing {
namespace {

constexpr size_t kMaxLine = 4096;

struct deck_port {
  std::string serial;
  deck_family family = deck_family::family_main;
  int key_count = 0;
  long long keys_offset = 0;  // bytes of <serial>.keys already read
  std::vector<bool> pressed;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> reports{nullptr, std::fclose};
};

struct virtual_folder {
  std::string dir;
  mutex mu;
  std::map<std::string, deck_port> ports GUARDED_BY(mu);  // by path
};

virtual_folder* folder = nullptr;

std::string path_for(const std::string& serial) { return "virtual:" + serial; }

std::vector<std::uint8_t> key_report(const deck_port& port) {
  std::vector<std::uint8_t> report(512, 0);
  report[0] = 1;
  for (int k = 0; k < port.key_count; ++k) {
    if (!port.pressed[static_cast<size_t>(k)]) continue;
    size_t at = 0;
    switch (port.family) {
      case deck_family::family_legacy:
        at = static_cast<size_t>(5 * (k / 5) + 5 - (k % 5));
        break;
      case deck_family::family_mini:
        at = static_cast<size_t>(1 + k);
        break;
      case deck_family::family_main:
        at = static_cast<size_t>(4 + k);
        break;
    }
    report[at] = 1;
  }
  return report;
}

std::vector<std::uint8_t> hex_report(const std::string& text) {
  std::vector<std::uint8_t> out;
  for (size_t i = 0; i + 1 < text.size() && out.size() < 512; i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
  }
  return out;
}

void sync_decks() {
  std::ifstream in(folder->dir + "/decks");
  std::map<std::string, fake_device_spec> listed;
  std::string line;
  while (listed.size() < 64 && std::getline(in, line)) {
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string pid_text, serial, name;
    if (!(words >> pid_text >> serial)) continue;
    std::getline(words >> std::ws, name);
    fake_device_spec spec;
    spec.path = path_for(serial);
    spec.product_id = static_cast<std::uint16_t>(std::strtoul(pid_text.c_str(), nullptr, 16));
    spec.serial = std::wstring(serial.begin(), serial.end());
    spec.product = std::wstring(name.begin(), name.end());
    listed[spec.path] = spec;
  }
  std::vector<std::string> gone;
  std::vector<fake_device_spec> added;
  {
    mutex_lock lock(folder->mu);
    for (const auto& [path, port] : folder->ports) {
      if (listed.count(path) == 0) gone.push_back(path);
    }
    for (const std::string& path : gone) folder->ports.erase(path);
    for (const auto& [path, spec] : listed) {
      if (folder->ports.count(path) != 0) continue;
      deck_port& port = folder->ports[path];
      port.serial = std::string(spec.serial.begin(), spec.serial.end());
      const auto profile = profile_for(spec.product_id);
      port.family = profile ? profile->family : deck_family::family_main;
      port.key_count = profile ? profile->key_count : 0;
      port.pressed.assign(static_cast<size_t>(port.key_count), false);
      // Key presses written while the deck was away are not replayed.
      struct stat st {};
      const std::string keys = folder->dir + "/" + port.serial + ".keys";
      port.keys_offset = ::stat(keys.c_str(), &st) == 0 ? st.st_size : 0;
      port.reports.reset(std::fopen((folder->dir + "/" + port.serial + ".reports").c_str(), "ab"));
      added.push_back(spec);
    }
  }
  for (const std::string& path : gone) fake_hid::unplug(path);
  for (const fake_device_spec& spec : added) fake_hid::plug(spec);
}

void read_keys(const std::string& path) {
  std::vector<std::vector<std::uint8_t>> reports;
  {
    mutex_lock lock(folder->mu);
    auto it = folder->ports.find(path);
    if (it == folder->ports.end()) return;
    deck_port& port = it->second;
    const std::string file = folder->dir + "/" + port.serial + ".keys";
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || st.st_size <= port.keys_offset) return;
    std::ifstream in(file, std::ios::binary);
    in.seekg(port.keys_offset);
    std::string line;
    while (std::getline(in, line) && !in.eof()) {  // complete lines only
      port.keys_offset += static_cast<long long>(line.size()) + 1;
      if (line.size() > kMaxLine) continue;
      std::istringstream words(line);
      std::string verb;
      int key = -1;
      words >> verb >> key;
      if ((verb == "down" || verb == "up") && key >= 0 && key < port.key_count) {
        port.pressed[static_cast<size_t>(key)] = verb == "down";
        reports.push_back(key_report(port));
      } else if (!verb.empty() && verb != "down" && verb != "up") {
        reports.push_back(hex_report(verb));
      }
    }
  }
  for (auto& report : reports) fake_hid::queue_input(path, std::move(report));
}

void write_report(const std::string& path, const fake_report& report) {
  mutex_lock lock(folder->mu);
  auto it = folder->ports.find(path);
  if (it == folder->ports.end() || !it->second.reports) return;
  std::FILE* f = it->second.reports.get();
  const auto n = static_cast<std::uint32_t>(report.bytes.size());
  const unsigned char head[5] = {
      static_cast<unsigned char>(report.kind == fake_report::output ? 'O' : 'F'),
      static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8),
      static_cast<unsigned char>(n >> 16), static_cast<unsigned char>(n >> 24)};
  std::fwrite(head, 1, sizeof(head), f);
  std::fwrite(report.bytes.data(), 1, report.bytes.size(), f);
  std::fflush(f);
}

__attribute__((constructor)) void attach_virtual_folder() {
  const char* dir = std::getenv("TRC_VIRTUAL_DECKS");
  if (dir == nullptr || *dir == '\0') return;
  folder = new virtual_folder;  // lives as long as the process
  folder->dir = dir;
  fake_hid::set_hooks(
      {.before_enumerate = sync_decks, .before_read = read_keys, .on_report = write_report});
}

}  // namespace
}  // namespace tolvarine::operator_control::testing
