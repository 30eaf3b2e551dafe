#include "recording_fixture.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "drive/drive_handle.h"
#include "drive/media_queries.h"
#include "drive/virtual/virtual_admin.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/drive.h"
#include "quillden/mastering.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden::recording::testing {

namespace fs = std::filesystem;

bool LoggingTransport::Request(uint32_t code, void* buffer, uint32_t in_size, uint32_t out_size,
                               uint32_t* returned) {
  if (code == drive::kRequestPassThrough && buffer != nullptr && in_size >= 44) {
    LoggedCommand command;
    uint8_t* record = static_cast<uint8_t*>(buffer);
    std::memcpy(command.cdb, record + drive::kPassThroughCdb, drive::kPassThroughCdbSize);
    command.opcode = command.cdb[0];
    const uint32_t length = drive::PassThroughTransferLength(record);
    if (record[drive::kPassThroughDirection] == drive::kPassThroughDataOut && length <= 512 &&
        in_size >= drive::kPassThroughDataOffset + length) {
      command.parameters.assign(drive::PassThroughData(record),
                                drive::PassThroughData(record) + length);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(command);
  }
  return inner_->Request(code, buffer, in_size, out_size, returned);
}

std::vector<LoggedCommand> LoggingTransport::Commands(uint8_t opcode) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<LoggedCommand> out;
  for (const LoggedCommand& c : log_) {
    if (c.opcode == opcode) out.push_back(c);
  }
  return out;
}

std::vector<LoggedCommand> LoggingTransport::All() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

void LoggingTransport::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  log_.clear();
}

uint64_t SteppedEnv::TickCountMs() {
  std::lock_guard<std::mutex> lock(mutex);
  return now_ms;
}

uint64_t FastClock::TickMs() {
  std::lock_guard<std::mutex> lock(mutex_);
  return *env_now_;
}

void FastClock::SleepMs(uint32_t ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  *env_now_ += static_cast<uint64_t>(ms) * 1000;
}

void VirtualDriveTest::OpenDrive(const std::string& kind, uint32_t capacity, quenvar::platform::Env* env) {
  static std::atomic<int> counter{0};
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info->name();
  std::replace(name.begin(), name.end(), '/', '_');
  path_ = ::testing::TempDir() + "/rec-" + std::to_string(::getpid()) + "-" + name + "-" +
          std::to_string(counter++) + ".disc";
  std::string error;
  ASSERT_TRUE(CreateQuietBlank(path_, kind, capacity, &error)) << error;
  std::unique_ptr<drive::Transport> inner = env != nullptr ? drive::OpenVirtualRecorder(path_, kind, env, &error)
                                                            : drive::OpenVirtualRecorder(path_, kind, &error);
  ASSERT_NE(inner, nullptr) << error;
  virtual_ = drive::AsVirtualRecorder(inner.get());
  auto logging = std::make_unique<LoggingTransport>(std::move(inner));
  log_ = logging.get();
  drive_ = drive::OpenDriveOnTransport(std::move(logging), 0);
}

void VirtualDriveTest::TearDown() {
  if (drive_ != nullptr) DRV_CloseDrive(drive_);
  drive_ = nullptr;
  if (!path_.empty()) {
    std::error_code ignored;
    for (const char* suffix : {"", ".state", ".raw"}) fs::remove(path_ + suffix, ignored);
    fs::remove_all(path_ + ".work", ignored);
  }
}

bool CreateQuietBlank(const std::string& path, const std::string& kind, uint32_t capacity,
                      std::string* error) {
  if (!drive::CreateVirtualBlank(path, kind, capacity, error)) return false;
  drive::VirtualTiming timing;
  timing.blank_ms = timing.format_ms = timing.close_ms = timing.flush_ms =
      timing.background_format_ms = 0;
  return drive::SetVirtualTiming(path, timing, error);
}

std::vector<uint8_t> VirtualDriveTest::ReadBacking(uint64_t first_block, uint64_t blocks) const {
  std::vector<uint8_t> data(blocks * 2048, 0);
  std::ifstream in(path_, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(first_block * 2048));
  in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return data;  // a sparse tail reads as zeros
}

std::string VirtualDriveTest::WorkPath(const std::string& name) const {
  fs::create_directories(path_ + ".work");
  return path_ + ".work/" + name;
}

TestProgress::TestProgress() {
  handle = PRG_CreateProgress();
  record = ProgressRecord::FromHandle(handle);
  record->status = PRG_STATUS_RUNNING;
}

TestProgress::~TestProgress() {
  record->status = PRG_STATUS_SUCCEEDED;
  record.reset();
  PRG_DestroyProgress(handle);
}

FileSet MakeFiles(const std::string& folder, uint32_t seed, uint64_t large_bytes) {
  std::mt19937 random(seed);
  FileSet files;
  const std::vector<std::pair<std::string, uint64_t>> plan = {
      {"readme.txt", 1234}, {"empty.bin", 0}, {"sub/a.dat", 2048}, {"sub/deeper/b.dat", 70001},
      {"large.bin", large_bytes}};
  for (const auto& [name, size] : plan) {
    std::vector<uint8_t> bytes(size);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    fs::create_directories(fs::path(folder + "/" + name).parent_path());
    std::ofstream(folder + "/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    files[name] = std::move(bytes);
  }
  return files;
}

std::vector<uint8_t> MakeIso(const std::string& folder, const std::string& iso_path) {
  const std::string command = "genisoimage -quiet -J -r -V RECTEST -o '" + iso_path + "' '" + folder + "' 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  std::ifstream in(iso_path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void ExpectImageHolds(const std::string& image_path, uint64_t image_blocks, const FileSet& files) {
  // The backing file may be larger than the session (reserved or padded blocks); cut it.
  const std::string cut = image_path + ".session.iso";
  fs::copy_file(image_path, cut, fs::copy_options::overwrite_existing);
  fs::resize_file(cut, image_blocks * 2048);
  const std::string out = image_path + ".extracted";
  fs::remove_all(out);
  const std::string command = "xorriso -abort_on FAILURE -return_with FAILURE 32 -indev '" + cut +
                              "' -osirrox on -extract / '" + out + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  for (const auto& [name, bytes] : files) {
    std::ifstream in(out + "/" + name, std::ios::binary);
    ASSERT_TRUE(in.good()) << name << " missing";
    std::vector<uint8_t> read((std::istreambuf_iterator<char>(in)), {});
    EXPECT_TRUE(read == bytes) << name << " differs";
  }
  fs::remove_all(out);
  fs::remove(cut);
}

uint32_t RecordImage(HANDLE drive, uint32_t write_mode, const std::vector<uint8_t>& image, uint32_t start,
                     uint32_t finalize_kind, const ProgressReporter& progress, uint32_t data_type) {
  const uint16_t profile = drive::CurrentProfile(drive);
  std::unique_ptr<Recorder> recorder = CreateRecorder(drive, 1, 1, write_mode, progress);
  if (!recorder) return 0x08000018;
  const uint32_t sectors = static_cast<uint32_t>(image.size() / 2048);
  LayerJumpInfo jump;
  uint32_t result = OpenRecording(*recorder, profile, data_type, start, sectors, finalize_kind, &jump, 0);
  if (result != 0) return result;
  // A track reserved larger than the data (layer jump) is filled up with zeros.
  const uint64_t total = jump.used == 1 ? jump.reservation : sectors;
  for (size_t at = 0; at < image.size() && result == 0; at += 1 << 20) {
    const size_t piece = std::min<size_t>(1 << 20, image.size() - at);
    result = WriteRecordingData(*recorder, image.data() + at, piece);
  }
  if (result == 0 && total > sectors) result = recorder->WriteZeros(total - sectors);
  const uint32_t finished = FinishRecording(*recorder, profile, nullptr, 0, finalize_kind, &jump);
  DestroyRecorder(std::move(recorder));
  return result != 0 ? result : finished;
}

HANDLE MakeDatadisk(const std::string& folder, DWORD file_system) {
  HANDLE disc = MST_CreateDatadisk();
  if (disc == nullptr || MST_SetFileSystem(disc, file_system) != 0) {
    if (disc != nullptr) MST_DestroyDatadisk(disc);
    return nullptr;
  }
  for (const auto& item : fs::directory_iterator(folder)) {
    const std::string target = item.is_directory() ? item.path().filename().string() : "";
    if (MST_AddDatadiskFile(disc, quenvar::platform::Utf8ToUtf16(item.path().string()).c_str(),
                            quenvar::platform::Utf8ToUtf16(target).c_str()) == INVALID_HANDLE_VALUE) {
      MST_DestroyDatadisk(disc);
      return nullptr;
    }
  }
  return disc;
}

DWORD WaitForJob(HANDLE progress) {
  for (;;) {
    const DWORD status = PRG_GetProgressStatus(progress, nullptr, nullptr, nullptr);
    if (status != PRG_STATUS_RUNNING && status != PRG_STATUS_CANCEL_REQUESTED) {
      // The status is set just before the worker ends; its result follows a moment later.
      while (PRG_GetProgressErrorCode(progress) == QD_E_BUSY) std::this_thread::yield();
      return status;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

}  // namespace quillden::recording::testing
