#include "platform/file_time.h"

#include <limits>

namespace quenvar::platform {
namespace {

// Seconds from 1601 to 1970.
constexpr int64_t kEpochSeconds = static_cast<int64_t>(kFileTimeUnixEpoch / kFileTimeUnitsPerSecond);
constexpr uint64_t kMaxSeconds = std::numeric_limits<FileTime>::max() / kFileTimeUnitsPerSecond;

}  // namespace

FileTime FileTimeFromTimespec(const timespec& ts) {
  int64_t seconds = static_cast<int64_t>(ts.tv_sec);
  int64_t nanoseconds = ts.tv_nsec;
  // Normalise a negative or oversized nanosecond field.
  seconds += nanoseconds / 1000000000;
  nanoseconds %= 1000000000;
  if (nanoseconds < 0) {
    nanoseconds += 1000000000;
    --seconds;
  }
  if (seconds < -kEpochSeconds) return 0;
  uint64_t since_1601 = static_cast<uint64_t>(seconds + kEpochSeconds);
  if (since_1601 >= kMaxSeconds) return std::numeric_limits<FileTime>::max();
  return since_1601 * kFileTimeUnitsPerSecond + static_cast<uint64_t>(nanoseconds) / 100;
}

timespec TimespecFromFileTime(FileTime time) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(static_cast<int64_t>(time / kFileTimeUnitsPerSecond) - kEpochSeconds);
  ts.tv_nsec = static_cast<long>(time % kFileTimeUnitsPerSecond) * 100;
  return ts;
}

FileTime FileTimeFromUnixSeconds(int64_t seconds) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(seconds);
  return FileTimeFromTimespec(ts);
}

int64_t UnixSecondsFromFileTime(FileTime time) {
  return static_cast<int64_t>(time / kFileTimeUnitsPerSecond) - kEpochSeconds;
}

}  // namespace quenvar::platform
