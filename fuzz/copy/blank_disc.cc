#include "blank_disc.h"

#include "drive/drive_handle.h"
#include "drive/virtual/virtual_admin.h"
#include "drive/virtual/virtual_recorder.h"

namespace quenvar::fuzz {

HANDLE OpenBlankDisc(const std::string& backing_path, const std::string& kind, std::string* error) {
  namespace drive = quillden::drive;
  drive::VirtualTiming timing;
  timing.blank_ms = timing.format_ms = timing.close_ms = timing.flush_ms = timing.background_format_ms = 0;
  if (!drive::CreateVirtualBlank(backing_path, kind, kBlankDiscBlocks, error) ||
      !drive::SetVirtualTiming(backing_path, timing, error)) {
    return nullptr;
  }
  std::unique_ptr<drive::Transport> transport = drive::OpenVirtualRecorder(backing_path, kind, error);
  if (!transport) return nullptr;
  HANDLE handle = drive::OpenDriveOnTransport(std::move(transport), 0);
  if (!handle) *error = "no drive handle on the virtual recorder";
  return handle;
}

}  // namespace quenvar::fuzz
