// Orvex guards: refusing the end of the session and suspend while a job runs, and AutoPlay.
//
// The main window answers three questions of the platform:
// - the end-session query (shutdown, restart, logoff; on Linux the session manager's commit-data
//   request, see qt_session_guard.h): allowed when idle; during a job refused, the main window is
//   raised and the refusal notice (string 15054) is shown;
// - the power broadcast asking for permission to suspend: refused the same way during a job;
// - the registered message "QueryCancelAutoPlay": always answered 1 (cancel AutoPlay).
// The notice runs on a short-lived thread of its own so that the answer never waits for the user;
// at most one notice is on screen. SessionGuard also provides a message window whose procedure
// answers these messages, for sources that deliver them as window messages.
//
// The guard is created and queried on the main thread; the notice thread only clears the
// notice-shown flag. The guard must be destroyed on the main thread; a notice still on screen then
// stays until the user closes it (its thread no longer touches the guard).
#ifndef QUENVAR_APP_GUARDS_SESSION_GUARD_H_
#define QUENVAR_APP_GUARDS_SESSION_GUARD_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "app/prompting/prompt.h"
#include "quillden/types.h"

namespace quenvar::app {

// Window messages and values of the power and session protocol.
inline constexpr UINT kWmQueryEndSession = 0x0011;
inline constexpr UINT kWmPowerBroadcast = 0x0218;
inline constexpr WPARAM kPbtApmQuerySuspend = 0;
inline constexpr LRESULT kBroadcastQueryDeny = 0x424D5144;

class SessionGuard {
 public:
  // job_running tells whether a job is running (a controller is busy or a USB copy runs);
  // raise brings the main window to the front. Either may be empty (no job; nothing to raise).
  SessionGuard(std::function<bool()> job_running, std::function<void()> raise);
  ~SessionGuard();
  SessionGuard(const SessionGuard&) = delete;
  SessionGuard& operator=(const SessionGuard&) = delete;

  // The owner of the notice (the main window).
  void set_owner(PromptWindow owner) { owner_ = owner; }

  // The end-session query after the framework's default handling answered default_allows: true
  // when the session may end.
  bool QueryEndSession(bool default_allows = true);
  // A power broadcast: *handled is false when the default handling applies (the return value is
  // then 0); a refused suspend query returns kBroadcastQueryDeny.
  LRESULT PowerBroadcast(WPARAM event, LPARAM data, bool* handled);
  // The identifier of "QueryCancelAutoPlay" (registered once per process).
  static UINT AutoPlayMessage();

  // The procedure of the guard's message window: the three messages above, 0 for the rest.
  LRESULT Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  // Creates that window on the calling thread (destroyed with the guard).
  HWND CreateWindow();

  bool notice_shown() const { return state_->notice_shown.load(); }
  // Waits until the notice thread has ended (tests, shutdown).
  void JoinNotice();
  int notices_started() const { return notices_started_; }

 private:
  struct NoticeState {
    std::atomic<int> notice_shown{0};
  };

  bool JobRunning() const { return job_running_ && job_running_(); }
  void RefuseWithNotice();

  std::function<bool()> job_running_;
  std::function<void()> raise_;
  PromptWindow owner_ = nullptr;
  std::shared_ptr<NoticeState> state_;
  std::thread notice_thread_;
  int notices_started_ = 0;
  HWND window_ = nullptr;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_GUARDS_SESSION_GUARD_H_
