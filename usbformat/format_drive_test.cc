#include "format_drive.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/temp_dir.h"
#include "tarnfold/tarnfold.h"

namespace quenvar::usbformat {
namespace {

TEST(FormatRequest, LetterAndFileSystemChecks) {
  FormatRequest r;
  EXPECT_EQ(ParseRequest('u', u"ntfs", nullptr, &r), TF_OK);
  EXPECT_EQ(r.letter, 'U');
  EXPECT_EQ(r.file_system, FileSystem::kNtfs);
  EXPECT_FALSE(r.has_label);
  EXPECT_EQ(ParseRequest(0xABCD0000u | 'Z', u"Fat32", u"", &r), TF_OK);  // upper bits ignored
  EXPECT_EQ(r.file_system, FileSystem::kFat32);
  EXPECT_FALSE(r.has_label);
  for (uint32_t bad : {uint32_t('@'), uint32_t('['), uint32_t('`'), uint32_t('{'), uint32_t('1'),
                       0u, 0x0100u | 'A'}) {
    EXPECT_EQ(ParseRequest(bad, u"FAT32", nullptr, &r), TF_E_INVALID_ARGUMENT) << bad;
  }
  for (const char16_t* fs : {u"FAT", u"FAT32 ", u"exFAT", u"NTFS5", u""}) {
    EXPECT_EQ(ParseRequest('E', fs, nullptr, &r), TF_E_INVALID_ARGUMENT);
  }
  EXPECT_EQ(ParseRequest('E', nullptr, nullptr, &r), TF_E_INVALID_ARGUMENT);
}

TEST(FormatRequest, LabelsAreCutWithoutSplittingPairs) {
  EXPECT_EQ(CutLabel(u"ABCDEFGHIJKLM"), u"ABCDEFGHIJKL");
  // A pair that would straddle the twelfth unit is dropped whole.
  std::u16string eleven_and_pair = std::u16string(11, u'x') + u"\U0001F600";
  EXPECT_EQ(CutLabel(eleven_and_pair), std::u16string(11, u'x'));
  std::u16string ten_and_pair = std::u16string(10, u'x') + u"\U0001F600" + u"y";
  EXPECT_EQ(CutLabel(ten_and_pair), ten_and_pair.substr(0, 12));

  FormatRequest r;
  ASSERT_EQ(ParseRequest('U', u"NTFS", u"RECOVERY-DISK", &r), TF_OK);
  EXPECT_EQ(r.label, "RECOVERY-DIS");
  ASSERT_EQ(ParseRequest('U', u"FAT32", u"RECOVERY-DISK", &r), TF_OK);
  EXPECT_EQ(r.label, "RECOVERY-DI");  // the room of a FAT label
  ASSERT_EQ(ParseRequest('U', u"NTFS", u"Caf\u00e9", &r), TF_OK);
  EXPECT_EQ(r.label, "Caf\xc3\xa9");
}

TEST(FormatRequest, FatLabelsAreStoredInTheOemCodePage) {
  EXPECT_EQ(OemCodePage(1252), 850u);
  EXPECT_EQ(OemCodePage(932), 932u);
  EXPECT_EQ(OemCodePage(949), 949u);
  EXPECT_EQ(OemCodePage(0), 850u);
  // Western letters are in code page 850; Japanese is not, and becomes "_" there.
  EXPECT_EQ(FatLabel(u"\u00c9", 850), "\u00c9");
  EXPECT_EQ(FatLabel(u"\u00c9T\u00c9 \u00dc", 850), "\u00c9T\u00c9 \u00dc");
  EXPECT_EQ(FatLabel(u"\u30ea\u30ab\u30d0\u30ea", 932), "\u30ea\u30ab\u30d0\u30ea");
  EXPECT_EQ(FatLabel(u"\u30ea\u30ab\u30d0\u30ea", 850), "____");
  // Characters FAT forbids in labels, control characters and a lone surrogate.
  EXPECT_EQ(FatLabel(u"A.B*C?D\"E[F]\tG", 850), "A_B_C_D_E_F");
  EXPECT_EQ(FatLabel(std::u16string(u"X") + char16_t(0xD800) + u"Y", 850), "X_Y");
  // Eleven bytes: a double-byte character that would straddle the end is dropped whole.
  EXPECT_EQ(FatLabel(u"\u30ea\u30ab\u30d0\u30ea\u30ea\u30ab", 932),
            "\u30ea\u30ab\u30d0\u30ea\u30ea");
  EXPECT_EQ(FatLabel(u"ABCDEFGHIJKL", 850), "ABCDEFGHIJK");
  EXPECT_EQ(FatLabel(u"AB  ", 850), "AB");
  EXPECT_EQ(FatLabel(u"", 850), "");

  FormatRequest r;
  ASSERT_EQ(ParseRequest('U', u"FAT32", u"\u00c9T\u00c9 \u00dc", &r), TF_OK);
  EXPECT_TRUE(r.has_label);
  EXPECT_EQ(r.label, "\u00c9T\u00c9 \u00dc");
  ASSERT_EQ(ParseRequest('U', u"NTFS", u"\u30ea\u30ab\u30d0\u30ea", &r), TF_OK);
  EXPECT_EQ(r.label, "\u30ea\u30ab\u30d0\u30ea");  // NTFS keeps Unicode labels
}

TEST(FormatRequest, ToolCommandsAndScript) {
  FormatRequest r;
  ASSERT_EQ(ParseRequest('U', u"FAT32", u"DATA", &r), TF_OK);
  EXPECT_EQ(FormatterCommand(r, "/dev/sdz1"),
            (std::vector<std::string>{"mkfs.vfat", "-F", "32", "--codepage=850", "-n", "DATA",
                                      "/dev/sdz1"}));
  ASSERT_EQ(ParseRequest('U', u"FAT32", nullptr, &r), TF_OK);
  EXPECT_EQ(FormatterCommand(r, "/dev/sdz1"),
            (std::vector<std::string>{"mkfs.vfat", "-F", "32", "/dev/sdz1"}));
  // mkfs.vfat refuses label bytes above 0x7F: such a label is written over a placeholder.
  ASSERT_EQ(ParseRequest('U', u"FAT32", u"\u00c9T\u00c9", &r), TF_OK);
  EXPECT_EQ(r.oem_label, "\x90T\x90");
  EXPECT_EQ(FormatterCommand(r, "/dev/sdz1"),
            (std::vector<std::string>{"mkfs.vfat", "-F", "32", "--codepage=850", "-n",
                                      kFatLabelPlaceholder, "/dev/sdz1"}));
  ASSERT_EQ(ParseRequest('U', u"NTFS", nullptr, &r), TF_OK);
  EXPECT_EQ(FormatterCommand(r, "/dev/sdz1"),
            (std::vector<std::string>{"mkntfs", "-Q", "/dev/sdz1"}));
  // With the partition's place on the drive, the boot sector can record it.
  PartitionPlacement placement;
  placement.start_sector = 2048;
  placement.bytes_per_sector = 512;
  placement.heads = 255;
  placement.sectors_per_track = 63;
  EXPECT_EQ(FormatterCommand(r, "/dev/sdz1", placement),
            (std::vector<std::string>{"mkntfs", "-Q", "-s", "512", "-p", "2048", "-H", "255", "-S",
                                      "63", "/dev/sdz1"}));
  EXPECT_EQ(PartitionScript(FileSystem::kFat32), "label: dos\n\n,,c,*\n");
  EXPECT_EQ(PartitionScript(FileSystem::kNtfs), "label: dos\n\n,,7,*\n");
}

TEST(RemovableCheck, OnlyUsbEntriesOfTheMapQualify) {
  auto map = platform::DriveMap::Parse(
      "C=fixed:/dev/sda;D=/dev/sr0;E=usb:/nonexistent/sdq;F=usb:/dev/null");
  DiskNode disk;
  EXPECT_EQ(CheckRemovable(map, 'C', &disk), TF_E_NOT_REMOVABLE);
  EXPECT_EQ(CheckRemovable(map, 'D', &disk), TF_E_NOT_REMOVABLE);
  EXPECT_EQ(CheckRemovable(map, 'Q', &disk), TF_E_NOT_REMOVABLE);  // not in the map at all
  EXPECT_EQ(CheckRemovable(map, 'E', &disk), TF_E_OPEN);
  EXPECT_EQ(CheckRemovable(map, 'F', &disk), TF_E_NOT_REMOVABLE);  // not a block device
  // FormatDrive stops at the same checks.
  platform::PlatformVersion v;
  EXPECT_EQ(FormatDrive(map, v, 'C', u"FAT32", nullptr), TF_E_NOT_REMOVABLE);
  EXPECT_EQ(FormatDrive(map, v, '1', u"FAT32", nullptr), TF_E_INVALID_ARGUMENT);
  EXPECT_EQ(FormatDrive(map, v, 'C', u"ext4", nullptr), TF_E_INVALID_ARGUMENT);
}

TEST(FatLabelStep, RefusesWhatMkfsDidNotLeave) {
  platform::ScopedTempDir dir;
  ASSERT_FALSE(dir.path().empty());
  std::string file = dir.Child("volume");
  int fd = open(file.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 1 << 20), 0);
  // No boot sector signature, then a boot sector without the placeholder: nothing is written.
  EXPECT_FALSE(WriteFatLabel(fd, "\x90T\x90"));
  const unsigned char signature[2] = {0x55, 0xAA};
  ASSERT_EQ(pwrite(fd, signature, 2, 510), 2);
  EXPECT_FALSE(WriteFatLabel(fd, "\x90T\x90"));
  EXPECT_FALSE(WriteFatLabel(fd, "TWELVE BYTES"));
  char byte = 1;
  EXPECT_EQ(pread(fd, &byte, 1, 71), 1);
  EXPECT_EQ(byte, 0);
  close(fd);
}

TEST(BootRecordStep, ChecksBeforeWriting) {
  EXPECT_EQ(RewriteBootRecord(-1, u"FAT32", 0), TF_E_NO_DRIVE);
  platform::ScopedTempDir dir;
  ASSERT_FALSE(dir.path().empty());
  std::string file = dir.Child("disk");
  int fd = open(file.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 1 << 20), 0);
  EXPECT_EQ(RewriteBootRecord(fd, u"exFAT", 0), TF_E_FILE_SYSTEM);
  EXPECT_EQ(RewriteBootRecord(fd, u"NTFS", 4), TF_E_PARTITION_INDEX);
  // A plain file has no block device size or sector size.
  EXPECT_EQ(RewriteBootRecord(fd, u"NTFS", 0), TF_E_GEOMETRY);
  char byte = 1;
  EXPECT_EQ(pread(fd, &byte, 1, 510), 1);
  EXPECT_EQ(byte, 0);  // nothing written
  close(fd);
}

}  // namespace
}  // namespace quenvar::usbformat
