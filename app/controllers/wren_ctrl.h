// Orvex controllers: the base of the controllers that create one optical disc each.
//
// CWrenCtrl finds the recorders of the machine and describes each in a tagDRIVEPARAM, runs the
// media check before every recording (asking for a suitable disc until one is inserted or the user
// gives up, offering to erase rewritable media that hold data, ejecting media that cannot be used)
// and erases rewritable media with the erase progress dialog. It reaches drives only through the
// engine's DRV_ and PRG_ exports and the user only through the installed Prompter and ControllerUi;
// unexpected failures are reported with CErrorObject (module 13). CSelectDriveDlg lets the user
// pick the recording drive when there are several.
//
// A controller is used on the main thread only. It does not own the application's drive list.
#ifndef QUENVAR_APP_CONTROLLERS_WREN_CTRL_H_
#define QUENVAR_APP_CONTROLLERS_WREN_CTRL_H_

#include <cstdint>
#include <string>

#include "app/contents/drive_param.h"
#include "app/prompting/prompt.h"
#include "quillden/drive.h"

namespace quenvar::app {

// The window message of every DRV_LockMedia call: the engine posts it when the eject button of a
// locked drive is pressed.
inline constexpr uint32_t kEjectNoticeMessage = 0x8002;

// Silent re-reads of the media check: a failed media read that no drive command explains is read
// again after kSilentRereadPauseMs, at most kSilentRereadLimit times in a row before the user is
// asked.
inline constexpr int kSilentRereadLimit = 10;
inline constexpr uint32_t kSilentRereadPauseMs = 500;

// The engine's code for a drive that cannot be opened.
inline constexpr uint32_t kDriveNotOpened = 0x0800001Du;

// The platform's last error, as the error reports carry it.
uint32_t LastError();

// The result of an engine job whose status has turned final. The worker's result may lag its final
// status word by a moment, so a busy answer is asked again for up to a second.
uint32_t SettledErrorCode(HANDLE progress);

// The report of a recording job's engine failure for module at location, with text_id as its
// text: a failed drive command carries the drive's own error as well.
void ReportJobFailure(int module, int location, uint32_t code, uint32_t text_id);

// A recording job's hold on its drive. The job opens the drive, locks its media against the eject
// button while it records, then unlocks and closes it; a job that reads its disc back through the
// file system closes the drive in between and opens it again. Each step that fails is reported for
// the controller's module at the location the caller names, so one session serves every
// controller. A drive still open when the session ends is closed without a report: the job's
// result is decided by then.
class DriveSession {
 public:
  DriveSession(int module, int32_t drive_number);
  ~DriveSession();
  DriveSession(const DriveSession&) = delete;
  DriveSession& operator=(const DriveSession&) = delete;

  // 0, or kDriveNotOpened: reported at no_recorder_at when there is no such drive, at invalid_at
  // when the engine hands out an invalid handle.
  uint32_t Open(int no_recorder_at, int invalid_at);
  // Locks (or unlocks) the media against the eject button: 0 or the engine's failure, reported.
  uint32_t LockMedia(bool locked, int location);
  // Lets the drive forget what it cached: 0 or the engine's failure, reported.
  uint32_t Flush(int location);
  // 0 or the engine's failure, reported; the drive is not used again either way.
  uint32_t Close(int location);

  bool is_open() const { return drive_ != nullptr; }
  HANDLE drive() const { return drive_; }
  int32_t drive_number() const { return drive_number_; }

 private:
  void Report(int location, int code, std::u16string_view text = {}) const;

  const int module_;
  const int32_t drive_number_;
  const HWND engine_window_;
  HANDLE drive_ = nullptr;
};

class CWrenCtrl {
 public:
  CWrenCtrl();
  virtual ~CWrenCtrl();
  CWrenCtrl(const CWrenCtrl&) = delete;
  CWrenCtrl& operator=(const CWrenCtrl&) = delete;

  // The application's drive list, for the recording drive and its capabilities. Not owned.
  void set_drive_list(DriveList* list) { drive_list_ = list; }
  DriveList* drive_list() const { return drive_list_; }

  // Refills list with the recorders of the drive map in ascending order, the first one selected.
  // False only when a record cannot be filled; no recorders gives an empty list and true.
  bool EnumerateRecorders(DriveList* list);
  bool FillDriveParam(int32_t drive_number, tagDRIVEPARAM* record);
  // Each opens the drive, makes one engine query and closes it; engine result codes.
  uint32_t QueryDeviceInfo(int32_t drive_number, _DEVICEINFO* info);
  uint32_t QueryDeviceSpecifications(int32_t drive_number, _DEVICESPECIFICATIONS* spec);
  uint32_t QueryMediaInfo(int32_t drive_number, _MEDIAINFORMATION* info);
  // Inserts record in drive order; selected when the list has no selection yet.
  void InsertDriveParam(DriveList* list, tagDRIVEPARAM record);

  // The interactive media check on an open drive. message names the disc to be created; the list of
  // acceptable media is appended to it. 0 when the media is ready to be written, 0x08000032 when
  // the user gave up, another code for a failure.
  uint32_t CheckMedia(PromptWindow window, int32_t drive_number, HANDLE drive,
                      _MEDIAINFORMATION* info, std::u16string_view message);
  // The decision on one media snapshot: 0 write, 0x08000023 no media (or not erased), 0x08000024
  // media that cannot be used (ejected), 0x08000011 bad arguments.
  uint32_t JudgeMedia(PromptWindow window, int32_t drive_number, const _MEDIAINFORMATION* info);
  // Unlocks, ejects and flushes the drive; 1, or 0 when it cannot be opened.
  int ReleaseAndEject(int32_t drive_number);
  // Asks the running job to stop; 0 when no job runs.
  uint32_t CancelJob();

  // Asks whether to erase (15024 quick, 15025 full) and erases: 0 erased, 0x08000023 declined or
  // failed (the disc is ejected), 0x08000011 without a window.
  uint32_t ConfirmErase(PromptWindow window, int32_t drive_number, int quick);
  // Erases with the progress dialog: 1 erased, 0 not (failed or cancelled; the disc is ejected).
  int EraseMedia(int quick, int32_t drive_number);

  int32_t busy() const { return busy_; }
  uint32_t allowedMedia() const { return allowedMedia_; }
  void set_allowedMedia(uint32_t flags) { allowedMedia_ = flags; }
  int32_t verifyMode() const { return verifyMode_; }
  int32_t fullEraseRequired() const { return fullEraseRequired_; }
  void set_fullEraseRequired(int32_t value) { fullEraseRequired_ = value; }
  int32_t eraseBlankMedia() const { return eraseBlankMedia_; }
  void set_eraseBlankMedia(int32_t value) { eraseBlankMedia_ = value; }
  HANDLE progress() const { return progress_; }
  const std::u16string& discTitle() const { return discTitle_; }
  void set_discTitle(std::u16string title) { discTitle_ = std::move(title); }
  const std::u16string& nextTitle() const { return nextTitle_; }
  int32_t mediaKind() const { return mediaKind_; }
  void set_mediaKind(int32_t kind) { mediaKind_ = kind; }

 protected:
  // A general report of this controller (module 13) owned by the thread's main window.
  void Report(int location, int code, std::u16string_view text = {}) const;
  // A recording job keeps the machine awake and the controller busy from its start to its end.
  void BeginBusy();
  void EndBusy();
  // Follows the running job until its status turns final, keeping the user interface responsive
  // between looks interval_ms apart; status, phase and counters stay for GetProgress. The job's
  // settled result.
  uint32_t PollJob(uint32_t interval_ms);
  void DestroyProgress();

  int32_t busy_ = 0;
  uint32_t allowedMedia_ = 0;
  int32_t verifyMode_ = 0;
  int32_t fullEraseRequired_ = 0;
  int32_t eraseBlankMedia_ = 0;
  HANDLE progress_ = nullptr;
  uint32_t status_ = 0;
  uint32_t done_ = 0;
  uint32_t total_ = 0;
  uint32_t phase_ = 0;
  std::u16string discTitle_;
  std::u16string nextTitle_;
  int32_t mediaKind_ = 0;
  DriveList* drive_list_ = nullptr;

 private:
  template <typename Query>
  uint32_t OpenQueryClose(int32_t drive_number, const int locations[4], Query query);
};

// The drive selection dialog (146): one line per recorder; the chosen line becomes the selection in
// the list. Returns the chosen line, or -1 without a list (reported, module 11).
class CSelectDriveDlg {
 public:
  int Run(PromptWindow owner, DriveList* list);
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_CONTROLLERS_WREN_CTRL_H_
