// The virtual recorder through hand-built pass-through records: what it reports for each kind of
// medium, its private driver requests, fault injection, and its state file.
#include "drive/virtual/virtual_recorder.h"

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "drive/virtual/media_state.h"
#include "drive/virtual/virtual_admin.h"
#include "drive/virtual/virtual_test_util.h"

namespace quillden::drive {
namespace {

using testing::Be16;
using testing::Be32;
using testing::Reply;
using testing::Send;

std::unique_ptr<Transport> Open(const std::string& path, const std::string& kind) {
  std::string error;
  std::unique_ptr<Transport> t = OpenVirtualRecorder(path, kind, &error);
  EXPECT_NE(t, nullptr) << error;
  return t;
}

uint16_t CurrentProfile(Transport* t) {
  Reply r = Send(t, {0x46, 0x02, 0x00, 0x2A, 0, 0, 0, 0, 16, 0}, 16);
  EXPECT_TRUE(r.ok());
  return Be16(r.data, 6);
}

TEST(VirtualRecorderTest, BlankMediaReportEmptyDiscAndWritableInvisibleTrack) {
  struct Case {
    const char* kind;
    uint16_t profile;
    uint32_t capacity;
  };
  for (const Case& c : {Case{"dvd-r", 0x11, 2298496}, Case{"dvd+r", 0x1B, 2295104},
                        Case{"cd-r", 0x09, 359849}, Case{"dvd-rw", 0x14, 2298496},
                        Case{"dvd+r-dl", 0x2B, 4173824}, Case{"dvd-r-dl", 0x15, 4171712}}) {
    SCOPED_TRACE(c.kind);
    auto t = Open(testing::TempPath(c.kind), c.kind);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(CurrentProfile(t.get()), c.profile);
    Reply disc = testing::DiscInfo(t.get());
    ASSERT_TRUE(disc.ok());
    EXPECT_EQ(disc.data[2] & 0x03, 0);         // disc status empty
    EXPECT_EQ((disc.data[2] >> 2) & 0x03, 0);  // last session empty
    EXPECT_EQ(disc.data[4], 1);                // one session
    EXPECT_EQ(disc.data[6], 1);                // last track in last session: the invisible one
    Reply track = testing::TrackInfo(t.get(), 1, 1);
    ASSERT_TRUE(track.ok());
    EXPECT_TRUE(track.data[6] & 0x40);  // blank
    EXPECT_TRUE(track.data[7] & 0x01);  // next writable address valid
    EXPECT_EQ(Be32(track.data, 8), 0u);
    EXPECT_EQ(Be32(track.data, 12), 0u);
    EXPECT_EQ(Be32(track.data, 16), c.capacity);
    // Track 255 is the same invisible track.
    EXPECT_EQ(testing::TrackInfo(t.get(), 1, 0xFF).data, track.data);
    // A track that does not exist.
    EXPECT_EQ(testing::TrackInfo(t.get(), 1, 2).sense(), 0x052400u);
    // Blank media have no table of contents.
    EXPECT_EQ(Send(t.get(), {0x43, 0, 0, 0, 0, 0, 0, 0, 12, 0}, 12).sense(), 0x052400u);
  }
}

TEST(VirtualRecorderTest, MediaCapacityStructuresMatchTheKind) {
  auto dvdr = Open(testing::TempPath("r"), "dvd-r");
  // Pre-recorded information: the last recordable address as an inverted ECC block number.
  Reply pri = Send(dvdr.get(), {0xAD, 0, 0, 0, 0, 0, 0, 0x0E, 0, 68, 0, 0}, 68);
  ASSERT_TRUE(pri.ok());
  const uint32_t v = (pri.data[7] << 16) | (pri.data[8] << 8) | pri.data[9];
  EXPECT_EQ(((~v) & 0xFFFFFF) * 16 - 197200, 2298496u);
  Reply pfi = Send(dvdr.get(), {0xAD, 0, 0, 0, 0, 0, 0, 0, 0x08, 0x04, 0, 0}, 2052);
  ASSERT_TRUE(pfi.ok());
  EXPECT_EQ(pfi.data[4] >> 4, 2);  // book type DVD-R
  EXPECT_EQ(Send(dvdr.get(), {0xAD, 0, 0, 0, 0, 0, 0, 0x11, 0, 36, 0, 0}, 36).sense(), 0x052400u);

  auto plusdl = Open(testing::TempPath("pdl"), "dvd+r-dl");
  Reply adip = Send(plusdl.get(), {0xAD, 0, 0, 0, 0, 0, 0, 0x11, 0, 36, 0, 0}, 36);
  ASSERT_TRUE(adip.ok());
  auto be24 = [&](size_t at) { return (adip.data[at] << 16) | (adip.data[at + 1] << 8) | adip.data[at + 2]; };
  const uint32_t start = be24(9), end = be24(13), l0end = be24(17);
  EXPECT_EQ((end - start) - ((~l0end) & 0xFFFFFF) + l0end + 2, 4173824u);
  Reply boundary = Send(plusdl.get(), {0xAD, 0, 0, 0, 0, 0, 0, 0x20, 0, 12, 0, 0}, 12);
  ASSERT_TRUE(boundary.ok());
  EXPECT_EQ(Be32(boundary.data, 8), 4173824u / 2);
  // Layers from the physical format information.
  Reply layers = Send(plusdl.get(), {0xAD, 0, 0, 0, 0, 0, 0, 0, 0x08, 0x04, 0, 0}, 2052);
  EXPECT_EQ(((layers.data[6] >> 5) & 3) + 1, 2);

  auto cd = Open(testing::TempPath("cd"), "cd-r");
  Reply atip = Send(cd.get(), {0x43, 0, 4, 0, 0, 0, 0, 0, 28, 0}, 28);
  ASSERT_TRUE(atip.ok());
  EXPECT_EQ((atip.data[12] * 60 + atip.data[13]) * 75 + atip.data[14] - 150, 359849);
  EXPECT_EQ(Send(cd.get(), {0xAD, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0}, 8).key, 5);
}

TEST(VirtualRecorderTest, ConfigurationListsProfilesAndLayerJumpOnlyForDvdMinusRDl) {
  auto dl = Open(testing::TempPath("dl"), "dvd-r-dl");
  Reply list = Send(dl.get(), {0x46, 0x02, 0, 0, 0, 0, 0, 1, 0, 0}, 256);
  ASSERT_TRUE(list.ok());
  EXPECT_EQ(Be16(list.data, 8), 0u);  // profile list feature
  const uint32_t count = list.data[11] / 4;
  bool current_found = false;
  for (uint32_t i = 0; i < count; ++i) {
    if (Be16(list.data, 12 + 4 * i) == 0x15) current_found = list.data[14 + 4 * i] & 1;
  }
  EXPECT_TRUE(current_found);
  EXPECT_GT(Be32(Send(dl.get(), {0x46, 0x02, 0, 0x33, 0, 0, 0, 0, 16, 0}, 16).data, 0), 4u);
  EXPECT_TRUE(Send(dl.get(), {0x46, 0x02, 0, 0x33, 0, 0, 0, 0, 16, 0}, 16).data[10] & 1);
  // The drive supports layer jump recording whatever the medium; it is current only on DVD-R DL.
  auto plus = Open(testing::TempPath("plus"), "dvd+r");
  Reply jump = Send(plus.get(), {0x46, 0x02, 0, 0x33, 0, 0, 0, 0, 16, 0}, 16);
  EXPECT_GT(Be32(jump.data, 0), 4u);
  EXPECT_FALSE(jump.data[10] & 1);
  // HD DVD is not supported at all: only the header comes back.
  EXPECT_EQ(Be32(Send(plus.get(), {0x46, 0x02, 0, 0x50, 0, 0, 0, 0, 20, 0}, 20).data, 0), 4u);
  // Layer jump recording is selected through the write type of the write parameters page.
  ASSERT_TRUE(testing::SelectWritePage(dl.get(), 4, 0, 5, 8).ok());
  EXPECT_EQ(CurrentProfile(dl.get()), 0x16);
  // A drive without a medium reports no current profile.
  auto empty = Open(testing::TempPath("none"), "none");
  EXPECT_EQ(CurrentProfile(empty.get()), 0u);
  EXPECT_EQ(Send(empty.get(), {0, 0, 0, 0, 0, 0}).sense(), 0x023A00u);
}

std::unique_ptr<Transport> OpenDeclared(const std::string& path, const std::string& kind,
                                        const std::string& declaration) {
  VirtualDriveModel model;
  std::string error;
  EXPECT_TRUE(ParseVirtualDriveModel(declaration, &model, &error)) << error;
  std::unique_ptr<Transport> t = OpenVirtualRecorder(path, kind, model, &error);
  EXPECT_NE(t, nullptr) << error;
  return t;
}

std::vector<uint16_t> ProfileList(Transport* t, Reply* whole = nullptr) {
  Reply list = Send(t, {0x46, 0x00, 0, 0, 0, 0, 0, 1, 0, 0}, 256);
  EXPECT_TRUE(list.ok());
  std::vector<uint16_t> profiles;
  if (Be16(list.data, 8) != 0) return profiles;
  for (uint32_t i = 0; i < list.data[11] / 4u; ++i) profiles.push_back(Be16(list.data, 12 + 4 * i));
  if (whole != nullptr) *whole = list;
  return profiles;
}

TEST(VirtualRecorderTest, DriveDeclarationsParseOrNameWhatIsWrong) {
  VirtualDriveModel model;
  std::string error;
  ASSERT_TRUE(ParseVirtualDriveModel("", &model, &error));
  EXPECT_TRUE(model.every_medium);
  ASSERT_TRUE(ParseVirtualDriveModel("reads=dvd writes=cd", &model, &error));
  EXPECT_FALSE(model.every_medium);
  EXPECT_TRUE(model.Writes(0x09) && model.Writes(0x0A));
  EXPECT_FALSE(model.Writes(0x1B));
  EXPECT_TRUE(model.ReadsFamilyOf(0x08));  // what it writes, it reads
  EXPECT_TRUE(model.ReadsFamilyOf(0x1B));
  ASSERT_TRUE(ParseVirtualDriveModel("reads=cd-rom", &model, &error));
  EXPECT_TRUE(model.writes.empty());
  EXPECT_FALSE(model.ReadsFamilyOf(0x10));
  for (const char* bad : {"reads=cd|bluray", "writes=dvd-rom", "speed=4", "reads"}) {
    error.clear();
    EXPECT_FALSE(ParseVirtualDriveModel(bad, &model, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

// A recorder that writes only CDs lists the CD profiles it writes and the read-only profiles of
// what it reads; a DVD it cannot write is no medium it can use, a recorded one reads as DVD-ROM.
TEST(VirtualRecorderTest, CdOnlyRecorderReportsWhatItsFeatureListSays) {
  const std::string declaration = "reads=cd|dvd writes=cd-r|cd-rw";
  auto dvd = OpenDeclared(testing::TempPath("cdonly-dvd"), "dvd+r", declaration);
  EXPECT_EQ(ProfileList(dvd.get()), (std::vector<uint16_t>{0x10, 0x0A, 0x09, 0x08}));
  EXPECT_EQ(CurrentProfile(dvd.get()), 0u);
  EXPECT_EQ(Send(dvd.get(), {0, 0, 0, 0, 0, 0}).sense(), 0x023000u);
  Reply caps = Send(dvd.get(), {0x5A, 0x08, 0x2A, 0, 0, 0, 0, 0, 64, 0}, 64);
  ASSERT_TRUE(caps.ok());
  EXPECT_EQ(caps.data[8 + 3], 0x03);  // writes CD-R and CD-RW
  auto cd = OpenDeclared(testing::TempPath("cdonly-cd"), "cd-r", declaration);
  EXPECT_EQ(CurrentProfile(cd.get()), 0x09);
  EXPECT_TRUE(testing::Write10(cd.get(), 0, 16, 0x5A).ok());
}

// A reading drive of the older kind: its configuration is the profile list alone, it does not know
// READ TRACK INFORMATION, and it records nothing.
TEST(VirtualRecorderTest, ReadingDriveAnswersItsProfileListAndNoTrackInformation) {
  const std::string path = testing::TempPath("rom");
  {
    auto recorder = Open(path, "cd-r");
    ASSERT_TRUE(testing::Write10(recorder.get(), 0, 32, 0x33).ok());
  }
  auto rom = OpenDeclared(path, "cd-r", "reads=cd|dvd");
  Reply whole;
  EXPECT_EQ(ProfileList(rom.get(), &whole), (std::vector<uint16_t>{0x10, 0x08}));
  EXPECT_EQ(Be32(whole.data, 0), 4u + 4 + whole.data[11]);  // nothing after the profile list
  EXPECT_EQ(CurrentProfile(rom.get()), 0x08);               // a recorded CD-R reads as CD-ROM
  EXPECT_EQ(testing::TrackInfo(rom.get(), 1, 1).sense(), 0x052000u);
  EXPECT_TRUE(testing::DiscInfo(rom.get()).ok());
  EXPECT_EQ(testing::Write10(rom.get(), 32, 16, 0x44).sense(), 0x052000u);
  EXPECT_EQ(testing::Read10(rom.get(), 31, 1).data[0], 0x33);
}

TEST(VirtualRecorderTest, PrivateRequestsKeepLetterAndEjectFlag) {
  auto t = Open(testing::TempPath("p"), "dvd+rw");
  uint8_t letter = 'V';
  uint32_t returned = 0;
  ASSERT_TRUE(t->Request(kRequestSetDriveLetter, &letter, 1, 0, &returned));
  uint8_t out = 0;
  ASSERT_TRUE(t->Request(kRequestGetDriveLetter, &out, 1, 1, &returned));
  EXPECT_EQ(out, 'V');
  uint8_t mode[4] = {};
  ASSERT_TRUE(t->Request(kRequestEjectDetectionMode, mode, 0, 4, &returned));
  EXPECT_EQ(mode[0], 1);
  EXPECT_FALSE(t->Request(0xECD0FFFF, mode, 4, 4, &returned));

  // Locked and catching: the button raises the flag (read once) and an eject-request event.
  ASSERT_TRUE(Send(t.get(), {0x1E, 0, 0, 0, 1, 0}).ok());
  uint8_t on[4] = {1, 0, 0, 0};
  ASSERT_TRUE(t->Request(kRequestCatchEject, on, 4, 1, &returned));
  AsVirtualRecorder(t.get())->PressEjectButton();
  uint8_t flag = 0;
  ASSERT_TRUE(t->Request(kRequestEjectFlag, &flag, 0, 1, &returned));
  EXPECT_EQ(flag, 1);
  ASSERT_TRUE(t->Request(kRequestEjectFlag, &flag, 0, 1, &returned));
  EXPECT_EQ(flag, 0);
  Reply event = Send(t.get(), {0x4A, 1, 0, 0, 0x10, 0, 0, 0, 8, 0}, 8);
  ASSERT_TRUE(event.ok());
  EXPECT_EQ(event.data[2] & 7, 4);
  EXPECT_EQ(event.data[4] & 0x0F, 1);  // eject request
  EXPECT_TRUE(event.data[5] & 0x02);   // medium still present
  EXPECT_TRUE(Send(t.get(), {0, 0, 0, 0, 0, 0}).ok());
  EXPECT_EQ(Send(t.get(), {0x1B, 1, 0, 0, 0x02, 0}).sense(), 0x055302u);  // removal prevented

  // Unlocked: the button opens the tray.
  ASSERT_TRUE(Send(t.get(), {0x1E, 0, 0, 0, 0, 0}).ok());
  AsVirtualRecorder(t.get())->PressEjectButton();
  EXPECT_EQ(Send(t.get(), {0, 0, 0, 0, 0, 0}).sense(), 0x023A00u);
  ASSERT_TRUE(Send(t.get(), {0x1B, 1, 0, 0, 0x03, 0}).ok());  // load
  EXPECT_TRUE(Send(t.get(), {0, 0, 0, 0, 0, 0}).ok());
  AsVirtualRecorder(t.get())->RemoveMedium();
  EXPECT_EQ(testing::DiscInfo(t.get()).sense(), 0x023A00u);
}

TEST(VirtualRecorderTest, MalformedRecordsFailTheRequestItself) {
  auto t = Open(testing::TempPath("m"), "dvd-r");
  std::vector<uint8_t> record(80 + 8, 0);
  record[0] = 44;
  record[6] = 10;
  record[8] = 1;
  record[12] = 64;  // more data than the buffer holds
  record[20] = 80;
  record[24] = 48;
  record[28] = 0x25;
  uint32_t returned = 0;
  EXPECT_FALSE(t->Request(kRequestPassThrough, record.data(), 88, 88, &returned));
  record[12] = 8;
  EXPECT_TRUE(t->Request(kRequestPassThrough, record.data(), 88, 88, &returned));
  record[0] = 40;
  EXPECT_FALSE(t->Request(kRequestPassThrough, record.data(), 88, 88, &returned));
  EXPECT_FALSE(t->Request(kRequestPassThrough, record.data(), 40, 40, &returned));
  EXPECT_EQ(Send(t.get(), {0xFF, 0, 0, 0, 0, 0}).sense(), 0x052000u);
}

TEST(VirtualRecorderTest, InjectedSenseFiresAtTheNthCommandOfItsOpcode) {
  auto t = Open(testing::TempPath("f"), "dvd+r");
  VirtualRecorder* v = AsVirtualRecorder(t.get());
  ASSERT_NE(v, nullptr);
  v->InjectSense(0x51, 3, 3, 0x11, 0x00, 2);
  EXPECT_TRUE(testing::DiscInfo(t.get()).ok());
  EXPECT_TRUE(Send(t.get(), {0, 0, 0, 0, 0, 0}).ok());  // other opcodes do not count
  EXPECT_TRUE(testing::DiscInfo(t.get()).ok());
  EXPECT_EQ(testing::DiscInfo(t.get()).sense(), 0x031100u);
  EXPECT_EQ(testing::DiscInfo(t.get()).sense(), 0x031100u);
  EXPECT_TRUE(testing::DiscInfo(t.get()).ok());
  EXPECT_EQ(v->CommandCount(0x51), 5u);

  v->SetNotReadyForCommands(2);
  EXPECT_EQ(Send(t.get(), {0, 0, 0, 0, 0, 0}).sense(), 0x020401u);
  EXPECT_TRUE(Send(t.get(), {0x12, 0, 0, 0, 36, 0}, 36).ok());  // identification still answers
  EXPECT_EQ(Send(t.get(), {0, 0, 0, 0, 0, 0}).sense(), 0x020401u);
  EXPECT_TRUE(Send(t.get(), {0, 0, 0, 0, 0, 0}).ok());
}

TEST(VirtualRecorderTest, CorruptedDataReachesTheCallerAsGarbage) {
  const std::string path = testing::TempPath("c");
  auto t = Open(path, "dvd+r");
  VirtualRecorder* v = AsVirtualRecorder(t.get());
  ASSERT_TRUE(testing::Write10(t.get(), 0, 32, 0x11).ok());
  ASSERT_TRUE(testing::Close(t.get(), 1, 1).ok());
  // A TOC that claims 200 tracks and an absurd length.
  DataCorruption toc;
  toc.kind = DataCorruption::Kind::kPatch;
  toc.offset = 0;
  toc.bytes = {0xFF, 0xFF, 1, 200};
  v->CorruptNextData(0x43, 1, toc);
  Reply r = Send(t.get(), {0x43, 0, 0, 0, 0, 0, 0, 0, 20, 0}, 20);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.data[3], 200);
  EXPECT_EQ(Be16(r.data, 0), 0xFFFFu);
  // Short data: only 4 bytes of the disc information arrive.
  DataCorruption shorten;
  shorten.keep_bytes = 4;
  v->CorruptNextData(0x51, 1, shorten);
  r = testing::DiscInfo(t.get());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.transferred, 4u);
  EXPECT_EQ(r.data[6], 0);
  DataCorruption garbage;
  garbage.kind = DataCorruption::Kind::kGarbage;
  garbage.seed = 99;
  v->CorruptNextData(0x28, 2, garbage);
  EXPECT_EQ(testing::Read10(t.get(), 0, 1).data[0], 0x11);
  EXPECT_NE(testing::Read10(t.get(), 0, 1).data, std::vector<uint8_t>(2048, 0x11));
  EXPECT_EQ(testing::Read10(t.get(), 0, 1).data, std::vector<uint8_t>(2048, 0x11));
}

TEST(VirtualRecorderTest, StatePersistsAcrossReopenAndWinsOverTheKind) {
  const std::string path = testing::TempPath("s");
  {
    auto t = Open(path, "dvd-r");
    ASSERT_TRUE(testing::Write10(t.get(), 0, 64, 0x22).ok());
    ASSERT_TRUE(Send(t.get(), {0x1E, 0, 0, 0, 1, 0}).ok());
  }
  auto t = Open(path, "cd-r");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(CurrentProfile(t.get()), 0x11);
  Reply track = testing::TrackInfo(t.get(), 1, 0xFF);
  ASSERT_TRUE(track.ok());
  EXPECT_EQ(Be32(track.data, 12), 64u);
  EXPECT_EQ(testing::Read10(t.get(), 63, 1).data[5], 0x22);
  // The lock ended when the last handle closed, as a drive's does: the tray opens.
  EXPECT_TRUE(Send(t.get(), {0x1B, 1, 0, 0, 0x02, 0}).ok());
}

TEST(VirtualRecorderTest, DamagedStateFileIsAClearErrorNeverACrash) {
  const std::string path = testing::TempPath("d");
  { auto t = Open(path, "dvd+r"); }
  const std::string state_path = virt::StateFilePath(path);
  std::stringstream buffer;
  buffer << std::ifstream(state_path).rdbuf();
  const std::string good = buffer.str();
  for (const std::string& bad : {good.substr(0, good.size() - 7), std::string("garbage\n"),
                                 std::string(), good + "extra 1\n"}) {
    std::ofstream(state_path, std::ios::trunc) << bad;
    std::string error;
    EXPECT_EQ(OpenVirtualRecorder(path, "dvd+r", &error), nullptr);
    EXPECT_FALSE(error.empty());
  }
  std::ofstream(state_path, std::ios::trunc) << good;
  EXPECT_NE(Open(path, "dvd+r"), nullptr);
}

TEST(VirtualRecorderTest, ExistingDataWithoutStateIsNotOverwritten) {
  const std::string path = testing::TempPath("img");
  std::ofstream(path) << std::string(4096, 'x');
  std::string error;
  EXPECT_EQ(OpenVirtualRecorder(path, "dvd+r", &error), nullptr);
  EXPECT_NE(error.find("no virtual disc state"), std::string::npos);
  std::ifstream in(path);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content.size(), 4096u);
}

TEST(VirtualRecorderTest, PressedImageIsAClosedReadOnlyDisc) {
  const std::string image = testing::TempPath("rom.iso");
  {
    std::ofstream out(image, std::ios::binary);
    for (int i = 0; i < 300; ++i) out << std::string(2048, static_cast<char>('a' + i % 26));
  }
  const std::string path = testing::TempPath("rom");
  std::string error;
  ASSERT_TRUE(LoadVirtualImage(path, image, "", &error)) << error;
  auto t = Open(path, "none");
  EXPECT_EQ(CurrentProfile(t.get()), 0x08);
  Reply disc = testing::DiscInfo(t.get());
  EXPECT_EQ(disc.data[2] & 3, 2);
  Reply cap = Send(t.get(), {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8);
  EXPECT_EQ(Be32(cap.data, 0), 299u);
  EXPECT_EQ(testing::Read10(t.get(), 27, 1).data[0], 'b');
  EXPECT_EQ(testing::Read10(t.get(), 300, 1).sense(), 0x052100u);
  EXPECT_EQ(testing::Write10(t.get(), 300, 1, 0).sense(), 0x053005u);
  // A raw mode 1 sector of a pressed CD.
  Reply raw = Send(t.get(), {0xBE, 0, 0, 0, 0, 16, 0, 0, 1, 0xF8, 0, 0}, 2352);
  ASSERT_TRUE(raw.ok());
  EXPECT_EQ(raw.data[1], 0xFF);
  EXPECT_EQ(raw.data[15], 1);
  EXPECT_EQ(raw.data[16], 'q');
  Reply toc = Send(t.get(), {0x43, 0, 0, 0, 0, 0, 0, 0, 20, 0}, 20);
  EXPECT_EQ(Be32(toc.data, 16), 300u);  // lead-out
}

}  // namespace
}  // namespace quillden::drive
