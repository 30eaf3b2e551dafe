// Test helpers: pass-through records built by hand, a controllable clock, temporary paths.
#ifndef QUILLDEN_DRIVE_VIRTUAL_VIRTUAL_TEST_UTIL_H_
#define QUILLDEN_DRIVE_VIRTUAL_VIRTUAL_TEST_UTIL_H_

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "drive/transport.h"
#include "platform/env.h"

namespace quillden::drive::testing {

struct Reply {
  bool request_ok = false;
  uint8_t status = 0xFF;
  uint8_t sense_length = 0;
  uint8_t key = 0, asc = 0, ascq = 0;
  bool sksv = false;
  uint16_t progress = 0;
  uint32_t transferred = 0;
  uint32_t returned = 0;
  std::vector<uint8_t> data;
  bool ok() const { return request_ok && status == 0; }
  uint32_t sense() const { return (key << 16) | (asc << 8) | ascq; }
};

// Builds the 80 + n byte record for cdb, sends it and decodes the answer. For data-in commands
// in_length bytes are requested; for data-out commands out_data is sent.
Reply Send(Transport* t, std::initializer_list<uint8_t> cdb, uint32_t in_length = 0);
Reply SendOut(Transport* t, std::initializer_list<uint8_t> cdb, const std::vector<uint8_t>& out_data);
Reply SendRaw(Transport* t, const std::vector<uint8_t>& cdb, bool data_in, uint32_t length,
              const std::vector<uint8_t>& out_data);

// Common commands.
Reply Write10(Transport* t, uint32_t lba, uint16_t blocks, uint8_t fill, uint32_t block_size = 2048);
Reply Read10(Transport* t, uint32_t lba, uint16_t blocks);
Reply TrackInfo(Transport* t, uint8_t type, uint32_t number);
Reply DiscInfo(Transport* t);
Reply SelectWritePage(Transport* t, uint8_t write_type, uint8_t multi_session, uint8_t track_mode,
                      uint8_t data_block_type);
Reply Close(Transport* t, uint8_t function, uint16_t track, bool immediate = false);

uint32_t Be32(const std::vector<uint8_t>& d, size_t at);
uint16_t Be16(const std::vector<uint8_t>& d, size_t at);

// A fresh path in the test's temporary folder.
std::string TempPath(const std::string& name);

// An Env whose clock only moves when the test says so.
class ManualClockEnv : public quenvar::platform::EnvWrapper {
 public:
  ManualClockEnv() : EnvWrapper(quenvar::platform::Env::Default()) {}
  uint64_t TickCountMs() override { return now_; }
  void Advance(uint64_t ms) { now_ += ms; }

 private:
  std::atomic<uint64_t> now_{1000000};
};

}  // namespace quillden::drive::testing

#endif  // QUILLDEN_DRIVE_VIRTUAL_VIRTUAL_TEST_UTIL_H_
