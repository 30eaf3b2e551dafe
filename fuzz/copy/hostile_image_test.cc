// Disc image files that are well formed enough to open but describe what no disc holds, recorded
// onto small virtual discs: each must end in its documented result code and leave the media as the
// documented checks promise. These are the shapes copy_fuzzer reaches; the test pins them down.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ios>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "blank_disc.h"
#include "image/image_format.h"
#include "platform/unicode.h"
#include "quillden/drive.h"
#include "quillden/image.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::image {
namespace {

class HostileImageTest : public ::testing::Test {
 protected:
  void TearDown() override {
    Reset();
    for (const std::string& path : files_) {
      for (const char* suffix : {"", ".state", ".raw"}) std::remove((path + suffix).c_str());
    }
  }

  // Closes the image and the drive of the case before.
  void Reset() {
    if (image_) {
      EXPECT_EQ(CPY_CloseDiskImage(image_), QD_OK);
    }
    if (drive_) {
      EXPECT_EQ(DRV_CloseDrive(drive_), QD_OK);
    }
    image_ = drive_ = nullptr;
  }

  std::string Temp(const std::string& name) {
    static std::atomic<int> counter{0};
    const std::string path = ::testing::TempDir() + "/hostile-" + std::to_string(::getpid()) + "-" +
                             std::to_string(counter++) + "-" + name;
    files_.push_back(path);
    return path;
  }

  // A blank virtual disc of kind with 12000 blocks and no busy periods.
  void Blank(const std::string& kind) {
    std::string error;
    drive_ = quenvar::fuzz::OpenBlankDisc(Temp("disc"), kind, &error);
    ASSERT_NE(drive_, nullptr) << error;
  }

  // Plans the description, writes it with data bytes of value fill for every track and opens it.
  void Image(ImageDescription description, uint8_t fill = 0x5A) {
    ASSERT_TRUE(description.flags & kFlagSingleDataTrack ? PlanSingleTrackImage(&description)
                                                         : PlanMultiTrackImage(&description));
    const std::string path = Temp("image.wvm");
    std::ofstream out(path, std::ios::binary);
    const std::vector<uint8_t> prologue = EncodePrologue(description);
    out.write(reinterpret_cast<const char*>(prologue.data()), static_cast<std::streamsize>(prologue.size()));
    for (const TrackEntry& t : description.tracks) {
      const std::vector<char> data(t.DataBytes(), static_cast<char>(fill));
      out.write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    out.close();
    ASSERT_TRUE(out.good());
    image_ = CPY_OpenDiskImage(quenvar::platform::Utf8ToUtf16(path).c_str());
    ASSERT_NE(image_, nullptr);
  }

  static TrackEntry Track(uint16_t number, uint16_t session, uint32_t start, uint32_t sectors, uint32_t mode = 1,
                          uint32_t bytes = 2048) {
    TrackEntry t;
    t.track_number = number;
    t.session_number = session;
    t.start = start;
    t.sector_count = sectors;
    t.mode = mode;
    t.bytes_per_sector = bytes;
    return t;
  }

  static ImageDescription MultiTrack(uint16_t profile, std::vector<TrackEntry> tracks) {
    ImageDescription d;
    d.profile = profile;
    d.tracks = tracks;
    d.measured = tracks;
    return d;
  }

  static ImageDescription SingleTrack(TrackEntry track) {
    ImageDescription d;
    d.flags = kFlagSingleDataTrack;
    d.tracks = {track};
    return d;
  }

  DWORD MediaStatus() {
    _MEDIAINFORMATION info{};
    EXPECT_EQ(DRV_GetMediaInformation(drive_, &info), QD_OK);
    return info.dwStatus;
  }

  HANDLE drive_ = nullptr;
  HANDLE image_ = nullptr;
  std::vector<std::string> files_;
};

// A single data track image carries one entry: recording would take the first of several and
// comparing all of them, so such a file is not opened at all.
TEST_F(HostileImageTest, SingleDataTrackImageWithSeveralEntriesDoesNotOpen) {
  ImageDescription d = SingleTrack(Track(1, 1, 0, 8));
  d.tracks.push_back(Track(2, 2, 11410, 6));
  d.payload_offset = kSignatureSize + kHeaderBlockSize + 2 * kTrackEntrySize;
  for (TrackEntry& t : d.tracks) t.data_offset = d.payload_offset;
  d.total_size = d.payload_offset + d.tracks[0].DataBytes();
  std::vector<uint8_t> bytes = EncodePrologue(d);
  bytes.resize(d.total_size, 0x5A);
  const std::string path = Temp("several.wvm");
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
  EXPECT_EQ(CPY_OpenDiskImage(quenvar::platform::Utf8ToUtf16(path).c_str()), nullptr);

  // The same file with its count saying one track opens.
  PutLe16(bytes.data() + kSignatureSize + 8, 1);
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  image_ = CPY_OpenDiskImage(quenvar::platform::Utf8ToUtf16(path).c_str());
  EXPECT_NE(image_, nullptr);
}

// Track lists no disc can have are refused before the media is touched.
TEST_F(HostileImageTest, ImpossibleTrackListsAreRefusedAsDamaged) {
  struct Case {
    const char* name;
    std::vector<TrackEntry> tracks;
  };
  const std::vector<Case> cases = {
      {"overlapping tracks", {Track(1, 1, 0, 40), Track(2, 1, 30, 20)}},
      {"tracks running backwards", {Track(1, 1, 100, 20), Track(2, 1, 0, 20)}},
      {"sessions going back", {Track(1, 2, 0, 20), Track(2, 1, 40, 20)}},
      {"track past the last block", {Track(1, 1, 0xFFFFFFF0u, 20)}},
      {"mode 1 in raw sectors", {Track(1, 1, 0, 20, 1, 2352)}},
      {"audio in 2048-byte sectors", {Track(1, 1, 0, 20, 3, 2048)}},
      {"unknown mode", {Track(1, 1, 0, 20, 7, 2048)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Blank("cd-r");
    Image(MultiTrack(0x09, c.tracks));
    for (DWORD mode : {1u, 3u}) EXPECT_EQ(CPY_WriteDiskImage(drive_, image_, mode, nullptr, 4), QD_E_WRONG_FORM);
    EXPECT_EQ(MediaStatus(), MEDIA_STATUS_BLANK);
    Reset();
  }
}

// On overwritable media every track goes to the block it had on the source: a track beyond the
// end of the disc is a lack of space, found before anything is written.
TEST_F(HostileImageTest, TrackBeyondTheEndOfOverwritableMediaIsNoSpace) {
  Blank("dvd+rw");
  Image(MultiTrack(0x1A, {Track(1, 1, 11990, 20)}));
  EXPECT_EQ(CPY_WriteDiskImage(drive_, image_, 1, nullptr, 4), QD_E_NO_SPACE);
  EXPECT_EQ(MediaStatus(), MEDIA_STATUS_BLANK);
}

TEST_F(HostileImageTest, MoreThan99TracksDoNotGoOntoCd) {
  std::vector<TrackEntry> tracks;
  for (uint16_t i = 0; i < 100; ++i) tracks.push_back(Track(i + 1, 1, i * 2u, 1));
  Blank("cd-r");
  Image(MultiTrack(0x09, tracks));
  EXPECT_EQ(CPY_WriteDiskImage(drive_, image_, 3, nullptr, 4), QD_E_MEDIA_UNSUPPORTED);
  EXPECT_EQ(MediaStatus(), MEDIA_STATUS_BLANK);
}

// Mode 2 sectors exist only on CD: neither kind of image may put raw sectors onto a DVD as data.
TEST_F(HostileImageTest, RawMode2SectorsDoNotGoOntoDvd) {
  Blank("dvd-r");
  Image(MultiTrack(0x09, {Track(1, 1, 0, 20, 2, 2352)}));
  EXPECT_EQ(CPY_WriteDiskImage(drive_, image_, 2, nullptr, 4), QD_E_MEDIA_UNSUPPORTED);
  EXPECT_EQ(MediaStatus(), MEDIA_STATUS_BLANK);
  Reset();

  Blank("dvd+rw");
  Image(SingleTrack(Track(1, 1, 0, 20, 2, 2352)));
  EXPECT_EQ(CPY_WriteDiskImage(drive_, image_, 3, nullptr, 4), QD_E_MEDIA_UNSUPPORTED);
}

TEST_F(HostileImageTest, SingleDataTrackImageMustHoldDataAtTheNextWritableAddress) {
  Blank("cd-r");
  Image(SingleTrack(Track(1, 1, 0, 20, 3, 2352)));
  EXPECT_EQ(CPY_WriteDiskImage(drive_, image_, 1, nullptr, 4), QD_E_WRONG_FORM);
  Reset();

  Blank("cd-r");
  Image(SingleTrack(Track(1, 1, 500, 20)));
  EXPECT_EQ(CPY_WriteDiskImage(drive_, image_, 1, nullptr, 4), QD_E_MEDIA_UNSUPPORTED);
  EXPECT_EQ(MediaStatus(), MEDIA_STATUS_BLANK);
}

// A volume header whose sector count claims more than its block holds is damaged: recording and
// comparing both refuse it instead of reading past the block.
TEST_F(HostileImageTest, VolumeHeaderLargerThanItsBlockIsDamaged) {
  ImageDescription d = SingleTrack(Track(1, 1, 0, 20));
  d.row_data.assign(RowDataSize(16), 0x11);
  PutLe32(d.row_data.data(), 17);  // 17 sectors need two units of 16; the block holds one
  Blank("dvd+rw");
  Image(d);
  EXPECT_EQ(CPY_WriteDiskImage(drive_, image_, 3, nullptr, 4), QD_E_WRONG_FORM);
  EXPECT_EQ(MediaStatus(), MEDIA_STATUS_BLANK);
  EXPECT_EQ(CPY_CompareDiskImage(drive_, image_, nullptr), QD_E_WRONG_FORM);
}

// Recording writes the volume header over block 0 of overwritable media only; on write-once media
// block 0 keeps the track's data, and that is what the image is compared with there.
TEST_F(HostileImageTest, VolumeHeaderIsComparedOnlyWhereItWasWritten) {
  for (const char* kind : {"cd-r", "dvd+r", "dvd-r", "dvd+rw"}) {
    SCOPED_TRACE(kind);
    ImageDescription d = SingleTrack(Track(1, 1, 0, 40));
    d.row_data.assign(RowDataSize(16), 0x11);
    PutLe32(d.row_data.data(), 16);
    Blank(kind);
    Image(d, 0x5A);
    ASSERT_EQ(CPY_WriteDiskImage(drive_, image_, 2, nullptr, 4), QD_OK);
    EXPECT_EQ(CPY_CompareDiskImage(drive_, image_, nullptr), QD_OK);
    Reset();
  }
}

// CD-Text that ends in a piece of a pack still records: the whole packs go into the lead-in and
// the copy reads back as its image, gap between the tracks included.
TEST_F(HostileImageTest, CdTextWithAPartialPackStillCopiesAtOnce) {
  ImageDescription d = MultiTrack(0x09, {Track(1, 1, 0, 20), Track(2, 1, 320, 20)});
  d.cd_text.assign(18 * 3 + 7, 0x80);
  Blank("cd-r");
  Image(d, 0xA5);
  ASSERT_EQ(CPY_WriteDiskImage(drive_, image_, 3, nullptr, 4), QD_OK);
  EXPECT_EQ(CPY_CompareDiskImage(drive_, image_, nullptr), QD_OK);
  _TRACKINFORMATION second{};
  ASSERT_NE(DRV_GetTrackInformation(drive_, 2, &second, FALSE), 0);
  EXPECT_EQ(second.dwStart, 320u);
}

// The first session of a source recorded track at once ends in run-out blocks; a copy recorded at
// once keeps them, so the second session (and every address its file system names) stays put.
TEST_F(HostileImageTest, LaterSessionsKeepTheirAddressesWhenCopiedAtOnce) {
  ImageDescription d = MultiTrack(0x09, {Track(1, 1, 0, 8), Track(2, 2, 11410, 6)});
  d.measured[0].sector_count = 10;
  d.measured[1].sector_count = 8;
  Blank("cd-r");
  Image(d);
  ASSERT_EQ(CPY_WriteDiskImage(drive_, image_, 3, nullptr, 4), QD_OK);
  _TRACKINFORMATION second{};
  ASSERT_NE(DRV_GetTrackInformation(drive_, 2, &second, FALSE), 0);
  EXPECT_EQ(second.dwStart, 11410u);
  EXPECT_EQ(second.wSession, 2);
  EXPECT_EQ(CPY_CompareDiskImage(drive_, image_, nullptr), QD_OK);
}

// A copy that was refused leaves a blank disc; comparing the image with it is a clear failure.
TEST_F(HostileImageTest, ComparingWithTheBlankDiscOfARefusedCopyFails) {
  Blank("dvd-r");
  Image(MultiTrack(0x11, {Track(1, 1, 0, 20, 1, 2352)}));
  ASSERT_EQ(CPY_WriteDiskImage(drive_, image_, 2, nullptr, 4), QD_E_WRONG_FORM);
  const DWORD compared = CPY_CompareDiskImage(drive_, image_, nullptr);
  EXPECT_NE(compared, QD_OK);
  EXPECT_TRUE(compared == QD_E_COMMAND_FAILED || compared == QD_E_COMPARE_DIFFERS) << std::hex << compared;
}

}  // namespace
}  // namespace quillden::image
