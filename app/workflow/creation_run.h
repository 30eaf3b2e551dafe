// Orvex workflow: the creation run, shared by the Qt program and the headless front end.
//
// Pressing Create runs the checked discs of the media list one after another on the main thread:
// a data disc through CWrenDataCtrl, an image disc through an ImageDiscCreator, a USB medium
// through a UsbDiscCreator (by default the run's own CWrenImgCtrl and CWrenUsbCtrl). A disc that
// fails asks Retry / Next / Abort through the installed Prompter; a cancelled disc ends the run.
// Successful discs are written to the created-media record. The run talks to its window only
// through CreationWindow (the Information box, the two progress bars, the list, the controls, one
// repeating timer, message dispatch and the guards of the Create handler), so the Qt main window
// and a terminal implement the same run. Inconsistencies of the run itself (no main window, a
// contents item that vanished during the run) are reported through CErrorObject (module 4) and
// end the run without creating anything more.
//
// FrameProgress is the progress state of the panel: it turns the engine's progress words into the
// two bars (0..1000, at most 970 while a job runs) on each one-second timer tick. The controllers
// start and stop it through the ControllerUi that RunControllerUi puts in front of the program's
// own ControllerUi.
//
// Threads: everything runs on the main thread except the cancel prompt, which runs on a thread
// of its own and talks to the run only through atomic fields; the cancel it asks for is carried
// out on the main thread at its next message dispatch, so no engine object is touched from two
// threads.
#ifndef QUENVAR_APP_WORKFLOW_CREATION_RUN_H_
#define QUENVAR_APP_WORKFLOW_CREATION_RUN_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "app/contents/contents_model.h"
#include "app/contents/disc_job_settings.h"
#include "app/contents/drive_param.h"
#include "app/contents/media_list.h"
#include "app/prompting/controller_ui.h"
#include "app/prompting/prompt.h"
#include "quillden/types.h"

namespace quenvar::app {

class CWrenDataCtrl;
class CWrenImgCtrl;
class CWrenUsbCtrl;

// Report sites of the run (module 4).
inline constexpr int kLocationRunNoMainWindow = 2370;
inline constexpr int kLocationRunItemMissing = 2399;

// Timer ids of the panel: writing and verifying.
inline constexpr uint32_t kTimerWriting = 510;
inline constexpr uint32_t kTimerVerifying = 511;
inline constexpr uint32_t kTimerPeriodMs = 1000;
// Bar positions: full scale, and the cap while a job runs.
inline constexpr uint32_t kBarFull = 1000;
inline constexpr uint32_t kBarRunningCap = 970;
// Multi-session terms of the timer arithmetic.
inline constexpr uint32_t kSessionLeadTerm = 13500;
inline constexpr uint32_t kSessionCloseTerm = 20200;

// Run modes: which controller the timer asks.
enum RunMode : int { kModeNone = 0, kModeData = 1, kModeImage = 2 };

// The main window as the run sees it. Bars range over 0..1000. Main thread only.
class CreationWindow {
 public:
  virtual ~CreationWindow() = default;
  // The Information box (the panel's message 0x8001): replace its text and repaint at once.
  virtual void SetInformationText(std::u16string_view text) = 0;
  virtual void SetCurrentBar(uint32_t position) = 0;
  virtual void SetTotalBar(uint32_t position) = 0;
  // The list's rows or statuses changed (MediaList::Fill has been called).
  virtual void RedrawList() = 0;
  // The disc set selectors and the Verify box.
  virtual void EnableSelection(bool enable) = 0;
  virtual void EnableCreate(bool enable) = 0;
  // A repeating timer that calls CreationRun::OnTimer(id) from message dispatch.
  virtual void StartTimer(uint32_t id, uint32_t period_ms) = 0;
  virtual void KillTimer(uint32_t id) = 0;
  // Dispatches pending window events, platform messages and due timers.
  virtual void ProcessPendingMessages() = 0;
  virtual void SetWaitCursor(bool on) { (void)on; }
  // The owner of the completion message box (the media list control).
  virtual PromptWindow ListWindow() const = 0;
  // The guards around a run: the battery question, and locking the recording drive against other
  // software. Declining either ends the Create handler. By default the battery question goes to
  // the installed Prompter (owned by its main window) and the lock to the outside packet-writing
  // product's blocking library, when that product is installed.
  virtual bool ConfirmBattery();
  virtual bool LockDrive(int32_t drive_number);
  virtual void UnlockDrive(int32_t drive_number);
};

// The state of the job the timer polls.
struct JobProgress {
  uint32_t status = 0;
  uint32_t done = 0;
  uint32_t total = 0;
  uint32_t phase = 0;
};

// The session/track words the timer reads from the polled progress object.
struct SessionTrackWords {
  uint32_t session = 0;         // k: current session, from 1
  uint32_t written = 0;         // w: sectors of finished tracks
  uint32_t sessions = 0;        // S: sessions of the job
  uint32_t total_sectors = 0;   // N: sectors of the job
};

// The current fraction (per mille) of a running job; unsigned 32-bit arithmetic throughout.
uint32_t CurrentFraction(const JobProgress& job, const SessionTrackWords& words, int iso_recording);

class FrameProgress {
 public:
  // Reads the active controller's job (false: no job) and, given the progress handle, its
  // session/track words.
  class Source {
   public:
    virtual ~Source() = default;
    virtual bool GetJobProgress(JobProgress* job) = 0;
    virtual bool GetSessionTrack(HANDLE progress, SessionTrackWords* words) = 0;
    // The current disc's status changed (2 recording, 3 verifying).
    virtual void SetCurrentStatus(uint32_t status) = 0;
  };

  FrameProgress(CreationWindow* window, Source* source);

  // A new run: media total discs, verify factor 2 when it verifies, else 1.
  void Reset(uint32_t media_total, uint32_t verify_factor);
  void BeginMedia(uint32_t media_done, std::u16string title);
  // Phase 0 writing, 1 verifying: text, disc status, bases, the one-second timer.
  void StartPhase(HANDLE progress, uint32_t phase);
  // The phase text and status without timer and bases (USB runs).
  void ShowPhaseText(uint32_t phase);
  void StopTimer();
  void SetUsbBars(uint32_t a, uint32_t b, bool reset);
  // 1 current bar, 2 total bar, 3 both to full scale.
  void CompleteBars(int which);
  void OnTimer(uint32_t id);
  void set_iso_recording(int flag) { iso_recording_ = flag; }

  uint32_t media_total() const { return media_total_; }
  uint32_t media_done() const { return media_done_; }
  uint32_t verify_factor() const { return verify_factor_; }
  uint32_t current_base() const { return current_base_; }
  uint32_t timer_id() const { return timer_id_; }
  uint32_t current_bar() const { return current_bar_; }
  uint32_t total_bar() const { return total_bar_; }
  const std::u16string& title() const { return title_; }
  HANDLE progress() const { return progress_; }

 private:
  std::u16string PhaseText(uint32_t phase);
  void SetBars(uint32_t current, uint32_t total);
  uint32_t TotalBase() const;

  CreationWindow* window_;
  Source* source_;
  uint32_t media_total_ = 0;
  uint32_t media_done_ = 0;
  uint32_t verify_factor_ = 1;
  uint32_t current_base_ = 0;
  uint32_t total_base_ = 0;
  uint32_t timer_id_ = 0;
  HANDLE progress_ = nullptr;
  int iso_recording_ = 0;
  uint32_t usb_current_max_ = 0;
  uint32_t usb_total_max_ = 0;
  uint32_t current_bar_ = 0;
  uint32_t total_bar_ = 0;
  std::u16string title_;
};

// One disc as the run hands it to a creator.
struct DiscJob {
  CContentsItem* item = nullptr;
  int item_index = 0;
  int disc = 0;
  DiscJobSettings settings;     // verify mode, titles, image path, ...
  std::u16string prompt_text;   // the media prompt ("... will be created now.")
};

// The USB side of the progress display, for the USB controller.
class UsbProgressUi {
 public:
  virtual ~UsbProgressUi() = default;
  virtual void ShowPhaseText(uint32_t phase) = 0;
  virtual void SetUsbBars(uint32_t a, uint32_t b, bool reset) = 0;
  // The cancel the user confirmed (read by the USB worker's waiting loop).
  virtual bool cancel_requested() const = 0;
};

// Creates the image discs of a run (mode 2).
class ImageDiscCreator {
 public:
  virtual ~ImageDiscCreator() = default;
  // 0 created, 0x08000032 cancelled, another code failed (the creator showed its message).
  // message holds the media prompt; after a success it receives the completion text, which then
  // introduces the next disc's media prompt.
  virtual uint32_t Create(const DiscJob& job, std::u16string* message) = 0;
  virtual bool GetProgress(JobProgress* job) = 0;
  virtual HANDLE progress() const = 0;
  // The user's confirmed cancel; main thread.
  virtual void Cancel() = 0;
};

// Creates the USB media of a run.
class UsbDiscCreator {
 public:
  virtual ~UsbDiscCreator() = default;
  virtual uint32_t Create(const DiscJob& job, UsbProgressUi& ui) = 0;
  virtual void Cancel() = 0;
};

// The record writer of successful discs (the registry record by default; tests count calls).
using RecordWriter = std::function<int(const CContentsList&)>;

class CreationRun : private FrameProgress::Source, private UsbProgressUi {
 public:
  // None of the arguments is owned; all must outlive the run. data_ctrl is the program's data disc
  // controller (its drive list must be set); drives gives the recording drive.
  CreationRun(MediaList* list, CreationWindow* window, CWrenDataCtrl* data_ctrl, DriveList* drives);
  ~CreationRun() override;
  CreationRun(const CreationRun&) = delete;
  CreationRun& operator=(const CreationRun&) = delete;

  // Other creators (not owned); null returns to the run's own.
  void set_image_creator(ImageDiscCreator* creator);
  void set_usb_creator(UsbDiscCreator* creator);
  // The run's own image disc controller (its drive list is the run's).
  CWrenImgCtrl& image_ctrl() { return *image_ctrl_; }
  void set_record_writer(RecordWriter writer) { record_writer_ = std::move(writer); }

  // The Create button with the Verify box's state. A checked box verifies in checked_mode (1 quick,
  // 2 full), or when that is 0 in the configuration's mode (quick when it says so, else full).
  // Returns the result of the last disc handled (0 also when nothing ran because a guard declined).
  uint32_t OnCreate(bool verify_checked, int checked_mode = 0);
  // The creation loop itself with verify mode v (0 none, 1 quick, 2 full).
  uint32_t RunLoop(int verify_mode);
  // The Cancel button (also the close box and Escape): true when the window may close (no run);
  // during a run it opens the cancel prompt on its own thread and returns false.
  bool OnCancelPressed();
  // The panel's timer.
  void OnTimer(uint32_t id) { progress_.OnTimer(id); }
  // Message dispatch of the run: the window's, then the cancel the prompt asked for.
  void ProcessPendingMessages();
  // Rebuilds the selection summary into the Information box and enables Create accordingly.
  void ShowSelectionSummary();

  bool busy() const { return busy_; }
  bool running() const { return list_->running(); }
  int mode() const { return mode_; }
  bool cancel_prompt_open() const { return cancel_prompt_open_.load(); }
  int cancel_answer() const { return cancel_answer_.load(); }
  bool cancel_requested() const override { return cancel_requested_.load(); }
  const std::u16string& prompt_text() const { return prompt_text_; }
  int current_item() const { return current_item_; }
  int current_disc() const { return current_disc_; }
  FrameProgress& progress() { return progress_; }
  // Waits for the cancel prompt thread to finish (tests, shutdown).
  void JoinCancelPrompt();

  // ControllerUi hooks (RunControllerUi calls these).
  void StartProgressDisplay(int mode);
  void StopProgressDisplay();

 private:
  // How far the run got: the media begun (a retried disc counts once), the last disc's result and
  // whether the run was aborted.
  struct RunTally {
    uint32_t media_begun = 0;
    uint32_t result = 0;
    bool aborted = false;
  };

  // The current set of contents item p; null when the item vanished (reported, location 2399).
  CDiscSet* RunSet(int p);
  // The steps of RunLoop. BeginRun resets the checked discs and the run's state; RunItem creates
  // the checked discs of item p in order, each until it is created, skipped or the run aborted;
  // AttemptDisc creates disc m once and SettleDisc takes its result (true: the user retries it);
  // EndRun shows how the run ended.
  void BeginRun(int verify_mode);
  // RunSet, and when the item itself is gone, the run aborted with QD_E_INVALID_ARGUMENT.
  CDiscSet* CurrentSet(int p, RunTally* run);
  void RunItem(int p, int verify_mode, RunTally* run);
  bool AttemptDisc(int p, int m, const CDiscSet* set, int verify_mode, RunTally* run);
  bool SettleDisc(int p, int m, const std::u16string& title, const std::u16string& next_title,
                  RunTally* run);
  // Waits for a cancel prompt still open: true when the user confirmed the cancel.
  bool CancelConfirmed();
  void EndRun(const RunTally& run);
  uint32_t CreateDisc(const DiscJob& job);
  uint32_t CreateDataDisc(const DiscJob& job);
  std::u16string NextCheckedTitle(int item, int disc) const;
  void SetInformation(std::u16string text);
  void CancelPromptThread(bool usb_run);
  void ApplyRequestedCancel();

  // FrameProgress::Source
  bool GetJobProgress(JobProgress* job) override;
  bool GetSessionTrack(HANDLE progress, SessionTrackWords* words) override;
  void SetCurrentStatus(uint32_t status) override;
  // UsbProgressUi
  void ShowPhaseText(uint32_t phase) override { progress_.ShowPhaseText(phase); }
  void SetUsbBars(uint32_t a, uint32_t b, bool reset) override { progress_.SetUsbBars(a, b, reset); }

  MediaList* list_;
  CreationWindow* window_;
  CWrenDataCtrl* data_ctrl_;
  DriveList* drives_;
  std::unique_ptr<CWrenImgCtrl> image_ctrl_;
  std::unique_ptr<ImageDiscCreator> own_image_;
  std::unique_ptr<CWrenUsbCtrl> usb_ctrl_;
  std::unique_ptr<UsbDiscCreator> own_usb_;
  ImageDiscCreator* image_ = nullptr;
  UsbDiscCreator* usb_ = nullptr;
  RecordWriter record_writer_;
  FrameProgress progress_;

  bool busy_ = false;
  int mode_ = kModeNone;
  int current_item_ = -1;
  int current_disc_ = -1;
  uint32_t usb_mask_ = 0;
  std::u16string prompt_text_;
  std::u16string text_;

  std::thread cancel_thread_;
  std::atomic<bool> cancel_prompt_open_{false};
  std::atomic<int> cancel_answer_{0};
  std::atomic<bool> cancel_requested_{false};
  std::atomic<bool> cancel_pending_{false};
  std::atomic<bool> loop_running_{false};  // confirmed, not yet carried out on the main thread
  std::mutex pending_text_mutex_;
  std::u16string pending_text_;
  bool has_pending_text_ = false;
};

// The ControllerUi the controllers see during a run: everything goes to the program's own
// ControllerUi, except the progress display (to the run) and message processing (through the
// run, so timers and the requested cancel are served while a controller polls).
class RunControllerUi : public ControllerUi {
 public:
  RunControllerUi(ControllerUi* inner, CreationRun* run) : inner_(inner), run_(run) {}
  int RunModal(PromptWindow owner, ModalDialog& dialog) override { return inner_->RunModal(owner, dialog); }
  void ProcessPendingMessages() override { run_->ProcessPendingMessages(); }
  void StartProgressDisplay(int mode) override { run_->StartProgressDisplay(mode); }
  void StopProgressDisplay() override { run_->StopProgressDisplay(); }
  void SetExecutionState(uint32_t flags) override { inner_->SetExecutionState(flags); }
  HWND EngineWindow() override { return inner_->EngineWindow(); }

 private:
  ControllerUi* inner_;
  CreationRun* run_;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_WORKFLOW_CREATION_RUN_H_
