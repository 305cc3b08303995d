#include "app/redirected_log.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

TEST(RedirectedLogTest, LinesFromManyThreadsArriveWholeAndInOrder) {
  testing::temp_dir dir;
  const std::string path = dir.file("operator-control.log");
  constexpr int kThreads = 8, kLines = 400;
  {
    redirected_log log;
    ASSERT_TRUE(log.open(path));
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([t] {
        for (int i = 0; i < kLines; ++i) {
          (i % 2 ? std::cerr : std::cout) << "[t" << t << "] " << i << ' ' << std::string(60, 'x')
                                          << std::endl;
        }
      });
    }
    for (std::thread& w : writers) w.join();
  }
  std::istringstream text(testing::read_text(path));
  std::vector<int> next(kThreads, 0);
  std::string line;
  int lines = 0;
  for (; std::getline(text, line); ++lines) {
    int t = -1, i = -1;
    char tail[80] = {};
    ASSERT_EQ(std::sscanf(line.c_str(), "[t%d] %d %79s", &t, &i, tail), 3) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads && i == next[t]++ && tail == std::string(60, 'x')) << line;
  }
  EXPECT_EQ(lines, kThreads * kLines);
}

}  // namespace
}  // namespace tolvarine::operator_control
