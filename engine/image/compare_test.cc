// Comparing recorded virtual discs with plain images, disc image files and other discs.
#include "image/compare.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "drive/drive_handle.h"
#include "drive/media_queries.h"
#include "drive/mmc_commands.h"
#include "drive/mmc_vocabulary.h"
#include "drive/recording/recorder.h"
#include "drive/virtual/virtual_admin.h"
#include "drive/virtual/virtual_recorder.h"
#include "image/image_format.h"
#include "image/image_writer.h"
#include "platform/unicode.h"
#include "quillden/drive.h"
#include "quillden/image.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden::image {
namespace {

namespace fs = std::filesystem;

// Forwards to the virtual recorder; when armed, holds the first command of an opcode until the
// test releases it, so a test can act while a job is known to be in the middle of its work.
class GateTransport : public drive::Transport {
 public:
  explicit GateTransport(std::unique_ptr<drive::Transport> inner) : inner_(std::move(inner)) {}

  bool Request(uint32_t code, void* buffer, uint32_t in_size, uint32_t out_size, uint32_t* returned) override {
    if (code == drive::kRequestPassThrough && buffer != nullptr && in_size >= 44) {
      const uint8_t opcode = static_cast<uint8_t>(static_cast<uint8_t*>(buffer)[28]);
      std::unique_lock<std::mutex> lock(mutex_);
      if (armed_ && opcode == opcode_) {
        armed_ = false;
        hit_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return released_; });
      }
    }
    return inner_->Request(code, buffer, in_size, out_size, returned);
  }

  void Arm(uint8_t opcode) {
    std::lock_guard<std::mutex> lock(mutex_);
    opcode_ = opcode;
    armed_ = true;
    hit_ = released_ = false;
  }
  bool WaitForHit() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return hit_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::unique_ptr<drive::Transport> inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  uint8_t opcode_ = 0;
  bool armed_ = false, hit_ = false, released_ = false;
};

struct VirtualDisc {
  std::string path;
  HANDLE handle = nullptr;
  drive::VirtualRecorder* recorder = nullptr;
  GateTransport* gate = nullptr;
};

std::vector<uint8_t> RandomBlocks(uint32_t blocks, uint32_t seed, uint32_t block_size = 2048) {
  std::mt19937 random(seed);
  std::vector<uint8_t> data(size_t{blocks} * block_size);
  for (uint8_t& b : data) b = static_cast<uint8_t>(random());
  return data;
}

// Polls a progress object until its worker has ended; returns the worker's result.
DWORD WaitForResult(HANDLE progress) {
  DWORD result;
  while ((result = PRG_GetProgressErrorCode(progress)) == QD_E_BUSY) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return result;
}

class CompareTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (VirtualDisc& disc : discs_) {
      if (disc.handle != nullptr) DRV_CloseDrive(disc.handle);
      std::error_code ignored;
      for (const char* suffix : {"", ".state", ".raw"}) fs::remove(disc.path + suffix, ignored);
    }
    for (int fd : fds_) ::close(fd);
    std::error_code ignored;
    if (!work_.empty()) fs::remove_all(work_, ignored);
  }

  VirtualDisc& OpenDisc(const std::string& kind) {
    static std::atomic<int> counter{0};
    VirtualDisc disc;
    disc.path = Work("disc" + std::to_string(counter++));
    std::string error;
    EXPECT_TRUE(drive::CreateVirtualBlank(disc.path, kind, 0, &error)) << error;
    drive::VirtualTiming timing;
    timing.blank_ms = timing.format_ms = timing.close_ms = timing.flush_ms = timing.background_format_ms = 0;
    EXPECT_TRUE(drive::SetVirtualTiming(disc.path, timing, &error)) << error;
    std::unique_ptr<drive::Transport> inner = drive::OpenVirtualRecorder(disc.path, kind, &error);
    EXPECT_NE(inner, nullptr) << error;
    disc.recorder = drive::AsVirtualRecorder(inner.get());
    auto gate = std::make_unique<GateTransport>(std::move(inner));
    disc.gate = gate.get();
    disc.handle = drive::OpenDriveOnTransport(std::move(gate), 0);
    discs_.push_back(disc);
    return discs_.back();
  }

  std::string Work(const std::string& name) {
    if (work_.empty()) {
      std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
      std::replace(name.begin(), name.end(), '/', '_');
      work_ = ::testing::TempDir() + "compare-" + std::to_string(::getpid()) + "-" + name;
      fs::create_directories(work_);
    }
    return work_ + "/" + name;
  }

  // Writes bytes into a file of the work folder and returns a descriptor open for reading.
  int OpenFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = Work(name);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    const int fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    fds_.push_back(fd);
    return fd;
  }

  // Records data as one track at the next writable address. Mode 2 data is given as 2352-byte raw
  // sectors; their user data (offset 24) goes to the recorder, which builds the recorded blocks.
  uint32_t Record(const VirtualDisc& disc, const std::vector<uint8_t>& data, uint32_t write_mode,
                  uint32_t data_type = recording::kDataMode1, const std::vector<uint8_t>& header = {}) {
    const uint16_t profile = drive::CurrentProfile(disc.handle);
    _MEDIAINFORMATION media{};
    EXPECT_EQ(DRV_GetMediaInformation(disc.handle, &media), QD_OK);
    ProgressReporter progress;
    std::unique_ptr<recording::Recorder> recorder = recording::CreateRecorder(disc.handle, 1, 1, write_mode, progress);
    std::vector<uint8_t> user = data;
    if (data_type == recording::kDataMode2) {
      user.resize(data.size() / kRawSectorSize * 2048);
      for (size_t i = 0; i < user.size() / 2048; ++i) {
        std::memcpy(&user[i * 2048], &data[i * kRawSectorSize + 24], 2048);
      }
    }
    const uint32_t sectors = static_cast<uint32_t>(user.size() / 2048);
    recording::LayerJumpInfo jump;
    uint32_t result = recording::OpenRecording(*recorder, profile, data_type, media.dwNextWritable, sectors, 0, &jump,
                                               static_cast<uint32_t>(header.size() / 2048));
    if (result == QD_OK) result = recording::WriteRecordingData(*recorder, user.data(), user.size());
    const uint32_t finished = recording::FinishRecording(*recorder, profile, header.empty() ? nullptr : header.data(),
                                                         static_cast<uint32_t>(header.size() / 2048), 0, &jump);
    recording::DestroyRecorder(std::move(recorder));
    return result != QD_OK ? result : finished;
  }

  static void FlipBackingByte(const VirtualDisc& disc, uint64_t offset) {
    std::fstream file(disc.path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekg(static_cast<std::streamoff>(offset));
    char byte = 0;
    file.read(&byte, 1);
    byte = static_cast<char>(byte ^ 0x20);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(&byte, 1);
  }

  // Starts a compare on a worker (start gets the progress object), runs meanwhile while the job's
  // first READ(10) is held, and returns the worker's result.
  static DWORD WhileFirstReadIsHeld(const VirtualDisc& disc, HANDLE progress, const std::function<DWORD(HANDLE)>& start,
                                    const std::function<void()>& meanwhile) {
    disc.gate->Arm(0x28);
    EXPECT_EQ(start(progress), QD_OK);
    EXPECT_TRUE(disc.gate->WaitForHit());
    meanwhile();
    disc.gate->Release();
    return WaitForResult(progress);
  }

  static HANDLE Fd(int fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)); }

  // Writes a disc image file; returns its handle (closed at the end of the test).
  HANDLE WriteImage(const std::string& name, ImageDescription description, const std::vector<uint8_t>& data,
                    bool single_track) {
    EXPECT_TRUE(single_track ? PlanSingleTrackImage(&description) : PlanMultiTrackImage(&description));
    const std::string path = Work(name);
    std::unique_ptr<quenvar::platform::WritableFile> file;
    EXPECT_TRUE(quenvar::platform::Env::Default()
                    ->OpenWritable(path, quenvar::platform::WriteMode::kCreateOrTruncate, &file)
                    .ok());
    ImageFileWriter writer(file.get());
    EXPECT_EQ(writer.Begin(description), QD_OK);
    EXPECT_EQ(writer.Append(data.data(), data.size()), QD_OK);
    EXPECT_EQ(writer.Finish(), QD_OK);
    EXPECT_TRUE(file->Close().ok());
    HANDLE image = CPY_OpenDiskImage(quenvar::platform::Utf8ToUtf16(path).c_str());
    EXPECT_NE(image, nullptr);
    images_.push_back(image);
    return image;
  }

  void CloseImages() {
    for (HANDLE image : images_) CPY_CloseDiskImage(image);
    images_.clear();
  }

  ~CompareTest() override { CloseImages(); }

  std::deque<VirtualDisc> discs_;  // stable references
  std::vector<int> fds_;
  std::vector<HANDLE> images_;
  std::string work_;
};

TrackEntry DataTrack(uint32_t start, uint32_t sectors, uint16_t number, uint32_t mode = kModeData1) {
  TrackEntry entry;
  entry.start = start;
  entry.sector_count = sectors;
  entry.mode = mode;
  entry.bytes_per_sector = mode == kModeData1 ? kCookedSectorSize : kRawSectorSize;
  entry.track_number = number;
  entry.session_number = number;
  return entry;
}

// ---- plain images ------------------------------------------------------------------------------

struct MediaCase {
  const char* name;
  const char* kind;
  uint32_t write_mode;
};

class IsoCompareTest : public CompareTest, public ::testing::WithParamInterface<MediaCase> {};

TEST_P(IsoCompareTest, RecordedImageIsEqualAndOneChangedByteIsADifference) {
  VirtualDisc& disc = OpenDisc(GetParam().kind);
  // 37 blocks: two full steps of 16 and a short one.
  const std::vector<uint8_t> iso = RandomBlocks(37, 1);
  ASSERT_EQ(Record(disc, iso, GetParam().write_mode), QD_OK);
  const int fd = OpenFile("image.iso", iso);
  const WORD track = DRV_GetLastTrack(disc.handle);
  ASSERT_GE(track, 1);

  // With a progress object: phase 96, every sector counted, status 2.
  HANDLE progress = PRG_CreateProgress();
  ASSERT_EQ(CPY_CompareDiskISO(disc.handle, track, 1, Fd(fd), progress), QD_OK);
  const DWORD result = WaitForResult(progress);
  EXPECT_EQ(result, QD_OK);
  DWORD phase = 0, done = 0, end = 0;
  EXPECT_EQ(PRG_GetProgressStatus(progress, &phase, &done, &end), PRG_STATUS_SUCCEEDED);
  EXPECT_EQ(phase, PRG_PHASE_COMPARING);
  EXPECT_EQ(end, 37u);
  EXPECT_EQ(done, 37u);
  PRG_DestroyProgress(progress);

  // The last block matters as much as the first (a CD track's run-out comes after it).
  for (uint64_t block : {uint64_t{0}, uint64_t{36}}) {
    FlipBackingByte(disc, block * 2048 + 1000);
    EXPECT_EQ(CPY_CompareDiskISO(disc.handle, track, 1, Fd(fd), nullptr), QD_E_COMPARE_DIFFERS) << block;
    FlipBackingByte(disc, block * 2048 + 1000);
  }
  EXPECT_EQ(CPY_CompareDiskISO(disc.handle, track, 1, Fd(fd), nullptr), QD_OK);
}

INSTANTIATE_TEST_SUITE_P(Media, IsoCompareTest,
                         ::testing::Values(MediaCase{"DvdPlusR", "dvd+r", 2}, MediaCase{"DvdMinusR", "dvd-r", 2},
                                           MediaCase{"CdR", "cd-r", 2}, MediaCase{"CdRDiscAtOnce", "cd-r", 3},
                                           MediaCase{"DvdPlusRw", "dvd+rw", 2}),
                         [](const ::testing::TestParamInfo<MediaCase>& info) { return std::string(info.param.name); });

TEST_F(CompareTest, ImageLongerThanTheTrackDiffersExceptOnDvdPlusRw) {
  const std::vector<uint8_t> iso = RandomBlocks(40, 2);
  std::vector<uint8_t> longer = iso;
  longer.resize(longer.size() + 2048, 0);  // the block after the data reads back as zeros

  VirtualDisc& dvd_r = OpenDisc("dvd-r");
  ASSERT_EQ(Record(dvd_r, iso, 2), QD_OK);
  EXPECT_EQ(CPY_CompareDiskISO(dvd_r.handle, 1, 1, Fd(OpenFile("longer.iso", longer)), nullptr), QD_E_COMPARE_DIFFERS);

  VirtualDisc& plus_rw = OpenDisc("dvd+rw");
  ASSERT_EQ(Record(plus_rw, iso, 2), QD_OK);
  EXPECT_EQ(CPY_CompareDiskISO(plus_rw.handle, 1, 1, Fd(OpenFile("longer2.iso", longer)), nullptr), QD_OK);
  longer.back() = 1;  // compared, not skipped
  EXPECT_EQ(CPY_CompareDiskISO(plus_rw.handle, 1, 1, Fd(OpenFile("longer3.iso", longer)), nullptr),
            QD_E_COMPARE_DIFFERS);
}

TEST_F(CompareTest, RefusesBadArgumentsBeforeTouchingTheDrive) {
  VirtualDisc& disc = OpenDisc("dvd+r");
  const std::vector<uint8_t> iso = RandomBlocks(20, 3);
  ASSERT_EQ(Record(disc, iso, 2), QD_OK);
  const int fd = OpenFile("image.iso", iso);

  EXPECT_EQ(CPY_CompareDiskISO(nullptr, 1, 1, Fd(fd), nullptr), QD_E_INVALID_HANDLE);
  EXPECT_EQ(CPY_CompareDiskISO(INVALID_HANDLE_VALUE, 1, 1, Fd(fd), nullptr), QD_E_INVALID_HANDLE);
  EXPECT_EQ(CPY_CompareDiskISO(disc.handle, 1, 1, nullptr, nullptr), QD_E_INVALID_HANDLE);
  EXPECT_EQ(CPY_CompareDiskISO(disc.handle, 1, 1, INVALID_HANDLE_VALUE, nullptr), QD_E_INVALID_HANDLE);
  const int closed = ::dup(fd);
  ::close(closed);
  EXPECT_EQ(CPY_CompareDiskISO(disc.handle, 1, 1, Fd(closed), nullptr), QD_E_INVALID_HANDLE);
  EXPECT_EQ(CPY_CompareDiskImage(disc.handle, nullptr, nullptr), QD_E_INVALID_HANDLE);
  EXPECT_EQ(CPY_CompareDiskImage(disc.handle, INVALID_HANDLE_VALUE, nullptr), QD_E_INVALID_HANDLE);
  EXPECT_EQ(CPY_CompareDrive(disc.handle, nullptr, nullptr), QD_E_INVALID_HANDLE);
  EXPECT_EQ(CPY_CompareDrive(INVALID_HANDLE_VALUE, disc.handle, nullptr), QD_E_INVALID_HANDLE);

  // A running progress object is refused and nothing is sent to either drive.
  HANDLE progress = PRG_CreateProgress();
  ProgressRecord::FromHandle(progress)->status = PRG_STATUS_RUNNING;
  VirtualDisc& other = OpenDisc("dvd+r");
  const uint32_t reads = disc.recorder->CommandCount(drive::mmc::kOpRead10) +
                         disc.recorder->CommandCount(drive::mmc::kOpReadDiscInformation);
  EXPECT_EQ(CPY_CompareDiskISO(disc.handle, 1, 1, Fd(fd), progress), QD_E_BUSY);
  EXPECT_EQ(CPY_CompareDrive(disc.handle, other.handle, progress), QD_E_BUSY);
  EXPECT_EQ(disc.recorder->CommandCount(drive::mmc::kOpRead10) +
                disc.recorder->CommandCount(drive::mmc::kOpReadDiscInformation),
            reads);
  EXPECT_EQ(other.recorder->CommandCount(drive::mmc::kOpReadDiscInformation), 0u);
  ProgressRecord::FromHandle(progress)->status = PRG_STATUS_SUCCEEDED;
  PRG_DestroyProgress(progress);

  EXPECT_EQ(CPY_CompareDiskISO(disc.handle, 1, 3, Fd(fd), nullptr), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(CPY_CompareDiskISO(disc.handle, 0, 1, Fd(fd), nullptr), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(CPY_CompareDiskISO(disc.handle, 9, 1, Fd(fd), nullptr), QD_E_INVALID_ARGUMENT);
  // Raw sectors in the file against a mode 1 track.
  const std::vector<uint8_t> raw = RandomBlocks(10, 4, kRawSectorSize);
  EXPECT_EQ(CPY_CompareDiskISO(disc.handle, 1, 2, Fd(OpenFile("raw.bin", raw)), nullptr), QD_E_INVALID_ARGUMENT);
  // A piece of a sector at the end, or no sector at all, is no image of a disc.
  std::vector<uint8_t> ragged = iso;
  ragged.pop_back();
  EXPECT_EQ(CPY_CompareDiskISO(disc.handle, 1, 1, Fd(OpenFile("ragged.iso", ragged)), nullptr), QD_E_WRONG_FORM);
  EXPECT_EQ(CPY_CompareDiskISO(disc.handle, 1, 1, Fd(OpenFile("empty.iso", {})), nullptr), QD_E_WRONG_FORM);
}

TEST_F(CompareTest, ComparesFromTheFileStartWhateverTheDescriptorsOffset) {
  VirtualDisc& disc = OpenDisc("dvd+r");
  const std::vector<uint8_t> iso = RandomBlocks(20, 5);
  ASSERT_EQ(Record(disc, iso, 2), QD_OK);
  const int fd = OpenFile("image.iso", iso);
  ASSERT_EQ(::lseek(fd, 4096, SEEK_SET), 4096);
  EXPECT_EQ(CPY_CompareDiskISO(disc.handle, 1, 1, Fd(fd), nullptr), QD_OK);
  EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 4096);
}

TEST_F(CompareTest, LongTrackIsComparedToTheLastBlock) {
  VirtualDisc& disc = OpenDisc("dvd+r");
  // More than two pieces of the file's read-ahead, ending in a short one.
  const std::vector<uint8_t> iso = RandomBlocks(1100, 20);
  ASSERT_EQ(Record(disc, iso, 2), QD_OK);
  const int fd = OpenFile("image.iso", iso);
  EXPECT_EQ(CPY_CompareDiskISO(disc.handle, 1, 1, Fd(fd), nullptr), QD_OK);
  for (uint64_t block : {uint64_t{511}, uint64_t{512}, uint64_t{1099}}) {
    FlipBackingByte(disc, block * 2048 + 2047);
    EXPECT_EQ(CPY_CompareDiskISO(disc.handle, 1, 1, Fd(fd), nullptr), QD_E_COMPARE_DIFFERS) << block;
    FlipBackingByte(disc, block * 2048 + 2047);
  }
}

TEST_F(CompareTest, ImageFileShrinkingDuringTheCompareIsAReadFailure) {
  VirtualDisc& disc = OpenDisc("dvd+r");
  const std::vector<uint8_t> iso = RandomBlocks(40, 21);
  ASSERT_EQ(Record(disc, iso, 2), QD_OK);
  const int fd = OpenFile("image.iso", iso);
  HANDLE progress = PRG_CreateProgress();
  const std::string path = Work("image.iso");
  EXPECT_EQ(WhileFirstReadIsHeld(
                disc, progress, [&](HANDLE p) { return CPY_CompareDiskISO(disc.handle, 1, 1, Fd(fd), p); },
                [&] { ASSERT_EQ(::truncate(path.c_str(), 20 * 2048), 0); }),
            QD_E_READ_FILE);
  EXPECT_EQ(PRG_GetProgressStatus(progress, nullptr, nullptr, nullptr), PRG_STATUS_FAILED);
  PRG_DestroyProgress(progress);
}

TEST_F(CompareTest, UnreadableBlockInsideTheTrackIsACommandFailure) {
  VirtualDisc& disc = OpenDisc("dvd+r");
  const std::vector<uint8_t> iso = RandomBlocks(40, 6);
  ASSERT_EQ(Record(disc, iso, 2), QD_OK);
  const int fd = OpenFile("image.iso", iso);
  // The second read fails on the first try and on all five retries.
  disc.recorder->InjectSense(drive::mmc::kOpRead10, 2, 3, 0x11, 0x00, 6);
  EXPECT_EQ(CPY_CompareDiskISO(disc.handle, 1, 1, Fd(fd), nullptr), QD_E_COMMAND_FAILED);
  disc.recorder->ClearFaults();
  // A failure the retries get over is no failure.
  disc.recorder->InjectSense(drive::mmc::kOpRead10, 2, 3, 0x11, 0x00, 2);
  EXPECT_EQ(CPY_CompareDiskISO(disc.handle, 1, 1, Fd(fd), nullptr), QD_OK);
}

TEST_F(CompareTest, CancelStopsTheWorker) {
  VirtualDisc& disc = OpenDisc("dvd+r");
  const std::vector<uint8_t> iso = RandomBlocks(64, 7);
  ASSERT_EQ(Record(disc, iso, 2), QD_OK);
  const int fd = OpenFile("image.iso", iso);
  HANDLE progress = PRG_CreateProgress();
  EXPECT_EQ(WhileFirstReadIsHeld(
                disc, progress, [&](HANDLE p) { return CPY_CompareDiskISO(disc.handle, 1, 1, Fd(fd), p); },
                [&] { ProgressRecord::FromHandle(progress)->status = PRG_STATUS_CANCEL_REQUESTED; }),
            QD_E_CANCELLED);
  DWORD done = 0;
  EXPECT_EQ(PRG_GetProgressStatus(progress, nullptr, &done, nullptr), PRG_STATUS_CANCELLED);
  EXPECT_EQ(done, 0u);  // stopped after the first step, before counting it
  EXPECT_EQ(disc.recorder->CommandCount(drive::mmc::kOpRead10), 1u);
  PRG_DestroyProgress(progress);
}

// ---- CD rules ----------------------------------------------------------------------------------

TEST_F(CompareTest, CdRunOutBlocksMayBeUnreadableButNotMore) {
  VirtualDisc& disc = OpenDisc("cd-r");
  const std::vector<uint8_t> iso = RandomBlocks(30, 8);
  ASSERT_EQ(Record(disc, iso, 2), QD_OK);
  _TRACKINFORMATION info{};
  ASSERT_EQ(DRV_GetTrackInformation(disc.handle, 1, &info, FALSE), 1);
  ASSERT_EQ(info.dwSize, 32u);  // the data and two run-out blocks

  // An image that carries the run-out (as read from a disc recorded track at once).
  std::vector<uint8_t> with_run_out = iso;
  with_run_out.resize(iso.size() + 2 * 2048, 0);
  ImageDescription description;
  description.profile = 0x09;
  description.tracks = {DataTrack(0, 32, 1)};
  description.measured = description.tracks;
  EXPECT_EQ(CPY_CompareDiskImage(disc.handle, WriteImage("runout.wvm", description, with_run_out, false), nullptr),
            QD_OK);

  // One block more than the track holds did not make it onto the disc.
  with_run_out.resize(with_run_out.size() + 2048, 0);
  EXPECT_EQ(CPY_CompareDiskISO(disc.handle, 1, 1, Fd(OpenFile("long.iso", with_run_out)), nullptr),
            QD_E_COMPARE_DIFFERS);
  description.tracks = {DataTrack(0, 33, 1)};
  description.measured = description.tracks;
  EXPECT_EQ(CPY_CompareDiskImage(disc.handle, WriteImage("long.wvm", description, with_run_out, false), nullptr),
            QD_E_COMPARE_DIFFERS);

  // The failing step is read again block by block, and only the run-out may stay unreadable.
  description.tracks = {DataTrack(0, 32, 1)};
  description.measured = description.tracks;
  with_run_out.resize(iso.size() + 2 * 2048);
  HANDLE image = WriteImage("again.wvm", description, with_run_out, false);
  disc.recorder->InjectSense(drive::mmc::kOpRead10, 2, 3, 0x11, 0x00,
                             6);  // the second step and its five retries
  EXPECT_EQ(CPY_CompareDiskImage(disc.handle, image, nullptr), QD_OK);
  disc.recorder->ClearFaults();
  disc.recorder->InjectSense(drive::mmc::kOpRead10, 2, 3, 0x11, 0x00,
                             1000);  // everything from the second step on
  EXPECT_EQ(CPY_CompareDiskImage(disc.handle, image, nullptr), QD_E_COMMAND_FAILED);
  disc.recorder->ClearFaults();
  // A hardware error is never taken for run-out.
  disc.recorder->InjectSense(drive::mmc::kOpRead10, 2, 4, 0x44, 0x00, 6);
  EXPECT_EQ(CPY_CompareDiskImage(disc.handle, image, nullptr), QD_E_COMMAND_FAILED);
  disc.recorder->ClearFaults();
}

TEST_F(CompareTest, CdMode2TrackComparesUserDataOfRawSectors) {
  VirtualDisc& disc = OpenDisc("cd-r");
  // Raw sectors whose sync, header and subheader are noise: only the user data is compared.
  std::vector<uint8_t> raw = RandomBlocks(20, 9, kRawSectorSize);
  for (uint32_t i = 0; i < 20; ++i) {
    static const uint8_t kSubheader[8] = {0, 0, 8, 0, 0, 0, 8, 0};
    std::memcpy(&raw[size_t{i} * kRawSectorSize + 16], kSubheader, 8);
  }
  ASSERT_EQ(Record(disc, raw, 2, recording::kDataMode2), QD_OK) << std::hex << DRV_GetLastCommandError(nullptr);
  _TRACKINFORMATION info{};
  ASSERT_EQ(DRV_GetTrackInformation(disc.handle, 1, &info, FALSE), 1);
  ASSERT_EQ(info.dwMode, 2u);
  for (uint32_t i = 0; i < 20; ++i) raw[size_t{i} * kRawSectorSize + 3] ^= 0xFF;  // outside the user data
  const int fd = OpenFile("raw.bin", raw);
  EXPECT_EQ(CPY_CompareDiskISO(disc.handle, 1, 2, Fd(fd), nullptr), QD_OK);
  EXPECT_EQ(CPY_CompareDiskISO(disc.handle, 1, 1, Fd(fd), nullptr), QD_E_WRONG_FORM);  // not 2048-byte sectors
  raw[size_t{19} * kRawSectorSize + 24 + 2047] ^= 1;  // the last user data byte
  EXPECT_EQ(CPY_CompareDiskISO(disc.handle, 1, 2, Fd(OpenFile("raw2.bin", raw)), nullptr), QD_E_COMPARE_DIFFERS);
}

// ---- disc images -------------------------------------------------------------------------------

TEST_F(CompareTest, VolumeHeaderStandsInForTheFirstBlocks) {
  VirtualDisc& disc = OpenDisc("dvd+rw");
  const std::vector<uint8_t> iso = RandomBlocks(64, 10);
  // A volume header of 3 blocks, carried as one unit of 16 blocks.
  std::vector<uint8_t> header = RandomBlocks(16, 11);
  ASSERT_EQ(Record(disc, iso, 2, recording::kDataMode1, header), QD_OK);
  const std::vector<uint8_t> disc_start = [&] {
    std::vector<uint8_t> data(16 * 2048);
    std::ifstream(disc.path, std::ios::binary).read(reinterpret_cast<char*>(data.data()), 16 * 2048);
    return data;
  }();
  ASSERT_TRUE(std::equal(header.begin(), header.end(), disc_start.begin())) << "the recorder wrote no header";

  ImageDescription description;
  description.profile = 0x1A;
  description.tracks = {DataTrack(0, 64, 1)};
  description.flags = kFlagSingleDataTrack;
  EXPECT_EQ(CPY_CompareDiskImage(disc.handle, WriteImage("plain.wvm", description, iso, true), nullptr),
            QD_E_COMPARE_DIFFERS);

  description.row_data.resize(4 + header.size());
  const uint32_t count = 16;
  std::memcpy(description.row_data.data(), &count, 4);  // little-endian host
  std::memcpy(description.row_data.data() + 4, header.data(), header.size());
  HANDLE image = WriteImage("row.wvm", description, iso, true);
  EXPECT_EQ(CPY_CompareDiskImage(disc.handle, image, nullptr), QD_OK);
  // Past the header the image's own data counts again.
  FlipBackingByte(disc, 16 * 2048 + 5);
  EXPECT_EQ(CPY_CompareDiskImage(disc.handle, image, nullptr), QD_E_COMPARE_DIFFERS);
}

TEST_F(CompareTest, MultiTrackImageComparesEveryDataTrackAndSkipsAudio) {
  VirtualDisc& disc = OpenDisc("dvd+r");
  const std::vector<uint8_t> first = RandomBlocks(20, 12);
  const std::vector<uint8_t> second = RandomBlocks(36, 13);
  ASSERT_EQ(Record(disc, first, 1), QD_OK);
  _MEDIAINFORMATION media{};
  ASSERT_EQ(DRV_GetMediaInformation(disc.handle, &media), QD_OK);
  const uint32_t second_start = media.dwNextWritable;
  ASSERT_EQ(Record(disc, second, 2), QD_OK);

  ImageDescription description;
  description.profile = 0x1B;
  description.tracks = {DataTrack(0, 20, 1), DataTrack(second_start, 36, 2)};
  description.measured = description.tracks;
  std::vector<uint8_t> data = first;
  data.insert(data.end(), second.begin(), second.end());
  HANDLE image = WriteImage("two.wvm", description, data, false);
  HANDLE progress = PRG_CreateProgress();
  ASSERT_EQ(CPY_CompareDiskImage(disc.handle, image, progress), QD_OK);
  const DWORD result = WaitForResult(progress);
  EXPECT_EQ(result, QD_OK);
  DWORD done = 0, end = 0;
  PRG_GetProgressStatus(progress, nullptr, &done, &end);
  EXPECT_EQ(end, 56u);
  EXPECT_EQ(done, 56u);
  PRG_DestroyProgress(progress);

  FlipBackingByte(disc, uint64_t{second_start + 35} * 2048);
  EXPECT_EQ(CPY_CompareDiskImage(disc.handle, image, nullptr), QD_E_COMPARE_DIFFERS);

  // Audio tracks are not read at all.
  ImageDescription audio;
  audio.profile = 0x09;
  audio.tracks = {DataTrack(0, 300, 1, kModeAudio), DataTrack(450, 200, 2, kModeAudio)};
  audio.measured = audio.tracks;
  HANDLE audio_image = WriteImage("audio.wvm", audio, RandomBlocks(500, 14, kRawSectorSize), false);
  const uint32_t reads = disc.recorder->CommandCount(drive::mmc::kOpRead10);
  EXPECT_EQ(CPY_CompareDiskImage(disc.handle, audio_image, nullptr), QD_OK);
  EXPECT_EQ(disc.recorder->CommandCount(drive::mmc::kOpRead10), reads);
}

TEST_F(CompareTest, ImageStaysReadableWhenItsHandleIsClosedDuringTheCompare) {
  VirtualDisc& disc = OpenDisc("dvd+r");
  const std::vector<uint8_t> iso = RandomBlocks(40, 15);
  ASSERT_EQ(Record(disc, iso, 2), QD_OK);
  ImageDescription description;
  description.profile = 0x1B;
  description.tracks = {DataTrack(0, 40, 1)};
  description.flags = kFlagSingleDataTrack;
  HANDLE image = WriteImage("single.wvm", description, iso, true);
  HANDLE progress = PRG_CreateProgress();
  EXPECT_EQ(WhileFirstReadIsHeld(
                disc, progress, [&](HANDLE p) { return CPY_CompareDiskImage(disc.handle, image, p); },
                [&] { CloseImages(); }),
            QD_OK);
  PRG_DestroyProgress(progress);
}

// ---- disc against disc -------------------------------------------------------------------------

TEST_F(CompareTest, DiscAgainstDisc) {
  const std::vector<uint8_t> iso = RandomBlocks(50, 16);
  VirtualDisc& source = OpenDisc("dvd-r");
  VirtualDisc& copy = OpenDisc("dvd+r");
  ASSERT_EQ(Record(source, iso, 2), QD_OK);
  ASSERT_EQ(Record(copy, iso, 2), QD_OK);
  EXPECT_EQ(CPY_CompareDrive(copy.handle, source.handle, nullptr), QD_OK);
  FlipBackingByte(copy, 49 * 2048 + 2047);
  EXPECT_EQ(CPY_CompareDrive(copy.handle, source.handle, nullptr), QD_E_COMPARE_DIFFERS);

  VirtualDisc& cd_source = OpenDisc("cd-r");
  VirtualDisc& cd_copy = OpenDisc("cd-r");
  ASSERT_EQ(Record(cd_source, iso, 2), QD_OK);
  ASSERT_EQ(Record(cd_copy, iso, 2), QD_OK);
  EXPECT_EQ(CPY_CompareDrive(cd_copy.handle, cd_source.handle, nullptr), QD_OK);
  FlipBackingByte(cd_source, 7);
  EXPECT_EQ(CPY_CompareDrive(cd_copy.handle, cd_source.handle, nullptr), QD_E_COMPARE_DIFFERS);
}

}  // namespace
}  // namespace quillden::image
