#include "datadisk/datadisk.h"

#include <algorithm>
#include <ctime>
#include <new>
#include <set>
#include <type_traits>
#include <unordered_map>

#include "datadisk/datadisk_env.h"
#include "datadisk/names.h"
#include "platform/local_time.h"
#include "platform/unicode.h"
#include "quillden/result.h"

namespace quillden {

// Sibling order as a strict weak order: names starting below 128 sort before all others and among
// themselves with ASCII letters folded; names starting at 128 or above by plain code units.
struct SortLess {
  bool operator()(const DatadiskEntry* a, const DatadiskEntry* b) const {
    return CompareSortNames(a->name(), b->name()) < 0;
  }
};

// The children of one folder indexed twice, in the disc's heap: by name hash (lookups and the
// collision walk of the insertion) and in sibling order (the insertion point). The linked list
// stays the order callers walk. Both hold bare entry pointers, a dozen bytes or so per child: a
// tree of a few hundred thousand entries must fit in far less memory than node-based containers
// take.
class FolderIndex {
 public:
  explicit FolderIndex(std::pmr::memory_resource* heap) : slots_(heap), runs_(heap) {}

  // --- by name hash: open addressing with linear probing, at most half full ---
  bool HasHash(uint32_t hash) const {
    bool found = false;
    ForHash(hash, [&found](DatadiskEntry*) {
      found = true;
      return false;
    });
    return found;
  }
  // Calls visit for every entry of that hash until it returns false.
  template <typename Visit>
  void ForHash(uint32_t hash, Visit&& visit) const {
    if (slots_.empty()) return;
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask; slots_[i]; i = (i + 1) & mask) {
      if (slots_[i]->name_hash == hash && !visit(slots_[i])) return;
    }
  }
  void AddHashed(DatadiskEntry* entry) {
    if ((hashed_ + 1) * 2 > slots_.size()) GrowSlots();
    Place(slots_, entry);
    ++hashed_;
  }
  void RemoveHashed(const DatadiskEntry* entry) {
    if (slots_.empty()) return;
    const size_t mask = slots_.size() - 1;
    size_t hole = entry->name_hash & mask;
    while (slots_[hole] && slots_[hole] != entry) hole = (hole + 1) & mask;
    if (!slots_[hole]) return;
    // Backward shift: every entry after the hole that may move into it does, so that no probe
    // sequence ever crosses a free slot before its entry.
    for (size_t next = (hole + 1) & mask; slots_[next]; next = (next + 1) & mask) {
      const size_t home = slots_[next]->name_hash & mask;
      const bool home_cyclically_after_hole =
          hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
      if (home_cyclically_after_hole) continue;
      slots_[hole] = slots_[next];
      hole = next;
    }
    slots_[hole] = nullptr;
    --hashed_;
  }

  // --- sibling order: sorted runs of at most kRunLength entries, the runs in order ---
  // Inserts entry after every sibling that does not sort after it; returns the sibling it now
  // follows, or null when it comes first.
  DatadiskEntry* AddOrdered(DatadiskEntry* entry) {
    SortLess less;
    // The first run whose last entry sorts after entry takes it; past the last run, the last.
    auto run = std::partition_point(runs_.begin(), runs_.end(),
                                    [&](const Run& r) { return !less(entry, r.back()); });
    if (run == runs_.end()) {
      if (runs_.empty()) {
        runs_.emplace_back();
        runs_.back().reserve(4);
      }
      run = std::prev(runs_.end());
    }
    auto at = std::upper_bound(run->begin(), run->end(), entry, less);
    DatadiskEntry* before = nullptr;
    if (at != run->begin()) {
      before = *std::prev(at);
    } else if (run != runs_.begin()) {
      before = std::prev(run)->back();
    }
    at = run->insert(at, entry);
    if (run->size() > kRunLength) {
      // Split in two halves; the upper half becomes the next run.
      const auto index = run - runs_.begin();
      Run upper(run->begin() + kRunLength / 2, run->end(), runs_.get_allocator());
      runs_.insert(run + 1, std::move(upper));
      Run& lower = runs_[static_cast<size_t>(index)];
      lower.resize(kRunLength / 2);
      lower.shrink_to_fit();
    }
    return before;
  }
  void RemoveOrdered(const DatadiskEntry* entry) {
    SortLess less;
    // Equal keys may span runs: from the first run whose last entry does not sort before entry.
    auto run = std::partition_point(runs_.begin(), runs_.end(),
                                    [&](const Run& r) { return less(r.back(), entry); });
    for (; run != runs_.end(); ++run) {
      auto first = std::lower_bound(run->begin(), run->end(), entry, less);
      for (auto it = first; it != run->end() && !less(entry, *it); ++it) {
        if (*it != entry) continue;
        run->erase(it);
        if (run->empty()) runs_.erase(run);
        return;
      }
      if (first != run->end() && less(entry, run->back())) return;  // its range ended here
    }
  }

 private:
  static constexpr size_t kRunLength = 512;
  using Run = std::pmr::vector<DatadiskEntry*>;

  static void Place(std::pmr::vector<DatadiskEntry*>& slots, DatadiskEntry* entry) {
    const size_t mask = slots.size() - 1;
    size_t i = entry->name_hash & mask;
    while (slots[i]) i = (i + 1) & mask;
    slots[i] = entry;
  }
  void GrowSlots() {
    std::pmr::vector<DatadiskEntry*> grown(slots_.empty() ? 4 : slots_.size() * 2, nullptr,
                                           slots_.get_allocator());
    for (DatadiskEntry* entry : slots_) {
      if (entry) Place(grown, entry);
    }
    slots_.swap(grown);
  }

  std::pmr::vector<DatadiskEntry*> slots_;  // a power of two; null is a free slot
  size_t hashed_ = 0;
  std::pmr::vector<Run> runs_;
};

// Gives the tree functions access to the disc's private root list and index.
struct TreeAccess {
  static DatadiskEntry*& first(Datadisk& disc, DatadiskEntry* folder) {
    return folder ? folder->first_child : disc.first_root_;
  }
  static FolderIndex*& index(Datadisk& disc, DatadiskEntry* folder) {
    return folder ? folder->children_index : disc.root_index_;
  }
  static const FolderIndex* index(const Datadisk& disc, const DatadiskEntry* folder) {
    return folder ? folder->children_index : disc.root_index_;
  }
};

namespace {

class DiscRegistry {
 public:
  HANDLE Add(std::shared_ptr<Datadisk> disc) {
    HANDLE handle = disc->handle();
    quenvar::platform::MutexLock lock(&mutex_);
    discs_.emplace(handle, std::move(disc));
    return handle;
  }
  std::shared_ptr<Datadisk> Find(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    quenvar::platform::MutexLock lock(&mutex_);
    auto it = discs_.find(handle);
    return it == discs_.end() ? nullptr : it->second;
  }
  std::shared_ptr<Datadisk> Remove(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    quenvar::platform::MutexLock lock(&mutex_);
    auto it = discs_.find(handle);
    if (it == discs_.end()) return nullptr;
    std::shared_ptr<Datadisk> disc = std::move(it->second);
    discs_.erase(it);
    return disc;
  }
  std::shared_ptr<Datadisk> OwnerOf(HANDLE handle, DatadiskEntry** entry) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    quenvar::platform::MutexLock lock(&mutex_);
    for (auto& [key, disc] : discs_) {
      if (DatadiskEntry* found = disc->EntryFromHandle(handle)) {
        *entry = found;
        return disc;
      }
    }
    return nullptr;
  }

 private:
  quenvar::platform::Mutex mutex_;
  std::unordered_map<HANDLE, std::shared_ptr<Datadisk>> discs_ GUARDED_BY(mutex_);
};

// Leaked on purpose: a worker may still hold a disc during static destruction at exit.
DiscRegistry& Discs() {
  static auto* registry = new DiscRegistry();
  return *registry;
}

void FormatLabel(char16_t* label) {
  quenvar::platform::SystemTime local;
  quenvar::platform::FileTimeToLocalTime(DatadiskEnv()->Now(), &local);
  char text[40];
  std::snprintf(text, sizeof(text), "%04u%02u%02u_%02u%02u%02u", unsigned(local.year),
                unsigned(local.month), unsigned(local.day), unsigned(local.hour),
                unsigned(local.minute), unsigned(local.second));
  size_t i = 0;
  for (; text[i] && i < 32; ++i) label[i] = static_cast<char16_t>(text[i]);
  label[i] = 0;
}

}  // namespace

size_t DatadiskEntry::DiscPathLength() const {
  size_t length = name_length;
  for (const DatadiskEntry* up = parent; up; up = up->parent) length += up->name_length + 1;
  return length;
}

std::u16string DatadiskEntry::DiscPath() const {
  std::u16string path(DiscPathLength(), u'\\');
  size_t end = path.size();
  for (const DatadiskEntry* e = this; e; e = e->parent) {
    end -= e->name_length;
    std::copy_n(e->name_units, e->name_length, path.begin() + static_cast<ptrdiff_t>(end));
    if (end) --end;  // the separator stays
  }
  return path;
}

std::u16string DatadiskEntry::SourcePath() const {
  // Up to the nearest entry that stores its source, then the names back down.
  const DatadiskEntry* base = this;
  size_t length = 0;
  while (base->source_from_parent && base->parent) {
    length += base->name_length + 1;
    base = base->parent;
  }
  if (base->source_from_parent) return std::u16string();  // cannot happen: the chain ends stored
  std::u16string path(base->source_length + length, u'/');
  std::copy_n(base->source_units, base->source_length, path.begin());
  size_t end = path.size();
  for (const DatadiskEntry* e = this; e != base; e = e->parent) {
    end -= e->name_length;
    std::copy_n(e->name_units, e->name_length, path.begin() + static_cast<ptrdiff_t>(end));
    --end;  // the "/"
  }
  return path;
}

WIN32_FIND_DATAW DatadiskEntry::FindData() const {
  WIN32_FIND_DATAW data{};
  data.dwFileAttributes = file_attributes;
  data.ftCreationTime = creation_time;
  data.ftLastAccessTime = last_access_time;
  data.ftLastWriteTime = last_write_time;
  data.nFileSizeHigh = static_cast<uint32_t>(size >> 32);
  data.nFileSizeLow = static_cast<uint32_t>(size);
  size_t n = std::min<size_t>(name_length, MAX_PATH - 1);
  std::copy_n(name_units, n, data.cFileName);
  std::copy(std::begin(short_name), std::end(short_name), data.cAlternateFileName);
  return data;
}

Datadisk::Datadisk() {
  FormatLabel(volume_label);
}

// Entries and indexes live in heap_ and are released with it; their destructors free nothing else.
Datadisk::~Datadisk() = default;

HANDLE Datadisk::Create() {
  try {
    auto disc = std::make_shared<Datadisk>();
    return Discs().Add(std::move(disc));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::shared_ptr<Datadisk> Datadisk::FromHandle(HANDLE handle) {
  return Discs().Find(handle);
}
std::shared_ptr<Datadisk> Datadisk::Release(HANDLE handle) {
  return Discs().Remove(handle);
}

DatadiskEntry* Datadisk::EntryFromHandle(HANDLE handle) const {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  const auto address = reinterpret_cast<uintptr_t>(handle);
  quenvar::platform::MutexLock lock(&live_mutex_);
  // The slab that would hold it, then a slot boundary of that slab, then a slot in use.
  auto slab = slabs_.upper_bound(address);
  if (slab == slabs_.begin()) return nullptr;
  --slab;
  const uintptr_t offset = address - slab->first;
  if (offset >= slab->second * sizeof(DatadiskEntry) || offset % sizeof(DatadiskEntry) != 0)
    return nullptr;
  auto* entry = static_cast<DatadiskEntry*>(handle);
  return entry->live ? entry : nullptr;
}

std::shared_ptr<Datadisk> Datadisk::OwnerOfEntry(HANDLE handle, DatadiskEntry** entry) {
  return Discs().OwnerOf(handle, entry);
}

size_t Datadisk::entry_count() const {
  quenvar::platform::MutexLock lock(&live_mutex_);
  return live_count_;
}

DatadiskEntry* Datadisk::NewEntry() {
  try {
    quenvar::platform::MutexLock lock(&live_mutex_);
    if (free_slots_.empty() && next_slot_ == slab_end_) {
      // Slabs grow with the tree: a small disc stays small, a large one takes few slabs.
      const size_t count =
          slabs_.empty() ? 64 : std::min<size_t>(slabs_.rbegin()->second * 2, 8192);
      void* memory = heap_.allocate(count * sizeof(DatadiskEntry), alignof(DatadiskEntry));
      next_slot_ = static_cast<DatadiskEntry*>(memory);
      slab_end_ = next_slot_ + count;
      try {
        slabs_.emplace(reinterpret_cast<uintptr_t>(memory), count);
      } catch (...) {
        heap_.deallocate(memory, count * sizeof(DatadiskEntry), alignof(DatadiskEntry));
        next_slot_ = slab_end_ = nullptr;
        throw;
      }
    }
    DatadiskEntry* slot;
    if (!free_slots_.empty()) {
      slot = free_slots_.back();
      free_slots_.pop_back();
    } else {
      slot = next_slot_++;
    }
    DatadiskEntry* entry = new (slot) DatadiskEntry();
    entry->live = true;
    ++live_count_;
    return entry;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void Datadisk::FreeEntry(DatadiskEntry* entry) {
  if (!entry) return;
  if (boot_image && boot_image->entry == entry) FreeBootImage();
  if (entry->children_index) {
    std::pmr::polymorphic_allocator<FolderIndex>(&heap_).delete_object(entry->children_index);
  }
  if (entry->source_units)
    heap_.deallocate(const_cast<char16_t*>(entry->source_units),
                     entry->source_length * sizeof(char16_t), alignof(char16_t));
  quenvar::platform::MutexLock lock(&live_mutex_);
  // Not destroyed: the slot keeps the flag that tells a stale handle from a live one (entries
  // own nothing, so there is nothing to release).
  static_assert(std::is_trivially_destructible_v<DatadiskEntry>);
  entry->live = false;
  --live_count_;
  try {
    free_slots_.push_back(entry);
  } catch (const std::bad_alloc&) {
    // The slot is lost until the disc goes; it stays marked as not in use.
  }
}

namespace {

const char16_t* CopyIntoHeap(std::pmr::memory_resource* heap, std::u16string_view text) {
  if (text.empty()) return nullptr;
  auto* units =
      static_cast<char16_t*>(heap->allocate(text.size() * sizeof(char16_t), alignof(char16_t)));
  std::copy(text.begin(), text.end(), units);
  return units;
}

}  // namespace

void Datadisk::SetEntryName(DatadiskEntry* entry, std::u16string_view name) {
  name = name.substr(0, MAX_PATH - 1);
  entry->name_units = CopyIntoHeap(&heap_, name);
  entry->name_length = static_cast<uint16_t>(name.size());
}

void Datadisk::SetSourcePath(DatadiskEntry* entry, std::u16string_view source) {
  const char16_t* units = CopyIntoHeap(&heap_, source);
  if (entry->source_units) {
    heap_.deallocate(const_cast<char16_t*>(entry->source_units),
                     entry->source_length * sizeof(char16_t), alignof(char16_t));
  }
  entry->source_units = units;
  entry->source_length = static_cast<uint32_t>(source.size());
  entry->source_from_parent = false;
}

void Datadisk::KeepSourcePath(DatadiskEntry* entry) {
  if (entry->source_from_parent) SetSourcePath(entry, entry->SourcePath());
}

void Datadisk::SetErrorPaths(std::u16string_view file_name, std::u16string_view target_path) {
  quenvar::platform::CopyUtf16(file_name, error_file_name, kMaxPathBuffer);
  quenvar::platform::CopyUtf16(target_path, error_target_path, kMaxPathBuffer);
}

void Datadisk::FreeBootImage() {
  if (!boot_image) return;
  std::pmr::polymorphic_allocator<BootImage>(&heap_).delete_object(boot_image);
  boot_image = nullptr;
}

void Datadisk::FreeEfiImage() {
  if (!efi_image) return;
  std::pmr::polymorphic_allocator<BootImage>(&heap_).delete_object(efi_image);
  efi_image = nullptr;
}

void Datadisk::FreeKeptBiosImage() {
  if (!kept_bios_image) return;
  std::pmr::polymorphic_allocator<BootImage>(&heap_).delete_object(kept_bios_image);
  kept_bios_image = nullptr;
}

DatadiskEntry* FindChild(const Datadisk& disc, const DatadiskEntry* folder,
                         std::u16string_view name) {
  const FolderIndex* index = TreeAccess::index(disc, folder);
  if (!index || name.empty()) return nullptr;
  DatadiskEntry* match = nullptr;
  index->ForHash(NameHash(name), [&](DatadiskEntry* candidate) {
    // Names are unique per folder, so there is at most one match; should there be more, the
    // first in sibling order wins.
    if (NamesEqualIgnoringAsciiCase(candidate->name(), name) &&
        (!match || SortLess()(candidate, match))) {
      match = candidate;
    }
    return true;
  });
  return match;
}

uint32_t InsertEntry(Datadisk& disc, DatadiskEntry* entry, DatadiskEntry* folder) {
  try {
    entry->parent = folder;
    FolderIndex*& index = TreeAccess::index(disc, folder);

    std::u16string name(entry->name());
    if (NormaliseName(&name)) {
      // Only hashes decide here: a changed name takes the first counter whose hash no sibling has.
      std::u16string normalised = name;
      uint32_t hash = NameHash(name);
      for (uint32_t counter = 0; index && index->HasHash(hash); ++counter) {
        name = CounterName(normalised, counter);
        hash = NameHash(name);
      }
    }
    if (name != entry->name()) disc.SetEntryName(entry, name);
    entry->name_hash = NameHash(entry->name());

    if (IsDotName(name) || entry->DiscPathLength() > kMaxDiscPath) {
      disc.SetErrorPaths(entry->name(), entry->DiscPath());
      entry->parent = nullptr;
      return IsDotName(name) ? QD_E_BAD_CHARACTER : QD_E_PATH_TOO_LONG;
    }

    if (!index) {
      index = std::pmr::polymorphic_allocator<FolderIndex>(disc.heap())
                  .new_object<FolderIndex>(disc.heap());
    }
    DatadiskEntry* before = index->AddOrdered(entry);
    try {
      index->AddHashed(entry);
    } catch (...) {
      index->RemoveOrdered(entry);
      throw;
    }
    DatadiskEntry*& first = TreeAccess::first(disc, folder);
    entry->prev = before;
    entry->next = before ? before->next : first;
    if (entry->next) entry->next->prev = entry;
    (before ? before->next : first) = entry;
    return QD_OK;
  } catch (const std::bad_alloc&) {
    entry->parent = nullptr;
    return QD_E_OUT_OF_MEMORY;
  }
}

void UnlinkEntry(Datadisk& disc, DatadiskEntry* entry) {
  DatadiskEntry* folder = entry->parent;
  FolderIndex* index = TreeAccess::index(disc, folder);
  if (index) {
    index->RemoveOrdered(entry);
    index->RemoveHashed(entry);
  }
  DatadiskEntry*& first = TreeAccess::first(disc, folder);
  if (entry->prev) {
    entry->prev->next = entry->next;
  } else if (first == entry) {
    first = entry->next;
  }
  if (entry->next) entry->next->prev = entry->prev;
  entry->next = nullptr;
  entry->prev = nullptr;
}

void DeleteEntry(Datadisk& disc, DatadiskEntry* entry) {
  UnlinkEntry(disc, entry);
  // Children before their folder; the subtree is detached, so no sibling links need mending.
  std::vector<DatadiskEntry*> stack{entry};
  std::vector<DatadiskEntry*> order;
  while (!stack.empty()) {
    DatadiskEntry* current = stack.back();
    stack.pop_back();
    order.push_back(current);
    for (DatadiskEntry* child = current->first_child; child; child = child->next)
      stack.push_back(child);
  }
  for (auto it = order.rbegin(); it != order.rend(); ++it) disc.FreeEntry(*it);
}

uint32_t CreateFolderEntry(Datadisk& disc, DatadiskEntry* parent, std::u16string_view name,
                           DatadiskEntry** created) {
  if (name.empty()) return QD_E_INVALID_ARGUMENT;
  if (HasBadCharacter(name)) return QD_E_BAD_CHARACTER;
  if (FindChild(disc, parent, name)) return QD_E_EXISTS;
  DatadiskEntry* entry = disc.NewEntry();
  if (!entry) return QD_E_OUT_OF_MEMORY;
  FILETIME now = CurrentFileTime();
  entry->file_attributes = FILE_ATTRIBUTE_DIRECTORY;
  entry->creation_time = now;
  entry->last_access_time = now;
  entry->last_write_time = now;
  uint32_t result = QD_OK;
  try {
    disc.SetEntryName(entry, name);
  } catch (const std::bad_alloc&) {
    result = QD_E_OUT_OF_MEMORY;
  }
  if (result == QD_OK) result = InsertEntry(disc, entry, parent);
  if (result != QD_OK) {
    disc.FreeEntry(entry);
    return result;
  }
  *created = entry;
  return QD_OK;
}

uint32_t FindOrCreateFolderPath(Datadisk& disc, std::u16string_view path, DatadiskEntry** folder) {
  DatadiskEntry* current = nullptr;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find(u'\\', start);
    if (slash == std::u16string_view::npos) slash = path.size();
    std::u16string component(path.substr(start, slash - start));
    start = slash + 1;
    if (component.empty()) continue;
    // Look the component up as it would be stored, so that a folder whose name was shortened or
    // mended when it was made is found again instead of being made twice.
    NormaliseName(&component);
    DatadiskEntry* found = FindChild(disc, current, component);
    if (found) {
      if (!found->is_folder()) return QD_E_EXISTS;
      current = found;
      continue;
    }
    DatadiskEntry* created = nullptr;
    uint32_t result = CreateFolderEntry(disc, current, component, &created);
    if (result != QD_OK) return result;
    current = created;
  }
  *folder = current;
  return QD_OK;
}

uint32_t BuildLevelOrder(Datadisk& disc, std::vector<DatadiskEntry*>* list) {
  try {
    list->clear();
    for (DatadiskEntry* e = disc.first_root(); e; e = e->next) {
      e->level = 2;
      list->push_back(e);
    }
    for (size_t i = 0; i < list->size(); ++i) {
      DatadiskEntry* folder = (*list)[i];
      if (!folder->first_child) continue;
      if (folder->level >= 65534) return QD_E_NOT_FOUND;
      for (DatadiskEntry* e = folder->first_child; e; e = e->next) {
        e->level = static_cast<uint16_t>(folder->level + 1);
        list->push_back(e);
      }
      if (list->size() >= 0xFFFFFFFFu) return QD_E_NOT_FOUND;
    }
    return QD_OK;
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}

std::u16string JoinDiscPath(const DatadiskEntry* folder, std::u16string_view name) {
  std::u16string path;
  if (folder) {
    path = folder->DiscPath();
    path.push_back(u'\\');
  }
  path.append(name);
  return path;
}

size_t LongestDiscPath(const DatadiskEntry* entry) {
  // Lengths grow down the tree: each entry's is its parent's, a separator and its name.
  size_t own = entry->DiscPathLength();
  size_t longest = own;
  std::vector<std::pair<const DatadiskEntry*, size_t>> stack;  // an entry and its parent's length
  if (entry->first_child) stack.emplace_back(entry->first_child, own);
  while (!stack.empty()) {
    auto [e, parent_length] = stack.back();
    stack.pop_back();
    size_t length = parent_length + 1 + e->name_length;
    longest = std::max(longest, length);
    if (e->next) stack.emplace_back(e->next, parent_length);
    if (e->first_child) stack.emplace_back(e->first_child, length);
  }
  return longest;
}

FILETIME CurrentFileTime() {
  uint64_t now = DatadiskEnv()->Now();
  FILETIME time;
  time.dwLowDateTime = static_cast<uint32_t>(now);
  time.dwHighDateTime = static_cast<uint32_t>(now >> 32);
  return time;
}

}  // namespace quillden
