// Test support for recording through the virtual recorder: a drive handle on a virtual disc whose
// commands are logged, ISO images of random files made by genisoimage, and reading discs back
// with xorriso.
#ifndef QUENVAR_TESTS_RECORDING_RECORDING_FIXTURE_H_
#define QUENVAR_TESTS_RECORDING_RECORDING_FIXTURE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "drive/media_queries.h"
#include "drive/mmc_commands.h"
#include "drive/recording/recorder.h"
#include "drive/transport.h"
#include "drive/virtual/virtual_recorder.h"
#include "platform/env.h"
#include "progress/progress_record.h"

namespace quillden::recording::testing {

// One command as the drive saw it.
struct LoggedCommand {
  uint8_t opcode = 0;
  uint8_t cdb[16] = {};
  std::vector<uint8_t> parameters;  // the data sent by a small data-out command (not WRITE data)
  uint32_t lba() const { return (uint32_t{cdb[2]} << 24) | (cdb[3] << 16) | (cdb[4] << 8) | cdb[5]; }
  uint16_t blocks() const { return static_cast<uint16_t>((cdb[7] << 8) | cdb[8]); }
};

// Forwards to the virtual recorder and keeps the command blocks of every pass-through request.
class LoggingTransport : public drive::Transport {
 public:
  explicit LoggingTransport(std::unique_ptr<drive::Transport> inner) : inner_(std::move(inner)) {}
  bool Request(uint32_t code, void* buffer, uint32_t in_size, uint32_t out_size, uint32_t* returned) override;
  int ClaimExclusive() override { return inner_->ClaimExclusive(); }
  std::vector<LoggedCommand> Commands(uint8_t opcode) const;
  std::vector<LoggedCommand> All() const;
  void Clear();

 private:
  std::unique_ptr<drive::Transport> inner_;
  mutable std::mutex mutex_;
  std::vector<LoggedCommand> log_;
};

// A drive clock for the retry loops: every sleep moves both this clock and the virtual drive's by
// a thousand times the time asked for, so a 180-second give-up passes in a moment.
class FastClock : public drive::DriveClock {
 public:
  explicit FastClock(uint64_t* env_now_ms) : env_now_(env_now_ms) {}
  uint64_t TickMs() override;
  void SleepMs(uint32_t ms) override;

 private:
  std::mutex mutex_;
  uint64_t* env_now_;
};

// An Env whose tick count the FastClock moves.
class SteppedEnv : public quenvar::platform::EnvWrapper {
 public:
  SteppedEnv() : EnvWrapper(quenvar::platform::Env::Default()) {}
  uint64_t TickCountMs() override;
  uint64_t now_ms = 1000000;
  std::mutex mutex;
};

// A new blank virtual disc of kind at path whose busy periods are all 0.
bool CreateQuietBlank(const std::string& path, const std::string& kind, uint32_t capacity,
                      std::string* error);

class VirtualDriveTest : public ::testing::Test {
 protected:
  void TearDown() override;
  // A fresh blank virtual disc of kind with all busy periods 0.
  void OpenDrive(const std::string& kind, uint32_t capacity = 0, quenvar::platform::Env* env = nullptr);
  uint16_t Profile() const { return drive::CurrentProfile(drive_); }
  // The backing file's blocks (a plain image of the user data).
  std::vector<uint8_t> ReadBacking(uint64_t first_block, uint64_t blocks) const;
  std::string WorkPath(const std::string& name) const;

  SteppedEnv env_;  // for tests that drive the clock; outlives the drive
  std::string path_;
  HANDLE drive_ = nullptr;
  drive::VirtualRecorder* virtual_ = nullptr;
  LoggingTransport* log_ = nullptr;
};

// A progress object as the operations see it, with direct access to its words.
struct TestProgress {
  TestProgress();
  ~TestProgress();
  HANDLE handle = nullptr;
  std::shared_ptr<ProgressRecord> record;
  ProgressReporter reporter() const { return ProgressReporter(record); }
};

// Files of random content below a folder, by relative path.
using FileSet = std::map<std::string, std::vector<uint8_t>>;
FileSet MakeFiles(const std::string& folder, uint32_t seed, uint64_t large_bytes);
// genisoimage of the folder (Joliet and Rock Ridge); the image's bytes.
std::vector<uint8_t> MakeIso(const std::string& folder, const std::string& iso_path);
// Extracts the image with xorriso and compares every file with the set.
void ExpectImageHolds(const std::string& image_path, uint64_t image_blocks, const FileSet& files);

// A data disc (MST_CreateDatadisk) of the file system selection holding every item of folder at
// its root; null when an item cannot be added. The caller destroys it.
HANDLE MakeDatadisk(const std::string& folder, DWORD file_system);
// Waits until the job of progress has ended and its result is in; the final status.
DWORD WaitForJob(HANDLE progress);

// Records image as one track from start through a recorder: Open, Write in 1 MiB pieces, Finish.
uint32_t RecordImage(HANDLE drive, uint32_t write_mode, const std::vector<uint8_t>& image, uint32_t start,
                     uint32_t finalize_kind, const ProgressReporter& progress, uint32_t data_type = kDataMode1);

}  // namespace quillden::recording::testing

#endif  // QUENVAR_TESTS_RECORDING_RECORDING_FIXTURE_H_
