#include "filesystems/iso9660_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "util/byte_order.h"

namespace quillden::fs {
namespace {

IsoTime SampleTime() { return IsoTime{2009, 7, 14, 13, 5, 42, 36}; }

TEST(DirectoryRecordTest, LayoutAndPadding) {
  std::vector<uint8_t> buffer(64, 0xEE);
  DirectoryRecord record;
  record.location = 0x01020304;
  record.data_length = 0xFFFFFFFF;
  record.date = SampleTime();
  record.flags = 0;
  record.identifier = "A.TXT;1";  // 7 bytes: 40, padded to 40 (even already)
  EXPECT_EQ(PutDirectoryRecord(buffer.data(), record), 40u);
  EXPECT_EQ(buffer[0], 40);
  EXPECT_EQ(GetLe32(buffer.data() + 2), 0x01020304u);
  EXPECT_EQ(GetBe32(buffer.data() + 6), 0x01020304u);
  EXPECT_EQ(GetLe32(buffer.data() + 10), 0xFFFFFFFFu);
  EXPECT_EQ(GetBe32(buffer.data() + 14), 0xFFFFFFFFu);
  const uint8_t date[7] = {109, 7, 14, 13, 5, 42, 36};
  EXPECT_EQ(std::memcmp(buffer.data() + 18, date, 7), 0);
  EXPECT_EQ(GetLe16(buffer.data() + 28), 1);
  EXPECT_EQ(GetBe16(buffer.data() + 30), 1);
  EXPECT_EQ(buffer[32], 7);
  EXPECT_EQ(std::memcmp(buffer.data() + 33, "A.TXT;1", 7), 0);
  EXPECT_EQ(buffer[40], 0xEE);  // nothing written past the record

  record.identifier = "AB.TXT;1";  // 33 + 8 = 41: one pad byte
  EXPECT_EQ(PutDirectoryRecord(buffer.data(), record), 42u);
  EXPECT_EQ(buffer[41], 0);
  EXPECT_EQ(DirectoryRecordLength(1), 34u);
  EXPECT_EQ(DirectoryRecordLength(216 + 4), 253u + 1);  // 33 + 220 = 253, padded
}

TEST(PathTableRecordTest, BothByteOrders) {
  uint8_t l[16] = {}, m[16] = {};
  EXPECT_EQ(PutPathTableRecord(l, false, 0x11223344, 0x0203, "ABC"), 12u);
  EXPECT_EQ(PutPathTableRecord(m, true, 0x11223344, 0x0203, "ABC"), 12u);
  EXPECT_EQ(l[0], 3);
  EXPECT_EQ(GetLe32(l + 2), 0x11223344u);
  EXPECT_EQ(GetLe16(l + 6), 0x0203);
  EXPECT_EQ(GetBe32(m + 2), 0x11223344u);
  EXPECT_EQ(GetBe16(m + 6), 0x0203);
  EXPECT_EQ(std::memcmp(l + 8, "ABC", 3), 0);
  EXPECT_EQ(l[11], 0);
  EXPECT_EQ(PathTableRecordLength(1), 10u);
}

VolumeFields SampleFields() {
  VolumeFields fields;
  fields.label_ansi = "BACKUP_2009";
  fields.label_joliet = u"BACKUP_2009";
  fields.volume_space_size = 304;
  fields.path_table_size = 10;
  fields.l_path_table_block = 19;
  fields.m_path_table_block = 20;
  fields.root_block = 21;
  fields.root_length = 2048;
  fields.volume_time = SampleTime();
  return fields;
}

TEST(VolumeDescriptorTest, Primary) {
  std::vector<uint8_t> block(2048, 0xEE);
  PutPrimaryDescriptor(block.data(), SampleFields());
  const uint8_t* b = block.data();
  EXPECT_EQ(b[0], 1);
  EXPECT_EQ(std::memcmp(b + 1, "CD001", 5), 0);
  EXPECT_EQ(b[6], 1);
  EXPECT_EQ(b[7], 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 8), 32), std::string(32, ' '));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 40), 32),
            "BACKUP_2009" + std::string(21, ' '));
  EXPECT_EQ(GetLe32(b + 80), 304u);
  EXPECT_EQ(GetBe32(b + 84), 304u);
  EXPECT_EQ(b[88], 0);  // no escape sequences
  EXPECT_EQ(GetLe16(b + 120), 1);
  EXPECT_EQ(GetLe16(b + 124), 1);
  EXPECT_EQ(GetLe16(b + 128), 2048);
  EXPECT_EQ(GetBe16(b + 130), 2048);
  EXPECT_EQ(GetLe32(b + 132), 10u);
  EXPECT_EQ(GetLe32(b + 140), 19u);
  EXPECT_EQ(GetLe32(b + 144), 0u);
  EXPECT_EQ(GetBe32(b + 148), 20u);
  EXPECT_EQ(b[156], 34);
  EXPECT_EQ(GetLe32(b + 156 + 2), 21u);
  EXPECT_EQ(GetLe32(b + 156 + 10), 2048u);
  EXPECT_EQ(b[156 + 25], 2);
  EXPECT_EQ(b[156 + 32], 1);
  EXPECT_EQ(b[156 + 33], 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 190), 128), std::string(128, ' '));
  std::string application(reinterpret_cast<const char*>(b + 574), 128);
  EXPECT_EQ(application, "*QUILLDEN02000009" + std::string(128 - 17, ' '));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 702), 111), std::string(111, ' '));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 813), 16), "2009071413054200");
  EXPECT_EQ(b[829], 36);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 830), 16), "2009071413054200");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 847), 16), std::string(16, '0'));
  EXPECT_EQ(b[863], 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 864), 16), std::string(16, '0'));
  EXPECT_EQ(b[881], 1);
  for (size_t i = 882; i < 2048; ++i) ASSERT_EQ(b[i], 0) << i;
}

TEST(VolumeDescriptorTest, JolietAndEmptyLabel) {
  std::vector<uint8_t> block(2048, 0xEE);
  VolumeFields fields = SampleFields();
  fields.label_ansi.clear();
  fields.label_joliet.clear();
  PutJolietDescriptor(block.data(), fields);
  const uint8_t* b = block.data();
  EXPECT_EQ(b[0], 2);
  EXPECT_EQ(b[7], 0);
  EXPECT_EQ(std::memcmp(b + 88, "%/E", 3), 0);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(GetBe16(b + 40 + 2 * i), 0x0020) << i;
  for (int i = 0; i < 16; ++i) EXPECT_EQ(GetBe16(b + 8 + 2 * i), 0x0020) << i;
  const char* app = "*QUILLDEN02000009";
  for (int i = 0; i < 17; ++i) EXPECT_EQ(GetBe16(b + 574 + 2 * i), app[i]) << i;
  EXPECT_EQ(GetBe16(b + 574 + 34), 0x0020);
  for (size_t field : {702u, 739u, 776u}) {
    for (int i = 0; i < 18; ++i) EXPECT_EQ(GetBe16(b + field + 2 * i), 0x0020);
    EXPECT_EQ(b[field + 36], 0);
  }
  EXPECT_EQ(b[881], 1);

  std::vector<uint8_t> primary(2048);
  PutPrimaryDescriptor(primary.data(), fields);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(primary.data() + 40), 32),
            std::string(32, ' '));
}

TEST(VolumeDescriptorTest, JolietLabelIsCutTo16Characters) {
  std::vector<uint8_t> block(2048);
  VolumeFields fields = SampleFields();
  fields.label_joliet = u"ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  PutJolietDescriptor(block.data(), fields);
  EXPECT_EQ(GetBe16(block.data() + 40 + 30), u'P');
  EXPECT_EQ(GetBe16(block.data() + 72), 0);  // the field ends at 72
}

TEST(VolumeDescriptorTest, Terminator) {
  std::vector<uint8_t> block(2048, 0xEE);
  PutTerminator(block.data());
  EXPECT_EQ(block[0], 255);
  EXPECT_EQ(std::memcmp(block.data() + 1, "CD001", 5), 0);
  EXPECT_EQ(block[6], 1);
  for (size_t i = 7; i < 2048; ++i) ASSERT_EQ(block[i], 0);
}

TEST(IsoTimeTest, FileTimesAreLocalWithEvenSeconds) {
  setenv("TZ", "CET-1", 1);  // one hour east, no daylight saving
  tzset();
  EXPECT_EQ(TimeZoneOffsetUnits(), 4);
  // 2009-07-14 12:05:43 UTC.
  uint64_t file_time = 116444736000000000ull + 1247573143ull * 10000000ull;
  IsoTime time = FileTimeToIsoTime(file_time);
  EXPECT_EQ(time.year, 2009);
  EXPECT_EQ(time.hour, 13);
  EXPECT_EQ(time.second, 42);
  EXPECT_EQ(time.offset, 4);
  setenv("TZ", "UTC0", 1);
  tzset();
  EXPECT_EQ(TimeZoneOffsetUnits(), 0);
  setenv("TZ", "EST5EDT", 1);
  tzset();
  EXPECT_EQ(TimeZoneOffsetUnits(), -20);  // standard bias only, never the daylight one
  unsetenv("TZ");
  tzset();
}

}  // namespace
}  // namespace quillden::fs
