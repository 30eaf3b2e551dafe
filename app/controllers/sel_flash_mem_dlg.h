// Orvex controllers: choosing the USB flash memory when several are large enough (dialog 157).
//
// The dialog lists, in device order, every disk of the device list whose capacity exceeds the
// required size by more than 100 MB, one line each: "USB mass storage devices - (U: Vendor Model)
// 7.6GB". The chosen line indexes the same candidates in the same order as the controller's own
// scan. It is shown through the installed Prompter's choice (drop-down list 1030, OK, Cancel).
// Main thread.
#ifndef QUENVAR_APP_CONTROLLERS_SEL_FLASH_MEM_DLG_H_
#define QUENVAR_APP_CONTROLLERS_SEL_FLASH_MEM_DLG_H_

#include <cstdint>
#include <string>

#include "app/prompting/prompt.h"
#include "usb_media.h"

namespace quenvar::app {

class CSelFlashMemDlg {
 public:
  // The line of one disk.
  static std::u16string DeviceLine(const usbmedia::UsbDisk& disk);

  // kIdOk with *chosen the candidate's index, kIdCancel when the user declined (or no disk
  // qualifies), -1 without a device list (reported, module 19).
  int Run(PromptWindow owner, const usbmedia::UsbMediaList* devices, uint64_t required_mb,
          int32_t* chosen);

  int32_t chosen() const { return chosen_; }

 private:
  int32_t chosen_ = -1;
};

}  // namespace quenvar::app

#endif  // QUENVAR_APP_CONTROLLERS_SEL_FLASH_MEM_DLG_H_
