#include "tools/quenvar-create/terminal_front_end.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>


namespace quenvar::create {
namespace {

std::string Read(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  char buffer[512];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  return text;
}

TEST(OptionsTest, ParsesEveryOptionAndRejectsNonsense) {
  Options options;
  std::string error;
  ASSERT_TRUE(ParseOptions({"--drive", "v:", "--set", "1:2", "--set", "2:1", "--no-verify", "--insert", "cancel",
                            "--blank", "dvd+r", "--keep", "/k", "--erase", "yes", "--on-failure", "retry",
                            "--retries", "3", "--media-prompts", "2", "top.ini"},
                           &options, &error))
      << error;
  EXPECT_EQ(options.drive, 'V');
  EXPECT_EQ(options.sets, (std::vector<std::pair<int, int>>{{1, 2}, {2, 1}}));
  EXPECT_EQ(options.verify, 0);
  EXPECT_FALSE(options.insert_ok);
  EXPECT_EQ(options.blank_kind, "dvd+r");
  EXPECT_EQ(options.keep_dir, "/k");
  EXPECT_TRUE(options.erase);
  EXPECT_EQ(options.on_failure, FailurePolicy::kRetry);
  EXPECT_EQ(options.retries, 3);
  EXPECT_EQ(options.max_media_prompts, 2);
  EXPECT_EQ(options.top_level, "top.ini");

  ASSERT_TRUE(ParseOptions({"top.ini"}, &options, &error));
  EXPECT_EQ(options.verify, -1);
  EXPECT_TRUE(options.insert_ok);
  EXPECT_EQ(options.on_failure, FailurePolicy::kAbort);

  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{},
                                             {"--drive", "VV", "t"},
                                             {"--drive"},
                                             {"--set", "1", "t"},
                                             {"--set", "0:1", "t"},
                                             {"--set", "1:x", "t"},
                                             {"--set", "1:", "t"},
                                             {"--on-failure", "later", "t"},
                                             {"--retries", "-1", "t"},
                                             {"--media-prompts", "0", "t"},
                                             {"--frobnicate", "t"},
                                             {"a.ini", "b.ini"}}) {
    error.clear();
    EXPECT_FALSE(ParseOptions(bad, &options, &error)) << testing::PrintToString(bad);
    EXPECT_FALSE(error.empty());
  }
}

TEST(HeadlessPrompterTest, PoliciesAreBounded) {
  std::FILE* out = std::tmpfile();
  Options options;
  options.on_failure = FailurePolicy::kRetry;
  options.retries = 2;
  options.max_media_prompts = 2;
  int blanks = 0;
  HeadlessPrompter prompter(options, out, [&blanks] { ++blanks; });

  EXPECT_EQ(prompter.SelectNextProcess(nullptr, u"Disc 1"), app::kIdRetryMedia);
  EXPECT_EQ(prompter.SelectNextProcess(nullptr, u"Disc 2"), app::kIdRetryMedia);
  EXPECT_EQ(prompter.SelectNextProcess(nullptr, u"Disc 1"), app::kIdRetryMedia);
  EXPECT_EQ(prompter.SelectNextProcess(nullptr, u"Disc 1"), app::kIdCancel) << "retries run out";

  app::MessageRequest insert;
  insert.text = u"Disc 1 will be created now.\r\nPlease insert blank media.\r\n";
  insert.buttons = app::PromptButtons::kOkCancel;
  EXPECT_EQ(prompter.ShowMessage(insert), app::kIdOk);
  EXPECT_EQ(prompter.ShowMessage(insert), app::kIdOk);
  EXPECT_EQ(prompter.ShowMessage(insert), app::kIdCancel) << "a medium that never fits ends the disc";
  EXPECT_EQ(blanks, 2) << "a blank is loaded only for prompts answered OK";
  insert.text = u"Disc 2 will now be created.\r\n";
  EXPECT_EQ(prompter.ShowMessage(insert), app::kIdOk);

  app::MessageRequest erase;
  erase.buttons = app::PromptButtons::kYesNo;
  erase.text = u"Erase?";
  EXPECT_EQ(prompter.ShowMessage(erase), app::kIdNo);
  app::MessageRequest notice;
  notice.text = u"Done.\r\n";
  EXPECT_EQ(prompter.ShowMessage(notice), app::kIdOk);
  EXPECT_EQ(prompter.ConfirmCancel(nullptr, u"Quenvar", u"Cancel?"), app::kIdOk);
  EXPECT_EQ(prompter.Choose(app::ChoiceRequest{}), -1);
  EXPECT_TRUE(prompter.IsWindow(prompter.MainWindow()));
  EXPECT_FALSE(prompter.IsWindow(nullptr));

  const std::string text = Read(out);
  EXPECT_NE(text.find("[notice] Disc 1 will be created now.\nPlease insert blank media.\n  -> ok\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("Erase?\n  -> no\n"), std::string::npos);
  EXPECT_EQ(text.find('\r'), std::string::npos);
  std::fclose(out);

  Options next;
  next.on_failure = FailurePolicy::kNext;
  std::FILE* quiet = std::tmpfile();
  HeadlessPrompter next_prompter(next, quiet, nullptr);
  EXPECT_EQ(next_prompter.SelectNextProcess(nullptr, u"D"), app::kIdNextMedia);
  std::fclose(quiet);
}

TEST(TerminalWindowTest, PrintsNewTextAndCoarseProgress) {
  std::FILE* out = std::tmpfile();
  TerminalWindow window(out);
  window.SetInformationText(u"A will be created now.\r\n");
  window.SetInformationText(u"A will be created now.\r\n");  // unchanged: nothing printed
  window.SetInformationText(u"A will be created now.\r\nB will now be created.\r\n");
  window.SetInformationText(u"Now verifying data\r\n");
  window.SetCurrentBar(0);
  window.SetCurrentBar(55);  // same tenth: no new line
  window.SetCurrentBar(500);
  window.SetTotalBar(1000);
  EXPECT_EQ(Read(out),
            "A will be created now.\nB will now be created.\nNow verifying data\n"
            "progress: current medium   0.0%, total   0.0%\n"
            "progress: current medium  50.0%, total   0.0%\n"
            "progress: current medium  50.0%, total 100.0%\n");
  std::fclose(out);
}

TEST(OptionsTest, BatteryAnswer) {
  Options options;
  std::string error;
  ASSERT_TRUE(ParseOptions({"top.ini"}, &options, &error));
  EXPECT_TRUE(options.on_battery_continue);
  ASSERT_TRUE(ParseOptions({"--on-battery", "stop", "top.ini"}, &options, &error)) << error;
  EXPECT_FALSE(options.on_battery_continue);
  EXPECT_FALSE(ParseOptions({"--on-battery", "no", "top.ini"}, &options, &error));
  EXPECT_FALSE(ParseOptions({"top.ini", "--on-battery"}, &options, &error));
}

// A power supply folder of a laptop whose adapter is unplugged or plugged in.
class Laptop {
 public:
  explicit Laptop(bool on_battery) {
    char pattern[] = "/tmp/quenvar_create_power_XXXXXX";
    root_ = ::mkdtemp(pattern);
    std::filesystem::create_directories(root_ + "/BAT0");
    std::filesystem::create_directories(root_ + "/AC");
    std::ofstream(root_ + "/BAT0/type") << "Battery\n";
    std::ofstream(root_ + "/AC/type") << "Mains\n";
    std::ofstream(root_ + "/AC/online") << (on_battery ? "0\n" : "1\n");
  }
  ~Laptop() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  const std::string& path() const { return root_; }

 private:
  std::string root_;
};

TEST(TerminalWindowTest, BatteryQuestionHasItsOwnAnswer) {
  for (const bool go_on : {true, false}) {
    std::FILE* out = std::tmpfile();
    Options options;
    options.on_battery_continue = go_on;
    options.erase = !go_on;  // the erase answer must not decide the battery question
    HeadlessPrompter prompter(options, out, nullptr);
    app::ScopedPrompter install(&prompter);
    Laptop unplugged(true);
    TerminalWindow window(out, unplugged.path());
    EXPECT_EQ(window.ConfirmBattery(), go_on);
    app::MessageRequest erase;
    erase.buttons = app::PromptButtons::kYesNo;
    erase.text = u"Erase?";
    EXPECT_EQ(prompter.ShowMessage(erase), go_on ? app::kIdNo : app::kIdYes);
    const std::string text = Read(out);
    EXPECT_NE(text.find("This computer is on battery power now."), std::string::npos) << text;
    EXPECT_NE(text.find(go_on ? "  -> yes" : "  -> no"), std::string::npos) << text;
    std::fclose(out);
  }
  // On mains power nothing is asked.
  std::FILE* out = std::tmpfile();
  Options options;
  options.on_battery_continue = false;
  HeadlessPrompter prompter(options, out, nullptr);
  app::ScopedPrompter install(&prompter);
  Laptop plugged(false);
  TerminalWindow window(out, plugged.path());
  EXPECT_TRUE(window.ConfirmBattery());
  EXPECT_EQ(Read(out), "");
  std::fclose(out);
}

// An inhibitor that hands out one end of a pipe, so a test sees when it is closed.
class PipeInhibitor : public app::InhibitorSource {
 public:
  int Inhibit(const app::InhibitRequest& request, std::string* error) override {
    ++calls;
    what = request.what;
    if (fail) {
      *error = "no login manager";
      return -1;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    other_end = fds[1];
    return fds[0];
  }
  int calls = 0;
  bool fail = false;
  int other_end = -1;
  std::string what;
};

TEST(HeadlessControllerUiTest, JobsKeepTheMachineAwake) {
  PipeInhibitor source;
  HeadlessControllerUi ui(&source);
  ui.SetExecutionState(app::kEsKeepAwake);
  EXPECT_TRUE(ui.awake_held());
  EXPECT_EQ(source.what, "shutdown:sleep:idle");
  ui.SetExecutionState(app::kEsKeepAwake);  // a second job step keeps the one inhibitor
  EXPECT_EQ(source.calls, 1);
  ui.SetExecutionState(app::kEsContinuous);
  EXPECT_FALSE(ui.awake_held());
  // The inhibitor's descriptor is closed: the pipe's writer sees no reader any more.
  char byte = 0;
  ::signal(SIGPIPE, SIG_IGN);
  EXPECT_EQ(::write(source.other_end, &byte, 1), -1);
  ::close(source.other_end);
  EXPECT_EQ(ui.execution_states(),
            (std::vector<uint32_t>{app::kEsKeepAwake, app::kEsKeepAwake, app::kEsContinuous}));

  // Without a login manager the job goes on without an inhibitor.
  PipeInhibitor absent;
  absent.fail = true;
  HeadlessControllerUi quiet(&absent);
  quiet.SetExecutionState(app::kEsKeepAwake);
  EXPECT_FALSE(quiet.awake_held());
  quiet.SetExecutionState(app::kEsContinuous);
  EXPECT_EQ(absent.calls, 1);
}

}  // namespace
}  // namespace quenvar::create
