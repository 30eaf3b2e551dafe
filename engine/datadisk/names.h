// The shortening and mending rules of entry names (the hash, comparisons and the bad-character test
// are declared in datadisk.h).
#ifndef QUILLDEN_DATADISK_NAMES_H_
#define QUILLDEN_DATADISK_NAMES_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace quillden {

// A name of 109 characters or more cut to 108: the extension (from the last ".") is kept when it
// has at most 108 characters and the part before it cut; a name without one keeps its first 108.
std::u16string ShortenName(std::u16string_view name);

// Shortens a long name and turns every ";" into "_". True when the name changed.
bool NormaliseName(std::u16string* name);

// "." or "..": every reader of a disc takes such a folder for the folder itself or its parent, and
// extractors refuse it or climb out of their target with it, so no entry on a disc is so named.
bool IsDotName(std::u16string_view name);

// The name a colliding entry takes: base, counter in lower-case hexadecimal, extension; cut so that
// it never passes 108 characters.
std::u16string CounterName(std::u16string_view normalised, uint32_t counter);

}  // namespace quillden

#endif  // QUILLDEN_DATADISK_NAMES_H_
