#include "routing/delivery_threads.h"

#include <system_error>
#include <utility>

namespace tolvarine::operator_control {

delivery_threads::delivery_threads(size_t count) : count_(count) {}

delivery_threads::~delivery_threads() { stop(); }

bool delivery_threads::start() {
  if (!threads_.empty()) return true;
  {
    mutex_lock lock(mutex_);
    running_ = true;
  }
  try {
    for (size_t i = 0; i < count_; ++i) threads_.emplace_back([this] { run(); });
  } catch (const std::system_error&) {
    // Whatever started serves alone; none at all means inline delivery.
    if (threads_.empty()) {
      mutex_lock lock(mutex_);
      running_ = false;
    }
  }
  return !threads_.empty();
}

void delivery_threads::stop() {
  {
    mutex_lock lock(mutex_);
    running_ = false;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
}

std::future<delivery_result> delivery_threads::submit(job work) {
  std::packaged_task<delivery_result()> task(std::move(work));
  std::future<delivery_result> result = task.get_future();
  {
    mutex_lock lock(mutex_);
    if (running_) {
      queue_.push_back(std::move(task));
      wake_.notify_one();
      return result;
    }
  }
  task();
  return result;
}

void delivery_threads::run() {
  while (true) {
    std::packaged_task<delivery_result()> task;
    {
      mutex_lock lock(mutex_);
      while (running_ && queue_.empty()) wake_.wait(lock);
      if (queue_.empty()) return;  // stopping, nothing left
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    task();  // a packaged_task keeps any exception for the waiting caller
  }
}

}  // namespace tolvarine::operator_control
