#include "tool_runner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "platform/message_window.h"
#include "platform/temp_dir.h"

namespace quenvar::usbformat {
namespace {

TEST(ToolRunner, ExitCodesAndStartFailures) {
  EXPECT_TRUE(RunTool({"true"}).Succeeded());
  ToolOutcome failed = RunTool({"sh", "-c", "exit 3"});
  EXPECT_EQ(failed.state, ToolOutcome::State::kExited);
  EXPECT_EQ(failed.exit_code, 3);
  EXPECT_FALSE(failed.Succeeded());
  ToolOutcome killed = RunTool({"sh", "-c", "kill -9 $$"});
  EXPECT_EQ(killed.state, ToolOutcome::State::kSignaled);
  EXPECT_FALSE(killed.Succeeded());
  ToolOutcome missing = RunTool({"quenvar-no-such-tool"});
  EXPECT_EQ(missing.state, ToolOutcome::State::kStartFailed);
  EXPECT_EQ(RunTool(std::vector<std::string>{}).state, ToolOutcome::State::kStartFailed);
}

TEST(ToolRunner, ArgumentsArriveVerbatimAndStdinIsTheScript) {
  platform::ScopedTempDir dir;
  ASSERT_FALSE(dir.path().empty());
  std::string script = dir.Child("in");
  std::ofstream(script) << "line from the script\n";
  std::string out = dir.Child("out");
  // A label with shell metacharacters must reach the tool as one argument, untouched.
  std::string label = "a b;$(x)'\"";
  ASSERT_TRUE(
      RunTool({"sh", "-c", "printf '%s|' \"$1\" > \"$2\"; cat >> \"$2\"", "sh", label, out}, script)
          .Succeeded());
  std::ifstream in(out);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, label + "|line from the script\n");
  EXPECT_EQ(RunTool({"true"}, dir.Child("absent")).state, ToolOutcome::State::kStartFailed);
}

TEST(ToolRunner, ToolErrorsAreKeptFromTheTerminal) {
  // What a tool writes to its standard error comes back in the outcome, never on ours.
  testing::internal::CaptureStderr();
  ToolOutcome outcome =
      RunTool({"sh", "-c", "echo 'first' >&2; echo 'Re-reading the partition table failed.' >&2"});
  const std::string leaked = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(outcome.Succeeded());
  EXPECT_EQ(leaked, "");
  EXPECT_EQ(outcome.errors, "first\nRe-reading the partition table failed.\n");
  EXPECT_EQ(outcome.LastErrorLine(), "Re-reading the partition table failed.");
  EXPECT_EQ(RunTool({"true"}).LastErrorLine(), "");
}

TEST(ToolRunner, EnvironmentAndCancel) {
  setenv("QUENVAR_TOOL_PROBE", "outer", 1);
  ToolCall call;
  call.argv = {"sh", "-c", "echo \"$LC_ALL/$QUENVAR_TOOL_PROBE/$HOME\" >&2"};
  call.environment = Utf8ToolEnvironment();
  call.environment.push_back("QUENVAR_TOOL_PROBE=inner");
  ToolOutcome outcome = RunTool(call);
  unsetenv("QUENVAR_TOOL_PROBE");
  const char* home = getenv("HOME");
  EXPECT_EQ(outcome.LastErrorLine(), std::string("C.UTF-8/inner/") + (home ? home : ""));

  std::atomic<int32_t> cancel{0};
  ToolCall slow;
  slow.argv = {"sleep", "30"};
  slow.cancel = &cancel;
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    cancel.store(1);
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunTool(slow).state, ToolOutcome::State::kCancelled);
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(ToolRunner, RunningToolStreamsItsOutput) {
  RunningTool tool;
  ToolCall call;
  call.argv = {"sh", "-c", "printf 'abcdef'; echo oops >&2; exit 4"};
  ASSERT_TRUE(tool.Start(call));
  char buffer[16] = {};
  EXPECT_EQ(tool.Read(buffer, 4), 4);
  EXPECT_EQ(std::string(buffer, 4), "abcd");
  EXPECT_EQ(tool.Read(buffer, sizeof buffer), 2);
  EXPECT_EQ(tool.Read(buffer, sizeof buffer), 0);
  ToolOutcome outcome = tool.Finish();
  EXPECT_EQ(outcome.exit_code, 4);
  EXPECT_EQ(outcome.LastErrorLine(), "oops");
  RunningTool missing;
  ToolCall none;
  none.argv = {"quenvar-no-such-tool"};
  EXPECT_FALSE(missing.Start(none));
}

TEST(ToolRunner, PumpsMessagesWhileWaiting) {
  std::atomic<int> handled{0};
  HWND window = platform::CreateMessageWindow([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
    ++handled;
    return 7;
  });
  std::atomic<LRESULT> reply{0};
  // A worker that sends to the waiting thread blocks until that thread dispatches.
  std::thread sender([&] { reply = platform::SendMessage(window, 0x400, 0, 0); });
  ToolOutcome outcome = RunTool({"sleep", "0.5"}, "", /*pump_messages=*/true);
  sender.join();
  EXPECT_TRUE(outcome.Succeeded());
  EXPECT_EQ(handled.load(), 1);
  EXPECT_EQ(reply.load(), 7);
  platform::DestroyMessageWindow(window);
}

TEST(ToolRunner, FindToolLooksInSbinFolders) {
  EXPECT_FALSE(FindTool("sh").empty());
  EXPECT_EQ(FindTool("quenvar-no-such-tool"), "");
  EXPECT_EQ(FindTool("/nonexistent/tool"), "");
  std::string saved = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", "/nonexistent", 1);
  std::string sfdisk = FindTool("sfdisk");
  setenv("PATH", saved.c_str(), 1);
  if (access("/usr/sbin/sfdisk", X_OK) == 0 || access("/sbin/sfdisk", X_OK) == 0) {
    EXPECT_FALSE(sfdisk.empty());
  }
}

}  // namespace
}  // namespace quenvar::usbformat
