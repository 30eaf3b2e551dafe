#include "quillden/progress.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/message_window.h"
#include "progress/progress_record.h"
#include "progress/progress_testing.h"
#include "quillden/result.h"

namespace quillden {
namespace {

class ProgressTest : public ::testing::Test {
 protected:
  void SetUp() override { progress_ = PRG_CreateProgress(); }
  void TearDown() override {
    SetProgressTimingForTesting(100, 1000, 10000);
    if (progress_) PRG_DestroyProgress(progress_);
  }
  HANDLE progress_ = nullptr;
};

TEST_F(ProgressTest, OperationWithoutProgressRunsOnCallersThread) {
  std::thread::id body_thread;
  uint32_t result =
      RunOperation(nullptr, PRG_PHASE_WRITING_IMAGE, 10, [&](const ProgressReporter& r) {
        body_thread = std::this_thread::get_id();
        EXPECT_FALSE(r.has_record());
        EXPECT_FALSE(r.CancelRequested());
        r.AddDone(5);  // harmless without a record
        return QD_E_NO_SPACE;
      });
  EXPECT_EQ(result, QD_E_NO_SPACE);
  EXPECT_EQ(body_thread, std::this_thread::get_id());
}

TEST_F(ProgressTest, WorkerReportsPhaseCountsAndResult) {
  std::atomic<bool> release{false};
  ASSERT_EQ(RunOperation(progress_, PRG_PHASE_WRITING_IMAGE, 300,
                         [&](const ProgressReporter& r) {
                           r.AddDone(100);
                           r.SetSessionTrack(0, 1);
                           r.SetSessionTrack(5, 300);
                           while (!release)
                             std::this_thread::sleep_for(std::chrono::milliseconds(1));
                           return QD_OK;
                         }),
            QD_OK);
  // While running: status 1, the phase and end are visible, the error code says busy, and a second
  // operation on the same object is refused.
  DWORD phase = 0, done = 0, end = 0;
  EXPECT_EQ(PRG_GetProgressStatus(progress_, &phase, &done, &end), PRG_STATUS_RUNNING);
  EXPECT_EQ(phase, PRG_PHASE_WRITING_IMAGE);
  EXPECT_EQ(end, 300u);
  EXPECT_EQ(PRG_GetProgressErrorCode(progress_), QD_E_BUSY);
  EXPECT_EQ(RunOperation(progress_, 1, 1, [](const ProgressReporter&) { return QD_OK; }),
            QD_E_BUSY);
  release = true;
  EXPECT_EQ(PRG_DestroyProgress(progress_), QD_OK);
  progress_ = nullptr;
}

TEST_F(ProgressTest, EndStatusFollowsResult) {
  struct Case {
    uint32_t result;
    uint32_t status;
  } cases[] = {{QD_OK, PRG_STATUS_SUCCEEDED},
               {QD_E_CANCELLED, PRG_STATUS_CANCELLED},
               {QD_E_COMMAND_FAILED, PRG_STATUS_FAILED}};
  for (const Case& c : cases) {
    ASSERT_EQ(RunOperation(progress_, 1, 0, [&](const ProgressReporter&) { return c.result; }),
              QD_OK);
    for (int i = 0; i < 1000 && PRG_GetProgressStatus(progress_, nullptr, nullptr, nullptr) == 1;
         ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(PRG_GetProgressStatus(progress_, nullptr, nullptr, nullptr), c.status);
    EXPECT_EQ(PRG_GetProgressErrorCode(progress_), c.result);
    _SESSIONTRACKPROGRESS block;
    EXPECT_EQ(PRG_GetSessionTrackProgress(progress_, &block), c.status);
  }
}

TEST_F(ProgressTest, FinalStatusMeansTheErrorCodeIsReady) {
  // A caller that sees the final status collects the result at once; it never sees "busy".
  for (int run = 0; run < 300; ++run) {
    ASSERT_EQ(RunOperation(progress_, 1, 0, [](const ProgressReporter&) { return QD_E_NO_SPACE; }),
              QD_OK);
    while (PRG_GetProgressStatus(progress_, nullptr, nullptr, nullptr) == PRG_STATUS_RUNNING) {
    }
    ASSERT_EQ(PRG_GetProgressErrorCode(progress_), QD_E_NO_SPACE) << "run " << run;
  }
}

TEST_F(ProgressTest, CancelStopsACooperativeWorker) {
  ASSERT_EQ(RunOperation(progress_, PRG_PHASE_WRITING, 0,
                         [](const ProgressReporter& r) {
                           while (!r.CancelRequested())
                             std::this_thread::sleep_for(std::chrono::milliseconds(1));
                           return QD_E_CANCELLED;
                         }),
            QD_OK);
  EXPECT_EQ(PRG_CancelProgress(progress_), QD_OK);
  EXPECT_EQ(PRG_GetProgressStatus(progress_, nullptr, nullptr, nullptr), PRG_STATUS_CANCELLED);
  EXPECT_EQ(PRG_GetProgressErrorCode(progress_), QD_E_CANCELLED);
}

// Polls the way the front ends do: until the status is neither "running" nor "cancel requested".
// False when that never happens within the time given.
bool WaitForFinalStatus(HANDLE progress, std::chrono::milliseconds limit) {
  const auto give_up = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const DWORD status = PRG_GetProgressStatus(progress, nullptr, nullptr, nullptr);
    if (!ProgressBusy(status)) return true;
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::yield();
  }
}

TEST_F(ProgressTest, CancelAfterTheEndLeavesTheFinalStatus) {
  struct Case {
    uint32_t result;
    uint32_t status;
  } cases[] = {{QD_OK, PRG_STATUS_SUCCEEDED},
               {QD_E_CANCELLED, PRG_STATUS_CANCELLED},
               {QD_E_COMMAND_FAILED, PRG_STATUS_FAILED}};
  for (const Case& c : cases) {
    ASSERT_EQ(RunOperation(progress_, 1, 0, [&](const ProgressReporter&) { return c.result; }),
              QD_OK);
    ASSERT_TRUE(WaitForFinalStatus(progress_, std::chrono::seconds(5)));
    while (PRG_GetProgressErrorCode(progress_) == QD_E_BUSY) std::this_thread::yield();
    EXPECT_EQ(PRG_CancelProgress(progress_), QD_OK);
    EXPECT_EQ(PRG_GetProgressStatus(progress_, nullptr, nullptr, nullptr), c.status);
    EXPECT_EQ(PRG_GetProgressErrorCode(progress_), c.result);
    // The object is free for the next operation.
    ASSERT_EQ(RunOperation(progress_, 1, 0, [](const ProgressReporter&) { return QD_OK; }), QD_OK);
    ASSERT_TRUE(WaitForFinalStatus(progress_, std::chrono::seconds(5)));
    while (PRG_GetProgressErrorCode(progress_) == QD_E_BUSY) std::this_thread::yield();
  }
}

TEST_F(ProgressTest, CancelRacingTheEndNeverHangsThePoller) {
  // The worker ends at about the moment the cancel arrives; whichever comes first, the status must
  // end final and a caller polling for the end must see it.
  for (int run = 0; run < 400; ++run) {
    ASSERT_EQ(RunOperation(progress_, 1, 0,
                           [run](const ProgressReporter& r) {
                             for (int spin = 0; spin < run % 50; ++spin) std::this_thread::yield();
                             return r.CancelRequested() ? QD_E_CANCELLED : QD_OK;
                           }),
              QD_OK);
    for (int spin = 0; spin < run % 37; ++spin) std::this_thread::yield();
    EXPECT_EQ(PRG_CancelProgress(progress_), QD_OK);
    ASSERT_TRUE(WaitForFinalStatus(progress_, std::chrono::seconds(5))) << "run " << run;
    const DWORD status = PRG_GetProgressStatus(progress_, nullptr, nullptr, nullptr);
    const DWORD code = PRG_GetProgressErrorCode(progress_);
    EXPECT_TRUE((status == PRG_STATUS_SUCCEEDED && code == QD_OK) ||
                (status == PRG_STATUS_CANCELLED && code == QD_E_CANCELLED))
        << "run " << run << " status " << status << " code 0x" << std::hex << code;
  }
}

TEST_F(ProgressTest, CancelBeforeTheWorkerRunsIsSeenAtItsFirstCheck) {
  std::atomic<bool> open{false};
  SetWorkerStartGateForTesting([&] {
    while (!open) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  std::atomic<bool> body_saw_cancel{false};
  ASSERT_EQ(RunOperation(progress_, PRG_PHASE_WRITING, 0,
                         [&](const ProgressReporter& r) {
                           body_saw_cancel = r.CancelRequested();
                           return body_saw_cancel ? QD_E_CANCELLED : QD_OK;
                         }),
            QD_OK);
  std::atomic<DWORD> cancel_result{0xFFFFFFFFu};
  std::thread canceller([&] { cancel_result = PRG_CancelProgress(progress_); });
  while (PRG_GetProgressStatus(progress_, nullptr, nullptr, nullptr) !=
         PRG_STATUS_CANCEL_REQUESTED) {
    std::this_thread::yield();
  }
  // Still owned by the waiting worker: a second operation is refused.
  EXPECT_EQ(RunOperation(progress_, 1, 0, [](const ProgressReporter&) { return QD_OK; }),
            QD_E_BUSY);
  open = true;
  canceller.join();
  SetWorkerStartGateForTesting(nullptr);
  EXPECT_EQ(cancel_result, QD_OK);
  EXPECT_TRUE(body_saw_cancel);
  EXPECT_EQ(PRG_GetProgressStatus(progress_, nullptr, nullptr, nullptr), PRG_STATUS_CANCELLED);
  EXPECT_EQ(PRG_GetProgressErrorCode(progress_), QD_E_CANCELLED);
}

TEST_F(ProgressTest, SessionTrackWordsOnlyRise) {
  std::atomic<bool> release{false};
  ASSERT_EQ(RunOperation(progress_, PRG_PHASE_WRITING, 0,
                         [&](const ProgressReporter& r) {
                           r.SetSessionTrack(0, 2);
                           r.RaiseSessionTrack(0, 1);  // a later recorder of the same job
                           r.RaiseSessionTrack(3, 2);
                           while (!release)
                             std::this_thread::sleep_for(std::chrono::milliseconds(1));
                           return QD_OK;
                         }),
            QD_OK);
  _SESSIONTRACKPROGRESS block{};
  for (int i = 0; i < 2000 && block.dwSessions == 0; ++i) {
    PRG_GetSessionTrackProgress(progress_, &block);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(block.dwSession, 2u);
  EXPECT_EQ(block.dwSessions, 2u);
  release = true;
  EXPECT_EQ(PRG_DestroyProgress(progress_), QD_OK);
  progress_ = nullptr;
}

TEST_F(ProgressTest, CancelGivesUpOnAWorkerThatIgnoresIt) {
  SetProgressTimingForTesting(1, 20, 10000);
  std::atomic<bool> release{false};
  std::atomic<bool> finished{false};
  ASSERT_EQ(RunOperation(progress_, PRG_PHASE_WRITING, 0,
                         [&](const ProgressReporter& r) {
                           while (!release)
                             std::this_thread::sleep_for(std::chrono::milliseconds(1));
                           r.AddDone(1);  // a late write into the object after it was destroyed
                           finished = true;
                           return QD_OK;
                         }),
            QD_OK);
  EXPECT_EQ(PRG_CancelProgress(progress_), QD_E_TIMEOUT);
  // The worker is forgotten: no error code to collect, and destroy frees the object at once. The
  // forgotten worker may still write into the object, so no second operation may start on it.
  EXPECT_EQ(PRG_GetProgressErrorCode(progress_), QD_E_INVALID_HANDLE);
  EXPECT_EQ(RunOperation(progress_, 1, 0, [](const ProgressReporter&) { return QD_OK; }),
            QD_E_BUSY);
  EXPECT_EQ(PRG_DestroyProgress(progress_), 0xFFFFFFFFu);
  progress_ = nullptr;
  release = true;  // the abandoned worker now writes to its record; ASan proves it is still alive
  for (int i = 0; i < 2000 && !finished; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(finished);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

TEST_F(ProgressTest, DestroyWaitsBoundedForARunningWorker) {
  SetProgressTimingForTesting(100, 1000, 30);
  std::atomic<bool> release{false};
  ASSERT_EQ(RunOperation(progress_, 1, 0,
                         [&](const ProgressReporter&) {
                           while (!release)
                             std::this_thread::sleep_for(std::chrono::milliseconds(1));
                           return QD_OK;
                         }),
            QD_OK);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(PRG_DestroyProgress(progress_), 0xFFFFFFFFu);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  progress_ = nullptr;
  release = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

TEST_F(ProgressTest, StaleAndForeignHandlesAreRefused) {
  HANDLE stale = PRG_CreateProgress();
  PRG_DestroyProgress(stale);
  int not_a_progress = 0;
  for (HANDLE bad : {stale, static_cast<HANDLE>(&not_a_progress), INVALID_HANDLE_VALUE}) {
    EXPECT_EQ(PRG_GetProgressStatus(bad, nullptr, nullptr, nullptr), PRG_STATUS_FAILED);
    EXPECT_EQ(PRG_CancelProgress(bad), QD_E_INVALID_HANDLE);
    EXPECT_EQ(PRG_GetProgressErrorCode(bad), QD_E_INVALID_HANDLE);
    EXPECT_EQ(PRG_DestroyProgress(bad), 0xFFFFFFFFu);
    EXPECT_EQ(RunOperation(bad, 1, 0, [](const ProgressReporter&) { return QD_OK; }),
              QD_E_INVALID_HANDLE);
  }
}

TEST(FileProgressTest, WorkerWaitsSuspendedUntilAWindowIsSet) {
  namespace platform = quenvar::platform;
  HANDLE handle = PRG_CreateFileProgress();
  auto record = FileProgressRecord::FromHandle(handle);
  ASSERT_TRUE(record);
  std::atomic<bool> ran{false};
  ASSERT_EQ(StartFileProgressWorker(record, 0x20,
                                    [&]() -> uint32_t {
                                      ran = true;
                                      return QD_E_KEEP_EXISTING;
                                    }),
            QD_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(ran) << "the worker must wait for its window";
  EXPECT_EQ(PRG_GetFileProgressErrorCode(handle), QD_E_BUSY);

  std::atomic<int> finished_messages{0};
  WPARAM finished_code = 0;
  HWND window =
      platform::CreateMessageWindow([&](HWND, UINT message, WPARAM wparam, LPARAM) -> LRESULT {
        if (message == 0x8003) {
          finished_code = wparam;
          ++finished_messages;
        }
        return 0;
      });
  EXPECT_EQ(PRG_SetFileProgressMessage(handle, window, 0x8003), QD_OK);
  for (int i = 0; i < 2000 && finished_messages == 0; ++i) {
    platform::PumpMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(ran);
  EXPECT_EQ(finished_messages, 1);
  EXPECT_EQ(finished_code, 0x20u);
  EXPECT_EQ(PRG_GetFileProgressErrorCode(handle), QD_E_KEEP_EXISTING);
  EXPECT_EQ(PRG_DestroyFileProgress(handle), QD_E_KEEP_EXISTING);
  platform::DestroyMessageWindow(window);
}

TEST(FileProgressTest, WindowSetWhileTheWorkerStartsNeverLeavesItWaiting) {
  namespace platform = quenvar::platform;
  HWND window =
      platform::CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; });
  for (int run = 0; run < 300; ++run) {
    HANDLE handle = PRG_CreateFileProgress();
    auto record = FileProgressRecord::FromHandle(handle);
    ASSERT_TRUE(record);
    std::atomic<int> ready{0};
    std::thread setter([&] {
      ++ready;
      while (ready < 2) {
      }
      // From "before the start looked at the window" to "after the worker was stored".
      const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(run % 60);
      while (std::chrono::steady_clock::now() < until) {
      }
      PRG_SetFileProgressMessage(handle, window, 0x8003);
    });
    ++ready;
    while (ready < 2) {
    }
    ASSERT_EQ(StartFileProgressWorker(record, 0x20, []() -> uint32_t { return QD_OK; }), QD_OK);
    setter.join();
    // The window is set: the worker must run and end.
    std::shared_ptr<Worker> worker = record->worker();
    ASSERT_TRUE(worker);
    ASSERT_TRUE(worker->WaitForEnd(2000)) << "worker left suspended in run " << run;
    EXPECT_EQ(PRG_DestroyFileProgress(handle), QD_OK);
    platform::PumpMessages();
  }
  platform::DestroyMessageWindow(window);
}

TEST(FileProgressTest, OneWorkerPerObject) {
  HANDLE handle = PRG_CreateFileProgress();
  auto record = FileProgressRecord::FromHandle(handle);
  ASSERT_TRUE(record);
  for (int run = 0; run < 200; ++run) {
    std::atomic<int> ready{0};
    std::atomic<int> started{0};
    auto start = [&] {
      ++ready;
      while (ready < 2) {
      }
      if (StartFileProgressWorker(record, 0x20, []() -> uint32_t { return QD_OK; }) == QD_OK)
        ++started;
    };
    std::thread other(start);
    start();
    other.join();
    // Nobody set a window: the started worker waits suspended, and only one may exist.
    ASSERT_EQ(started, 1) << "run " << run;
    EXPECT_TRUE(record->Busy());
    EXPECT_EQ(StartFileProgressWorker(record, 0x20, []() -> uint32_t { return QD_OK; }), QD_E_BUSY);
    record->worker()->Resume();
    ASSERT_TRUE(record->worker()->WaitForEnd(5000));
  }
  EXPECT_EQ(PRG_DestroyFileProgress(handle), QD_OK);
}

}  // namespace
}  // namespace quillden
