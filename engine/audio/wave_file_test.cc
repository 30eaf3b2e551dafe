// The WAVE chunk walk: what CD audio looks like, and every malformed file refused cleanly.
#include "audio/wave_file.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/env.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::audio {
namespace {

std::vector<uint8_t> Chunk(const char* id, const std::vector<uint8_t>& payload, uint32_t declared = 0xFFFFFFFF) {
  std::vector<uint8_t> c(8);
  std::memcpy(c.data(), id, 4);
  PutLe32(c.data() + 4, declared == 0xFFFFFFFF ? static_cast<uint32_t>(payload.size()) : declared);
  c.insert(c.end(), payload.begin(), payload.end());
  if (payload.size() % 2) c.push_back(0);
  return c;
}

std::vector<uint8_t> Fmt(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t bytes_per_second, uint16_t align) {
  std::vector<uint8_t> f(16);
  PutLe16(&f[0], tag);
  PutLe16(&f[2], channels);
  PutLe32(&f[4], rate);
  PutLe32(&f[8], bytes_per_second);
  PutLe16(&f[12], align);
  PutLe16(&f[14], 16);
  return f;
}

std::vector<uint8_t> Riff(const std::vector<std::vector<uint8_t>>& chunks) {
  std::vector<uint8_t> body = {'W', 'A', 'V', 'E'};
  for (const auto& c : chunks) body.insert(body.end(), c.begin(), c.end());
  std::vector<uint8_t> file(8 + body.size());
  std::memcpy(file.data(), "RIFF", 4);
  PutLe32(file.data() + 4, static_cast<uint32_t>(body.size()));
  std::copy(body.begin(), body.end(), file.begin() + 8);
  return file;
}

class WaveFileTest : public ::testing::Test {
 protected:
  uint32_t Parse(const std::vector<uint8_t>& bytes, WaveData* wave) {
    const std::string path = ::testing::TempDir() + "/wave-test-" + std::to_string(::getpid()) + ".wav";
    std::unique_ptr<quenvar::platform::WritableFile> out;
    EXPECT_TRUE(env_->OpenWritable(path, quenvar::platform::WriteMode::kCreateOrTruncate, &out).ok());
    if (!bytes.empty()) {
      EXPECT_TRUE(out->Append(bytes.data(), bytes.size()).ok());
    }
    EXPECT_TRUE(out->Close().ok());
    const uint32_t result = ParseWaveFile(env_, path, wave);
    env_->RemoveFile(path);
    return result;
  }
  quenvar::platform::Env* env_ = quenvar::platform::Env::Default();
  const std::vector<uint8_t> cd_fmt_ = Fmt(1, 2, 44100, 176400, 4);
};

TEST_F(WaveFileTest, CdAudioGivesPayloadAndSectorCount) {
  WaveData wave;
  // One second: 176400 bytes, 75 sectors, raised to the four-second minimum.
  ASSERT_EQ(Parse(Riff({Chunk("fmt ", cd_fmt_), Chunk("data", std::vector<uint8_t>(176400, 1))}), &wave), QD_OK);
  EXPECT_EQ(wave.data_offset, 44u);
  EXPECT_EQ(wave.data_bytes, 176400u);
  EXPECT_EQ(wave.sectors, 300u);
  // Other chunks (odd sizes padded to even) are skipped; a partial last sector counts whole.
  const uint32_t bytes = 301 * 2352 + 4;
  ASSERT_EQ(Parse(Riff({Chunk("LIST", std::vector<uint8_t>(5, 7)), Chunk("fmt ", cd_fmt_),
                        Chunk("fact", {1, 2, 3, 4}), Chunk("data", std::vector<uint8_t>(bytes, 2))}),
                  &wave),
            QD_OK);
  EXPECT_EQ(wave.data_offset, 12u + 14 + 24 + 12 + 8);
  EXPECT_EQ(wave.sectors, 302u);
  EXPECT_EQ(SectorsForBytes(0), 300u);
  EXPECT_EQ(SectorsForBytes(300u * 2352), 300u);
  EXPECT_EQ(SectorsForBytes(300u * 2352 + 1), 301u);
}

TEST_F(WaveFileTest, AnythingButCdAudioIsWrongForm) {
  WaveData wave;
  const std::vector<uint8_t> data = Chunk("data", std::vector<uint8_t>(4000, 0));
  for (const auto& fmt : {Fmt(1, 1, 44100, 88200, 2), Fmt(1, 2, 48000, 192000, 4), Fmt(3, 2, 44100, 176400, 4),
                          Fmt(1, 2, 44100, 176400, 8), Fmt(1, 2, 44100, 100, 4)}) {
    EXPECT_EQ(Parse(Riff({Chunk("fmt ", fmt), data}), &wave), QD_E_WRONG_FORM);
  }
  // Samples before their format, no data at all, not RIFF, not WAVE, empty.
  EXPECT_EQ(Parse(Riff({data, Chunk("fmt ", cd_fmt_)}), &wave), QD_E_WRONG_FORM);
  EXPECT_EQ(Parse(Riff({Chunk("fmt ", cd_fmt_)}), &wave), QD_E_WRONG_FORM);
  std::vector<uint8_t> rifx = Riff({Chunk("fmt ", cd_fmt_), data});
  rifx[3] = 'X';
  EXPECT_EQ(Parse(rifx, &wave), QD_E_WRONG_FORM);
  std::vector<uint8_t> avi = Riff({Chunk("fmt ", cd_fmt_), data});
  std::memcpy(&avi[8], "AVI ", 4);
  EXPECT_EQ(Parse(avi, &wave), QD_E_WRONG_FORM);
  EXPECT_EQ(Parse({}, &wave), QD_E_WRONG_FORM);
  EXPECT_EQ(ParseWaveFile(env_, ::testing::TempDir() + "/no-such-file.wav", &wave), QD_E_SOURCE_MISSING);
}

TEST_F(WaveFileTest, DamagedSizesAreCheckedAgainstTheFile) {
  WaveData wave;
  const std::vector<uint8_t> good = Riff({Chunk("fmt ", cd_fmt_), Chunk("data", std::vector<uint8_t>(9000, 3))});
  // Cut anywhere inside the headers: refused, never read past the end.
  for (size_t cut = 0; cut < 44; ++cut) {
    EXPECT_EQ(Parse(std::vector<uint8_t>(good.begin(), good.begin() + cut), &wave), QD_E_WRONG_FORM) << cut;
  }
  // A format chunk claiming more than the file, or too little to hold the fields.
  EXPECT_EQ(Parse(Riff({Chunk("fmt ", cd_fmt_, 0x7FFFFFF0)}), &wave), QD_E_WRONG_FORM);
  EXPECT_EQ(Parse(Riff({Chunk("fmt ", std::vector<uint8_t>(cd_fmt_.begin(), cd_fmt_.begin() + 12)),
                        Chunk("data", {1, 2, 3, 4})}),
                  &wave),
            QD_E_WRONG_FORM);
  // A skipped chunk whose size jumps past the end: no data chunk is found.
  EXPECT_EQ(Parse(Riff({Chunk("fmt ", cd_fmt_), Chunk("junk", {1, 2}, 0xFFFFFFF0), Chunk("data", {1, 2, 3, 4})}),
                  &wave),
            QD_E_WRONG_FORM);
  // A data size beyond the file: the file was cut short.
  EXPECT_EQ(Parse(Riff({Chunk("fmt ", cd_fmt_), Chunk("data", std::vector<uint8_t>(5000, 3), 0xFFFFFFFF - 1)}),
                  &wave),
            QD_E_WRONG_FORM);
  EXPECT_EQ(Parse(Riff({Chunk("fmt ", cd_fmt_), Chunk("data", std::vector<uint8_t>(5000, 3), 5001)}), &wave),
            QD_E_WRONG_FORM);
}

TEST_F(WaveFileTest, RippedHeaderParsesBack) {
  const auto header = BuildWaveHeader(400 * 2352);
  std::vector<uint8_t> file(header.begin(), header.end());
  file.resize(file.size() + 400 * 2352, 9);
  WaveData wave;
  ASSERT_EQ(Parse(file, &wave), QD_OK);
  EXPECT_EQ(wave.data_offset, 44u);
  EXPECT_EQ(wave.data_bytes, 400u * 2352);
  EXPECT_EQ(wave.sectors, 400u);
  EXPECT_EQ(GetLe32(&header[4]), 400u * 2352 + 36);
  EXPECT_EQ(GetLe16(&header[34]), 16);
}

}  // namespace
}  // namespace quillden::audio
