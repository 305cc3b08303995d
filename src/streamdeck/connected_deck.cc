#include "streamdeck/connected_deck.h"

#include <utility>

namespace tolvarine::operator_control {

connected_deck::connected_deck(deck_info info_in, const deck_profile& profile_in,
                               hid_device* handle)
    : info(std::move(info_in)), profile(profile_in), handle_(handle) {}

connected_deck::~connected_deck() {
  mutex_lock lock(device_mutex);
  close_locked();
}

bool connected_deck::write_locked(const std::uint8_t* data, std::size_t size) {
  if (handle_ == nullptr) return false;
  if (hid_write(handle_, data, size) < 0) {
    fail_locked();
    return false;
  }
  return true;
}

bool connected_deck::send_feature_locked(const std::uint8_t* data, std::size_t size) {
  if (handle_ == nullptr) return false;
  return hid_send_feature_report(handle_, data, size) >= 0;
}

int connected_deck::read_locked(std::uint8_t* buffer, std::size_t capacity) {
  if (handle_ == nullptr) return 0;
  const int n = hid_read_timeout(handle_, buffer, capacity, 0);
  if (n < 0) {
    fail_locked();
    return -1;
  }
  return n;
}

void connected_deck::close_locked() {
  if (handle_ != nullptr) {
    hid_close(handle_);
    handle_ = nullptr;
  }
}

void connected_deck::fail_locked() {
  close_locked();
  failed_.store(true);
}

}  // namespace tolvarine::operator_control
