#include "app/controllers/sel_flash_mem_dlg.h"

#include "app/controllers/wren_usb_ctrl.h"
#include "app/prompting/error_object.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"

namespace quenvar::app {

std::u16string CSelFlashMemDlg::DeviceLine(const usbmedia::UsbDisk& disk) {
  const uint64_t megabytes = disk.capacity_bytes >> 20;
  return FormatText(u"%s - (%s) %.1fGB",
                    {LoadString(ids::kUsbMassStorage), disk.Description(),
                     UsbGigabytes(megabytes)});
}

int CSelFlashMemDlg::Run(PromptWindow owner, const usbmedia::UsbMediaList* devices,
                         uint64_t required_mb, int32_t* chosen) {
  chosen_ = -1;
  if (devices == nullptr) {
    CErrorObject report(kModuleSelFlashMemDlg, 47, kErrorInternal, {}, 0, owner);
    return -1;
  }
  ChoiceRequest request;
  request.dialog = ids::kDlgSelectFlashMemory;
  request.owner = owner;
  request.can_cancel = true;
  for (const usbmedia::UsbDisk& disk : devices->disks()) {
    if (IsUsbCandidate(disk.capacity_bytes, required_mb)) request.lines.push_back(DeviceLine(disk));
  }
  const int line = CurrentPrompter().Choose(request);
  if (line < 0 || static_cast<size_t>(line) >= request.lines.size()) return kIdCancel;
  chosen_ = line;
  if (chosen) *chosen = line;
  return kIdOk;
}

}  // namespace quenvar::app
