#include "filesystems/iso_joliet_tree.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "filesystems/iso9660_records.h"
#include "filesystems/iso_name.h"
#include "util/byte_order.h"

namespace quillden::fs {

IsoJolietTree::IsoJolietTree(std::vector<FsEntry> entries, const AnsiCodePage& code_page,
                             bool file_version)
    : entries_(std::move(entries)), code_page_(code_page), file_version_(file_version) {}

void IsoJolietTree::AssignIsoNames() {
  // The children of a folder stand together in the level order list, in tree order, so one namer
  // per run of equal parent does the whole folder.
  uint32_t current_parent = 0;
  std::unique_ptr<FolderIsoNamer> namer;
  for (size_t i = 0; i < entries_.size(); ++i) {
    FsEntry& entry = entries_[i];
    if (!namer || entry.parent != current_parent) {
      namer = std::make_unique<FolderIsoNamer>(code_page_);
      current_parent = entry.parent;
    }
    entry.iso_name = IsoName(namer->Next(entry.name, entry.is_folder));
  }
}

namespace {

bool IsAscii(std::string_view bytes) {
  for (char c : bytes) {
    if (static_cast<uint8_t>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace

bool IsoJolietTree::SortForIso() {
  // ISO names sort as UTF-16; an ASCII name is its own UTF-16, which spares the conversion.
  auto iso_less = [this](const FsEntry& x, const FsEntry& y) {
    if (IsAscii(x.iso_name) && IsAscii(y.iso_name)) {
      return std::string_view(x.iso_name) < std::string_view(y.iso_name);
    }
    return code_page_.ToUtf16(x.iso_name) < code_page_.ToUtf16(y.iso_name);
  };
  sorted_.resize(entries_.size());
  for (uint32_t i = 0; i < sorted_.size(); ++i) sorted_[i] = i;
  uint32_t next_number = 2;
  size_t run_start = 0;
  while (run_start < sorted_.size()) {
    uint16_t level = entries_[sorted_[run_start]].level;
    size_t run_end = run_start;
    while (run_end < sorted_.size() && entries_[sorted_[run_end]].level == level) ++run_end;
    auto parent_number = [this](const FsEntry& e) -> uint32_t {
      return e.parent == kParentIsRoot ? 1 : entries_[e.parent].iso_directory_number;
    };
    std::stable_sort(sorted_.begin() + run_start, sorted_.begin() + run_end,
                     [&](uint32_t a, uint32_t b) {
                       const FsEntry& x = entries_[a];
                       const FsEntry& y = entries_[b];
                       uint32_t px = parent_number(x), py = parent_number(y);
                       if (px != py) return px < py;
                       return iso_less(x, y);
                     });
    for (size_t i = run_start; i < run_end; ++i) {
      FsEntry& entry = entries_[sorted_[i]];
      if (!entry.is_folder) continue;
      if (next_number > 0xFFFF) return false;
      entry.iso_directory_number = static_cast<uint16_t>(next_number++);
    }
    run_start = run_end;
  }
  return true;
}

std::vector<uint32_t> IsoJolietTree::FolderOrder(View view) const {
  std::vector<uint32_t> order;
  if (view == View::kJoliet) {
    for (uint32_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].is_folder) order.push_back(i);
    }
  } else {
    for (uint32_t i : sorted_) {
      if (entries_[i].is_folder) order.push_back(i);
    }
  }
  return order;
}

IsoJolietTree::ChildLists IsoJolietTree::ChildrenInOrder(View view) const {
  // Counted first, then placed: two flat lists instead of one list per folder.
  ChildLists lists;
  lists.start.assign(entries_.size() + 2, 0);
  for (const FsEntry& entry : entries_) ++lists.start[SlotOf(entry.parent) + 1];
  for (size_t s = 1; s < lists.start.size(); ++s) lists.start[s] += lists.start[s - 1];
  lists.items.resize(entries_.size());
  std::vector<uint32_t> fill(lists.start.begin(), lists.start.end() - 1);
  auto add = [&](uint32_t i) { lists.items[fill[SlotOf(entries_[i].parent)]++] = i; };
  if (view == View::kJoliet) {
    for (uint32_t i = 0; i < entries_.size(); ++i) add(i);
  } else {
    for (uint32_t i : sorted_) add(i);
  }
  return lists;
}

size_t IsoJolietTree::IdentifierLength(View view, const FsEntry& entry) const {
  bool version = file_version_ && !entry.is_folder;
  if (view == View::kJoliet) return entry.name.size() * 2 + (version ? 4 : 0);
  return entry.iso_name.size() + (version ? 2 : 0);
}

void IsoJolietTree::Identifier(View view, const FsEntry& entry, std::string* id) const {
  bool version = file_version_ && !entry.is_folder;
  id->clear();
  if (view == View::kJoliet) {
    for (char16_t unit : entry.name) {
      id->push_back(static_cast<char>(unit >> 8));
      id->push_back(static_cast<char>(unit & 0xFF));
    }
    if (version) id->append(std::string_view("\0;\0001", 4));
    return;
  }
  id->append(entry.iso_name);
  if (version) id->append(";1");
}

uint32_t& IsoJolietTree::DirBlock(View view, uint32_t slot) {
  if (slot == RootSlot()) return view == View::kJoliet ? joliet_root_.block : iso_root_.block;
  return view == View::kJoliet ? entries_[slot].joliet_directory_block
                               : entries_[slot].iso_directory_block;
}
uint32_t& IsoJolietTree::DirLength(View view, uint32_t slot) {
  if (slot == RootSlot()) return view == View::kJoliet ? joliet_root_.length : iso_root_.length;
  return view == View::kJoliet ? entries_[slot].joliet_directory_length
                               : entries_[slot].iso_directory_length;
}
uint32_t IsoJolietTree::DirBlock(View view, uint32_t slot) const {
  return const_cast<IsoJolietTree*>(this)->DirBlock(view, slot);
}
uint32_t IsoJolietTree::DirLength(View view, uint32_t slot) const {
  return const_cast<IsoJolietTree*>(this)->DirLength(view, slot);
}

uint32_t IsoJolietTree::PathTableSize(View view) const {
  uint32_t size = 10;  // the root's record
  for (const FsEntry& entry : entries_) {
    if (!entry.is_folder) continue;
    size_t name_length = view == View::kJoliet ? entry.name.size() * 2 : entry.iso_name.size();
    size += PathTableRecordLength(name_length);
  }
  return size;
}

uint64_t IsoJolietTree::SizeDirectories(View view) {
  const ChildLists children = ChildrenInOrder(view);
  std::vector<uint32_t> folders = FolderOrder(view);
  uint64_t next_block = 0;
  auto size_one = [&](uint32_t slot) {
    uint32_t length = 68;  // "." and ".."
    for (uint32_t k = children.start[slot]; k < children.start[slot + 1]; ++k) {
      uint32_t record = DirectoryRecordLength(IdentifierLength(view, entries_[children.items[k]]));
      if (length % kBlockSize + record > kBlockSize) length = RoundUpToBlock(length);
      length += record;
    }
    DirBlock(view, slot) = static_cast<uint32_t>(next_block);
    DirLength(view, slot) = length;
    next_block += BlocksFor(length);
  };
  size_one(RootSlot());
  for (uint32_t folder : folders) size_one(folder);
  return next_block * kBlockSize;
}

void IsoJolietTree::Relocate(View view, uint32_t first_block) {
  DirBlock(view, RootSlot()) += first_block;
  for (uint32_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].is_folder) DirBlock(view, i) += first_block;
  }
}

uint32_t IsoJolietTree::RootBlock(View view) const {
  return DirBlock(view, RootSlot());
}
uint32_t IsoJolietTree::RootLength(View view) const {
  return DirLength(view, RootSlot());
}

void IsoJolietTree::WritePathTables(View view, uint8_t* l_table, uint8_t* m_table) const {
  std::vector<uint32_t> folders = FolderOrder(view);
  // Numbers are given again in table order: root 1, then 2, 3, ...
  std::unordered_map<uint32_t, uint16_t> number;
  number.reserve(folders.size());
  uint32_t offset = 0;
  auto put = [&](uint32_t location, uint16_t parent, std::string_view name) {
    PutPathTableRecord(l_table + offset, false, location, parent, name);
    offset += PutPathTableRecord(m_table + offset, true, location, parent, name);
  };
  put(RootBlock(view), 1, std::string_view("\0", 1));
  uint32_t next = 2;
  for (uint32_t folder : folders) {
    const FsEntry& entry = entries_[folder];
    number[folder] = static_cast<uint16_t>(next++);
    uint16_t parent = entry.parent == kParentIsRoot ? 1 : number[entry.parent];
    std::string name = view == View::kJoliet ? ToUtf16Be(entry.name)
                                             : std::string(std::string_view(entry.iso_name));
    put(DirBlock(view, folder), parent, name);
  }
}

void IsoJolietTree::WriteDirectories(View view, uint8_t* area, const IsoTime& volume_time,
                                     bool file_dates) const {
  uint8_t* next = area;
  StreamDirectories(view, volume_time, file_dates, [&next](const uint8_t* blocks, size_t count) {
    std::memcpy(next, blocks, count * kBlockSize);
    next += count * kBlockSize;
    return 0u;
  });
}

uint32_t IsoJolietTree::StreamDirectories(View view, const IsoTime& volume_time, bool file_dates,
                                          const AreaSink& sink, size_t window_blocks) const {
  const ChildLists children = ChildrenInOrder(view);
  const IsoTimeConverter local_time;
  std::string identifier;
  // Directories follow one another in the order they were sized, each from a block boundary, so
  // whole directories gather in the window and go on when the next one would not fit.
  std::vector<uint8_t> window(std::max<size_t>(window_blocks, 1) * kBlockSize);
  size_t held = 0;  // blocks
  uint32_t result = 0;
  auto hand_on = [&]() {
    if (held) result = sink(window.data(), held);
    held = 0;
    return result == 0;
  };
  auto write_one = [&](uint32_t slot) {
    const size_t blocks = BlocksFor(DirLength(view, slot));
    if ((held + blocks) * kBlockSize > window.size()) {
      if (!hand_on()) return false;
      if (blocks * kBlockSize > window.size()) window.resize(blocks * kBlockSize);
    }
    uint8_t* dir = window.data() + held * kBlockSize;
    std::memset(dir, 0, blocks * kBlockSize);
    WriteDirectory(view, slot, children, dir, volume_time, file_dates, local_time, &identifier);
    held += blocks;
    return true;
  };
  if (!write_one(RootSlot())) return result;
  for (uint32_t folder : FolderOrder(view)) {
    if (!write_one(folder)) return result;
  }
  hand_on();
  return result;
}

void IsoJolietTree::WriteDirectory(View view, uint32_t slot, const ChildLists& children,
                                   uint8_t* dir, const IsoTime& volume_time, bool file_dates,
                                   const IsoTimeConverter& local_time,
                                   std::string* identifier_buffer) const {
  std::string& identifier = *identifier_buffer;
  bool is_root = slot == RootSlot();
  uint32_t parent_slot = is_root ? RootSlot() : SlotOf(entries_[slot].parent);

  DirectoryRecord self;
  self.location = DirBlock(view, slot);
  self.data_length = RoundUpToBlock(DirLength(view, slot));
  self.date = is_root ? volume_time : local_time(entries_[slot].last_write_time);
  self.flags = kDirectoryFlag;
  self.identifier = std::string_view("\0", 1);
  uint32_t length = PutDirectoryRecord(dir, self);

  DirectoryRecord parent;
  parent.location = DirBlock(view, parent_slot);
  parent.data_length = RoundUpToBlock(DirLength(view, parent_slot));
  parent.date =
      parent_slot == RootSlot() ? volume_time : local_time(entries_[parent_slot].last_write_time);
  parent.flags = kDirectoryFlag;
  parent.identifier = std::string_view("\1", 1);
  length += PutDirectoryRecord(dir + length, parent);

  for (uint32_t k = children.start[slot]; k < children.start[slot + 1]; ++k) {
    const uint32_t child = children.items[k];
    const FsEntry& entry = entries_[child];
    Identifier(view, entry, &identifier);
    DirectoryRecord record;
    if (entry.is_folder) {
      record.location = DirBlock(view, child);
      record.data_length = RoundUpToBlock(DirLength(view, child));
      record.flags = kDirectoryFlag;
    } else {
      record.location = entry.location;
      record.data_length = static_cast<uint32_t>(entry.size);
      record.flags = 0;
    }
    record.date = file_dates ? local_time(entry.last_write_time) : volume_time;
    record.identifier = identifier;
    uint32_t size = DirectoryRecordLength(identifier.size());
    if (length % kBlockSize + size > kBlockSize) length = RoundUpToBlock(length);
    length += PutDirectoryRecord(dir + length, record);
  }
}

}  // namespace quillden::fs
