#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/message_window.h"
#include "progress/progress_record.h"
#include "progress/progress_testing.h"
#include "quillden/progress.h"
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
  uint32_t result = RunOperation(nullptr, PRG_PHASE_WRITING_IMAGE, 10, [&](const ProgressReporter& r) {
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
                           while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
  EXPECT_EQ(RunOperation(progress_, 1, 1, [](const ProgressReporter&) { return QD_OK; }), QD_E_BUSY);
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
    ASSERT_EQ(RunOperation(progress_, 1, 0, [&](const ProgressReporter&) { return c.result; }), QD_OK);
    for (int i = 0; i < 1000 && PRG_GetProgressStatus(progress_, nullptr, nullptr, nullptr) == 1; ++i) {
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
    ASSERT_EQ(RunOperation(progress_, 1, 0, [](const ProgressReporter&) { return QD_E_NO_SPACE; }), QD_OK);
    while (PRG_GetProgressStatus(progress_, nullptr, nullptr, nullptr) == PRG_STATUS_RUNNING) {
    }
    ASSERT_EQ(PRG_GetProgressErrorCode(progress_), QD_E_NO_SPACE) << "run " << run;
  }
}

TEST_F(ProgressTest, CancelStopsACooperativeWorker) {
  ASSERT_EQ(RunOperation(progress_, PRG_PHASE_WRITING, 0,
                         [](const ProgressReporter& r) {
                           while (!r.CancelRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                           return QD_E_CANCELLED;
                         }),
            QD_OK);
  EXPECT_EQ(PRG_CancelProgress(progress_), QD_OK);
  EXPECT_EQ(PRG_GetProgressStatus(progress_, nullptr, nullptr, nullptr), PRG_STATUS_CANCELLED);
  EXPECT_EQ(PRG_GetProgressErrorCode(progress_), QD_E_CANCELLED);
}

TEST_F(ProgressTest, CancelGivesUpOnAWorkerThatIgnoresIt) {
  SetProgressTimingForTesting(1, 20, 10000);
  std::atomic<bool> release{false};
  std::atomic<bool> finished{false};
  ASSERT_EQ(RunOperation(progress_, PRG_PHASE_WRITING, 0,
                         [&](const ProgressReporter& r) {
                           while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                           r.AddDone(1);  // a late write into the object after it was destroyed
                           finished = true;
                           return QD_OK;
                         }),
            QD_OK);
  EXPECT_EQ(PRG_CancelProgress(progress_), QD_E_TIMEOUT);
  // The worker is forgotten: no error code to collect, and destroy frees the object at once.
  EXPECT_EQ(PRG_GetProgressErrorCode(progress_), QD_E_INVALID_HANDLE);
  EXPECT_EQ(PRG_DestroyProgress(progress_), 0xFFFFFFFFu);
  progress_ = nullptr;
  release = true;  // the abandoned worker now writes to its record; ASan proves it is still alive
  for (int i = 0; i < 2000 && !finished; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(finished);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

TEST_F(ProgressTest, DestroyWaitsBoundedForARunningWorker) {
  SetProgressTimingForTesting(100, 1000, 30);
  std::atomic<bool> release{false};
  ASSERT_EQ(RunOperation(progress_, 1, 0,
                         [&](const ProgressReporter&) {
                           while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
    EXPECT_EQ(RunOperation(bad, 1, 0, [](const ProgressReporter&) { return QD_OK; }), QD_E_INVALID_HANDLE);
  }
}

TEST(FileProgressTest, WorkerWaitsSuspendedUntilAWindowIsSet) {
  namespace platform = quenvar::platform;
  HANDLE handle = PRG_CreateFileProgress();
  auto record = FileProgressRecord::FromHandle(handle);
  ASSERT_TRUE(record);
  std::atomic<bool> ran{false};
  ASSERT_EQ(StartFileProgressWorker(record, 0x20, [&]() -> uint32_t {
              ran = true;
              return QD_E_KEEP_EXISTING;
            }),
            QD_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(ran) << "the worker must wait for its window";
  EXPECT_EQ(PRG_GetFileProgressErrorCode(handle), QD_E_BUSY);

  std::atomic<int> finished_messages{0};
  WPARAM finished_code = 0;
  HWND window = platform::CreateMessageWindow([&](HWND, UINT message, WPARAM wparam, LPARAM) -> LRESULT {
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

}  // namespace
}  // namespace quillden
