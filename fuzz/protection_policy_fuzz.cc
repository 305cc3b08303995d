// Feeds arbitrary text to the protection file reader, the policy check and
// writer, and to the health answer reader that shares its scanners: never
// crashes, and whatever is read is written back as one well-formed object.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protection/protection_policy.h"
#include "protection/protection_sample.h"

namespace toc = tolvarine::operator_control;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const toc::protection_policy policy = toc::parse_protection_policy(text);
  std::string error;
  const bool valid = toc::validate_protection_policy(policy, &error);
  if (!valid && error.empty()) std::abort();
  const std::string json = toc::protection_policy_json(policy);
  if (!json.starts_with("{\"armed\":") || !json.ends_with("]}")) std::abort();
  // Written values that came from numbers read back as the same numbers.
  const toc::protection_policy again = toc::parse_protection_policy(json);
  if (again.lossMs != policy.lossMs || again.startupMs != policy.startupMs ||
      again.resources != policy.resources || again.armed != policy.armed) {
    std::abort();
  }

  const auto sample = toc::read_health_answer(text, "S-MAIN", 1500, toc::steady_time{});
  if (sample) {
    if (!sample->reachable || !sample->supported || sample->outputs.empty()) std::abort();
    (void)toc::output_available(*sample, "out-1");
  }
  return 0;
}
