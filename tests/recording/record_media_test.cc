// A data disc recorded on every kind of virtual media reads back file for file, and the disc is
// left in the state MMC gives for the write mode.
#include <filesystem>

#include <gtest/gtest.h>

#include "quillden/drive.h"
#include "recording_fixture.h"

namespace quillden::recording::testing {
namespace {

struct MediaCase {
  const char* name;
  const char* kind;
  uint32_t write_mode;
  uint32_t finalize_kind;
  uint16_t profile_after;
  uint8_t disc_status_after;  // READ DISC INFORMATION: 1 appendable, 2 complete
};

class RecordMediaTest : public VirtualDriveTest, public ::testing::WithParamInterface<MediaCase> {};

TEST_P(RecordMediaTest, DataDiscReadsBackFileForFile) {
  const MediaCase& c = GetParam();
  OpenDrive(c.kind);
  const std::string folder = WorkPath("files");
  // The large file makes the stream wrap the 8 MiB ring more than once.
  const FileSet files = MakeFiles(folder, 7, 19u << 20);
  const std::vector<uint8_t> image = MakeIso(folder, WorkPath("image.iso"));
  ASSERT_FALSE(image.empty());
  TestProgress progress;
  ASSERT_EQ(RecordImage(drive_, c.write_mode, image, 0, c.finalize_kind, progress.reporter()), 0u)
      << "last command error 0x" << std::hex << DRV_GetLastCommandError(nullptr);

  // Every block went through the writer, counted once.
  EXPECT_GE(progress.record->session_track[2].load(), image.size() / 2048);
  ExpectImageHolds(path_, image.size() / 2048, files);

  EXPECT_EQ(Profile(), c.profile_after);
  drive::DiscInformation disc;
  ASSERT_EQ(drive::ReadDiscInformation(drive_, &disc), 0u);
  EXPECT_EQ(disc.disc_status, c.disc_status_after);
  // An appendable disc counts its empty next session too.
  EXPECT_EQ(disc.sessions, disc.disc_status == 1 ? 2 : 1);
  if (c.profile_after != 0x13 && c.profile_after != 0x1A) {
    _TRACKINFORMATION track{};
    ASSERT_GE(DRV_GetTrackInformation(drive_, 1, &track, FALSE), 1);
    EXPECT_EQ(track.dwStart, 0u);
    EXPECT_GE(track.dwSize, image.size() / 2048);
    EXPECT_EQ(track.wSession, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Media, RecordMediaTest,
    ::testing::Values(MediaCase{"CdrTrackAtOnce", "cd-r", 2, 0, 0x09, 2},
                      MediaCase{"CdrTrackAtOnceOpen", "cd-r", 1, 0, 0x09, 1},
                      MediaCase{"CdrSessionAtOnce", "cd-r", 3, 0, 0x09, 2},
                      MediaCase{"Cdrw", "cd-rw", 1, 0, 0x0A, 1},
                      MediaCase{"DvdMinusR", "dvd-r", 1, 0, 0x11, 1},
                      MediaCase{"DvdMinusRDiscAtOnce", "dvd-r", 2, 0, 0x11, 2},
                      MediaCase{"DvdRwQuickFormatted", "dvd-rw", 2, 0, 0x13, 2},
                      MediaCase{"DvdRwSequential", "dvd-rw", 12, 0, 0x14, 2},
                      MediaCase{"DvdPlusR", "dvd+r", 1, 0, 0x1B, 1},
                      MediaCase{"DvdPlusRClosed", "dvd+r", 2, 0, 0x1B, 2},
                      MediaCase{"DvdPlusRw", "dvd+rw", 2, 0, 0x1A, 2},
                      MediaCase{"DvdPlusRDualLayerFinalized", "dvd+r-dl", 1, 4, 0x2B, 2},
                      // Written at once, a DVD-R DL is recorded sequentially (layer_jump_test.cc
                      // covers layer jump recording, whose tracks are not contiguous).
                      MediaCase{"DvdMinusRDualLayerAtOnce", "dvd-r-dl", 3, 0, 0x15, 2}),
    [](const ::testing::TestParamInfo<MediaCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillden::recording::testing
