#include "app/controllers/wren_ctrl.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include "app/prompting/controller_ui.h"
#include "app/prompting/error_object.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "platform/drive_map.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quenvar::app {

uint32_t SettledErrorCode(HANDLE progress) {
  uint32_t code = PRG_GetProgressErrorCode(progress);
  for (int i = 0; i < 100 && code == QD_E_BUSY; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    code = PRG_GetProgressErrorCode(progress);
  }
  return code;
}
namespace {

constexpr int kDeviceInfoLocations[4] = {228, 233, 246, 253};
constexpr int kMediaInfoLocations[4] = {288, 293, 0, 312};
constexpr int kDeviceSpecLocations[4] = {348, 353, 370, 379};

}  // namespace

uint32_t LastError() {
  return static_cast<uint32_t>(errno);
}

void ReportJobFailure(int module, int location, uint32_t code, uint32_t text_id) {
  if (code == QD_E_COMMAND_FAILED) {
    CErrorObject report(module, location, static_cast<int>(code), LastError(),
                        DRV_GetLastCommandError(nullptr), LoadString(text_id),
                        CurrentPrompter().MainWindow());
  } else {
    const std::u16string_view text = LoadString(text_id);
    CErrorObject report(module, location, static_cast<int>(code), text, LastError(),
                        CurrentPrompter().MainWindow());
  }
}

DriveSession::DriveSession(int module, int32_t drive_number)
    : module_(module),
      drive_number_(drive_number),
      engine_window_(CurrentControllerUi().EngineWindow()) {}

DriveSession::~DriveSession() {
  if (drive_ != nullptr) DRV_CloseDrive(drive_);
}

void DriveSession::Report(int location, int code, std::u16string_view text) const {
  CErrorObject report(module_, location, code, text, LastError(), CurrentPrompter().MainWindow());
}

uint32_t DriveSession::Open(int no_recorder_at, int invalid_at) {
  HANDLE drive = DRV_OpenDrive(static_cast<DWORD>(drive_number_));
  if (drive == nullptr) {
    Report(no_recorder_at, kErrorInternal, LoadString(ids::kNoRecorder));
    return kDriveNotOpened;
  }
  if (drive == INVALID_HANDLE_VALUE) {
    Report(invalid_at, kErrorInvalidHandle);
    return kDriveNotOpened;
  }
  drive_ = drive;
  return 0;
}

uint32_t DriveSession::LockMedia(bool locked, int location) {
  const uint32_t result =
      DRV_LockMedia(engine_window_, drive_, locked ? TRUE : FALSE, kEjectNoticeMessage);
  if (result != 0) Report(location, static_cast<int>(result));
  return result;
}

uint32_t DriveSession::Flush(int location) {
  const uint32_t result = DRV_FlushDrive(drive_);
  if (result != 0) Report(location, static_cast<int>(result));
  return result;
}

uint32_t DriveSession::Close(int location) {
  const uint32_t result = DRV_CloseDrive(drive_);
  drive_ = nullptr;
  if (result != 0) Report(location, static_cast<int>(result));
  return result;
}

CWrenCtrl::CWrenCtrl() = default;

CWrenCtrl::~CWrenCtrl() = default;

void CWrenCtrl::Report(int location, int code, std::u16string_view text) const {
  CErrorObject report(kModuleWrenCtrl, location, code, text, LastError(),
                      CurrentPrompter().MainWindow());
}

bool CWrenCtrl::EnumerateRecorders(DriveList* list) {
  if (list == nullptr) return false;
  list->Clear();
  const platform::DriveMap& map = platform::DriveMap::Current();
  for (char letter : map.Letters()) {
    const platform::DriveMapEntry* entry = map.Find(letter);
    if (entry == nullptr || entry->type() != platform::DriveType::kCdRom) continue;
    tagDRIVEPARAM record;
    if (!FillDriveParam(letter - 64, &record)) return false;
    if (record.deviceSpec.dwWritableMedia == 0) continue;  // a reader
    InsertDriveParam(list, record);
  }
  return true;
}

bool CWrenCtrl::FillDriveParam(int32_t drive_number, tagDRIVEPARAM* record) {
  if (record == nullptr) {
    Report(102, kErrorInternal);
    return false;
  }
  record->driveNumber = drive_number;
  record->rootItem = nullptr;  // no shell namespace here
  if (QueryDeviceInfo(drive_number, &record->deviceInfo) != 0) return false;
  if (QueryDeviceSpecifications(drive_number, &record->deviceSpec) != 0) return false;
  record->mediaInfoResult = QueryMediaInfo(drive_number, &record->mediaInfo);
  record->selected = 0;
  return true;
}

template <typename Query>
uint32_t CWrenCtrl::OpenQueryClose(int32_t drive_number, const int locations[4], Query query) {
  if (drive_number < 1 || drive_number > 25) return QD_E_INVALID_HANDLE;
  HANDLE drive = DRV_OpenDrive(static_cast<DWORD>(drive_number));
  if (drive == nullptr) {
    Report(locations[0], kErrorInternal, LoadString(ids::kNoRecorder));
    return QD_E_INVALID_HANDLE;
  }
  if (drive == INVALID_HANDLE_VALUE) {
    Report(locations[1], kErrorInvalidHandle);
    return QD_E_INVALID_HANDLE;
  }
  const uint32_t query_result = query(drive);
  const uint32_t close_result = DRV_CloseDrive(drive);
  if (close_result != 0) Report(locations[3], static_cast<int>(close_result));
  return locations[2] == 0 ? query_result : close_result;
}

uint32_t CWrenCtrl::QueryDeviceInfo(int32_t drive_number, _DEVICEINFO* info) {
  return OpenQueryClose(drive_number, kDeviceInfoLocations, [&](HANDLE drive) {
    const uint32_t result = DRV_GetDeviceInfo(drive, info);
    if (result != 0) Report(kDeviceInfoLocations[2], static_cast<int>(result));
    return result;
  });
}

uint32_t CWrenCtrl::QueryDeviceSpecifications(int32_t drive_number, _DEVICESPECIFICATIONS* spec) {
  return OpenQueryClose(drive_number, kDeviceSpecLocations, [&](HANDLE drive) {
    const uint32_t result = DRV_GetDeviceSpecifications(drive, spec);
    // A drive that refuses part of the configuration still describes its capabilities.
    if (result != 0 && result != QD_E_COMMAND_FAILED)
      Report(kDeviceSpecLocations[2], static_cast<int>(result));
    return result;
  });
}

uint32_t CWrenCtrl::QueryMediaInfo(int32_t drive_number, _MEDIAINFORMATION* info) {
  return OpenQueryClose(drive_number, kMediaInfoLocations,
                        [&](HANDLE drive) { return DRV_GetMediaInformation(drive, info); });
}

void CWrenCtrl::InsertDriveParam(DriveList* list, tagDRIVEPARAM record) {
  if (list == nullptr) return;
  if (list->SelectedDrive() == 0) record.selected = 1;
  auto& records = list->records();
  auto at = records.begin();
  while (at != records.end() && at->driveNumber <= record.driveNumber) ++at;
  // Without a shell namespace there is no root item to obtain again, so the record always goes in.
  records.insert(at, record);
}

uint32_t CWrenCtrl::CheckMedia(PromptWindow window, int32_t drive_number, HANDLE drive,
                               _MEDIAINFORMATION* info, std::u16string_view message) {
  if (window == nullptr || window == kInvalidWindow) {
    Report(1002, kErrorInternal);
    return QD_E_INVALID_ARGUMENT;
  }
  if (info == nullptr) {
    Report(1012, kErrorInternal);
    return QD_E_INVALID_ARGUMENT;
  }
  if (drive == nullptr || drive == INVALID_HANDLE_VALUE) return QD_E_INVALID_ARGUMENT;

  Prompter& prompter = CurrentPrompter();
  const std::u16string caption = FormatString(ids::kNowCreatingCaption, {discTitle_});
  const std::u16string media_list = MediaListText(allowedMedia_);
  auto ask = [&](std::u16string text) {
    MessageRequest request;
    request.owner = window;
    request.text = std::move(text);
    request.caption = caption;
    request.buttons = PromptButtons::kOkCancel;
    request.icon = PromptIcon::kInformation;
    return prompter.ShowMessage(request);
  };
  auto confirm_give_up = [&] {
    return ShowAppMessage(LoadString(ids::kAskCancelProcess), PromptButtons::kYesNo,
                          PromptIcon::kInformation, window) == kIdYes;
  };

  if (!eraseBlankMedia_) {
    if (ask(std::u16string(message) + media_list) == kIdCancel && confirm_give_up())
      return QD_E_CANCELLED;
  }

  uint32_t result = QD_E_NOT_READY;
  int silent_rereads = 0;
  while (result == QD_E_NOT_READY || result == QD_E_MEDIA_NOT_WRITABLE) {
    *info = _MEDIAINFORMATION{};
    const uint32_t media_result = DRV_GetMediaInformation(drive, info);
    const uint32_t command_error = DRV_GetLastCommandError(nullptr);
    if (media_result == 0 || media_result == QD_E_MEDIA_UNSUPPORTED) {
      result = JudgeMedia(window, drive_number, info);
      if (result == 0 || result == QD_E_INVALID_ARGUMENT) return result;
    } else if (media_result == QD_E_PASS_THROUGH) {
      return media_result;
    } else {
      result = media_result;
    }
    // A failure that no drive command explains is often a drive settling after a tray change: read
    // again a few times, paced, before bothering the user.
    if (result != QD_E_MEDIA_NOT_WRITABLE && command_error <= 0xFF) {
      if (result != QD_E_NOT_READY) continue;  // ends the check with that failure
      if (silent_rereads < kSilentRereadLimit) {
        ++silent_rereads;
        CurrentControllerUi().ProcessPendingMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(kSilentRereadPauseMs));
        continue;
      }
    }
    silent_rereads = 0;
    std::u16string text = result == QD_E_MEDIA_NOT_WRITABLE
                              ? std::u16string(LoadString(ids::kCannotRecordMedia))
                              : FormatString(ids::kWillBeCreatedNow, {discTitle_});
    text += media_list;
    if (ask(std::move(text)) == kIdCancel && confirm_give_up()) return QD_E_CANCELLED;
  }
  return result;
}

uint32_t CWrenCtrl::JudgeMedia(PromptWindow window, int32_t drive_number,
                               const _MEDIAINFORMATION* info) {
  if (window == nullptr || window == kInvalidWindow) {
    Report(1211, kErrorInternal);
    return QD_E_INVALID_ARGUMENT;
  }
  if (info == nullptr) {
    Report(1216, kErrorInternal);
    return QD_E_INVALID_ARGUMENT;
  }
  if (info->dwMedia == 0) return QD_E_NOT_READY;
  if ((info->dwMedia & allowedMedia_) == 0) {
    ReleaseAndEject(drive_number);
    return QD_E_MEDIA_NOT_WRITABLE;
  }
  if (info->dwStatus == MEDIA_STATUS_BLANK) {
    if (fullEraseRequired_ && eraseBlankMedia_) {
      const uint32_t erased = ConfirmErase(window, drive_number, 0);
      if (erased == QD_E_INVALID_ARGUMENT) return erased;
      eraseBlankMedia_ = 0;
      return erased;
    }
    return 0;
  }
  if (info->dwErasable) {
    const bool dvd_rw = info->dwMedia == MEDIA_DVDRW_RO || info->dwMedia == MEDIA_DVDRW_SEQ;
    return ConfirmErase(window, drive_number, fullEraseRequired_ && dvd_rw ? 0 : 1);
  }
  ReleaseAndEject(drive_number);
  return QD_E_MEDIA_NOT_WRITABLE;
}

void CWrenCtrl::BeginBusy() {
  CurrentControllerUi().SetExecutionState(kEsKeepAwake);
  busy_ = 1;
}

void CWrenCtrl::EndBusy() {
  busy_ = 0;
  CurrentControllerUi().SetExecutionState(kEsContinuous);
}

uint32_t CWrenCtrl::PollJob(uint32_t interval_ms) {
  ControllerUi& ui = CurrentControllerUi();
  for (;;) {
    DWORD phase = 0, done = 0, total = 0;
    status_ = PRG_GetProgressStatus(progress_, &phase, &done, &total);
    phase_ = phase;
    done_ = done;
    total_ = total;
    if (status_ != PRG_STATUS_NOT_STARTED && status_ != PRG_STATUS_RUNNING) break;
    ui.ProcessPendingMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
  }
  return SettledErrorCode(progress_);
}

void CWrenCtrl::DestroyProgress() {
  if (progress_ != nullptr) PRG_DestroyProgress(progress_);
  progress_ = nullptr;
}

int CWrenCtrl::ReleaseAndEject(int32_t drive_number) {
  HWND window = CurrentControllerUi().EngineWindow();
  if (drive_number < 1 || drive_number > 25) return 0;
  HANDLE drive = DRV_OpenDrive(static_cast<DWORD>(drive_number));
  if (drive == nullptr) {
    Report(609, kErrorInternal, LoadString(ids::kNoRecorder));
    return 0;
  }
  if (drive == INVALID_HANDLE_VALUE) {
    Report(615, kErrorInvalidHandle);
    return 0;
  }
  DRV_LockMedia(window, drive, FALSE, kEjectNoticeMessage);
  if (DRV_EjectMedia(drive, TRUE) == QD_E_COMMAND_FAILED) DRV_GetLastCommandError(nullptr);
  DRV_FlushDrive(drive);
  DRV_CloseDrive(drive);
  return 1;
}

uint32_t CWrenCtrl::CancelJob() {
  if (progress_ == nullptr) return 0;
  const uint32_t result = PRG_CancelProgress(progress_);
  if (result != 0 && result != QD_E_TIMEOUT) Report(1304, static_cast<int>(result));
  return result;
}

int CSelectDriveDlg::Run(PromptWindow owner, DriveList* list) {
  if (list == nullptr) {
    CErrorObject report(kModuleSelectDriveDlg, 46, kErrorInternal, {}, 0, owner);
    return -1;
  }
  ChoiceRequest request;
  request.dialog = ids::kDlgSelectDrive;
  request.owner = owner;
  std::vector<int32_t> drive_of_line;
  for (const tagDRIVEPARAM& record : list->records()) {
    if (record.deviceSpec.dwWritableMedia == 0) continue;
    request.lines.push_back(DriveLine(record));
    drive_of_line.push_back(record.driveNumber);
  }
  int line = CurrentPrompter().Choose(request);
  if (drive_of_line.empty()) return line;
  if (line < 0 || static_cast<size_t>(line) >= drive_of_line.size())
    line = 0;  // closing keeps line 0
  list->SetSelection(drive_of_line[static_cast<size_t>(line)]);
  return line;
}

}  // namespace quenvar::app
