// The sink between the positional image stream and the recorder: blocks arrive whole, in order,
// holes become zero blocks, and the recorder's code survives the stream's generic failure.
#include <gtest/gtest.h>

#include <vector>

#include "datadisk/mastering/write_to_drive.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden::mastering {
namespace {

struct Received {
  std::vector<uint8_t> bytes;
  std::vector<size_t> pieces;  // sizes handed to the write function (0 for a zero run)
  uint32_t fail_at_piece = ~0u;
  uint32_t fail_code = 0;
};

RecorderSink MakeSink(Received* r, const ProgressReporter& progress, uint64_t skip = 0) {
  return RecorderSink(
      [r](const uint8_t* data, size_t n) -> uint32_t {
        if (r->pieces.size() == r->fail_at_piece) return r->fail_code;
        r->pieces.push_back(n);
        r->bytes.insert(r->bytes.end(), data, data + n);
        return QD_OK;
      },
      [r](uint64_t blocks) -> uint32_t {
        r->pieces.push_back(0);
        r->bytes.insert(r->bytes.end(), blocks * 2048, 0);
        return QD_OK;
      },
      progress, skip);
}

TEST(RecorderSinkTest, HandsOnWholeBlocksInOrderAndFillsHoles) {
  Received r;
  const ProgressReporter none;
  RecorderSink sink = MakeSink(&r, none);
  std::vector<uint8_t> a(3000, 0xAA), b(1096 + 2048, 0xBB);
  ASSERT_TRUE(sink.WriteAt(0, a.data(), a.size()).ok());
  ASSERT_TRUE(sink.WriteAt(a.size(), b.data(), b.size()).ok());  // completes block 1, then block 2
  ASSERT_TRUE(sink.WriteAt(6144 + 3 * 2048 + 100, a.data(), 10).ok());  // a hole of 3 blocks + 100 bytes
  ASSERT_TRUE(sink.Truncate(8 * 2048).ok());
  ASSERT_TRUE(sink.Close().ok());
  for (size_t piece : r.pieces) EXPECT_EQ(piece % 2048, 0u);
  ASSERT_EQ(r.bytes.size(), 8u * 2048);
  EXPECT_EQ(r.bytes[2999], 0xAA);
  EXPECT_EQ(r.bytes[3000], 0xBB);
  EXPECT_EQ(r.bytes[6143], 0xBB);
  EXPECT_EQ(r.bytes[6144], 0);
  EXPECT_EQ(r.bytes[12288 + 99], 0);
  EXPECT_EQ(r.bytes[12288 + 100], 0xAA);
  EXPECT_EQ(r.bytes[12288 + 110], 0);
  EXPECT_EQ(sink.position(), 8u * 2048);
}

// The header of a session appended to overwritable media goes to block 0 separately: the sink
// drops it, and the holes inside it, and hands on only what follows.
TEST(RecorderSinkTest, SkippedHeaderBlocksAreNeverHandedOn) {
  Received r;
  const ProgressReporter none;
  RecorderSink sink = MakeSink(&r, none, 3 * 2048);
  std::vector<uint8_t> header(2 * 2048 + 10, 0x11), data(2048 + 5, 0xDD);
  ASSERT_TRUE(sink.WriteAt(0, header.data(), 2048).ok());
  ASSERT_TRUE(sink.WriteAt(2 * 2048 + 2030, header.data(), 10).ok());  // after a hole, still skipped
  EXPECT_TRUE(r.bytes.empty());
  ASSERT_TRUE(sink.WriteAt(3 * 2048 - 4, header.data(), 4 + 2048).ok());  // the last 4 bytes skipped
  ASSERT_TRUE(sink.WriteAt(6 * 2048, data.data(), data.size()).ok());  // after a hole of two blocks
  ASSERT_TRUE(sink.Close().ok());
  ASSERT_EQ(r.bytes.size(), 5u * 2048);
  EXPECT_EQ(r.bytes[0], 0x11);
  EXPECT_EQ(r.bytes[2047], 0x11);
  EXPECT_EQ(r.bytes[2048], 0);
  EXPECT_EQ(r.bytes[3 * 2048], 0xDD);
  EXPECT_EQ(r.bytes[4 * 2048 + 4], 0xDD);
  EXPECT_EQ(r.bytes[4 * 2048 + 5], 0);
  EXPECT_EQ(sink.handed_on(), 5u * 2048);
  EXPECT_EQ(sink.position(), 8u * 2048);
}

TEST(RecorderSinkTest, CloseZeroFillsTheLastPartialBlock) {
  Received r;
  const ProgressReporter none;
  RecorderSink sink = MakeSink(&r, none);
  std::vector<uint8_t> a(5, 0x11);
  ASSERT_TRUE(sink.Append(a.data(), a.size()).ok());
  EXPECT_TRUE(r.bytes.empty());
  ASSERT_TRUE(sink.Close().ok());
  ASSERT_EQ(r.bytes.size(), 2048u);
  EXPECT_EQ(r.bytes[4], 0x11);
  EXPECT_EQ(r.bytes[5], 0);
}

TEST(RecorderSinkTest, RefusesToGoBackAndKeepsTheFirstCode) {
  Received r;
  r.fail_at_piece = 1;
  r.fail_code = 0x0800004Fu;
  const ProgressReporter none;
  RecorderSink sink = MakeSink(&r, none);
  std::vector<uint8_t> block(2048, 1);
  ASSERT_TRUE(sink.WriteAt(0, block.data(), block.size()).ok());
  EXPECT_FALSE(sink.WriteAt(2048, block.data(), block.size()).ok());
  EXPECT_EQ(sink.code(), 0x0800004Fu);
  EXPECT_FALSE(sink.WriteAt(4096, block.data(), block.size()).ok());  // stays failed
  EXPECT_EQ(sink.code(), 0x0800004Fu);

  Received r2;
  RecorderSink back = MakeSink(&r2, none);
  ASSERT_TRUE(back.WriteAt(0, block.data(), block.size()).ok());
  EXPECT_FALSE(back.WriteAt(0, block.data(), block.size()).ok());
  EXPECT_EQ(back.code(), QD_E_WRITE_FILE);
}

TEST(RecorderSinkTest, CancelRequestEndsTheStream) {
  HANDLE handle = PRG_CreateProgress();
  ProgressReporter progress(ProgressRecord::FromHandle(handle));
  Received r;
  RecorderSink sink = MakeSink(&r, progress);
  std::vector<uint8_t> block(2048, 1);
  ASSERT_TRUE(sink.WriteAt(0, block.data(), block.size()).ok());
  ProgressRecord::FromHandle(handle)->status = PRG_STATUS_CANCEL_REQUESTED;
  EXPECT_FALSE(sink.WriteAt(2048, block.data(), block.size()).ok());
  EXPECT_EQ(sink.code(), QD_E_CANCELLED);
  ProgressRecord::FromHandle(handle)->status = PRG_STATUS_CANCELLED;
  PRG_DestroyProgress(handle);
}

}  // namespace
}  // namespace quillden::mastering
