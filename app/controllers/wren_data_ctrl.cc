#include "app/controllers/wren_data_ctrl.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cwctype>
#include <thread>

#include "app/controllers/disc_volume.h"
#include "app/controllers/file_progress_dlg.h"
#include "app/prompting/controller_ui.h"
#include "app/prompting/error_object.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/drive.h"
#include "quillden/mastering.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quenvar::app {
namespace {

constexpr uint32_t kPollMs = 100;
constexpr uint32_t kSettleBeforeVolumeMs = 2000;
constexpr int kVolumeAttempts = 41;
constexpr uint32_t kVolumeRetryMs = 500;

std::u16string JoinTarget(const std::u16string& target, std::u16string_view name) {
  return target.empty() ? std::u16string(name) : target + u"\\" + std::u16string(name);
}

// Disc names compare without regard to case.
std::u16string FoldedDiscPath(std::u16string path) {
  for (char16_t& c : path) c = static_cast<char16_t>(std::towupper(static_cast<wint_t>(c)));
  return path;
}

// Sleeps for ms while the user interface stays responsive.
void PumpingSleep(uint32_t ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    CurrentControllerUi().ProcessPendingMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint32_t>(ms, kPollMs)));
  }
}

}  // namespace

bool ClimbsOut(std::u16string_view path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of(u"/\\", start);
    if (end == std::u16string_view::npos) end = path.size();
    if (path.substr(start, end - start) == u"..") return true;
    start = end + 1;
  }
  return false;
}

CWrenDataCtrl::CWrenDataCtrl() = default;

CWrenDataCtrl::~CWrenDataCtrl() {
  if (datadisk_ != nullptr && datadisk_ != INVALID_HANDLE_VALUE) MST_DestroyDatadisk(datadisk_);
}

void CWrenDataCtrl::Report(int location, int code, std::u16string_view text) const {
  CErrorObject report(kModuleWrenDataCtrl, location, code, text, LastError(),
                      CurrentPrompter().MainWindow());
}

uint32_t CWrenDataCtrl::CreateDatadisk() {
  if (datadisk_ != nullptr && datadisk_ != INVALID_HANDLE_VALUE) MST_DestroyDatadisk(datadisk_);
  datadisk_ = nullptr;
  DRV_Initialize();
  HANDLE disc = MST_CreateDatadisk();
  if (disc == INVALID_HANDLE_VALUE) {
    Report(55, kErrorInvalidHandle);
    return QD_E_INVALID_HANDLE;
  }
  if (disc == nullptr) return QD_E_INVALID_HANDLE;
  datadisk_ = disc;
  return 0;
}

uint32_t CWrenDataCtrl::ApplySettings(const DiscJobSettings& settings) {
  std::u16string label = settings.volume_label;
  for (char16_t& c : label) c = static_cast<char16_t>(std::towupper(static_cast<wint_t>(c)));
  uint32_t result = MST_SetVolumeLabel(datadisk_, label.c_str());
  if (result != 0) return result;
  if ((result = MST_SetFileSystem(datadisk_, settings.file_system)) != 0) return result;
  if ((result = MST_SetDataMode(datadisk_, 1)) != 0) return result;
  if ((result = MST_SetFileVersionNumber(datadisk_,
                                         static_cast<DWORD>(settings.file_version_number))) != 0) {
    return result;
  }
  verifyMode_ = settings.verify_mode;
  mediaKind_ = settings.media_kind;
  discTitle_ = settings.disc_title;
  nextTitle_ = settings.next_title;
  return 0;
}

uint32_t CWrenDataCtrl::CheckBootImageSource(const std::u16string& path) {
  if (datadisk_ == nullptr) {
    Report(749, kErrorInternal);
    return QD_E_INVALID_HANDLE;
  }
  if (datadisk_ == INVALID_HANDLE_VALUE) return QD_E_INVALID_HANDLE;
  if (path.empty()) {
    Report(755, kErrorInternal);
    return QD_E_INVALID_ARGUMENT;
  }
  std::unique_ptr<platform::ReadableFile> file;
  if (!env_->OpenReadable(platform::Utf16ToUtf8(path), &file).ok()) {
    MessageRequest request;
    request.owner = CurrentPrompter().MainWindow();
    request.text = FormatString(ids::kOpenFileFailed, {path});
    request.caption = FormatString(ids::kNowCreatingCaption, {discTitle_});
    request.icon = PromptIcon::kWarning;
    CurrentPrompter().ShowMessage(request);
    return QD_E_SOURCE_MISSING;
  }
  return 0;
}

uint32_t CWrenDataCtrl::ReadBootImage(const std::u16string& path, uint8_t emulation,
                                      uint16_t load_segment, uint16_t sector_count) {
  if (const uint32_t checked = CheckBootImageSource(path); checked != 0) return checked;
  return MST_ReadBootImageFile(datadisk_, path.c_str(), emulation, load_segment, sector_count);
}

uint32_t CWrenDataCtrl::ReadEfiBootImage(const std::u16string& path) {
  if (const uint32_t checked = CheckBootImageSource(path); checked != 0) return checked;
  return MST_ReadEfiBootImageFile(datadisk_, path.c_str());
}

int CWrenDataCtrl::RefuseEntry(int location, uint32_t code, uint32_t text_id,
                               const std::u16string& entry) {
  collectError_ = code;
  CErrorObject report(kModuleFileSet, location, static_cast<int>(code),
                      FormatString(text_id, {entry}), 0, CurrentPrompter().MainWindow());
  return 0;
}

int CWrenDataCtrl::CollectFileSet(const CFileSet* file_set, FileMap* map) {
  collectError_ = 0;
  if (map == nullptr) {
    CErrorObject report(kModuleFileSet, 168, kErrorInternal, {}, 0, CurrentPrompter().MainWindow());
    collectError_ = QD_E_INVALID_ARGUMENT;
    return 0;
  }
  if (file_set == nullptr) {
    collectError_ = QD_E_INVALID_ARGUMENT;
    return 0;
  }
  const std::u16string& source = file_set->source_path();
  const std::u16string& target = file_set->target_path();
  const bool subfolders = file_set->include_subfolders() != 0;
  if (ClimbsOut(target))
    return RefuseEntry(172, QD_E_INVALID_ARGUMENT, ids::kEntryLeavesFolder, target);
  for (const std::u16string& name : file_set->files()) {
    if (name.find(u'*') != std::u16string::npos) {
      if (!CollectFolder(source, target, map, subfolders))
        return RefuseEntry(171, QD_E_SOURCE_MISSING, ids::kOpenFileFailed, unreadable_);
      continue;
    }
    if (name.empty() || ClimbsOut(name))
      return RefuseEntry(172, QD_E_INVALID_ARGUMENT, ids::kEntryLeavesFolder, name);
    // Listed names may use either separator; local paths use "/", disc paths "\".
    std::u16string local_name = name, disc_name = name;
    for (char16_t& c : local_name) c = c == u'\\' ? u'/' : c;
    for (char16_t& c : disc_name) c = c == u'/' ? u'\\' : c;
    const std::u16string path = source + u"/" + local_name;
    platform::FileInfo info;
    if (!env_->Stat(platform::Utf16ToUtf8(path), true, &info).ok())
      return RefuseEntry(171, QD_E_SOURCE_MISSING, ids::kOpenFileFailed, path);
    if (info.is_directory) {
      if (!CollectFolder(path, JoinTarget(target, disc_name), map, subfolders))
        return RefuseEntry(171, QD_E_SOURCE_MISSING, ids::kOpenFileFailed, unreadable_);
    } else if (info.is_regular) {
      (*map)[path] = target;
    } else {
      // A device or a pipe is no file to record.
      return RefuseEntry(171, QD_E_SOURCE_MISSING, ids::kOpenFileFailed, path);
    }
  }
  return 1;
}

uint32_t CWrenDataCtrl::CollectDiscFiles(const CDiscItem* disc, FileMap* map) {
  if (disc == nullptr) return QD_E_INVALID_ARGUMENT;
  for (int f = 0; f < disc->file_set_count(); ++f) {
    if (!CollectFileSet(disc->file_set(f), map)) return collectError_;
  }
  return 0;
}

int CWrenDataCtrl::CollectFolder(const std::u16string& path, const std::u16string& target,
                                 FileMap* map, bool include_subfolders) {
  if (map == nullptr) return 0;
  std::set<std::pair<uint64_t, uint64_t>> visited;
  unreadable_.clear();
  return CollectFolderInner(platform::Utf16ToUtf8(path), target, map, include_subfolders, &visited);
}

int CWrenDataCtrl::CollectFolderInner(const std::string& path, const std::u16string& target,
                                      FileMap* map, bool include_subfolders,
                                      std::set<std::pair<uint64_t, uint64_t>>* visited) {
  platform::FileInfo info;
  std::vector<platform::DirectoryEntry> entries;
  if (!env_->Stat(path, true, &info).ok()) {
    unreadable_ = platform::Utf8ToUtf16(path);
    return 0;
  }
  if (!info.is_directory) {
    if (!info.is_regular) {  // devices and pipes are no files to record
      unreadable_ = platform::Utf8ToUtf16(path);
      return 0;
    }
    (*map)[platform::Utf8ToUtf16(path)] = target;
    return 1;
  }
  // A folder reached twice (a bind mount of itself) is not entered again.
  if (!visited->insert({info.device, info.inode}).second) return 1;
  // A folder that cannot be listed would leave its files off the disc unnoticed: it fails the
  // file set, however deep it lies.
  if (!env_->ListDirectory(path, &entries).ok()) {
    unreadable_ = platform::Utf8ToUtf16(path);
    return 0;
  }
  for (const platform::DirectoryEntry& entry : entries) {
    const std::string child = path + "/" + entry.name;
    // Links are listed as links unless they lead to a file: a link to a folder is not entered, so
    // a link to an outer folder cannot loop.
    if (entry.info.is_directory && !entry.info.is_symlink) {
      if (entry.name[0] != '.' && include_subfolders &&
          !CollectFolderInner(child, JoinTarget(target, platform::Utf8ToUtf16(entry.name)), map,
                              include_subfolders, visited)) {
        return 0;
      }
    } else if (entry.info.is_regular) {
      (*map)[platform::Utf8ToUtf16(child)] = target;
    }
  }
  return 1;
}

uint32_t CWrenDataCtrl::AddFiles(PromptWindow window, const FileMap* map) {
  if (window == nullptr) return QD_E_INVALID_HANDLE;
  if (window == kInvalidWindow) {
    Report(109, kErrorInvalidHandle);
    return QD_E_INVALID_HANDLE;
  }
  MST_SetLastError(datadisk_, 0);
  CFileProgressDlg dialog(datadisk_, map);
  filesAdded_ = dialog.Run(window);
  const uint32_t result = MST_GetLastError(datadisk_);
  // A cancel the engine never heard of (no question came after it) still ends the disc.
  if (filesAdded_ < 0 && result == 0) return QD_E_CANCELLED;
  if (result != 0 || map == nullptr) return result;
  return CheckAdded(*map);
}

uint32_t CWrenDataCtrl::CheckAdded(const FileMap& map) {
  std::vector<DiscTreeFile> tree;
  if (const uint32_t listed = ListDiscTreeFiles(datadisk_, &tree); listed != 0) {
    Report(111, static_cast<int>(listed));
    return listed;
  }
  std::set<std::u16string> sources, disc_paths;
  for (const DiscTreeFile& file : tree) {
    if (!file.source.empty()) sources.insert(file.source);
    disc_paths.insert(FoldedDiscPath(file.disc_path));
  }
  for (const auto& [source, target] : map) {
    if (sources.count(source) != 0) continue;
    // Replaced by a later file of the same disc path, or kept out by the boot image of that name
    // (the user was told): the disc path is taken all the same.
    const size_t slash = source.rfind(u'/');
    const std::u16string name = slash == std::u16string::npos ? source : source.substr(slash + 1);
    if (disc_paths.count(FoldedDiscPath(JoinTarget(target, name))) != 0) continue;
    CErrorObject report(kModuleFileProgressDlg, 139, static_cast<int>(QD_E_SOURCE_MISSING),
                        FormatString(ids::kOpenFileFailed, {source}), 0,
                        CurrentPrompter().MainWindow());
    return QD_E_SOURCE_MISSING;
  }
  return 0;
}

uint32_t CWrenDataCtrl::CreateDataDisc(std::u16string* message) {
  PromptWindow main_window = CurrentPrompter().MainWindow();
  if (main_window == nullptr) return QD_E_INVALID_ARGUMENT;  // nothing written is no success
  const int32_t drive_number = drive_list_ ? drive_list_->SelectedDrive() : 0;
  HANDLE drive = DRV_OpenDrive(static_cast<DWORD>(drive_number));
  if (drive == nullptr) {
    Report(200, kErrorInternal, LoadString(ids::kNoRecorder));
    return kDriveNotOpened;
  }
  if (drive == INVALID_HANDLE_VALUE) {
    Report(207, kErrorInvalidHandle);
    return QD_E_INVALID_HANDLE;
  }
  const tagDRIVEPARAM* record = drive_list_ ? drive_list_->Find(drive_number) : nullptr;
  allowedMedia_ = MediaKindToFlags(mediaKind_) & (record ? record->deviceSpec.dwWritableMedia : 0);
  _MEDIAINFORMATION info{};
  const uint32_t checked =
      CheckMedia(main_window, drive_number, drive, &info, message ? *message : u"");
  const uint32_t closed = DRV_CloseDrive(drive);
  if (closed != 0) {
    Report(233, static_cast<int>(closed), LoadString(ids::kCannotCloseDrive));
    return closed;
  }
  if (checked != 0) return checked;
  closeMode_ = info.dwMedia == MEDIA_DVDPR_DL && info.dwStatus == MEDIA_STATUS_BLANK ? 4 : 0;
  const uint32_t written = WriteDataDisc(main_window, drive_number);
  if (written == 0 && message != nullptr) {
    *message = FormatString(ids::kCreatedSuccessfully, {discTitle_});
    *message += FormatString(ids::kWriteDownTitle, {discTitle_});
    if (!nextTitle_.empty()) *message += FormatString(ids::kWillNowBeCreated, {nextTitle_});
  }
  return written;
}

bool CWrenDataCtrl::WaitForVolume(int32_t drive_number) {
  for (int attempt = 0; attempt < kVolumeAttempts && !verifyCancelled_; ++attempt) {
    if (attempt > 0) PumpingSleep(kVolumeRetryMs);
    if (ProbeDiscVolume(drive_number)) return true;
  }
  return false;
}

uint32_t CWrenDataCtrl::WriteDataDisc(PromptWindow window, int32_t drive_number) {
  if (window == nullptr || window == kInvalidWindow) {
    Report(279, kErrorInternal);
    return QD_E_INVALID_ARGUMENT;
  }
  if (CurrentPrompter().MainWindow() == nullptr) {
    Report(286, kErrorInternal);
    return QD_E_INVALID_ARGUMENT;
  }
  BeginBusy();
  verifyCancelled_ = false;
  DriveSession session(kModuleWrenDataCtrl, drive_number);
  if (session.Open(314, 320) != 0) return EndUnopenedJob(kDriveNotOpened);
  if (const uint32_t locked = session.LockMedia(true, 330); locked != 0) {
    EndBusy();
    return locked;  // the session closes the drive; nothing was written, nothing to eject
  }
  if (const uint32_t recorded = RecordDatadisk(session.drive()); recorded != 0) {
    return EndJob(&session, recorded);
  }

  // The disc is read back through its file system, also when it is not verified: the presence
  // check makes sure that every file of the tree is on it. Let the drive forget what it cached,
  // close it and wait for the volume to appear.
  session.Flush(479);
  session.Close(487);
  PumpingSleep(kSettleBeforeVolumeMs);
  const bool appeared = WaitForVolume(drive_number);
  if (verifyCancelled_) return EndJob(&session, QD_E_CANCELLED);  // the cancel came after the write
  if (!appeared) {
    Report(612, kErrorInternal, LoadString(ids::kCompareFailed));
    return EndJob(&session, QD_E_NOT_READY);
  }

  phase_ = kPhaseVerifying;
  status_ = PRG_STATUS_RUNNING;
  verifier_.Prepare(datadisk_, drive_number, verifyMode_);
  if (session.Open(558, 564) != 0) return EndUnopenedJob(kDriveNotOpened);
  session.LockMedia(true, 574);
  return EndJob(&session, VerifyWrittenDisc(session.drive(), drive_number));
}

uint32_t CWrenDataCtrl::RecordDatadisk(HANDLE drive) {
  progress_ = PRG_CreateProgress();
  if (progress_ == nullptr) return QD_E_OUT_OF_MEMORY;
  status_ = done_ = total_ = phase_ = 0;
  const uint32_t started =
      MST_WriteDatadisk(drive, datadisk_, writeType_, progress_, TRUE, closeMode_);
  if (started != 0) {
    ReportJobFailure(kModuleWrenDataCtrl, started == QD_E_COMMAND_FAILED ? 459 : 464, started,
                     ids::kRecordIssue);
    return started;
  }

  ControllerUi& ui = CurrentControllerUi();
  ui.StartProgressDisplay(0);
  uint32_t code = PollJob(kPollMs);
  ui.StopProgressDisplay();
  if (status_ == PRG_STATUS_FAILED) {
    // A failed job without a code goes on to the read back, which finds what is missing.
    code = PRG_GetProgressErrorCode(progress_);
    if (code != 0) {
      ReportJobFailure(kModuleWrenDataCtrl, code == QD_E_COMMAND_FAILED ? 437 : 442, code,
                       ids::kRecordIssue);
      return code;
    }
  } else if (status_ == PRG_STATUS_CANCELLED || status_ == PRG_STATUS_CANCEL_REQUESTED) {
    return QD_E_CANCELLED;
  } else if (status_ != PRG_STATUS_SUCCEEDED && code != 0) {
    return code;
  }
  return 0;
}

uint32_t CWrenDataCtrl::VerifyWrittenDisc(HANDLE drive, int32_t drive_number) {
  ControllerUi& ui = CurrentControllerUi();
  discSize_ = MST_GetDatadiskSize(datadisk_, drive);
  const bool shown = verifyMode_ != kVerifyPresence;
  if (shown) ui.StartProgressDisplay(1);
  const uint32_t verified = verifier_.Run(drive_number, datadisk_);
  status_ = verified == 0                ? PRG_STATUS_SUCCEEDED
            : verified == QD_E_CANCELLED ? PRG_STATUS_CANCELLED
                                         : PRG_STATUS_FAILED;
  if (shown) ui.StopProgressDisplay();
  return verified;
}

uint32_t CWrenDataCtrl::EndUnopenedJob(uint32_t result) {
  DestroyProgress();
  EndBusy();
  return result;
}

uint32_t CWrenDataCtrl::EndJob(DriveSession* session, uint32_t result) {
  DestroyProgress();
  if (session->is_open()) session->LockMedia(false, 647);
  ReleaseAndEject(session->drive_number());
  EndBusy();
  if (session->is_open()) {
    if (const uint32_t closed = session->Close(669); closed != 0) result = closed;
  }
  return result;
}

int CWrenDataCtrl::GetProgress(uint32_t* status, uint32_t* done, uint32_t* total, uint32_t* phase) {
  if (progress_ == nullptr) return 0;
  uint64_t shown_done = done_, shown_total = total_;
  if (phase_ == kPhaseVerifying) {
    if (verifier_.mode() == 1) {
      shown_done = static_cast<uint64_t>(verifier_.files_verified());
      shown_total = filesAdded_ > 0 ? static_cast<uint64_t>(filesAdded_) : 0;
    } else {
      shown_done = verifier_.bytes_verified();
      shown_total = discSize_;
      if (discSize_ > 4294967u) {
        shown_done /= 10000;
        shown_total /= 10000;
      }
    }
  }
  if (status) *status = status_;
  if (done) *done = static_cast<uint32_t>(shown_done);
  if (total) *total = static_cast<uint32_t>(shown_total);
  if (phase) *phase = phase_;
  return 1;
}

}  // namespace quenvar::app
