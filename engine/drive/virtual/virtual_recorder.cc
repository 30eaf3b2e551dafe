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

VirtualRecorder::VirtualRecorder(std::shared_ptr<virt::VirtualDevice> device)
    : device_(std::move(device)) {}

VirtualRecorder::~VirtualRecorder() {
  device_->Release(this);
}

int VirtualRecorder::ClaimExclusive() {
  return device_->Claim(this);
}

bool VirtualRecorder::Request(uint32_t code, void* buffer, uint32_t in_size, uint32_t out_size,
                              uint32_t* bytes_returned) {
  return device_->Request(code, buffer, in_size, out_size, bytes_returned);
}

void VirtualRecorder::InjectSense(uint8_t opcode, uint32_t nth, uint8_t key, uint8_t asc,
                                  uint8_t ascq, uint32_t repeat) {
  device_->InjectSense(opcode, nth, key, asc, ascq, repeat);
}
void VirtualRecorder::SetNotReadyForMs(uint32_t milliseconds) { device_->SetNotReadyForMs(milliseconds); }
void VirtualRecorder::SetNotReadyForCommands(uint32_t commands) { device_->SetNotReadyForCommands(commands); }
void VirtualRecorder::PressEjectButton() { device_->PressEjectButton(); }
void VirtualRecorder::RemoveMedium() { device_->RemoveMedium(); }
void VirtualRecorder::CorruptNextData(uint8_t opcode, uint32_t nth, const DataCorruption& corruption) {
  device_->CorruptNextData(opcode, nth, corruption);
}
void VirtualRecorder::ClearFaults() { device_->ClearFaults(); }
uint32_t VirtualRecorder::CommandCount(uint8_t opcode) const { return device_->CommandCount(opcode); }

VirtualRecorder* AsVirtualRecorder(Transport* transport) {
  return dynamic_cast<VirtualRecorder*>(transport);
}

}  // namespace quillden::drive
