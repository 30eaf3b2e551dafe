#include "datadisk/mastering/session_layout.h"

#include <algorithm>
#include <new>
#include <unordered_map>

#include "datadisk/mastering/image_stream.h"
#include "drive/mmc_vocabulary.h"
#include "filesystems/crc32.h"
#include "filesystems/el_torito.h"
#include "filesystems/iso9660_records.h"
#include "filesystems/layout/ecma119_layout.h"
#include "quillden/result.h"

namespace quillden::mastering {
namespace {

using fs::BlocksFor;
using fs::kBlockSize;
using fs::View;

constexpr uint64_t kLargestIsoFile = 0xFFFFFFFFull;

uint64_t FileTimeOf(const FILETIME& time) {
  return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

}  // namespace

uint32_t HeaderBlocks(uint32_t file_system, bool boot_image, uint16_t profile,
                      uint32_t write_type) {
  const bool iso = (file_system & (kFsIso9660 | kFsJoliet)) != 0;
  if (file_system & kFsUdf250) return iso ? 257 : 288;
  if (file_system & kFsUdf102) {
    if (iso) return 272;
    // Dual layer DVD-R: a layer jump makes the structures be rebuilt around the jump, in the
    // larger header of the bridge.
    const bool jump = profile == drive::mmc::kProfileDvdMinusRDlJump ||
                      (profile == drive::mmc::kProfileDvdMinusRDlSequential &&
                       write_type != kWriteTypeDiscAtOnce);
    return jump ? 272 : 259;
  }
  return boot_image ? 20 : 19;
}

uint32_t StreamBootImages(const Datadisk& disc, ImageStream& stream) {
  const BootImage* const images[] = {disc.boot_image, disc.efi_image};
  for (const BootImage* image : images) {
    if (!image || image->kept_block) continue;
    uint32_t result = stream.WriteBlocks(image->data.data(), image->size);
    if (result != QD_OK) return result;
  }
  return QD_OK;
}

BlockSink StreamSink(ImageStream& stream) {
  return [&stream](const uint8_t* data, uint64_t count) -> uint32_t {
    if (!data) return stream.WriteZeroBlocks(count);
    return stream.WriteBlocks(data, static_cast<size_t>(count * kBlockSize));
  };
}

void ClearBlockPositions(Datadisk& disc) {
  WalkTree(disc, nullptr, [](DatadiskEntry* entry) {
    if (!entry->is_engine_entry()) {
      entry->location = 0;
      entry->second_location = 0;
      entry->length = 0;
      entry->second_length = 0;
    }
    return true;
  });
}

uint32_t SessionLayout::Plan(Datadisk& disc, const LayoutRequest& request) {
  try {
    request_ = request;
    if (!disc.first_root()) return QD_E_NOT_FOUND;
    const bool iso = (request.file_system & (kFsIso9660 | kFsJoliet)) != 0;
    const bool udf102 = (request.file_system & kFsUdf102) != 0;
    const bool udf250 = (request.file_system & kFsUdf250) != 0;
    if (udf102 && udf250) return QD_E_INVALID_SETTING;
    if (!iso && !udf102 && !udf250) return QD_E_INVALID_SETTING;
    udf_revision_ = udf102   ? fs::udf::kRevision102
                    : udf250 ? fs::udf::kRevision250
                             : 0;  // UDF hook
    uint32_t result = BuildLevelOrder(disc, &level_order_);
    if (result != QD_OK) return result;
    if (level_order_.empty()) return QD_E_NOT_FOUND;

    std::vector<fs::FsEntry> entries;
    result = DescribeEntries(disc, iso, &entries);
    if (result != QD_OK) return result;
    has_boot_ = disc.has_catalog();
    tree_ =
        std::make_unique<fs::IsoJolietTree>(std::move(entries), code_page_, request.file_version);
    tree_->AssignIsoNames();
    if (!tree_->SortForIso() && iso) return QD_E_NOT_FOUND;

    uint64_t next = 0;  // the first block not yet planned
    result = PlaceStructures(disc, iso, &next);
    if (result != QD_OK) return result;
    result = PlaceFiles(disc, &next);
    if (result != QD_OK) return result;
    end_ = static_cast<uint32_t>(next - session_start_);
    uint64_t total = request.cd_media ? WithCdRunOut(end_) : end_;
    if (total + session_start_ > 0xFFFFFFFFull) return QD_E_NO_SPACE;
    total_ = static_cast<uint32_t>(total);
    if (udf_revision_) {
      result = FinishUdfPlan(next);  // UDF hook: partition, anchors, E and T
      if (result != QD_OK) return result;
    }
    KeepPlanInEntries();
    return QD_OK;
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}

uint32_t SessionLayout::DescribeEntries(const Datadisk& disc, bool iso,
                                        std::vector<fs::FsEntry>* entries) {
  entries->resize(level_order_.size());
  for (uint32_t i = 0; i < level_order_.size(); ++i) {
    DatadiskEntry* e = level_order_[i];
    e->layout_index = i;  // parents come first, so theirs is set when their children ask
    fs::FsEntry& f = (*entries)[i];
    f.name = e->name();
    f.is_folder = e->is_folder();
    f.parent = e->parent ? e->parent->layout_index : fs::kParentIsRoot;
    f.level = e->level;
    f.last_write_time = FileTimeOf(e->last_write_time);
    if (!f.is_folder) {
      f.size = e->file_size();
      if (iso && request_.refuse_large_files && f.size > kLargestIsoFile) {
        return QD_E_FILE_TOO_LARGE_FOR_ISO;
      }
    }
  }
  const BootImage* boot = disc.boot_image;
  if (boot && boot->entry) {
    // The boot image entry shows the image's own blocks; its find data may be stale.
    const uint32_t i = boot->entry->layout_index;
    if (i < level_order_.size() && level_order_[i] == boot->entry) (*entries)[i].size = boot->size;
  }
  return QD_OK;
}

uint32_t SessionLayout::PlaceStructures(const Datadisk& disc, bool iso, uint64_t* next_block) {
  session_start_ = request_.session_start;
  // The UDF header holds the volume descriptors up to block 256 (and, for 1.02, the file set
  // descriptor at 257 and 258).
  header_blocks_ = HeaderBlocks(request_.file_system, has_boot_, profile_, write_type_);
  structure_block_ = session_start_ + header_blocks_;
  iso_path_table_size_ = iso ? tree_->PathTableSize(View::kIso9660) : 0;
  joliet_path_table_size_ = iso ? tree_->PathTableSize(View::kJoliet) : 0;
  iso_directory_bytes_ = iso ? tree_->SizeDirectories(View::kIso9660) : 0;
  joliet_directory_bytes_ = iso ? tree_->SizeDirectories(View::kJoliet) : 0;

  uint64_t next = structure_block_;
  iso_l_block_ = static_cast<uint32_t>(next);
  iso_m_block_ = static_cast<uint32_t>(next += BlocksFor(iso_path_table_size_));
  iso_directory_block_ = static_cast<uint32_t>(next += BlocksFor(iso_path_table_size_));
  next += iso_directory_bytes_ / kBlockSize;
  joliet_l_block_ = static_cast<uint32_t>(next);
  joliet_m_block_ = static_cast<uint32_t>(next += BlocksFor(joliet_path_table_size_));
  joliet_directory_block_ = static_cast<uint32_t>(next += BlocksFor(joliet_path_table_size_));
  next += joliet_directory_bytes_ / kBlockSize;
  iso_end_block_ = static_cast<uint32_t>(next);
  if (udf_revision_) {
    uint32_t result = PlanUdf(&next);  // UDF hook
    if (result != QD_OK) return result;
  }
  catalog_block_ = 0;
  boot_image_block_ = 0;
  efi_image_block_ = 0;
  if (has_boot_) {
    // The images follow the catalog, the BIOS image first; a kept image stays where it is.
    catalog_block_ = static_cast<uint32_t>(next++);
    if (const BootImage* bios = disc.catalog_bios_image()) {
      boot_image_block_ = bios->kept_block ? bios->kept_block : static_cast<uint32_t>(next);
      if (!bios->kept_block) next += BlocksFor(bios->size);
    }
    if (const BootImage* efi = disc.efi_image) {
      efi_image_block_ = efi->kept_block ? efi->kept_block : static_cast<uint32_t>(next);
      if (!efi->kept_block) next += BlocksFor(efi->size);
    }
  }
  structure_blocks_ =
      static_cast<uint32_t>((has_boot_ ? catalog_block_ + 1 : next) - structure_block_);
  first_file_block_ = static_cast<uint32_t>(next);
  if (iso) {
    tree_->Relocate(View::kIso9660, iso_directory_block_);
    tree_->Relocate(View::kJoliet, joliet_directory_block_);
  }
  *next_block = next;
  return QD_OK;
}

uint32_t SessionLayout::PlaceFiles(const Datadisk& disc, uint64_t* next) {
  // Files in level order, each from a block boundary.
  const BootImage* boot = disc.boot_image;
  std::vector<fs::FsEntry>& planned = tree_->entries();
  for (uint32_t i = 0; i < level_order_.size(); ++i) {
    DatadiskEntry* e = level_order_[i];
    fs::FsEntry& f = planned[i];
    if (f.is_folder) continue;
    if (boot && e == boot->entry) {
      f.location = boot_image_block_;
    } else if (e->attributes() & DDF_ATTR_IMPORTED) {
      f.location = e->location;
    } else if (!e->is_engine_entry()) {
      f.location = static_cast<uint32_t>(*next);
      *next += BlocksFor(f.size);
    }
    if (*next > 0xFFFFFFFFull) return QD_E_NO_SPACE;
  }
  return QD_OK;
}

void SessionLayout::KeepPlanInEntries() {
  const std::vector<fs::FsEntry>& planned = tree_->entries();
  for (uint32_t i = 0; i < level_order_.size(); ++i) {
    DatadiskEntry* e = level_order_[i];
    const fs::FsEntry& f = planned[i];
    const std::u16string iso_name = code_page_.ToUtf16(f.iso_name);
    size_t units = std::min<size_t>(iso_name.size(), 13);
    std::copy_n(iso_name.data(), units, e->short_name);
    e->short_name[units] = 0;
    e->short_name_hash = fs::Crc32Utf16Le(iso_name);
    e->directory_number = f.iso_directory_number;
    if (f.is_folder) {
      e->location = f.iso_directory_block;
      e->length = f.iso_directory_length;
      e->second_location = f.joliet_directory_block;
      e->second_length = f.joliet_directory_length;
    } else if (!(e->attributes() & DDF_ATTR_IMPORTED)) {
      e->location = f.location;
      e->length = f.size;
      // A split at the layer jump of an earlier job does not carry over to this one.
      e->second_location = 0;
      e->second_length = 0;
    }
  }
}

void SessionLayout::PutIsoVolumeDescriptors(const Datadisk& disc, const fs::IsoTime& volume_time) {
  std::u16string_view label(disc.volume_label);
  label = label.substr(0, std::min<size_t>(label.find(u'\0'), 32));
  std::string ansi = fs::ToAnsiName(code_page_, label);
  // The primary identifier takes 32 bytes; a double-byte character is never cut in half.
  size_t cut = 0;
  while (cut < ansi.size()) {
    size_t step = code_page_.IsPairAt(ansi, cut) ? 2 : 1;
    if (cut + step > fs::ecma119::kVolumeIdentifierSize) break;
    cut += step;
  }
  ansi.resize(cut);

  fs::VolumeFields iso;
  iso.label_ansi = ansi;
  iso.label_joliet = code_page_.ToUtf16(ansi);
  iso.volume_space_size = session_start_ + total_;
  iso.volume_time = volume_time;
  fs::VolumeFields joliet = iso;

  iso.path_table_size = iso_path_table_size_;
  iso.l_path_table_block = iso_l_block_;
  iso.m_path_table_block = iso_m_block_;
  iso.root_block = tree_->RootBlock(View::kIso9660);
  iso.root_length = fs::RoundUpToBlock(tree_->RootLength(View::kIso9660));
  joliet.path_table_size = joliet_path_table_size_;
  joliet.l_path_table_block = joliet_l_block_;
  joliet.m_path_table_block = joliet_m_block_;
  joliet.root_block = tree_->RootBlock(View::kJoliet);
  joliet.root_length = fs::RoundUpToBlock(tree_->RootLength(View::kJoliet));

  uint8_t* descriptor = header_.data() + size_t{fs::ecma119::kFirstDescriptorBlock} * kBlockSize;
  fs::PutPrimaryDescriptor(descriptor, iso);
  descriptor += kBlockSize;
  if (has_boot_) {
    fs::PutBootRecord(descriptor, catalog_block_);
    descriptor += kBlockSize;
  }
  fs::PutJolietDescriptor(descriptor, joliet);
  descriptor += kBlockSize;
  fs::PutTerminator(descriptor);
}

void SessionLayout::Build(const Datadisk& disc, const fs::IsoTime& volume_time, bool file_dates) {
  // With UDF 2.50 the ISO 9660 area lies in the header, between the volume descriptors and the
  // partition; its directories are produced while the header is written.
  const bool iso_in_header = iso_end_block_ <= structure_block_;
  const uint32_t header_held = iso_in_header ? iso_l_block_ - session_start_ : header_blocks_;
  header_.assign(size_t{header_held} * kBlockSize, 0);
  catalog_.assign(has_boot_ ? kBlockSize : 0, 0);
  volume_time_ = volume_time;
  file_dates_ = file_dates;

  const bool with_iso = (request_.file_system & (kFsIso9660 | kFsJoliet)) != 0;
  header_pieces_.clear();
  header_pieces_.push_back({Piece::kBytes, header_.data(), header_held});
  structure_pieces_.clear();
  iso_path_tables_.clear();
  joliet_path_tables_.clear();
  if (with_iso) {
    PutIsoVolumeDescriptors(disc, volume_time);

    // The path tables are held; the directories follow each view's tables in the stream.
    std::vector<Piece>& pieces = iso_in_header ? header_pieces_ : structure_pieces_;
    auto tables = [&](View view, std::vector<uint8_t>* held, uint32_t l_block, uint32_t m_block,
                      uint32_t directory_block, Piece::Kind directories, uint64_t bytes) {
      held->assign(size_t{directory_block - l_block} * kBlockSize, 0);
      tree_->WritePathTables(view, held->data(),
                             held->data() + size_t{m_block - l_block} * kBlockSize);
      pieces.push_back({Piece::kBytes, held->data(), directory_block - l_block});
      pieces.push_back({directories, nullptr, bytes / kBlockSize});
    };
    tables(View::kIso9660, &iso_path_tables_, iso_l_block_, iso_m_block_, iso_directory_block_,
           Piece::kIsoDirectories, iso_directory_bytes_);
    tables(View::kJoliet, &joliet_path_tables_, joliet_l_block_, joliet_m_block_,
           joliet_directory_block_, Piece::kJolietDirectories, joliet_directory_bytes_);
  }
  if (iso_in_header)
    header_pieces_.push_back({Piece::kZeros, nullptr, structure_block_ - iso_end_block_});
  if (udf_revision_) BuildUdf(disc, volume_time);  // UDF hook: its pieces follow
  if (has_boot_) {
    std::optional<fs::BootEntry> bios, efi;
    if (const BootImage* boot = disc.catalog_bios_image()) {
      bios =
          fs::BootEntry{boot->emulation, boot->load_segment, boot->sector_count, boot_image_block_};
    }
    if (const BootImage* image = disc.efi_image) {
      efi = fs::BootEntry{image->emulation, image->load_segment, image->sector_count,
                          efi_image_block_};
    }
    fs::PutBootCatalog(catalog_.data(), bios, efi);
    structure_pieces_.push_back({Piece::kBytes, catalog_.data(), 1});
  }
}

uint32_t SessionLayout::WritePieces(const std::vector<Piece>& pieces, const BlockSink& sink) const {
  for (const Piece& piece : pieces) {
    uint32_t result = QD_OK;
    switch (piece.kind) {
      case Piece::kBytes:
        result = sink(piece.data, piece.blocks);
        break;
      case Piece::kZeros:
        if (piece.blocks) result = sink(nullptr, piece.blocks);
        break;
      case Piece::kIsoDirectories:
      case Piece::kJolietDirectories:
        result = tree_->StreamDirectories(
            piece.kind == Piece::kIsoDirectories ? View::kIso9660 : View::kJoliet, volume_time_,
            file_dates_,
            [&sink](const uint8_t* blocks, size_t count) { return sink(blocks, count); });
        break;
      case Piece::kUdfArea:
        result = udf_tree_->WriteArea(udf_time_, [&sink](const uint8_t* blocks, size_t count) {
          return sink(blocks, count);
        });
        break;
    }
    if (result != QD_OK) return result;
  }
  return QD_OK;
}

uint32_t SessionLayout::WriteHeader(const BlockSink& sink) const {
  return WritePieces(header_pieces_, sink);
}

uint32_t SessionLayout::WriteStructures(const BlockSink& sink) const {
  return WritePieces(structure_pieces_, sink);
}

uint32_t SessionLayout::WriteTail(const BlockSink& sink) const {
  return WritePieces(tail_pieces_, sink);
}

}  // namespace quillden::mastering
