// Engine worker threads.
//
// A Worker runs one operation's body on a thread of its own and keeps the body's result as its exit
// code. It can be created suspended (the body starts only after Resume), waited for with a time-out,
// and abandoned: whoever holds the last reference lets the thread finish on its own. Everything the
// body touches must be kept alive by the body itself (the progress records hold themselves through
// shared ownership), so abandoning a worker never leaves it writing into freed memory.
#ifndef QUILLDEN_PROGRESS_WORKER_H_
#define QUILLDEN_PROGRESS_WORKER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace quillden {

class Worker {
 public:
  using Body = std::function<uint32_t()>;
  // Runs on the worker thread after the worker counts as ended, so whatever it announces (a final
  // status word, a posted completion message) is never seen before Ended() and ExitCode() hold.
  using EndNotice = std::function<void(uint32_t result)>;

  // Starts body on a new thread; with start_suspended it waits for Resume first. Returns null when
  // the thread cannot be created.
  static std::shared_ptr<Worker> Start(Body body, bool start_suspended, EndNotice on_end = nullptr);

  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Lets a suspended worker run; has no effect on a running one.
  void Resume();
  // True once the body has returned.
  bool Ended() const;
  // Waits up to timeout_ms for the body to return; true when it has.
  bool WaitForEnd(uint32_t timeout_ms) const;
  // The body's result; valid once Ended().
  uint32_t ExitCode() const;

 private:
  Worker() = default;
  void Run(Body body, EndNotice on_end);

  mutable quenvar::platform::Mutex mutex_;
  mutable quenvar::platform::CondVar changed_{&mutex_};
  bool resumed_ GUARDED_BY(mutex_) = false;
  bool ended_ GUARDED_BY(mutex_) = false;
  uint32_t exit_code_ GUARDED_BY(mutex_) = 0;
  std::thread thread_;
};

}  // namespace quillden

#endif  // QUILLDEN_PROGRESS_WORKER_H_
