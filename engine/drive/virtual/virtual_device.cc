// The virtual device: one per backing file in a process, shared by every transport opened on it;
// its clock and busy periods, media events, and the calls of tests (faults) and of the
// administration (medium, tray, timing).
#include "drive/virtual/virtual_device.h"

#include <unistd.h>

#include <filesystem>
#include <map>

#include "drive/virtual/device_internal.h"
#include "quillden/result.h"

namespace quillden::drive::virt {

using quenvar::platform::Env;

namespace {

quenvar::platform::Mutex g_registry_mu;
std::map<std::string, std::weak_ptr<VirtualDevice>>& Registry() REQUIRES(g_registry_mu) {
  static auto* registry = new std::map<std::string, std::weak_ptr<VirtualDevice>>();
  return *registry;
}

}  // namespace

VirtualDevice::VirtualDevice(std::string backing_path, Env* env)
    : backing_path_(std::move(backing_path)), env_(env) {
  static_assert(sizeof(write_page_) == mmc::kWritePageLength + 2);
  FillDefaultWritePage(write_page_.data());
}

VirtualDevice::~VirtualDevice() {
  quenvar::platform::MutexLock lock(&mu_);
  if (dirty_) {
    std::string ignored;
    SaveLocked(&ignored);
  }
  if (prevent_fd_ >= 0) ::close(prevent_fd_);
  if (claim_fd_ >= 0) ::close(claim_fd_);
}

std::shared_ptr<VirtualDevice> VirtualDevice::Acquire(const std::string& backing_path,
                                                      const std::string& media_kind, Env* env,
                                                      std::string* error,
                                                      const VirtualDriveModel* model) {
  if (backing_path.empty()) {
    *error = "no backing file given";
    return nullptr;
  }
  std::error_code ec;
  std::string key = std::filesystem::absolute(backing_path, ec).lexically_normal().string();
  if (ec) key = backing_path;
  quenvar::platform::MutexLock lock(&g_registry_mu);
  auto& registry = Registry();
  auto it = registry.find(key);
  if (it != registry.end()) {
    if (auto device = it->second.lock()) return device;
  }
  std::shared_ptr<VirtualDevice> device(new VirtualDevice(key, env));
  if (model != nullptr) {
    // Not shared yet; held so that every touch of the model is under the device mutex.
    quenvar::platform::MutexLock device_lock(&device->mu_);
    device->model_ = *model;
  }
  if (!device->Load(media_kind, error)) return nullptr;
  registry[key] = device;
  return device;
}

uint64_t VirtualDevice::Now() {
  return env_->TickCountMs();
}

bool VirtualDevice::BusyNow(uint16_t* progress) {
  if (state_.background_format == 2 && state_.background_format_started_ms != 0 &&
      Now() - state_.background_format_started_ms >= state_.timing.background_format_ms) {
    state_.background_format = 3;
    dirty_ = true;
  }
  if (busy_ == Busy::kNone) return false;
  const uint64_t elapsed = Now() - busy_start_ms_;
  if (elapsed >= busy_duration_ms_) {
    busy_ = Busy::kNone;
    return false;
  }
  *progress = static_cast<uint16_t>(std::min<uint64_t>(65535, elapsed * 65536 / busy_duration_ms_));
  return true;
}

void VirtualDevice::StartBusy(Busy kind, uint32_t duration_ms) {
  if (duration_ms == 0) return;
  busy_ = kind;
  busy_start_ms_ = Now();
  busy_duration_ms_ = duration_ms;
}

void VirtualDevice::QueueMediaEvent(uint8_t code) {
  if (media_events_.size() < 16) media_events_.push_back(code);
}

void VirtualDevice::InjectSense(uint8_t opcode, uint32_t nth, uint8_t key, uint8_t asc,
                                uint8_t ascq, uint32_t repeat) {
  quenvar::platform::MutexLock lock(&mu_);
  faults_.InjectSense(opcode, nth, SenseTriple{key, asc, ascq}, repeat);
}

void VirtualDevice::SetNotReadyForMs(uint32_t milliseconds) {
  quenvar::platform::MutexLock lock(&mu_);
  faults_.SetNotReadyUntil(Now() + milliseconds);
}

void VirtualDevice::SetNotReadyForCommands(uint32_t commands) {
  quenvar::platform::MutexLock lock(&mu_);
  faults_.SetNotReadyForCommands(commands);
}

void VirtualDevice::PressEjectButton() {
  quenvar::platform::MutexLock lock(&mu_);
  QueueMediaEvent(kMediaEventEjectRequest);
  if (RemovalPrevented()) {
    if (catch_eject_) eject_flag_ = true;
    return;
  }
  if (!state_.tray_open) {
    state_.tray_open = true;
    dirty_ = true;
    sao_active_ = false;
    if (state_.has_medium) QueueMediaEvent(kMediaEventRemoval);
  }
  std::string ignored;
  SaveLocked(&ignored);
}

void VirtualDevice::RemoveMedium() {
  quenvar::platform::MutexLock lock(&mu_);
  if (!state_.has_medium) return;
  state_.has_medium = false;
  sao_active_ = false;
  QueueMediaEvent(kMediaEventRemoval);
  std::string ignored;
  SaveLocked(&ignored);
}

void VirtualDevice::CorruptNextData(uint8_t opcode, uint32_t nth,
                                    const DataCorruption& corruption) {
  quenvar::platform::MutexLock lock(&mu_);
  faults_.CorruptNextData(opcode, nth, corruption);
}

void VirtualDevice::ClearFaults() {
  quenvar::platform::MutexLock lock(&mu_);
  faults_.Clear();
}

uint32_t VirtualDevice::CommandCount(uint8_t opcode) const {
  quenvar::platform::MutexLock lock(&mu_);
  return command_counts_[opcode];
}

uint32_t VirtualDevice::ReplaceMedium(const MediaState& medium, std::string* error) {
  quenvar::platform::MutexLock lock(&mu_);
  if (ClaimedElsewhere()) {
    *error = "a job is recording on this drive";
    return QD_E_BUSY;
  }
  MediaState next = medium;
  next.locked = false;
  HoldRemovalLock(false);
  next.timing = state_.timing;
  next.drive_writes_dvd_plus_rw = state_.drive_writes_dvd_plus_rw;
  MediaState previous = state_;
  state_ = next;
  TruncateData();
  busy_ = Busy::kNone;
  sao_active_ = false;
  const uint32_t result = !OpenFiles(error)    ? QD_E_FILE_OPEN
                          : !SaveLocked(error) ? QD_E_WRITE_FILE
                                               : QD_OK;
  if (result != QD_OK) {
    state_ = previous;
    std::string ignored;
    OpenFiles(&ignored);
    return result;
  }
  QueueMediaEvent(state_.medium_present() ? kMediaEventNewMedia : kMediaEventRemoval);
  return QD_OK;
}

uint32_t VirtualDevice::SetTray(bool open, bool force, std::string* error) {
  quenvar::platform::MutexLock lock(&mu_);
  ReloadIfChanged();
  if (open && RemovalPrevented() && !force) {
    *error = "the medium is locked in the drive";
    return QD_E_BUSY;
  }
  if (open) {
    state_.locked = false;
    HoldRemovalLock(false);
  }
  if (state_.tray_open != open) {
    state_.tray_open = open;
    sao_active_ = false;
    if (state_.has_medium) QueueMediaEvent(open ? kMediaEventRemoval : kMediaEventNewMedia);
  }
  return SaveLocked(error) ? QD_OK : QD_E_WRITE_FILE;
}

uint32_t VirtualDevice::ReplaceTiming(const Timing& timing, std::string* error) {
  quenvar::platform::MutexLock lock(&mu_);
  state_.timing = timing;
  return SaveLocked(error) ? QD_OK : QD_E_WRITE_FILE;
}

MediaState VirtualDevice::Snapshot() {
  quenvar::platform::MutexLock lock(&mu_);
  ReloadIfChanged();
  RemovalPrevented();
  uint16_t ignored;
  BusyNow(&ignored);
  return state_;
}

}  // namespace quillden::drive::virt
