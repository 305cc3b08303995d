// How every benchmark prints one figure: trials, min, median, p99 and max,
// in milliseconds.
#pragma once

#include <algorithm>
#include <cstdio>
#include <vector>

namespace tolvarine::operator_control::bench {

inline void print_figure(const char* name, std::vector<double> ms) {
  if (ms.empty()) {
    std::printf("%-44s no trials\n", name);
    return;
  }
  std::sort(ms.begin(), ms.end());
  const size_t n = ms.size();
  const size_t p99 = std::min(n - 1, (99 * n + 99) / 100 - 1);
  const double median = n % 2 ? ms[n / 2] : (ms[n / 2 - 1] + ms[n / 2]) / 2;
  std::printf("%-44s trials %4zu  min %8.3f ms  median %8.3f ms  p99 %8.3f ms  max %8.3f ms\n",
              name, n, ms.front(), median, ms[p99], ms.back());
}

}  // namespace tolvarine::operator_control::bench
