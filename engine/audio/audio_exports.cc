// The AUD_ exports that build and inspect an audio disc object.
#include <algorithm>
#include <new>

#include "audio/audio_disc.h"
#include "audio/wave_file.h"
#include "datadisk/datadisk.h"
#include "drive/drive_handle.h"
#include "platform/code_page.h"
#include "platform/unicode.h"
#include "quillden/audio.h"
#include "quillden/result.h"

using quillden::audio::AudioDisc;
using quillden::audio::AudioTrack;
using quillden::audio::CdTextBlock;

namespace {

std::u16string_view LastComponent(std::u16string_view path) {
  while (path.size() > 1 && path.back() == u'/') path.remove_suffix(1);
  const size_t slash = path.rfind(u'/');
  return slash == std::u16string_view::npos ? path : path.substr(slash + 1);
}

uint32_t AddTrack(AudioDisc& disc, const WCHAR* path) {
  const std::u16string text(quenvar::platform::Utf16View(path));
  if (quillden::HasBadCharacter(LastComponent(text))) return QD_E_BAD_CHARACTER;
  const uint16_t index = static_cast<uint16_t>(disc.tracks.size() + 1);
  quillden::audio::WaveData wave;
  const uint32_t result =
      quillden::audio::ParseWaveFile(quillden::audio::AudioEnv(), quenvar::platform::Utf16ToUtf8(text), &wave);
  if (result != QD_OK) {
    disc.SetErrorFile(text, index);
    return result;
  }
  if (disc.tracks.size() >= quillden::audio::kMaxTracks) return QD_E_TOO_MANY_TRACKS;
  AudioTrack track;
  track.path = text;
  track.data_offset = wave.data_offset;
  track.data_bytes = wave.data_bytes;
  track.sectors = wave.sectors;
  disc.tracks.push_back(std::move(track));
  return QD_OK;
}

uint32_t AddText(AudioDisc& disc, const _CDTEXTITEM& item, int type_index) {
  if (item.ppStrings == nullptr || item.dwStrings == 0 || item.dwDoubleByte > 1 || item.dwLanguage > 0xFF) {
    return QD_E_INVALID_ARGUMENT;
  }
  CdTextBlock* target = nullptr;
  for (CdTextBlock& block : disc.cd_text) {
    if (block.present && block.language == item.dwLanguage) {
      if (block.double_byte != (item.dwDoubleByte == 1)) return QD_E_INVALID_ARGUMENT;
      target = &block;
      break;
    }
  }
  if (target == nullptr) {
    for (CdTextBlock& block : disc.cd_text) {
      if (!block.present) {
        target = &block;
        break;
      }
    }
  }
  if (target == nullptr) return QD_E_INVALID_ARGUMENT;  // eight languages already
  std::vector<std::string> strings;
  for (DWORD i = 0; i < item.dwStrings; ++i) {
    const WCHAR* s = item.ppStrings[i];
    if (s == nullptr) return QD_E_INVALID_ARGUMENT;
    const size_t cap = item.dwStringLength > 0 ? item.dwStringLength - 1 : static_cast<size_t>(-1);
    strings.push_back(quenvar::platform::ToAnsi(std::u16string_view(s, quenvar::platform::Utf16Length(s, cap))));
  }
  if (!target->present) {
    *target = CdTextBlock{};
    target->present = true;
    target->language = static_cast<uint8_t>(item.dwLanguage);
    target->double_byte = item.dwDoubleByte == 1;
  }
  quillden::audio::SetBlockText(target, type_index, strings);
  return QD_OK;
}

uint32_t GetText(const AudioDisc& disc, _CDTEXTITEM* item, int block_index, int type_index) {
  if (disc.BlockCount() == 0) return QD_E_NO_DRIVE;  // "no CD-Text" shares this code
  const CdTextBlock& block = disc.cd_text[block_index];
  if (!block.present || block.text[type_index].empty() || block.strings[type_index] == 0) {
    return QD_E_INVALID_ARGUMENT;
  }
  std::vector<std::u16string> strings;
  for (const std::string& s : quillden::audio::BlockStrings(block, type_index)) {
    strings.push_back(quenvar::platform::FromAnsi(s));
  }
  item->dwLanguage = block.language;
  item->dwDoubleByte = block.double_byte ? 1 : 0;
  if (item->ppStrings == nullptr) {
    size_t longest = 0;
    for (const std::u16string& s : strings) longest = std::max(longest, s.size());
    item->dwStringLength = static_cast<DWORD>(longest + 1);
    item->dwStrings = static_cast<DWORD>(strings.size());
    return QD_OK;
  }
  if (item->dwStringLength == 0) return QD_E_INVALID_ARGUMENT;
  const DWORD count = std::min<DWORD>(item->dwStrings, static_cast<DWORD>(strings.size()));
  for (DWORD i = 0; i < count; ++i) {
    if (item->ppStrings[i] == nullptr) return QD_E_INVALID_ARGUMENT;
    quenvar::platform::CopyUtf16(strings[i], item->ppStrings[i], item->dwStringLength);
  }
  item->dwStrings = count;
  return QD_OK;
}

}  // namespace

QUILLDEN_EXTERN_C QUILLDEN_API HANDLE AUD_CreateAudiodisk(HANDLE drive) {
  if (!quillden::drive::DriveFromHandle(drive)) return INVALID_HANDLE_VALUE;
  try {
    auto disc = std::make_shared<AudioDisc>();
    disc->drive = drive;
    quillden::audio::ReadDiscCdText(drive, &disc->cd_text);
    return AudioDisc::Register(std::move(disc));
  } catch (const std::bad_alloc&) {
    return INVALID_HANDLE_VALUE;
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD AUD_DestroyAudiodisk(HANDLE audiodisk) {
  return AudioDisc::Release(audiodisk) ? QD_OK : QD_E_INVALID_HANDLE;
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD AUD_AddAudioTrack(HANDLE audiodisk, const WCHAR* path) {
  std::shared_ptr<AudioDisc> disc = AudioDisc::FromHandle(audiodisk);
  if (!disc) return QD_E_INVALID_HANDLE;
  if (path == nullptr) return QD_E_INVALID_ARGUMENT;
  try {
    return AddTrack(*disc, path);
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD AUD_DeleteAudioTrack(HANDLE audiodisk, WORD index) {
  std::shared_ptr<AudioDisc> disc = AudioDisc::FromHandle(audiodisk);
  if (!disc) return QD_E_INVALID_HANDLE;
  if (index == 0 || index > disc->tracks.size()) return QD_E_INVALID_ARGUMENT;
  disc->tracks.erase(disc->tracks.begin() + (index - 1));
  return QD_OK;
}

QUILLDEN_EXTERN_C QUILLDEN_API WORD AUD_GetNumberOfAudioTrack(HANDLE audiodisk) {
  std::shared_ptr<AudioDisc> disc = AudioDisc::FromHandle(audiodisk);
  if (!disc || disc->tracks.size() > quillden::audio::kMaxTracks) return 0xFFFF;
  return static_cast<WORD>(disc->tracks.size());
}

QUILLDEN_EXTERN_C QUILLDEN_API WORD AUD_GetErrorWavFileName(HANDLE audiodisk, WCHAR* buffer) {
  std::shared_ptr<AudioDisc> disc = AudioDisc::FromHandle(audiodisk);
  if (!disc || buffer == nullptr) return 0xFFFF;
  quenvar::platform::CopyUtf16(disc->error_file, buffer, MAX_PATH + 1);
  return disc->error_index;
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD AUD_GetWaveFileDataLength(const WCHAR* path, DWORD* sectors) {
  if (path == nullptr || sectors == nullptr) return QD_E_INVALID_ARGUMENT;
  try {
    quillden::audio::WaveData wave;
    const uint32_t result = quillden::audio::ParseWaveFile(
        quillden::audio::AudioEnv(), quenvar::platform::Utf16ToUtf8(quenvar::platform::Utf16View(path)), &wave);
    if (result == QD_OK) *sectors = wave.sectors;
    return result;
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD AUD_AddCdTextItem(HANDLE audiodisk, _CDTEXTITEM* item, int typeIndex) {
  std::shared_ptr<AudioDisc> disc = AudioDisc::FromHandle(audiodisk);
  if (!disc) return QD_E_INVALID_HANDLE;
  if (item == nullptr || typeIndex < 0 || typeIndex >= quillden::audio::kTextTypes) return QD_E_INVALID_ARGUMENT;
  try {
    return AddText(*disc, *item, typeIndex);
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD AUD_GetCdTextItem(HANDLE audiodisk, _CDTEXTITEM* item, int block, int typeIndex) {
  std::shared_ptr<AudioDisc> disc = AudioDisc::FromHandle(audiodisk);
  if (!disc) return QD_E_INVALID_HANDLE;
  if (item == nullptr || block < 0 || block >= quillden::audio::kMaxBlocks || typeIndex < 0 ||
      typeIndex >= quillden::audio::kTextTypes) {
    return QD_E_INVALID_ARGUMENT;
  }
  try {
    return GetText(*disc, item, block, typeIndex);
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API int AUD_GetCdTextNumberOfLanguage(HANDLE audiodisk) {
  std::shared_ptr<AudioDisc> disc = AudioDisc::FromHandle(audiodisk);
  return disc ? disc->BlockCount() : -1;
}
