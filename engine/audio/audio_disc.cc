#include "audio/audio_disc.h"

#include <algorithm>
#include <atomic>
#include <unordered_map>

#include "drive/mmc_commands.h"
#include "platform/env.h"
#include "platform/mutex.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::audio {

namespace {

struct Registry {
  quenvar::platform::Mutex mu;
  std::unordered_map<const void*, std::shared_ptr<AudioDisc>> live GUARDED_BY(mu);
};

Registry& Discs() {
  static Registry* registry = new Registry;  // lives as long as the process
  return *registry;
}

std::atomic<quenvar::platform::Env*> g_env{nullptr};

// One cue sheet entry (MMC SEND CUE SHEET): CTL/ADR, TNO, INDEX, data form, SCMS, absolute time
// in binary minutes, seconds and frames of address (which counts from the start of the pregap of
// the first track, 150 blocks before LBA 0).
void AddEntry(std::vector<uint8_t>* sheet, uint8_t control_adr, uint8_t track, uint8_t index,
              uint8_t form, uint32_t address) {
  const uint32_t whole_seconds = address / 75 * 75;
  sheet->insert(
      sheet->end(),
      {control_adr, track, index, form, 0, static_cast<uint8_t>(whole_seconds / 4500),
       static_cast<uint8_t>((whole_seconds / 75) % 60), static_cast<uint8_t>(address % 75)});
}

}  // namespace

int AudioDisc::BlockCount() const {
  int count = 0;
  for (const CdTextBlock& block : cd_text) count += block.present ? 1 : 0;
  return count;
}

HANDLE AudioDisc::Register(std::shared_ptr<AudioDisc> disc) {
  Registry& r = Discs();
  quenvar::platform::MutexLock lock(&r.mu);
  HANDLE handle = disc.get();
  r.live.emplace(handle, std::move(disc));
  return handle;
}

std::shared_ptr<AudioDisc> AudioDisc::FromHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  Registry& r = Discs();
  quenvar::platform::MutexLock lock(&r.mu);
  auto it = r.live.find(handle);
  return it == r.live.end() ? nullptr : it->second;
}

std::shared_ptr<AudioDisc> AudioDisc::Release(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  Registry& r = Discs();
  quenvar::platform::MutexLock lock(&r.mu);
  auto it = r.live.find(handle);
  if (it == r.live.end()) return nullptr;
  std::shared_ptr<AudioDisc> disc = std::move(it->second);
  r.live.erase(it);
  return disc;
}

quenvar::platform::Env* AudioEnv() {
  quenvar::platform::Env* env = g_env.load();
  return env != nullptr ? env : quenvar::platform::Env::Default();
}

void SetAudioEnvForTesting(quenvar::platform::Env* env) {
  g_env.store(env);
}

int ReadDiscCdText(HANDLE drive, CdTextBlocks* blocks) {
  *blocks = CdTextBlocks{};
  uint8_t header[4] = {};
  if (drive::ReadToc(drive, false, 5, 0, header, sizeof(header)) != QD_OK) return 0;
  const uint32_t length = GetBe16(header) + 2u;  // the length field counts the bytes after itself
  if (length < 4 + kPackBytes) return 0;
  std::vector<uint8_t> data(length, 0);
  if (drive::ReadToc(drive, false, 5, 0, data.data(),
                     static_cast<uint16_t>(std::min<uint32_t>(length, 0xFFFF))) != QD_OK) {
    return 0;
  }
  return DecodePacks(data.data() + 4, data.size() - 4, blocks);
}

std::vector<uint8_t> BuildAudioCueSheet(uint32_t start_address,
                                        const std::vector<uint32_t>& sectors, bool cd_text,
                                        uint8_t first_track) {
  std::vector<uint8_t> sheet;
  const uint8_t lead_form = cd_text ? 0x41 : 0x01;  // 0x41: the host sends the lead-in's R-W data
  AddEntry(&sheet, 0x01, 0, 0, lead_form, 0);
  AddEntry(&sheet, 0x01, first_track, 0, 0x00, start_address);  // pregap of the first track only
  uint32_t address = start_address + 150;
  for (size_t i = 0; i < sectors.size(); ++i) {
    AddEntry(&sheet, 0x01, static_cast<uint8_t>(first_track + i), 1, 0x00, address);
    address += sectors[i];
  }
  AddEntry(&sheet, 0x01, 0xAA, 1, 0x01, address);
  return sheet;
}

}  // namespace quillden::audio
