#include "audio/wave_file.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/env.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::audio {

using quenvar::platform::ReadableFile;

namespace {

// RIFF header: "RIFF", size, form type.
constexpr uint64_t kRiffHeaderBytes = 12;
constexpr uint64_t kChunkHeaderBytes = 8;
// "fmt " chunk payload offsets (PCM WAVEFORMAT).
constexpr size_t kFmtFormatTag = 0;
constexpr size_t kFmtChannels = 2;
constexpr size_t kFmtSamplesPerSecond = 4;
constexpr size_t kFmtBytesPerSecond = 8;
constexpr size_t kFmtBlockAlign = 12;
constexpr uint32_t kFmtMinimumBytes = 14;

bool ReadExact(ReadableFile& file, uint64_t offset, size_t n, uint8_t* out, uint32_t* failure) {
  size_t got = 0;
  if (!file.ReadAt(offset, n, out, &got).ok()) {
    *failure = QD_E_READ_FILE;
    return false;
  }
  if (got != n) {
    *failure = QD_E_WRONG_FORM;  // the file ends inside a structure
    return false;
  }
  return true;
}

}  // namespace

uint32_t SectorsForBytes(uint64_t bytes) {
  const uint64_t sectors = (bytes + kCdSectorBytes - 1) / kCdSectorBytes;
  return sectors < kMinimumTrackSectors ? kMinimumTrackSectors : static_cast<uint32_t>(sectors);
}

uint32_t ParseWave(ReadableFile& file, WaveData* wave) {
  const uint64_t file_size = file.Size();
  uint32_t failure = QD_E_WRONG_FORM;
  uint8_t riff[kRiffHeaderBytes];
  if (!ReadExact(file, 0, sizeof(riff), riff, &failure)) return failure;
  if (std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) return QD_E_WRONG_FORM;
  // The chunks end where the RIFF size says, or at the end of the file when it says more.
  const uint64_t riff_end = std::min<uint64_t>(file_size, 8 + static_cast<uint64_t>(GetLe32(riff + 4)));
  bool have_format = false;
  uint64_t at = kRiffHeaderBytes;
  while (at + kChunkHeaderBytes <= riff_end) {
    uint8_t header[kChunkHeaderBytes];
    if (!ReadExact(file, at, sizeof(header), header, &failure)) return failure;
    const uint64_t payload = at + kChunkHeaderBytes;
    const uint64_t size = GetLe32(header + 4);
    if (std::memcmp(header, "fmt ", 4) == 0) {
      if (size < kFmtMinimumBytes || payload + size > riff_end) return QD_E_WRONG_FORM;
      uint8_t fmt[16] = {};
      if (!ReadExact(file, payload, size < 16 ? static_cast<size_t>(size) : 16, fmt, &failure)) return failure;
      if (GetLe16(fmt + kFmtFormatTag) != 1 || GetLe16(fmt + kFmtChannels) != 2 ||
          GetLe32(fmt + kFmtSamplesPerSecond) != 44100 || GetLe32(fmt + kFmtBytesPerSecond) != 176400 ||
          GetLe16(fmt + kFmtBlockAlign) != 4) {
        return QD_E_WRONG_FORM;
      }
      have_format = true;
    } else if (std::memcmp(header, "data", 4) == 0) {
      // Samples before their format cannot be interpreted.
      if (!have_format) return QD_E_WRONG_FORM;
      // A size beyond the file means the file was cut short: its samples cannot be trusted.
      if (payload + size > riff_end) return QD_E_WRONG_FORM;
      const uint64_t bytes = size;
      wave->data_offset = payload;
      wave->data_bytes = static_cast<uint32_t>(bytes);
      wave->sectors = SectorsForBytes(bytes);
      return QD_OK;
    }
    at = payload + size + (size & 1);  // chunks are padded to even sizes
  }
  return QD_E_WRONG_FORM;
}

uint32_t ParseWaveFile(quenvar::platform::Env* env, const std::string& path, WaveData* wave) {
  std::unique_ptr<ReadableFile> file;
  if (!env->OpenReadable(path, &file).ok()) return QD_E_SOURCE_MISSING;
  return ParseWave(*file, wave);
}

std::array<uint8_t, kWaveHeaderBytes> BuildWaveHeader(uint32_t data_bytes) {
  std::array<uint8_t, kWaveHeaderBytes> h{};
  std::memcpy(&h[0], "RIFF", 4);
  PutLe32(&h[4], data_bytes + 36);
  std::memcpy(&h[8], "WAVE", 4);
  std::memcpy(&h[12], "fmt ", 4);
  PutLe32(&h[16], 16);
  PutLe16(&h[20], 1);       // PCM
  PutLe16(&h[22], 2);       // channels
  PutLe32(&h[24], 44100);   // samples per second
  PutLe32(&h[28], 176400);  // bytes per second
  PutLe16(&h[32], 4);       // block alignment
  PutLe16(&h[34], 16);      // bits per sample
  std::memcpy(&h[36], "data", 4);
  PutLe32(&h[40], data_bytes);
  return h;
}

}  // namespace quillden::audio
