// Progress records: the objects behind the PRG_ handles, and the one way long operations start.
//
// A ProgressRecord holds the twelve words of a progress object (the worker word is the Worker
// itself). A FileProgressRecord holds window, message, worker and result of a file progress object.
// Handles given to callers are the records' addresses; a process-wide registry tells live handles
// from stale or foreign ones, so every export can refuse a bad handle instead of touching it.
//
// Records are shared between the caller's handle and the running worker: destroying a handle while
// its worker still runs (after the bounded wait) only drops the caller's share, and the worker's
// last writes land in memory that is still alive.
#ifndef QUILLDEN_PROGRESS_PROGRESS_RECORD_H_
#define QUILLDEN_PROGRESS_PROGRESS_RECORD_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "progress/worker.h"
#include "quillden/progress.h"
#include "quillden/types.h"

namespace quillden {

class ProgressRecord {
 public:
  std::atomic<uint32_t> status{0};
  std::atomic<uint32_t> phase{0};
  std::atomic<uint32_t> done{0};
  std::atomic<uint32_t> end{0};
  std::atomic<uint32_t> session_track[6] = {};
  std::atomic<uint32_t> result{0};

  std::shared_ptr<Worker> worker() const;
  void set_worker(std::shared_ptr<Worker> worker);

  // Claims the object for a new operation: starts a worker with body suspended, stores it and moves
  // the status to "running" in one step, so a cancel never meets the new status with the previous
  // operation's worker. QD_E_BUSY while an operation still owns the object (status 1 or 16; a
  // cancelled operation keeps the object until its worker has written the final status).
  uint32_t Claim(Worker::Body body, std::shared_ptr<Worker>* started);
  // Asks a running operation to stop: moves "running" to "cancel requested", never a final status.
  // Gives the worker (null when the object has none) and whether the status is now "cancel
  // requested" (by this call or an earlier one).
  std::shared_ptr<Worker> RequestCancel(bool* cancel_pending);

  // Looks a handle up; null for null, INVALID_HANDLE_VALUE and handles that are not live records.
  static std::shared_ptr<ProgressRecord> FromHandle(HANDLE handle);
  static HANDLE Create();
  // Removes the handle from the registry; returns the record (null when it was not live).
  static std::shared_ptr<ProgressRecord> Release(HANDLE handle);

 private:
  mutable quenvar::platform::Mutex worker_mutex_;
  std::shared_ptr<Worker> worker_ GUARDED_BY(worker_mutex_);
};

class FileProgressRecord {
 public:
  std::atomic<HWND> window{nullptr};
  std::atomic<uint32_t> message{0};
  std::atomic<uint32_t> result{0};

  std::shared_ptr<Worker> worker() const;
  void set_worker(std::shared_ptr<Worker> worker);
  // True while a worker of the object has not ended (also while it waits for its window).
  bool Busy() const;

  static std::shared_ptr<FileProgressRecord> FromHandle(HANDLE handle);
  static HANDLE Create();
  static std::shared_ptr<FileProgressRecord> Release(HANDLE handle);

 private:
  friend uint32_t StartFileProgressWorker(const std::shared_ptr<FileProgressRecord>& record,
                                          uint32_t finished_code, std::function<uint32_t()> body);
  mutable quenvar::platform::Mutex worker_mutex_;
  std::shared_ptr<Worker> worker_ GUARDED_BY(worker_mutex_);
};

// True for the status words of an object that an operation still owns: running, and cancel
// requested (the worker has not written its final status yet).
inline bool ProgressBusy(uint32_t status) {
  return status == PRG_STATUS_RUNNING || status == PRG_STATUS_CANCEL_REQUESTED;
}

// What an operation's body sees of its progress object. Without a record (the operation runs on
// the caller's thread) every call is harmless: nothing is recorded and cancellation never comes.
class ProgressReporter {
 public:
  explicit ProgressReporter(std::shared_ptr<ProgressRecord> record = nullptr)
      : record_(std::move(record)) {}

  bool has_record() const { return record_ != nullptr; }
  // True once the caller asked for cancellation (status 16).
  bool CancelRequested() const;
  // The current status word (0 without a record); the write retry rule looks at it.
  uint32_t StatusWord() const;
  // Starts a phase: sets phase and end, resets done to 0.
  void BeginPhase(uint32_t phase, uint32_t end) const;
  void AddDone(uint32_t units) const;
  // Raises done to units; never lowers it within a phase.
  void RaiseDone(uint32_t units) const;
  // Sets one word of the session/track block (index 0 to 5, in _SESSIONTRACKPROGRESS order).
  void SetSessionTrack(int index, uint32_t value) const;
  void AddSessionTrack(int index, uint32_t value) const;
  // Raises one word of the session/track block to value; never lowers it. Session numbers and
  // counts only grow within a job, whichever part of the job (or which recorder) reports them.
  void RaiseSessionTrack(int index, uint32_t value) const;

 private:
  std::shared_ptr<ProgressRecord> record_;
};

using OperationBody = std::function<uint32_t(const ProgressReporter& reporter)>;

// The pattern of every operation that accepts a progress object. Without one, runs body on the
// caller's thread and returns its result. With one: 0x08000010 for a bad handle, 0x08000019 while
// an operation owns it (ProgressBusy); otherwise sets status 1, the phase, done 0 and end, starts a
// worker that runs body, and returns 0 (0x0800001E when no thread can be created). When the body
// returns, the worker sets status 2 for 0, 4 for 0x08000032 and 3 otherwise, and stores the result.
// A cancel that arrives before the worker runs is seen by the body at its first check.
uint32_t RunOperation(HANDLE progress, uint32_t phase, uint32_t end, OperationBody body);

// Starts a tree worker reporting through a file progress object. The worker is created suspended
// when the record's window is not a window (PRG_SetFileProgressMessage resumes it). When the body
// returns, its result is stored in the record and, when the window is a window, the finish message
// is posted to it with wparam = finished_code. Returns 0, 0x08000019 while another worker of the
// record has not ended, or 0x0800001E when no thread can be made.
uint32_t StartFileProgressWorker(const std::shared_ptr<FileProgressRecord>& record,
                                 uint32_t finished_code, std::function<uint32_t()> body);

}  // namespace quillden

#endif  // QUILLDEN_PROGRESS_PROGRESS_RECORD_H_
