#include "app/startup/orvex_app.h"

#include "app/prompting/error_object.h"
#include "app/prompting/prompt.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "app/startup/usb_media_set.h"
#include "platform/unicode.h"

namespace quenvar::app {

COrvexApp::COrvexApp(std::u16string command_line, StartupServices* services)
    : command_line_(std::move(command_line)), services_(services) {}

std::u16string COrvexApp::JoinCommandLine(int argc, const char* const* argv, int first) {
  std::u16string line;
  for (int i = first; i < argc; ++i) {
    if (i > first) line += u' ';
    line += platform::Utf8ToUtf16(argv[i]);
  }
  return line;
}

bool COrvexApp::InitInstance() {
  end_ = StartupEnd::kNotRun;
  Run();
  return false;
}

bool COrvexApp::Run() {
  if (command_line_.empty()) {
    end_ = StartupEnd::kEmptyCommandLine;
    return false;
  }
  if (!services_->IsAdministrator()) {
    ShowAppMessage(LoadString(ids::kAdministratorRequired), PromptButtons::kOk, PromptIcon::kWarning);
    end_ = StartupEnd::kNotAdministrator;
    return false;
  }
  switch (services_->ClaimInstance()) {
    case InstanceClaim::kRunningSameUser:
      services_->ActivateRunningInstance();
      end_ = StartupEnd::kAlreadyRunning;
      return false;
    case InstanceClaim::kRunningOtherUser:
      ShowAppMessage(LoadString(ids::kAnotherUser), PromptButtons::kOk, PromptIcon::kInformation);
      end_ = StartupEnd::kOtherUserRunning;
      return false;
    case InstanceClaim::kHeld:
      break;
  }
  if (command_line_ == u"/d" || command_line_ == u"/D") {
    end_ = StartupEnd::kInstanceCheckOnly;
    return false;
  }

  uint32_t last_error = 0;
  const uint32_t result = services_->InitializeEngine(&last_error);
  if (result != 0) {
    CErrorObject report(kModuleOrvexApp, kLocationEngineInit, static_cast<int>(result), u"", last_error, nullptr);
    end_ = StartupEnd::kEngineFailed;
    return false;
  }
  services_->HookAutoRun();
  hooked_ = true;

  if (!services_->FillDriveList(&drive_list_)) {
    end_ = StartupEnd::kDriveListFailed;
    return false;
  }
  if (services_->RunDrivePowerHelper() != 0) {
    ShowWaitWindow(ids::kPleaseWait);
    for (int attempt = 0; drive_list_.empty() && attempt < kDriveWaitAttempts; ++attempt) {
      services_->WaitAndDispatch(kDriveWaitStepMs);
      ++drive_wait_attempts_;
      if (!services_->FillDriveList(&drive_list_)) {
        CloseWaitWindow();
        end_ = StartupEnd::kDriveListFailed;
        return false;
      }
    }
    CloseWaitWindow();
  }

  usb_flag_ = HasUsbMediaSet(command_line_);
  if (drive_list_.empty() && usb_flag_ == 0) {
    ShowAppMessage(LoadString(ids::kNoRecorder), PromptButtons::kOk, PromptIcon::kInformation);
    end_ = StartupEnd::kNoWritableTarget;
    return false;
  }

  services_->RunMainDialog(*this);
  end_ = StartupEnd::kMainDialogClosed;
  return false;
}

void COrvexApp::ExitInstance() {
  CloseWaitWindow();
  // The hook's installed state is shared by the whole machine: only the instance that installed it
  // may remove it, never a second start that ended early beside a running instance.
  if (hooked_) {
    services_->UnhookAutoRun();
    hooked_ = false;
  }
}

bool COrvexApp::ShowWaitWindow(uint32_t string_id) {
  CloseWaitWindow();
  const std::u16string_view text = LoadString(string_id);
  if (text.empty()) return false;
  CurrentPrompter().ShowWaitNotice(text);
  wait_window_shown_ = true;
  return true;
}

void COrvexApp::CloseWaitWindow() {
  if (!wait_window_shown_) return;
  CurrentPrompter().CloseWaitNotice();
  wait_window_shown_ = false;
}

}  // namespace quenvar::app
