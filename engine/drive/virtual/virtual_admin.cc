#include "drive/virtual/virtual_admin.h"

#include <sstream>

#include "drive/virtual/media_state.h"
#include "drive/virtual/virtual_device.h"
#include "platform/env.h"
#include "quillden/result.h"

namespace quillden::drive {

using virt::MediaState;
using virt::VirtualDevice;

namespace {

// The drive's device, creating an empty drive when the backing file is new.
uint32_t Device(quenvar::platform::Env* env, const std::string& path,
                std::shared_ptr<VirtualDevice>* device, std::string* error) {
  if (path.empty()) {
    *error = "no backing file given";
    return QD_E_INVALID_ARGUMENT;
  }
  *device = VirtualDevice::Acquire(path, "none", env, error);
  return *device ? QD_OK : QD_E_FILE_OPEN;
}

}  // namespace

uint32_t CreateVirtualMedium(quenvar::platform::Env* env, const std::string& backing_path,
                             const std::string& kind, uint32_t capacity, std::string* error) {
  MediaState medium;
  if (!virt::MakeBlankMedium(kind, capacity, &medium, error)) return QD_E_INVALID_ARGUMENT;
  std::shared_ptr<VirtualDevice> device;
  const uint32_t result = Device(env, backing_path, &device, error);
  return result != QD_OK ? result : device->ReplaceMedium(medium, error);
}

uint32_t LoadVirtualMedium(const std::string& backing_path, const std::string& image_path,
                           const std::string& kind, std::string* error) {
  quenvar::platform::Env* env = quenvar::platform::Env::Default();
  quenvar::platform::FileInfo info;
  quenvar::platform::Status st = env->Stat(image_path, true, &info);
  if (!st.ok() || !info.is_regular) {
    *error = "cannot use image " + image_path +
             (st.ok() ? ": not a regular file" : ": " + st.ToString());
    return QD_E_FILE_OPEN;
  }
  std::string chosen = kind;
  if (chosen.empty()) chosen = info.size / 2048 <= 405000 ? "cd-rom" : "dvd-rom";
  if (chosen != "cd-rom" && chosen != "dvd-rom") {
    *error = "pressed media must be \"cd-rom\" or \"dvd-rom\", not \"" + chosen + "\"";
    return QD_E_INVALID_ARGUMENT;
  }
  MediaState medium;
  if (!virt::MakePressedMedium(chosen, image_path, info.size, &medium, error))
    return QD_E_WRONG_FORM;
  std::shared_ptr<VirtualDevice> device;
  const uint32_t result = Device(env, backing_path, &device, error);
  return result != QD_OK ? result : device->ReplaceMedium(medium, error);
}

uint32_t MoveVirtualTray(const std::string& backing_path, bool open, bool force,
                         std::string* error) {
  std::shared_ptr<VirtualDevice> device;
  const uint32_t result = Device(quenvar::platform::Env::Default(), backing_path, &device, error);
  return result != QD_OK ? result : device->SetTray(open, force, error);
}

uint32_t SetVirtualBusyPeriods(const std::string& backing_path, const VirtualTiming& timing,
                               std::string* error) {
  std::shared_ptr<VirtualDevice> device;
  const uint32_t result = Device(quenvar::platform::Env::Default(), backing_path, &device, error);
  if (result != QD_OK) return result;
  const virt::Timing periods = {timing.blank_ms, timing.format_ms, timing.close_ms, timing.flush_ms,
                                timing.background_format_ms};
  return device->ReplaceTiming(periods, error);
}

bool CreateVirtualBlank(quenvar::platform::Env* env, const std::string& backing_path,
                        const std::string& kind, uint32_t capacity, std::string* error) {
  return CreateVirtualMedium(env, backing_path, kind, capacity, error) == QD_OK;
}

bool CreateVirtualBlank(const std::string& backing_path, const std::string& kind, uint32_t capacity,
                        std::string* error) {
  return CreateVirtualBlank(quenvar::platform::Env::Default(), backing_path, kind, capacity, error);
}

bool LoadVirtualImage(const std::string& backing_path, const std::string& image_path,
                      const std::string& kind, std::string* error) {
  return LoadVirtualMedium(backing_path, image_path, kind, error) == QD_OK;
}

bool SetVirtualTray(const std::string& backing_path, bool open, bool force, std::string* error) {
  return MoveVirtualTray(backing_path, open, force, error) == QD_OK;
}

bool SetVirtualTiming(const std::string& backing_path, const VirtualTiming& timing,
                      std::string* error) {
  return SetVirtualBusyPeriods(backing_path, timing, error) == QD_OK;
}

bool DescribeVirtualDrive(const std::string& backing_path, std::string* text, std::string* error) {
  return DescribeVirtualMedium(backing_path, text, error) == QD_OK;
}

uint32_t DescribeVirtualMedium(const std::string& backing_path, std::string* text,
                               std::string* error) {
  std::shared_ptr<VirtualDevice> device;
  const uint32_t result = Device(quenvar::platform::Env::Default(), backing_path, &device, error);
  if (result != QD_OK) return result;
  const MediaState s = device->Snapshot();
  std::ostringstream out;
  out << "backing file: " << backing_path << '\n';
  out << "tray: " << (s.tray_open ? "open" : "closed") << (s.locked ? ", locked" : "") << '\n';
  if (!s.has_medium) {
    out << "medium: none\n";
    *text = out.str();
    return QD_OK;
  }
  out << "medium: " << s.kind << " (" << virt::ProfileName(s.profile) << ")\n";
  out << "capacity: " << s.capacity << " blocks\n";
  if (s.layer0_capacity) out << "layer 0: " << s.layer0_capacity << " blocks\n";
  if (!s.image_path.empty()) out << "image: " << s.image_path << '\n';
  const char* status = "appendable";
  if (s.is_pressed() || s.finalized)
    status = "closed";
  else if (s.profile == mmc::kProfileDvdPlusRw)
    status = s.background_format == 0 ? "blank (unformatted)" : "formatted";
  else if (s.profile == mmc::kProfileDvdMinusRwOverwrite)
    status = "formatted for restricted overwrite";
  else if (s.tracks.empty() && s.closed_sessions == 0)
    status = "blank";
  out << "status: " << status << '\n';
  if (s.profile == mmc::kProfileDvdPlusRw) {
    static const char* kFormat[] = {"none", "stopped", "running", "complete"};
    out << "background format: " << kFormat[s.background_format & 3] << '\n';
  }
  if (s.profile == mmc::kProfileDvdMinusRwOverwrite)
    out << "formatted: " << s.formatted_blocks << " blocks\n";
  out << "sessions closed: " << s.closed_sessions << '\n';
  for (const virt::TrackState& t : s.tracks) {
    out << "track " << t.number << ": session " << t.session << ", start " << t.start << ", "
        << (t.closed || t.reserved ? t.size : t.written) << " blocks, " << t.written << " written, "
        << (t.mode == virt::TrackMode::kAudio   ? "audio"
            : t.mode == virt::TrackMode::kMode2 ? "mode 2"
                                                : "data")
        << (t.closed     ? ", closed"
            : t.reserved ? ", reserved"
                         : ", open")
        << '\n';
  }
  *text = out.str();
  return QD_OK;
}

uint32_t InjectVirtualSense(const std::string& backing_path, uint8_t opcode, uint32_t nth,
                            uint8_t key, uint8_t asc, uint8_t ascq, uint32_t repeat,
                            std::string* error) {
  std::shared_ptr<VirtualDevice> device;
  const uint32_t result =
      Device(quenvar::platform::Env::Default(), backing_path, &device, error);
  if (result != QD_OK) return result;
  // The registry holds drives weakly: when this is the only reference, nobody has the drive open
  // and the fault would be dropped with it at the end of this call.
  if (device.use_count() == 1) {
    *error = "the virtual drive of " + backing_path +
             " is not open in this process; open it first so the fault stays with it";
    return QD_E_INVALID_ARGUMENT;
  }
  device->InjectSense(opcode, nth == 0 ? 1 : nth, key, asc, ascq, repeat == 0 ? 1 : repeat);
  return QD_OK;
}

uint32_t CountVirtualCommands(const std::string& backing_path, uint8_t opcode, uint32_t* count,
                              std::string* error) {
  std::shared_ptr<VirtualDevice> device;
  const uint32_t result =
      Device(quenvar::platform::Env::Default(), backing_path, &device, error);
  if (result != QD_OK) return result;
  *count = device->CommandCount(opcode);
  return QD_OK;
}

}  // namespace quillden::drive
