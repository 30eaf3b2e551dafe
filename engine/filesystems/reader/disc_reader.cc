#include "filesystems/reader/disc_reader.h"

#include <algorithm>
#include <cstring>

#include "drive/mmc_commands.h"
#include "drive/mmc_vocabulary.h"
#include "filesystems/layout/ecma119_layout.h"
#include "filesystems/layout/ecma167_layout.h"
#include "filesystems/layout/el_torito_layout.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::reader {
namespace {

namespace ecma119 = fs::ecma119;
namespace ecma167 = fs::ecma167;
namespace eltorito = fs::eltorito;

// Volume descriptors are looked at until this many blocks after the first one; a real set has a
// handful.
constexpr uint32_t kMaxDescriptors = 256;
constexpr uint32_t kMaxPathTableRecords = 65535;

bool IdIs(const uint8_t* block, const char* id) {
  return std::memcmp(block + ecma119::kStandardIdentifier, id, ecma119::kStandardIdentifierSize) ==
         0;
}

// The first block of an extent's data: its recorded location plus the extended attribute record
// in front of the data (ECMA-119 9.1.2 and 9.4.2). False when the sum passes the last block a
// 32-bit address can name: such a record is damaged, and wrapping would read blocks near 0.
bool ExtentStart(uint32_t location, uint8_t attribute_blocks, uint32_t* block) {
  const uint64_t start = uint64_t{location} + attribute_blocks;
  if (start > 0xFFFFFFFFu) return false;
  *block = static_cast<uint32_t>(start);
  return true;
}
// ECMA-119 9.1: a directory record's extent.
bool RecordExtent(const uint8_t* r, uint32_t* block) {
  return ExtentStart(ecma119::GetBoth32(r + ecma119::kRecordExtentLocation),
                     r[ecma119::kRecordAttributeLength], block);
}

// A file identifier "NAME.EXT;1" names the file NAME.EXT.
std::u16string CutVersion(std::u16string name) {
  size_t semicolon = name.rfind(u';');
  if (semicolon != std::u16string::npos) name.resize(semicolon);
  return name;
}

}  // namespace

uint32_t FindSessionStart(HANDLE drive, uint16_t session, uint32_t* start) {
  if (session == 0) return QD_E_INVALID_ARGUMENT;
  namespace mmc = drive::mmc;
  drive::TrackInformation info;
  if (drive::ReadTrackInformation(drive, mmc::kTrackAddressSession, session, &info) == QD_OK &&
      info.session == session && !info.blank) {
    *start = info.start;
    return QD_OK;
  }
  // Drives that answer track information only for recordable media still have a table of contents.
  // Multi-session information: the last complete session and the first track in it.
  uint8_t toc[12] = {};
  const uint8_t* first_of_last = toc + mmc::kTocHeaderSize;
  if (drive::ReadToc(drive, false, mmc::kTocFormatSessionInfo, 0, toc, sizeof toc) == QD_OK &&
      toc[mmc::kTocLast] == session) {
    *start = GetBe32(first_of_last + mmc::kTocAddress);
    return QD_OK;
  }
  if (session == 1) {
    uint8_t first[12] = {};
    if (drive::ReadToc(drive, false, mmc::kTocFormatToc, 1, first, sizeof first) == QD_OK) {
      *start = GetBe32(first + mmc::kTocHeaderSize + mmc::kTocAddress);
      return QD_OK;
    }
  }
  return QD_E_INVALID_ARGUMENT;
}

uint32_t FindLastSessionStart(HANDLE drive, uint32_t* start) {
  namespace mmc = drive::mmc;
  uint8_t toc[12] = {};
  if (drive::ReadToc(drive, false, mmc::kTocFormatSessionInfo, 0, toc, sizeof toc) == QD_OK) {
    *start = GetBe32(toc + mmc::kTocHeaderSize + mmc::kTocAddress);
    return QD_OK;
  }
  return FindSessionStart(drive, 1, start);
}

bool DiscReader::has(View view) const {
  switch (view) {
    case View::kUdf:
      return udf_ready_;
    case View::kJoliet:
      return supplementary_.present && supplementary_.joliet;
    case View::kIso9660:
      return primary_.present;
  }
  return false;
}

View DiscReader::PreferredView() const {
  if (has(View::kUdf)) return View::kUdf;
  if (has(View::kJoliet)) return View::kJoliet;
  return View::kIso9660;
}

uint32_t DiscReader::Recognize(uint32_t session_start) {
  bits_ = 0;
  boot_catalog_block_ = 0;
  label_.clear();
  primary_ = IsoVolume{};
  supplementary_ = IsoVolume{};
  udf_ready_ = false;
  std::vector<uint8_t> block(kBlockSize);
  for (uint32_t i = 0; i < kMaxDescriptors; ++i) {
    const uint64_t at = uint64_t{session_start} + ecma119::kFirstDescriptorBlock + i;
    if (at > 0xFFFFFFFFu) break;
    if (source_->Read(static_cast<uint32_t>(at), 1, block.data()) != QD_OK) break;
    const uint8_t* b = block.data();
    const uint8_t type = b[ecma119::kDescriptorType];
    if (IdIs(b, ecma119::kStandardId)) {
      // The primary descriptor and the supplementary one (Joliet by its escape sequences).
      if (type == ecma119::kTypePrimary || type == ecma119::kTypeSupplementary) {
        const bool primary = type == ecma119::kTypePrimary;
        IsoVolume& volume = primary ? primary_ : supplementary_;
        volume.present = ecma119::GetBoth16(b + ecma119::kLogicalBlockSize) == kBlockSize;
        const uint8_t* escapes = b + ecma119::kEscapeSequences;
        volume.joliet =
            !primary && escapes[0] == ecma119::kJolietEscape0 &&
            escapes[1] == ecma119::kJolietEscape1 &&
            (escapes[2] == ecma119::kJolietLevel1 || escapes[2] == ecma119::kJolietLevel2 ||
             escapes[2] == ecma119::kJolietLevel3);
        std::memcpy(volume.root_record, b + ecma119::kRootDirectoryRecord,
                    ecma119::kRootDirectoryRecordSize);
        volume.path_table_size = ecma119::GetBoth32(b + ecma119::kPathTableSize);
        volume.path_table_block = GetLe32(b + ecma119::kLPathTableLocation);
        const uint8_t* volume_id = b + ecma119::kVolumeIdentifier;
        if (primary) {
          label_ = TrimRight(DecodeBytes(volume_id, ecma119::kVolumeIdentifierSize));
          bits_ |= kSeenIso9660;
          last_iso_view_ = View::kIso9660;
        } else {
          label_ =
              TrimRight(volume.joliet ? DecodeUcs2Be(volume_id, ecma119::kVolumeIdentifierSize)
                                      : DecodeBytes(volume_id, ecma119::kVolumeIdentifierSize));
          bits_ |= kSeenJoliet;
          last_iso_view_ = volume.joliet ? View::kJoliet : View::kIso9660;
        }
      }
      // A boot record of the El Torito boot system names the catalog's block.
      if (type == ecma119::kTypeBootRecord &&
          std::memcmp(b + ecma119::kBootSystemIdentifier, eltorito::kBootSystemId,
                      sizeof eltorito::kBootSystemId - 1) == 0) {
        boot_catalog_block_ = GetLe32(b + eltorito::kBootCatalogPointer);
      }
      continue;
    }
    if (IdIs(b, ecma167::kBeginExtendedArea) || IdIs(b, ecma167::kBoot2) ||
        IdIs(b, ecma167::kCdw02) || IdIs(b, ecma167::kTerminateExtendedArea)) {
      continue;
    }
    if (IdIs(b, ecma167::kNsr02) || IdIs(b, ecma167::kNsr03)) {
      bits_ |= kSeenUdf;
      continue;
    }
    break;
  }
  if (bits_ & kSeenUdf) {
    uint32_t result = RecognizeUdf(session_start);
    if (result == QD_E_OUT_OF_MEMORY) return result;
  }
  return bits_ ? QD_OK : QD_E_UNKNOWN_FILE_SYSTEM;
}

uint32_t DiscReader::Root(View view, DiscItem* root) {
  *root = DiscItem{};
  if (!has(view)) return QD_E_UNKNOWN_FILE_SYSTEM;
  if (view == View::kUdf) return ReadUdfRoot(root);
  const IsoVolume& volume = view == View::kJoliet ? supplementary_ : primary_;
  const uint8_t* r = volume.root_record;
  uint32_t block = 0;
  if (r[ecma119::kRecordLength] < ecma119::kMinRecordLength || !RecordExtent(r, &block))
    return QD_E_UNKNOWN_FILE_SYSTEM;
  root->folder = true;
  root->size = ecma119::GetBoth32(r + ecma119::kRecordDataLength);
  root->extents.push_back(Extent{block, static_cast<uint32_t>(root->size), true});
  root->creation = root->last_access = root->last_write = IsoRecordTime(r + ecma119::kRecordDate);
  return QD_OK;
}

uint32_t DiscReader::ListFolder(View view, const DiscItem& folder, std::vector<DiscItem>* items) {
  items->clear();
  if (!folder.folder) return QD_E_INVALID_ARGUMENT;
  if (view != View::kUdf) {
    if (folder.extents.empty()) return QD_E_UNKNOWN_FILE_SYSTEM;
    return ListIsoDirectory(view, folder.extents[0].block, items);
  }
  std::vector<uint8_t> data;
  if (folder.size > (uint64_t{64} << 20)) return QD_E_UNKNOWN_FILE_SYSTEM;
  data.resize(folder.size);
  uint32_t read = 0;
  uint32_t result = ReadFile(folder, 0, data.data(), static_cast<uint32_t>(data.size()), &read);
  if (result != QD_OK) return result;
  if (read != data.size()) return QD_E_UNKNOWN_FILE_SYSTEM;
  // File identifier descriptors, each padded to four bytes.
  namespace fid = ecma167::fid;
  size_t pos = 0;
  while (pos + fid::kHeaderSize <= data.size()) {
    const uint8_t* f = data.data() + pos;
    if (GetLe16(f + ecma167::tag::kIdentifier) != ecma167::kTagFileIdentifier)
      return QD_E_UNKNOWN_FILE_SYSTEM;
    const uint8_t characteristics = f[fid::kCharacteristics];
    const size_t name_length = f[fid::kIdentifierLength];
    const size_t use_length = GetLe16(f + fid::kImplementationUseLength);
    if (pos + fid::kHeaderSize + use_length + name_length > data.size())
      return QD_E_UNKNOWN_FILE_SYSTEM;
    pos += fid::PaddedLength(use_length, name_length);
    if (characteristics & (fid::kDeleted | fid::kParent)) continue;
    DiscItem item;
    if (!DecodeOstaName(f + fid::kImplementationUse + use_length, name_length, &item.name))
      return QD_E_UNKNOWN_FILE_SYSTEM;
    const uint8_t* icb = f + fid::kIcb;
    const uint16_t icb_ref = GetLe16(icb + ecma167::ad::kPartition);
    uint32_t block = 0;
    if (!UdfBlock(icb_ref, GetLe32(icb + ecma167::ad::kPosition), &block))
      return QD_E_UNKNOWN_FILE_SYSTEM;
    result = ReadUdfFileEntry(block, icb_ref, &item);
    if (result != QD_OK) return result;
    if (characteristics & fid::kDirectory) item.folder = true;
    items->push_back(std::move(item));
  }
  return QD_OK;
}

uint32_t DiscReader::ListIsoDirectory(View view, uint32_t block, std::vector<DiscItem>* items,
                                      uint64_t* size) {
  items->clear();
  if (!has(view) || view == View::kUdf) return QD_E_UNKNOWN_FILE_SYSTEM;
  std::vector<uint8_t> first(kBlockSize);
  uint32_t result = source_->Read(block, 1, first.data());
  if (result != QD_OK) return QD_E_UNKNOWN_FILE_SYSTEM;
  // The directory's first record must be its own "." record (ECMA-119 6.8.2.2).
  const uint8_t* dot = first.data();
  uint32_t dot_block = 0;
  if (dot[ecma119::kRecordLength] < ecma119::kMinRecordLength ||
      dot[ecma119::kRecordIdentifierLength] != 1 ||
      dot[ecma119::kRecordIdentifier] != ecma119::kSelfIdentifier ||
      !RecordExtent(dot, &dot_block) || dot_block != block ||
      !(dot[ecma119::kRecordFlags] & ecma119::kFlagDirectory)) {
    return QD_E_UNKNOWN_FILE_SYSTEM;
  }
  const uint64_t length = ecma119::GetBoth32(dot + ecma119::kRecordDataLength);
  if (size) *size = length;
  std::vector<uint8_t> data;
  result = source_->ReadBytes(block, length, &data);
  if (result != QD_OK) return result == QD_E_OUT_OF_MEMORY ? result : QD_E_UNKNOWN_FILE_SYSTEM;
  return ParseIsoDirectory(view, data, items);
}

uint32_t DiscReader::ParseIsoDirectory(View view, const std::vector<uint8_t>& data,
                                       std::vector<DiscItem>* items) {
  size_t pos = 0;
  bool continuing = false;  // the previous record has more extents to come
  while (pos < data.size()) {
    const uint8_t* r = data.data() + pos;
    if (r[ecma119::kRecordLength] == 0) {
      pos =
          (pos / kBlockSize + 1) * kBlockSize;  // records never cross a block; the rest is padding
      continue;
    }
    const size_t length = r[ecma119::kRecordLength];
    const size_t id_length =
        length > ecma119::kRecordIdentifierLength ? r[ecma119::kRecordIdentifierLength] : 0;
    if (length < ecma119::kMinRecordLength || pos + length > data.size() ||
        ecma119::kRecordIdentifier + id_length > length ||
        pos / kBlockSize != (pos + length - 1) / kBlockSize) {
      return QD_E_UNKNOWN_FILE_SYSTEM;
    }
    pos += length;
    const uint8_t flags = r[ecma119::kRecordFlags];
    const uint8_t* identifier = r + ecma119::kRecordIdentifier;
    if (id_length == 1 &&
        (identifier[0] == ecma119::kSelfIdentifier || identifier[0] == ecma119::kParentIdentifier))
      continue;
    if (flags & ecma119::kFlagAssociated) continue;
    std::u16string name = view == View::kJoliet ? DecodeUcs2Be(identifier, id_length)
                                                : DecodeBytes(identifier, id_length);
    name = CutVersion(std::move(name));
    const bool folder = (flags & ecma119::kFlagDirectory) != 0;
    // "NAME." is how ISO 9660 writes a file name without an extension.
    if (view == View::kIso9660 && !folder && name.size() > 1 && name.back() == u'.')
      name.pop_back();
    Extent extent{0, ecma119::GetBoth32(r + ecma119::kRecordDataLength), true};
    if (!RecordExtent(r, &extent.block)) return QD_E_UNKNOWN_FILE_SYSTEM;
    if (continuing && !items->empty() && items->back().name == name && !items->back().folder) {
      items->back().extents.push_back(extent);
      items->back().size += extent.bytes;
    } else {
      DiscItem item;
      item.name = std::move(name);
      item.folder = folder;
      item.size = extent.bytes;
      item.extents.push_back(extent);
      item.creation = item.last_access = item.last_write = IsoRecordTime(r + ecma119::kRecordDate);
      items->push_back(std::move(item));
    }
    continuing = (flags & ecma119::kFlagMultiExtent) != 0;
  }
  return QD_OK;
}

uint32_t DiscReader::ReadPathTable(std::vector<PathTableRecord>* records, View* view) {
  records->clear();
  *view = last_iso_view_;
  if (!has(*view)) return QD_E_UNKNOWN_FILE_SYSTEM;
  const IsoVolume& volume = *view == View::kJoliet ? supplementary_ : primary_;
  std::vector<uint8_t> data;
  uint32_t result = source_->ReadBytes(volume.path_table_block, volume.path_table_size, &data);
  if (result != QD_OK) return result == QD_E_OUT_OF_MEMORY ? result : QD_E_UNKNOWN_FILE_SYSTEM;
  // The L path table, little-endian.
  size_t pos = 0;
  while (pos + ecma119::kPathRecordHeaderSize <= data.size()) {
    const uint8_t* r = data.data() + pos;
    const size_t id_length = r[ecma119::kPathIdentifierLength];
    if (id_length == 0 || pos + ecma119::kPathRecordHeaderSize + id_length > data.size())
      return QD_E_UNKNOWN_FILE_SYSTEM;
    if (records->size() >= kMaxPathTableRecords) return QD_E_UNKNOWN_FILE_SYSTEM;
    PathTableRecord record;
    if (!ExtentStart(GetLe32(r + ecma119::kPathExtentLocation), r[ecma119::kPathAttributeLength],
                     &record.extent))
      return QD_E_UNKNOWN_FILE_SYSTEM;
    record.parent = GetLe16(r + ecma119::kPathParentNumber);
    const uint8_t* identifier = r + ecma119::kPathIdentifier;
    record.name = *view == View::kJoliet ? DecodeUcs2Be(identifier, id_length)
                                         : DecodeBytes(identifier, id_length);
    records->push_back(std::move(record));
    pos += ecma119::kPathRecordHeaderSize + id_length + (id_length & 1);
  }
  return records->empty() ? QD_E_UNKNOWN_FILE_SYSTEM : QD_OK;
}

uint32_t DiscReader::ReadFile(const DiscItem& file, uint64_t offset, uint8_t* buffer,
                              uint32_t bytes, uint32_t* read) {
  *read = 0;
  if (offset >= file.size) return QD_OK;
  const uint32_t wanted = static_cast<uint32_t>(std::min<uint64_t>(bytes, file.size - offset));
  if (file.is_embedded) {
    std::memset(buffer, 0, wanted);
    if (offset < file.embedded.size()) {
      size_t n = std::min<uint64_t>(wanted, file.embedded.size() - offset);
      std::memcpy(buffer, file.embedded.data() + offset, n);
    }
    *read = wanted;
    return QD_OK;
  }
  uint64_t extent_start = 0;  // file offset of the current extent
  uint32_t done = 0;
  std::vector<uint8_t> blocks;
  for (const Extent& extent : file.extents) {
    if (done == wanted) break;
    const uint64_t extent_end = extent_start + extent.bytes;
    const uint64_t at = offset + done;
    if (at < extent_end) {
      const uint64_t within = at - extent_start;
      const uint32_t n =
          static_cast<uint32_t>(std::min<uint64_t>(wanted - done, extent.bytes - within));
      if (!extent.recorded) {
        std::memset(buffer + done, 0, n);
      } else {
        const uint64_t first_block = extent.block + within / kBlockSize;
        const uint64_t last_block = extent.block + (within + n - 1) / kBlockSize;
        if (last_block > 0xFFFFFFFFu) return QD_E_UNKNOWN_FILE_SYSTEM;
        const uint32_t count = static_cast<uint32_t>(last_block - first_block + 1);
        blocks.resize(size_t{count} * kBlockSize);
        uint32_t result = source_->Read(static_cast<uint32_t>(first_block), count, blocks.data());
        if (result != QD_OK) return result;
        std::memcpy(buffer + done, blocks.data() + within % kBlockSize, n);
      }
      done += n;
    }
    extent_start = extent_end;
  }
  if (done < wanted) return QD_E_UNKNOWN_FILE_SYSTEM;  // the extents hold less than the size says
  *read = done;
  return QD_OK;
}

}  // namespace quillden::reader
