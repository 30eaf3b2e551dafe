#include "app/controllers/wren_img_ctrl.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include "app/prompting/controller_ui.h"
#include "app/prompting/error_object.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "platform/unicode.h"
#include "quillden/drive.h"
#include "quillden/image.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quenvar::app {
namespace {

constexpr uint32_t kWritePollMs = 100;
// The compare is polled without the writing pause, but never in a busy loop: the engine's worker
// needs the processor more than the display does.
constexpr uint32_t kComparePollMs = 10;
constexpr uint32_t kFinalizeKind = 4;
// The only ISO sizes that cannot be described in 32-bit block numbers.
constexpr uint64_t kIsoSizeLimit = uint64_t{1} << 43;

bool EndsWith(const std::u16string& text, std::u16string_view end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

uint32_t ImageMediaToFlags(uint32_t image_media, uint32_t track_count) {
  switch (image_media) {
    case MEDIA_CDROM:
    case MEDIA_CDR:
    case MEDIA_CDRW:
      return 0x6;
    case MEDIA_DVDROM:
      return track_count == 1 ? 0x63D0 : 0xD0;
    case MEDIA_DVDR:
    case MEDIA_DVDRW_RO:
    case MEDIA_DVDRW_SEQ:
      return 0x40D0;
    case MEDIA_DVDPRW:
      return 0x2300;
    case MEDIA_DVDPR:
      return 0x2200;
    case MEDIA_DVDPR_DL:
      return 0x2000;
    case MEDIA_DVDR_DL:
      return 0x4000;
    default:
      return 0;
  }
}

uint32_t IsoSizeToImageMedia(uint64_t size) {
  if (size >= kIsoSizeLimit) return 0;
  const uint64_t blocks = size / 2048;
  if (blocks <= kIsoCdBlocks) return MEDIA_CDROM;
  if (blocks <= kIsoDvdBlocks) return MEDIA_DVDROM;
  if (blocks <= kIsoDvdDlBlocks) return MEDIA_DVDPR_DL;
  return 0;
}

uint32_t IsoMediaToFlags(uint32_t image_media) {
  switch (image_media) {
    case MEDIA_CDROM:
      return 0x63D6;
    case MEDIA_DVDROM:
      return 0x63D0;
    case MEDIA_DVDPR_DL:
      return 0x6000;
    default:
      return 0;
  }
}

CWrenImgCtrl::CWrenImgCtrl() = default;

CWrenImgCtrl::~CWrenImgCtrl() {
  if (progress_ != nullptr) PRG_DestroyProgress(progress_);
}

void CWrenImgCtrl::Report(int location, int code, std::u16string_view text) const {
  CErrorObject report(kModuleWrenImgCtrl, location, code, text, LastError(),
                      CurrentPrompter().MainWindow());
}

void CWrenImgCtrl::ApplySettings(const DiscJobSettings& settings) {
  verifyMode_ = settings.verify_mode;
  mediaKind_ = settings.media_kind;
  discTitle_ = settings.disc_title;
  nextTitle_ = settings.next_title;
  imagePath_ = settings.image_path;
}

bool CWrenImgCtrl::Exists(const std::u16string& path) const {
  platform::FileInfo info;
  return env_->Stat(platform::Utf16ToUtf8(path), true, &info).ok();
}

uint32_t CWrenImgCtrl::InspectImage() {
  if (imagePath_.empty()) return QD_E_INVALID_ARGUMENT;
  // Nothing of the previous disc's image may survive into this one's media choice.
  trackCount_ = 0;
  imageMedia_ = 0;
  fullEraseRequired_ = 0;
  HANDLE image = CPY_OpenDiskImage(imagePath_.c_str());
  if (image != nullptr && image != INVALID_HANDLE_VALUE) {
    const WORD tracks = CPY_GetTrackInformation(image, 0, nullptr);
    uint32_t session = 0;
    if (tracks > 0) {
      _TRACKINFORMATION last{};
      CPY_GetTrackInformation(image, tracks, &last);
      session = last.wSession;
      trackCount_ = tracks;
      imageMedia_ = CPY_GetMediaDiskImage(image);
    }
    fullEraseRequired_ = imageMedia_ == MEDIA_DVDR || imageMedia_ == MEDIA_DVDRW_SEQ ||
                                 (imageMedia_ == MEDIA_DVDROM && session > 1)
                             ? 1
                             : 0;
    writeMode_ = CPY_IsAppendDiskImage(image) ? 1 : session == 1 ? 3 : 2;
    isoFile_ = 0;
    return CPY_CloseDiskImage(image);
  }

  // The failure names the file and what is wrong with it: "Failed to create" alone leaves the
  // user guessing.
  if (!EndsWith(imagePath_, u".iso") && !EndsWith(imagePath_, u".wvm")) {
    Report(256, static_cast<int>(QD_E_WRONG_FORM),
           Exists(imagePath_) ? FormatString(ids::kNotDiscImage, {imagePath_})
                              : FormatString(ids::kOpenFileFailed, {imagePath_}));
    return QD_E_WRONG_FORM;
  }
  isoFile_ = 1;
  trackCount_ = 1;
  writeMode_ = 3;
  std::unique_ptr<platform::ReadableFile> iso;
  if (!env_->OpenReadable(platform::Utf16ToUtf8(imagePath_), &iso).ok()) {
    Report(254, kErrorInvalidHandle, FormatString(ids::kOpenFileFailed, {imagePath_}));
    return QD_E_INVALID_HANDLE;
  }
  imageMedia_ = IsoSizeToImageMedia(iso->Size());
  return 0;
}

uint32_t CWrenImgCtrl::AllowedImageMedia() const {
  if (isoFile_) return IsoMediaToFlags(imageMedia_) & MediaKindToFlags(mediaKind_);
  return ImageMediaToFlags(imageMedia_, trackCount_);
}

uint32_t CWrenImgCtrl::CreateImageDisc(std::u16string* message) {
  PromptWindow main_window = CurrentPrompter().MainWindow();
  if (main_window == nullptr) return QD_E_INVALID_ARGUMENT;  // nothing written is no success
  const int32_t drive_number = drive_list_ ? drive_list_->SelectedDrive() : 0;
  const tagDRIVEPARAM* record = drive_list_ ? drive_list_->Find(drive_number) : nullptr;
  eraseBlankMedia_ = 0;
  bool refused_before = false;
  for (;;) {
    if (const uint32_t inspected = InspectImage(); inspected != 0) return inspected;
    allowedMedia_ = AllowedImageMedia() & (record ? record->deviceSpec.dwWritableMedia : 0);
    // A refused combination is offered a full erase on the next attempt; where no full erase is
    // due, the user is asked for a disc again instead of the same refusal repeating unasked.
    if (refused_before && !fullEraseRequired_) eraseBlankMedia_ = 0;

    HANDLE drive = DRV_OpenDrive(static_cast<DWORD>(drive_number));
    if (drive == nullptr) {
      Report(94, kErrorInternal, LoadString(ids::kNoRecorder));
      return kDriveNotOpened;
    }
    if (drive == INVALID_HANDLE_VALUE) {
      Report(100, kErrorInvalidHandle);
      return kDriveNotOpened;
    }
    _MEDIAINFORMATION info{};
    const uint32_t checked =
        CheckMedia(main_window, drive_number, drive, &info, message ? *message : u"");
    const uint32_t closed = DRV_CloseDrive(drive);
    if (closed != 0) {
      MessageRequest request;
      request.owner = main_window;
      request.text = std::u16string(LoadString(ids::kCannotCloseDrive));
      request.caption = std::u16string(LoadString(ids::kErrorCaption));
      request.icon = PromptIcon::kWarning;
      CurrentPrompter().ShowMessage(request);
      return closed;
    }
    uint32_t result = checked;
    if (checked == 0) {
      result = WriteImageDisc(main_window, drive_number);
      if (result == 0 && message != nullptr) {
        *message = FormatString(ids::kCreatedSuccessfully, {discTitle_});
        *message += FormatString(ids::kWriteDownTitle, {discTitle_});
        if (!nextTitle_.empty()) *message += FormatString(ids::kWillNowBeCreated, {nextTitle_});
      }
    }
    if (result != QD_E_CANNOT_COPY_HERE) return result;
    eraseBlankMedia_ = 1;
    refused_before = true;
  }
}

uint32_t CWrenImgCtrl::WriteImageDisc(PromptWindow window, int32_t drive_number) {
  if (window == nullptr || window == kInvalidWindow) {
    Report(419, kErrorInternal);
    return QD_E_INVALID_ARGUMENT;
  }
  DriveSession session(kModuleWrenImgCtrl, drive_number);
  if (session.Open(440, 446) != 0) return kDriveNotOpened;

  HANDLE image = nullptr;
  uint32_t result = isoFile_ ? 0 : OpenSourceImage(&image);
  if (result == 0 && CurrentPrompter().MainWindow() == nullptr) {
    Report(474, kErrorInternal);
    result = QD_E_INVALID_ARGUMENT;
  }
  if (result == 0) {
    BeginBusy();
    result = session.LockMedia(true, 498);
    if (result == 0) {
      result = RecordImage(session.drive(), image);
      if (result == 0 && verifyMode_ != 0) result = CompareWithSource(session.drive(), image);
      DestroyProgress();
      if (const uint32_t unlocked = session.LockMedia(false, 802); unlocked != 0) {
        result = unlocked;
      }
    }
    EndBusy();
  }

  // An image that was opened is closed whatever the job's result, so no handle is left behind.
  if (image != nullptr) {
    const uint32_t closed = CPY_CloseDiskImage(image);
    if (closed != 0) {
      Report(821, static_cast<int>(closed));
      result = closed;
    }
  }
  // A disc refused for this image stays in: the next attempt offers to erase it fully.
  if (result != QD_E_CANNOT_COPY_HERE) ReleaseAndEject(drive_number);
  if (const uint32_t closed = session.Close(847); closed != 0) result = closed;
  return result;
}

uint32_t CWrenImgCtrl::OpenSourceImage(HANDLE* image) {
  *image = CPY_OpenDiskImage(imagePath_.c_str());
  if (*image == nullptr) {
    MessageRequest request;
    request.owner = CurrentPrompter().MainWindow();
    request.text = FormatString(ids::kOpenFileFailed, {imagePath_});
    request.caption = std::u16string(LoadString(ids::kErrorCaption));
    request.icon = PromptIcon::kWarning;
    CurrentPrompter().ShowMessage(request);
    return QD_E_FILE_OPEN;
  }
  if (*image == INVALID_HANDLE_VALUE) {
    *image = nullptr;
    return QD_E_FILE_OPEN;
  }
  return 0;
}

uint32_t CWrenImgCtrl::RecordImage(HANDLE drive, HANDLE image) {
  progress_ = PRG_CreateProgress();
  if (progress_ == nullptr) return QD_E_OUT_OF_MEMORY;
  status_ = done_ = total_ = phase_ = 0;
  uint32_t started;
  if (isoFile_) {
    dataMode_ = 1;
    started = CPY_WriteISOImage(drive, writeMode_, 1, imagePath_.c_str(), progress_);
  } else {
    // CD-Text is written with the lead-in of a disc recorded at once.
    if (CPY_IsCdTextDiskImage(image)) writeMode_ = 3;
    started = CPY_WriteDiskImage(drive, image, writeMode_, progress_, kFinalizeKind);
  }
  if (started != 0) {
    ReportJobFailure(kModuleWrenImgCtrl, started == QD_E_COMMAND_FAILED ? 645 : 650, started,
                     ids::kRecordIssue);
    return started;
  }

  ControllerUi& ui = CurrentControllerUi();
  ui.StartProgressDisplay(0);
  if (iso_sink_) iso_sink_(isoFile_);
  uint32_t code = PollJob(kWritePollMs);
  ui.StopProgressDisplay();
  if (status_ == PRG_STATUS_FAILED) {
    if (code == QD_E_CANNOT_COPY_HERE) {
      // The disc stays in: the next attempt offers to erase it fully.
      eraseBlankMedia_ = 1;
      return code;
    }
    // A failed job always fails the disc, even when it left no code behind.
    if (code == 0) code = QD_E_DRIVER_REQUEST;
    ReportJobFailure(kModuleWrenImgCtrl, code == QD_E_COMMAND_FAILED ? 618 : 628, code,
                     ids::kRecordIssue);
    return code;
  }
  if (status_ == PRG_STATUS_CANCELLED || status_ == PRG_STATUS_CANCEL_REQUESTED)
    return QD_E_CANCELLED;
  if (status_ != PRG_STATUS_SUCCEEDED && code != 0) return code;
  return 0;
}

uint32_t CWrenImgCtrl::CompareWithSource(HANDLE drive, HANDLE image) {
  // The engine takes a plain image as an open descriptor; it is held until the job has ended.
  std::unique_ptr<platform::ReadableFile> iso;
  uint32_t started;
  if (isoFile_) {
    if (!env_->OpenReadable(platform::Utf16ToUtf8(imagePath_), &iso).ok() ||
        iso->NativeHandle() < 0) {
      Report(671, kErrorInvalidHandle);
      return QD_E_INVALID_HANDLE;
    }
    started = CPY_CompareDiskISO(
        drive, DRV_GetLastTrack(drive), static_cast<DWORD>(dataMode_),
        reinterpret_cast<HANDLE>(static_cast<intptr_t>(iso->NativeHandle())), progress_);
  } else {
    started = CPY_CompareDiskImage(drive, image, progress_);
  }
  if (started != 0) {
    ReportJobFailure(kModuleWrenImgCtrl, started == QD_E_COMMAND_FAILED ? 783 : 788, started,
                     ids::kVerifyIssue);
    return started;
  }
  ControllerUi& ui = CurrentControllerUi();
  ui.StartProgressDisplay(1);
  uint32_t code = PollJob(kComparePollMs);
  ui.StopProgressDisplay();
  iso.reset();
  if (status_ == PRG_STATUS_SUCCEEDED) return 0;
  if (status_ == PRG_STATUS_FAILED) {
    if (code == 0) code = QD_E_DRIVER_REQUEST;
    ReportJobFailure(kModuleWrenImgCtrl, code == QD_E_COMMAND_FAILED ? 761 : 766, code,
                     ids::kVerifyIssue);
    return code;
  }
  if (status_ == PRG_STATUS_CANCELLED || status_ == PRG_STATUS_CANCEL_REQUESTED)
    return QD_E_CANCELLED;
  return code;
}

int CWrenImgCtrl::GetProgress(uint32_t* status, uint32_t* done, uint32_t* total,
                              uint32_t* phase) const {
  if (progress_ == nullptr) return 0;
  if (status) *status = status_;
  if (done) *done = done_;
  if (total) *total = total_;
  if (phase) *phase = phase_;
  return 1;
}

}  // namespace quenvar::app
