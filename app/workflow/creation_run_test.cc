#include "app/workflow/creation_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "app/controllers/controller_test_support.h"
#include "app/controllers/wren_data_ctrl.h"
#include "app/controllers/wren_img_ctrl.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "platform/message_window.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/drive.h"
#include "quillden/mastering.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quenvar::app {
namespace {

using test_support::ControllerTest;
using test_support::InsertBlank;
using test_support::TestRoot;
using test_support::WriteFile;

std::u16string Text(uint32_t id) {
  return std::u16string(LoadString(id));
}

// A main window that records what the run shows. Every message dispatch fires the running timer,
// so a test sees one tick per controller poll.
class RecordingWindow : public CreationWindow {
 public:
  void SetInformationText(std::u16string_view text) override { texts.emplace_back(text); }
  void SetCurrentBar(uint32_t position) override { current.push_back({timer, position}); }
  void SetTotalBar(uint32_t position) override { total.push_back({timer, position}); }
  void RedrawList() override { ++redraws; }
  void EnableSelection(bool enable) override { selection_enabled = enable; }
  void EnableCreate(bool enable) override { create_enabled = enable; }
  void StartTimer(uint32_t id, uint32_t) override { timer = id; }
  void KillTimer(uint32_t id) override {
    if (timer == id) timer = 0;
  }
  void ProcessPendingMessages() override {
    platform::PumpMessages();
    if (timer != 0 && run != nullptr) run->OnTimer(timer);
  }
  PromptWindow ListWindow() const override { return &list_token; }
  bool ConfirmBattery() override { return true; }
  bool LockDrive(int32_t drive) override {
    locked.push_back(drive);
    return lock_answer;
  }
  void UnlockDrive(int32_t drive) override { unlocked.push_back(drive); }

  std::u16string last_text() const { return texts.empty() ? u"" : texts.back(); }

  CreationRun* run = nullptr;
  uint32_t timer = 0;
  std::vector<std::u16string> texts;
  std::vector<std::pair<uint32_t, uint32_t>> current;  // (timer at the time, position)
  std::vector<std::pair<uint32_t, uint32_t>> total;
  int redraws = 0;
  bool selection_enabled = true;
  bool create_enabled = true;
  bool lock_answer = true;
  std::vector<int32_t> locked;
  std::vector<int32_t> unlocked;
  int list_token = 0;
};

// Results for image discs, one per Create; a result of "cancel" presses Cancel and waits until the
// run carries the confirmed cancel out.
class ScriptedImageCreator : public ImageDiscCreator {
 public:
  static constexpr uint32_t kPressCancel = 0xFFFFFFFFu;

  uint32_t Create(const DiscJob& job, std::u16string* message) override {
    titles.push_back(job.settings.disc_title);
    prompts.push_back(job.prompt_text);
    verify_modes.push_back(job.settings.verify_mode);
    EXPECT_EQ(*message, job.prompt_text);
    if (bases_of != nullptr) bases.push_back(bases_of->progress().total_bar());
    const uint32_t result = results.empty() ? 0 : results.front();
    if (!results.empty()) results.pop_front();
    if (result == 0 && !completion.empty()) *message = completion + job.settings.disc_title;
    if (result != kPressCancel) return result;
    EXPECT_FALSE(bases_of->OnCancelPressed());
    for (int i = 0; i < 500 && !cancelled; ++i) {
      bases_of->ProcessPendingMessages();
      if (!bases_of->cancel_prompt_open() && bases_of->cancel_answer() != 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cancelled ? QD_E_CANCELLED : 0;
  }
  bool GetProgress(JobProgress*) override { return false; }
  HANDLE progress() const override { return nullptr; }
  void Cancel() override { cancelled = true; }

  std::deque<uint32_t> results;
  std::u16string completion;  // left in the message after a success, followed by the title
  std::vector<std::u16string> titles;
  std::vector<std::u16string> prompts;
  std::vector<int32_t> verify_modes;
  std::vector<uint32_t> bases;
  CreationRun* bases_of = nullptr;
  bool cancelled = false;
};

class CreationRunTest : public ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    prompter_.SetMainWindow(main_window_);
  }

  // Items from in-memory configuration files; each disc spec is "TYPE" or "TYPE:image".
  void Load(const std::vector<std::vector<std::string>>& items,
            uint32_t writable = MEDIA_DVDPRW | MEDIA_CDR) {
    std::string top;
    for (size_t i = 0; i < items.size(); ++i) {
      std::string body = "[CONTENTS]\nContentsTitle=Item" + std::to_string(i) + "\nContentsID=I" +
                         std::to_string(i) + "\n[DISCSET01]\nDiscSetTitle=Set\n";
      for (size_t d = 0; d < items[i].size(); ++d) {
        const std::string& spec = items[i][d];
        const bool image = spec.find(":image") != std::string::npos;
        body += "[DISC01" + std::string(d < 9 ? "0" : "") + std::to_string(d + 1) +
                "]\nDiscTitle=Disc " + std::to_string(i) + "." + std::to_string(d + 1) +
                "\nDiscType=" + spec.substr(0, spec.find(':')) + "\nVolumeLabel=REC\n" +
                (image ? "ImageFile=" + image_file_ + "\n" : "") + extra_disc_keys_;
      }
      files_["c" + std::to_string(i)] = body;
      top += "[CONTENTS0" + std::to_string(i + 1) + "]\nIniPath=c" + std::to_string(i) + "\n";
    }
    files_["top"] = top_settings_ + top;
    contents_.Load(u"top", [this](const std::u16string& path) {
      return platform::IniFile::Parse(files_[platform::Utf16ToUtf8(path)]);
    });
    list_ = std::make_unique<MediaList>(&contents_);
    list_->FillSelectors(writable);
    ASSERT_TRUE(ctrl_.EnumerateRecorders(&drives_));
    ctrl_.set_drive_list(&drives_);
    run_ = std::make_unique<CreationRun>(list_.get(), &window_, &ctrl_, &drives_);
    run_->set_image_creator(&images_);
    run_->set_record_writer([this](const CContentsList&) { return ++records_written_; });
    window_.run = run_.get();
    images_.bases_of = run_.get();
    run_ui_ = std::make_unique<RunControllerUi>(&ui_, run_.get());
    scoped_run_ui_ = std::make_unique<ScopedControllerUi>(run_ui_.get());
  }

  void TearDown() override {
    if (run_) run_->JoinCancelPrompt();
    scoped_run_ui_.reset();
    ControllerTest::TearDown();
  }

  int CompletionBoxes() const {
    int boxes = 0;
    for (const auto& record : prompter_.records()) {
      if (record.kind == ScriptedPrompter::Kind::kMessage &&
          record.message.text == Text(ids::kAllCompleted)) {
        EXPECT_EQ(record.message.owner, window_.ListWindow());
        ++boxes;
      }
    }
    return boxes;
  }

  std::map<std::string, std::string> files_;
  std::string extra_disc_keys_;
  std::string top_settings_;
  std::string image_file_ = "/nowhere/disc.wvm";
  CContentsList contents_;
  std::unique_ptr<MediaList> list_;
  DriveList drives_;
  CWrenDataCtrl ctrl_;
  RecordingWindow window_;
  ScriptedImageCreator images_;
  std::unique_ptr<CreationRun> run_;
  std::unique_ptr<RunControllerUi> run_ui_;
  std::unique_ptr<ScopedControllerUi> scoped_run_ui_;
  int records_written_ = 0;
};

TEST_F(CreationRunTest, RetryRepeatsTheDiscFromTheSameBase) {
  ASSERT_NO_FATAL_FAILURE(Load({{"DVD:image", "DVD:image"}}));
  images_.results = {QD_E_COMMAND_FAILED, 0, 0};
  prompter_.QueueAnswer(kIdRetryMedia);
  EXPECT_EQ(run_->OnCreate(false), 0u);

  EXPECT_EQ(images_.titles, (std::vector<std::u16string>{u"Disc 0.1", u"Disc 0.1", u"Disc 0.2"}));
  EXPECT_EQ(images_.bases, (std::vector<uint32_t>{0, 0, 500}));
  const std::u16string first = FormatString(ids::kWillBeCreatedNow, {u"Disc 0.1"});
  EXPECT_EQ(images_.prompts[1], first);
  EXPECT_EQ(std::count(window_.texts.begin(), window_.texts.end(), first), 2);
  EXPECT_EQ(window_.last_text(),
            FormatString(ids::kCreatedSuccessfully, {u"Disc 0.2"}) + Text(ids::kAllCompleted));
  EXPECT_EQ(contents_.item(0)->Status(0), kDiscCreated);
  EXPECT_EQ(contents_.item(0)->Status(1), kDiscCreated);
  EXPECT_EQ(contents_.item(0)->set(0)->created(), 1);
  EXPECT_EQ(records_written_, 2);
  EXPECT_EQ(CompletionBoxes(), 1);
  EXPECT_EQ(window_.total.back().second, kBarFull);
  EXPECT_FALSE(run_->busy());
  EXPECT_FALSE(list_->running());
  EXPECT_TRUE(window_.selection_enabled);
  EXPECT_FALSE(window_.create_enabled) << "nothing is checked any more";
  EXPECT_EQ(window_.locked, std::vector<int32_t>{drives_.SelectedDrive()});
  EXPECT_EQ(window_.unlocked, window_.locked);
}

// The completion text an image disc leaves behind introduces the next disc's media prompt; after
// a failure and Next, the prompt names the next disc.
TEST_F(CreationRunTest, ImageDiscCompletionIntroducesTheNextPrompt) {
  ASSERT_NO_FATAL_FAILURE(Load({{"CD:image", "CD:image", "CD:image"}}));
  images_.completion = u"Created ";
  images_.results = {0, QD_E_COMMAND_FAILED, 0};
  prompter_.QueueAnswer(kIdNextMedia);
  EXPECT_EQ(run_->OnCreate(false), 0u);
  EXPECT_EQ(images_.prompts,
            (std::vector<std::u16string>{FormatString(ids::kWillBeCreatedNow, {u"Disc 0.1"}),
                                         u"Created Disc 0.1",
                                         FormatString(ids::kWillNowBeCreated, {u"Disc 0.3"})}));
}

TEST_F(CreationRunTest, NextAfterTheLastFailureEndsWithoutTheBox) {
  ASSERT_NO_FATAL_FAILURE(Load({{"DVD:image"}, {"DVD:image"}}));
  images_.results = {0, QD_E_COMMAND_FAILED};
  prompter_.QueueAnswer(kIdNextMedia);
  EXPECT_EQ(run_->OnCreate(true), QD_E_COMMAND_FAILED);
  EXPECT_EQ(window_.last_text(), FormatString(ids::kCreatedSuccessfully, {u"Disc 0.1"}) +
                                     FormatString(ids::kWillNowBeCreated, {u"Disc 1.1"}) +
                                     Text(ids::kAllCompleted));
  EXPECT_EQ(CompletionBoxes(), 0);
  EXPECT_EQ(contents_.item(1)->Status(0), kDiscError);
  EXPECT_EQ(records_written_, 1) << "only the successful disc is recorded";
  EXPECT_EQ(run_->prompt_text(), FormatString(ids::kWillNowBeCreated, {u""}));
  EXPECT_TRUE(window_.create_enabled) << "the failed disc is still checked";
}

TEST_F(CreationRunTest, AbortEndsTheRunAndResetsTheDisc) {
  ASSERT_NO_FATAL_FAILURE(Load({{"DVD:image", "DVD:image"}}));
  images_.results = {QD_E_COMMAND_FAILED};
  prompter_.QueueAnswer(kIdCancel);
  EXPECT_EQ(run_->OnCreate(false), QD_E_COMMAND_FAILED);
  EXPECT_EQ(images_.titles.size(), 1u);
  EXPECT_EQ(window_.last_text(), Text(ids::kAllCancelled));
  EXPECT_EQ(contents_.item(0)->Status(0), kDiscNone);
  EXPECT_EQ(CompletionBoxes(), 0);
}

TEST_F(CreationRunTest, CancelWhileCreatingReturnsTheDiscToNone) {
  ASSERT_NO_FATAL_FAILURE(Load({{"DVD:image", "DVD:image"}}));
  prompter_.SetDefaultAnswer(ScriptedPrompter::Kind::kConfirmCancel, kIdOk);
  images_.results = {ScriptedImageCreator::kPressCancel};
  EXPECT_EQ(run_->OnCreate(false), QD_E_CANCELLED);
  EXPECT_TRUE(images_.cancelled);
  EXPECT_EQ(images_.titles.size(), 1u);
  EXPECT_EQ(contents_.item(0)->Status(0), kDiscNone);
  EXPECT_EQ(window_.last_text(), Text(ids::kAllCancelled));
  EXPECT_NE(std::find(window_.texts.begin(), window_.texts.end(), Text(ids::kNowCancelling)),
            window_.texts.end());
  EXPECT_EQ(CompletionBoxes(), 0);
  bool asked = false;
  for (const auto& record : prompter_.records()) {
    if (record.kind == ScriptedPrompter::Kind::kConfirmCancel) {
      asked = true;
      EXPECT_EQ(record.text, Text(ids::kAskCancelRecording));
    }
  }
  EXPECT_TRUE(asked);
}

TEST_F(CreationRunTest, DeclinedCancelLetsTheDiscFinish) {
  ASSERT_NO_FATAL_FAILURE(Load({{"DVD:image"}}));
  // The cancel prompt answers Cancel: the creator waits in vain and the disc completes.
  images_.results = {ScriptedImageCreator::kPressCancel};
  EXPECT_EQ(run_->OnCreate(false), 0u);
  EXPECT_FALSE(images_.cancelled);
  EXPECT_EQ(contents_.item(0)->Status(0), kDiscCreated);
  EXPECT_EQ(CompletionBoxes(), 1);
  EXPECT_FALSE(run_->cancel_requested());
}

TEST_F(CreationRunTest, CancelAfterACompletedDiscStillShowsTheBox) {
  ASSERT_NO_FATAL_FAILURE(Load({{"DVD:image", "DVD:image"}}));
  prompter_.SetDefaultAnswer(ScriptedPrompter::Kind::kConfirmCancel, kIdOk);
  // The first disc presses Cancel and finishes before the cancel arrives.
  images_.results = {0};
  ui_.Clear();
  class PressingCreator : public ScriptedImageCreator {
   public:
    uint32_t Create(const DiscJob& job, std::u16string*) override {
      titles.push_back(job.settings.disc_title);
      bases_of->OnCancelPressed();
      bases_of->JoinCancelPrompt();  // the user answered before the disc completed
      return 0;
    }
  } pressing;
  pressing.bases_of = run_.get();
  run_->set_image_creator(&pressing);
  EXPECT_EQ(run_->OnCreate(false), 0u);
  EXPECT_EQ(pressing.titles.size(), 1u);
  EXPECT_EQ(window_.last_text(), Text(ids::kAllCancelled));
  EXPECT_EQ(contents_.item(0)->Status(0), kDiscCreated) << "a created disc stays created";
  EXPECT_EQ(contents_.item(0)->Status(1), kDiscNone);
  EXPECT_EQ(CompletionBoxes(), 1);
  EXPECT_EQ(records_written_, 1);
}

// Without a creator of its own the run records image discs through its image controller.
TEST_F(CreationRunTest, ImageDiscThroughTheRunsOwnController) {
  std::string iso(200 * 2048, '\0');
  for (size_t i = 0; i < iso.size(); ++i) iso[i] = static_cast<char>((i * 7 + i / 2048) & 0xFF);
  image_file_ = WriteFile("stored/utility.iso", iso);
  InsertBlank('F', "cd-r");
  ASSERT_NO_FATAL_FAILURE(Load({{"CD:image"}}));
  run_->set_image_creator(nullptr);
  drives_.SetSelection(test_support::kDriveF);
  prompter_.QueueAnswer(kIdOk);  // the media prompt
  ASSERT_EQ(run_->OnCreate(true), 0u) << testing::PrintToString(Messages());
  EXPECT_EQ(contents_.item(0)->Status(0), kDiscCreated);
  EXPECT_EQ(records_written_, 1);
  EXPECT_EQ(CompletionBoxes(), 1);
  EXPECT_EQ(run_->image_ctrl().isoFile(), 1);
  // The panel's timer followed the recording and then the compare.
  bool writing = false, verifying_after = false;
  for (const auto& [timer, position] : window_.current) {
    if (timer == kTimerWriting) writing = true;
    if (timer == kTimerVerifying && writing) verifying_after = true;
  }
  EXPECT_TRUE(writing && verifying_after);
  const std::u16string verifying = Text(ids::kNowVerifying) + Text(ids::kPleaseWait);
  EXPECT_NE(std::find(window_.texts.begin(), window_.texts.end(), verifying), window_.texts.end());

  // The disc holds the image block for block.
  std::ifstream disc(test_support::Backing('F'), std::ios::binary);
  std::string written(iso.size(), '\0');
  disc.read(written.data(), static_cast<std::streamsize>(written.size()));
  EXPECT_TRUE(written == iso);
}

TEST_F(CreationRunTest, NoMainWindowCreatesNothing) {
  ASSERT_NO_FATAL_FAILURE(Load({{"DVD:image"}}));
  prompter_.SetMainWindow(nullptr);
  EXPECT_EQ(run_->OnCreate(false), QD_E_INVALID_ARGUMENT);
  EXPECT_TRUE(images_.titles.empty());
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find(u"( Error Code: 040942-F0-"), std::u16string::npos);
  EXPECT_EQ(contents_.item(0)->Status(0), kDiscNone);
  EXPECT_EQ(records_written_, 0);
  EXPECT_FALSE(run_->busy());
  EXPECT_TRUE(window_.create_enabled);
  EXPECT_TRUE(window_.unlocked == window_.locked);
}

// The contents are loaded again while a disc is created (nothing in the program does this while a
// run is busy, but the loop must not act on items that are gone).
TEST_F(CreationRunTest, ItemThatVanishesDuringTheRunEndsIt) {
  ASSERT_NO_FATAL_FAILURE(Load({{"DVD:image", "DVD:image"}}));
  class ReloadingCreator : public ScriptedImageCreator {
   public:
    uint32_t Create(const DiscJob& job, std::u16string*) override {
      titles.push_back(job.settings.disc_title);
      reload();
      return 0;
    }
    std::function<void()> reload;
  } reloading;
  reloading.reload = [this] {
    files_["empty"] = "[VERIFYSETTINGS]\nVerify=No\n";
    contents_.Load(u"empty", [this](const std::u16string& path) {
      return platform::IniFile::Parse(files_[platform::Utf16ToUtf8(path)]);
    });
  };
  run_->set_image_creator(&reloading);
  EXPECT_EQ(run_->OnCreate(false), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(reloading.titles, std::vector<std::u16string>{u"Disc 0.1"});
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find(u"( Error Code: 04095F-F0-"), std::u16string::npos);
  EXPECT_EQ(window_.last_text(), Text(ids::kAllCancelled));
  EXPECT_EQ(CompletionBoxes(), 0);
  EXPECT_FALSE(list_->running());
  EXPECT_FALSE(run_->busy());
}

TEST_F(CreationRunTest, DeclinedDriveLockRunsNothing) {
  ASSERT_NO_FATAL_FAILURE(Load({{"DVD:image"}}));
  window_.lock_answer = false;
  EXPECT_EQ(run_->OnCreate(false), 0u);
  EXPECT_TRUE(images_.titles.empty());
  EXPECT_TRUE(window_.unlocked.empty());
  EXPECT_FALSE(run_->busy());
  EXPECT_TRUE(window_.create_enabled);
}

TEST_F(CreationRunTest, CancelWithoutARunClosesTheWindow) {
  ASSERT_NO_FATAL_FAILURE(Load({{"DVD:image"}}));
  EXPECT_TRUE(run_->OnCancelPressed());
  EXPECT_FALSE(run_->cancel_prompt_open());
}

// A data disc recorded and verified on a virtual DVD+RW through the whole loop.
TEST_F(CreationRunTest, DataDiscWithVerifyMovesTheBarsThroughBothHalves) {
  WriteFile("run/a.txt", "alpha");
  WriteFile("run/sub/b.bin", std::string(300000, 'b'));
  extra_disc_keys_ =
      "[FILESET010101]\nSourcePath=" + TestRoot() + "/run\nTargetPath=\nFile0001=*\n";
  InsertBlank('D', "dvd+rw");
  ASSERT_NO_FATAL_FAILURE(Load({{"DVD"}}));
  drives_.SetSelection(test_support::kDriveD);
  prompter_.QueueAnswer(kIdOk);  // the media prompt
  ASSERT_EQ(run_->OnCreate(true), 0u) << testing::PrintToString(Messages());
  EXPECT_EQ(contents_.item(0)->Status(0), kDiscCreated);
  EXPECT_EQ(records_written_, 1);
  EXPECT_EQ(CompletionBoxes(), 1);
  EXPECT_EQ(ctrl_.verifier().bytes_verified(), 300005u);

  uint32_t writing_max = 0, verifying_min = kBarFull, verifying_ticks = 0;
  for (const auto& [timer, position] : window_.current) {
    if (timer == kTimerWriting) writing_max = std::max(writing_max, position);
    if (timer == kTimerVerifying) {
      verifying_min = std::min(verifying_min, position);
      ++verifying_ticks;
      EXPECT_LE(position, kBarRunningCap);
    }
  }
  EXPECT_LE(writing_max, 500u);
  EXPECT_GT(verifying_ticks, 0u);
  EXPECT_GE(verifying_min, 500u);
  EXPECT_EQ(window_.current.back().second, kBarFull);
  const std::u16string writing =
      FormatString(ids::kNowCreatingLine, {u"Disc 0.1"}) + Text(ids::kPleaseWait);
  const std::u16string verifying = Text(ids::kNowVerifying) + Text(ids::kPleaseWait);
  EXPECT_NE(std::find(window_.texts.begin(), window_.texts.end(), writing), window_.texts.end());
  EXPECT_NE(std::find(window_.texts.begin(), window_.texts.end(), verifying), window_.texts.end());
}

// The configuration's quick verify mode reaches the controllers through the Verify box; a caller
// may choose the mode itself.
TEST_F(CreationRunTest, VerifyBoxVerifiesInTheConfigurationsMode) {
  struct Case {
    const char* mode;
    bool checked;
    int chosen;
    int32_t expected;
  };
  for (const Case& c :
       {Case{"Quick", true, 0, 1}, Case{"Quick", false, 0, 0}, Case{"Quick", true, 2, 2},
        Case{"Full", true, 0, 2}, Case{"Full", true, 1, 1}}) {
    top_settings_ = std::string("[VERIFYSETTINGS]\nVerify=Yes\nVerifyMode=") + c.mode + "\n";
    images_.verify_modes.clear();
    ASSERT_NO_FATAL_FAILURE(Load({{"DVD:image"}}));
    EXPECT_EQ(run_->OnCreate(c.checked, c.chosen), 0u);
    EXPECT_EQ(images_.verify_modes, std::vector<int32_t>{c.expected}) << c.mode << " " << c.chosen;
  }
}

// A data disc whose source is missing, or whose target leaves the disc, fails before a medium is
// asked for: nothing is written or recorded, and the message names the entry.
TEST_F(CreationRunTest, IncompleteDataDiscFailsBeforeTheMediumIsTouched) {
  WriteFile("part/a.txt", "alpha");
  for (const std::string& keys :
       {"SourcePath=" + TestRoot() + "/part\nFile0001=a.txt\nFile0002=gone.bin\n",
        "SourcePath=" + TestRoot() + "/part\nTargetPath=..\\up\nFile0001=a.txt\n"}) {
    prompter_.ClearRecords();
    extra_disc_keys_ = "[FILESET010101]\n" + keys;
    InsertBlank('D', "dvd+rw");
    ASSERT_NO_FATAL_FAILURE(Load({{"DVD"}}));
    drives_.SetSelection(test_support::kDriveD);
    prompter_.QueueAnswer(kIdCancel);  // Abort after the failure
    EXPECT_NE(run_->OnCreate(false), 0u);
    EXPECT_EQ(contents_.item(0)->Status(0), kDiscNone);
    EXPECT_EQ(records_written_, 0);
    EXPECT_EQ(CompletionBoxes(), 0);
    const auto messages = Messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_TRUE(messages[0].find(u"gone.bin") != std::u16string::npos ||
                messages[0].find(u"..\\up") != std::u16string::npos)
        << testing::PrintToString(messages);
    for (const auto& text : messages) {
      EXPECT_EQ(text.find(Text(ids::kInsertBlankMediaList)), std::u16string::npos)
          << "a medium was asked for";
    }
  }
}

// The panel's arithmetic without a job.
class FakeSource : public FrameProgress::Source {
 public:
  bool GetJobProgress(JobProgress* out) override {
    *out = job;
    return has_job;
  }
  bool GetSessionTrack(HANDLE, SessionTrackWords* out) override {
    *out = words;
    return true;
  }
  void SetCurrentStatus(uint32_t status) override { statuses.push_back(status); }
  JobProgress job;
  SessionTrackWords words;
  bool has_job = true;
  std::vector<uint32_t> statuses;
};

TEST(CurrentFractionTest, SingleAndMultiSession) {
  SessionTrackWords single{1, 100, 1, 1000};
  EXPECT_EQ(CurrentFraction({1, 150, 0, 1}, single, 0), 250u);  // (done + w) * 1000 / N
  EXPECT_EQ(CurrentFraction({1, 150, 0, 2}, single, 0), 250u);
  EXPECT_EQ(CurrentFraction({1, 900, 0, 1}, single, 0), 1000u);
  // Phase 3 scales done by 65535 with d = 0: only w counts.
  EXPECT_EQ(CurrentFraction({1, 65535, 65535, 3}, single, 0), 100u);

  // Two sessions: c = 13500, d = 20200, e = 13500.
  SessionTrackWords first{1, 0, 2, 100000};
  EXPECT_EQ(CurrentFraction({1, 33700, 0, 1}, first, 0), 33700u * 1000u / 133700u);
  SessionTrackWords second{2, 50000, 2, 100000};
  EXPECT_EQ(CurrentFraction({1, 1000, 0, 1}, second, 0),
            (50000u + 20200u + 1000u) * 1000u / 133700u);
  EXPECT_EQ(CurrentFraction({1, 65535, 65535, 3}, second, 0),
            (50000u + 13500u + 20200u) * 1000u / 133700u);

  // Without session words: the ISO recording flag decides.
  SessionTrackWords none{};
  EXPECT_EQ(CurrentFraction({1, 30, 60, 1}, none, 1), 500u);
  EXPECT_EQ(CurrentFraction({1, 30, 60, 1}, none, 0), 0u);
  EXPECT_EQ(CurrentFraction({1, 30, 0, 1}, none, 1), 0u);
  EXPECT_EQ(CurrentFraction({1, 30, 60, 2}, none, 1), 1000u);
  EXPECT_EQ(CurrentFraction({1, 30, 0, 2}, none, 1), 0u);
  EXPECT_EQ(CurrentFraction({1, 30, 60, 3}, none, 1), 0u);
  EXPECT_EQ(CurrentFraction({1, 7, 10, kPhaseVerifying}, none, 0), 700u);
  EXPECT_EQ(CurrentFraction({1, 7, 0, kPhaseVerifying}, none, 0), 0u);
  EXPECT_EQ(CurrentFraction({1, 7, 10, 48}, single, 0), 0u);
  // Session 0 is not a position yet.
  EXPECT_EQ(CurrentFraction({1, 7, 10, 1}, SessionTrackWords{0, 0, 1, 10}, 0), 0u);
  // Words read across a track's end count it twice: the phase still stops at its end.
  EXPECT_EQ(CurrentFraction({1, 1000, 1000, 1}, SessionTrackWords{1, 1000, 1, 1000}, 0), 1000u);
  // A dual-layer disc's block counts times 1000 leave 32 bits.
  EXPECT_EQ(CurrentFraction({1, 4000000, 0, 1}, SessionTrackWords{1, 0, 1, 4173824}, 0), 958u);
}

TEST(FrameProgressTest, BarsOfARunWithVerify) {
  RecordingWindow window;
  FakeSource source;
  FrameProgress frame(&window, &source);
  frame.Reset(2, 2);
  frame.BeginMedia(1, u"Disc 2");
  EXPECT_EQ(frame.total_bar(), 500u);
  EXPECT_EQ(frame.current_bar(), 0u);

  int token = 0;
  frame.StartPhase(&token, 0);
  EXPECT_EQ(window.timer, kTimerWriting);
  EXPECT_EQ(source.statuses, std::vector<uint32_t>{kDiscRecording});
  EXPECT_EQ(window.last_text(),
            FormatString(ids::kNowCreatingLine, {u"Disc 2"}) + Text(ids::kPleaseWait));
  source.job = {PRG_STATUS_RUNNING, 1000, 1000, 1};
  source.words = {1, 0, 1, 1000};
  frame.OnTimer(kTimerVerifying);  // another timer's tick changes nothing
  EXPECT_EQ(frame.current_bar(), 0u);
  frame.OnTimer(kTimerWriting);
  EXPECT_EQ(frame.current_bar(), 500u);
  EXPECT_EQ(frame.total_bar(), 750u);

  frame.StartPhase(&token, 1);
  EXPECT_EQ(window.timer, kTimerVerifying);
  EXPECT_EQ(frame.current_base(), 500u);
  source.job = {PRG_STATUS_RUNNING, 10, 10, kPhaseVerifying};
  frame.OnTimer(kTimerVerifying);
  EXPECT_EQ(frame.current_bar(), kBarRunningCap);
  EXPECT_EQ(frame.total_bar(), kBarRunningCap);
  source.job = {PRG_STATUS_RUNNING, 5, 10, kPhaseVerifying};
  frame.OnTimer(kTimerVerifying);
  EXPECT_EQ(frame.current_bar(), 750u);
  EXPECT_EQ(frame.total_bar(), 875u);

  // The job ended: the timer stops and the bars stay.
  source.job.status = PRG_STATUS_SUCCEEDED;
  frame.OnTimer(kTimerVerifying);
  EXPECT_EQ(window.timer, 0u);
  EXPECT_EQ(frame.timer_id(), 0u);
  EXPECT_EQ(frame.current_bar(), 750u);
  frame.CompleteBars(1);
  EXPECT_EQ(frame.current_bar(), kBarFull);
  EXPECT_EQ(frame.total_bar(), 875u);
  frame.CompleteBars(2);
  EXPECT_EQ(frame.total_bar(), kBarFull);

  // No discs in the run: StartPhase only stores the handle.
  frame.Reset(0, 1);
  window.texts.clear();
  frame.StartPhase(&token, 0);
  EXPECT_EQ(window.timer, 0u);
  EXPECT_TRUE(window.texts.empty());
}

// The panel fed from the progress object of a real recording: a data disc written onto each kind
// of virtual recorder, the timer ticking as fast as the test can poll.
class RecordingSource : public FrameProgress::Source {
 public:
  explicit RecordingSource(HANDLE progress) : progress_(progress) {}
  bool GetJobProgress(JobProgress* out) override {
    DWORD phase = 0, done = 0, end = 0;
    out->status = PRG_GetProgressStatus(progress_, &phase, &done, &end);
    out->phase = phase;
    out->done = done;
    out->total = end;
    return true;
  }
  bool GetSessionTrack(HANDLE progress, SessionTrackWords* out) override {
    _SESSIONTRACKPROGRESS block{};
    PRG_GetSessionTrackProgress(progress, &block);
    *out = {block.dwSession, block.dwWrittenSectors, block.dwSessions, block.dwTotalSectors};
    last_block = block;
    return true;
  }
  void SetCurrentStatus(uint32_t) override {}
  _SESSIONTRACKPROGRESS last_block{};

 private:
  HANDLE progress_;
};

TEST_F(CreationRunTest, BarsFollowARealRecordingFromItsFirstBlocks) {
  WriteFile("bars/big.bin", std::string(6u << 20, 'x'));
  WriteFile("bars/small.txt", "small");
  struct Media {
    char letter;
    int32_t number;
    const char* kind;
  } media[] = {{'E', test_support::kDriveE, "dvd-r"},
               {'D', test_support::kDriveD, "dvd+rw"},
               {'F', test_support::kDriveF, "cd-r"}};
  for (const Media& m : media) {
    SCOPED_TRACE(m.kind);
    InsertBlank(m.letter, m.kind);
    HANDLE disc = MST_CreateDatadisk();
    ASSERT_NE(MST_AddDatadiskFile(disc, test_support::U16(TestRoot() + "/bars").c_str(), u"bars"),
              INVALID_HANDLE_VALUE);
    HANDLE drive = DRV_OpenDrive(static_cast<DWORD>(m.number));
    ASSERT_NE(drive, nullptr);
    HANDLE progress = PRG_CreateProgress();
    RecordingWindow window;
    RecordingSource source(progress);
    FrameProgress frame(&window, &source);
    frame.Reset(1, 1);
    frame.BeginMedia(0, u"Disc");
    frame.StartPhase(progress, 0);
    ASSERT_EQ(MST_WriteDatadisk(drive, disc, 2, progress, TRUE, 0), 0u);

    uint32_t ticks_while_writing = 0, highest = 0, previous = 0;
    for (;;) {
      DWORD phase = 0, done = 0, end = 0;
      const DWORD status = PRG_GetProgressStatus(progress, &phase, &done, &end);
      if (status != PRG_STATUS_RUNNING) break;
      frame.OnTimer(kTimerWriting);
      if (phase == 1 && done > 0) {
        ++ticks_while_writing;
        // Sessions and tracks count from 1 as soon as blocks are written.
        EXPECT_GE(source.last_block.dwSession, 1u);
        EXPECT_GE(source.last_block.dwTrack, 1u);
        EXPECT_EQ(source.last_block.dwSessions, 1u);
        EXPECT_GT(frame.current_bar(), 0u) << "done " << done << " of " << end;
        EXPECT_GE(frame.current_bar(), previous) << "the bar went back while writing";
        previous = frame.current_bar();
        highest = std::max(highest, frame.current_bar());
      }
      EXPECT_LE(frame.current_bar(), kBarRunningCap);
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    EXPECT_GT(ticks_while_writing, 0u);
    EXPECT_GE(highest, 500u) << "the bar stayed low for the whole recording";
    while (PRG_GetProgressErrorCode(progress) == QD_E_BUSY) std::this_thread::yield();
    EXPECT_EQ(PRG_GetProgressErrorCode(progress), 0u);
    PRG_DestroyProgress(progress);
    DRV_CloseDrive(drive);
    MST_DestroyDatadisk(disc);
  }
}

TEST(FrameProgressTest, UsbBarsCountFiles) {
  RecordingWindow window;
  FakeSource source;
  FrameProgress frame(&window, &source);
  frame.Reset(2, 2);
  frame.BeginMedia(1, u"USB");
  // Copying 10 files, comparing follows: the total maximum is twice the file count.
  frame.SetUsbBars(10, 20, true);
  EXPECT_EQ(frame.total_bar(), 500u);
  frame.SetUsbBars(10, 10, false);
  EXPECT_EQ(frame.current_bar(), kBarFull);
  EXPECT_EQ(frame.total_bar(), 750u) << "copying ends at half of this medium's share";
  frame.SetUsbBars(5, 15, false);
  EXPECT_EQ(frame.current_bar(), 500u);
  EXPECT_EQ(frame.total_bar(), 875u);
  frame.ShowPhaseText(1);
  EXPECT_EQ(source.statuses.back(), kDiscVerifying);
  EXPECT_EQ(window.timer, 0u);
  // A medium without files leaves the bars alone instead of dividing by zero.
  frame.SetUsbBars(0, 0, true);
  frame.SetUsbBars(0, 0, false);
  EXPECT_EQ(frame.current_bar(), 500u);
}

}  // namespace
}  // namespace quenvar::app
