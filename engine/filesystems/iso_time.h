// Dates of ISO 9660 and Joliet structures: the 7-byte recording date of directory records and the
// 17-byte date of volume descriptors, both in local time with the offset from Greenwich in
// 15-minute units. The offset is the standard-time offset of the system time zone; daylight saving
// is not applied to it, which keeps every date of one image on the same offset.
#ifndef QUILLDEN_FILESYSTEMS_ISO_TIME_H_
#define QUILLDEN_FILESYSTEMS_ISO_TIME_H_

#include <cstdint>

namespace quenvar::platform {
class Env;
}

namespace quillden::fs {

// A local date and time with the offset that goes with it on disc.
struct IsoTime {
  int year = 1980;  // full year
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int8_t offset = 0;  // 15-minute units east of Greenwich
};

// Minus the standard-time bias of the system time zone, in 15-minute units.
int8_t TimeZoneOffsetUnits();

// A file time (100-ns units since 1601, UTC) in local time, with seconds made even as the DOS date
// and time format keeps them; a time before 1980 becomes 1980-01-01, one past the calendar of the
// platform's local time the last day of that calendar. Reads the time zone on every call; a layout
// converts through one IsoTimeConverter instead.
IsoTime FileTimeToIsoTime(uint64_t file_time);

// FileTimeToIsoTime with the time zone read once, when the converter is made: every record of one
// layout carries the same offset, and re-reading the zone per record costs a file system check.
class IsoTimeConverter {
 public:
  IsoTimeConverter() : offset_(TimeZoneOffsetUnits()) {}
  IsoTime operator()(uint64_t file_time) const;
  int8_t offset() const { return offset_; }

 private:
  int8_t offset_;
};

// The current local time by clock (the volume time of a write job): a data disc reads the clock
// its entries' job date comes from, so one job carries one time.
IsoTime VolumeTimeNow(quenvar::platform::Env* clock);

// ECMA-119 9.1.5: years since 1900, month, day, hour, minute, second, offset.
void PutRecordingDate(uint8_t* p, const IsoTime& time);

// ECMA-119 8.4.26.1: "YYYYMMDDHHMMSScc" digits and the offset byte (17 bytes).
void PutVolumeDate(uint8_t* p, const IsoTime& time);

// The unspecified date of ECMA-119 8.4.26.1: sixteen "0" digits and offset 0.
void PutUnspecifiedVolumeDate(uint8_t* p);

}  // namespace quillden::fs

#endif  // QUILLDEN_FILESYSTEMS_ISO_TIME_H_
