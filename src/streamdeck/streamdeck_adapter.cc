#include "streamdeck/streamdeck_adapter.h"

#include "streamdeck/hid_streamdeck_adapter.h"

namespace tolvarine::operator_control {

std::unique_ptr<streamdeck_adapter> make_streamdeck_adapter() {
  return std::make_unique<hid_streamdeck_adapter>();
}

}  // namespace tolvarine::operator_control
