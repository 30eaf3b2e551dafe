// WAVE files as audio CD tracks: the chunk walk that finds the PCM format and the sample data, and
// the 44-byte header of the files that ripping writes.
//
// A usable track file is a RIFF file of form "WAVE" whose "fmt " chunk describes CD audio (PCM, two
// channels, 44100 samples per second, 176400 bytes per second, 4-byte frames) and comes before its
// "data" chunk. Every size in the file is checked against the file's real length, so a damaged or
// hostile file is refused with 0x08000034 and never read past its end.
//
// Pure functions over a ReadableFile; thread-safe.
#ifndef QUILLDEN_AUDIO_WAVE_FILE_H_
#define QUILLDEN_AUDIO_WAVE_FILE_H_

#include <array>
#include <cstdint>
#include <string>

namespace quenvar::platform {
class Env;
class ReadableFile;
}  // namespace quenvar::platform

namespace quillden::audio {

inline constexpr uint32_t kCdSectorBytes = 2352;
inline constexpr uint32_t kMinimumTrackSectors = 300;  // four seconds
inline constexpr size_t kWaveHeaderBytes = 44;

struct WaveData {
  uint64_t data_offset = 0;  // file offset of the data chunk's payload
  uint32_t data_bytes = 0;   // payload size, cut to what the file holds
  uint32_t sectors = 0;      // CD sectors the track takes (at least kMinimumTrackSectors)
};

// Walks the chunks of file. 0 and *wave filled, or 0x08000034 for anything that is not CD audio
// (0x08000020 when reading fails).
uint32_t ParseWave(quenvar::platform::ReadableFile& file, WaveData* wave);
// Opens path (UTF-8) through env: 0x08000013 when it cannot be opened, else as ParseWave.
uint32_t ParseWaveFile(quenvar::platform::Env* env, const std::string& path, WaveData* wave);

// Sectors for a payload of bytes: rounded up to whole sectors, at least kMinimumTrackSectors.
uint32_t SectorsForBytes(uint64_t bytes);

// The header of a CD audio WAVE file whose payload is data_bytes long.
std::array<uint8_t, kWaveHeaderBytes> BuildWaveHeader(uint32_t data_bytes);

}  // namespace quillden::audio

#endif  // QUILLDEN_AUDIO_WAVE_FILE_H_
