#include "image/disc_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "image/image_writer.h"
#include "platform/env.h"
#include "platform/fault_injection_env.h"
#include "platform/temp_dir.h"
#include "platform/unicode.h"
#include "quillden/image.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::image {
namespace {

using quenvar::platform::Env;
using quenvar::platform::ScopedTempDir;
using quenvar::platform::Utf8ToUtf16;

TrackEntry Track(uint16_t number, uint16_t session, uint32_t start, uint32_t sectors,
                 uint32_t bytes_per_sector, uint32_t mode) {
  TrackEntry entry;
  entry.track_number = number;
  entry.session_number = session;
  entry.start = start;
  entry.sector_count = sectors;
  entry.bytes_per_sector = bytes_per_sector;
  entry.mode = mode;
  return entry;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Writes a planned description followed by data bytes whose value is their offset modulo 251.
void WriteImage(const std::string& path, const ImageDescription& d) {
  std::unique_ptr<quenvar::platform::WritableFile> file;
  ASSERT_TRUE(Env::Default()->OpenWritable(path, quenvar::platform::WriteMode::kCreateOrTruncate, &file).ok());
  ImageFileWriter writer(file.get());
  ASSERT_EQ(writer.Begin(d), QD_OK);
  std::vector<uint8_t> chunk(4096);
  while (writer.written() < d.total_size) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), d.total_size - writer.written()));
    for (size_t i = 0; i < n; ++i) chunk[i] = static_cast<uint8_t>((writer.written() + i) % 251);
    ASSERT_EQ(writer.Append(chunk.data(), n), QD_OK);
  }
  EXPECT_EQ(writer.Append(chunk.data(), 1), QD_E_WRITE_FILE);  // nothing past the planned end
  EXPECT_EQ(writer.Finish(), QD_OK);
  ASSERT_TRUE(file->Close().ok());
}

HANDLE Open(const std::string& path) { return CPY_OpenDiskImage(Utf8ToUtf16(path).c_str()); }

class DiscImageTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }

  // A two-session CD with CD-Text: a mode 1 track, then an audio track; the measurement list
  // reports shorter tracks than the data in the file.
  std::string WriteCdImage(uint32_t extra_flags = 0) {
    ImageDescription d;
    d.profile = 0x0A;
    d.flags = extra_flags;
    d.tracks = {Track(1, 1, 0, 20, kCookedSectorSize, kModeData1),
                Track(2, 2, 11400, 7, kRawSectorSize, kModeAudio)};
    d.measured = d.tracks;
    d.measured[0].sector_count = 18;
    d.measured[1].sector_count = 5;
    d.cd_text.assign(18 * 3, 0x8F);
    EXPECT_TRUE(PlanMultiTrackImage(&d));
    std::string path = dir_.Child("cd.wvm");
    WriteImage(path, d);
    return path;
  }

  ScopedTempDir dir_;
};

TEST_F(DiscImageTest, MultiTrackImageRoundTrip) {
  std::string path = WriteCdImage(kFlagAppendable | kFlagIncompleteSession);
  std::string why;
  std::shared_ptr<DiscImage> image = DiscImage::Open(Env::Default(), Utf8ToUtf16(path), &why);
  ASSERT_TRUE(image) << why;
  ASSERT_EQ(image->tracks().size(), 2u);
  EXPECT_EQ(image->total_sectors(), 27u);
  EXPECT_EQ(image->tracks()[1].data_offset, image->tracks()[0].data_offset + 20 * 2048);
  std::vector<uint8_t> packs;
  ASSERT_EQ(image->ReadCdText(&packs), QD_OK);
  EXPECT_EQ(packs, std::vector<uint8_t>(54, 0x8F));

  // Track data is where the first list says.
  std::vector<uint8_t> file = ReadAll(path);
  uint64_t at = image->tracks()[1].data_offset;
  EXPECT_EQ(file[at], at % 251);

  HANDLE handle = Open(path);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(CPY_GetMediaDiskImage(handle), MEDIA_CDRW);
  EXPECT_TRUE(CPY_IsAppendDiskImage(handle));
  EXPECT_TRUE(CPY_IsCdTextDiskImage(handle));
  EXPECT_EQ(CPY_CloseMethodDiskImage(handle), 0u);
  EXPECT_FALSE(CPY_IsMiddleAreaExpansionDiskImage(handle));

  _TRACKINFORMATION info;
  std::memset(&info, 0xEE, sizeof info);
  EXPECT_EQ(CPY_GetTrackInformation(handle, 0, &info), 2);
  EXPECT_EQ(CPY_GetTrackInformation(handle, 3, &info), 2);
  EXPECT_EQ(info.dwStart, 0xEEEEEEEEu);  // untouched for a track that is not there
  EXPECT_EQ(CPY_GetTrackInformation(handle, 2, &info), 2);
  EXPECT_EQ(info.dwStart, 11400u);
  EXPECT_EQ(info.dwSize, 5u);  // from the measurement list
  EXPECT_EQ(info.dwMode, kModeAudio);
  EXPECT_EQ(info.wTrack, 2);
  EXPECT_EQ(info.wSession, 2);
  EXPECT_EQ(info.dwReportedSize, 0u);
  EXPECT_EQ(CPY_CloseDiskImage(handle), QD_OK);
  EXPECT_EQ(CPY_CloseDiskImage(handle), QD_E_INVALID_HANDLE);
}

TEST_F(DiscImageTest, SingleDataTrackImageReportsItsOnlyEntry) {
  ImageDescription d;
  d.profile = 0x13;
  d.tracks = {Track(1, 1, 2000, 40, kCookedSectorSize, kModeData1)};
  d.row_data.assign(RowDataSize(16), 0x55);
  PutLe32(d.row_data.data(), 16);
  ASSERT_TRUE(PlanSingleTrackImage(&d));
  std::string path = dir_.Child("data.wvm");
  WriteImage(path, d);
  // The bytes after the entry are ROW data, not a second TRACK entry.
  ASSERT_NE(std::memcmp(ReadAll(path).data() + 64 + 16 + 61, "TRACK   ", 8), 0);

  std::shared_ptr<DiscImage> image = DiscImage::Open(Env::Default(), Utf8ToUtf16(path));
  ASSERT_TRUE(image);
  EXPECT_TRUE(image->is_single_data_track());
  uint32_t row_sectors = 0;
  std::vector<uint8_t> volume_header;
  ASSERT_EQ(image->ReadRowData(&row_sectors, &volume_header), QD_OK);
  EXPECT_EQ(row_sectors, 16u);
  EXPECT_EQ(volume_header, std::vector<uint8_t>(32768, 0x55));

  HANDLE handle = Open(path);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(CPY_GetMediaDiskImage(handle), MEDIA_DVDRW_RO);
  EXPECT_FALSE(CPY_IsCdTextDiskImage(handle));
  _TRACKINFORMATION info{};
  EXPECT_EQ(CPY_GetTrackInformation(handle, 1, &info), 1);
  EXPECT_EQ(info.dwStart, 2000u);
  EXPECT_EQ(info.dwSize, 40u);
  EXPECT_EQ(info.dwMode, 1u);
  EXPECT_EQ(info.wTrack, 1);
  EXPECT_EQ(info.wSession, 1);
  EXPECT_EQ(CPY_CloseDiskImage(handle), QD_OK);
}

TEST_F(DiscImageTest, DamagedFilesAreRefusedWhole) {
  std::vector<uint8_t> good = ReadAll(WriteCdImage());
  std::string path = dir_.Child("damaged.wvm");
  auto refused = [&](std::vector<uint8_t> bytes, const char* expected_reason) {
    SCOPED_TRACE(expected_reason);
    WriteAll(path, bytes);
    std::string why;
    EXPECT_FALSE(DiscImage::Open(Env::Default(), Utf8ToUtf16(path), &why));
    EXPECT_NE(why.find(expected_reason), std::string::npos) << why;
    HANDLE handle = Open(path);
    EXPECT_EQ(handle, nullptr);
    if (handle) CPY_CloseDiskImage(handle);
  };

  refused({good.begin(), good.begin() + 32}, "HEADER block cannot be read");
  refused({good.begin(), good.end() - 1}, "differs from the file size");
  std::vector<uint8_t> longer = good;
  longer.push_back(0);
  refused(longer, "differs from the file size");

  std::vector<uint8_t> bytes = good;
  bytes[31] = 1;  // the signature's zero bytes
  refused(bytes, "signature");
  bytes = good;
  std::memcpy(bytes.data() + 64, "CDTEXT\0\0", 8);
  refused(bytes, "CDTEXT");
  bytes = good;
  bytes[80 + 61] = 't';  // tag of the second entry of the first list
  refused(bytes, "TRACK");
  bytes = good;
  PutLe32(bytes.data() + 80 + 16, 4096);  // bytes per sector of track 1
  refused(bytes, "sector size");
  bytes = good;
  PutLe64(bytes.data() + 80 + 61 + 40, good.size() - 100);  // track 2's data past the end
  refused(bytes, "track data beyond");
  bytes = good;
  PutLe32(bytes.data() + 72, static_cast<uint32_t>(good.size()));  // CD-Text past the end
  refused(bytes, "CD-Text beyond");
  bytes = good;
  PutLe32(bytes.data() + 44, kFlagCdText | kFlagRow);  // no ROW block where one is announced
  refused(bytes, "ROW");
}

TEST_F(DiscImageTest, SecondListTagsAreNotChecked) {
  std::vector<uint8_t> bytes = ReadAll(WriteCdImage());
  std::memset(bytes.data() + 80 + 2 * 61, 'x', 8);
  std::string path = dir_.Child("second.wvm");
  WriteAll(path, bytes);
  HANDLE handle = Open(path);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(CPY_GetTrackInformation(handle, 0, nullptr), 2);
  CPY_CloseDiskImage(handle);
}

TEST_F(DiscImageTest, AbsurdTrackCountIsRefusedBeforeReadingTheLists) {
  // 65535 tracks would need 8 MB of lists; the file has 96 bytes and says so itself.
  std::vector<uint8_t> bytes(96, 0);
  EncodeSignature(bytes.data());
  ImageHeader header;
  header.track_count = 0xFFFF;
  header.profile = 0x11;
  header.payload_offset = 96;
  header.total_size = 96;
  EncodeHeader(header, bytes.data() + 32);
  std::string path = dir_.Child("many.wvm");
  WriteAll(path, bytes);

  quenvar::platform::FaultInjectionEnv env;
  std::string why;
  EXPECT_FALSE(DiscImage::Open(&env, Utf8ToUtf16(path), &why));
  EXPECT_NE(why.find("past the end"), std::string::npos) << why;
  EXPECT_EQ(env.CallCount(quenvar::platform::FaultKind::kRead), 2u);  // signature and HEADER only
}

TEST_F(DiscImageTest, CloseMethodPrefersMethodTwo) {
  struct Case {
    uint32_t flags;
    DWORD method;
  } cases[] = {{kFlagMiddleArea2 | kFlagMiddleArea4, 2}, {kFlagMiddleArea4, 4}, {kFlagMiddleArea2, 2}, {0, 0}};
  for (const Case& c : cases) {
    HANDLE handle = Open(WriteCdImage(c.flags | kFlagMiddleAreaExpansion));
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(CPY_CloseMethodDiskImage(handle), c.method) << c.flags;
    EXPECT_TRUE(CPY_IsMiddleAreaExpansionDiskImage(handle));
    EXPECT_FALSE(CPY_IsAppendDiskImage(handle));
    CPY_CloseDiskImage(handle);
  }
}

TEST_F(DiscImageTest, RefusesBadNamesFailedReadsAndBadHandles) {
  std::vector<uint8_t> good = ReadAll(WriteCdImage());
  std::string odd = dir_.Child("a:b.wvm");  // a valid POSIX name, but not a valid entry name
  WriteAll(odd, good);
  EXPECT_EQ(Open(odd), nullptr);
  EXPECT_EQ(Open(dir_.Child("missing.wvm")), nullptr);
  EXPECT_EQ(CPY_OpenDiskImage(nullptr), nullptr);

  quenvar::platform::FaultInjectionEnv env;
  env.FailNthCall(quenvar::platform::FaultKind::kRead, 3);
  EXPECT_FALSE(DiscImage::Open(&env, Utf8ToUtf16(dir_.Child("cd.wvm"))));

  int not_an_image = 0;
  for (HANDLE bad : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, static_cast<HANDLE>(&not_an_image)}) {
    EXPECT_EQ(CPY_GetMediaDiskImage(bad), 0u);
    EXPECT_FALSE(CPY_IsAppendDiskImage(bad));
    EXPECT_FALSE(CPY_IsCdTextDiskImage(bad));
    EXPECT_EQ(CPY_CloseMethodDiskImage(bad), 0u);
    EXPECT_FALSE(CPY_IsMiddleAreaExpansionDiskImage(bad));
    EXPECT_EQ(CPY_GetTrackInformation(bad, 1, nullptr), 0);
    EXPECT_EQ(CPY_CloseDiskImage(bad), QD_E_INVALID_HANDLE);
  }
}

}  // namespace
}  // namespace quillden::image
