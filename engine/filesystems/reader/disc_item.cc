#include "filesystems/reader/disc_item.h"

#include "filesystems/layout/ecma119_layout.h"
#include "filesystems/layout/ecma167_layout.h"
#include "util/byte_order.h"

namespace quillden::reader {
namespace {

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

constexpr int64_t kDaysFrom1601To1970 = 134774;

}  // namespace

FILETIME CivilToFileTime(int year, int month, int day, int hour, int minute, int second,
                         int offset_minutes, uint32_t hundred_ns) {
  if (year < 1601 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 ||
      hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60) {
    return FILETIME{};
  }
  int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
                 kDaysFrom1601To1970;
  int64_t seconds =
      days * 86400 + hour * 3600 + minute * 60 + second - int64_t{offset_minutes} * 60;
  if (seconds < 0) return FILETIME{};
  uint64_t value = static_cast<uint64_t>(seconds) * 10000000u + hundred_ns;
  return FILETIME{static_cast<uint32_t>(value), static_cast<uint32_t>(value >> 32)};
}

FILETIME IsoRecordTime(const uint8_t* p) {
  namespace date = fs::ecma119;
  // Offset from GMT in 15-minute steps, -48 to +52.
  int offset = static_cast<int8_t>(p[date::kDateZone]);
  if (offset < -48 || offset > 52) offset = 0;
  return CivilToFileTime(1900 + p[date::kDateYear], p[date::kDateMonth], p[date::kDateDay],
                         p[date::kDateHour], p[date::kDateMinute], p[date::kDateSecond],
                         offset * 15);
}

FILETIME UdfTimestamp(const uint8_t* p) {
  namespace ts = fs::ecma167::timestamp;
  uint16_t type_and_zone = GetLe16(p + ts::kTypeAndZone);
  int offset = 0;
  if ((type_and_zone >> 12) == ts::kTypeLocal) {
    int zone = type_and_zone & 0x0FFF;
    if (zone & 0x800) zone -= 0x1000;  // 12-bit two's complement
    if (zone >= -1440 && zone <= 1440) offset = zone;
  }
  const uint8_t centi = p[ts::kCentiseconds];
  const uint8_t hundreds = p[ts::kHundredsOfMicroseconds];
  const uint8_t micro = p[ts::kMicroseconds];
  uint32_t fraction =
      uint32_t{centi} * 100000u + uint32_t{hundreds} * 1000u + uint32_t{micro} * 10u;
  if (centi > 99 || hundreds > 99 || micro > 99) fraction = 0;
  return CivilToFileTime(GetLe16(p + ts::kYear), p[ts::kMonth], p[ts::kDay], p[ts::kHour],
                         p[ts::kMinute], p[ts::kSecond], offset, fraction);
}

bool DecodeOstaName(const uint8_t* p, size_t length, std::u16string* name) {
  name->clear();
  if (length == 0) return true;
  if (p[0] == fs::ecma167::kCompression8) {
    for (size_t i = 1; i < length; ++i) name->push_back(p[i]);
    return true;
  }
  if (p[0] == fs::ecma167::kCompression16 && (length - 1) % 2 == 0) {
    for (size_t i = 1; i + 1 < length; i += 2)
      name->push_back(static_cast<char16_t>(GetBe16(p + i)));
    return true;
  }
  return false;
}

std::u16string DecodeDstring(const uint8_t* p, size_t size) {
  std::u16string text;
  if (size < 2) return text;
  size_t used = p[size - 1];
  if (used == 0 || used > size - 1) return text;
  if (!DecodeOstaName(p, used, &text)) text.clear();
  return text;
}

std::u16string DecodeUcs2Be(const uint8_t* p, size_t length) {
  std::u16string text;
  for (size_t i = 0; i + 1 < length; i += 2) text.push_back(static_cast<char16_t>(GetBe16(p + i)));
  return text;
}

std::u16string DecodeBytes(const uint8_t* p, size_t length) {
  std::u16string text;
  for (size_t i = 0; i < length; ++i) text.push_back(p[i]);
  return text;
}

std::u16string TrimRight(std::u16string text) {
  while (!text.empty() && (text.back() == u' ' || text.back() == 0)) text.pop_back();
  return text;
}

}  // namespace quillden::reader
