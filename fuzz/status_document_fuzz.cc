// Feeds arbitrary health answers through a poll into the protection status
// document: whatever a server sends, the document stays valid JSON.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "config/control_config.h"
#include "config/json_value.h"
#include "protection/protection_service.h"

namespace toc = tolvarine::operator_control;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string folder = [] {
    const std::string path = std::filesystem::temp_directory_path() / "status_document_fuzz";
    std::filesystem::create_directories(path);
    return path;
  }();
  static toc::control_config config(folder + "/operator-control.json");
  static toc::protection_service service(config);
  const std::string body(reinterpret_cast<const char*>(data), size);
  service.store_poll_result("S-MAIN", toc::read_health_answer(body, "S-MAIN", 1500, toc::steady_now()));
  if (!toc::compact_json(service.json())) std::abort();
  return 0;
}
