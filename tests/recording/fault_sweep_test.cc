// Every command a job sends fails in turn, at its first, middle and last use, once or for good:
// recording an image, a data disc or an audio CD, appending a session, copying a disc, making and
// recording a disc image, erasing, comparing. Whatever the drive answers, the job either reports a
// failure or leaves exactly what a faultless run leaves: the same blocks, raw sectors, tracks,
// sessions and CD-Text with the tray unlocked, or the same image file. A failed image job leaves no
// file, and a compare never finds a changed image equal. A job that ends well with less than it was
// asked to make is the fault looked for here; the user would find it on the day of the restore.
//
// Some commands can never fail unnoticed, even where the virtual medium would look complete: a
// drive that refuses to write, flush, close or take a cue sheet for good has not recorded the
// disc, whatever its buffer held.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "audio/wave_file.h"
#include "datadisk/datadisk_env.h"
#include "drive/drive_handle.h"
#include "drive/virtual/media_state.h"
#include "drive/virtual/virtual_device.h"
#include "image/image_format.h"
#include "platform/unicode.h"
#include "quillden/audio.h"
#include "quillden/datadisk.h"
#include "quillden/drive.h"
#include "quillden/image.h"
#include "quillden/mastering.h"
#include "quillden/result.h"
#include "recording_fixture.h"

namespace quillden::recording::testing {
namespace {

namespace fs = std::filesystem;
using quenvar::platform::Utf8ToUtf16;

// The job date of data discs, so that two runs master the same blocks.
class FixedDateEnv : public quenvar::platform::EnvWrapper {
 public:
  FixedDateEnv() : EnvWrapper(quenvar::platform::Env::Default()) {}
  quenvar::platform::FileTime Now() override { return 134000000000000000ULL; }
};

std::vector<uint8_t> TrackData(const std::vector<uint8_t>& bytes);

// What a job left on the medium, as the drive keeps it.
struct Medium {
  drive::virt::MediaState state;
  std::vector<uint8_t> blocks;  // user data blocks up to the end of the last track
  std::vector<uint8_t> raw;     // raw sectors of audio and mode 2 tracks

  // Differences from other, one per line; empty when the media are the same. Within a drive's
  // limits (see DriveLimit) the CD-Text and the source's profile may be missing or plainer.
  std::string Differences(const Medium& other, bool within_drive_limits) const {
    std::ostringstream out;
    const auto& a = state;
    const auto& b = other.state;
    if (within_drive_limits) {
      if (!a.cd_text.empty() && a.cd_text != b.cd_text) out << "CD-Text packs differ\n";
      if (TrackData(blocks) != TrackData(other.blocks)) out << "track data of the image differs\n";
      return out.str();
    }
    if (a.profile != b.profile) out << "profile " << a.profile << " vs " << b.profile << '\n';
    if (a.finalized != b.finalized)
      out << "finalized " << a.finalized << " vs " << b.finalized << '\n';
    if (a.closed_sessions != b.closed_sessions)
      out << "closed sessions " << a.closed_sessions << " vs " << b.closed_sessions << '\n';
    if (a.next_session_start != b.next_session_start)
      out << "next session " << a.next_session_start << " vs " << b.next_session_start << '\n';
    if (a.formatted_blocks != b.formatted_blocks)
      out << "formatted " << a.formatted_blocks << " vs " << b.formatted_blocks << '\n';
    if (a.locked != b.locked) out << "locked " << a.locked << " vs " << b.locked << '\n';
    if (a.tray_open != b.tray_open)
      out << "tray open " << a.tray_open << " vs " << b.tray_open << '\n';
    if (a.cd_text != b.cd_text) out << "CD-Text packs differ\n";
    if (a.tracks.size() != b.tracks.size())
      out << "tracks " << a.tracks.size() << " vs " << b.tracks.size() << '\n';
    for (size_t i = 0; i < std::min(a.tracks.size(), b.tracks.size()); ++i) {
      const auto& s = a.tracks[i];
      const auto& t = b.tracks[i];
      if (s.start != t.start || s.size != t.size || s.written != t.written ||
          s.closed != t.closed || s.reserved != t.reserved || s.mode != t.mode ||
          s.session != t.session) {
        out << "track " << s.number << ": start " << s.start << "/" << t.start << ", size "
            << s.size << "/" << t.size << ", written " << s.written << "/" << t.written
            << ", closed " << s.closed << "/" << t.closed << '\n';
      }
    }
    if (blocks != other.blocks) {
      size_t first = 0;
      while (first < std::min(blocks.size(), other.blocks.size()) &&
             blocks[first] == other.blocks[first])
        ++first;
      out << "user data differs from byte " << first << " (block " << first / 2048 << "), "
          << blocks.size() / 2048 << " vs " << other.blocks.size() / 2048 << " blocks\n";
    }
    if (raw != other.raw) out << "raw sectors differ\n";
    return out.str();
  }
};

// The tracks' data of a disc image file (what follows its blocks, CD-Text and volume header); the
// bytes themselves for anything else.
std::vector<uint8_t> TrackData(const std::vector<uint8_t>& bytes) {
  image::ImageHeader header;
  if (bytes.size() < image::kSignatureSize + image::kHeaderBlockSize ||
      !image::IsSignature(bytes.data()) ||
      !image::DecodeHeader(bytes.data() + image::kSignatureSize, &header) ||
      header.payload_offset > bytes.size()) {
    return bytes;
  }
  uint64_t skip = header.payload_offset;
  size_t block = image::kSignatureSize + image::kHeaderBlockSize;
  image::DataBlock data;
  if ((header.flags & image::kFlagCdText) != 0 &&
      image::DecodeDataBlock(image::kCdTextTag, bytes.data() + block, &data)) {
    skip += data.size;
    block += image::kCdTextBlockSize;
  }
  if ((header.flags & image::kFlagRow) != 0 &&
      image::DecodeDataBlock(image::kRowTag, bytes.data() + block, &data)) {
    skip += data.size;
  }
  return std::vector<uint8_t>(
      bytes.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(skip, bytes.size())),
      bytes.end());
}

std::vector<uint8_t> ReadFile(const std::string& path, uint64_t limit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::error_code error;
  const uint64_t size = fs::file_size(path, error);
  std::vector<uint8_t> bytes(error ? 0 : std::min(size, limit));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

enum class JobKind {
  kIsoImage,        // CPY_WriteISOImage of image.iso
  kDatadisk,        // MST_WriteDatadisk of a folder
  kAudio,           // AUD_WriteAudiodisk of two tracks with CD-Text
  kCopy,            // CPY_WriteDrive from the source disc
  kCreateImage,     // CPY_CreateDiskImage of the source disc into a file
  kWriteImage,      // CPY_WriteDiskImage of the source disc's image file
  kCompareChanged,  // CPY_CompareDiskISO of the source disc with an image changed in its last block
  kErase,           // DRV_EraseMedia of a medium that holds image.iso (write_mode 1: quick)
  kAppend,          // MST_WriteDatadisk of a second session, after the first's import
};

enum class Source { kNone, kAudioCd, kDataCd, kDataDvd };

struct SweepCase {
  const char* name;
  JobKind job;
  const char* kind;  // the blank medium the job records on; "none" for jobs that only read
  DWORD write_mode;
  Source source = Source::kNone;
  bool faults_on_source = false;
};
void PrintTo(const SweepCase& c, std::ostream* os) {
  *os << c.name;
}

struct Fault {
  uint8_t key, asc, ascq;
  uint32_t repeat;
  const char* name;
};
constexpr Fault kFaults[] = {
    {0x03, 0x0C, 0x00, 1000, "write error for good"},
    {0x03, 0x0C, 0x00, 1, "one write error"},
    {0x05, 0x24, 0x00, 1000, "invalid field for good"},
    {0x06, 0x29, 0x00, 1, "one reset"},
};

// Commands whose lasting failure means the disc was not recorded, whatever the medium shows.
const std::set<uint8_t> kMustFail = {0x2A /* WRITE (10) */, 0x35 /* SYNCHRONIZE CACHE */,
                                     0x5B /* CLOSE TRACK/SESSION */, 0x5D /* SEND CUE SHEET */,
                                     0x53 /* RESERVE TRACK */};

// A drive that refuses a query for good shows what it cannot do, and a job may then end well
// with less: a drive that refuses READ TOC (ILLEGAL REQUEST) reads no CD-Text, so none is copied;
// one that never answers GET CONFIGURATION shows every CD as CD-ROM, and an image says so. The
// track data must still be whole.
bool DriveLimit(uint8_t opcode, const Fault& fault) {
  if (fault.repeat == 1) return false;
  return (opcode == 0x43 && fault.key == 0x05) || opcode == 0x46;
}

// A drive handle on a virtual disc that a test keeps beside the fixture's own.
struct ExtraDrive {
  HANDLE handle = nullptr;
  drive::VirtualRecorder* recorder = nullptr;
  void Open(const std::string& path, const std::string& kind, quenvar::platform::Env* env) {
    std::string error;
    auto transport = drive::OpenVirtualRecorder(path, kind, env, &error);
    ASSERT_NE(transport, nullptr) << error;
    recorder = drive::AsVirtualRecorder(transport.get());
    handle = drive::OpenDriveOnTransport(std::move(transport), 0);
  }
  void Close() {
    if (handle != nullptr) DRV_CloseDrive(handle);
    handle = nullptr;
    recorder = nullptr;
  }
};

class FaultSweepTest : public VirtualDriveTest, public ::testing::WithParamInterface<SweepCase> {
 protected:
  void SetUp() override {
    drive::SetDriveClockForTesting(&clock_);
    SetDatadiskEnvForTesting(&date_env_);
  }
  void TearDown() override {
    CloseJob();
    VirtualDriveTest::TearDown();
    SetDatadiskEnvForTesting(nullptr);
    drive::SetDriveClockForTesting(nullptr);
    if (!inputs_.empty()) fs::remove_all(inputs_);
  }

  std::string Input(const std::string& name) const { return inputs_ + "/" + name; }

  void WriteWaves() {
    std::mt19937 random(33);
    for (int t = 0; t < 2; ++t) {
      std::vector<uint8_t> samples((t == 0 ? 300 : 451) * 2352 + 1000);
      for (uint8_t& b : samples) b = static_cast<uint8_t>(random());
      const auto header = audio::BuildWaveHeader(static_cast<uint32_t>(samples.size()));
      std::ofstream out(Input("track" + std::to_string(t) + ".wav"), std::ios::binary);
      out.write(reinterpret_cast<const char*>(header.data()), header.size());
      out.write(reinterpret_cast<const char*>(samples.data()),
                static_cast<std::streamsize>(samples.size()));
    }
  }

  // An audio disc object of the two tracks with a CD-Text title for the disc and each track.
  HANDLE MakeAudiodisk(HANDLE drive) {
    HANDLE disc = AUD_CreateAudiodisk(drive);
    EXPECT_NE(disc, INVALID_HANDLE_VALUE);
    if (disc == INVALID_HANDLE_VALUE) return nullptr;
    for (int t = 0; t < 2; ++t) {
      const std::u16string path = Utf8ToUtf16(Input("track" + std::to_string(t) + ".wav"));
      EXPECT_EQ(AUD_AddAudioTrack(disc, path.c_str()), QD_OK);
    }
    std::u16string titles[] = {u"Sweep", u"First", u"Second"};
    WCHAR* strings[] = {titles[0].data(), titles[1].data(), titles[2].data()};
    _CDTEXTITEM item{9, 0, strings, 16, 3};
    EXPECT_EQ(AUD_AddCdTextItem(disc, &item, 0), QD_OK);
    return disc;
  }

  // Inputs shared by every run, made once: files, images and the source disc.
  void PrepareInputs() {
    const SweepCase& c = GetParam();
    inputs_ = ::testing::TempDir() + "/sweep-" + std::to_string(::getpid()) + "-" + c.name;
    fs::remove_all(inputs_);
    fs::create_directories(inputs_);
    if (c.job == JobKind::kDatadisk || c.job == JobKind::kAppend) {
      MakeFiles(Input("files"), 32, (3u << 20) + 13);
      MakeFiles(Input("more/files2"), 34, 300001);
    } else if (c.job == JobKind::kAudio || c.source == Source::kAudioCd) {
      WriteWaves();
    } else {
      MakeFiles(Input("files"), 31, (3u << 20) + 11);
      image_ = MakeIso(Input("files"), Input("image.iso"));
      ASSERT_FALSE(image_.empty());
    }
    if (c.source != Source::kNone) {
      ExtraDrive source;
      const char* kind = c.source == Source::kDataDvd ? "dvd+r" : "cd-r";
      std::string error;
      ASSERT_TRUE(CreateQuietBlank(Input("source.disc"), kind, 0, &error)) << error;
      source.Open(Input("source.disc"), kind, &env_);
      ASSERT_FALSE(HasFatalFailure());
      if (c.source == Source::kAudioCd) {
        HANDLE disc = MakeAudiodisk(source.handle);
        ASSERT_NE(disc, nullptr);
        EXPECT_EQ(AUD_WriteAudiodisk(disc, 3, nullptr), QD_OK);
        AUD_DestroyAudiodisk(disc);
      } else {
        // A data CD recorded track at once keeps its two run-out blocks behind the image.
        EXPECT_EQ(CPY_WriteISOImage(source.handle, 2, 1, Utf8ToUtf16(Input("image.iso")).c_str(),
                                    nullptr),
                  QD_OK);
      }
      if (c.job == JobKind::kWriteImage) {
        EXPECT_EQ(
            CPY_CreateDiskImage(source.handle, Utf8ToUtf16(Input("source.img")).c_str(), nullptr),
            QD_OK);
      }
      source.Close();
    }
    if (c.job == JobKind::kCompareChanged) {
      std::vector<uint8_t> changed = image_;
      changed[changed.size() - 7] ^= 0x5A;
      std::ofstream(Input("changed.iso"), std::ios::binary)
          .write(reinterpret_cast<const char*>(changed.data()),
                 static_cast<std::streamsize>(changed.size()));
    }
  }

  // A fresh blank medium, the source disc in its own drive, and the job ready to run.
  void OpenJob() {
    const SweepCase& c = GetParam();
    if (std::string(c.kind) != "none") {
      OpenDrive(c.kind, 0, &env_);
      if (HasFatalFailure()) return;
    }
    if (c.source != Source::kNone) {
      source_.Open(Input("source.disc"), "cd-r", &env_);  // the stored state names the medium
      if (HasFatalFailure()) return;
    }
    fs::remove(Input("out.img"));
    if (c.job == JobKind::kDatadisk) {
      disc_ = MakeDatadisk(Input("files"), MST_FS_ISO9660_JOLIET_UDF102);
      ASSERT_NE(disc_, nullptr);
    } else if (c.job == JobKind::kAudio) {
      audio_ = MakeAudiodisk(drive_);
      ASSERT_NE(audio_, nullptr);
    } else if (c.job == JobKind::kWriteImage) {
      image_handle_ = CPY_OpenDiskImage(Utf8ToUtf16(Input("source.img")).c_str());
      ASSERT_NE(image_handle_, INVALID_HANDLE_VALUE);
    } else if (c.job == JobKind::kErase) {
      ASSERT_EQ(CPY_WriteISOImage(drive_, 2, 1, Utf8ToUtf16(Input("image.iso")).c_str(), nullptr),
                QD_OK);
    } else if (c.job == JobKind::kAppend) {
      // A first session left open, imported into the disc of the second with one folder more.
      HANDLE first = MakeDatadisk(Input("files"), MST_FS_ISO9660_JOLIET_UDF102);
      ASSERT_NE(first, nullptr);
      const DWORD recorded = MST_WriteDatadisk(drive_, first, 1, nullptr, TRUE, 0);
      MST_DestroyDatadisk(first);
      ASSERT_EQ(recorded, QD_OK);
      disc_ = MST_CreateDatadisk();
      ASSERT_EQ(MST_ReadFileSystem(disc_, drive_, 1, nullptr), QD_OK)
          << std::hex << MST_GetLastError(disc_);
      ASSERT_NE(MST_AddDatadiskFile(disc_, Utf8ToUtf16(Input("more/files2")).c_str(), u"files2"),
                INVALID_HANDLE_VALUE);
    }
  }

  drive::VirtualRecorder* FaultyDrive() const {
    return GetParam().faults_on_source ? source_.recorder : virtual_;
  }

  DWORD RunJob() {
    const SweepCase& c = GetParam();
    switch (c.job) {
      case JobKind::kIsoImage:
        return CPY_WriteISOImage(drive_, c.write_mode, 1, Utf8ToUtf16(Input("image.iso")).c_str(),
                                 nullptr);
      case JobKind::kDatadisk:
      case JobKind::kAppend:
        return MST_WriteDatadisk(drive_, disc_, c.write_mode, nullptr, TRUE, 0);
      case JobKind::kAudio:
        return AUD_WriteAudiodisk(audio_, c.write_mode, nullptr);
      case JobKind::kCopy:
        return CPY_WriteDrive(drive_, source_.handle, c.write_mode, nullptr, 0);
      case JobKind::kCreateImage:
        return CPY_CreateDiskImage(source_.handle, Utf8ToUtf16(Input("out.img")).c_str(), nullptr);
      case JobKind::kWriteImage:
        return CPY_WriteDiskImage(drive_, image_handle_, c.write_mode, nullptr, 0);
      case JobKind::kErase:
        return DRV_EraseMedia(drive_, nullptr, c.write_mode == 1 ? TRUE : FALSE);
      case JobKind::kCompareChanged: {
        const int fd = ::open(Input("changed.iso").c_str(), O_RDONLY);
        const DWORD result = CPY_CompareDiskISO(source_.handle, 1, 1,
                                                reinterpret_cast<HANDLE>(intptr_t{fd}), nullptr);
        ::close(fd);
        return result;
      }
    }
    return QD_E_INVALID_ARGUMENT;
  }

  void CloseJob() {
    if (disc_ != nullptr) MST_DestroyDatadisk(disc_);
    if (audio_ != nullptr) AUD_DestroyAudiodisk(audio_);
    if (image_handle_ != nullptr && image_handle_ != INVALID_HANDLE_VALUE)
      CPY_CloseDiskImage(image_handle_);
    disc_ = audio_ = image_handle_ = nullptr;
    source_.Close();
  }

  void EndRun() {
    CloseJob();
    VirtualDriveTest::TearDown();
  }

  // What the job left: the medium it recorded, or the image file it created.
  Medium Look() const {
    Medium m;
    if (GetParam().job == JobKind::kCreateImage) {
      m.blocks = ReadFile(Input("out.img"), uint64_t{1} << 30);
      m.state.has_medium = fs::exists(Input("out.img"));
      return m;
    }
    if (virtual_ == nullptr) return m;
    m.state = virtual_->device()->Snapshot();
    // Up to the last block written. The jobs here write 2 to 4 thousand blocks; overwritable media
    // keep no tracks, so their first 8 MiB are read, and a medium that claims more than that is
    // read only that far, which its track list then tells apart.
    constexpr int64_t kCap = 4096;
    int64_t end = m.state.tracks.empty() ? kCap : 0;
    for (const auto& t : m.state.tracks) end = std::max<int64_t>(end, t.start + t.written);
    end = std::min(end, kCap);
    m.blocks = ReadFile(path_, static_cast<uint64_t>(end) * 2048);
    m.raw = ReadFile(path_ + ".raw", static_cast<uint64_t>(end) * 2352);
    return m;
  }

  void RunFaultless();
  void RunDamaged(const std::function<void(drive::VirtualRecorder*)>& damage, uint8_t opcode,
                  bool limited, bool lasting);
  void Report(const char* what) const;

  SteppedEnv env_;
  FastClock clock_{&env_.now_ms};
  bool compare_ = false;
  Medium faultless_;
  std::map<uint8_t, uint32_t> uses_;
  int runs_ = 0;
  int ended_well_ = 0;
  FixedDateEnv date_env_;
  std::string inputs_;
  std::vector<uint8_t> image_;
  ExtraDrive source_;
  HANDLE disc_ = nullptr;
  HANDLE audio_ = nullptr;
  HANDLE image_handle_ = nullptr;
};

// The faultless run: its result, and how often the faulty side's drive got each command.
void FaultSweepTest::RunFaultless() {
  const SweepCase& c = GetParam();
  compare_ = c.job == JobKind::kCompareChanged;
  PrepareInputs();
  ASSERT_FALSE(HasFatalFailure());
  OpenJob();
  ASSERT_FALSE(HasFatalFailure());
  // What the job's preparation sent (an erase first records the disc) is not the job's.
  uint32_t before[256];
  for (int opcode = 0; opcode < 256; ++opcode) {
    before[opcode] = FaultyDrive()->CommandCount(static_cast<uint8_t>(opcode));
  }
  const DWORD result = RunJob();
  // A compare of a disc with an image changed in its last block finds the difference.
  ASSERT_EQ(result, compare_ ? QD_E_COMPARE_DIFFERS : QD_OK)
      << "the faultless run, last command error 0x" << std::hex << DRV_GetLastCommandError(nullptr);
  faultless_ = Look();
  if (!compare_ && c.job != JobKind::kErase) {
    ASSERT_FALSE(faultless_.blocks.empty() && faultless_.raw.empty());
  }
  if (c.job == JobKind::kIsoImage) {
    ASSERT_GE(faultless_.blocks.size(), image_.size());
    ASSERT_TRUE(std::equal(image_.begin(), image_.end(), faultless_.blocks.begin()));
  }
  for (int opcode = 0; opcode < 256; ++opcode) {
    const uint32_t count =
        FaultyDrive()->CommandCount(static_cast<uint8_t>(opcode)) - before[opcode];
    if (count != 0) uses_[static_cast<uint8_t>(opcode)] = count;
  }
  EndRun();
}

// Runs the job once more with the drive damaged by damage, and checks what it left. limited: the
// drive showed for good that it cannot do something (see DriveLimit); lasting: a command that
// must succeed never did.
void FaultSweepTest::RunDamaged(const std::function<void(drive::VirtualRecorder*)>& damage,
                                uint8_t opcode, bool limited, bool lasting) {
  OpenJob();
  ASSERT_FALSE(HasFatalFailure());
  damage(FaultyDrive());
  const DWORD result = RunJob();
  FaultyDrive()->ClearFaults();
  const Medium left = Look();
  ++runs_;
  if (result == QD_OK) {
    ++ended_well_;
    EXPECT_FALSE(compare_) << "a compare found a changed image equal";
    EXPECT_EQ(left.Differences(faultless_, limited), "")
        << "the job ended well with another result";
    if (lasting) ADD_FAILURE() << "the job ended well although the drive never took the command";
  } else {
    if (GetParam().job == JobKind::kCreateImage) {
      EXPECT_FALSE(left.state.has_medium) << "a failed image job left its file";
    }
    if (GetParam().job == JobKind::kAppend) {
      // What the disc held before is still there (a volume header of overwritable media is
      // written last, a write-once disc keeps its closed session).
      HANDLE check = MST_CreateDatadisk();
      EXPECT_EQ(MST_ReadFileSystem(check, drive_, 1, nullptr), QD_OK)
          << "a failed append lost the first session (0x" << std::hex << result << ")";
      EXPECT_NE(MST_FindFullPathDatadiskFile(check, u"sub\\deeper\\b.dat", nullptr),
                INVALID_HANDLE_VALUE);
      MST_DestroyDatadisk(check);
    }
    if (opcode != 0x1E /* PREVENT ALLOW MEDIUM REMOVAL */ && virtual_ != nullptr) {
      EXPECT_FALSE(left.state.locked)
          << "a failed job left the tray locked (0x" << std::hex << result << ")";
    }
  }
  EndRun();
}

void FaultSweepTest::Report(const char* what) const {
  std::string opcodes;
  for (const auto& [opcode, count] : uses_) {
    char text[24];
    std::snprintf(text, sizeof text, " %02X*%u", opcode, count);
    opcodes += text;
  }
  std::printf("%s, %s: %d runs, %d ended well; commands (opcode*uses):%s\n", GetParam().name, what,
              runs_, ended_well_, opcodes.c_str());
}

TEST_P(FaultSweepTest, AJobEndsWellOnlyWithTheResultOfAFaultlessRun) {
  RunFaultless();
  ASSERT_FALSE(HasFatalFailure());
  for (const auto& [opcode, count] : uses_) {
    for (const uint32_t nth : std::set<uint32_t>{1, (count + 1) / 2, count}) {
      for (const Fault& fault : kFaults) {
        SCOPED_TRACE(::testing::Message()
                     << "opcode 0x" << std::hex << int{opcode} << std::dec << ", use " << nth
                     << " of " << count << ", " << fault.name);
        const uint8_t op = opcode;
        const bool lasting =
            fault.repeat > 1 && kMustFail.count(op) != 0 && !GetParam().faults_on_source;
        RunDamaged(
            [&](drive::VirtualRecorder* d) {
              d->InjectSense(op, nth, fault.key, fault.asc, fault.ascq, fault.repeat);
            },
            op, DriveLimit(op, fault), lasting);
        ASSERT_FALSE(HasFatalFailure());
      }
    }
  }
  Report("failing commands");
}

// A drive that answers a question with too little or with nonsense: the job believes none of it
// into a different result. Only the answers that describe the drive and the medium are damaged;
// the data a drive reads is what it is, and only a compare could tell.
TEST_P(FaultSweepTest, AJobEndsWellOnlyWithTheResultOfAFaultlessRunWhateverTheDriveAnswers) {
  RunFaultless();
  ASSERT_FALSE(HasFatalFailure());
  const std::set<uint8_t> questions = {0x23, 0x25, 0x43, 0x46, 0x4A, 0x51, 0x52, 0x5A, 0xAD, 0xB9};
  drive::DataCorruption cut;
  cut.kind = drive::DataCorruption::Kind::kTruncate;
  cut.keep_bytes = 3;
  drive::DataCorruption garbage;
  garbage.kind = drive::DataCorruption::Kind::kGarbage;
  for (const auto& [opcode, count] : uses_) {
    if (questions.count(opcode) == 0) continue;
    for (const uint32_t nth : std::set<uint32_t>{1, (count + 1) / 2, count}) {
      for (const auto& [corruption, name] :
           {std::pair{cut, "cut short"}, std::pair{garbage, "garbage"}}) {
        for (uint32_t seed = 1; seed <= (corruption.kind == cut.kind ? 1u : 3u); ++seed) {
          SCOPED_TRACE(::testing::Message()
                       << "opcode 0x" << std::hex << int{opcode} << std::dec << ", answer " << nth
                       << " of " << count << ", " << name << " " << seed);
          drive::DataCorruption damage = corruption;
          damage.seed = seed;
          const uint8_t op = opcode;
          RunDamaged([&](drive::VirtualRecorder* d) { d->CorruptNextData(op, nth, damage); }, op,
                     false, false);
          ASSERT_FALSE(HasFatalFailure());
        }
      }
    }
  }
  Report("damaged answers");
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, FaultSweepTest,
    ::testing::Values(
        SweepCase{"IsoImageCdrSessionAtOnce", JobKind::kIsoImage, "cd-r", 3},
        SweepCase{"IsoImageCdrTrackAtOnce", JobKind::kIsoImage, "cd-r", 2},
        SweepCase{"IsoImageDvdPlusR", JobKind::kIsoImage, "dvd+r", 2},
        SweepCase{"IsoImageDvdMinusR", JobKind::kIsoImage, "dvd-r", 1},
        SweepCase{"IsoImageDvdPlusRw", JobKind::kIsoImage, "dvd+rw", 2},
        SweepCase{"IsoImageDvdMinusRw", JobKind::kIsoImage, "dvd-rw", 2},
        SweepCase{"DatadiskDvdPlusR", JobKind::kDatadisk, "dvd+r", 2},
        SweepCase{"DatadiskCdr", JobKind::kDatadisk, "cd-r", 2},
        SweepCase{"DatadiskDvdMinusRw", JobKind::kDatadisk, "dvd-rw", 2},
        SweepCase{"AudioSessionAtOnce", JobKind::kAudio, "cd-r", 3},
        SweepCase{"AudioTrackAtOnce", JobKind::kAudio, "cd-r", 2},
        SweepCase{"CopyAudioCdTarget", JobKind::kCopy, "cd-r", 3, Source::kAudioCd, false},
        SweepCase{"CopyAudioCdSource", JobKind::kCopy, "cd-r", 3, Source::kAudioCd, true},
        SweepCase{"CopyDataDvdTarget", JobKind::kCopy, "dvd-r", 2, Source::kDataDvd, false},
        SweepCase{"CopyDataDvdSource", JobKind::kCopy, "dvd-r", 2, Source::kDataDvd, true},
        SweepCase{"ImageOfAudioCd", JobKind::kCreateImage, "none", 0, Source::kAudioCd, true},
        SweepCase{"ImageOfDataCd", JobKind::kCreateImage, "none", 0, Source::kDataCd, true},
        SweepCase{"ImageOfAudioCdRecorded", JobKind::kWriteImage, "cd-r", 3, Source::kAudioCd,
                  false},
        SweepCase{"AppendDvdPlusR", JobKind::kAppend, "dvd+r", 2},
        SweepCase{"AppendCdr", JobKind::kAppend, "cd-r", 2},
        SweepCase{"AppendDvdPlusRw", JobKind::kAppend, "dvd+rw", 2},
        SweepCase{"EraseCdRwQuick", JobKind::kErase, "cd-rw", 1},
        SweepCase{"EraseDvdMinusRwFull", JobKind::kErase, "dvd-rw", 0},
        SweepCase{"EraseDvdPlusRw", JobKind::kErase, "dvd+rw", 1},
        SweepCase{"CompareDataCd", JobKind::kCompareChanged, "none", 0, Source::kDataCd, true},
        SweepCase{"CompareDataDvd", JobKind::kCompareChanged, "none", 0, Source::kDataDvd, true}),
    [](const ::testing::TestParamInfo<SweepCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillden::recording::testing
