// CD-Text: the per-language blocks of an audio disc, the 18-byte packs that carry them in the
// lead-in, and their R-W sub-channel form.
//
// A block holds, for each text pack type 0x80 to 0x8E, the concatenated strings of that type (each
// followed by one zero byte, two in a double-byte block) padded with zeros to whole 12-byte pack
// payloads. String 0 belongs to the disc, string n to track n. Packs are numbered per block from 0;
// each carries the index of the string its first character belongs to, the characters of that
// string before it, and a CRC-16 (x^16 + x^12 + x^5 + 1, initial 0) stored inverted, high byte
// first. A block ends with three size information packs (type 0x8F).
//
// Plain values and pure functions; thread-compatible.
#ifndef QUILLDEN_AUDIO_CD_TEXT_H_
#define QUILLDEN_AUDIO_CD_TEXT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quillden::audio {

inline constexpr size_t kPackBytes = 18;
inline constexpr size_t kPackTextBytes = 12;
inline constexpr int kTextTypes = 15;      // 0x80 to 0x8E
inline constexpr int kMaxBlocks = 8;       // languages
inline constexpr uint32_t kMaxPacksPerBlock = 255;  // larger blocks cannot be listed in the size information
inline constexpr uint8_t kFirstTextType = 0x80;
inline constexpr uint8_t kSizeInfoType = 0x8F;
inline constexpr size_t kSubchannelBlockBytes = 96;  // four R-W packets

using Pack = std::array<uint8_t, kPackBytes>;

struct CdTextBlock {
  bool present = false;
  uint8_t language = 0;
  bool double_byte = false;
  // Per type: the encoded text (a multiple of 12 bytes) and how many strings it holds.
  std::array<std::vector<uint8_t>, kTextTypes> text;
  std::array<uint32_t, kTextTypes> strings{};

  // Zero bytes that end a string: 1, or 2 in a double-byte block.
  size_t terminator() const { return double_byte ? 2 : 1; }
};

using CdTextBlocks = std::array<CdTextBlock, kMaxBlocks>;

// CRC-16 of the first 16 bytes of a pack as stored in bytes 16 and 17 (already inverted).
uint16_t PackCrc(const uint8_t* pack);
bool PackCrcValid(const uint8_t* pack);

// Stores strings (code-page bytes, without terminators) as the text of type_index.
void SetBlockText(CdTextBlock* block, int type_index, const std::vector<std::string>& strings);
// The strings of type_index, split at the terminators; at most block.strings[type_index].
std::vector<std::string> BlockStrings(const CdTextBlock& block, int type_index);

// The packs of one block in type order 0x80 to 0x8F, the three size information packs built from
// all blocks and the track count. False when the block needs more than 255 packs.
bool EncodeBlock(const CdTextBlocks& blocks, int block_index, uint8_t track_count, std::vector<Pack>* packs);
// Every present block's packs, block after block. False when one of them is too large.
bool EncodeAll(const CdTextBlocks& blocks, uint8_t track_count, std::vector<Pack>* packs);

// Blocks rebuilt from the pack data that READ TOC/PMA/ATIP format 5 returns (after its header).
// Packs whose CRC does not match are left out. Returns the number of blocks found.
int DecodePacks(const uint8_t* data, size_t size, CdTextBlocks* blocks);

// Four packs as one 96-byte R-W sub-channel block: every 3 bytes become 4 six-bit symbols, high
// bits first. first is the index of the first pack; the packs repeat cyclically.
void PacksToSubchannel(const std::vector<Pack>& packs, size_t first, uint8_t* out);
// The inverse for one 24-symbol packet.
Pack SubchannelToPack(const uint8_t* symbols);

}  // namespace quillden::audio

#endif  // QUILLDEN_AUDIO_CD_TEXT_H_
