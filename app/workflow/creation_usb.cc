#include "app/workflow/creation_usb.h"

namespace quenvar::app {

namespace {

class DisplayBridge : public UsbRunDisplay {
 public:
  explicit DisplayBridge(UsbProgressUi* ui) : ui_(ui) {}
  void ShowPhaseText(uint32_t phase) override { ui_->ShowPhaseText(phase); }
  void SetUsbBars(uint32_t a, uint32_t b, bool reset) override { ui_->SetUsbBars(a, b, reset); }
  bool cancel_requested() const override { return ui_->cancel_requested(); }

 private:
  UsbProgressUi* ui_;
};

}  // namespace

uint32_t UsbMediumCreator::Create(const DiscJob& job, UsbProgressUi& ui) {
  DisplayBridge bridge(&ui);
  ctrl_->set_display(&bridge);
  const uint32_t result =
      ctrl_->CreateUsbDisc(job.item, job.disc, job.settings.verify_mode, CurrentPrompter().MainWindow());
  ctrl_->set_display(nullptr);
  return result;
}

}  // namespace quenvar::app
