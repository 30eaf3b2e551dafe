// The boot program written into the master boot record of formatted USB media.
//
// 446 bytes (the boot code area in front of the partition table): it loads the first sector of the
// one active partition and jumps to it, or prints "Invalid partition table", "Error loading
// operating system" or "Missing operating system" and halts. Its source is boot_code.S.
#ifndef QUENVAR_USBFORMAT_BOOT_CODE_H_
#define QUENVAR_USBFORMAT_BOOT_CODE_H_

#include <array>
#include <cstddef>
#include <cstdint>

namespace quenvar::usbformat {

inline constexpr size_t kBootCodeSize = 446;

// The boot code area, zero-padded after the program.
const std::array<uint8_t, kBootCodeSize>& BootCode();

}  // namespace quenvar::usbformat

#endif  // QUENVAR_USBFORMAT_BOOT_CODE_H_
