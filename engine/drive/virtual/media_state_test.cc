#include "drive/virtual/media_state.h"

#include <gtest/gtest.h>

#include <cstdio>

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
  EXPECT_EQ(back.profile, mmc::kProfileCdR);
  EXPECT_EQ(back.capacity, 359849u);
  EXPECT_TRUE(back.locked);
  EXPECT_EQ(back.timing.blank_ms, 7u);
  ASSERT_EQ(back.tracks.size(), 2u);
  EXPECT_EQ(back.tracks[1].start, 11702);
  EXPECT_EQ(back.tracks[1].written, 40u);
  EXPECT_EQ(back.tracks[1].mode, TrackMode::kMode2);
  EXPECT_EQ(back.next_session_start, 11702);
}

// A stored virtual disc of every kind of field: what this version writes is what earlier versions
// wrote, byte for byte, so discs kept on disk still load.
MediaState EveryField() {
  MediaState s;
  std::string error;
  EXPECT_TRUE(MakeBlankMedium("dvd-r-dl-lj", 0, &s, &error)) << error;
  s.locked = true;
  s.layer_boundary_fixed = true;
  s.closed_sessions = 1;
  s.next_session_start = 40000;
  s.formatted_blocks = 16;
  s.background_format = 3;
  s.drive_writes_dvd_plus_rw = false;
  s.timing = {1, 2, 3, 4, 5};
  TrackState t;
  t.number = 1;
  t.session = 1;
  t.size = 64;
  t.written = 40;
  t.reserved = true;
  t.closed = true;
  t.layer0_blocks = 32;
  s.tracks.push_back(t);
  t = TrackState();
  t.number = 2;
  t.session = 2;
  t.start = 40000;
  t.written = 7;
  t.mode = TrackMode::kMode2;
  s.tracks.push_back(t);
  s.cd_text.assign(18, 0x8f);
  s.cd_text[17] = 0x0a;
  s.image_path = "/some where/x.iso";
  return s;
}

constexpr char kStoredEveryField[] =
    "quillden-virtual-disc 1\n"
    "tray closed\n"
    "medium present\n"
    "lock 1\n"
    "kind dvd-r-dl-lj\n"
    "profile 22\n"
    "capacity 4171712\n"
    "layer0 2085856\n"
    "layer_fixed 1\n"
    "finalized 0\n"
    "closed_sessions 1\n"
    "next_session_start 40000\n"
    "formatted 16\n"
    "bg_format 3\n"
    "plus_rw_write 0\n"
    "timing 1 2 3 4 5\n"
    "image_blocks 0\n"
    "image /some where/x.iso\n"
    "cd_text 8f8f8f8f8f8f8f8f8f8f8f8f8f8f8f8f8f0a\n"
    "track 1 1 0 64 40 1 1 1 32\n"
    "track 2 2 40000 0 7 0 0 2\n"
    "crc 94b7c04b\n";

TEST(MediaStateTest, StoredFormatIsKeptByteForByte) {
  EXPECT_EQ(SerializeState(EveryField()), kStoredEveryField);
  MediaState back;
  std::string error;
  ASSERT_TRUE(ParseState(kStoredEveryField, &back, &error)) << error;
  EXPECT_EQ(SerializeState(back), kStoredEveryField);
  EXPECT_EQ(back.image_path, "/some where/x.iso");
  EXPECT_EQ(back.tracks[0].layer0_blocks, 32u);
  EXPECT_EQ(back.timing.close_ms, 3u);
  EXPECT_FALSE(back.drive_writes_dvd_plus_rw);
}

// The stored text with one line edited and the checksum made valid again (the standard CRC-32
// over everything before the "crc" line, as zlib computes it): what a careless hand edit or a
// damaged writer leaves, which only the field checks can catch.
std::string Edited(const std::string& from, const std::string& to) {
  std::string body(kStoredEveryField);
  body.erase(body.rfind("crc "));
  const size_t at = body.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) body.replace(at, from.size(), to);
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : body) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
  }
  char line[32];
  std::snprintf(line, sizeof(line), "crc %08x\n", ~crc);
  return body + line;
}

TEST(MediaStateTest, UnknownDuplicateAndDamagedFieldsAreRefusedByName) {
  struct Case {
    const char* from;
    const char* to;
    const char* reason;
  };
  const Case cases[] = {
      {"bg_format 3\n", "bg_format 3\nspeed 4\n", "line 15: unknown field \"speed\""},
      {"lock 1\n", "lock 1\nlock 0\n", "line 5: duplicate \"lock\""},
      {"image /some", "image /some\nimage /other", "duplicate \"image\""},
      {"tray closed", "tray ajar", "line 2: bad tray"},
      {"lock 1", "lock 2", "line 4: bad lock"},
      {"capacity 4171712", "capacity 4171712 9", "bad capacity"},
      {"capacity 4171712", "capacity -1", "bad capacity"},
      {"capacity 4171712", "capacity 99999999", "bad capacity"},
      {"profile 22", "profile 99", "unknown profile"},
      {"timing 1 2 3 4 5", "timing 1 2 3 4", "bad timing"},
      {"timing 1 2 3 4 5", "timing 1 2 x 4 5", "bad timing"},
      {"cd_text 8f", "cd_text zz", "bad cd_text"},
      {"track 2 2 40000 0 7 0 0 2", "track 2 2 40000 0 7 0 0 4", "bad track field 8"},
      {"track 2 2 40000 0 7 0 0 2", "track 2 2 40000", "bad track"},
      {"kind dvd-r-dl-lj\n", "", "lacks \"kind\""},
      {"finalized 0\n", "", "lacks \"finalized\""},
  };
  for (const Case& c : cases) {
    MediaState out;
    out.capacity = 12345;
    std::string error;
    EXPECT_FALSE(ParseState(Edited(c.from, c.to), &out, &error)) << c.to;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.to << ": " << error;
    EXPECT_EQ(out.capacity, 12345u) << "a refused file changes nothing";
  }
  // The same edits without a damaged field load: the checks refuse the field, not the edit.
  MediaState out;
  std::string error;
  EXPECT_TRUE(ParseState(Edited("timing 1 2 3 4 5", "timing 0 0 0 0 3600000"), &out, &error))
      << error;
  EXPECT_EQ(out.timing.background_format_ms, 3600000u);
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
  EXPECT_EQ(s.profile, mmc::kProfileDvdPlusRDl);
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
