#include "app/startup/system_startup.h"

#include <errno.h>
#include <unistd.h>

#include "app/startup/drive_power.h"
#include "platform/registry.h"
#include "quillden/drive.h"
#include "quillden/util.h"

namespace quenvar::app {

SystemStartupServices::SystemStartupServices(std::function<void()> pump,
                                             std::function<void(COrvexApp&)> run_main_dialog)
    : pump_(std::move(pump)), run_main_dialog_(std::move(run_main_dialog)), lock_(InstanceLock::DefaultPath()) {}

SystemStartupServices::~SystemStartupServices() = default;

bool SystemStartupServices::IsAdministrator() { return platform::IsAdministrator(); }

InstanceClaim SystemStartupServices::ClaimInstance() { return lock_.Claim(); }

void SystemStartupServices::ActivateRunningInstance() { app::ActivateRunningInstance(ActivationSocketPath()); }

uint32_t SystemStartupServices::InitializeEngine(uint32_t* last_error) {
  errno = 0;
  const uint32_t result = DRV_Initialize();
  *last_error = static_cast<uint32_t>(errno);
  return result;
}

void SystemStartupServices::HookAutoRun() { UTL_AutoRunHook(); }

void SystemStartupServices::UnhookAutoRun() { UTL_AutoRunUnhook(); }

bool SystemStartupServices::FillDriveList(DriveList* list) {
  if (!drives_) drives_ = std::make_unique<CWrenCtrl>();
  if (drives_->EnumerateRecorders(list)) return true;
  drives_.reset();
  return false;
}

uint32_t SystemStartupServices::RunDrivePowerHelper() {
  return app::RunDrivePowerHelper(DrivePowerHelperPath(), pump_);
}

void SystemStartupServices::WaitAndDispatch(uint32_t ms) {
  ::usleep(ms * 1000);
  if (pump_) pump_();
}

void SystemStartupServices::RunMainDialog(COrvexApp& app) {
  if (drives_) drives_->set_drive_list(&app.drive_list());
  if (run_main_dialog_) run_main_dialog_(app);
  drives_.reset();
}

}  // namespace quenvar::app
