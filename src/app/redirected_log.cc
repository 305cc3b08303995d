#include "app/redirected_log.h"

namespace tolvarine::operator_control {

bool redirected_log::open(const std::string& path) {
  file_.open(path, std::ios::out | std::ios::app);
  if (!file_.is_open()) return false;
  saved_out_ = std::cout.rdbuf(file_.rdbuf());
  saved_err_ = std::cerr.rdbuf(file_.rdbuf());
  return true;
}

redirected_log::~redirected_log() {
  if (saved_out_) {
    std::cout.rdbuf(saved_out_);
    std::cout.clear();
  }
  if (saved_err_) {
    std::cerr.rdbuf(saved_err_);
    std::cerr.clear();
  }
  if (file_.is_open()) file_.close();
}

}  // namespace tolvarine::operator_control
