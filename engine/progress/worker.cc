#include "progress/worker.h"

#include <chrono>
#include <system_error>

namespace quillden {

std::shared_ptr<Worker> Worker::Start(Body body, bool start_suspended, EndNotice on_end) {
  std::shared_ptr<Worker> worker(new Worker());
  worker->resumed_ = !start_suspended;
  try {
    // The thread holds no reference to the Worker: the destructor joins or detaches it, and the
    // state it writes lives in the Worker only while that exists. To make abandonment safe the
    // thread keeps its own reference instead.
    std::shared_ptr<Worker> self = worker;
    worker->thread_ = std::thread([self, body = std::move(body), on_end = std::move(on_end)]() mutable {
      self->Run(std::move(body), std::move(on_end));
    });
  } catch (const std::system_error&) {
    return nullptr;
  }
  return worker;
}

Worker::~Worker() {
  // The last reference can be dropped by the thread itself (after Run returns) or by the owner after
  // the thread ended; a thread cannot join itself.
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
}

void Worker::Run(Body body, EndNotice on_end) {
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return resumed_; });
  }
  uint32_t result = body();
  body = nullptr;  // release what the body captured before announcing the end
  {
    std::lock_guard lock(mutex_);
    exit_code_ = result;
    ended_ = true;
    changed_.notify_all();
  }
  if (on_end) on_end(result);
}

void Worker::Resume() {
  std::lock_guard lock(mutex_);
  resumed_ = true;
  changed_.notify_all();
}

bool Worker::Ended() const {
  std::lock_guard lock(mutex_);
  return ended_;
}

bool Worker::WaitForEnd(uint32_t timeout_ms) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return ended_; });
}

uint32_t Worker::ExitCode() const {
  std::lock_guard lock(mutex_);
  return exit_code_;
}

}  // namespace quillden
