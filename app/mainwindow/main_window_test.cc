#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QBitmap>
#include <QComboBox>
#include <QImage>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <tuple>

#include "app/controllers/controller_test_support.h"
#include "app/controllers/wren_ctrl.h"
#include "app/guards/dla_guard.h"
#include "app/guards/session_guard.h"
#include "app/mainwindow/about_dlg.h"
#include "app/mainwindow/bitmaps.h"
#include "app/mainwindow/orvex_dlg.h"
#include "app/qtshell/qt_prompter.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "app/testing/qt_test_app.h"
#include "platform/message_window.h"
#include "platform/registry.h"
#include "platform/unicode.h"
#include "quillden/drive.h"

namespace quenvar::app {
namespace {

using test_support::ControllerTest;
using test_support::WriteFile;

// Hands out one end of a socket pair per inhibitor and keeps the other, so the test sees whether
// the inhibitor is still held (the kept end reads end-of-file once it is closed).
class PairSource : public InhibitorSource {
 public:
  ~PairSource() override {
    for (int fd : kept_) ::close(fd);
  }
  int Inhibit(const InhibitRequest&, std::string* error) override {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
      *error = "no socket pair";
      return -1;
    }
    kept_.push_back(pair[1]);
    return pair[0];
  }
  size_t count() const { return kept_.size(); }
  bool Held(size_t n) const {
    char byte;
    return ::recv(kept_[n], &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
  }

 private:
  std::vector<int> kept_;
};

// A stand-in of the outside blocking library, kept loaded so its record of calls survives the
// guard's unloading.
class VxLibrary {
 public:
  explicit VxLibrary(const char* path) : handle_(::dlopen(path, RTLD_NOW)) {}
  ~VxLibrary() {
    if (handle_) ::dlclose(handle_);
  }
  bool loaded() const { return handle_ != nullptr; }
  int Call(const char* name) const {
    auto f = reinterpret_cast<int (*)()>(::dlsym(handle_, name));
    return f ? f() : -100;
  }

 private:
  void* handle_;
};

QString Text(uint32_t id) {
  QString text = QString::fromStdU16String(std::u16string(LoadString(id)));
  text.replace("\r\n", "\n");
  return text;
}

class MainWindowTest : public ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    test_support::EnsureQtApplication();
    const std::string area = test_support::TestRoot() + "/area";
    WriteFile("area/files/readme.txt", "recovery notes\n");
    WriteFile("area/files/tool.cfg", std::string(5000, 'x'));
    const std::string contents = WriteFile(
        "area/contents.ini",
        "[CONTENTS]\nContentsTitle=System Recovery Media\nContentsID=GUI-TEST\n"
        "[DISCSET01]\nDiscSetTitle=Recovery Discs (DVD)\n"
        "[DISC0101]\nDiscTitle=Recovery Disc 1\nDiscType=DVD\nVolumeLabel=GUI_DISC_1\n"
        "[FILESET010101]\nSourcePath=" +
            area +
            "/files\nTargetPath=\\DATA\nSubFolder=Yes\nFile0001=*\n"
            "[DISC0102]\nDiscTitle=Recovery Disc 2\nDiscType=DVD\nVolumeLabel=GUI_DISC_2\n"
            "[FILESET010201]\nSourcePath=" +
            area +
            "/files\nTargetPath=\\MORE\nSubFolder=Yes\nFile0001=*\n"
            "[DISCSET02]\nDiscSetTitle=Recovery Discs (CD)\n"
            "[DISC0201]\nDiscTitle=Recovery CD\nDiscType=CD\nVolumeLabel=GUI_CD\n"
            "[FILESET020101]\nSourcePath=" +
            area + "/files\nTargetPath=\nSubFolder=Yes\nFile0001=*\n");
    top_ = WriteFile("area/Quenvar.ini",
                     "[VERIFYSETTINGS]\nVerify=No\n[CONTENTS01]\nIniPath=" + contents + "\n");
    // Nothing is recorded as created yet.
    platform::RegistryKey::DeleteTree(platform::RegistryHive::kCurrentUser, u"Software\\VARNOLD");
    test_support::InsertBlank('D', "dvd+rw");
    // No power supplies: never on battery unless a test says so.
    power_ = test_support::TestRoot() + "/power";
    std::filesystem::remove_all(power_);
    std::filesystem::create_directories(power_);
    platform::RegistryKey::DeleteTree(platform::RegistryHive::kLocalMachine, u"SOFTWARE\\Sonic");
  }

  // The machine runs on its battery, with the mains adapter unplugged.
  void OnBattery() {
    for (const auto& [name, type, online] :
         {std::tuple{"BAT0", "Battery", "0"}, std::tuple{"AC", "Mains", "0"}}) {
      std::filesystem::create_directories(power_ + "/" + name);
      std::ofstream(power_ + "/" + name + "/type") << type << "\n";
      std::ofstream(power_ + "/" + name + "/online") << online << "\n";
    }
  }

  // Closing and flushing the disc in D: take ms each.
  void SlowClose(uint32_t ms) {
    ASSERT_NO_FATAL_FAILURE(test_support::SetTiming('D', 0, 0, ms, ms, 0));
  }

  // The outside packet-writing product is installed.
  void RegisterDla() {
    platform::RegistryKey key;
    bool created = false;
    ASSERT_TRUE(platform::RegistryKey::Create(platform::RegistryHive::kLocalMachine, kDlaKey, &key,
                                              &created)
                    .ok());
    ASSERT_TRUE(key.SetString(u"AppName", u"Sonic DLA").ok());
  }

  // Leaves only the first disc of the DVD set checked.
  void CheckFirstDiscOnly(COrvexDlg& dialog) {
    Click(dialog, 1, HotZone::kExpand);
    Click(dialog, 3, HotZone::kDiscCheck);
  }

  uint32_t UsedOnD() {
    test_support::SetTray('D', false);
    _MEDIAINFORMATION info{};
    HANDLE drive = DRV_OpenDrive(test_support::kDriveD);
    EXPECT_NE(drive, nullptr);
    if (drive == nullptr) return 0;
    EXPECT_EQ(DRV_GetMediaInformation(drive, &info), 0u);
    DRV_CloseDrive(drive);
    return info.dwUsed;
  }

  bool Shown(uint32_t id) const {
    for (const std::u16string& text : Messages()) {
      if (text.find(LoadString(id)) != std::u16string::npos) return true;
    }
    return false;
  }

  // The recorders: D: only, or all three virtual recorders.
  void UseDrives(bool all) {
    CWrenCtrl drives;
    ASSERT_TRUE(drives.EnumerateRecorders(&drives_));
    if (!all) {
      std::erase_if(drives_.records(),
                    [](const tagDRIVEPARAM& r) { return r.driveNumber != test_support::kDriveD; });
      drives_.SetSelection(test_support::kDriveD);
    }
  }

  std::unique_ptr<COrvexDlg> Open(std::string block_library = kBlockLibrary) {
    OrvexDlgOptions options;
    options.configuration = platform::Utf8ToUtf16(top_);
    options.scale = 1.0;
    options.power_supply_dir = power_;
    options.block_library = std::move(block_library);
    options.inhibitor_source = &inhibitors_;
    auto dialog = std::make_unique<COrvexDlg>(&drives_, std::move(options));
    dialog->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    QApplication::processEvents();
    return dialog;
  }

  void Click(COrvexDlg& dialog, int row, HotZone zone) {
    CContentsListView* view = dialog.list_view();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->HotZoneCenter(row, zone));
  }

  QString Information(COrvexDlg& dialog) { return dialog.frame()->InformationText(); }

  void Screenshot(QWidget& widget, const char* name) {
    const QString path = QString(QUENVAR_SCREENSHOT_DIR) + "/" + name;
    EXPECT_TRUE(widget.grab().save(path, "PNG")) << path.toStdString();
  }

  std::string top_;
  std::string power_;
  PairSource inhibitors_;
  DriveList drives_;
};

TEST_F(MainWindowTest, ListShowsTheWritableSetsAndTheSummaryFollowsTheCheckMarks) {
  UseDrives(false);
  auto dialog = Open();
  const auto& rows = dialog->media_list().rows();
  ASSERT_EQ(rows.size(), 2u);  // spacer and contents row, collapsed
  EXPECT_EQ(rows[1].kind, RowKind::kContents);
  EXPECT_EQ(Information(*dialog), Text(ids::kInsertBlankMedia) + "    2 DVD(s)\n");
  EXPECT_TRUE(dialog->create_button()->isEnabled());
  EXPECT_FALSE(dialog->verify_box()->isChecked());  // Verify=No
  Screenshot(*dialog, "main_window_idle.png");

  // The contents check image: everything off, then everything on again.
  Click(*dialog, 1, HotZone::kContentsCheck);
  EXPECT_EQ(Information(*dialog), Text(ids::kSelectMedia));
  EXPECT_FALSE(dialog->create_button()->isEnabled());
  EXPECT_EQ(dialog->create_button()->CaptionColor(), kFooterDisabledText);
  Click(*dialog, 1, HotZone::kContentsCheck);
  EXPECT_TRUE(dialog->create_button()->isEnabled());

  // Expanding shows the discs; unchecking one makes the contents row partly checked.
  Click(*dialog, 1, HotZone::kExpand);
  ASSERT_EQ(dialog->media_list().rows().size(), 4u);
  EXPECT_EQ(dialog->list_view()->rowCount(), 4);
  Click(*dialog, 3, HotZone::kDiscCheck);
  EXPECT_EQ(dialog->media_list().rows()[1].image, kImagePartly);
  EXPECT_EQ(dialog->media_list().rows()[3].image, kImageUnchecked);
  EXPECT_EQ(Information(*dialog), Text(ids::kInsertBlankMedia) + "    1 DVD(s)\n");
}

TEST_F(MainWindowTest, SelectorSitsOverItsRowAndChangesTheSet) {
  UseDrives(false);
  auto dialog = Open();
  QComboBox* selector = dialog->list_view()->selector(0);
  ASSERT_NE(selector, nullptr);
  ASSERT_EQ(selector->count(), 2);  // a DVD+RW writer writes both sets
  EXPECT_TRUE(selector->isVisible())
      << selector->geometry().x() << "," << selector->geometry().y() << " "
      << selector->geometry().width() << "x" << selector->geometry().height() << " viewport "
      << dialog->list_view()->viewport()->width() << "x"
      << dialog->list_view()->viewport()->height() << " col1 "
      << dialog->list_view()->columnWidth(1);
  const QRect cell = dialog->list_view()->visualRect(dialog->list_view()->model()->index(1, 1));
  EXPECT_TRUE(cell.contains(selector->geometry().center()));
  // Choosing the CD set replaces the summary.
  selector->setCurrentIndex(1);
  emit selector->activated(1);
  EXPECT_EQ(Information(*dialog), Text(ids::kInsertBlankMedia) + "    1 CD(s)\n");
  EXPECT_EQ(dialog->contents().item(0)->current_set(), 1);
}

TEST_F(MainWindowTest, SeveralRecordersAskForTheDriveOnFirstShowing) {
  UseDrives(true);
  ASSERT_GE(drives_.size(), 2u);
  prompter_.QueueAnswer(2);  // the third line: F:, the CD-R writer
  auto dialog = Open();
  QTRY_VERIFY(dialog->first_paint_done());
  QApplication::processEvents();
  bool asked = false;
  for (const auto& record : prompter_.records())
    asked |= record.kind == ScriptedPrompter::Kind::kChoose;
  EXPECT_TRUE(asked);
  EXPECT_EQ(drives_.SelectedDrive(), test_support::kDriveF);
  // The selectors were filled again for the chosen drive.
  const tagDRIVEPARAM* chosen = drives_.Find(test_support::kDriveF);
  ASSERT_NE(chosen, nullptr);
  MediaList expected(&dialog->contents());
  expected.FillSelectors(chosen->deviceSpec.dwWritableMedia);
  EXPECT_EQ(dialog->list_view()->selector(0)->count(), expected.SelectorCount(0));
  EXPECT_EQ(dialog->media_list().SelectorMap(0), expected.SelectorMap(0));
}

TEST_F(MainWindowTest, CreateRecordsTheCheckedDiscAndShowsTheRun) {
  UseDrives(false);
  auto dialog = Open();
  Click(*dialog, 1, HotZone::kExpand);
  Click(*dialog, 3, HotZone::kDiscCheck);  // only disc 1
  bool shot = false;
  bool controls_locked = false;
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    if (!dialog->busy() || shot) return;
    controls_locked = !dialog->create_button()->isEnabled() && !dialog->verify_box()->isEnabled() &&
                      !dialog->list_view()->selector(0)->isEnabled();
    Screenshot(*dialog, "main_window_running.png");
    shot = true;
  });
  watcher.start(50);
  QTest::mouseClick(dialog->create_button(), Qt::LeftButton);
  watcher.stop();
  EXPECT_TRUE(shot);
  EXPECT_TRUE(controls_locked);
  EXPECT_FALSE(dialog->busy());
  EXPECT_TRUE(Information(*dialog).endsWith(Text(ids::kAllCompleted)))
      << Information(*dialog).toStdString();
  EXPECT_EQ(dialog->frame()->current_bar()->value(), 1000);
  EXPECT_EQ(dialog->frame()->total_bar()->value(), 1000);
  EXPECT_EQ(dialog->contents().item(0)->Status(0), kDiscCreated);
  EXPECT_EQ(Messages().back(), LoadString(ids::kAllCompleted));
  // The disc holds what was written (it was ejected after recording).
  test_support::SetTray('D', false);
  _MEDIAINFORMATION info{};
  HANDLE drive = DRV_OpenDrive(test_support::kDriveD);
  ASSERT_NE(drive, nullptr);
  EXPECT_EQ(DRV_GetMediaInformation(drive, &info), 0u);
  DRV_CloseDrive(drive);
  EXPECT_GT(info.dwUsed, 0u);
  EXPECT_TRUE(dialog->verify_box()->isEnabled());
  Screenshot(*dialog, "main_window_done.png");
}

TEST_F(MainWindowTest, CancelDuringARunAsksAndCancelsWhileEscapeClosesWhenIdle) {
  UseDrives(false);
  auto dialog = Open();
  prompter_.SetDefaultAnswer(ScriptedPrompter::Kind::kConfirmCancel, kIdOk);
  // Closing the disc takes long enough for the cancel to arrive while the job still runs.
  ASSERT_NO_FATAL_FAILURE(SlowClose(3000));
  bool closed_during_run = false;
  QTimer::singleShot(0, [&] {
    // The close box during a run opens the prompt instead of closing.
    dialog->close();
    closed_during_run = dialog->isVisible();
  });
  QTest::mouseClick(dialog->create_button(), Qt::LeftButton);
  dialog->run().JoinCancelPrompt();
  EXPECT_TRUE(closed_during_run);
  bool prompted = false;
  for (const auto& record : prompter_.records())
    prompted |= record.kind == ScriptedPrompter::Kind::kConfirmCancel;
  EXPECT_TRUE(prompted);
  EXPECT_TRUE(Information(*dialog).endsWith(Text(ids::kAllCancelled)))
      << Information(*dialog).toStdString();
  EXPECT_EQ(dialog->contents().item(0)->Status(0), kDiscNone);
  // Idle again: Escape closes the dialog.
  EXPECT_TRUE(dialog->isVisible());
  QTest::keyClick(dialog.get(), Qt::Key_Escape);
  EXPECT_FALSE(dialog->isVisible());
}

TEST_F(MainWindowTest, OnBatteryNoLeavesTheWindowIdleAndYesRuns) {
  UseDrives(false);
  OnBattery();
  auto dialog = Open();
  CheckFirstDiscOnly(*dialog);
  const QString summary = Information(*dialog);
  prompter_.QueueAnswer(kIdNo);
  QTest::mouseClick(dialog->create_button(), Qt::LeftButton);
  const auto records = prompter_.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message.text, LoadString(ids::kOnBattery));
  EXPECT_EQ(records[0].message.buttons, PromptButtons::kYesNo);
  EXPECT_EQ(records[0].message.owner, QtPrompter::WindowOf(dialog.get()));
  EXPECT_FALSE(dialog->busy());
  EXPECT_TRUE(dialog->create_button()->isEnabled());
  EXPECT_TRUE(dialog->verify_box()->isEnabled());
  EXPECT_TRUE(dialog->list_view()->selector(0)->isEnabled());
  EXPECT_EQ(Information(*dialog), summary);
  EXPECT_EQ(dialog->contents().item(0)->Status(0), kDiscNone);
  EXPECT_EQ(UsedOnD(), 0u);

  prompter_.QueueAnswer(kIdYes);
  QTest::mouseClick(dialog->create_button(), Qt::LeftButton);
  EXPECT_EQ(dialog->contents().item(0)->Status(0), kDiscCreated);
  EXPECT_EQ(Messages().back(), LoadString(ids::kAllCompleted));
  EXPECT_GT(UsedOnD(), 0u);
}

TEST_F(MainWindowTest, RefusedDriveLockStopsTheRunBeforeAnythingIsWritten) {
  UseDrives(false);
  RegisterDla();
  VxLibrary library(VX_LIBRARY_REFUSE);
  ASSERT_TRUE(library.loaded());
  auto dialog = Open(VX_LIBRARY_REFUSE);
  CheckFirstDiscOnly(*dialog);
  QTest::mouseClick(dialog->create_button(), Qt::LeftButton);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].rfind(LoadString(ids::kCannotStartNoRecorder), 0), 0u);
  EXPECT_NE(Messages()[0].find(u"( Error Code: 1205A9-F0"),
            std::u16string::npos);            // module 18, 1449
  EXPECT_EQ(library.Call("VxTestCalls"), 1);  // the lock only: nothing to give back
  EXPECT_EQ(library.Call("VxTestLastLock"), 1);
  EXPECT_EQ(library.Call("VxTestLastLetter"), 'D');
  EXPECT_FALSE(dialog->busy());
  EXPECT_TRUE(dialog->create_button()->isEnabled());
  EXPECT_TRUE(dialog->verify_box()->isEnabled());
  EXPECT_EQ(dialog->contents().item(0)->Status(0), kDiscNone);
  EXPECT_EQ(UsedOnD(), 0u);
}

TEST_F(MainWindowTest, AcceptedDriveLockIsHeldDuringTheRunAndGivenBack) {
  UseDrives(false);
  RegisterDla();
  VxLibrary library(VX_LIBRARY_ACCEPT);
  ASSERT_TRUE(library.loaded());
  auto dialog = Open(VX_LIBRARY_ACCEPT);
  CheckFirstDiscOnly(*dialog);
  int lock_while_busy = -1;
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    if (dialog->busy() && lock_while_busy < 0) lock_while_busy = library.Call("VxTestLastLock");
  });
  watcher.start(20);
  QTest::mouseClick(dialog->create_button(), Qt::LeftButton);
  watcher.stop();
  EXPECT_EQ(lock_while_busy, 1);
  EXPECT_EQ(library.Call("VxTestCalls"), 2);
  EXPECT_EQ(library.Call("VxTestLastLock"), 0);
  EXPECT_EQ(dialog->contents().item(0)->Status(0), kDiscCreated);
}

TEST_F(MainWindowTest, ImageDiscIsRecordedAndComparedByTheWindowsController) {
  UseDrives(false);
  std::mt19937 random(17);
  std::string blocks(320 * 2048, '\0');
  for (char& c : blocks) c = static_cast<char>(random());
  const std::string iso = WriteFile("area/image/recovery.iso", blocks);
  const std::string contents =
      WriteFile("area/image_contents.ini",
                "[CONTENTS]\nContentsTitle=Image Recovery\nContentsID=GUI-IMAGE\n"
                "[DISCSET01]\nDiscSetTitle=Recovery Image (DVD)\n"
                "[DISC0101]\nDiscTitle=Recovery Image\nDiscType=DVD\nImageFile=" +
                    iso + "\n");
  top_ = WriteFile("area/Image.ini",
                   "[VERIFYSETTINGS]\nVerify=Yes\n[CONTENTS01]\nIniPath=" + contents + "\n");
  auto dialog = Open();
  // The job lasts long enough to be watched.
  ASSERT_NO_FATAL_FAILURE(SlowClose(600));
  ASSERT_TRUE(dialog->verify_box()->isChecked());
  ASSERT_TRUE(dialog->create_button()->isEnabled());
  bool job_seen = false;
  bool awake_while_running = false;
  bool compared = false;
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    if (!dialog->JobRunning()) return;
    job_seen = true;
    awake_while_running |=
        inhibitors_.count() == 1 && inhibitors_.Held(0) && dialog->keep_awake().held();
  });
  // The compare of a small image is over between two ticks of a timer; the verifying phase is
  // caught where it announces itself in the Information box.
  QObject::connect(dialog->frame()->information(), &QPlainTextEdit::textChanged, [&] {
    compared |= dialog->contents().item(0)->Status(0) == kDiscVerifying &&
                Information(*dialog).contains(Text(ids::kNowVerifying));
  });
  watcher.start(20);
  QTest::mouseClick(dialog->create_button(), Qt::LeftButton);
  watcher.stop();
  EXPECT_TRUE(job_seen);
  EXPECT_TRUE(awake_while_running);
  EXPECT_TRUE(compared);  // the disc was read back and compared with the image, byte for byte
  EXPECT_EQ(dialog->contents().item(0)->Status(0), kDiscCreated)
      << ::testing::PrintToString(Messages());
  EXPECT_EQ(Messages().back(), LoadString(ids::kAllCompleted));
  EXPECT_TRUE(Information(*dialog).endsWith(Text(ids::kAllCompleted)));
  // The window's own controller wrote the disc, not the run's spare one.
  EXPECT_EQ(dialog->image_ctrl().discTitle(), u"Recovery Image");
  EXPECT_TRUE(dialog->run().image_ctrl().discTitle().empty());
  EXPECT_EQ(dialog->image_ctrl().isoFile(), 1);
  // The keep-awake requests reached the inhibitor, which is given back after the job.
  EXPECT_FALSE(dialog->keep_awake().held());
  EXPECT_FALSE(inhibitors_.Held(0));
  EXPECT_EQ(ui_.execution_states().front(), kEsKeepAwake);
  EXPECT_EQ(ui_.execution_states().back(), kEsContinuous);
}

// The quick verify mode is chosen in the dialog's context menu. A byte of a source file changed
// after the disc was written, as the verify starts, is found inside the start of the file that
// quick verify reads and goes unseen outside it; the full mode finds the latter as well.
TEST_F(MainWindowTest, QuickVerifyIsChosenInTheContextMenu) {
  UseDrives(false);
  std::mt19937 random(21);
  std::string big(3000000, '\0');
  for (char& c : big) c = static_cast<char>(random());
  const std::string source = WriteFile("area/files/big.bin", big);
  const std::string top =
      WriteFile("area/Verify.ini", "[VERIFYSETTINGS]\nVerify=Yes\n[CONTENTS01]\nIniPath=" +
                                       test_support::TestRoot() + "/area/contents.ini\n");
  top_ = top;
  struct Case {
    bool quick;
    long offset;
    bool found;
  };
  for (const Case c :
       {Case{true, 100, true}, Case{true, 2000000, false}, Case{false, 2000000, true}}) {
    SCOPED_TRACE(::testing::Message() << (c.quick ? "quick" : "full") << " at " << c.offset);
    WriteFile("area/files/big.bin", big);
    test_support::InsertBlank('D', "dvd+r");
    // The disc counts as not created yet, so that the same disc is checked each time.
    platform::RegistryKey::DeleteTree(platform::RegistryHive::kCurrentUser, u"Software\\VARNOLD");
    const auto differences = [&] {
      const std::vector<std::u16string> messages = Messages();
      return std::count_if(messages.begin(), messages.end(), [](const std::u16string& text) {
        return text.find(LoadString(ids::kFilesDiffer)) != std::u16string::npos;
      });
    };
    const auto differences_before = differences();
    auto dialog = Open();
    CheckFirstDiscOnly(*dialog);
    ASSERT_TRUE(dialog->verify_box()->isChecked());
    QAction* quick = dialog->quick_verify_action();
    ASSERT_TRUE(dialog->actions().contains(quick));
    EXPECT_TRUE(quick->isCheckable());
    EXPECT_FALSE(quick->isChecked());  // the configuration names no mode: full
    if (c.quick) quick->trigger();
    ASSERT_EQ(quick->isChecked(), c.quick);
    bool flipped = false;
    QObject::connect(dialog->frame()->information(), &QPlainTextEdit::textChanged, [&] {
      if (flipped || dialog->contents().item(0)->Status(0) != kDiscVerifying) return;
      flipped = true;
      EXPECT_FALSE(quick->isEnabled());  // the mode cannot change during a run
      std::fstream file(source, std::ios::in | std::ios::out | std::ios::binary);
      file.seekp(c.offset);
      file.put(static_cast<char>(big[static_cast<size_t>(c.offset)] ^ 0x5a));
    });
    QTest::mouseClick(dialog->create_button(), Qt::LeftButton);
    EXPECT_TRUE(flipped);
    EXPECT_EQ(differences() - differences_before, c.found ? 1 : 0)
        << ::testing::PrintToString(Messages());
    EXPECT_EQ(dialog->contents().item(0)->Status(0) == kDiscCreated, !c.found);
    EXPECT_TRUE(quick->isEnabled());
  }
}

TEST_F(MainWindowTest, EndSessionAndSuspendAreRefusedOnlyWhileAJobRuns) {
  UseDrives(false);
  auto dialog = Open();
  CheckFirstDiscOnly(*dialog);
  // Closing the disc takes long enough for the questions to arrive while the job runs.
  ASSERT_NO_FATAL_FAILURE(SlowClose(600));
  SessionGuard& guard = dialog->session_guard();
  const HWND window = CurrentControllerUi().EngineWindow();
  ASSERT_TRUE(platform::IsWindow(window));
  // AutoPlay is cancelled at any time; the session may end while idle.
  EXPECT_EQ(platform::SendMessage(window, SessionGuard::AutoPlayMessage(), 0, 0), 1);
  EXPECT_TRUE(guard.QueryEndSession(true));
  EXPECT_EQ(platform::SendMessage(window, kWmQueryEndSession, 0, 0), TRUE);
  int asked = 0;
  int refused = 0;
  int suspend_refused = 0;
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    if (!dialog->JobRunning()) return;
    ++asked;
    refused += guard.QueryEndSession(true) ? 0 : 1;
    suspend_refused += platform::SendMessage(window, kWmPowerBroadcast, kPbtApmQuerySuspend, 0) ==
                       kBroadcastQueryDeny;
  });
  watcher.start(20);
  QTest::mouseClick(dialog->create_button(), Qt::LeftButton);
  watcher.stop();
  guard.JoinNotice();
  ASSERT_GT(asked, 0);
  EXPECT_EQ(refused, asked);
  EXPECT_EQ(suspend_refused, asked);
  EXPECT_GE(guard.notices_started(), 1);
  EXPECT_TRUE(Shown(ids::kShutdownRefused));
  EXPECT_EQ(dialog->contents().item(0)->Status(0), kDiscCreated);
  // Idle again: nothing is refused.
  EXPECT_FALSE(dialog->JobRunning());
  EXPECT_TRUE(guard.QueryEndSession(true));
  EXPECT_EQ(platform::SendMessage(window, kWmPowerBroadcast, kPbtApmQuerySuspend, 0), TRUE);
}

TEST_F(MainWindowTest, FooterButtonsDrawFromTheirFaces) {
  UseDrives(false);
  auto dialog = Open();
  FooterButton* cancel = dialog->cancel_button();
  EXPECT_EQ(cancel->CurrentFace(), bitmap::kButtonNormal);
  EXPECT_EQ(cancel->CaptionColor(), QColor(Qt::black));
  QTest::mousePress(cancel, Qt::LeftButton);
  EXPECT_EQ(cancel->CurrentFace(), bitmap::kButtonPressed);
  EXPECT_EQ(cancel->CaptionColor(), QColor(Qt::white));
  cancel->setDown(false);
  // The three slices: the faces' end columns stay one pixel wide at any width.
  const QPixmap face = LoadBitmap(bitmap::kButtonNormal);
  QImage wide(200, 21, QImage::Format_RGB32);
  wide.fill(Qt::red);
  {
    QPainter painter(&wide);
    DrawThreeSlices(painter, wide.rect(), face);
  }
  const QImage source = face.toImage();
  EXPECT_EQ(wide.pixel(0, 10), source.pixel(0, 10));
  EXPECT_EQ(wide.pixel(199, 10), source.pixel(66, 10));
  EXPECT_EQ(wide.pixel(100, 10), source.pixel(33, 10));
}

TEST(BitmapTest, EveryBitmapIsThereWithItsSizeAndWhiteIsTransparent) {
  test_support::EnsureQtApplication();
  struct Expected {
    int id, width, height;
  };
  const Expected expected[] = {{5003, 16, 16}, {5004, 16, 16}, {5005, 16, 16}, {5006, 16, 16},
                               {5007, 16, 16}, {5008, 16, 16}, {5009, 16, 16}, {5010, 16, 16},
                               {5011, 16, 16}, {5012, 67, 21}, {5013, 67, 21}, {5014, 67, 21},
                               {5015, 1, 19},  {5016, 124, 38}};
  for (const Expected& e : expected) {
    const QPixmap pixmap = LoadBitmap(e.id);
    ASSERT_FALSE(pixmap.isNull()) << e.id;
    EXPECT_EQ(pixmap.size(), QSize(e.width, e.height)) << e.id;
  }
  EXPECT_TRUE(LoadBitmap(4999).isNull());
  const QImage checked =
      LoadMaskedBitmap(bitmap::kChecked).toImage().convertToFormat(QImage::Format_ARGB32);
  EXPECT_EQ(qAlpha(checked.pixel(0, 0)), 0);    // white corner: transparent
  EXPECT_EQ(qAlpha(checked.pixel(7, 7)), 255);  // inside the box: drawn
  EXPECT_NE(LoadBitmap(bitmap::kChecked).toImage(), LoadBitmap(bitmap::kUnchecked).toImage());
}

// A title too long for its cell ends in an ellipsis and stays inside the cell, measured in the
// font it is drawn in (bold for contents rows).
TEST(ListTitleTest, LongTitlesAreElidedInsideTheirCell) {
  test_support::EnsureQtApplication();
  QFont font = QApplication::font();
  font.setPixelSize(13);
  MediaListRow contents;
  contents.kind = RowKind::kContents;
  contents.title = u"Windows Recovery Media with Drivers and Applications for Every Model";
  MediaListRow disc = contents;
  disc.kind = RowKind::kDisc;
  for (const double scale : {1.0, 1.5}) {
    for (const MediaListRow& row : {contents, disc}) {
      for (const int width : {120, 200, 260}) {
        const QRect cell(10, 40, width, 22);
        const RowTitleLayout title = LayoutRowTitle(row, cell, font, scale);
        EXPECT_EQ(title.font.bold(), row.kind == RowKind::kContents);
        EXPECT_LE(title.rect.left() + title.rect.width(), cell.left() + cell.width())
            << "past the cell";
        EXPECT_LE(QFontMetrics(title.font).horizontalAdvance(title.text), title.rect.width())
            << title.text.toStdString() << " at " << width;
        EXPECT_TRUE(title.text.endsWith(QChar(0x2026))) << title.text.toStdString();
      }
    }
  }
  contents.title = u"Short";
  EXPECT_EQ(LayoutRowTitle(contents, QRect(0, 0, 300, 22), font, 1.0).text, "Short");
}

TEST(AboutTest, VersionLineComesFromTheInstallRecordOrTheBuild) {
  test_support::TestRoot();  // private registry
  test_support::EnsureQtApplication();
  EXPECT_EQ(VersionText(u"Quenvar Version %s", u"2.4.1", u"0.1.0"), u"Quenvar Version 2.4.1");
  EXPECT_EQ(VersionText(u"Quenvar Version %s", u"", u"0.1.0"), u"Quenvar Version 0.1.0");
  EXPECT_EQ(VersionText(u"", u"2.4.1", u"0.1.0"), u"");
  platform::RegistryKey::DeleteTree(platform::RegistryHive::kLocalMachine, kUninstallKey);
  EXPECT_EQ(InstalledVersion(), u"");
  platform::RegistryKey key;
  bool created = false;
  ASSERT_TRUE(platform::RegistryKey::Create(platform::RegistryHive::kLocalMachine, kUninstallKey,
                                            &key, &created)
                  .ok());
  ASSERT_TRUE(key.SetString(u"DisplayVersion", u"3.0.7").ok());
  SetUiLanguage(kLangEnglish);
  CAboutDlg about;
  EXPECT_EQ(about.version_text(), "Quenvar Version 3.0.7");
}

}  // namespace
}  // namespace quenvar::app
