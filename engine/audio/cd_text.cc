#include "audio/cd_text.h"

#include <algorithm>
#include <map>

#include "util/crc16.h"

namespace quillden::audio {

namespace {

// Pack layout: type, track (string index), sequence number, block/character position, 12 text
// bytes, CRC high byte, CRC low byte.
constexpr size_t kPackType = 0;
constexpr size_t kPackTrack = 1;
constexpr size_t kPackSequence = 2;
constexpr size_t kPackBlock = 3;
constexpr size_t kPackText = 4;
constexpr size_t kPackCrc = 16;
constexpr size_t kSizeInfoBytes = 36;
// Size information payload offsets.
constexpr size_t kSizeCharacterCode = 0;
constexpr size_t kSizeFirstTrack = 1;
constexpr size_t kSizeLastTrack = 2;
constexpr size_t kSizePackCounts = 4;
constexpr size_t kSizeLastSequence = 20;
constexpr size_t kSizeLanguages = 28;

uint32_t TextPackCount(const CdTextBlock& block, int type) {
  return static_cast<uint32_t>((block.text[type].size() + kPackTextBytes - 1) / kPackTextBytes);
}

uint32_t BlockPackCount(const CdTextBlock& block) {
  uint32_t count = 3;  // size information
  for (int type = 0; type < kTextTypes; ++type) count += TextPackCount(block, type);
  return count;
}

void FinishPack(Pack* pack) {
  const uint16_t crc = PackCrc(pack->data());
  (*pack)[kPackCrc] = static_cast<uint8_t>(crc >> 8);
  (*pack)[kPackCrc + 1] = static_cast<uint8_t>(crc);
}

bool IsTerminator(const std::vector<uint8_t>& text, size_t at, size_t unit) {
  for (size_t i = 0; i < unit; ++i) {
    if (at + i < text.size() && text[at + i] != 0) return false;
  }
  return true;
}

}  // namespace

uint16_t PackCrc(const uint8_t* pack) { return static_cast<uint16_t>(~Crc16(pack, kPackCrc)); }

bool PackCrcValid(const uint8_t* pack) {
  const uint16_t crc = PackCrc(pack);
  return pack[kPackCrc] == (crc >> 8) && pack[kPackCrc + 1] == (crc & 0xFF);
}

void SetBlockText(CdTextBlock* block, int type_index, const std::vector<std::string>& strings) {
  std::vector<uint8_t>& text = block->text[type_index];
  text.clear();
  const size_t unit = block->terminator();
  for (const std::string& s : strings) {
    // A zero byte would end the string early; the text stops there as a reader would see it.
    const size_t length = std::min(s.size(), s.find('\0'));
    text.insert(text.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(length));
    if (text.size() % unit != 0) text.push_back(0);  // keep double-byte characters aligned
    text.insert(text.end(), unit, 0);
  }
  text.resize((text.size() + kPackTextBytes - 1) / kPackTextBytes * kPackTextBytes, 0);
  block->strings[type_index] = static_cast<uint32_t>(strings.size());
}

std::vector<std::string> BlockStrings(const CdTextBlock& block, int type_index) {
  std::vector<std::string> out;
  const std::vector<uint8_t>& text = block.text[type_index];
  const size_t unit = block.terminator();
  std::string current;
  for (size_t at = 0; at < text.size() && out.size() < block.strings[type_index]; at += unit) {
    if (IsTerminator(text, at, unit)) {
      if (unit == 2 && !current.empty() && current.back() == '\0') current.pop_back();
      out.push_back(current);
      current.clear();
      continue;
    }
    for (size_t i = 0; i < unit && at + i < text.size(); ++i) current.push_back(static_cast<char>(text[at + i]));
  }
  return out;
}

bool EncodeBlock(const CdTextBlocks& blocks, int block_index, uint8_t track_count, std::vector<Pack>* packs) {
  const CdTextBlock& block = blocks[block_index];
  const uint32_t total = BlockPackCount(block);
  if (total > kMaxPacksPerBlock) return false;
  const uint8_t block_bits = static_cast<uint8_t>((block.double_byte ? 0x80 : 0x00) | (block_index << 4));
  const size_t unit = block.terminator();
  uint8_t sequence = 0;
  for (int type = 0; type < kTextTypes; ++type) {
    const std::vector<uint8_t>& text = block.text[type];
    uint32_t string_index = 0;
    uint32_t characters = 0;  // of the current string before the position walked to
    size_t walked = 0;
    for (size_t at = 0; at < text.size(); at += kPackTextBytes) {
      for (; walked < at; walked += unit) {
        if (IsTerminator(text, walked, unit)) {
          ++string_index;
          characters = 0;
        } else {
          ++characters;
        }
      }
      Pack pack{};
      pack[kPackType] = static_cast<uint8_t>(kFirstTextType + type);
      pack[kPackTrack] = static_cast<uint8_t>(std::min<uint32_t>(string_index, 0x7F));
      pack[kPackSequence] = sequence++;
      pack[kPackBlock] = static_cast<uint8_t>(block_bits | std::min<uint32_t>(characters, 15));
      std::copy_n(text.begin() + static_cast<std::ptrdiff_t>(at), std::min(kPackTextBytes, text.size() - at),
                  pack.begin() + kPackText);
      FinishPack(&pack);
      packs->push_back(pack);
    }
  }
  uint8_t size_info[kSizeInfoBytes] = {};
  size_info[kSizeCharacterCode] = block.double_byte ? 0x80 : 0x01;
  size_info[kSizeFirstTrack] = 1;
  size_info[kSizeLastTrack] = track_count;
  for (int type = 0; type < kTextTypes; ++type) {
    size_info[kSizePackCounts + type] = static_cast<uint8_t>(TextPackCount(block, type));
  }
  size_info[kSizePackCounts + kTextTypes] = 3;
  for (int b = 0; b < kMaxBlocks; ++b) {
    if (!blocks[b].present) continue;
    size_info[kSizeLastSequence + b] = static_cast<uint8_t>(std::min<uint32_t>(BlockPackCount(blocks[b]), 256) - 1);
    size_info[kSizeLanguages + b] = blocks[b].language;
  }
  for (uint8_t part = 0; part < 3; ++part) {
    Pack pack{};
    pack[kPackType] = kSizeInfoType;
    pack[kPackTrack] = part;
    pack[kPackSequence] = sequence++;
    pack[kPackBlock] = block_bits;
    std::copy_n(size_info + part * kPackTextBytes, kPackTextBytes, pack.begin() + kPackText);
    FinishPack(&pack);
    packs->push_back(pack);
  }
  return true;
}

bool EncodeAll(const CdTextBlocks& blocks, uint8_t track_count, std::vector<Pack>* packs) {
  for (int b = 0; b < kMaxBlocks; ++b) {
    if (blocks[b].present && !EncodeBlock(blocks, b, track_count, packs)) return false;
  }
  return true;
}

int DecodePacks(const uint8_t* data, size_t size, CdTextBlocks* blocks) {
  *blocks = CdTextBlocks{};
  // Sequence order per block; a pack read twice counts once.
  std::map<std::pair<int, int>, Pack> ordered;
  for (size_t at = 0; at + kPackBytes <= size; at += kPackBytes) {
    Pack pack;
    std::copy_n(data + at, kPackBytes, pack.begin());
    if (pack[kPackType] < kFirstTextType || pack[kPackType] > kSizeInfoType || !PackCrcValid(pack.data())) continue;
    ordered.emplace(std::make_pair((pack[kPackBlock] >> 4) & 0x07, static_cast<int>(pack[kPackSequence])), pack);
  }
  std::array<std::array<uint8_t, kSizeInfoBytes>, kMaxBlocks> size_info{};
  std::array<bool, kMaxBlocks> have_size{};
  for (const auto& [key, pack] : ordered) {
    CdTextBlock& block = (*blocks)[key.first];
    block.present = true;
    block.double_byte = (pack[kPackBlock] & 0x80) != 0;
    if (pack[kPackType] == kSizeInfoType) {
      if (pack[kPackTrack] < 3) {
        std::copy_n(pack.begin() + kPackText, kPackTextBytes, size_info[key.first].begin() + pack[kPackTrack] * kPackTextBytes);
        have_size[key.first] = true;
      }
      continue;
    }
    std::vector<uint8_t>& text = block.text[pack[kPackType] - kFirstTextType];
    text.insert(text.end(), pack.begin() + kPackText, pack.begin() + kPackText + kPackTextBytes);
  }
  int found = 0;
  for (int b = 0; b < kMaxBlocks; ++b) {
    CdTextBlock& block = (*blocks)[b];
    if (!block.present) continue;
    ++found;
    // Any block's size information lists every block's language.
    for (int other = 0; other < kMaxBlocks; ++other) {
      if (have_size[other]) {
        block.language = size_info[other][kSizeLanguages + b];
        break;
      }
    }
    const size_t unit = block.terminator();
    for (int type = 0; type < kTextTypes; ++type) {
      const std::vector<uint8_t>& text = block.text[type];
      std::vector<uint32_t> ends;  // terminator positions
      for (size_t at = 0; at + unit <= text.size(); at += unit) {
        if (IsTerminator(text, at, unit)) ends.push_back(static_cast<uint32_t>(at));
      }
      uint32_t count = static_cast<uint32_t>(ends.size());
      if (have_size[b]) {
        // Disc plus tracks; the zeros that pad the last pack are not strings.
        count = std::min<uint32_t>(count, static_cast<uint32_t>(size_info[b][kSizeLastTrack]) + 1);
      } else {
        while (count > 0 && (count == 1 ? ends[0] == 0 : ends[count - 1] == ends[count - 2] + unit)) --count;
      }
      block.strings[type] = count;
    }
  }
  return found;
}

void PacksToSubchannel(const std::vector<Pack>& packs, size_t first, uint8_t* out) {
  for (size_t p = 0; p < 4; ++p) {
    const Pack& pack = packs[(first + p) % packs.size()];
    uint8_t* symbols = out + p * 24;
    for (size_t i = 0; i < 6; ++i) {
      const uint8_t b0 = pack[i * 3], b1 = pack[i * 3 + 1], b2 = pack[i * 3 + 2];
      symbols[i * 4] = b0 >> 2;
      symbols[i * 4 + 1] = static_cast<uint8_t>(((b0 & 0x03) << 4) | (b1 >> 4));
      symbols[i * 4 + 2] = static_cast<uint8_t>(((b1 & 0x0F) << 2) | (b2 >> 6));
      symbols[i * 4 + 3] = b2 & 0x3F;
    }
  }
}

Pack SubchannelToPack(const uint8_t* symbols) {
  Pack pack{};
  for (size_t i = 0; i < 6; ++i) {
    const uint8_t s0 = symbols[i * 4] & 0x3F, s1 = symbols[i * 4 + 1] & 0x3F;
    const uint8_t s2 = symbols[i * 4 + 2] & 0x3F, s3 = symbols[i * 4 + 3] & 0x3F;
    pack[i * 3] = static_cast<uint8_t>((s0 << 2) | (s1 >> 4));
    pack[i * 3 + 1] = static_cast<uint8_t>(((s1 & 0x0F) << 4) | (s2 >> 2));
    pack[i * 3 + 2] = static_cast<uint8_t>(((s2 & 0x03) << 6) | s3);
  }
  return pack;
}

}  // namespace quillden::audio
