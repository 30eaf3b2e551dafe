// Orvex main window: the main dialog (template 102).
//
// COrvexDlg holds the panel (COrvexFrameDlg), the footer band with the owner-drawn Create (1001),
// Cancel (2) and footer (1027) buttons and the Verify box (1002). It loads the configuration and
// the created-media record into the media list, runs the drive selection on its first showing when
// the machine has two or more recorders, and runs the creation workflow (CreationRun) when Create
// is pressed, acting as the run's CreationWindow. Cancel, the close box and Escape all act as the
// Cancel button: they close the dialog when idle and open the cancel prompt during a run. When
// asked, it publishes itself to later starts of the program (single_instance.h), which raise it.
// The About box is in the dialog's context menu (string 101), and so is the quick verify mode
// (string 102): a checked Verify box then compares only the start of each file; the configuration's
// VerifyMode sets the entry's first state.
//
// EndByInterrupt is the program's answer to SIGINT and SIGTERM: the dialog closes when idle;
// during a run it closes the open questions, cancels the running job as a confirmed Cancel would
// (the installed prompter answers every later question the stopping way), waits for the run to
// end, which unlocks the drive and records only what was created, and then closes.
//
// While it lives, the dialog puts its run in front of the installed ControllerUi so that the
// controllers' progress reaches its bars, their keep-awake requests hold the sleep and shutdown
// inhibitor and their tray locks report the eject button to the dialog's message window. The
// dialog owns the run's controllers (data, image, USB with the USB device list), and guards the
// run: the battery question and the drive lock before it, and refusing the end of the session,
// suspend and AutoPlay while a job runs. Main thread only.
#ifndef QUENVAR_APP_MAINWINDOW_ORVEX_DLG_H_
#define QUENVAR_APP_MAINWINDOW_ORVEX_DLG_H_

#include <QAction>
#include <QCheckBox>
#include <QDialog>
#include <QSocketNotifier>
#include <QTimer>
#include <map>
#include <memory>
#include <string>

#include "app/contents/contents_model.h"
#include "app/contents/drive_param.h"
#include "app/contents/media_list.h"
#include "app/controllers/wren_data_ctrl.h"
#include "app/controllers/wren_img_ctrl.h"
#include "app/controllers/wren_usb_ctrl.h"
#include "app/guards/battery.h"
#include "app/guards/dla_guard.h"
#include "app/guards/session_guard.h"
#include "app/guards/sleep_inhibitor.h"
#include "app/mainwindow/footer_button.h"
#include "app/mainwindow/orvex_frame_dlg.h"
#include "app/startup/single_instance.h"
#include "app/workflow/creation_run.h"
#include "app/workflow/creation_usb.h"
#include "app/workflow/image_disc_creator.h"

namespace quenvar::app {

// Report sites of the main dialog.
inline constexpr int kLocationPublishWindow = 253;

// The footer band's height and the button faces' size, at 96 dpi.
inline constexpr int kFooterHeight96 = 38;
inline constexpr int kFooterButtonWidth96 = 67;
inline constexpr int kFooterButtonHeight96 = 21;

struct OrvexDlgOptions {
  // The top-level configuration file.
  std::u16string configuration;
  // Where to publish the window for later starts; empty: not published.
  std::string activation_socket;
  // The display scale (dots per inch / 96); 0: read it from the screen.
  double scale = 0;
  // Reads the configuration files (tests may inject).
  IniLoader loader = DiskIniLoader();
  // Where the battery question reads the power supplies.
  std::string power_supply_dir = kPowerSupplyDir;
  // The outside product's blocking library (a name on the library path, or a path).
  std::string block_library = kBlockLibrary;
  // Who holds the sleep and shutdown inhibitor (not owned); null: the login manager.
  InhibitorSource* inhibitor_source = nullptr;
};

// The ControllerUi the dialog installs: the run's, with the keep-awake requests going to the
// dialog's inhibitor and the engine's notices to the dialog's message window. Both are also passed
// on to the program's own ControllerUi.
class OrvexControllerUi : public RunControllerUi {
 public:
  OrvexControllerUi(ControllerUi* inner, CreationRun* run, KeepAwake* keep_awake,
                    HWND engine_window)
      : RunControllerUi(inner, run),
        inner_(inner),
        keep_awake_(keep_awake),
        engine_window_(engine_window) {}
  void SetExecutionState(uint32_t flags) override;
  HWND EngineWindow() override { return engine_window_; }

 private:
  ControllerUi* inner_;
  KeepAwake* keep_awake_;
  HWND engine_window_;
};

class COrvexDlg : public QDialog, public CreationWindow {
  Q_OBJECT

 public:
  // drives is the application's recorder list (not owned; it outlives the dialog).
  COrvexDlg(DriveList* drives, OrvexDlgOptions options, QWidget* parent = nullptr);
  ~COrvexDlg() override;

  COrvexFrameDlg* frame() const { return frame_; }
  CContentsListView* list_view() const { return frame_->list_view(); }
  FooterButton* create_button() const { return create_; }
  FooterButton* cancel_button() const { return cancel_; }
  FooterButton* footer_button() const { return footer_; }
  QCheckBox* verify_box() const { return verify_; }
  CreationRun& run() { return *run_; }
  MediaList& media_list() { return *list_; }
  CContentsList& contents() { return contents_; }
  double scale() const { return scale_; }
  bool busy() const { return run_->busy(); }
  // A controller's job runs (what the session guard refuses to interrupt).
  bool JobRunning() const;
  CWrenImgCtrl& image_ctrl() { return image_ctrl_; }
  SessionGuard& session_guard() { return *guard_; }
  KeepAwake& keep_awake() { return keep_awake_; }
  // The drive selection of the first showing has happened.
  bool first_paint_done() const { return first_paint_done_; }

  // Brings the dialog to the front (a later start asked for it).
  void Activate();
  // Shows the About box modally.
  void ShowAbout();
  // Ends the program as described above; the prompter must answer the stopping way by now.
  void EndByInterrupt();
  // A run was going on when EndByInterrupt came.
  bool interrupted_run() const { return interrupted_run_; }
  // The context menu's quick verify entry (checkable).
  QAction* quick_verify_action() const { return quick_verify_; }

  // CreationWindow
  void SetInformationText(std::u16string_view text) override;
  void SetCurrentBar(uint32_t position) override;
  void SetTotalBar(uint32_t position) override;
  void RedrawList() override;
  void EnableSelection(bool enable) override;
  void EnableCreate(bool enable) override;
  void StartTimer(uint32_t id, uint32_t period_ms) override;
  void KillTimer(uint32_t id) override;
  void ProcessPendingMessages() override;
  void SetWaitCursor(bool on) override;
  PromptWindow ListWindow() const override;
  bool ConfirmBattery() override;
  bool LockDrive(int32_t drive_number) override;
  void UnlockDrive(int32_t drive_number) override;

 public slots:
  void reject() override;  // Escape: the Cancel button

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void OnCreate();
  void OnCancel();
  void OnSelectionChanged();
  void FirstPaint();
  void FillFromDrive();
  void Publish(const std::string& path);
  void CloseModalDialogs();

  DriveList* drives_;
  double scale_;
  std::string power_supply_dir_;
  std::string block_library_;
  CContentsList contents_;
  std::unique_ptr<MediaList> list_;
  // The controllers and their creators outlive the run that points at them.
  CWrenDataCtrl data_ctrl_;
  CWrenImgCtrl image_ctrl_;
  usbmedia::UsbMediaList usb_devices_;
  CWrenUsbCtrl usb_ctrl_;
  std::unique_ptr<ImageMediumCreator> image_creator_;
  UsbMediumCreator usb_creator_{&usb_ctrl_};
  KeepAwake keep_awake_;
  std::unique_ptr<SessionGuard> guard_;
  // The context of the end-session connection, gone before the guard it calls.
  QObject* guard_context_ = nullptr;
  QSocketNotifier* message_notifier_ = nullptr;
  std::unique_ptr<CreationRun> run_;
  std::unique_ptr<OrvexControllerUi> run_ui_;
  std::unique_ptr<ScopedControllerUi> scoped_ui_;
  COrvexFrameDlg* frame_ = nullptr;
  FooterButton* create_ = nullptr;
  FooterButton* cancel_ = nullptr;
  FooterButton* footer_ = nullptr;
  QCheckBox* verify_ = nullptr;
  QAction* quick_verify_ = nullptr;
  std::map<uint32_t, QTimer*> timers_;
  std::unique_ptr<ActivationServer> activation_;
  QSocketNotifier* activation_notifier_ = nullptr;
  bool first_paint_done_ = false;
  bool wait_cursor_ = false;
  bool ending_ = false;
  bool interrupted_run_ = false;
  QTimer* modal_closer_ = nullptr;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_MAINWINDOW_ORVEX_DLG_H_
