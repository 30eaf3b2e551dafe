// DRV_OpenDrive, DRV_CloseDrive, DRV_GetDriveNumber, DRV_GetDeviceInfo,
// DRV_GetDeviceSpecifications.
#include <algorithm>
#include <functional>
#include <new>
#include <vector>

#include "drive/drive_handle.h"
#include "drive/driver_control.h"
#include "drive/lock_monitor_hooks.h"
#include "drive/media_queries.h"
#include "drive/mmc_commands.h"
#include "drive/mmc_vocabulary.h"
#include "drive/profiles.h"
#include "quillden/drive.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::drive {
namespace {

// INQUIRY strings are ASCII by the standard; other bytes are taken as Latin-1 so nothing is lost.
void CopyInquiryText(const uint8_t* text, size_t length, WCHAR* out) {
  for (size_t i = 0; i < length; ++i) out[i] = static_cast<WCHAR>(text[i]);
  out[length] = 0;
}

// Sorts speeds fastest first without duplicates; copies up to capacity; returns the distinct count.
uint32_t StoreSpeeds(std::vector<uint32_t> speeds, DWORD* out, uint32_t capacity) {
  std::sort(speeds.begin(), speeds.end(), std::greater<uint32_t>());
  speeds.erase(std::unique(speeds.begin(), speeds.end()), speeds.end());
  if (out != nullptr) {
    for (size_t i = 0; i < speeds.size() && i < capacity; ++i) out[i] = speeds[i];
  }
  return static_cast<uint32_t>(speeds.size());
}

uint32_t DeviceSpecifications(HANDLE drive, _DEVICESPECIFICATIONS* spec) {
  spec->dwCurrentMedia = 0;
  spec->dwReadableMedia = 0;
  spec->dwWritableMedia = 0;

  // Capabilities mode page (0x2A): read bits in page byte 2, write bits in page byte 3.
  uint8_t page[38] = {};
  if (ModeSense10(drive, mmc::kModePageCapabilities, page, sizeof(page)) == QD_OK) {
    const uint32_t offset = 8 + std::min<uint32_t>(GetBe16(page + 6), 8);
    if (offset + 4 <= sizeof(page) &&
        (page[offset] & mmc::kModePageCodeMask) == mmc::kModePageCapabilities) {
      const uint8_t read = page[offset + 2];
      const uint8_t write = page[offset + 3];
      if (read & 0x01) spec->dwReadableMedia |= MEDIA_CDR;
      if (read & 0x02) spec->dwReadableMedia |= MEDIA_CDRW;
      if (read & 0x08) spec->dwReadableMedia |= MEDIA_DVDROM;
      if (read & 0x10) spec->dwReadableMedia |= MEDIA_DVDR;
      if (read & 0x20) spec->dwReadableMedia |= MEDIA_DVDRAM;
      if (write & 0x01) spec->dwWritableMedia |= MEDIA_CDR;
      if (write & 0x02) spec->dwWritableMedia |= MEDIA_CDRW;
      if (write & 0x10) spec->dwWritableMedia |= MEDIA_DVDR;
      if (write & 0x20) spec->dwWritableMedia |= MEDIA_DVDRAM;
    }
  }

  // Profile list (feature 0).
  using namespace mmc;
  std::vector<uint8_t> list(256);
  uint32_t result =
      GetConfiguration(drive, kFeatureProfileList, list.data(), static_cast<uint16_t>(list.size()));
  if (result != QD_OK) return result;
  spec->dwCurrentMedia = ProfileToMediaFlag(CurrentProfile(drive));
  const uint8_t* feature = list.data() + kConfigFirstFeature;
  if (GetBe16(feature + kFeatureCode) == kFeatureProfileList) {
    const uint32_t descriptors = feature[kFeatureAdditionalLength] / kProfileDescriptorSize;
    const size_t first = kConfigFirstFeature + kFeatureData;
    for (uint32_t i = 0; i < descriptors && first + (i + 1) * kProfileDescriptorSize <= list.size();
         ++i) {
      const uint16_t p = GetBe16(list.data() + first + i * kProfileDescriptorSize);
      const uint32_t flag = ProfileToMediaFlag(p);
      switch (p) {
        case kProfileCdRom:
        case kProfileHdDvdRom:
          spec->dwReadableMedia |= flag;
          break;
        case kProfileDvdMinusRwOverwrite:
        case kProfileDvdMinusRwSequential:
        case kProfileDvdMinusRDlSequential:
        case kProfileDvdPlusRw:
        case kProfileDvdPlusR:
        case kProfileDdcdRom:
        case kProfileDdcdR:
        case kProfileDdcdRw:
        case kProfileDvdPlusRDl:
          spec->dwReadableMedia |= flag;
          spec->dwWritableMedia |= flag;
          break;
        case kProfileDvdMinusRDlJump: {
          spec->dwReadableMedia |= flag;
          uint8_t jump[16] = {};
          if (GetConfiguration(drive, kFeatureLayerJumpRecording, jump, sizeof(jump)) == QD_OK &&
              GetBe32(jump + kConfigDataLength) > 4) {
            spec->dwWritableMedia |= flag;
          }
          break;
        }
        default:
          break;
      }
    }
  }

  // HD DVD read and write features: bit 0 of feature bytes 4, 5, 6, 8, 9.
  static constexpr struct {
    uint32_t offset;
    uint32_t flag;
  } kHdDvdBits[] = {{4, MEDIA_HDDVDR},
                    {5, MEDIA_HDDVDR_DL},
                    {6, MEDIA_HDDVDRAM},
                    {8, MEDIA_HDDVDRW},
                    {9, MEDIA_HDDVDRW_DL}};
  for (uint16_t code : {kFeatureHdDvdRead, kFeatureHdDvdWrite}) {
    uint8_t data[20] = {};
    result = GetConfiguration(drive, code, data, sizeof(data));
    if (result != QD_OK) return result;
    const uint8_t* hd_dvd = data + kConfigFirstFeature;
    if (GetBe32(data + kConfigDataLength) <= 4 || GetBe16(hd_dvd + kFeatureCode) != code) continue;
    for (const auto& bit : kHdDvdBits) {
      if (hd_dvd[bit.offset] & 0x01) {
        (code == kFeatureHdDvdRead ? spec->dwReadableMedia : spec->dwWritableMedia) |= bit.flag;
      }
    }
  }

  uint32_t read[50] = {};
  uint32_t write[50] = {};
  const uint32_t count = GetPerformance(drive, read, write, 50);
  spec->dwReadSpeeds =
      StoreSpeeds(std::vector<uint32_t>(read, read + count), spec->pReadSpeeds, spec->dwReadSpeeds);
  spec->dwWriteSpeeds = StoreSpeeds(std::vector<uint32_t>(write, write + count), spec->pWriteSpeeds,
                                    spec->dwWriteSpeeds);
  return QD_OK;
}

}  // namespace
}  // namespace quillden::drive

using namespace quillden::drive;

QUILLDEN_EXTERN_C QUILLDEN_API HANDLE DRV_OpenDrive(DWORD driveNumber) {
  if (driveNumber < 1 || driveNumber > 26) return nullptr;
  return OpenDriveNumber(driveNumber);
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD DRV_CloseDrive(HANDLE drive) {
  if (!DriveFromHandle(drive)) return QD_E_INVALID_HANDLE;
  const uint32_t number = DriveNumberOf(drive);
  DRV_LockMedia(nullptr, drive, FALSE, 0);
  const uint32_t result = CloseDriveHandle(drive);
  if (result != QD_OK) return QD_E_CLOSE_DRIVE;
  if (number != 0 && QueryRecordingState(number) == 1) NotifyRecordingEnd(number);
  return QD_OK;
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD DRV_GetDriveNumber(HANDLE drive) {
  return DriveNumberOf(drive);
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD DRV_GetDeviceInfo(HANDLE drive, _DEVICEINFO* info) {
  if (!DriveFromHandle(drive)) return QD_E_INVALID_HANDLE;
  if (info == nullptr || info == INVALID_HANDLE_VALUE) return QD_E_INVALID_ARGUMENT;
  uint8_t data[36] = {};
  const uint32_t result = Inquiry(drive, data);
  if (result != QD_OK) return result;
  info->wDeviceType = data[0] & 0x1F;
  CopyInquiryText(data + 8, 8, info->szVendor);
  CopyInquiryText(data + 16, 16, info->szProduct);
  CopyInquiryText(data + 32, 4, info->szRevision);
  return QD_OK;
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD DRV_GetDeviceSpecifications(HANDLE drive,
                                                                 _DEVICESPECIFICATIONS* spec) {
  if (!DriveFromHandle(drive)) return QD_E_INVALID_HANDLE;
  if (spec == nullptr || reinterpret_cast<HANDLE>(spec) == INVALID_HANDLE_VALUE)
    return QD_E_INVALID_ARGUMENT;
  try {
    return DeviceSpecifications(drive, spec);
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}
