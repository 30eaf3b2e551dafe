// Creating disc images from discs in virtual recorders and recording them (and copying discs)
// onto other virtual recorders; the copies must hold the source's data in the source's layout.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "../recording/recording_fixture.h"
#include "drive/drive_handle.h"
#include "drive/media_queries.h"
#include "drive/mmc_commands.h"
#include "drive/profiles.h"
#include "drive/recording/recorder.h"
#include "drive/virtual/virtual_admin.h"
#include "drive/virtual/virtual_recorder.h"
#include "image/copy_status.h"
#include "image/disc_description.h"
#include "image/image_format.h"
#include "platform/unicode.h"
#include "quillden/drive.h"
#include "quillden/image.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden::image {
namespace {

namespace fs = std::filesystem;
using recording::testing::RecordImage;
using recording::testing::TestProgress;

struct VirtualDisc {
  std::string path;
  HANDLE drive = nullptr;
  drive::VirtualRecorder* recorder = nullptr;
};

class ImageCopyTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (VirtualDisc& d : discs_) {
      if (d.drive) DRV_CloseDrive(d.drive);
      std::error_code ignored;
      for (const char* suffix : {"", ".state", ".raw"}) fs::remove(d.path + suffix, ignored);
    }
    std::error_code ignored;
    fs::remove_all(work_, ignored);
  }

  // A blank disc of kind, or pressed media ("dvd-rom") made from pressed_image.
  VirtualDisc& Open(const std::string& kind, uint32_t capacity = 0,
                    const std::string& pressed_image = "") {
    static std::atomic<int> counter{0};
    VirtualDisc d;
    d.path = ::testing::TempDir() + "/imgcopy-" + std::to_string(::getpid()) + "-" +
             std::to_string(counter++) + ".disc";
    std::string error;
    if (pressed_image.empty()) {
      EXPECT_TRUE(drive::CreateVirtualBlank(d.path, kind, capacity, &error)) << error;
    } else {
      EXPECT_TRUE(drive::CreateVirtualBlank(d.path, "none", 0, &error)) << error;
      EXPECT_TRUE(drive::LoadVirtualImage(d.path, pressed_image, kind, &error)) << error;
    }
    drive::VirtualTiming timing;
    timing.blank_ms = timing.format_ms = timing.close_ms = timing.flush_ms =
        timing.background_format_ms = 0;
    EXPECT_TRUE(drive::SetVirtualTiming(d.path, timing, &error)) << error;
    std::unique_ptr<drive::Transport> transport = drive::OpenVirtualRecorder(d.path, kind, &error);
    EXPECT_NE(transport, nullptr) << error;
    d.recorder = drive::AsVirtualRecorder(transport.get());
    d.drive = drive::OpenDriveOnTransport(std::move(transport), 0);
    discs_.push_back(d);
    return discs_.back();
  }

  std::string Work(const std::string& name) {
    if (work_.empty()) {
      work_ = ::testing::TempDir() + "/imgcopy-work-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
      fs::create_directories(work_);
    }
    return work_ + "/" + name;
  }

 public:
  static std::vector<uint8_t> Pattern(uint32_t blocks, uint32_t seed, uint32_t block_size = 2048) {
    std::vector<uint8_t> data(size_t{blocks} * block_size);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t& b : data) {
      x = x * 1103515245u + 12345u;
      b = static_cast<uint8_t>(x >> 16);
    }
    return data;
  }

 protected:
  // The user data of blocks [first, first + count) as the drive reads them.
  static std::vector<uint8_t> ReadBlocks(HANDLE drive, uint32_t first, uint32_t count) {
    std::vector<uint8_t> data(size_t{count} * 2048);
    for (uint32_t done = 0; done < count;) {
      const uint32_t n = std::min<uint32_t>(16, count - done);
      EXPECT_EQ(drive::Read10(drive, first + done, data.data() + size_t{done} * 2048, n * 2048), 0u)
          << first + done;
      done += n;
    }
    return data;
  }

  static uint32_t Create(HANDLE drive, const std::string& path) {
    const std::u16string wide = quenvar::platform::Utf8ToUtf16(path);
    return CPY_CreateDiskImage(drive, wide.c_str(), nullptr);
  }

  static HANDLE OpenImage(const std::string& path) {
    const std::u16string wide = quenvar::platform::Utf8ToUtf16(path);
    return CPY_OpenDiskImage(wide.c_str());
  }

  static std::vector<_TRACKINFORMATION> TracksOf(HANDLE drive) {
    std::vector<_TRACKINFORMATION> tracks;
    const WORD last = DRV_GetLastTrack(drive);
    for (WORD t = 1; t <= last; ++t) {
      _TRACKINFORMATION info{};
      DRV_GetTrackInformation(drive, t, &info, FALSE);
      tracks.push_back(info);
    }
    return tracks;
  }

  // Writes a disc image file of the given lists (planned here) with pattern data for every track.
  static void WriteImageFile(const std::string& path, ImageDescription description) {
    ASSERT_TRUE(description.flags & kFlagSingleDataTrack ? PlanSingleTrackImage(&description)
                                                         : PlanMultiTrackImage(&description));
    std::ofstream out(path, std::ios::binary);
    const std::vector<uint8_t> prologue = EncodePrologue(description);
    out.write(reinterpret_cast<const char*>(prologue.data()),
              static_cast<std::streamsize>(prologue.size()));
    for (const TrackEntry& t : description.tracks) {
      const std::vector<uint8_t> data = Pattern(t.sector_count, t.track_number, t.bytes_per_sector);
      out.write(reinterpret_cast<const char*>(data.data()),
                static_cast<std::streamsize>(data.size()));
    }
    ASSERT_TRUE(out.good());
  }

  static TrackEntry Track(uint16_t number, uint16_t session, uint32_t start, uint32_t sectors,
                          uint32_t mode = 1, uint32_t bytes = 2048) {
    TrackEntry t;
    t.track_number = number;
    t.session_number = session;
    t.start = start;
    t.sector_count = sectors;
    t.mode = mode;
    t.bytes_per_sector = bytes;
    return t;
  }

  static bool IsBlank(HANDLE drive) {
    _MEDIAINFORMATION info{};
    return DRV_GetMediaInformation(drive, &info) == 0 && info.dwStatus == MEDIA_STATUS_BLANK;
  }

  void ExpectRefused(const std::string& what, ImageDescription description,
                     std::vector<DWORD> modes, DWORD code, const char* kind = "cd-r");

  std::deque<VirtualDisc> discs_;  // references handed out stay valid
  std::string work_;
};

// Two sessions of data on a CD-R left appendable.
void RecordTwoSessions(HANDLE drive, const std::vector<uint8_t>& first,
                       const std::vector<uint8_t>& second) {
  TestProgress progress;
  ASSERT_EQ(RecordImage(drive, 1, first, 0, 0, progress.reporter()), 0u);
  _MEDIAINFORMATION info{};
  ASSERT_EQ(DRV_GetMediaInformation(drive, &info), 0u);
  ASSERT_EQ(RecordImage(drive, 1, second, info.dwNextWritable, 0, progress.reporter()), 0u);
}

TEST_F(ImageCopyTest, MultiSessionCdImageRecordsTheSameSessionsAndData) {
  VirtualDisc& source = Open("cd-r");
  const std::vector<uint8_t> one = Pattern(300, 1), two = Pattern(200, 2);
  RecordTwoSessions(source.drive, one, two);
  const std::string file = Work("multi.wvm");
  ASSERT_EQ(Create(source.drive, file), 0u) << std::hex << DRV_GetLastCommandError(nullptr);

  HANDLE image = OpenImage(file);
  ASSERT_NE(image, nullptr);
  EXPECT_TRUE(CPY_IsAppendDiskImage(image));
  EXPECT_EQ(CPY_GetMediaDiskImage(image), MEDIA_CDR);
  const std::vector<_TRACKINFORMATION> source_tracks = TracksOf(source.drive);
  ASSERT_EQ(source_tracks.size(), 2u);
  ASSERT_EQ(CPY_GetTrackInformation(image, 0, nullptr), 2);
  _TRACKINFORMATION second{};
  CPY_GetTrackInformation(image, 2, &second);
  EXPECT_EQ(second.wSession, 2);
  EXPECT_EQ(second.dwStart, source_tracks[1].dwStart);

  for (DWORD mode : {1u, 2u}) {
    VirtualDisc& target = Open("cd-r");
    ASSERT_EQ(CPY_WriteDiskImage(target.drive, image, mode, nullptr, 4), 0u)
        << "mode " << mode << std::hex << " last error " << DRV_GetLastCommandError(nullptr);
    const std::vector<_TRACKINFORMATION> copied = TracksOf(target.drive);
    ASSERT_EQ(copied.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(copied[i].dwStart, source_tracks[i].dwStart) << i;
      EXPECT_EQ(copied[i].wSession, source_tracks[i].wSession) << i;
    }
    EXPECT_TRUE(ReadBlocks(target.drive, copied[0].dwStart, 300) == one);
    EXPECT_TRUE(ReadBlocks(target.drive, copied[1].dwStart, 200) == two);
    _MEDIAINFORMATION info{};
    ASSERT_EQ(DRV_GetMediaInformation(target.drive, &info), 0u);
    EXPECT_EQ(info.dwStatus, mode == 1 ? MEDIA_STATUS_APPENDABLE : MEDIA_STATUS_CLOSED)
        << "mode " << mode;
  }
  EXPECT_EQ(CPY_CloseDiskImage(image), 0u);
}

TEST_F(ImageCopyTest, DvdPlusRwImageRecordsOnEveryAllowedTarget) {
  VirtualDisc& source = Open("dvd+rw", 8192);
  // A file system, so that the rewritable disc does not count as blank.
  recording::testing::MakeFiles(Work("files"), 3, 900000);
  const std::vector<uint8_t> data = recording::testing::MakeIso(Work("files"), Work("plusrw.iso"));
  ASSERT_EQ(data.size() % 2048, 0u);
  const uint32_t blocks = static_cast<uint32_t>(data.size() / 2048);
  {
    TestProgress progress;
    ASSERT_EQ(RecordImage(source.drive, 2, data, 0, 0, progress.reporter()), 0u);
  }
  const std::string file = Work("plusrw.wvm");
  HANDLE progress = PRG_CreateProgress();
  ASSERT_EQ(
      CPY_CreateDiskImage(source.drive, quenvar::platform::Utf8ToUtf16(file).c_str(), progress),
      0u);
  DWORD phase = 0, done = 0, end = 0, result;
  while (PRG_GetProgressStatus(progress, &phase, &done, &end) == PRG_STATUS_RUNNING) usleep(2000);
  while ((result = PRG_GetProgressErrorCode(progress)) == QD_E_BUSY) usleep(1000);
  EXPECT_EQ(phase, PRG_PHASE_CREATING_IMAGE);
  EXPECT_EQ(done, end);
  PRG_DestroyProgress(progress);
  ASSERT_EQ(result, 0u);
  HANDLE image = OpenImage(file);
  ASSERT_NE(image, nullptr);
  _TRACKINFORMATION track{};
  ASSERT_EQ(CPY_GetTrackInformation(image, 1, &track), 1);

  for (const char* kind : {"dvd+r", "dvd-r", "dvd+rw", "cd-r"}) {
    VirtualDisc& target = Open(kind);
    _MEDIAINFORMATION media{};
    ASSERT_EQ(DRV_GetMediaInformation(target.drive, &media), 0u);
    EXPECT_NE(CPY_GetCopyableStatusFileToDrive(image, media.dwMedia, 1), 0u) << kind;
    ASSERT_EQ(CPY_WriteDiskImage(target.drive, image, 1, nullptr, 4), 0u)
        << kind << std::hex << " last error " << DRV_GetLastCommandError(nullptr);
    EXPECT_TRUE(ReadBlocks(target.drive, 0, blocks) == data) << kind;
  }
  EXPECT_EQ(CPY_CloseDiskImage(image), 0u);
}

TEST_F(ImageCopyTest, DriveToDriveCopyHoldsTheSourceData) {
  VirtualDisc& source = Open("dvd-r");
  const std::vector<uint8_t> data = Pattern(640, 4);
  {
    TestProgress progress;
    ASSERT_EQ(RecordImage(source.drive, 2, data, 0, 0, progress.reporter()), 0u);
  }
  VirtualDisc& target = Open("dvd+r");
  EXPECT_EQ(CPY_GetCopyableStatusDriveToDrive(source.drive, MEDIA_DVDPR, 2), 1u);
  ASSERT_EQ(CPY_WriteDrive(target.drive, source.drive, 2, nullptr, 4), 0u)
      << std::hex << DRV_GetLastCommandError(nullptr);
  EXPECT_TRUE(ReadBlocks(target.drive, 0, 640) == data);
  // The target now holds data: a second copy onto it is refused before anything is written.
  EXPECT_EQ(CPY_WriteDrive(target.drive, source.drive, 1, nullptr, 4), QD_E_INVALID_SETTING);
}

TEST_F(ImageCopyTest, SingleTrackDvdMinusRImageOntoCdRIsStatusTwo) {
  VirtualDisc& source = Open("dvd-r");
  {
    TestProgress progress;
    ASSERT_EQ(RecordImage(source.drive, 2, Pattern(64, 5), 0, 0, progress.reporter()), 0u);
  }
  const std::string file = Work("minusr.wvm");
  ASSERT_EQ(Create(source.drive, file), 0u);
  HANDLE image = OpenImage(file);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(CPY_GetCopyableStatusFileToDrive(image, MEDIA_CDR, 2), 2u);
  EXPECT_EQ(CPY_GetCopyableStatusFileToDrive(nullptr, MEDIA_CDR, 2), QD_E_INVALID_HANDLE);
  CPY_CloseDiskImage(image);
}

TEST_F(ImageCopyTest, AudioCdImageIsRefusedByDvdPlusR) {
  VirtualDisc& source = Open("cd-r");
  {
    TestProgress progress;
    ASSERT_EQ(RecordImage(source.drive, 2, Pattern(300, 6, 2352), 0, 0, progress.reporter(), 3),
              0u);
  }
  const std::string file = Work("audio.wvm");
  ASSERT_EQ(Create(source.drive, file), 0u);
  HANDLE image = OpenImage(file);
  ASSERT_NE(image, nullptr);
  VirtualDisc& target = Open("dvd+r");
  EXPECT_EQ(CPY_WriteDiskImage(target.drive, image, 1, nullptr, 4), QD_E_MEDIA_UNSUPPORTED);
  _MEDIAINFORMATION info{};
  ASSERT_EQ(DRV_GetMediaInformation(target.drive, &info), 0u);
  EXPECT_EQ(info.dwStatus, MEDIA_STATUS_BLANK);
  // On CD-R the audio copy plays back sample for sample.
  VirtualDisc& cd = Open("cd-r");
  ASSERT_EQ(CPY_WriteDiskImage(cd.drive, image, 3, nullptr, 4), 0u)
      << std::hex << DRV_GetLastCommandError(nullptr);
  _TRACKINFORMATION track{};
  ASSERT_EQ(DRV_GetTrackInformation(cd.drive, 1, &track, FALSE), 1);
  EXPECT_EQ(track.dwMode, 3u);
  CPY_CloseDiskImage(image);
}

TEST_F(ImageCopyTest, FailedCreationDeletesTheUnfinishedFile) {
  VirtualDisc& source = Open("dvd+r");
  {
    TestProgress progress;
    ASSERT_EQ(RecordImage(source.drive, 2, Pattern(200, 7), 0, 0, progress.reporter()), 0u);
  }
  source.recorder->InjectSense(0x28, 3, 3, 0x11, 0x00, 100);  // READ(10): unrecovered read error
  const std::string file = Work("broken.wvm");
  EXPECT_NE(Create(source.drive, file), 0u);
  EXPECT_FALSE(fs::exists(file));
  source.recorder->ClearFaults();
  // A blank disc has nothing to copy: no file is left either.
  VirtualDisc& blank = Open("dvd+r");
  EXPECT_EQ(Create(blank.drive, file), QD_E_SOURCE_BLANK);
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(ImageCopyTest, IsoImageChecks) {
  VirtualDisc& target = Open("dvd+r");
  const std::string odd = Work("odd.iso");
  {
    std::vector<uint8_t> bytes = Pattern(4, 8);
    bytes.push_back(1);  // 2048 * n + 1 bytes
    std::ofstream(odd, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  const std::u16string wide = quenvar::platform::Utf8ToUtf16(odd);
  EXPECT_EQ(CPY_WriteISOImage(target.drive, 2, 1, wide.c_str(), nullptr), QD_E_WRONG_FORM);
  EXPECT_EQ(CPY_WriteISOImage(target.drive, 2, 3, wide.c_str(), nullptr), QD_E_INVALID_ARGUMENT);
  // Raw mode 2 sectors belong on CD only.
  EXPECT_EQ(CPY_WriteISOImage(target.drive, 2, 2, wide.c_str(), nullptr), QD_E_MEDIA_UNSUPPORTED);

  const std::string iso = Work("data.iso");
  {
    const std::vector<uint8_t> bytes = Pattern(64, 9);
    std::ofstream(iso, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  const std::u16string iso_wide = quenvar::platform::Utf8ToUtf16(iso);
  ASSERT_EQ(CPY_WriteISOImage(target.drive, 1, 1, iso_wide.c_str(), nullptr), 0u);
  // Disc at once on a DVD+R that already holds data.
  EXPECT_EQ(CPY_WriteISOImage(target.drive, 3, 1, iso_wide.c_str(), nullptr),
            QD_E_INVALID_ARGUMENT);
}

TEST_F(ImageCopyTest, RawMode2IsoKeepsTheSubheaders) {
  VirtualDisc& target = Open("cd-r");
  // Raw mode 2 form 1 sectors: sync, header, subheader (file 1, channel 0, data, form 1) and data.
  std::vector<uint8_t> raw = Pattern(40, 10, 2352);
  for (uint32_t i = 0; i < 40; ++i) {
    uint8_t* s = raw.data() + size_t{i} * 2352;
    const uint8_t sub[8] = {1, 0, 0x08, 0, 1, 0, 0x08, 0};
    std::copy(sub, sub + 8, s + 16);
  }
  const std::string iso = Work("mode2.bin");
  std::ofstream(iso, std::ios::binary).write(reinterpret_cast<const char*>(raw.data()), raw.size());
  const std::u16string wide = quenvar::platform::Utf8ToUtf16(iso);
  ASSERT_EQ(CPY_WriteISOImage(target.drive, 2, 2, wide.c_str(), nullptr), 0u)
      << std::hex << DRV_GetLastCommandError(nullptr);
  std::vector<uint8_t> read(2352);
  ASSERT_EQ(drive::ReadCd(target.drive, 0, 5, read.data(), 2352, 2352, 0), 0u);
  // The subheader and the user data are the file's.
  EXPECT_TRUE(std::equal(read.begin() + 16, read.begin() + 24 + 2048, raw.begin() + 5 * 2352 + 16));
}

TEST_F(ImageCopyTest, CreationFromABlankDiscKeepsAnExistingFile) {
  VirtualDisc& blank = Open("cd-r");
  const std::string file = Work("precious.wvm");
  std::ofstream(file) << "an earlier image the user keeps";
  EXPECT_EQ(Create(blank.drive, file), QD_E_SOURCE_BLANK);
  std::ifstream in(file);
  std::string text;
  std::getline(in, text);
  EXPECT_EQ(text, "an earlier image the user keeps");
}

// The layout of a disc as its tracks describe it, and its data: a copy must give the same (the
// target's own track numbers and starts may differ on other media, so they are left out).
struct DiscLayout {
  std::vector<uint16_t> sessions;
  std::vector<uint32_t> modes;
  std::vector<uint32_t> sizes;
};

DiscLayout LayoutOf(HANDLE drive) {
  DiscLayout layout;
  const WORD last = DRV_GetLastTrack(drive);
  for (WORD t = 1; t <= last; ++t) {
    _TRACKINFORMATION info{};
    EXPECT_NE(DRV_GetTrackInformation(drive, t, &info, TRUE), 0) << "track " << t;
    layout.sessions.push_back(info.wSession);
    layout.modes.push_back(info.dwMode);
    layout.sizes.push_back(info.dwSize);
  }
  return layout;
}

// The states the drive reports for every track, by the shared rule.
std::vector<drive::TrackState> StatesOf(HANDLE drive) {
  std::vector<drive::TrackState> states;
  drive::DiscInformation disc;
  EXPECT_EQ(drive::ReadDiscInformation(drive, &disc), 0u);
  for (uint32_t t = 1; t <= disc.last_track_last_session; ++t) {
    drive::TrackInformation info;
    EXPECT_EQ(drive::ReadTrackInformation(drive, 1, t, &info), 0u);
    const drive::TrackState state = drive::ClassifyTrack(info, disc);
    if (state != drive::TrackState::kBlank) states.push_back(state);
  }
  return states;
}

std::string Describe(const std::vector<drive::TrackState>& states) {
  std::string text;
  for (drive::TrackState s : states)
    text += std::string(text.empty() ? "" : " ") + drive::TrackStateName(s);
  return text;
}

// A closed DVD-R recorded at once (its track reserved first): the image records onto CD-R and
// DVD+R as one closed track in a closed session that reads back, not as a track left open.
TEST_F(ImageCopyTest, ImageOfAClosedReservedDvdMinusRTrackRecordsClosedTracks) {
  VirtualDisc& source = Open("dvd-r");
  const std::vector<uint8_t> data = Pattern(500, 11);
  {
    TestProgress progress;
    ASSERT_EQ(RecordImage(source.drive, 3, data, 0, 0, progress.reporter()), 0u);
  }
  ASSERT_EQ(Describe(StatesOf(source.drive)), "closed");
  const std::string file = Work("closed-minus-r.wvm");
  ASSERT_EQ(Create(source.drive, file), 0u);
  HANDLE image = OpenImage(file);
  ASSERT_NE(image, nullptr);
  for (const char* kind : {"cd-r", "dvd+r"}) {
    for (DWORD mode : {1u, 2u}) {
      SCOPED_TRACE(std::string(kind) + " mode " + std::to_string(mode));
      VirtualDisc& target = Open(kind);
      ASSERT_EQ(CPY_WriteDiskImage(target.drive, image, mode, nullptr, 4), 0u)
          << std::hex << DRV_GetLastCommandError(nullptr);
      EXPECT_EQ(Describe(StatesOf(target.drive)), "closed");
      _TOCINFORMATION toc{};
      EXPECT_EQ(DRV_GetTOCInformation(target.drive, &toc, sizeof(toc)), 0u);
      EXPECT_EQ(toc.bLastTrack, 1);
      _MEDIAINFORMATION media{};
      ASSERT_EQ(DRV_GetMediaInformation(target.drive, &media), 0u);
      EXPECT_EQ(media.dwStatus, mode == 1 ? MEDIA_STATUS_APPENDABLE : MEDIA_STATUS_CLOSED);
      EXPECT_EQ(CPY_CompareDiskImage(target.drive, image, nullptr), 0u);
      EXPECT_TRUE(ReadBlocks(target.drive, 0, 500) == data);
    }
  }
  CPY_CloseDiskImage(image);
}

// Two sessions on a DVD-R, each of one reserved track: recorded with write type 1 the image puts
// the second session where the source had it, after the first session's border.
TEST_F(ImageCopyTest, TwoSessionDvdMinusRImageKeepsItsSessions) {
  VirtualDisc& source = Open("dvd-r");
  const std::vector<uint8_t> one = Pattern(960, 12), two = Pattern(320, 13);
  RecordTwoSessions(source.drive, one, two);
  const std::vector<_TRACKINFORMATION> source_tracks = TracksOf(source.drive);
  ASSERT_EQ(source_tracks.size(), 2u);
  ASSERT_EQ(source_tracks[1].wSession, 2);
  const std::string file = Work("two-sessions.wvm");
  ASSERT_EQ(Create(source.drive, file), 0u);
  HANDLE image = OpenImage(file);
  ASSERT_NE(image, nullptr);
  VirtualDisc& target = Open("dvd-r");
  ASSERT_EQ(CPY_WriteDiskImage(target.drive, image, 1, nullptr, 4), 0u)
      << std::hex << DRV_GetLastCommandError(nullptr);
  const std::vector<_TRACKINFORMATION> copied = TracksOf(target.drive);
  ASSERT_EQ(copied.size(), 2u);
  EXPECT_EQ(copied[1].wSession, 2);
  EXPECT_EQ(copied[1].dwStart, source_tracks[1].dwStart);
  EXPECT_EQ(Describe(StatesOf(target.drive)), "closed closed");
  EXPECT_EQ(CPY_CompareDiskImage(target.drive, image, nullptr), 0u);
  EXPECT_EQ(CPY_CompareDrive(target.drive, source.drive, nullptr), 0u);
  CPY_CloseDiskImage(image);
}

// An audio CD recorded session at once (each track reserved by the cue sheet), copied drive to
// drive with the default write type: the same three closed tracks, sample for sample.
TEST_F(ImageCopyTest, SessionAtOnceAudioCdCopiesTrackForTrack) {
  ImageDescription audio;
  audio.profile = 0x09;
  audio.tracks = {Track(1, 1, 0, 200, 3, 2352), Track(2, 1, 200, 150, 3, 2352),
                  Track(3, 1, 350, 250, 3, 2352)};
  audio.measured = audio.tracks;
  const std::string file = Work("audio-sao.wvm");
  WriteImageFile(file, audio);
  HANDLE image = OpenImage(file);
  ASSERT_NE(image, nullptr);
  VirtualDisc& source = Open("cd-r");
  ASSERT_EQ(CPY_WriteDiskImage(source.drive, image, 3, nullptr, 4), 0u)
      << std::hex << DRV_GetLastCommandError(nullptr);
  CPY_CloseDiskImage(image);
  const DiscLayout source_layout = LayoutOf(source.drive);
  ASSERT_EQ(source_layout.sizes, (std::vector<uint32_t>{200, 150, 250}));

  VirtualDisc& target = Open("cd-r");
  ASSERT_EQ(CPY_WriteDrive(target.drive, source.drive, 2, nullptr, 4), 0u)
      << std::hex << DRV_GetLastCommandError(nullptr);
  const DiscLayout copied = LayoutOf(target.drive);
  EXPECT_EQ(copied.sizes, source_layout.sizes);
  EXPECT_EQ(copied.modes, source_layout.modes);
  EXPECT_EQ(Describe(StatesOf(target.drive)), "closed closed closed");
  const std::vector<_TRACKINFORMATION> source_tracks = TracksOf(source.drive),
                                       target_tracks = TracksOf(target.drive);
  ASSERT_EQ(target_tracks.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    std::vector<uint8_t> a(source_layout.sizes[i] * 2352), b(a.size());
    for (uint32_t k = 0; k < source_layout.sizes[i]; ++k) {
      ASSERT_EQ(drive::ReadCd(source.drive, 0, source_tracks[i].dwStart + k, a.data() + k * 2352,
                              2352, 2352, 0),
                0u);
      ASSERT_EQ(drive::ReadCd(target.drive, 0, target_tracks[i].dwStart + k, b.data() + k * 2352,
                              2352, 2352, 0),
                0u);
    }
    EXPECT_TRUE(a == b) << "track " << i + 1;
  }
}

// The drive accepted every command, but the disc it reports at the end is not the one recorded
// (here: its session still open): the job ends with 0x0800003C, never "recorded".
TEST_F(ImageCopyTest, RecordingEndsWithACheckOfTheRecordedLayout) {
  const std::string iso = Work("layout.iso");
  {
    const std::vector<uint8_t> bytes = Pattern(96, 21);
    std::ofstream(iso, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  const std::u16string wide = quenvar::platform::Utf8ToUtf16(iso);
  VirtualDisc& clean = Open("dvd+r");
  const uint32_t before = clean.recorder->CommandCount(0x51);
  ASSERT_EQ(CPY_WriteISOImage(clean.drive, 1, 1, wide.c_str(), nullptr), 0u);
  const uint32_t disc_information_reads = clean.recorder->CommandCount(0x51) - before;
  ASSERT_GT(disc_information_reads, 0u);

  // The last READ DISC INFORMATION of the job is the final check's: it now says that the one
  // session of the disc is incomplete.
  VirtualDisc& target = Open("dvd+r");
  drive::DataCorruption incomplete;
  incomplete.kind = drive::DataCorruption::Kind::kPatch;
  incomplete.offset = 2;
  incomplete.bytes = {0x05, 0x01,
                      0x01};  // last session incomplete, disc incomplete; first track 1; 1 session
  target.recorder->CorruptNextData(0x51, disc_information_reads, incomplete);
  EXPECT_EQ(CPY_WriteISOImage(target.drive, 1, 1, wide.c_str(), nullptr), QD_E_COMPARE_DIFFERS);
}

// Records one session of tracks, types[i] (recorder data types) of blocks[i] blocks each, on drive;
// DVD-R dual layer tracks in layer jump mode unless incremental.
uint32_t RecordSession(HANDLE drive, const std::vector<uint32_t>& types,
                       const std::vector<uint32_t>& blocks, uint32_t write_mode, uint32_t seed,
                       bool incremental = false) {
  TestProgress progress;
  const uint16_t profile = drive::CurrentProfile(drive);
  std::unique_ptr<recording::Recorder> recorder = recording::CreateRecorder(
      drive, 1, static_cast<uint32_t>(types.size()), write_mode, progress.reporter());
  if (!recorder) return QD_E_OUT_OF_MEMORY;
  recorder->set_dual_layer_incremental(incremental);
  for (size_t i = 0; i < types.size(); ++i) {
    _MEDIAINFORMATION media{};
    uint32_t result = DRV_GetMediaInformation(drive, &media);
    if (result != 0) return result;
    const uint32_t block = types[i] == recording::kDataAudio ? 2352 : 2048;
    const std::vector<uint8_t> data =
        ImageCopyTest::Pattern(blocks[i], seed + static_cast<uint32_t>(i), block);
    recording::LayerJumpInfo jump;
    result = recording::OpenRecording(*recorder, profile, types[i], media.dwNextWritable, blocks[i],
                                      0, &jump, 0);
    if (result == 0) result = recording::WriteRecordingData(*recorder, data.data(), data.size());
    if (result == 0 && jump.used == 1 && jump.reservation > blocks[i]) {
      result = recorder->WriteZeros(jump.reservation - blocks[i]);
    }
    if (result == 0) result = recording::FinishRecording(*recorder, profile, nullptr, 0, 0, &jump);
    if (result != 0) return result;
  }
  recording::DestroyRecorder(std::move(recorder));
  return 0;
}

// One source disc for every source kind of the copyable-status table that a virtual recorder can
// hold, recorded as a user's disc would be.
struct SourceRecipe {
  int kind;
  const char* media;
  std::vector<std::vector<uint32_t>> sessions;  // per session, the data types of its tracks
  uint32_t write_mode;                          // of the last session; earlier ones stay appendable
  bool file_system = false;  // overwritable and pressed media count as used only with a file system
  bool incremental = false;  // dual layer tracks recorded without layer jumps
};

// Every copy the table allows, from an image file and from the drive, onto every kind of blank
// media with every write mode: the copy compares equal and holds the source's sessions and tracks,
// all closed, and the result of the job says so.
TEST_F(ImageCopyTest, EveryAllowedCopyComparesEqualAndKeepsTheLayout) {
  using recording::kDataAudio;
  using recording::kDataMode1;
  using recording::kDataMode2;
  const std::vector<SourceRecipe> recipes = {
      {kSourceCdMode1Single, "cd-r", {{kDataMode1}}, 2},
      {kSourceCdMode1Multi, "cd-r", {{kDataMode1}, {kDataMode1}}, 1},
      {kSourceCdMode2Single, "cd-r", {{kDataMode2}}, 2},
      {kSourceCdMode2Multi, "cd-r", {{kDataMode2, kDataMode2}}, 2},
      {kSourceCdAudio, "cd-r", {{kDataAudio, kDataAudio}}, 2},
      {kSourceCdMixed, "cd-r", {{kDataMode1, kDataAudio}}, 2},
      {kSourceDvdMinusRSingle, "dvd-r", {{kDataMode1}}, 2},
      {kSourceDvdMinusRMulti, "dvd-r", {{kDataMode1}, {kDataMode1}}, 1},
      {kSourceDvdPlusRSingle, "dvd+r", {{kDataMode1}}, 2},
      {kSourceDvdPlusRMulti, "dvd+r", {{kDataMode1}, {kDataMode1}}, 2},
      {kSourceDvdPlusRDlSingle, "dvd+r-dl", {{kDataMode1}}, 2},
      {kSourceDvdPlusRDlMulti, "dvd+r-dl", {{kDataMode1}, {kDataMode1}}, 2},
      {kSourceDvdMinusRDlSingle, "dvd-r-dl", {{kDataMode1}}, 3},
      {kSourceDvdMinusRDlMulti, "dvd-r-dl", {{kDataMode1}, {kDataMode1}}, 2, false, true},
      {kSourceDvdMinusRDlJump, "dvd-r-dl-lj", {{kDataMode1}, {kDataMode1}}, 1},
      {kSourceDvdOverwrite, "dvd-rw-ro", {}, 2, true},
      {kSourceDvdPlusRw, "dvd+rw", {}, 2, true},
      {kSourceDvdRom, "dvd-rom", {}, 2, true},
  };
  recording::testing::MakeFiles(Work("files"), 5, 300000);
  const std::vector<uint8_t> iso = recording::testing::MakeIso(Work("files"), Work("files.iso"));
  const std::vector<const char*> targets = {"cd-r",        "cd-rw",  "dvd-r", "dvd-rw",  "dvd-r-dl",
                                            "dvd-r-dl-lj", "dvd+rw", "dvd+r", "dvd+r-dl"};
  int copies = 0;
  std::map<int, int> copies_of;
  for (const SourceRecipe& recipe : recipes) {
    SCOPED_TRACE("source kind " + std::to_string(recipe.kind) + " on " + recipe.media);
    const bool pressed = std::string(recipe.media) == "dvd-rom";
    VirtualDisc& source = pressed ? Open(recipe.media, 0, Work("files.iso")) : Open(recipe.media);
    if (recipe.file_system && !pressed) {
      TestProgress progress;
      ASSERT_EQ(RecordImage(source.drive, recipe.write_mode, iso, 0, 0, progress.reporter()), 0u);
    }
    for (size_t s = 0; s < recipe.sessions.size(); ++s) {
      const std::vector<uint32_t>& types = recipe.sessions[s];
      const std::vector<uint32_t> blocks(types.size(), 160 + 48 * static_cast<uint32_t>(s));
      const uint32_t mode = s + 1 == recipe.sessions.size() ? recipe.write_mode : 1;
      ASSERT_EQ(RecordSession(source.drive, types, blocks, mode, 100 * recipe.kind + s,
                              recipe.incremental),
                0u)
          << std::hex << DRV_GetLastCommandError(nullptr);
    }
    const std::string file = Work("source-" + std::to_string(recipe.kind) + ".wvm");
    const uint32_t created = Create(source.drive, file);
    EXPECT_EQ(created, 0u) << std::hex << DRV_GetLastCommandError(nullptr);
    if (created != 0) continue;
    HANDLE image = OpenImage(file);
    ASSERT_NE(image, nullptr);
    ImageDescription described;
    ASSERT_EQ(DescribeDisc(source.drive, &described), 0u);
    ASSERT_EQ(SourceKind(described.profile, described.flags, described.tracks), recipe.kind);
    const DiscLayout source_layout = LayoutOf(source.drive);
    const bool drive_copy_allowed = CPY_GetBackupSupportMedia(source.drive) == 0;

    for (const char* kind : targets) {
      VirtualDisc& probe = Open(kind);
      _MEDIAINFORMATION blank{};
      ASSERT_EQ(DRV_GetMediaInformation(probe.drive, &blank), 0u);
      for (DWORD mode : {1u, 2u, 3u}) {
        if (CPY_GetCopyableStatusFileToDrive(image, blank.dwMedia, mode) == 0) continue;
        for (const bool from_drive : {false, true}) {
          if (from_drive && !drive_copy_allowed) continue;
          SCOPED_TRACE(std::string("onto ") + kind + " mode " + std::to_string(mode) +
                       (from_drive ? " from the drive" : " from the image"));
          VirtualDisc& target = Open(kind);
          const uint32_t written =
              from_drive ? CPY_WriteDrive(target.drive, source.drive, mode, nullptr, 4)
                         : CPY_WriteDiskImage(target.drive, image, mode, nullptr, 4);
          EXPECT_EQ(written, 0u) << std::hex << "last error " << DRV_GetLastCommandError(nullptr);
          if (written != 0) continue;
          ++copies;
          ++copies_of[recipe.kind];
          EXPECT_EQ(from_drive ? CPY_CompareDrive(target.drive, source.drive, nullptr)
                               : CPY_CompareDiskImage(target.drive, image, nullptr),
                    0u);
          const uint16_t profile = drive::CurrentProfile(target.drive);
          // One track over the medium.
          if (drive::IsOverwritableProfile(profile)) continue;
          const DiscLayout copied = LayoutOf(target.drive);
          EXPECT_EQ(copied.sessions, source_layout.sessions);
          EXPECT_EQ(copied.modes, source_layout.modes);
          const std::vector<drive::TrackState> states = StatesOf(target.drive);
          EXPECT_EQ(states, std::vector<drive::TrackState>(source_layout.modes.size(),
                                                           drive::TrackState::kClosed))
              << Describe(states);
          // Audio is not compared by the engine: its samples are read back here.
          const std::vector<_TRACKINFORMATION> from = TracksOf(source.drive),
                                               to = TracksOf(target.drive);
          for (size_t t = 0; t < from.size() && t < to.size(); ++t) {
            if (from[t].dwMode != 3) continue;
            const uint32_t blocks = std::min(from[t].dwSize, to[t].dwSize);
            std::vector<uint8_t> a(2352), b(2352);
            for (uint32_t k = 0; k < blocks; ++k) {
              ASSERT_EQ(
                  drive::ReadCd(source.drive, 0, from[t].dwStart + k, a.data(), 2352, 2352, 0), 0u);
              ASSERT_EQ(drive::ReadCd(target.drive, 0, to[t].dwStart + k, b.data(), 2352, 2352, 0),
                        0u);
              ASSERT_TRUE(a == b) << "audio track " << t + 1 << " block " << k;
            }
          }
        }
      }
    }
    CPY_CloseDiskImage(image);
  }
  EXPECT_GT(copies, 100);
  for (const SourceRecipe& recipe : recipes) {
    EXPECT_GT(copies_of[recipe.kind], 0) << "no copy of source kind " << recipe.kind;
  }
}

// A DVD-R DL track recorded in layer jump mode lies on layer 0 up to its jump and goes on at the
// opposite block of layer 1. Its image holds the blocks in that order, and its copies put them
// in the same places relative to each disc's layers: every block compares equal and the layer 1
// part reads back where the copy's drive says the track jumped.
TEST_F(ImageCopyTest, LayerJumpTrackIsImagedAndCopiedInRecordingOrder) {
  VirtualDisc& source = Open("dvd-r-dl-lj", 40000);
  const uint32_t blocks = 14592;
  ASSERT_EQ(RecordSession(source.drive, {recording::kDataMode1}, {blocks}, 1, 31), 0u)
      << std::hex << DRV_GetLastCommandError(nullptr);
  const std::vector<uint8_t> data = Pattern(blocks, 31);

  // Where the source put the blocks, as its drive describes the track.
  auto runs_of = [](HANDLE drive, uint32_t count) {
    std::vector<drive::BlockRun> runs;
    EXPECT_EQ(drive::TrackBlockRuns(drive, 0, count, &runs), 0u);
    return runs;
  };
  const std::vector<drive::BlockRun> source_runs = runs_of(source.drive, blocks);
  ASSERT_EQ(source_runs.size(), 2u);
  ASSERT_LT(source_runs[0].blocks, blocks);
  EXPECT_GT(source_runs[1].lba, source_runs[0].lba + source_runs[0].blocks);  // on layer 1
  EXPECT_TRUE(ReadBlocks(source.drive, source_runs[1].lba, 16) ==
              std::vector<uint8_t>(data.begin() + size_t{source_runs[0].blocks} * 2048,
                                   data.begin() + size_t{source_runs[0].blocks + 16} * 2048));

  const std::string file = Work("layer-jump.wvm");
  ASSERT_EQ(Create(source.drive, file), 0u) << std::hex << DRV_GetLastCommandError(nullptr);
  {
    // The track's data in the file: the recorded blocks in order, then the reservation's zeros.
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> prologue(kSignatureSize + kHeaderBlockSize + kTrackEntrySize);
    in.read(reinterpret_cast<char*>(prologue.data()),
            static_cast<std::streamsize>(prologue.size()));
    TrackEntry entry;
    ASSERT_TRUE(DecodeTrackEntry(prologue.data() + kSignatureSize + kHeaderBlockSize, &entry));
    EXPECT_NE(entry.layer_jump_status, 0);
    ASSERT_GE(entry.sector_count, blocks);
    std::vector<uint8_t> stored(data.size());
    in.seekg(static_cast<std::streamoff>(entry.data_offset));
    in.read(reinterpret_cast<char*>(stored.data()), static_cast<std::streamsize>(stored.size()));
    EXPECT_TRUE(stored == data);
  }
  HANDLE image = OpenImage(file);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(CPY_CompareDiskImage(source.drive, image, nullptr), 0u);

  for (const bool from_drive : {false, true}) {
    SCOPED_TRACE(from_drive ? "from the drive" : "from the image");
    VirtualDisc& target = Open("dvd-r-dl-lj");
    ASSERT_EQ(from_drive ? CPY_WriteDrive(target.drive, source.drive, 1, nullptr, 4)
                         : CPY_WriteDiskImage(target.drive, image, 1, nullptr, 4),
              0u)
        << std::hex << DRV_GetLastCommandError(nullptr);
    const std::vector<drive::BlockRun> copied = runs_of(target.drive, blocks);
    ASSERT_EQ(copied.size(), 2u);
    EXPECT_EQ(copied[0].lba, source_runs[0].lba);
    EXPECT_EQ(copied[0].blocks, source_runs[0].blocks);
    EXPECT_TRUE(ReadBlocks(target.drive, copied[1].lba, 16) ==
                ReadBlocks(source.drive, source_runs[1].lba, 16));
    EXPECT_EQ(CPY_CompareDiskImage(target.drive, image, nullptr), 0u);
    EXPECT_EQ(CPY_CompareDrive(target.drive, source.drive, nullptr), 0u);
  }

  // A disc whose layer 0 ends before the source's jump cannot take the track where it was: the
  // copy is refused before the blank is touched.
  VirtualDisc& small = Open("dvd-r-dl-lj", 2 * (source_runs[0].blocks - 16));
  EXPECT_EQ(CPY_WriteDiskImage(small.drive, image, 1, nullptr, 4), QD_E_MEDIA_UNSUPPORTED);
  EXPECT_TRUE(IsBlank(small.drive));
  CPY_CloseDiskImage(image);

  // A drive whose jump address would put the rest of the track past the end of layer 1 describes
  // no order the blocks could be read in: that is an error, not a guess.
  drive::DataCorruption early_jump;
  early_jump.kind = drive::DataCorruption::Kind::kPatch;
  early_jump.offset = 44;           // last layer jump address
  early_jump.bytes = {0, 0, 0, 9};  // block 9: ten blocks on layer 0, the rest past the disc
  source.recorder->CorruptNextData(0x52, 1, early_jump);
  std::vector<drive::BlockRun> runs;
  EXPECT_EQ(drive::TrackBlockRuns(source.drive, 0, blocks, &runs), QD_E_MEDIA_UNSUPPORTED);
  source.recorder->ClearFaults();
}

// An image of the given lists recorded onto blank media of kind with each write mode: every mode
// must give code and leave the media blank.
void ImageCopyTest::ExpectRefused(const std::string& what, ImageDescription description,
                                  std::vector<DWORD> modes, DWORD code, const char* kind) {
  if (description.profile == 0) description.profile = 0x09;  // CD-R
  if (!(description.flags & kFlagSingleDataTrack)) description.measured = description.tracks;
  const std::string file = Work("refused.wvm");
  WriteImageFile(file, description);
  HANDLE image = OpenImage(file);
  ASSERT_NE(image, nullptr) << what;
  VirtualDisc& target = Open(kind);
  for (DWORD mode : modes) {
    EXPECT_EQ(CPY_WriteDiskImage(target.drive, image, mode, nullptr, 4), code)
        << what << ", mode " << mode;
  }
  EXPECT_TRUE(IsBlank(target.drive)) << what;
  CPY_CloseDiskImage(image);
}

// Track lists that no disc can have: each is refused before the target is touched, instead of
// being recorded at a wrong block size or with the gaps running backwards.
TEST_F(ImageCopyTest, ImpossibleTrackListsAreRefusedBeforeRecording) {
  const std::vector<std::pair<const char*, std::vector<TrackEntry>>> cases = {
      {"audio in 2048-byte sectors", {Track(1, 1, 0, 300, 3, 2048)}},
      {"mode 1 in raw sectors", {Track(1, 1, 0, 64, 1, 2352)}},
      {"unknown mode", {Track(1, 1, 0, 64, 7, 2048)}},
      {"overlapping tracks", {Track(1, 1, 0, 64), Track(2, 1, 32, 64)}},
      {"tracks running backwards", {Track(1, 1, 500, 64), Track(2, 1, 0, 64)}},
      {"sessions out of order", {Track(1, 2, 0, 64), Track(2, 1, 11000, 64)}},
      {"track past the last block", {Track(1, 1, 0xFFFFFFF0u, 32)}},
  };
  for (const auto& [what, tracks] : cases) {
    ImageDescription description;
    description.tracks = tracks;
    ExpectRefused(what, description, {1, 3}, QD_E_WRONG_FORM);
  }
  // The one track of a single data track image holds data, not audio.
  ImageDescription single;
  single.flags = kFlagSingleDataTrack;
  single.tracks = {Track(1, 1, 0, 300, 3, 2352)};
  ExpectRefused("single data track image of audio", single, {2}, QD_E_WRONG_FORM);
}

// A DVD image whose tracks the target cannot take (audio or mode 2 blocks on DVD media) is refused
// before the blank is touched, not after a track has been reserved on it.
TEST_F(ImageCopyTest, TrackModesTheTargetCannotTakeAreRefusedBeforeRecording) {
  for (const char* kind : {"dvd-r", "dvd+r"}) {
    ImageDescription audio;
    audio.profile = 0x11;  // DVD-R
    audio.tracks = {Track(1, 1, 0, 64), Track(2, 1, 64, 300, 3, 2352)};
    ExpectRefused(std::string("an audio track onto ") + kind, audio, {1, 2, 3},
                  QD_E_MEDIA_UNSUPPORTED, kind);
    ImageDescription mode2;
    mode2.profile = 0x11;
    mode2.tracks = {Track(1, 1, 0, 64, 2, 2352)};
    ExpectRefused(std::string("a mode 2 track onto ") + kind, mode2, {1, 2, 3},
                  QD_E_MEDIA_UNSUPPORTED, kind);
  }
}

TEST_F(ImageCopyTest, CdCopiesMustFitTheirTracksAndGaps) {
  // Two small tracks a million blocks apart: recorded at once, the gap would be written as zeros.
  ImageDescription gap;
  gap.tracks = {Track(1, 1, 0, 32), Track(2, 1, 1000000, 32)};
  ExpectRefused("a gap larger than the disc", gap, {3}, QD_E_NO_SPACE);
  ImageDescription many;
  for (uint16_t i = 0; i < 100; ++i) many.tracks.push_back(Track(i + 1, 1, i * 20u, 20));
  ExpectRefused("100 tracks", many, {1, 3}, QD_E_MEDIA_UNSUPPORTED);
}

TEST_F(ImageCopyTest, OverwritableTargetsMustReachTheLastTrackEnd) {
  // DVD+RW takes the track at its source block: 64 blocks at block 3,000,000 do not fit on one
  // layer.
  ImageDescription far;
  far.profile = 0x1B;  // DVD+R
  far.tracks = {Track(1, 1, 3000000, 64)};
  ExpectRefused("a track beyond the disc", far, {1}, QD_E_NO_SPACE, "dvd+rw");
}

// A disc whose partition descriptor names the given implementation: anchor at 256 pointing to a
// volume descriptor sequence of a partition descriptor and a terminating descriptor.
std::vector<uint8_t> UdfDiscOf(const std::string& implementation) {
  std::vector<uint8_t> data(300 * 2048, 0);
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) data[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  uint8_t* anchor = data.data() + 256 * 2048;
  anchor[0] = 2;                     // tag identifier: anchor volume descriptor pointer
  put32(256 * 2048 + 16, 4 * 2048);  // main sequence extent: length
  put32(256 * 2048 + 20, 258);       // and location
  uint8_t* partition = data.data() + 258 * 2048;
  partition[0] = 5;  // partition descriptor
  std::copy(implementation.begin(), implementation.end(), partition + 197);
  data[259 * 2048] = 8;  // terminating descriptor
  return data;
}

TEST_F(ImageCopyTest, BackupSupportRefusesDiscsOfThePacketWriter) {
  VirtualDisc& packet = Open("dvd-r");
  VirtualDisc& other = Open("dvd-r");
  {
    TestProgress progress;
    ASSERT_EQ(
        RecordImage(packet.drive, 2, UdfDiscOf("*Microsoft Windows"), 0, 0, progress.reporter()),
        0u);
    ASSERT_EQ(
        RecordImage(other.drive, 2, UdfDiscOf("*Quenvar Test Writer"), 0, 0, progress.reporter()),
        0u);
  }
  EXPECT_EQ(CPY_GetBackupSupportMedia(packet.drive), QD_E_MEDIA_UNSUPPORTED);
  EXPECT_EQ(CPY_GetBackupSupportMedia(other.drive), 0u);
  EXPECT_EQ(CPY_GetBackupSupportMedia(nullptr), QD_E_INVALID_HANDLE);
}

}  // namespace
}  // namespace quillden::image
