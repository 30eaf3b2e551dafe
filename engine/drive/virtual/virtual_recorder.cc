#include "drive/virtual/virtual_recorder.h"

#include "drive/virtual/virtual_device.h"
#include "platform/env.h"

namespace quillden::drive {

std::unique_ptr<Transport> OpenVirtualRecorder(const std::string& backing_path,
                                               const std::string& media_kind, std::string* error) {
  return OpenVirtualRecorder(backing_path, media_kind, quenvar::platform::Env::Default(), error);
}

std::unique_ptr<Transport> OpenVirtualRecorder(const std::string& backing_path,
                                               const std::string& media_kind,
                                               quenvar::platform::Env* env, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  std::shared_ptr<virt::VirtualDevice> device =
      virt::VirtualDevice::Acquire(backing_path, media_kind, env, error);
  if (!device) return nullptr;
  return std::make_unique<VirtualRecorder>(std::move(device));
}

std::unique_ptr<Transport> OpenVirtualRecorder(const std::string& backing_path,
                                               const std::string& media_kind,
                                               const VirtualDriveModel& model, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  std::shared_ptr<virt::VirtualDevice> device = virt::VirtualDevice::Acquire(
      backing_path, media_kind, quenvar::platform::Env::Default(), error, &model);
  if (!device) return nullptr;
  return std::make_unique<VirtualRecorder>(std::move(device));
}

namespace {

uint16_t FamilyOf(uint16_t profile) {
  return profile >= 0x08 && profile <= 0x0A ? 0x08 : 0x10;
}

bool Contains(const std::vector<uint16_t>& list, uint16_t value) {
  for (uint16_t v : list) {
    if (v == value) return true;
  }
  return false;
}

void AddOnce(std::vector<uint16_t>* list, uint16_t value) {
  if (!Contains(*list, value)) list->push_back(value);
}

}  // namespace

bool VirtualDriveModel::Writes(uint16_t profile) const {
  return every_medium || Contains(writes, profile);
}

bool VirtualDriveModel::ReadsFamilyOf(uint16_t profile) const {
  return every_medium || Contains(reads, FamilyOf(profile));
}

bool ParseVirtualDriveModel(const std::string& text, VirtualDriveModel* model, std::string* error) {
  *model = VirtualDriveModel();
  size_t at = 0;
  bool any = false;
  VirtualDriveModel parsed;
  parsed.every_medium = false;
  while (at < text.size()) {
    if (text[at] == ' ') {
      ++at;
      continue;
    }
    size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    const std::string part = text.substr(at, end - at);
    at = end;
    const size_t equals = part.find('=');
    const std::string key = part.substr(0, equals);
    if (equals == std::string::npos || (key != "reads" && key != "writes")) {
      *error = "a drive is declared as reads=LIST writes=LIST, not \"" + part + "\"";
      return false;
    }
    std::string list = part.substr(equals + 1);
    size_t from = 0;
    while (from <= list.size()) {
      size_t bar = list.find('|', from);
      if (bar == std::string::npos) bar = list.size();
      const std::string name = list.substr(from, bar - from);
      from = bar + 1;
      std::vector<uint16_t> profiles;
      if (key == "reads") {
        if (name == "cd" || name == "cd-rom") profiles = {0x08};
        if (name == "dvd" || name == "dvd-rom") profiles = {0x10};
      } else if (name == "cd") {
        profiles = {0x09, 0x0A};
      } else if (name == "cd-r") {
        profiles = {0x09};
      } else if (name == "cd-rw") {
        profiles = {0x0A};
      } else if (name == "dvd-r") {
        profiles = {0x11};
      } else if (name == "dvd-rw") {
        profiles = {0x13, 0x14};
      } else if (name == "dvd+r") {
        profiles = {0x1B};
      } else if (name == "dvd+rw") {
        profiles = {0x1A};
      } else if (name == "dvd+r-dl") {
        profiles = {0x2B};
      } else if (name == "dvd-r-dl") {
        profiles = {0x15, 0x16};
      }
      if (profiles.empty()) {
        *error = "the drive cannot " + std::string(key == "reads" ? "read" : "write") + " \"" +
                 name + "\"";
        return false;
      }
      for (uint16_t p : profiles) {
        if (key == "writes") AddOnce(&parsed.writes, p);
        AddOnce(&parsed.reads, FamilyOf(p));
      }
    }
    any = true;
  }
  if (any) *model = parsed;
  return true;
}

VirtualRecorder::VirtualRecorder(std::shared_ptr<virt::VirtualDevice> device)
    : device_(std::move(device)) {}

VirtualRecorder::~VirtualRecorder() {
  device_->Release(this);
}

int VirtualRecorder::ClaimExclusive() {
  return device_->Claim(this);
}

void VirtualRecorder::ReleaseExclusive() {
  device_->Release(this);
}

bool VirtualRecorder::Request(uint32_t code, void* buffer, uint32_t in_size, uint32_t out_size,
                              uint32_t* bytes_returned) {
  return device_->Request(code, buffer, in_size, out_size, bytes_returned);
}

void VirtualRecorder::InjectSense(uint8_t opcode, uint32_t nth, uint8_t key, uint8_t asc,
                                  uint8_t ascq, uint32_t repeat) {
  device_->InjectSense(opcode, nth, key, asc, ascq, repeat);
}
void VirtualRecorder::SetNotReadyForMs(uint32_t milliseconds) {
  device_->SetNotReadyForMs(milliseconds);
}
void VirtualRecorder::SetNotReadyForCommands(uint32_t commands) {
  device_->SetNotReadyForCommands(commands);
}
void VirtualRecorder::PressEjectButton() {
  device_->PressEjectButton();
}
void VirtualRecorder::RemoveMedium() {
  device_->RemoveMedium();
}
void VirtualRecorder::CorruptNextData(uint8_t opcode, uint32_t nth,
                                      const DataCorruption& corruption) {
  device_->CorruptNextData(opcode, nth, corruption);
}
void VirtualRecorder::ClearFaults() {
  device_->ClearFaults();
}
uint32_t VirtualRecorder::CommandCount(uint8_t opcode) const {
  return device_->CommandCount(opcode);
}

VirtualRecorder* AsVirtualRecorder(Transport* transport) {
  return dynamic_cast<VirtualRecorder*>(transport);
}

}  // namespace quillden::drive
