#include "progress_view.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "progress/progress_record.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden::tool {
namespace {

using namespace std::chrono_literals;

TEST(ProgressLineTest, ShowsPhaseBarPercentAndSize) {
  const std::string half = FormatProgressLine(nullptr, PRG_PHASE_WRITING, 1024, 2048, 12.5);
  EXPECT_EQ(half, "writing    [###############               ]  50.0%  2 / 4 MiB  12.50 MB/s");
  // Data phases take the command's word for them; the others keep their own names.
  EXPECT_EQ(FormatProgressLine("copying", PRG_PHASE_WRITING, 0, 16, -1).substr(0, 8), "copying ");
  EXPECT_EQ(FormatProgressLine("copying", PRG_PHASE_CLOSING, 3, 4, -1).substr(0, 8), "closing ");
  EXPECT_EQ(FormatProgressLine(nullptr, PRG_PHASE_COMPARING, 0, 16, -1).substr(0, 10), "comparing ");
}

TEST(ProgressLineTest, OddWordsStayInRange) {
  // A done word beyond end (the last blocks of a padded track) is a full bar, not 110 %.
  EXPECT_NE(FormatProgressLine(nullptr, PRG_PHASE_WRITING, 2200, 2000, -1).find("100.0%"), std::string::npos);
  // No end yet: nothing is divided by zero.
  EXPECT_NE(FormatProgressLine(nullptr, PRG_PHASE_WRITING, 5, 0, -1).find("  0.0%"), std::string::npos);
  // Full 32-bit counts of blocks (8 TiB) are sizes, not wrapped numbers.
  EXPECT_NE(FormatProgressLine(nullptr, PRG_PHASE_WRITING, 0xFFFFFFFFu, 0xFFFFFFFFu, -1).find("8388607 / 8388607 MiB"),
            std::string::npos);
  // A phase counted in fractions of 65535 shows no sizes and no speed.
  const std::string fraction = FormatProgressLine(nullptr, PRG_PHASE_WRITING, 300, PRG_END_FRACTION, 9.0);
  EXPECT_EQ(fraction.find("MiB"), std::string::npos);
  EXPECT_EQ(fraction.find("MB/s"), std::string::npos);
  // Flushing and erasing count no data.
  EXPECT_EQ(FormatProgressLine(nullptr, PRG_PHASE_ERASING, 10, 100, 3.0).find("MiB"), std::string::npos);
}

ProgressViewOptions Quiet() {
  ProgressViewOptions options;
  options.quiet = true;
  options.interval_ms = 10;
  return options;
}

TEST(WaitForJobTest, ReturnsTheJobsOwnResultAndLastCounts) {
  const JobOutcome outcome = RunJob(
      [](HANDLE progress) {
        return RunOperation(progress, PRG_PHASE_COMPARING, 64, [](const ProgressReporter& reporter) -> uint32_t {
          std::this_thread::sleep_for(30ms);
          reporter.AddDone(40);
          return QD_E_COMPARE_DIFFERS;
        });
      },
      Quiet());
  EXPECT_EQ(outcome.result, QD_E_COMPARE_DIFFERS);
  EXPECT_EQ(outcome.done, 40u);
  EXPECT_EQ(outcome.end, 64u);
  EXPECT_FALSE(outcome.interrupted);
}

TEST(WaitForJobTest, ARefusedStartIsReportedWithoutWaiting) {
  const JobOutcome outcome = RunJob([](HANDLE) -> DWORD { return QD_E_INVALID_SETTING; }, Quiet());
  EXPECT_EQ(outcome.result, QD_E_INVALID_SETTING);
}

TEST(WaitForJobTest, CtrlCCancelsTheJobAndRestoresTheHandler) {
  struct sigaction before {};
  sigaction(SIGINT, nullptr, &before);
  std::thread interrupter([] {
    std::this_thread::sleep_for(100ms);
    kill(getpid(), SIGINT);
  });
  const auto started = std::chrono::steady_clock::now();
  const JobOutcome outcome = RunJob(
      [](HANDLE progress) {
        return RunOperation(progress, PRG_PHASE_WRITING, 100, [](const ProgressReporter& reporter) -> uint32_t {
          // Runs for 20 s unless asked to stop.
          for (int i = 0; i < 2000; ++i) {
            if (reporter.CancelRequested()) return QD_E_CANCELLED;
            std::this_thread::sleep_for(10ms);
          }
          return QD_OK;
        });
      },
      Quiet());
  interrupter.join();
  EXPECT_TRUE(outcome.interrupted);
  EXPECT_EQ(outcome.result, QD_E_CANCELLED);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  struct sigaction after {};
  sigaction(SIGINT, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
}

}  // namespace
}  // namespace quillden::tool
