#include "drive/virtual/media_state.h"

#include <gtest/gtest.h>

namespace quillden::drive::virt {
namespace {

MediaState TwoTrackCd() {
  MediaState s;
  std::string error;
  EXPECT_TRUE(MakeBlankMedium("cd-r", 0, &s, &error)) << error;
  s.closed_sessions = 1;
  s.next_session_start = 11702;
  TrackState t;
  t.number = 1;
  t.session = 1;
  t.start = 0;
  t.size = 302;
  t.written = 300;
  t.closed = true;
  s.tracks.push_back(t);
  t.number = 2;
  t.session = 2;
  t.start = 11702;
  t.size = 0;
  t.written = 40;
  t.closed = false;
  t.mode = TrackMode::kMode2;
  s.tracks.push_back(t);
  return s;
}

TEST(MediaStateTest, SerializeAndParseRoundTrip) {
  MediaState s = TwoTrackCd();
  s.locked = true;
  s.timing.blank_ms = 7;
  MediaState back;
  std::string error;
  ASSERT_TRUE(ParseState(SerializeState(s), &back, &error)) << error;
  EXPECT_EQ(back.profile, kProfileCdR);
  EXPECT_EQ(back.capacity, 359849u);
  EXPECT_TRUE(back.locked);
  EXPECT_EQ(back.timing.blank_ms, 7u);
  ASSERT_EQ(back.tracks.size(), 2u);
  EXPECT_EQ(back.tracks[1].start, 11702);
  EXPECT_EQ(back.tracks[1].written, 40u);
  EXPECT_EQ(back.tracks[1].mode, TrackMode::kMode2);
  EXPECT_EQ(back.next_session_start, 11702);
}

TEST(MediaStateTest, DamagedFilesAreRejectedWithAReason) {
  const std::string good = SerializeState(TwoTrackCd());
  MediaState out;
  std::string error;
  std::string flipped = good;
  flipped[good.find("capacity 359849") + 9] = '4';
  EXPECT_FALSE(ParseState(flipped, &out, &error));
  EXPECT_NE(error.find("checksum"), std::string::npos) << error;
  EXPECT_FALSE(ParseState(good.substr(0, good.size() / 2), &out, &error));
  EXPECT_FALSE(ParseState("", &out, &error));
  EXPECT_FALSE(ParseState(std::string(5000, '\xff'), &out, &error));
  std::string version = good;
  version.replace(version.find(" 1\n"), 3, " 9\n");
  EXPECT_FALSE(ParseState(version, &out, &error));
}

TEST(MediaStateTest, InconsistentStatesAreRejectedEvenWithAValidChecksum) {
  std::string error;
  MediaState out;
  MediaState overlap = TwoTrackCd();
  overlap.tracks[1].start = 100;
  EXPECT_FALSE(ParseState(SerializeState(overlap), &out, &error));
  EXPECT_NE(error.find("overlapping"), std::string::npos) << error;

  MediaState beyond = TwoTrackCd();
  beyond.tracks[1].start = 359800;
  beyond.tracks[1].written = 100;
  EXPECT_FALSE(ParseState(SerializeState(beyond), &out, &error));

  MediaState numbering = TwoTrackCd();
  numbering.tracks[1].number = 5;
  EXPECT_FALSE(ParseState(SerializeState(numbering), &out, &error));

  MediaState session = TwoTrackCd();
  session.tracks[1].session = 3;
  EXPECT_FALSE(ParseState(SerializeState(session), &out, &error));

  MediaState pressed;
  ASSERT_TRUE(MakePressedMedium("dvd-rom", "/x.iso", 2048 * 100, &pressed, &error));
  pressed.image_path.clear();
  EXPECT_FALSE(ParseState(SerializeState(pressed), &out, &error));
}

TEST(MediaStateTest, KindsSeedTheirProfilesAndCapacities) {
  MediaState s;
  std::string error;
  ASSERT_TRUE(MakeBlankMedium("dvd+r-dl", 0, &s, &error));
  EXPECT_EQ(s.profile, kProfileDvdPlusRDl);
  EXPECT_EQ(s.capacity, 4173824u);
  EXPECT_EQ(s.layer0_capacity * 2, s.capacity);
  ASSERT_TRUE(MakeBlankMedium("dvd-r", 0, &s, &error));
  EXPECT_EQ(s.capacity, 2298496u);
  ASSERT_TRUE(MakeBlankMedium("none", 0, &s, &error));
  EXPECT_FALSE(s.has_medium);
  EXPECT_FALSE(MakeBlankMedium("bd-r", 0, &s, &error));
  EXPECT_FALSE(MakePressedMedium("cd-rom", "/x.iso", 2047, &s, &error));
  EXPECT_FALSE(MakePressedMedium("cd-rom", "/x.iso", 2048ull * 500000, &s, &error));
  EXPECT_TRUE(MakePressedMedium("dvd-rom", "/x.iso", 2048ull * 3000000, &s, &error));
  EXPECT_TRUE(s.is_dual_layer());
}

}  // namespace
}  // namespace quillden::drive::virt
