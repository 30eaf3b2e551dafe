// Orvex workflow: the USB media of a creation run, created by CWrenUsbCtrl.
//
// UsbMediumCreator hands a USB disc of the run to the USB controller and carries the controller's
// phase texts, bars and cancel polling back to the run's progress display. Main thread only,
// except Cancel, which the controller accepts from any thread.
#ifndef QUENVAR_APP_WORKFLOW_CREATION_USB_H_
#define QUENVAR_APP_WORKFLOW_CREATION_USB_H_

#include "app/controllers/wren_usb_ctrl.h"
#include "app/workflow/creation_run.h"

namespace quenvar::app {

class UsbMediumCreator : public UsbDiscCreator {
 public:
  // ctrl is not owned and must outlive the creator.
  explicit UsbMediumCreator(CWrenUsbCtrl* ctrl) : ctrl_(ctrl) {}

  uint32_t Create(const DiscJob& job, UsbProgressUi& ui) override;
  void Cancel() override { ctrl_->Cancel(); }

 private:
  CWrenUsbCtrl* ctrl_;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_WORKFLOW_CREATION_USB_H_
