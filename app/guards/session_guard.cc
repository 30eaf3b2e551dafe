#include "app/guards/session_guard.h"

#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "platform/message_window.h"

namespace quenvar::app {

SessionGuard::SessionGuard(std::function<bool()> job_running, std::function<void()> raise)
    : job_running_(std::move(job_running)),
      raise_(std::move(raise)),
      state_(std::make_shared<NoticeState>()) {}

SessionGuard::~SessionGuard() {
  if (window_ != nullptr) platform::DestroyMessageWindow(window_);
  if (!notice_thread_.joinable()) return;
  // Joining a notice still on screen would wait for the user, and a prompter that shows it on
  // this thread would never get to it; the thread keeps its own state and may run on.
  if (state_->notice_shown.load()) {
    notice_thread_.detach();
  } else {
    notice_thread_.join();
  }
}

UINT SessionGuard::AutoPlayMessage() {
  static const UINT message = platform::RegisterWindowMessage(u"QueryCancelAutoPlay");
  return message;
}

void SessionGuard::RefuseWithNotice() {
  if (raise_) raise_();
  if (state_->notice_shown.load()) return;
  JoinNotice();  // the previous notice has been closed; its thread is ending or has ended
  state_->notice_shown = 1;
  ++notices_started_;
  std::shared_ptr<NoticeState> state = state_;
  const PromptWindow owner = owner_;
  notice_thread_ = std::thread([state, owner] {
    ShowAppMessage(LoadString(ids::kShutdownRefused), PromptButtons::kOk, PromptIcon::kInformation,
                   owner);
    state->notice_shown = 0;
  });
}

bool SessionGuard::QueryEndSession(bool default_allows) {
  if (!default_allows) return false;
  if (!JobRunning()) return true;
  RefuseWithNotice();
  return false;
}

LRESULT SessionGuard::PowerBroadcast(WPARAM event, LPARAM data, bool* handled) {
  (void)data;
  if (event != kPbtApmQuerySuspend || !JobRunning()) {
    if (handled) *handled = false;
    return 0;
  }
  if (handled) *handled = true;
  RefuseWithNotice();
  return kBroadcastQueryDeny;
}

LRESULT SessionGuard::Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  (void)window;
  if (message == kWmQueryEndSession) return QueryEndSession(true) ? TRUE : FALSE;
  if (message == kWmPowerBroadcast) {
    bool handled = false;
    const LRESULT answer = PowerBroadcast(wparam, lparam, &handled);
    // The default answer of a power broadcast grants it.
    return handled ? answer : TRUE;
  }
  if (message == AutoPlayMessage()) return 1;
  return 0;
}

HWND SessionGuard::CreateWindow() {
  if (window_ == nullptr) {
    window_ = platform::CreateMessageWindow(
        [this](HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
          return Procedure(window, message, wparam, lparam);
        });
  }
  return window_;
}

void SessionGuard::JoinNotice() {
  if (notice_thread_.joinable()) notice_thread_.join();
}

}  // namespace quenvar::app
