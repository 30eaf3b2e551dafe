#include "tool_runner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
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
  EXPECT_EQ(RunTool({}).state, ToolOutcome::State::kStartFailed);
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
