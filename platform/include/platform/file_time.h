// Platform layer: conversions between POSIX times and file times.
//
// A file time counts 100-ns units since 1601-01-01 UTC; POSIX counts seconds and nanoseconds since
// 1970-01-01 UTC. Times before 1601 clamp to 0 and times beyond the file time range clamp to its
// maximum, so a conversion never wraps. Pure functions, thread-safe.
#ifndef QUENVAR_PLATFORM_FILE_TIME_H_
#define QUENVAR_PLATFORM_FILE_TIME_H_

#include <time.h>

#include <cstdint>

#include "platform/env.h"
#include "quillden/types.h"

namespace quenvar::platform {

// The file time of 1970-01-01 00:00:00 UTC.
inline constexpr FileTime kFileTimeUnixEpoch = 116444736000000000ull;
inline constexpr uint64_t kFileTimeUnitsPerSecond = 10000000ull;

FileTime FileTimeFromTimespec(const timespec& ts);
// Exact for every file time; sub-100-ns parts of a timespec are lost on the way in.
timespec TimespecFromFileTime(FileTime time);
FileTime FileTimeFromUnixSeconds(int64_t seconds);
// Whole seconds since 1970 (rounded towards minus infinity).
int64_t UnixSecondsFromFileTime(FileTime time);

inline FILETIME ToFILETIME(FileTime time) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(time);
  ft.dwHighDateTime = static_cast<DWORD>(time >> 32);
  return ft;
}
inline FileTime FromFILETIME(const FILETIME& ft) {
  return (static_cast<FileTime>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

}  // namespace quenvar::platform

#endif  // QUENVAR_PLATFORM_FILE_TIME_H_
