// What the reader makes of one directory entry of a disc, whichever file system it came from, and
// the small decoders every file system needs: recording times and names.
#ifndef QUILLDEN_FILESYSTEMS_READER_DISC_ITEM_H_
#define QUILLDEN_FILESYSTEMS_READER_DISC_ITEM_H_

#include <cstdint>
#include <string>
#include <vector>

#include "quillden/types.h"

namespace quillden::reader {

// One run of a file's content. Unrecorded runs (UDF sparse extents) read as zeros.
struct Extent {
  uint32_t block = 0;  // absolute logical block
  uint32_t bytes = 0;
  bool recorded = true;
};

struct DiscItem {
  std::u16string name;
  bool folder = false;
  uint64_t size = 0;  // content bytes (folders: directory bytes)
  FILETIME creation{};
  FILETIME last_access{};
  FILETIME last_write{};
  std::vector<Extent> extents;  // files: the content; ISO 9660 folders: the directory
  uint32_t icb_block = 0;       // UDF: absolute block of the file entry
  // UDF files whose content sits inside the file entry.
  std::vector<uint8_t> embedded;
  bool is_embedded = false;
};

// A FILETIME (100 ns since 1601-01-01 UTC) for a civil date and time that is offset_minutes ahead
// of UTC. Impossible dates give the zero time.
FILETIME CivilToFileTime(int year, int month, int day, int hour, int minute, int second,
                         int offset_minutes, uint32_t hundred_ns = 0);
// ECMA-119 9.1.5: the 7-byte recording date of a directory record.
FILETIME IsoRecordTime(const uint8_t* p);
// ECMA-167 1/7.3: a 12-byte timestamp.
FILETIME UdfTimestamp(const uint8_t* p);

// OSTA compressed Unicode (compression ID 8: one byte per unit; 16: big-endian units). False for
// any other ID or an odd length with ID 16.
bool DecodeOstaName(const uint8_t* p, size_t length, std::u16string* name);
// A dstring: a field of size bytes whose last byte holds the used length.
std::u16string DecodeDstring(const uint8_t* p, size_t size);
// A big-endian UCS-2 identifier.
std::u16string DecodeUcs2Be(const uint8_t* p, size_t length);
// A byte identifier (ISO 9660 d-characters and the ANSI code page's single-byte characters).
std::u16string DecodeBytes(const uint8_t* p, size_t length);
// Drops trailing spaces (volume identifiers are padded).
std::u16string TrimRight(std::u16string text);

}  // namespace quillden::reader

#endif  // QUILLDEN_FILESYSTEMS_READER_DISC_ITEM_H_
