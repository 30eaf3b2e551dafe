// Orvex start-up: the services of the real program (engine, registry, instance lock, drives).
#ifndef QUENVAR_APP_STARTUP_SYSTEM_STARTUP_H_
#define QUENVAR_APP_STARTUP_SYSTEM_STARTUP_H_

#include <functional>
#include <memory>
#include <string>

#include "app/controllers/wren_ctrl.h"
#include "app/startup/orvex_app.h"
#include "app/startup/single_instance.h"

namespace quenvar::app {

class SystemStartupServices : public StartupServices {
 public:
  // pump lets the user interface handle what is pending; run_main_dialog runs the main dialog.
  SystemStartupServices(std::function<void()> pump, std::function<void(COrvexApp&)> run_main_dialog);
  ~SystemStartupServices() override;

  bool IsAdministrator() override;
  InstanceClaim ClaimInstance() override;
  void ActivateRunningInstance() override;
  uint32_t InitializeEngine(uint32_t* last_error) override;
  void HookAutoRun() override;
  void UnhookAutoRun() override;
  bool FillDriveList(DriveList* list) override;
  uint32_t RunDrivePowerHelper() override;
  void WaitAndDispatch(uint32_t ms) override;
  void RunMainDialog(COrvexApp& app) override;

 private:
  std::function<void()> pump_;
  std::function<void(COrvexApp&)> run_main_dialog_;
  InstanceLock lock_;
  // The drive controller lives from the first drive list until the main dialog has closed.
  std::unique_ptr<CWrenCtrl> drives_;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_STARTUP_SYSTEM_STARTUP_H_
