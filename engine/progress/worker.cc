#include "progress/worker.h"

#include <chrono>
#include <system_error>

namespace quillden {

std::shared_ptr<Worker> Worker::Start(Body body, bool start_suspended, EndNotice on_end) {
  std::shared_ptr<Worker> worker(new Worker());
  {
    quenvar::platform::MutexLock lock(&worker->mutex_);
    worker->resumed_ = !start_suspended;
  }
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
    quenvar::platform::MutexLock lock(&mutex_);
    while (!resumed_) changed_.Wait();
  }
  uint32_t result = body();
  body = nullptr;  // release what the body captured before announcing the end
  {
    quenvar::platform::MutexLock lock(&mutex_);
    exit_code_ = result;
    ended_ = true;
    changed_.SignalAll();
  }
  if (on_end) on_end(result);
}

void Worker::Resume() {
  quenvar::platform::MutexLock lock(&mutex_);
  resumed_ = true;
  changed_.SignalAll();
}

bool Worker::Ended() const {
  quenvar::platform::MutexLock lock(&mutex_);
  return ended_;
}

bool Worker::WaitForEnd(uint32_t timeout_ms) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  quenvar::platform::MutexLock lock(&mutex_);
  while (!ended_) {
    if (!changed_.WaitUntil(deadline)) return ended_;
  }
  return true;
}

uint32_t Worker::ExitCode() const {
  quenvar::platform::MutexLock lock(&mutex_);
  return exit_code_;
}

}  // namespace quillden
