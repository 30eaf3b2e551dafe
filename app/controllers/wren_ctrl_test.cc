#include "app/controllers/wren_ctrl.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "app/controllers/controller_test_support.h"
#include "app/controllers/disc_volume.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "platform/env.h"
#include "platform/temp_dir.h"
#include "platform/unicode.h"
#include "quillden/drive.h"
#include "quillden/result.h"

namespace quenvar::app {
namespace {

using test_support::ControllerTest;
using test_support::InsertBlank;
using test_support::kDriveD;
using test_support::kDriveE;
using test_support::kDriveF;

std::u16string Text(uint32_t id) {
  return std::u16string(LoadString(id));
}

// The media flag in the drive now, 0 when the tray is open or empty.
uint32_t MediaIn(int32_t drive_number) {
  HANDLE drive = DRV_OpenDrive(static_cast<DWORD>(drive_number));
  _MEDIAINFORMATION info{};
  DRV_GetMediaInformation(drive, &info);
  DRV_CloseDrive(drive);
  return info.dwMedia;
}

_MEDIAINFORMATION MediaInfo(int32_t drive_number) {
  HANDLE drive = DRV_OpenDrive(static_cast<DWORD>(drive_number));
  _MEDIAINFORMATION info{};
  EXPECT_EQ(DRV_GetMediaInformation(drive, &info), 0u);
  DRV_CloseDrive(drive);
  return info;
}

// A local file of a mounted volume is opened only if what was opened is the regular file that was
// looked at: a path swapped for a link (or another file) in between is refused.
class SwappingEnv : public platform::EnvWrapper {
 public:
  SwappingEnv(const std::string& from, const std::string& to)
      : EnvWrapper(platform::Env::Default()), from_(from), to_(to) {}
  platform::Status OpenReadable(const std::string& path,
                                std::unique_ptr<platform::ReadableFile>* file) override {
    return target()->OpenReadable(path == from_ ? to_ : path, file);
  }

 private:
  std::string from_, to_;
};

TEST(DiscFileTest, ALocalFileSwappedBetweenLookAndOpenIsRefused) {
  platform::ScopedTempDir dir("discfile-");
  const std::string looked = dir.path() + "/looked.bin";
  const std::string other = dir.path() + "/other.bin";
  for (const std::string& path : {looked, other}) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("data", f);
    std::fclose(f);
  }
  const std::u16string name = platform::Utf8ToUtf16(looked);
  ASSERT_NE(DiscFile::Open(name), nullptr);
  SwappingEnv swapping(looked, other);
  EXPECT_EQ(DiscFile::Open(name, &swapping), nullptr);
}

TEST(MediaVocabularyTest, KindsNamesAndLists) {
  SetUiLanguage(1033);
  EXPECT_EQ(MediaKindToFlags(1), 0x6u);
  EXPECT_EQ(MediaKindToFlags(2), 0x3D0u);
  EXPECT_EQ(MediaKindToFlags(3), 0x6000u);
  EXPECT_EQ(MediaKindToFlags(6), 0x100000u);
  EXPECT_EQ(MediaKindToFlags(7), 0u);
  EXPECT_EQ(MediaName(0x80), u"DVD-RW");
  EXPECT_EQ(MediaName(0x2000), u"DVD+R DL");
  EXPECT_EQ(MediaName(0x3), u"*unknown*");
  EXPECT_EQ(MediaListText(0x6), Text(ids::kInsertBlankMediaList) + u"CD-R/CD-RW\r\n");
  EXPECT_EQ(MediaListText(0x3D0),
            Text(ids::kInsertBlankMediaList) + u"DVD-R/DVD-RW/DVD+RW/DVD+R\r\n");
  // DVD-RAM is never offered; both DVD-R DL flags make one name.
  EXPECT_EQ(MediaListText(0x20 | 0x4000 | 0x8000),
            Text(ids::kInsertBlankMediaList) + u"DVD-R DL\r\n");
}

TEST_F(ControllerTest, EnumerationListsOnlyRecordersInDriveOrder) {
  CWrenCtrl ctrl;
  DriveList list;
  list.records().push_back(tagDRIVEPARAM{});  // refilling empties the list first
  ASSERT_TRUE(ctrl.EnumerateRecorders(&list));
  ASSERT_EQ(list.size(), 3u);  // U: is a USB disk, not an optical drive
  EXPECT_EQ(list.records()[0].driveNumber, kDriveD);
  EXPECT_EQ(list.records()[1].driveNumber, kDriveE);
  EXPECT_EQ(list.records()[2].driveNumber, kDriveF);
  EXPECT_EQ(list.SelectedDrive(), kDriveD);
  EXPECT_EQ(list.records()[1].selected, 0);
  for (const tagDRIVEPARAM& record : list.records())
    EXPECT_NE(record.deviceSpec.dwWritableMedia, 0u);
  EXPECT_EQ(DriveLine(list.records()[0]).substr(0, 5), u"(D:) ");
  EXPECT_TRUE(prompter_.records().empty());  // nothing to report

  // Insertion keeps drive order and never adds a second selection.
  tagDRIVEPARAM early;
  early.driveNumber = 3;
  early.deviceSpec.dwWritableMedia = 0;  // a reader: listed in the record, never offered
  ctrl.InsertDriveParam(&list, early);
  EXPECT_EQ(list.records()[0].driveNumber, 3);
  EXPECT_EQ(list.records()[0].selected, 0);

  // The dialog offers recorders only, preselects line 0, and the chosen line becomes the selection.
  prompter_.QueueAnswer(2);
  CSelectDriveDlg dialog;
  EXPECT_EQ(dialog.Run(main_window_, &list), 2);
  const auto records = prompter_.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].dialog, ids::kDlgSelectDrive);
  ASSERT_EQ(records[0].lines.size(), 3u);
  EXPECT_EQ(records[0].lines[0], DriveLine(list.records()[1]));
  EXPECT_EQ(list.SelectedDrive(), kDriveF);

  EXPECT_EQ(dialog.Run(main_window_, nullptr), -1);
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find(u"( Error Code: 0B002E-F0-"), std::u16string::npos);
}

TEST_F(ControllerTest, QueriesRejectDrivesOutOfRange) {
  CWrenCtrl ctrl;
  _MEDIAINFORMATION info{};
  EXPECT_EQ(ctrl.QueryMediaInfo(0, &info), QD_E_INVALID_HANDLE);
  EXPECT_EQ(ctrl.QueryMediaInfo(26, &info), QD_E_INVALID_HANDLE);
  // A letter the map does not list cannot be opened: reported with 15022.
  EXPECT_EQ(ctrl.QueryMediaInfo(7, &info), QD_E_INVALID_HANDLE);
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind(Text(ids::kNoRecorder), 0), 0u);
  EXPECT_NE(messages[0].find(u"0D0120-F0-"), std::u16string::npos);  // module 13, location 288
  EXPECT_EQ(ctrl.ReleaseAndEject(0), 0);
  EXPECT_EQ(ctrl.CancelJob(), 0u);
}

TEST_F(ControllerTest, WrongMediaIsEjectedAndNamedInThePrompt) {
  InsertBlank('E', "dvd-r");
  CWrenCtrl ctrl;
  ctrl.set_discTitle(u"Recovery CD 1");
  ctrl.set_allowedMedia(MediaKindToFlags(1));
  prompter_.QueueAnswer(kIdOk);      // the first prompt
  prompter_.QueueAnswer(kIdCancel);  // "You cannot record data to this Media."
  prompter_.QueueAnswer(kIdYes);     // give up
  HANDLE drive = DRV_OpenDrive(kDriveE);
  _MEDIAINFORMATION info{};
  EXPECT_EQ(ctrl.CheckMedia(main_window_, kDriveE, drive, &info, u"Insert a disc.\r\n"),
            QD_E_CANCELLED);
  DRV_CloseDrive(drive);
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0], u"Insert a disc.\r\n" + MediaListText(0x6));
  EXPECT_EQ(messages[1], Text(ids::kCannotRecordMedia) + MediaListText(0x6));
  EXPECT_EQ(messages[2], Text(ids::kAskCancelProcess));
  const auto records = prompter_.records();
  EXPECT_EQ(records[0].message.caption, FormatString(ids::kNowCreatingCaption, {u"Recovery CD 1"}));
  EXPECT_EQ(MediaIn(kDriveE), 0u);  // ejected
}

TEST_F(ControllerTest, FirstPromptCancelThenNoReadsTheMediaThenYesDoesNot) {
  InsertBlank('D', "dvd+rw");
  CWrenCtrl ctrl;
  ctrl.set_allowedMedia(MediaKindToFlags(2));
  HANDLE drive = DRV_OpenDrive(kDriveD);
  _MEDIAINFORMATION info{};
  prompter_.QueueAnswer(kIdCancel);
  prompter_.QueueAnswer(kIdNo);
  EXPECT_EQ(ctrl.CheckMedia(main_window_, kDriveD, drive, &info, u""), 0u);
  EXPECT_EQ(info.dwMedia, MEDIA_DVDPRW);  // read and judged blank
  EXPECT_EQ(info.dwStatus, MEDIA_STATUS_BLANK);

  prompter_.ClearRecords();
  info = _MEDIAINFORMATION{};
  prompter_.QueueAnswer(kIdCancel);
  prompter_.QueueAnswer(kIdYes);
  EXPECT_EQ(ctrl.CheckMedia(main_window_, kDriveD, drive, &info, u""), QD_E_CANCELLED);
  EXPECT_EQ(info.dwMedia, 0u);  // never read
  EXPECT_EQ(Messages().size(), 2u);
  DRV_CloseDrive(drive);

  EXPECT_EQ(ctrl.CheckMedia(main_window_, kDriveD, nullptr, &info, u""), QD_E_INVALID_ARGUMENT);
}

TEST_F(ControllerTest, MissingMediaIsAskedForAgainUntilTheUserGivesUp) {
  InsertBlank('D', "dvd+rw");
  test_support::SetTray('D', true);
  CWrenCtrl ctrl;
  ctrl.set_discTitle(u"Disc A");
  ctrl.set_allowedMedia(MediaKindToFlags(2));
  HANDLE drive = DRV_OpenDrive(kDriveD);
  _MEDIAINFORMATION info{};
  prompter_.QueueAnswer(kIdOk);
  prompter_.QueueAnswer(kIdOk);  // "Disc A will be created now." once more
  prompter_.QueueAnswer(kIdCancel);
  prompter_.QueueAnswer(kIdYes);
  EXPECT_EQ(ctrl.CheckMedia(main_window_, kDriveD, drive, &info, u""), QD_E_CANCELLED);
  DRV_CloseDrive(drive);
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[1], FormatString(ids::kWillBeCreatedNow, {u"Disc A"}) + MediaListText(0x3D0));
  EXPECT_EQ(messages[2], messages[1]);
}

TEST_F(ControllerTest, RewritableMediaWithDataAsksBeforeErasing) {
  CWrenCtrl ctrl;
  ctrl.set_allowedMedia(MediaKindToFlags(2));
  ctrl.set_fullEraseRequired(1);
  InsertBlank('D', "dvd-rw");
  test_support::WriteSomething(kDriveD);
  _MEDIAINFORMATION info = MediaInfo(kDriveD);
  ASSERT_NE(info.dwStatus, MEDIA_STATUS_BLANK);
  ASSERT_TRUE(info.dwErasable);
  prompter_.QueueAnswer(kIdCancel);
  EXPECT_EQ(ctrl.JudgeMedia(main_window_, kDriveD, &info), QD_E_NOT_READY);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0], Text(ids::kAskFullErase));
  EXPECT_EQ(MediaIn(kDriveD), 0u);  // declined: ejected

  prompter_.ClearRecords();
  ctrl.set_allowedMedia(MediaKindToFlags(1));
  InsertBlank('F', "cd-rw");
  test_support::WriteSomething(kDriveF);
  info = MediaInfo(kDriveF);
  prompter_.QueueAnswer(kIdCancel);
  EXPECT_EQ(ctrl.JudgeMedia(main_window_, kDriveF, &info), QD_E_NOT_READY);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0], Text(ids::kAskQuickErase));
}

TEST_F(ControllerTest, AcceptedEraseFillsTheBarAndTheDiscIsWritable) {
  CWrenCtrl ctrl;
  ctrl.set_allowedMedia(MediaKindToFlags(1));
  InsertBlank('F', "cd-rw");
  test_support::WriteSomething(kDriveF);
  HANDLE drive = DRV_OpenDrive(kDriveF);
  _MEDIAINFORMATION info{};
  prompter_.QueueAnswer(kIdOk);  // the first prompt
  prompter_.QueueAnswer(kIdOk);  // erase
  EXPECT_EQ(ctrl.CheckMedia(main_window_, kDriveF, drive, &info, u""), 0u);
  DRV_CloseDrive(drive);
  ASSERT_EQ(ui_.modal_records().size(), 1u);
  const auto& erase = ui_.modal_records()[0];
  EXPECT_EQ(erase.dialog, ids::kDlgErase);
  EXPECT_EQ(erase.result, 0);
  EXPECT_GE(erase.position, erase.range_high);  // a full bar at the end
  EXPECT_EQ(MediaInfo(kDriveF).dwStatus, MEDIA_STATUS_BLANK);
  EXPECT_EQ(ctrl.busy(), 0);
  EXPECT_EQ(ui_.execution_states(), (std::vector<uint32_t>{kEsKeepAwake, kEsContinuous}));
}

TEST_F(ControllerTest, RefusedEraseEjectsAndTells15029) {
  CWrenCtrl ctrl;
  InsertBlank('E', "dvd-r");
  test_support::WriteSomething(kDriveE);  // DVD-R cannot be erased
  prompter_.QueueAnswer(kIdOk);
  EXPECT_EQ(ctrl.ConfirmErase(main_window_, kDriveE, 1), QD_E_NOT_READY);
  ASSERT_EQ(ui_.modal_records().size(), 1u);
  EXPECT_EQ(static_cast<uint32_t>(ui_.modal_records()[0].result), QD_E_CANNOT_ERASE);
  EXPECT_EQ(ui_.modal_records()[0].ticks, 1);  // ended at the first tick
  const auto messages = Messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), Text(ids::kEraseFailed));
  EXPECT_EQ(prompter_.records().back().message.caption, Text(ids::kErrorCaption));
  EXPECT_EQ(MediaIn(kDriveE), 0u);
  EXPECT_EQ(ctrl.ConfirmErase(nullptr, kDriveE, 1), QD_E_INVALID_ARGUMENT);
}

TEST_F(ControllerTest, CancelledEraseCountsAsNotErased) {
  CWrenCtrl ctrl;
  InsertBlank('D', "dvd-rw");
  test_support::WriteSomething(kDriveD);
  ASSERT_NO_FATAL_FAILURE(test_support::SetTiming('D', 3000, 1500, 100, 0, 3000));  // slow blanking
  prompter_.QueueAnswer(kIdOk);   // erase
  prompter_.QueueAnswer(kIdNo);   // first cancel: no, go on
  prompter_.QueueAnswer(kIdYes);  // second cancel: yes
  ui_.QueueCancel(1);             // after the start tick: the worker runs
  ui_.QueueCancel(2);
  EXPECT_EQ(ctrl.ConfirmErase(main_window_, kDriveD, 0), QD_E_NOT_READY);
  const auto messages = Messages();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages[1], Text(ids::kAskCancelErase));
  EXPECT_EQ(messages.back(), Text(ids::kEraseFailed));
  EXPECT_EQ(ctrl.busy(), 0);
}

TEST_F(ControllerTest, CancelBeforeTheEraseStartsLeavesTheDataAlone) {
  CWrenCtrl ctrl;
  InsertBlank('F', "cd-rw");
  test_support::WriteSomething(kDriveF);
  prompter_.QueueAnswer(kIdYes);  // cancel at once
  ui_.QueueCancel(0);
  EXPECT_EQ(ctrl.EraseMedia(1, kDriveF), 0);
  EXPECT_EQ(Messages(), (std::vector<std::u16string>{Text(ids::kAskCancelErase)}));
  ASSERT_EQ(ui_.modal_records().size(), 1u);
  EXPECT_EQ(static_cast<uint32_t>(ui_.modal_records()[0].result), QD_E_CANCELLED);
  EXPECT_EQ(ui_.modal_records()[0].ticks, 0);  // the start timer never fired
  test_support::SetTray('F', false);
  EXPECT_NE(MediaInfo(kDriveF).dwStatus, MEDIA_STATUS_BLANK);  // not erased
}

}  // namespace
}  // namespace quenvar::app
