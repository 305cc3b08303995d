#include "virtual-decks/fake_hidapi.h"

#include <hidapi/hidapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <deque>
#include <map>
#include <set>
#include <utility>

#include "common/mutex.h"

namespace tolvarine::operator_control::testing {
namespace {

struct device_state {
  fake_device_spec spec;
  bool plugged = false;
  std::uint64_t generation = 0;  // handles from older generations are dead
  std::deque<std::vector<std::uint8_t>> input;
  std::vector<fake_report> written;
  int writes_until_failure = -1;  // -1: never fail
  int opens = 0;
};

struct bus {
  mutex mu;
  std::map<std::string, device_state> devices GUARDED_BY(mu);
  std::vector<std::string> plug_order GUARDED_BY(mu);
  std::set<hid_device*> handles GUARDED_BY(mu);
  int init_result GUARDED_BY(mu) = 0;
  int inits GUARDED_BY(mu) = 0;
  int exits GUARDED_BY(mu) = 0;
};

fake_hid::bus_hooks& the_hooks() {
  static fake_hid::bus_hooks* h = new fake_hid::bus_hooks;
  return *h;
}

void record(device_state& d, fake_report report) {
  if (the_hooks().on_report) {
    the_hooks().on_report(d.spec.path, report);
  } else {
    d.written.push_back(std::move(report));
  }
}

bus& the_bus() {
  static bus* b = new bus;  // never destroyed: handles may outlive statics
  return *b;
}

}  // namespace
}  // namespace tolvarine::operator_control::testing

struct hid_device_ {
  std::string path;
  std::uint64_t generation;
};

namespace tolvarine::operator_control::testing {
namespace {

// The device behind a live handle, or null when the handle is dead.
device_state* live_device(bus& b, hid_device* handle) REQUIRES(b.mu) {
  if (handle == nullptr || b.handles.count(handle) == 0) return nullptr;
  auto it = b.devices.find(handle->path);
  if (it == b.devices.end() || !it->second.plugged ||
      it->second.generation != handle->generation) {
    return nullptr;
  }
  return &it->second;
}

wchar_t* copy_wide(const std::wstring& text) {
  auto* out = static_cast<wchar_t*>(std::calloc(text.size() + 1, sizeof(wchar_t)));
  std::wmemcpy(out, text.c_str(), text.size());
  return out;
}

}  // namespace

namespace fake_hid {

void reset() {
  bus& b = the_bus();
  mutex_lock lock(b.mu);
  b.devices.clear();
  b.plug_order.clear();
  b.init_result = 0;
  b.inits = 0;
  b.exits = 0;
}

void plug(const fake_device_spec& device) {
  bus& b = the_bus();
  mutex_lock lock(b.mu);
  device_state& d = b.devices[device.path];
  d.spec = device;
  d.plugged = true;
  ++d.generation;
  d.input.clear();
  std::erase(b.plug_order, device.path);
  b.plug_order.push_back(device.path);
}

void unplug(const std::string& path) {
  bus& b = the_bus();
  mutex_lock lock(b.mu);
  auto it = b.devices.find(path);
  if (it == b.devices.end()) return;
  it->second.plugged = false;
  ++it->second.generation;
  it->second.input.clear();
  std::erase(b.plug_order, path);
}

void replug(const std::string& path) {
  bus& b = the_bus();
  mutex_lock lock(b.mu);
  auto it = b.devices.find(path);
  if (it == b.devices.end()) return;
  it->second.plugged = true;
  ++it->second.generation;
  it->second.input.clear();
  if (std::find(b.plug_order.begin(), b.plug_order.end(), path) == b.plug_order.end()) {
    b.plug_order.push_back(path);
  }
}

void kill_handles(const std::string& path) {
  bus& b = the_bus();
  mutex_lock lock(b.mu);
  auto it = b.devices.find(path);
  if (it != b.devices.end()) ++it->second.generation;
}

void set_open_fails(const std::string& path, bool fails) {
  bus& b = the_bus();
  mutex_lock lock(b.mu);
  b.devices[path].spec.open_fails = fails;
}

void fail_write_after(const std::string& path, int successes) {
  bus& b = the_bus();
  mutex_lock lock(b.mu);
  b.devices[path].writes_until_failure = successes;
}

void set_init_result(int result) {
  bus& b = the_bus();
  mutex_lock lock(b.mu);
  b.init_result = result;
}

void queue_input(const std::string& path, std::vector<std::uint8_t> report) {
  bus& b = the_bus();
  mutex_lock lock(b.mu);
  b.devices[path].input.push_back(std::move(report));
}

std::size_t pending_input(const std::string& path) {
  bus& b = the_bus();
  mutex_lock lock(b.mu);
  auto it = b.devices.find(path);
  return it == b.devices.end() ? 0 : it->second.input.size();
}

std::vector<fake_report> reports(const std::string& path) {
  bus& b = the_bus();
  mutex_lock lock(b.mu);
  auto it = b.devices.find(path);
  return it == b.devices.end() ? std::vector<fake_report>{} : it->second.written;
}

std::vector<fake_report> take_reports(const std::string& path) {
  bus& b = the_bus();
  mutex_lock lock(b.mu);
  auto it = b.devices.find(path);
  if (it == b.devices.end()) return {};
  return std::exchange(it->second.written, {});
}

void set_hooks(bus_hooks hooks) { the_hooks() = std::move(hooks); }

int open_handles() {
  bus& b = the_bus();
  mutex_lock lock(b.mu);
  return static_cast<int>(b.handles.size());
}

int init_calls() {
  bus& b = the_bus();
  mutex_lock lock(b.mu);
  return b.inits;
}

int exit_calls() {
  bus& b = the_bus();
  mutex_lock lock(b.mu);
  return b.exits;
}

int open_calls(const std::string& path) {
  bus& b = the_bus();
  mutex_lock lock(b.mu);
  auto it = b.devices.find(path);
  return it == b.devices.end() ? 0 : it->second.opens;
}

}  // namespace fake_hid
}  // namespace tolvarine::operator_control::testing

namespace fake = tolvarine::operator_control::testing;
using tolvarine::operator_control::mutex_lock;

extern "C" {

int hid_init(void) {
  fake::bus& b = fake::the_bus();
  mutex_lock lock(b.mu);
  ++b.inits;
  return b.init_result;
}

int hid_exit(void) {
  fake::bus& b = fake::the_bus();
  mutex_lock lock(b.mu);
  ++b.exits;
  return 0;
}

struct hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
  if (fake::the_hooks().before_enumerate) fake::the_hooks().before_enumerate();
  fake::bus& b = fake::the_bus();
  mutex_lock lock(b.mu);
  hid_device_info* head = nullptr;
  hid_device_info** tail = &head;
  for (const std::string& path : b.plug_order) {
    const fake::fake_device_spec& spec = b.devices[path].spec;
    if (vendor_id != 0 && spec.vendor_id != vendor_id) continue;
    if (product_id != 0 && spec.product_id != product_id) continue;
    auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
    info->path = strdup(path.c_str());
    info->vendor_id = spec.vendor_id;
    info->product_id = spec.product_id;
    info->serial_number = fake::copy_wide(spec.serial);
    info->product_string = fake::copy_wide(spec.product);
    info->manufacturer_string = fake::copy_wide(L"Elgato");
    *tail = info;
    tail = &info->next;
  }
  return head;
}

void hid_free_enumeration(struct hid_device_info* devs) {
  while (devs != nullptr) {
    hid_device_info* next = devs->next;
    std::free(devs->path);
    std::free(devs->serial_number);
    std::free(devs->product_string);
    std::free(devs->manufacturer_string);
    std::free(devs);
    devs = next;
  }
}

hid_device* hid_open_path(const char* path) {
  fake::bus& b = fake::the_bus();
  mutex_lock lock(b.mu);
  auto it = b.devices.find(path);
  if (it == b.devices.end() || !it->second.plugged) return nullptr;
  ++it->second.opens;
  if (it->second.spec.open_fails) return nullptr;
  auto* handle = new hid_device{path, it->second.generation};
  b.handles.insert(handle);
  return handle;
}

int hid_set_nonblocking(hid_device* dev, int) {
  fake::bus& b = fake::the_bus();
  mutex_lock lock(b.mu);
  return fake::live_device(b, dev) != nullptr ? 0 : -1;
}

int hid_get_serial_number_string(hid_device* dev, wchar_t* string, size_t maxlen) {
  fake::bus& b = fake::the_bus();
  mutex_lock lock(b.mu);
  fake::device_state* d = fake::live_device(b, dev);
  if (d == nullptr || maxlen == 0) return -1;
  const std::wstring& serial = d->spec.device_serial;
  const std::size_t n = std::min(serial.size(), maxlen - 1);
  std::wmemcpy(string, serial.c_str(), n);
  string[n] = 0;
  return 0;
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int) {
  if (dev != nullptr && fake::the_hooks().before_read) fake::the_hooks().before_read(dev->path);
  fake::bus& b = fake::the_bus();
  mutex_lock lock(b.mu);
  fake::device_state* d = fake::live_device(b, dev);
  if (d == nullptr) return -1;
  if (d->input.empty()) return 0;
  std::vector<std::uint8_t> report = std::move(d->input.front());
  d->input.pop_front();
  const std::size_t n = std::min(length, report.size());
  if (n > 0) std::memcpy(data, report.data(), n);
  return static_cast<int>(n);
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length) {
  fake::bus& b = fake::the_bus();
  mutex_lock lock(b.mu);
  fake::device_state* d = fake::live_device(b, dev);
  if (d == nullptr) return -1;
  if (d->writes_until_failure == 0) {
    d->writes_until_failure = -1;
    ++d->generation;  // a refused write means the handle is gone
    return -1;
  }
  if (d->writes_until_failure > 0) --d->writes_until_failure;
  fake::record(*d, {fake::fake_report::output, {data, data + length}});
  return static_cast<int>(length);
}

int hid_send_feature_report(hid_device* dev, const unsigned char* data, size_t length) {
  fake::bus& b = fake::the_bus();
  mutex_lock lock(b.mu);
  fake::device_state* d = fake::live_device(b, dev);
  if (d == nullptr) return -1;
  fake::record(*d, {fake::fake_report::feature, {data, data + length}});
  return static_cast<int>(length);
}

void hid_close(hid_device* dev) {
  fake::bus& b = fake::the_bus();
  mutex_lock lock(b.mu);
  if (b.handles.erase(dev) > 0) delete dev;
}

}  // extern "C"
