#include "drive/virtual/virtual_test_util.h"

#include <unistd.h>

#include <atomic>

#include <gtest/gtest.h>

#include "util/byte_order.h"

namespace quillden::drive::testing {

Reply SendRaw(Transport* t, const std::vector<uint8_t>& cdb, bool data_in, uint32_t length,
              const std::vector<uint8_t>& out_data) {
  std::vector<uint8_t> record(kPassThroughDataOffset + length, 0);
  PutLe16(&record[0], kPassThroughHeaderSize);
  record[6] = static_cast<uint8_t>(cdb.size());
  record[7] = kPassThroughSenseSize;
  record[8] = data_in ? 1 : 0;
  PutLe32(&record[12], length);
  PutLe32(&record[16], 30);
  PutLe32(&record[20], kPassThroughDataOffset);
  PutLe32(&record[24], kPassThroughSenseOffset);
  std::copy(cdb.begin(), cdb.end(), record.begin() + 28);
  if (!data_in) std::copy(out_data.begin(), out_data.end(), record.begin() + kPassThroughDataOffset);
  Reply r;
  const uint32_t size = static_cast<uint32_t>(record.size());
  r.request_ok = t->Request(kRequestPassThrough, record.data(), size, size, &r.returned);
  if (!r.request_ok) return r;
  r.status = record[2];
  r.sense_length = record[7];
  r.transferred = GetLe32(&record[12]);
  const uint8_t* s = &record[kPassThroughSenseOffset];
  if (r.status != 0) {
    r.key = s[2] & 0x0F;
    r.asc = s[12];
    r.ascq = s[13];
    r.sksv = (s[15] & 0x80) != 0;
    r.progress = GetBe16(s + 16);
  }
  if (data_in) r.data.assign(record.begin() + kPassThroughDataOffset, record.end());
  return r;
}

Reply Send(Transport* t, std::initializer_list<uint8_t> cdb, uint32_t in_length) {
  return SendRaw(t, std::vector<uint8_t>(cdb), true, in_length, {});
}

Reply SendOut(Transport* t, std::initializer_list<uint8_t> cdb, const std::vector<uint8_t>& out_data) {
  return SendRaw(t, std::vector<uint8_t>(cdb), false, static_cast<uint32_t>(out_data.size()), out_data);
}

Reply Write10(Transport* t, uint32_t lba, uint16_t blocks, uint8_t fill, uint32_t block_size) {
  std::vector<uint8_t> data(static_cast<size_t>(blocks) * block_size, fill);
  return SendOut(t, {0x2A, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba),
                     0, uint8_t(blocks >> 8), uint8_t(blocks), 0}, data);
}

Reply Read10(Transport* t, uint32_t lba, uint16_t blocks) {
  return Send(t, {0x28, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0,
                  uint8_t(blocks >> 8), uint8_t(blocks), 0}, blocks * 2048u);
}

Reply TrackInfo(Transport* t, uint8_t type, uint32_t number) {
  return Send(t, {0x52, type, uint8_t(number >> 24), uint8_t(number >> 16), uint8_t(number >> 8),
                  uint8_t(number), 0, 0, 48, 0}, 48);
}

Reply DiscInfo(Transport* t) { return Send(t, {0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, 34); }

Reply SelectWritePage(Transport* t, uint8_t write_type, uint8_t multi_session, uint8_t track_mode,
                      uint8_t data_block_type) {
  std::vector<uint8_t> page(60, 0);
  page[8] = 0x05;
  page[9] = 0x32;
  page[10] = static_cast<uint8_t>(0x40 | write_type);
  page[11] = static_cast<uint8_t>((multi_session << 6) | track_mode);
  page[12] = data_block_type;
  page[22] = 0;
  page[23] = 150;
  return SendOut(t, {0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}, page);
}

Reply Close(Transport* t, uint8_t function, uint16_t track, bool immediate) {
  return Send(t, {0x5B, uint8_t(immediate ? 1 : 0), function, 0, uint8_t(track >> 8), uint8_t(track),
                  0, 0, 0, 0});
}

uint32_t Be32(const std::vector<uint8_t>& d, size_t at) { return GetBe32(&d[at]); }
uint16_t Be16(const std::vector<uint8_t>& d, size_t at) { return GetBe16(&d[at]); }

std::string TempPath(const std::string& name) {
  static std::atomic<int> counter{0};
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return ::testing::TempDir() + "/vr-" + std::to_string(::getpid()) + "-" +
         (info ? info->name() : "x") + "-" + std::to_string(counter++) + "-" + name;
}

}  // namespace quillden::drive::testing
