// The PRG_ exports: thin checks at the boundary over the progress records.
#include <atomic>
#include <thread>
#include <type_traits>

#include "progress/progress_record.h"
#include "progress/progress_testing.h"
#include "quillden/progress.h"
#include "quillden/result.h"

using quillden::FileProgressRecord;
using quillden::ProgressRecord;

namespace quillden {
namespace {
std::atomic<uint32_t> g_cancel_poll_ms{100};
std::atomic<uint32_t> g_cancel_poll_rounds{1000};
std::atomic<uint32_t> g_destroy_wait_ms{10000};

// Destroy: wait (bounded) for a running worker, then give the worker's result or 0xFFFFFFFF.
template <typename Record>
DWORD DestroyRecord(HANDLE handle) {
  std::shared_ptr<Record> record = Record::Release(handle);
  if (!record) return 0xFFFFFFFFu;
  std::shared_ptr<Worker> worker = record->worker();
  if (!worker) return 0xFFFFFFFFu;
  if (!worker->WaitForEnd(g_destroy_wait_ms.load())) return 0xFFFFFFFFu;
  return record->result.load();
}

template <typename Record>
DWORD WorkerErrorCode(HANDLE handle) {
  std::shared_ptr<Record> record = Record::FromHandle(handle);
  if (!record) return QD_E_INVALID_HANDLE;
  std::shared_ptr<Worker> worker = record->worker();
  if (!worker) return QD_E_INVALID_HANDLE;
  if (!worker->Ended()) {
    // A worker writes its final status just before it ends; a caller that already saw that status
    // gets the result, not "busy".
    bool final_status = false;
    if constexpr (std::is_same_v<Record, ProgressRecord>) {
      uint32_t status = record->status.load();
      final_status = status == PRG_STATUS_SUCCEEDED || status == PRG_STATUS_FAILED ||
                     status == PRG_STATUS_CANCELLED;
    }
    if (!final_status || !worker->WaitForEnd(1000)) return QD_E_BUSY;
  }
  return worker->ExitCode();
}
}  // namespace

void SetProgressTimingForTesting(uint32_t cancel_poll_ms, uint32_t cancel_poll_rounds,
                                 uint32_t destroy_wait_ms) {
  g_cancel_poll_ms = cancel_poll_ms;
  g_cancel_poll_rounds = cancel_poll_rounds;
  g_destroy_wait_ms = destroy_wait_ms;
}

}  // namespace quillden

QUILLDEN_EXTERN_C QUILLDEN_API HANDLE PRG_CreateProgress(void) {
  try {
    return ProgressRecord::Create();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD PRG_DestroyProgress(HANDLE progress) {
  return quillden::DestroyRecord<ProgressRecord>(progress);
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD PRG_GetProgressStatus(HANDLE progress, DWORD* phase,
                                                           DWORD* done, DWORD* end) {
  std::shared_ptr<ProgressRecord> record = ProgressRecord::FromHandle(progress);
  if (!record) return PRG_STATUS_FAILED;
  if (phase) *phase = record->phase.load();
  if (done) *done = record->done.load();
  if (end) *end = record->end.load();
  return record->status.load();
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD PRG_GetSessionTrackProgress(HANDLE progress,
                                                                 _SESSIONTRACKPROGRESS* out) {
  std::shared_ptr<ProgressRecord> record = ProgressRecord::FromHandle(progress);
  if (!record) return PRG_STATUS_FAILED;
  if (out) {
    out->dwSession = record->session_track[0].load();
    out->dwTrack = record->session_track[1].load();
    out->dwWrittenSectors = record->session_track[2].load();
    out->dwSessions = record->session_track[3].load();
    out->dwTracks = record->session_track[4].load();
    out->dwTotalSectors = record->session_track[5].load();
  }
  return record->status.load();
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD PRG_CancelProgress(HANDLE progress) {
  std::shared_ptr<ProgressRecord> record = ProgressRecord::FromHandle(progress);
  if (!record) return QD_E_INVALID_HANDLE;
  bool cancel_pending = false;
  std::shared_ptr<quillden::Worker> worker = record->RequestCancel(&cancel_pending);
  if (!worker) return QD_E_INVALID_HANDLE;
  if (cancel_pending) {
    const uint32_t poll_ms = quillden::g_cancel_poll_ms.load();
    const uint32_t rounds = quillden::g_cancel_poll_rounds.load();
    for (uint32_t round = 0; round < rounds; ++round) {
      if (record->status.load() != PRG_STATUS_CANCEL_REQUESTED || worker->Ended()) break;
      worker->WaitForEnd(poll_ms);
    }
  }
  if (worker->Ended()) {
    record->result.exchange(worker->ExitCode());
    return QD_OK;
  }
  if (record->status.load() == PRG_STATUS_CANCEL_REQUESTED) {
    // The worker ignores us. Forget it; it keeps its own share of the record, so its late writes
    // stay harmless, and the object stays busy until it has written its final status.
    record->set_worker(nullptr);
    record->result.exchange(QD_E_TIMEOUT);
    return QD_E_TIMEOUT;
  }
  return QD_OK;
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD PRG_GetProgressErrorCode(HANDLE progress) {
  return quillden::WorkerErrorCode<ProgressRecord>(progress);
}

QUILLDEN_EXTERN_C QUILLDEN_API HANDLE PRG_CreateFileProgress(void) {
  try {
    return FileProgressRecord::Create();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD PRG_DestroyFileProgress(HANDLE file_progress) {
  return quillden::DestroyRecord<FileProgressRecord>(file_progress);
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD PRG_SetFileProgressMessage(HANDLE file_progress, HWND window,
                                                                UINT message) {
  std::shared_ptr<FileProgressRecord> record = FileProgressRecord::FromHandle(file_progress);
  if (!record) return QD_E_INVALID_ARGUMENT;
  record->window.exchange(window);
  record->message.exchange(message);
  if (std::shared_ptr<quillden::Worker> worker = record->worker()) worker->Resume();
  return QD_OK;
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD PRG_GetFileProgressErrorCode(HANDLE file_progress) {
  return quillden::WorkerErrorCode<FileProgressRecord>(file_progress);
}
