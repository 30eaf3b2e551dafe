#include "datadisk/importer.h"

#include <algorithm>
#include <map>
#include <new>
#include <vector>

#include "drive/mmc_commands.h"
#include "filesystems/el_torito.h"
#include "filesystems/reader/boot_catalog_reader.h"
#include "filesystems/reader/folder_walk.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/drive.h"
#include "quillden/result.h"

namespace quillden::reader {
namespace {

constexpr uint64_t kMaxExtentBytes = 0x3FFFF800u;  // the longest extent a file system records

// The tree refuses \ / : * ? " < > | in names; a disc written elsewhere may hold them (UDF allows
// all but "/" and NUL), so they become "_" as ";" does on insertion.
std::u16string MendName(std::u16string name) {
  for (char16_t& c : name) {
    if (c == 0 || HasBadCharacter(std::u16string_view(&c, 1))) c = u'_';
  }
  return name;
}

}  // namespace

bool SplitIntoPieces(const DiscItem& item, Pieces* pieces) {
  *pieces = Pieces{};
  if (item.is_embedded) return item.size == 0;
  if (item.extents.empty()) return item.size == 0;
  int piece = 0;
  uint64_t next_block = 0;  // block that would continue the current piece
  uint64_t covered = 0;
  for (const Extent& e : item.extents) {
    if (covered >= item.size) break;
    if (!e.recorded) return false;
    const uint64_t bytes = std::min<uint64_t>(e.bytes, item.size - covered);
    // A new piece starts where the extents stop being one run of blocks: after an extent that
    // does not fill its last block, or at a block that does not follow on.
    if (piece == 0) {
      piece = 1;
      pieces->location = e.block;
    } else if (e.block != next_block) {
      if (piece == 2) return false;
      piece = 2;
      pieces->second_location = e.block;
    }
    (piece == 1 ? pieces->length : pieces->second_length) += bytes;
    next_block = (e.bytes % kBlockSize == 0 && e.bytes <= kMaxExtentBytes)
                     ? uint64_t{e.block} + e.bytes / kBlockSize
                     : ~uint64_t{0};
    covered += bytes;
  }
  return covered == item.size;
}

uint32_t Importer::Ask(uint32_t code, const char16_t* text, uint32_t* reply) {
  *reply = asker_.Ask(code, text);
  return *reply == FP_REPLY_CANCEL ? QD_E_CANCELLED : QD_OK;
}

void Importer::EmptyTree() {
  while (DatadiskEntry* first = disc_.first_root()) DeleteEntry(disc_, first);
}

uint32_t Importer::Place(DatadiskEntry* folder, const DiscItem& item, DatadiskEntry** entry,
                         Placed* placed) {
  *placed = Placed::kSkipped;
  *entry = nullptr;
  std::u16string name = MendName(item.name);
  if (name.empty() || name == u"." || name == u"..") return QD_OK;
  uint32_t reply = 0;
  if (name.size() > kMaxEntryName && asker_.HasWindow()) {
    char16_t buffer[MAX_PATH];
    quenvar::platform::CopyUtf16(name, buffer, MAX_PATH);
    if (Ask(FP_ASK_NAME, buffer, &reply) != QD_OK) return QD_E_CANCELLED;
    if (reply == 1) return QD_OK;
    if (reply == 2) {
      buffer[MAX_PATH - 1] = 0;
      name = MendName(std::u16string(quenvar::platform::Utf16View(buffer)));
      if (name.empty()) return QD_OK;
    }
  }
  Pieces pieces;
  if (!item.folder && !SplitIntoPieces(item, &pieces)) return QD_E_UNKNOWN_FILE_SYSTEM;
  // Content beyond the end of the disc would be written into the new session as it stands.
  for (const Extent& e : item.extents) {
    if (e.recorded &&
        uint64_t{e.block} + (uint64_t{e.bytes} + kBlockSize - 1) / kBlockSize > capacity_) {
      return QD_E_UNKNOWN_FILE_SYSTEM;
    }
  }

  const std::u16string disc_path = JoinDiscPath(folder, name);
  if (DatadiskEntry* existing = FindChild(disc_, folder, name)) {
    if (existing->is_folder() && item.folder) {
      *entry = existing;
      *placed = Placed::kMerged;
      return QD_OK;
    }
    if (!asker_.HasWindow()) return QD_OK;
    if (Ask(FP_ASK_DUPLICATE, disc_path.c_str(), &reply) != QD_OK) return QD_E_CANCELLED;
    if (reply != 1) return QD_OK;
    DeleteEntry(disc_, existing);
  } else if (asker_.HasWindow()) {
    if (Ask(FP_ASK_ADD, disc_path.c_str(), &reply) != QD_OK) return QD_E_CANCELLED;
    if (reply != 0) return QD_OK;
  }

  DatadiskEntry* created = disc_.NewEntry();
  if (!created) return QD_E_OUT_OF_MEMORY;
  created->file_attributes = DDF_ATTR_IMPORTED | (item.folder ? FILE_ATTRIBUTE_DIRECTORY : 0);
  created->creation_time = item.creation;
  created->last_access_time = item.last_access;
  created->last_write_time = item.last_write;
  if (!item.folder) {
    created->size = item.size;
    created->location = pieces.location;
    created->length = pieces.length;
    created->second_location = pieces.second_location;
    created->second_length = pieces.second_length;
  } else {
    created->location = item.extents.empty() ? 0 : item.extents[0].block;
    created->length = item.size;
  }
  try {
    disc_.SetEntryName(created, name);
  } catch (const std::bad_alloc&) {
    disc_.FreeEntry(created);
    return QD_E_OUT_OF_MEMORY;
  }
  const uint32_t code = InsertEntry(disc_, created, folder);
  if (code == QD_E_PATH_TOO_LONG) {
    disc_.FreeEntry(created);
    if (asker_.HasWindow() && Ask(FP_PATH_TOO_LONG, disc_path.c_str(), &reply) != QD_OK)
      return QD_E_CANCELLED;
    return QD_OK;
  }
  if (code != QD_OK) {
    disc_.FreeEntry(created);
    return code;
  }
  *entry = created;
  *placed = Placed::kNew;
  return QD_OK;
}

uint32_t Importer::ImportUdf(DiscReader& reader) {
  FolderWalk walk(reader.source());
  DiscItem root;
  uint32_t result = reader.Root(View::kUdf, &root);
  if (result != QD_OK) return result;
  if ((result = walk.Enter(root.icb_block, 0)) != QD_OK) return result;
  // Depth first, on an explicit stack.
  struct Pending {
    DiscItem folder;
    DatadiskEntry* target;
    uint32_t depth;
  };
  std::vector<Pending> stack;
  stack.push_back(Pending{std::move(root), nullptr, 0});
  std::vector<DiscItem> items;
  while (!stack.empty()) {
    Pending pending = std::move(stack.back());
    stack.pop_back();
    result = reader.ListFolder(View::kUdf, pending.folder, &items);
    if (result != QD_OK) return result == QD_E_OUT_OF_MEMORY ? result : QD_E_UNKNOWN_FILE_SYSTEM;
    for (DiscItem& item : items) {
      DatadiskEntry* entry = nullptr;
      Placed placed;
      result = Place(pending.target, item, &entry, &placed);
      if (result != QD_OK) return result;
      if (!item.folder || placed == Placed::kSkipped) continue;
      if ((result = walk.Enter(item.icb_block, pending.depth + 1)) != QD_OK) return result;
      stack.push_back(Pending{std::move(item), entry, pending.depth + 1});
    }
  }
  return QD_OK;
}

uint32_t Importer::ImportIso(DiscReader& reader) {
  std::vector<PathTableRecord> records;
  View view;
  uint32_t result = reader.ReadPathTable(&records, &view);
  if (result != QD_OK) return result;
  // For every path table record, the folder its directory goes into (null: the root); records
  // whose folder was skipped are left out with their whole subtree.
  std::vector<DatadiskEntry*> target(records.size() + 1, nullptr);
  std::vector<bool> present(records.size() + 1, false);
  // The folder entries that directories placed, by (their parent's entry, their extent).
  std::map<std::pair<DatadiskEntry*, uint32_t>, DatadiskEntry*> placed_folders;
  std::vector<uint32_t> depth(records.size() + 1, 0);
  FolderWalk walk(reader.source());
  std::vector<DiscItem> items;
  for (size_t number = 1; number <= records.size(); ++number) {
    const PathTableRecord& record = records[number - 1];
    if (number == 1) {
      present[1] = true;
    } else {
      if (record.parent < 1 || record.parent >= number) return QD_E_UNKNOWN_FILE_SYSTEM;
      if (!present[record.parent]) continue;
      auto found = placed_folders.find({target[record.parent], record.extent});
      if (found == placed_folders.end()) continue;
      target[number] = found->second;
      present[number] = true;
      depth[number] = depth[record.parent] + 1;
    }
    if ((result = walk.Enter(record.extent, depth[number])) != QD_OK) return result;
    result = reader.ListIsoDirectory(view, record.extent, &items);
    if (result != QD_OK) return result == QD_E_OUT_OF_MEMORY ? result : QD_E_UNKNOWN_FILE_SYSTEM;
    for (const DiscItem& item : items) {
      DatadiskEntry* entry = nullptr;
      Placed placed;
      result = Place(target[number], item, &entry, &placed);
      if (result != QD_OK) return result;
      if (item.folder && placed != Placed::kSkipped && !item.extents.empty()) {
        placed_folders[{target[number], item.extents[0].block}] = entry;
      }
    }
  }
  return QD_OK;
}

void Importer::KeepBootEntries(DiscReader& reader) {
  const uint32_t catalog = reader.boot_catalog_block();
  if (catalog == 0 || catalog >= capacity_) return;
  std::vector<uint8_t> block(kBlockSize);
  if (reader.source()->Read(catalog, 1, block.data()) != QD_OK) return;
  BootCatalogEntry entries[8];
  const int count = ReadBootCatalog(block.data(), entries, 8);
  std::pmr::polymorphic_allocator<BootImage> alloc(disc_.heap());
  for (int i = 0; i < count; ++i) {
    const BootCatalogEntry& entry = entries[i];
    if (entry.image_block == 0 || entry.image_block >= capacity_) continue;
    const bool efi = entry.platform == fs::eltorito::kPlatformUefi;
    BootImage*& slot = efi ? disc_.efi_image : disc_.kept_bios_image;
    if (slot || (!efi && disc_.boot_image) ||
        (!efi && entry.platform != fs::eltorito::kPlatform80x86))
      continue;
    BootImage* image = alloc.new_object<BootImage>(disc_.heap());
    image->kept_block = entry.image_block;
    image->emulation = entry.emulation;
    image->load_segment = entry.load_segment;
    image->sector_count = entry.sector_count;
    const uint32_t required = fs::RequiredBootImageSize(entry.emulation);
    image->size = required ? required : uint32_t{entry.sector_count} * 512;
    slot = image;
    (efi ? kept_efi_ : kept_bios_) = image;
  }
}

uint32_t Importer::Import(uint16_t session) {
  uint32_t start = 0;
  uint32_t result = FindSessionStart(drive_, session, &start);
  if (result != QD_OK) return result;
  BlockSource source(drive_);
  capacity_ = source.capacity();
  DiscReader reader(&source);
  result = reader.Recognize(start);
  if (result != QD_OK) return result;
  uint32_t bits = reader.bits();
  result = QD_E_UNKNOWN_FILE_SYSTEM;
  if (bits & (kSeenUdf | kSeenUdf250)) {
    result = reader.has(View::kUdf) ? ImportUdf(reader) : QD_E_UNKNOWN_FILE_SYSTEM;
    if (result == QD_E_CANCELLED) return result;
    if (result != QD_OK) {
      bits &= ~(kSeenUdf | kSeenUdf250);
      EmptyTree();
    }
  }
  if (result != QD_OK && (bits & (kSeenIso9660 | kSeenJoliet))) {
    result = ImportIso(reader);
    if (result == QD_E_CANCELLED) return result;
    if (result != QD_OK) EmptyTree();
  }
  if (result == QD_OK) {
    KeepBootEntries(reader);
    disc_.file_system =
        ((bits & (kSeenIso9660 | kSeenJoliet)) ? 3u : 0u) | (bits & (kSeenUdf | kSeenUdf250));
  }
  return result;
}

uint32_t Importer::Run(uint16_t session) {
  drive::PreventAllowMediumRemoval(drive_, /*prevent=*/true, /*persistent=*/false);
  uint32_t result;
  try {
    result = Import(session);
  } catch (const std::bad_alloc&) {
    result = QD_E_OUT_OF_MEMORY;
  }
  if (result == QD_OK || result == QD_E_CANCELLED) {
    _MEDIAINFORMATION info{};
    const uint32_t code = DRV_GetMediaInformation(drive_, &info);
    if (code == QD_OK) {
      disc_.imported_drive = drive_;
      disc_.next_session_start =
          info.dwStatus == MEDIA_STATUS_APPENDABLE ? info.dwNextWritable : 0xFFFFFFFFu;
      disc_.data_mode = info.dwDataMode == 2 ? 2 : 1;
    } else if (result == QD_OK) {
      result = code;
    }
  }
  // Entries of a session that cannot be appended to must not stay behind.
  if (result != QD_OK && result != QD_E_CANCELLED) {
    EmptyTree();
    if (kept_efi_ && disc_.efi_image == kept_efi_) disc_.FreeEfiImage();
    if (kept_bios_ && disc_.kept_bios_image == kept_bios_) disc_.FreeKeptBiosImage();
  }
  drive::PreventAllowMediumRemoval(drive_, /*prevent=*/false, /*persistent=*/false);
  if (result != QD_OK) disc_.Fail(result);
  return result;
}

}  // namespace quillden::reader
