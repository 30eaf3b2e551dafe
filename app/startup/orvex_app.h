// Orvex start-up: the application object and the decisions of the program's start.
//
// COrvexApp decides whether this process may run (a configuration path on the command line, the
// administrator check, one instance per machine), prepares the engine and the AutoRun hook, lists
// the recorders, waits for drives that are being switched on, and runs the main dialog. The
// system services it needs come through StartupServices, so the order of the steps and every early
// ending can be exercised without windows; SystemStartupServices (system_startup.h) is the
// program's implementation. Messages go through the installed Prompter with the application title
// as caption and no owner window.
//
// Everything runs on the main thread.
#ifndef QUENVAR_APP_STARTUP_ORVEX_APP_H_
#define QUENVAR_APP_STARTUP_ORVEX_APP_H_

#include <cstdint>
#include <string>

#include "app/contents/drive_param.h"
#include "app/startup/single_instance.h"

namespace quenvar::app {

class COrvexApp;

class StartupServices {
 public:
  virtual ~StartupServices() = default;
  virtual bool IsAdministrator() = 0;
  virtual InstanceClaim ClaimInstance() = 0;
  // Asks a running instance of this user to show its main window; nothing when none listens.
  virtual void ActivateRunningInstance() = 0;
  // DRV_Initialize: 0 or an engine result code; last_error receives the platform's error number.
  virtual uint32_t InitializeEngine(uint32_t* last_error) = 0;
  virtual void HookAutoRun() = 0;
  virtual void UnhookAutoRun() = 0;
  // Refills list with the recordable optical drives; false when a drive cannot be described.
  virtual bool FillDriveList(DriveList* list) = 0;
  // Runs the drive power helper and returns its exit code (0 when it cannot be run).
  virtual uint32_t RunDrivePowerHelper() = 0;
  // Sleeps ms milliseconds, then lets the user interface handle what is pending.
  virtual void WaitAndDispatch(uint32_t ms) = 0;
  // Runs the main dialog modally until it closes.
  virtual void RunMainDialog(COrvexApp& app) = 0;
};

// How start-up ended.
enum class StartupEnd {
  kNotRun,
  kEmptyCommandLine,
  kNotAdministrator,
  kAlreadyRunning,
  kOtherUserRunning,
  kInstanceCheckOnly,  // the "/d" switch
  kEngineFailed,
  kDriveListFailed,
  kNoWritableTarget,
  kMainDialogClosed,
};

// Polls of the wait for drives that are being switched on: 301 attempts of 100 ms.
inline constexpr int kDriveWaitAttempts = 301;
inline constexpr uint32_t kDriveWaitStepMs = 100;
// The report site of a failed engine initialisation.
inline constexpr int kLocationEngineInit = 202;

class COrvexApp {
 public:
  COrvexApp(std::u16string command_line, StartupServices* services);

  // The program's start; always false (the program has no message loop of its own: everything
  // happens inside the modal main dialog). end() tells how it ended.
  bool InitInstance();
  // Undoes what start-up set up. Runs after every ending of InitInstance.
  void ExitInstance();

  StartupEnd end() const { return end_; }
  const std::u16string& command_line() const { return command_line_; }
  DriveList& drive_list() { return drive_list_; }
  const DriveList& drive_list() const { return drive_list_; }
  // The drive number of the first selected recorder, 0 when none is selected.
  int32_t SelectedDrive() const { return drive_list_.SelectedDrive(); }
  // 1 when the first contents file offers a USB disc set (see HasUsbMediaSet).
  int usb_flag() const { return usb_flag_; }
  // How many times the drive list was filled while waiting for drives.
  int drive_wait_attempts() const { return drive_wait_attempts_; }

  // Shows string_id in the translucent wait window (replacing one still shown); false and nothing
  // shown for an empty string.
  bool ShowWaitWindow(uint32_t string_id);
  void CloseWaitWindow();

  // The whole command line after the program name: the arguments from first on, joined by one
  // blank each, with nothing removed.
  static std::u16string JoinCommandLine(int argc, const char* const* argv, int first);

 private:
  bool Run();

  std::u16string command_line_;
  StartupServices* services_;
  DriveList drive_list_;
  int usb_flag_ = 0;
  bool wait_window_shown_ = false;
  bool hooked_ = false;
  int drive_wait_attempts_ = 0;
  StartupEnd end_ = StartupEnd::kNotRun;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_STARTUP_ORVEX_APP_H_
