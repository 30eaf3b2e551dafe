#include "progress/progress_record.h"

#include <functional>
#include <unordered_map>

#include "platform/message_window.h"
#include "progress/progress_testing.h"
#include "quillden/result.h"

namespace quillden {
namespace {

// Live handles of one record type. Handles are addresses; the map keeps the record alive while its
// handle is live and lets exports refuse anything else.
template <typename Record>
class Registry {
 public:
  HANDLE Add(std::shared_ptr<Record> record) {
    HANDLE handle = record.get();
    quenvar::platform::MutexLock lock(&mutex_);
    records_.emplace(handle, std::move(record));
    return handle;
  }
  std::shared_ptr<Record> Find(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    quenvar::platform::MutexLock lock(&mutex_);
    auto it = records_.find(handle);
    return it == records_.end() ? nullptr : it->second;
  }
  std::shared_ptr<Record> Remove(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    quenvar::platform::MutexLock lock(&mutex_);
    auto it = records_.find(handle);
    if (it == records_.end()) return nullptr;
    std::shared_ptr<Record> record = std::move(it->second);
    records_.erase(it);
    return record;
  }

 private:
  quenvar::platform::Mutex mutex_;
  std::unordered_map<HANDLE, std::shared_ptr<Record>> records_ GUARDED_BY(mutex_);
};

// Leaked on purpose: workers may outlive static destruction at process exit.
Registry<ProgressRecord>& Progresses() {
  static auto* registry = new Registry<ProgressRecord>();
  return *registry;
}
Registry<FileProgressRecord>& FileProgresses() {
  static auto* registry = new Registry<FileProgressRecord>();
  return *registry;
}

quenvar::platform::Mutex g_gate_mutex;
std::function<void()> g_worker_start_gate GUARDED_BY(g_gate_mutex);

// Lets a test hold a worker between its start and its body.
void WorkerStartGate() {
  std::function<void()> gate;
  {
    quenvar::platform::MutexLock lock(&g_gate_mutex);
    gate = g_worker_start_gate;
  }
  if (gate) gate();
}

uint32_t StatusForResult(uint32_t result) {
  if (result == QD_OK) return PRG_STATUS_SUCCEEDED;
  if (result == QD_E_CANCELLED) return PRG_STATUS_CANCELLED;
  return PRG_STATUS_FAILED;
}

}  // namespace

std::shared_ptr<Worker> ProgressRecord::worker() const {
  quenvar::platform::MutexLock lock(&worker_mutex_);
  return worker_;
}
void ProgressRecord::set_worker(std::shared_ptr<Worker> worker) {
  quenvar::platform::MutexLock lock(&worker_mutex_);
  worker_ = std::move(worker);
}
std::shared_ptr<ProgressRecord> ProgressRecord::FromHandle(HANDLE handle) {
  return Progresses().Find(handle);
}
HANDLE ProgressRecord::Create() {
  auto record = std::make_shared<ProgressRecord>();
  return Progresses().Add(std::move(record));
}
std::shared_ptr<ProgressRecord> ProgressRecord::Release(HANDLE handle) {
  return Progresses().Remove(handle);
}

std::shared_ptr<Worker> FileProgressRecord::worker() const {
  quenvar::platform::MutexLock lock(&worker_mutex_);
  return worker_;
}
void FileProgressRecord::set_worker(std::shared_ptr<Worker> worker) {
  quenvar::platform::MutexLock lock(&worker_mutex_);
  worker_ = std::move(worker);
}
std::shared_ptr<FileProgressRecord> FileProgressRecord::FromHandle(HANDLE handle) {
  return FileProgresses().Find(handle);
}
HANDLE FileProgressRecord::Create() {
  auto record = std::make_shared<FileProgressRecord>();
  return FileProgresses().Add(std::move(record));
}
std::shared_ptr<FileProgressRecord> FileProgressRecord::Release(HANDLE handle) {
  return FileProgresses().Remove(handle);
}

bool ProgressReporter::CancelRequested() const {
  return record_ && record_->status.load() == PRG_STATUS_CANCEL_REQUESTED;
}
uint32_t ProgressReporter::StatusWord() const {
  return record_ ? record_->status.load() : 0;
}
void ProgressReporter::BeginPhase(uint32_t phase, uint32_t end) const {
  if (!record_) return;
  record_->phase.exchange(phase);
  record_->done.exchange(0);
  record_->end.exchange(end);
}
void ProgressReporter::AddDone(uint32_t units) const {
  if (record_) record_->done.fetch_add(units);
}
void ProgressReporter::RaiseDone(uint32_t units) const {
  if (!record_) return;
  uint32_t current = record_->done.load();
  while (current < units && !record_->done.compare_exchange_weak(current, units)) {
  }
}
void ProgressReporter::SetSessionTrack(int index, uint32_t value) const {
  if (record_ && index >= 0 && index < 6) record_->session_track[index].exchange(value);
}
void ProgressReporter::AddSessionTrack(int index, uint32_t value) const {
  if (record_ && index >= 0 && index < 6) record_->session_track[index].fetch_add(value);
}
void ProgressReporter::RaiseSessionTrack(int index, uint32_t value) const {
  if (!record_ || index < 0 || index >= 6) return;
  std::atomic<uint32_t>& word = record_->session_track[index];
  uint32_t current = word.load();
  while (current < value && !word.compare_exchange_weak(current, value)) {
  }
}

uint32_t ProgressRecord::Claim(Worker::Body body, std::shared_ptr<Worker>* started) {
  quenvar::platform::MutexLock lock(&worker_mutex_);
  if (ProgressBusy(status.load())) return QD_E_BUSY;
  std::shared_ptr<Worker> worker = Worker::Start(std::move(body), /*start_suspended=*/true);
  if (!worker) return QD_E_THREAD;
  worker_ = worker;
  status.exchange(PRG_STATUS_RUNNING);
  *started = std::move(worker);
  return QD_OK;
}

std::shared_ptr<Worker> ProgressRecord::RequestCancel(bool* cancel_pending) {
  quenvar::platform::MutexLock lock(&worker_mutex_);
  *cancel_pending = false;
  if (!worker_) return nullptr;
  uint32_t expected = PRG_STATUS_RUNNING;
  // A final status is the worker's last word: a late cancel must not turn it back into a request
  // that nobody will ever answer.
  if (!status.compare_exchange_strong(expected, PRG_STATUS_CANCEL_REQUESTED)) {
    *cancel_pending = expected == PRG_STATUS_CANCEL_REQUESTED;
  } else {
    *cancel_pending = true;
  }
  return worker_;
}

uint32_t RunOperation(HANDLE progress, uint32_t phase, uint32_t end, OperationBody body) {
  if (progress == nullptr) return body(ProgressReporter());
  std::shared_ptr<ProgressRecord> record = ProgressRecord::FromHandle(progress);
  if (!record) return QD_E_INVALID_HANDLE;
  if (ProgressBusy(record->status.load())) return QD_E_BUSY;
  // The words of the new operation are in place before its status says "running"; a reader that
  // meets them a moment early still sees the previous operation's final status.
  record->phase.exchange(phase);
  record->done.exchange(0);
  record->end.exchange(end);
  record->result.exchange(0);
  for (auto& word : record->session_track) word.exchange(0);

  // The final status is written before the worker counts as ended: a cancel that waits for the
  // end then finds it. PRG_GetProgressErrorCode bridges the short gap the other way round.
  std::shared_ptr<Worker> worker;
  const uint32_t claimed = record->Claim(
      [record, body = std::move(body)]() -> uint32_t {
        WorkerStartGate();
        uint32_t result = body(ProgressReporter(record));
        record->result.exchange(result);
        record->status.exchange(StatusForResult(result));
        return result;
      },
      &worker);
  if (claimed != QD_OK) return claimed;
  worker->Resume();
  return QD_OK;
}

bool FileProgressRecord::Busy() const {
  quenvar::platform::MutexLock lock(&worker_mutex_);
  return worker_ && !worker_->Ended();
}

uint32_t StartFileProgressWorker(const std::shared_ptr<FileProgressRecord>& record,
                                 uint32_t finished_code, std::function<uint32_t()> body) {
  std::shared_ptr<Worker> worker;
  {
    // One worker per object: the check and the start are one step, so two callers racing for the
    // same object cannot both start one (they would share the result word).
    quenvar::platform::MutexLock lock(&record->worker_mutex_);
    if (record->worker_ && !record->worker_->Ended()) return QD_E_BUSY;
    worker = Worker::Start(
        [record, body = std::move(body)]() -> uint32_t {
          uint32_t result = body();
          record->result.exchange(result);
          return result;
        },
        /*start_suspended=*/true,
        // Posted after the worker counts as ended: the receiver may collect the result at once.
        [record, finished_code](uint32_t) {
          HWND window = record->window.load();
          if (quenvar::platform::IsWindow(window)) {
            quenvar::platform::PostMessage(window, record->message.load(), finished_code, 0);
          }
        });
    if (!worker) return QD_E_THREAD;
    record->worker_ = worker;
  }
  // The window is looked at after the worker is stored: PRG_SetFileProgressMessage stores the
  // window before it looks for the worker, so one of the two always resumes it. (Looking first
  // left a worker suspended for ever when the window arrived in between.)
  if (quenvar::platform::IsWindow(record->window.load())) worker->Resume();
  return QD_OK;
}

void SetWorkerStartGateForTesting(std::function<void()> gate) {
  quenvar::platform::MutexLock lock(&g_gate_mutex);
  g_worker_start_gate = std::move(gate);
}

}  // namespace quillden
