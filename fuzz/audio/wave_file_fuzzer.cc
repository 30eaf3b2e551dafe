// Feeds arbitrary bytes to the WAVE parser as the file behind AUD_GetWaveFileDataLength. Any input
// must give 0 (with a data chunk inside the file) or 0x08000034, never a crash or a read past the
// end.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "audio/audio_disc.h"
#include "audio/wave_file.h"
#include "platform/env.h"
#include "quillden/audio.h"
#include "quillden/result.h"

namespace {

class MemoryFile : public quenvar::platform::ReadableFile {
 public:
  MemoryFile(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  quenvar::platform::Status ReadAt(uint64_t offset, size_t n, void* buffer, size_t* read_count) override {
    *read_count = 0;
    if (offset < size_) {
      *read_count = static_cast<size_t>(std::min<uint64_t>(n, size_ - offset));
      std::memcpy(buffer, data_ + offset, *read_count);
    }
    return quenvar::platform::Status::Ok();
  }
  uint64_t Size() const override { return size_; }

 private:
  const uint8_t* data_;
  size_t size_;
};

// Every file opened for reading is the current input.
class InputEnv : public quenvar::platform::EnvWrapper {
 public:
  InputEnv() : EnvWrapper(quenvar::platform::Env::Default()) {}
  quenvar::platform::Status OpenReadable(const std::string&,
                                         std::unique_ptr<quenvar::platform::ReadableFile>* file) override {
    *file = std::make_unique<MemoryFile>(data, size);
    return quenvar::platform::Status::Ok();
  }
  const uint8_t* data = nullptr;
  size_t size = 0;
};

InputEnv& Env() {
  static InputEnv* env = [] {
    auto* e = new InputEnv;
    quillden::audio::SetAudioEnvForTesting(e);
    return e;
  }();
  return *env;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputEnv& env = Env();
  env.data = data;
  env.size = size;
  DWORD sectors = 0;
  const DWORD result = AUD_GetWaveFileDataLength(u"/input.wav", &sectors);
  if (result != QD_OK && result != QD_E_WRONG_FORM) std::abort();
  MemoryFile file(data, size);
  quillden::audio::WaveData wave;
  if (quillden::audio::ParseWave(file, &wave) != result) std::abort();
  if (result == QD_OK) {
    if (wave.data_offset + wave.data_bytes > size || sectors != wave.sectors || sectors < 300) std::abort();
  }
  return 0;
}
