#include "app/startup/orvex_app.h"
#include "app/startup/usb_media_set.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/prompting/scripted_prompter.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "platform/unicode.h"

namespace quenvar::app {
namespace {

// Start-up services that record the calls made and answer as a test sets them up.
class RecordingServices : public StartupServices {
 public:
  bool IsAdministrator() override { return Note("admin"), administrator; }
  InstanceClaim ClaimInstance() override { return Note("claim"), claim; }
  void ActivateRunningInstance() override { Note("activate"); }
  uint32_t InitializeEngine(uint32_t* last_error) override {
    Note("engine");
    *last_error = engine_last_error;
    return engine_result;
  }
  void HookAutoRun() override { Note("hook"); }
  void UnhookAutoRun() override { Note("unhook"); }
  bool FillDriveList(DriveList* list) override {
    Note("drives");
    ++fills;
    if (fills == fail_fill_at) return false;
    list->Clear();
    if (fills >= drive_from_fill) {
      tagDRIVEPARAM record;
      record.driveNumber = 4;
      record.selected = 1;
      list->records().push_back(record);
    }
    return true;
  }
  uint32_t RunDrivePowerHelper() override { return Note("power"), power_exit_code; }
  void WaitAndDispatch(uint32_t ms) override {
    waited_ms += ms;
    ++waits;
  }
  void RunMainDialog(COrvexApp& app) override {
    Note("main");
    main_selected_drive = app.SelectedDrive();
  }

  void Note(const std::string& call) { calls.push_back(call); }
  bool Called(const std::string& call) const {
    for (const auto& c : calls) {
      if (c == call) return true;
    }
    return false;
  }

  bool administrator = true;
  InstanceClaim claim = InstanceClaim::kHeld;
  uint32_t engine_result = 0;
  uint32_t engine_last_error = 0;
  uint32_t power_exit_code = 0;
  int fills = 0;
  int fail_fill_at = -1;
  int drive_from_fill = 1;  // the fill from which on a drive is found
  int waits = 0;
  uint32_t waited_ms = 0;
  int32_t main_selected_drive = -1;
  std::vector<std::string> calls;
};

class OrvexAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUiLanguage(kLangEnglish);
    char pattern[] = "/tmp/orvex_app_XXXXXX";
    root_ = ::mkdtemp(pattern);
    top_ = root_ + "/Quenvar.ini";
    WriteTopLevel(root_ + "/system.ini");
    WriteText(root_ + "/system.ini", "[DISC0101]\nDiscType=DVD\n");
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::trunc) << text;
  }
  void WriteTopLevel(const std::string& contents_path) {
    WriteText(top_, "[CONTENTS01]\nIniPath=" + contents_path + "\n");
  }

  // Runs start-up and exit as the program does.
  StartupEnd Start(const std::u16string& command_line) {
    COrvexApp app(command_line, &services_);
    EXPECT_FALSE(app.InitInstance());
    app.ExitInstance();
    usb_flag_ = app.usb_flag();
    wait_attempts_ = app.drive_wait_attempts();
    return app.end();
  }
  std::u16string TopLevel() const { return platform::Utf8ToUtf16(top_); }

  std::vector<std::u16string> Messages() const {
    std::vector<std::u16string> texts;
    for (const auto& record : prompter_.records()) {
      if (record.kind == ScriptedPrompter::Kind::kMessage) texts.push_back(record.message.text);
    }
    return texts;
  }

  std::string root_;
  std::string top_;
  RecordingServices services_;
  ScriptedPrompter prompter_;
  ScopedPrompter scoped_{&prompter_};
  int usb_flag_ = -1;
  int wait_attempts_ = -1;
};

TEST_F(OrvexAppTest, EmptyCommandLineLeavesNoTrace) {
  EXPECT_EQ(Start(u""), StartupEnd::kEmptyCommandLine);
  EXPECT_TRUE(services_.calls.empty());
  EXPECT_TRUE(prompter_.records().empty());
}

TEST_F(OrvexAppTest, WithoutAdministratorRightsWarnsAndEnds) {
  services_.administrator = false;
  EXPECT_EQ(Start(TopLevel()), StartupEnd::kNotAdministrator);
  ASSERT_EQ(Messages().size(), 1u);
  const MessageRequest message = prompter_.records()[0].message;
  EXPECT_EQ(message.text, LoadString(ids::kAdministratorRequired));
  EXPECT_EQ(message.icon, PromptIcon::kWarning);
  EXPECT_EQ(message.owner, nullptr);
  EXPECT_EQ(message.caption, std::u16string(LoadString(ids::kAppTitle)));
  EXPECT_FALSE(services_.Called("claim"));
}

TEST_F(OrvexAppTest, SecondStartActivatesTheFirstSilentlyAndLeavesItsHookAlone) {
  services_.claim = InstanceClaim::kRunningSameUser;
  EXPECT_EQ(Start(TopLevel()), StartupEnd::kAlreadyRunning);
  EXPECT_TRUE(services_.Called("activate"));
  EXPECT_TRUE(prompter_.records().empty());
  EXPECT_FALSE(services_.Called("engine"));
  // The running instance's AutoRun hook is shared by the machine; an early end must not remove it.
  EXPECT_FALSE(services_.Called("unhook"));
}

TEST_F(OrvexAppTest, AnotherUsersInstanceIsReported) {
  services_.claim = InstanceClaim::kRunningOtherUser;
  EXPECT_EQ(Start(TopLevel()), StartupEnd::kOtherUserRunning);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0], LoadString(ids::kAnotherUser));
  EXPECT_EQ(prompter_.records()[0].message.icon, PromptIcon::kInformation);
  EXPECT_FALSE(services_.Called("activate"));
}

TEST_F(OrvexAppTest, SwitchEndsRightAfterTheInstanceCheck) {
  for (const std::u16string switch_text : {u"/d", u"/D"}) {
    services_ = RecordingServices();
    EXPECT_EQ(Start(switch_text), StartupEnd::kInstanceCheckOnly);
    EXPECT_EQ(services_.calls, (std::vector<std::string>{"admin", "claim"}));
  }
  // A second instance wins over the switch: it is activated as for any second start.
  services_ = RecordingServices();
  services_.claim = InstanceClaim::kRunningSameUser;
  EXPECT_EQ(Start(u"/d"), StartupEnd::kAlreadyRunning);
  // Blanks around the switch make it a file path.
  for (const std::u16string path : {u" /d", u"/d ", u"/dd", u"d"}) {
    services_ = RecordingServices();
    Start(path);
    EXPECT_TRUE(services_.Called("engine")) << platform::Utf16ToUtf8(path);
  }
}

TEST_F(OrvexAppTest, EngineFailureIsReportedWithItsErrorLine) {
  services_.engine_result = 0x08000018;
  services_.engine_last_error = 0x0D;
  EXPECT_EQ(Start(TopLevel()), StartupEnd::kEngineFailed);
  ASSERT_EQ(Messages().size(), 1u);
  const std::u16string text = Messages()[0];
  EXPECT_EQ(text.find(LoadString(ids::kUnexpectedErrorRestart)), 0u);
  EXPECT_NE(text.find(u"( Error Code: 1100CA-18-0000000D )"), std::u16string::npos)
      << platform::Utf16ToUtf8(text);
  EXPECT_EQ(prompter_.records()[0].message.icon, PromptIcon::kWarning);
  EXPECT_FALSE(services_.Called("hook"));
  EXPECT_FALSE(services_.Called("unhook"));
}

TEST_F(OrvexAppTest, NormalRunHooksListsDrivesRunsTheDialogAndUnhooks) {
  EXPECT_EQ(Start(TopLevel()), StartupEnd::kMainDialogClosed);
  EXPECT_EQ(services_.calls, (std::vector<std::string>{"admin", "claim", "engine", "hook", "drives", "power",
                                                        "main", "unhook"}));
  EXPECT_EQ(services_.main_selected_drive, 4);
  EXPECT_EQ(services_.waits, 0);
  EXPECT_EQ(usb_flag_, 0);
  EXPECT_TRUE(prompter_.records().empty());
}

TEST_F(OrvexAppTest, FailedDriveListEndsSilently) {
  services_.fail_fill_at = 1;
  EXPECT_EQ(Start(TopLevel()), StartupEnd::kDriveListFailed);
  EXPECT_TRUE(prompter_.records().empty());
  EXPECT_FALSE(services_.Called("main"));
  EXPECT_TRUE(services_.Called("unhook"));  // the hook was installed by this start
}

TEST_F(OrvexAppTest, HelperExitZeroDoesNotWaitEvenWithoutDrives) {
  services_.drive_from_fill = 1000;
  EXPECT_EQ(Start(TopLevel()), StartupEnd::kNoWritableTarget);
  EXPECT_EQ(services_.waits, 0);
  EXPECT_EQ(services_.fills, 1);
}

TEST_F(OrvexAppTest, WakingDriveIsAwaitedUntilItAppears) {
  services_.power_exit_code = 1;
  services_.drive_from_fill = 4;  // the fourth fill finds it
  EXPECT_EQ(Start(TopLevel()), StartupEnd::kMainDialogClosed);
  EXPECT_EQ(wait_attempts_, 3);
  EXPECT_EQ(services_.waited_ms, 300u);
  const auto records = prompter_.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].kind, ScriptedPrompter::Kind::kWaitShown);
  EXPECT_EQ(records[0].text, LoadString(ids::kPleaseWait));
  EXPECT_EQ(records[1].kind, ScriptedPrompter::Kind::kWaitClosed);
}

TEST_F(OrvexAppTest, WakingDriveThatNeverAppearsIsGivenUpAfter301Attempts) {
  services_.power_exit_code = 1;
  services_.drive_from_fill = 100000;
  EXPECT_EQ(Start(TopLevel()), StartupEnd::kNoWritableTarget);
  EXPECT_EQ(wait_attempts_, 301);
  EXPECT_EQ(services_.fills, 302);
  EXPECT_EQ(services_.waited_ms, 30100u);
  EXPECT_FALSE(prompter_.wait_notice_shown());
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0], LoadString(ids::kNoRecorder));
}

TEST_F(OrvexAppTest, DriveListFailingDuringTheWaitEndsAndClosesTheWaitWindow) {
  services_.power_exit_code = 1;
  services_.drive_from_fill = 100000;
  services_.fail_fill_at = 5;
  EXPECT_EQ(Start(TopLevel()), StartupEnd::kDriveListFailed);
  EXPECT_FALSE(prompter_.wait_notice_shown());
  EXPECT_TRUE(Messages().empty());
}

TEST_F(OrvexAppTest, UsbSetWithoutDrivesOpensTheMainDialog) {
  services_.drive_from_fill = 1000;
  WriteText(root_ + "/system.ini", "[Disc0101]\nDiscType=DVD\n[DISC0201]\nDiscType=USB\n");
  EXPECT_EQ(Start(TopLevel()), StartupEnd::kMainDialogClosed);
  EXPECT_EQ(usb_flag_, 1);
  EXPECT_EQ(services_.main_selected_drive, 0);
}

TEST_F(OrvexAppTest, UsbScanStopsAtASetWithoutFirstDisc) {
  services_.drive_from_fill = 1000;
  // Set 2 has only a second disc: the scan stops there and never sees the USB set 3.
  WriteText(root_ + "/system.ini",
            "[DISC0101]\nDiscType=DVD\n[DISC0202]\nDiscType=DVD\n[DISC0301]\nDiscType=USB\n");
  EXPECT_EQ(Start(TopLevel()), StartupEnd::kNoWritableTarget);
  EXPECT_EQ(usb_flag_, 0);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0], LoadString(ids::kNoRecorder));
  EXPECT_EQ(prompter_.records()[0].message.icon, PromptIcon::kInformation);
}

TEST_F(OrvexAppTest, UsbTypeIsMatchedExactly) {
  WriteText(root_ + "/system.ini", "[DISC0101]\nDiscType=usb\n[DISC0201]\nDiscType=USB \n");
  // Case matters; surrounding blanks are gone after reading, as for every value.
  EXPECT_EQ(HasUsbMediaSet(TopLevel()), 1);
  WriteText(root_ + "/system.ini", "[DISC0101]\nDiscType=usb\n");
  EXPECT_EQ(HasUsbMediaSet(TopLevel()), 0);
  WriteText(top_, "[CONTENTS02]\nIniPath=" + root_ + "/system.ini\n");
  EXPECT_EQ(HasUsbMediaSet(TopLevel()), 0);
  EXPECT_EQ(HasUsbMediaSet(u"/nonexistent/Quenvar.ini"), 0);
}

TEST(CommandLineTest, ArgumentsAreJoinedWithoutAnyParsing) {
  const char* argv[] = {"orvex", "\"/media/recovery", "area/Quenvar.ini\"", "  x"};
  EXPECT_EQ(COrvexApp::JoinCommandLine(4, argv, 1), u"\"/media/recovery area/Quenvar.ini\"   x");
  EXPECT_EQ(COrvexApp::JoinCommandLine(1, argv, 1), u"");
  const char* one[] = {"orvex", "/d "};
  EXPECT_EQ(COrvexApp::JoinCommandLine(2, one, 1), u"/d ");
}

}  // namespace
}  // namespace quenvar::app
