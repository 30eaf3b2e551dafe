#include "tools/quenvar-create/terminal_front_end.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"

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
  ASSERT_TRUE(ParseOptions({"--drive",     "v:",
                            "--set",       "1:2",
                            "--set",       "2:1",
                            "--no-verify", "--insert",
                            "cancel",      "--blank",
                            "dvd+r",       "--keep",
                            "/k",          "--erase",
                            "yes",         "--on-failure",
                            "retry",       "--retries",
                            "3",           "--media-prompts",
                            "2",           "--format",
                            "yes",         "--confirm-cancel",
                            "no",          "--verify-mode",
                            "quick",       "top.ini"},
                           &options, &error))
      << error;
  EXPECT_EQ(options.drive, 'V');
  EXPECT_EQ(options.sets, (std::vector<std::pair<int, int>>{{1, 2}, {2, 1}}));
  EXPECT_EQ(options.verify, kVerifyQuickMode);  // the last verify option wins
  EXPECT_EQ(options.insert, InsertPolicy::kCancel);
  EXPECT_TRUE(options.format);
  EXPECT_FALSE(options.confirm_cancel);
  EXPECT_EQ(options.blank_kind, "dvd+r");
  EXPECT_EQ(options.keep_dir, "/k");
  EXPECT_TRUE(options.erase);
  EXPECT_EQ(options.on_failure, FailurePolicy::kRetry);
  EXPECT_EQ(options.retries, 3);
  EXPECT_EQ(options.max_media_prompts, 2);
  EXPECT_EQ(options.top_level, "top.ini");

  ASSERT_TRUE(ParseOptions({"top.ini"}, &options, &error));
  EXPECT_EQ(options.verify, kVerifyConfigured);
  EXPECT_EQ(options.insert, InsertPolicy::kOk);
  EXPECT_FALSE(options.erase);
  EXPECT_FALSE(options.format);
  EXPECT_TRUE(options.confirm_cancel);
  EXPECT_EQ(options.on_failure, FailurePolicy::kAbort);
  ASSERT_TRUE(ParseOptions({"--verify", "--insert", "wait", "top.ini"}, &options, &error));
  EXPECT_EQ(options.verify, kVerifyOnConfigured);
  EXPECT_EQ(options.insert, InsertPolicy::kWait);

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
                                             {"--verify-mode", "fast", "t"},
                                             {"--format", "ok", "t"},
                                             {"--confirm-cancel", "t"},
                                             {"--frobnicate", "t"},
                                             {"a.ini", "b.ini"}}) {
    error.clear();
    EXPECT_FALSE(ParseOptions(bad, &options, &error)) << testing::PrintToString(bad);
    EXPECT_FALSE(error.empty());
  }
}

app::MessageRequest Question(std::u16string text, app::PromptButtons buttons) {
  app::MessageRequest request;
  request.text = std::move(text);
  request.buttons = buttons;
  return request;
}

TEST(HeadlessPrompterTest, PoliciesAreBounded) {
  std::FILE* out = std::tmpfile();
  Options options;
  options.on_failure = FailurePolicy::kRetry;
  options.retries = 2;
  options.max_media_prompts = 2;
  int blanks = 0;
  std::pair<int, int> disc{0, 0};
  HeadlessPrompter prompter(options, out, [&blanks] { ++blanks; });
  prompter.set_disc_source([&disc] { return disc; });

  EXPECT_EQ(prompter.SelectNextProcess(nullptr, u"Disc 1"), app::kIdRetryMedia);
  EXPECT_EQ(prompter.SelectNextProcess(nullptr, u"Disc 2"), app::kIdRetryMedia);
  EXPECT_EQ(prompter.SelectNextProcess(nullptr, u"Disc 1"), app::kIdRetryMedia);
  EXPECT_EQ(prompter.SelectNextProcess(nullptr, u"Disc 1"), app::kIdCancel) << "retries run out";

  // Media prompts count per disc, whatever their text; a Retry lets the same prompt come again.
  auto insert = Question(u"Disc 1 will be created now.\r\nPlease insert blank media.\r\n",
                         app::PromptButtons::kOkCancel);
  EXPECT_EQ(prompter.ShowMessage(insert), app::kIdOk);
  prompter.SelectNextProcess(nullptr, u"Disc 3");
  EXPECT_EQ(prompter.ShowMessage(insert), app::kIdOk);
  EXPECT_FALSE(prompter.stuck());
  insert.text = u"You cannot record data to this Media.\r\n";
  EXPECT_EQ(prompter.ShowMessage(insert), app::kIdCancel)
      << "a medium that never fits ends the disc";
  EXPECT_TRUE(prompter.stuck());
  EXPECT_EQ(prompter.Reason(), "no usable medium after 2 media prompts");
  EXPECT_EQ(blanks, 2) << "a blank is loaded only for prompts answered OK";
  // Giving up is confirmed once the run is ending, whatever the option says.
  EXPECT_EQ(
      prompter.ShowMessage(Question(std::u16string(app::LoadString(app::ids::kAskCancelProcess)),
                                    app::PromptButtons::kYesNo)),
      app::kIdYes);

  const std::string text = Read(out);
  EXPECT_NE(
      text.find("[notice] Disc 1 will be created now.\nPlease insert blank media.\n  -> ok\n"),
      std::string::npos)
      << text;
  EXPECT_EQ(text.find('\r'), std::string::npos);
  std::fclose(out);

  Options next;
  next.on_failure = FailurePolicy::kNext;
  std::FILE* quiet = std::tmpfile();
  HeadlessPrompter next_prompter(next, quiet, nullptr);
  EXPECT_EQ(next_prompter.SelectNextProcess(nullptr, u"D"), app::kIdNextMedia);
  app::MessageRequest notice;
  notice.text = u"Done.\r\n";
  EXPECT_EQ(next_prompter.ShowMessage(notice), app::kIdOk);
  EXPECT_EQ(next_prompter.ConfirmCancel(nullptr, u"Quenvar", u"Cancel?"), app::kIdOk);
  EXPECT_EQ(next_prompter.Choose(app::ChoiceRequest{}), -1);
  EXPECT_TRUE(next_prompter.IsWindow(next_prompter.MainWindow()));
  EXPECT_FALSE(next_prompter.IsWindow(nullptr));
  std::fclose(quiet);
}

// Every kind of question has its own answer: the erase answer never decides whether to give up a
// disc (which made "--insert cancel" ask again forever), nor does the media answer format a stick.
TEST(HeadlessPrompterTest, EachKindOfQuestionHasItsOwnAnswer) {
  const std::u16string give_up(app::LoadString(app::ids::kAskCancelProcess));
  const std::u16string erase(app::LoadString(app::ids::kAskQuickErase));
  const std::u16string format(app::LoadString(app::ids::kAskFormatUsb));
  for (const bool yes : {true, false}) {
    std::FILE* out = std::tmpfile();
    Options options;
    options.erase = yes;
    options.format = yes;
    options.confirm_cancel = !yes;
    HeadlessPrompter prompter(options, out, nullptr);
    EXPECT_EQ(prompter.ShowMessage(Question(erase, app::PromptButtons::kOkCancel)),
              yes ? app::kIdOk : app::kIdCancel);
    EXPECT_EQ(prompter.ShowMessage(Question(format, app::PromptButtons::kOkCancel)),
              yes ? app::kIdOk : app::kIdCancel);
    EXPECT_EQ(prompter.ShowMessage(Question(give_up, app::PromptButtons::kYesNo)),
              yes ? app::kIdNo : app::kIdYes);
    EXPECT_EQ(prompter.ShowMessage(Question(u"Something new?", app::PromptButtons::kYesNo)),
              app::kIdNo)
        << "an unknown question gets the cautious answer";
    std::fclose(out);
  }
  // The safe defaults: no erase, no format, give up when the prompt was refused.
  std::FILE* out = std::tmpfile();
  Options defaults;
  defaults.insert = InsertPolicy::kCancel;
  HeadlessPrompter prompter(defaults, out, nullptr);
  EXPECT_EQ(prompter.ShowMessage(Question(erase, app::PromptButtons::kOkCancel)), app::kIdCancel);
  EXPECT_EQ(prompter.ShowMessage(Question(format, app::PromptButtons::kOkCancel)), app::kIdCancel);
  EXPECT_EQ(prompter.ShowMessage(Question(u"Insert a disc.", app::PromptButtons::kOkCancel)),
            app::kIdCancel);
  EXPECT_EQ(prompter.ShowMessage(Question(give_up, app::PromptButtons::kYesNo)), app::kIdYes);
  EXPECT_NE(prompter.Reason().find("USB flash memory may not be formatted"), std::string::npos);
  std::fclose(out);
}

// The same question with the same answer twice while one disc is created ends the run; the same
// question for the next disc, or after a Retry, is asked afresh.
TEST(HeadlessPrompterTest, QuestionRepeatedWithTheSameAnswerEndsTheRun) {
  std::FILE* out = std::tmpfile();
  Options options;
  options.erase = true;
  options.confirm_cancel = false;
  options.max_media_prompts = 10;
  std::pair<int, int> disc{0, 0};
  HeadlessPrompter prompter(options, out, nullptr);
  prompter.set_disc_source([&disc] { return disc; });
  const auto erase = Question(std::u16string(app::LoadString(app::ids::kAskQuickErase)),
                              app::PromptButtons::kOkCancel);
  const auto insert = Question(u"Disc will be created now.\r\n", app::PromptButtons::kOkCancel);
  const auto give_up = Question(std::u16string(app::LoadString(app::ids::kAskCancelProcess)),
                                app::PromptButtons::kYesNo);
  EXPECT_EQ(prompter.ShowMessage(insert), app::kIdOk);
  EXPECT_EQ(prompter.ShowMessage(erase), app::kIdOk);
  disc = {0, 1};
  EXPECT_EQ(prompter.ShowMessage(insert), app::kIdOk);
  EXPECT_EQ(prompter.ShowMessage(erase), app::kIdOk);
  EXPECT_FALSE(prompter.stuck());
  EXPECT_EQ(prompter.ShowMessage(insert), app::kIdCancel);
  EXPECT_TRUE(prompter.stuck());
  EXPECT_EQ(prompter.ShowMessage(give_up), app::kIdYes)
      << "the run ends even with --confirm-cancel no";
  EXPECT_EQ(prompter.SelectNextProcess(nullptr, u"Disc"), app::kIdCancel);
  EXPECT_EQ(
      prompter.Reason(),
      "the same question came again and would get the same answer: Disc will be created now.");
  std::fclose(out);

  // Refusing every prompt ends the run at once, also when giving up is refused.
  std::FILE* quiet = std::tmpfile();
  Options refuse;
  refuse.insert = InsertPolicy::kCancel;
  refuse.confirm_cancel = false;
  HeadlessPrompter looping(refuse, quiet, nullptr);
  EXPECT_EQ(looping.ShowMessage(insert), app::kIdCancel);
  EXPECT_EQ(looping.ShowMessage(give_up), app::kIdYes) << "the run is ending";
  std::fclose(quiet);
}

// An interrupt ends a wait at a media prompt and confirms every cancel question.
TEST(HeadlessPrompterTest, InterruptEndsTheWaitForAMedium) {
  std::FILE* out = std::tmpfile();
  Options options;
  options.insert = InsertPolicy::kWait;
  options.confirm_cancel = false;
  Interrupt interrupt;
  std::atomic<int> polls{0};
  HeadlessPrompter prompter(options, out, nullptr);
  prompter.set_interrupt(&interrupt);
  prompter.set_medium_present([&] {
    if (++polls == 5) interrupt.Raise(SIGTERM);
    return false;
  });
  const auto insert = Question(u"Disc will be created now.\r\n", app::PromptButtons::kOkCancel);
  EXPECT_EQ(prompter.ShowMessage(insert), app::kIdCancel);
  EXPECT_EQ(polls.load(), 5);
  EXPECT_EQ(
      prompter.ShowMessage(Question(std::u16string(app::LoadString(app::ids::kAskCancelProcess)),
                                    app::PromptButtons::kYesNo)),
      app::kIdYes);
  // A medium that arrives ends the wait with OK.
  Options waiting;
  waiting.insert = InsertPolicy::kWait;
  HeadlessPrompter patient(waiting, out, nullptr);
  int checks = 0;
  patient.set_medium_present([&] { return ++checks == 3; });
  EXPECT_EQ(patient.ShowMessage(insert), app::kIdOk);
  EXPECT_EQ(checks, 3);
  std::fclose(out);
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
    options.confirm_cancel = !go_on;  // no other answer decides the battery question
    HeadlessPrompter prompter(options, out, nullptr);
    app::ScopedPrompter install(&prompter);
    Laptop unplugged(true);
    TerminalWindow window(out, unplugged.path());
    EXPECT_EQ(window.ConfirmBattery(), go_on);
    app::MessageRequest give_up;
    give_up.buttons = app::PromptButtons::kYesNo;
    give_up.text = app::LoadString(app::ids::kAskCancelProcess);
    EXPECT_EQ(prompter.ShowMessage(give_up), go_on ? app::kIdNo : app::kIdYes);
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
