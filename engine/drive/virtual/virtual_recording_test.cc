// Recording on the virtual recorder: sequential writes and next writable addresses, sessions,
// formatting and blanking with progress, and a backing file that is a plain disc image.
#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "drive/virtual/virtual_admin.h"
#include "drive/virtual/virtual_recorder.h"
#include "drive/virtual/virtual_test_util.h"

namespace quillden::drive {
namespace {

using testing::Be32;
using testing::Reply;
using testing::Send;

std::unique_ptr<Transport> Open(const std::string& path, const std::string& kind,
                                quenvar::platform::Env* env = nullptr) {
  std::string error;
  std::unique_ptr<Transport> t = env ? OpenVirtualRecorder(path, kind, env, &error)
                                     : OpenVirtualRecorder(path, kind, &error);
  EXPECT_NE(t, nullptr) << error;
  return t;
}

TEST(VirtualRecordingTest, SequentialWritesMustHitTheNextWritableAddress) {
  auto t = Open(testing::TempPath("seq"), "dvd+r");
  EXPECT_EQ(testing::Write10(t.get(), 16, 16, 1).asc, 0x21);  // not the next writable address
  EXPECT_EQ(testing::Write10(t.get(), 2295104, 1, 1).sense(), 0x052100u);  // beyond the disc
  ASSERT_TRUE(testing::Write10(t.get(), 0, 32, 0xA5).ok());
  EXPECT_EQ(testing::Write10(t.get(), 0, 32, 0x00).asc, 0x21);  // write-once
  ASSERT_TRUE(testing::Write10(t.get(), 32, 4, 0x5A).ok());
  Reply track = testing::TrackInfo(t.get(), 1, 0xFF);
  EXPECT_EQ(track.data[2], 1);
  EXPECT_EQ(Be32(track.data, 12), 36u);
  EXPECT_FALSE(track.data[6] & 0x40);
  // Write, then read back.
  Reply read = testing::Read10(t.get(), 31, 2);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.data[0], 0xA5);
  EXPECT_EQ(read.data[2048], 0x5A);
  EXPECT_EQ(testing::Read10(t.get(), 36, 1).sense(), 0x052100u);
  // Closing the track rounds it to a whole ECC block; the next track starts after it.
  ASSERT_TRUE(testing::Close(t.get(), 1, 1).ok());
  Reply next = testing::TrackInfo(t.get(), 1, 0xFF);
  EXPECT_EQ(next.data[2], 2);
  EXPECT_EQ(Be32(next.data, 12), 48u);
  EXPECT_EQ(Be32(testing::TrackInfo(t.get(), 1, 1).data, 24), 48u);
  EXPECT_EQ(testing::Read10(t.get(), 40, 1).data[0], 0);  // padding reads as zeros
  // Finalising closes the disc for good.
  ASSERT_TRUE(testing::Close(t.get(), 5, 0).ok());
  Reply disc = testing::DiscInfo(t.get());
  EXPECT_EQ(disc.data[2] & 3, 2);
  EXPECT_EQ(testing::Write10(t.get(), 48, 16, 0).sense(), 0x053005u);
  EXPECT_EQ(testing::TrackInfo(t.get(), 1, 0xFF).sense(), 0x052400u);
}

TEST(VirtualRecordingTest, ReservedTracksOnDvdMinusR) {
  auto t = Open(testing::TempPath("res"), "dvd-r");
  ASSERT_TRUE(Send(t.get(), {0x53, 0, 0, 0, 0, 0, 0, 0, 100, 0}).ok());
  Reply r = testing::TrackInfo(t.get(), 1, 1);
  EXPECT_TRUE(r.data[6] & 0x80);           // reserved
  EXPECT_EQ(Be32(r.data, 24), 112u);       // rounded to ECC blocks
  EXPECT_EQ(Be32(testing::TrackInfo(t.get(), 1, 2).data, 8), 112u);  // invisible track after it
  EXPECT_EQ(testing::Write10(t.get(), 100, 16, 1).sense(), 0x052102u);  // not its next address
  ASSERT_TRUE(testing::Write10(t.get(), 0, 100, 1).ok());
  EXPECT_EQ(testing::Write10(t.get(), 100, 16, 1).sense(), 0x052100u);  // beyond the reservation
  ASSERT_TRUE(testing::SelectWritePage(t.get(), 0, 3, 5, 8).ok());
  ASSERT_TRUE(testing::Close(t.get(), 1, 1).ok());
  ASSERT_TRUE(testing::Close(t.get(), 2, 0).ok());
  Reply disc = testing::DiscInfo(t.get());
  EXPECT_EQ(disc.data[2] & 3, 1);  // appendable: next session allowed
  EXPECT_EQ(disc.data[4], 2);
  Reply toc = Send(t.get(), {0x43, 0, 0, 0, 0, 0, 0, 0, 20, 0}, 20);
  ASSERT_TRUE(toc.ok());
  EXPECT_EQ(toc.data[3], 1);
  EXPECT_EQ(Be32(toc.data, 16), 112u);
}

TEST(VirtualRecordingTest, CdRWithOneClosedSessionIsAppendable) {
  auto t = Open(testing::TempPath("cd"), "cd-r");
  ASSERT_TRUE(testing::SelectWritePage(t.get(), 1, 3, 4, 8).ok());
  ASSERT_TRUE(testing::Write10(t.get(), 0, 300, 7).ok());
  ASSERT_TRUE(testing::Close(t.get(), 1, 1).ok());
  ASSERT_TRUE(testing::Close(t.get(), 2, 0).ok());
  Reply disc = testing::DiscInfo(t.get());
  EXPECT_EQ(disc.data[2] & 3, 1);
  EXPECT_EQ((disc.data[2] >> 2) & 3, 0);
  EXPECT_EQ(disc.data[4], 2);
  EXPECT_EQ(disc.data[6], 2);
  Reply invisible = testing::TrackInfo(t.get(), 1, 2);
  ASSERT_TRUE(invisible.ok());
  EXPECT_TRUE(invisible.data[6] & 0x40);
  EXPECT_EQ(invisible.data[3], 2);
  const uint32_t next = 300 + 2 + 6750 + 4500 + 150;  // run-out, lead-out, lead-in, pregap
  EXPECT_EQ(Be32(invisible.data, 12), next);
  EXPECT_EQ(Be32(invisible.data, 16), 359849u - next);
  Reply session = Send(t.get(), {0x43, 0, 1, 0, 0, 0, 0, 0, 12, 0}, 12);
  EXPECT_EQ(session.data[3], 1);
  // The raw TOC carries the next program area in its B0 point.
  Reply raw = Send(t.get(), {0x43, 0, 2, 0, 0, 0, 1, 0, 255, 0}, 255);
  ASSERT_TRUE(raw.ok());
  bool b0 = false;
  for (size_t at = 4; at + 11 <= 2u + testing::Be16(raw.data, 0); at += 11) {
    if (raw.data[at + 3] == 0xB0) {
      b0 = true;
      EXPECT_EQ((raw.data[at + 4] * 60 + raw.data[at + 5]) * 75 + raw.data[at + 6] - 150, static_cast<int>(next));
    }
  }
  EXPECT_TRUE(b0);
  // A track-at-once track in the second session starts at that address; a wrong one is refused.
  EXPECT_EQ(testing::Write10(t.get(), 302, 1, 0).asc, 0x21);
  ASSERT_TRUE(testing::Write10(t.get(), next, 10, 8).ok());
  // Run-out blocks hold no user data.
  EXPECT_EQ(testing::Read10(t.get(), 300, 1).key, 3);
  EXPECT_EQ(testing::Read10(t.get(), 299, 1).data[0], 7);
  // Closing without a next session closes the disc.
  ASSERT_TRUE(testing::SelectWritePage(t.get(), 1, 0, 4, 8).ok());
  ASSERT_TRUE(testing::Close(t.get(), 2, 0).ok());
  EXPECT_EQ(testing::DiscInfo(t.get()).data[2] & 3, 2);
}

TEST(VirtualRecordingTest, SessionAtOnceFromACueSheet) {
  auto t = Open(testing::TempPath("sao"), "cd-r");
  ASSERT_TRUE(testing::SelectWritePage(t.get(), 2, 0, 0, 0).ok());
  // Lead-in, track 1 pregap at 00:00:00, index 1 at 00:02:00, lead-out after 100 blocks.
  std::vector<uint8_t> cue = {0x01, 0, 0, 0x01, 0, 0, 0, 0,   0x01, 1, 0, 0x00, 0, 0, 0, 0,
                              0x01, 1, 1, 0x00, 0, 0, 2, 0,   0x01, 0xAA, 1, 0x01, 0, 0, 3, 25};
  ASSERT_TRUE(testing::SendOut(t.get(), {0x5D, 0, 0, 0, 0, 0, 0, 0, 32, 0}, cue).ok());
  // The pregap first (negative addresses), then the audio.
  ASSERT_TRUE(testing::Write10(t.get(), static_cast<uint32_t>(-150), 150, 0, 2352).ok());
  EXPECT_EQ(testing::Write10(t.get(), 50, 10, 1, 2352).asc, 0x21);
  ASSERT_TRUE(testing::Write10(t.get(), 0, 100, 0x3C, 2352).ok());
  ASSERT_TRUE(Send(t.get(), {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}).ok());
  Reply disc = testing::DiscInfo(t.get());
  EXPECT_EQ(disc.data[2] & 3, 2);
  Reply toc = Send(t.get(), {0x43, 0, 0, 0, 0, 0, 0, 0, 20, 0}, 20);
  ASSERT_TRUE(toc.ok());
  EXPECT_EQ(toc.data[5] & 0x04, 0);  // audio control
  EXPECT_EQ(Be32(toc.data, 16), 100u);
  Reply audio = Send(t.get(), {0xBE, 0x04, 0, 0, 0, 5, 0, 0, 1, 0x10, 0, 0}, 2352);
  ASSERT_TRUE(audio.ok());
  EXPECT_EQ(audio.data[100], 0x3C);
  EXPECT_EQ(testing::Read10(t.get(), 5, 1).sense(), 0x056400u);
}

TEST(VirtualRecordingTest, BlankingReportsProgressUntilDone) {
  testing::ManualClockEnv clock;
  const std::string path = testing::TempPath("rw");
  auto t = Open(path, "cd-rw", &clock);
  ASSERT_TRUE(testing::Write10(t.get(), 0, 32, 1).ok());
  ASSERT_TRUE(testing::Close(t.get(), 1, 1).ok());
  ASSERT_TRUE(Send(t.get(), {0xA1, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}).ok());  // full, immediate
  Reply first = Send(t.get(), {0, 0, 0, 0, 0, 0});
  EXPECT_EQ(first.sense(), 0x020407u);
  EXPECT_TRUE(first.sksv);
  clock.Advance(750);
  Reply half = testing::DiscInfo(t.get());
  EXPECT_EQ(half.sense(), 0x020407u);
  EXPECT_GT(half.progress, first.progress);
  EXPECT_NEAR(half.progress, 32768, 200);
  // Identification still answers while busy; GESN reports the busy time left.
  EXPECT_TRUE(Send(t.get(), {0x12, 0, 0, 0, 36, 0}, 36).ok());
  Reply busy = Send(t.get(), {0x4A, 1, 0, 0, 0x40, 0, 0, 0, 8, 0}, 8);
  EXPECT_EQ(busy.data[2] & 7, 6);
  EXPECT_EQ(busy.data[5], 1);
  clock.Advance(800);
  ASSERT_TRUE(Send(t.get(), {0, 0, 0, 0, 0, 0}).ok());
  EXPECT_EQ(testing::DiscInfo(t.get()).data[2] & 3, 0);
  // Write-once media cannot be blanked.
  auto r = Open(testing::TempPath("r"), "cd-r", &clock);
  EXPECT_EQ(Send(r.get(), {0xA1, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}).sense(), 0x053005u);
}

TEST(VirtualRecordingTest, DvdPlusRwFormatsInTheBackgroundAndWritesAnywhere) {
  testing::ManualClockEnv clock;
  auto t = Open(testing::TempPath("prw"), "dvd+rw", &clock);
  EXPECT_EQ(testing::Write10(t.get(), 0, 16, 1).sense(), 0x053005u);  // not formatted yet
  Reply caps = Send(t.get(), {0x23, 0, 0, 0, 0, 0, 0, 0, 252, 0}, 252);
  ASSERT_TRUE(caps.ok());
  EXPECT_EQ(caps.data[8] & 3, 1);                // unformatted
  EXPECT_EQ(caps.data[12 + 4] >> 2, 0x26);
  const uint32_t blocks = Be32(caps.data, 12);
  std::vector<uint8_t> format = {0, 0x82, 0, 8, uint8_t(blocks >> 24), uint8_t(blocks >> 16),
                                 uint8_t(blocks >> 8), uint8_t(blocks), 0x26 << 2, 0, 0, 0};
  ASSERT_TRUE(testing::SendOut(t.get(), {0x04, 0x11, 0, 0, 0, 0}, format).ok());
  EXPECT_EQ(testing::DiscInfo(t.get()).data[7] & 3, 2);  // background format running
  ASSERT_TRUE(testing::Write10(t.get(), 1000, 3, 0x77).ok());
  ASSERT_TRUE(testing::Write10(t.get(), 5, 1, 0x66).ok());
  EXPECT_EQ(testing::Read10(t.get(), 1001, 1).data[0], 0x77);
  EXPECT_EQ(testing::Read10(t.get(), 2000, 1).data[0], 0);
  ASSERT_TRUE(testing::Close(t.get(), 0, 0).ok());  // stop formatting early
  EXPECT_EQ(testing::DiscInfo(t.get()).data[7] & 3, 1);
  ASSERT_TRUE(testing::SendOut(t.get(), {0x04, 0x11, 0, 0, 0, 0}, format).ok());
  clock.Advance(5000);
  EXPECT_EQ(testing::DiscInfo(t.get()).data[7] & 3, 3);
}

TEST(VirtualRecordingTest, DvdMinusRwQuickFormatToRestrictedOverwriteAndBack) {
  testing::ManualClockEnv clock;
  auto t = Open(testing::TempPath("mrw"), "dvd-rw", &clock);
  std::vector<uint8_t> quick = {0, 0x82, 0, 8, 0, 0, 0, 0, 0x15 << 2, 0, 0, 16};
  ASSERT_TRUE(testing::SendOut(t.get(), {0x04, 0x11, 0, 0, 0, 0}, quick).ok());
  EXPECT_EQ(Send(t.get(), {0, 0, 0, 0, 0, 0}).sense(), 0x020407u);
  clock.Advance(10000);
  Reply profile = Send(t.get(), {0x46, 0x02, 0, 0, 0, 0, 0, 0, 8, 0}, 8);
  EXPECT_EQ(testing::Be16(profile.data, 6), 0x13);
  EXPECT_EQ(testing::Write10(t.get(), 3, 16, 1).sense(), 0x052400u);  // not ECC-block aligned
  ASSERT_TRUE(testing::Write10(t.get(), 32, 32, 9).ok());
  Reply caps = Send(t.get(), {0x23, 0, 0, 0, 0, 0, 0, 0, 252, 0}, 252);
  EXPECT_EQ(Be32(caps.data, 4), 64u);  // formatted zone grew with the write
  EXPECT_EQ(caps.data[8] & 3, 2);
  EXPECT_EQ(testing::Read10(t.get(), 40, 1).data[0], 9);
  ASSERT_TRUE(Send(t.get(), {0xA1, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}).ok());  // minimal blank
  profile = Send(t.get(), {0x46, 0x02, 0, 0, 0, 0, 0, 0, 8, 0}, 8);
  EXPECT_EQ(testing::Be16(profile.data, 6), 0x14);
  EXPECT_EQ(testing::DiscInfo(t.get()).data[2] & 3, 0);
}

TEST(VirtualRecordingTest, DualLayerBoundaryCanBeSetWhileBlank) {
  auto t = Open(testing::TempPath("dl"), "dvd+r-dl");
  std::vector<uint8_t> boundary(12, 0);
  boundary[1] = 10;
  const uint32_t l0 = 0x40000;
  boundary[8] = uint8_t(l0 >> 24);
  boundary[9] = uint8_t(l0 >> 16);
  boundary[10] = uint8_t(l0 >> 8);
  boundary[11] = uint8_t(l0);
  ASSERT_TRUE(testing::SendOut(t.get(), {0xBF, 0, 0, 0, 0, 0, 0, 0x20, 0, 12, 0, 0}, boundary).ok());
  Reply r = Send(t.get(), {0xAD, 0, 0, 0, 0, 0, 0, 0x20, 0, 12, 0, 0}, 12);
  EXPECT_EQ(Be32(r.data, 8), l0);
  EXPECT_EQ(Be32(testing::TrackInfo(t.get(), 1, 1).data, 16), 2 * l0);
  ASSERT_TRUE(testing::Write10(t.get(), 0, 16, 1).ok());
  EXPECT_EQ(testing::SendOut(t.get(), {0xBF, 0, 0, 0, 0, 0, 0, 0x20, 0, 12, 0, 0}, boundary).sense(),
            0x052C00u);
  auto single = Open(testing::TempPath("sl"), "dvd+r");
  EXPECT_EQ(testing::SendOut(single.get(), {0xBF, 0, 0, 0, 0, 0, 0, 0x20, 0, 12, 0, 0}, boundary).sense(),
            0x052400u);
}

TEST(VirtualRecordingTest, BackingFileOfAFinishedDiscIsAPlainImage) {
  if (std::system("command -v genisoimage >/dev/null && command -v isoinfo >/dev/null") != 0) {
    GTEST_SKIP() << "genisoimage/isoinfo not installed";
  }
  const std::string dir = testing::TempPath("tree");
  const std::string iso = testing::TempPath("source.iso");
  ASSERT_EQ(std::system(("mkdir -p " + dir + " && echo hello > " + dir + "/hello.txt && genisoimage -quiet -J -V VIRTUALTEST -o " + iso + " " + dir).c_str()), 0);
  std::ifstream in(iso, std::ios::binary);
  std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(image.size() % 2048, 0u);
  const std::string backing = testing::TempPath("disc");
  auto t = Open(backing, "dvd+r");
  const uint32_t blocks = static_cast<uint32_t>(image.size() / 2048);
  for (uint32_t lba = 0; lba < blocks; lba += 32) {
    const uint16_t n = static_cast<uint16_t>(std::min<uint32_t>(32, blocks - lba));
    std::vector<uint8_t> chunk(image.begin() + lba * 2048, image.begin() + (lba + n) * 2048);
    ASSERT_TRUE(testing::SendOut(t.get(), {0x2A, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8),
                                           uint8_t(lba), 0, 0, uint8_t(n), 0}, chunk).ok());
  }
  ASSERT_TRUE(Send(t.get(), {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}).ok());
  ASSERT_TRUE(testing::Close(t.get(), 1, 1).ok());
  ASSERT_TRUE(testing::Close(t.get(), 5, 0).ok());
  EXPECT_EQ(std::system(("isoinfo -d -i " + backing + " | grep -q 'Volume id: VIRTUALTEST'").c_str()), 0);
  EXPECT_EQ(std::system(("isoinfo -J -x /hello.txt -i " + backing + " | grep -q hello").c_str()), 0);
}

}  // namespace
}  // namespace quillden::drive
