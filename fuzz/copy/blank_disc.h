// A blank disc in a virtual recorder for the copy fuzz target, its seed maker and its tests: a
// fresh medium of the given kind and capacity with every busy period 0, behind a new drive handle
// the caller closes with DRV_CloseDrive.
#ifndef QUENVAR_FUZZ_COPY_BLANK_DISC_H_
#define QUENVAR_FUZZ_COPY_BLANK_DISC_H_

#include <cstdint>
#include <string>

#include "quillden/types.h"

namespace quenvar::fuzz {

// Large enough for a second CD session behind the first one's lead-out, small enough that filling
// the whole disc stays quick.
inline constexpr uint32_t kBlankDiscBlocks = 12000;

// Replaces whatever the virtual drive at backing_path held. Null with *error on failure.
HANDLE OpenBlankDisc(const std::string& backing_path, const std::string& kind, std::string* error);

}  // namespace quenvar::fuzz

#endif  // QUENVAR_FUZZ_COPY_BLANK_DISC_H_
