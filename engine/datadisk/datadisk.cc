#include "datadisk/datadisk.h"

#include <algorithm>
#include <ctime>
#include <new>
#include <set>
#include <unordered_map>

#include "datadisk/datadisk_env.h"
#include "datadisk/names.h"
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

// The children of one folder indexed twice: by name hash (lookups and the collision walk of the
// insertion) and by sort key (the insertion point). The linked list stays the order callers walk.
struct FolderIndex {
  explicit FolderIndex(std::pmr::memory_resource* heap) : by_hash(heap), by_order(heap) {}
  std::pmr::unordered_multimap<uint32_t, DatadiskEntry*> by_hash;
  std::pmr::multiset<DatadiskEntry*, SortLess> by_order;
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
  static void AddLive(Datadisk& disc, const void* entry) {
    std::lock_guard lock(disc.live_mutex_);
    disc.live_.insert(entry);
  }
  static void RemoveLive(Datadisk& disc, const void* entry) {
    std::lock_guard lock(disc.live_mutex_);
    disc.live_.erase(entry);
  }
};

namespace {

class DiscRegistry {
 public:
  HANDLE Add(std::shared_ptr<Datadisk> disc) {
    HANDLE handle = disc->handle();
    std::lock_guard lock(mutex_);
    discs_.emplace(handle, std::move(disc));
    return handle;
  }
  std::shared_ptr<Datadisk> Find(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    std::lock_guard lock(mutex_);
    auto it = discs_.find(handle);
    return it == discs_.end() ? nullptr : it->second;
  }
  std::shared_ptr<Datadisk> Remove(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    std::lock_guard lock(mutex_);
    auto it = discs_.find(handle);
    if (it == discs_.end()) return nullptr;
    std::shared_ptr<Datadisk> disc = std::move(it->second);
    discs_.erase(it);
    return disc;
  }
  std::shared_ptr<Datadisk> OwnerOf(HANDLE handle, DatadiskEntry** entry) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    std::lock_guard lock(mutex_);
    for (auto& [key, disc] : discs_) {
      if (DatadiskEntry* found = disc->EntryFromHandle(handle)) {
        *entry = found;
        return disc;
      }
    }
    return nullptr;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<HANDLE, std::shared_ptr<Datadisk>> discs_;
};

// Leaked on purpose: a worker may still hold a disc during static destruction at exit.
DiscRegistry& Discs() {
  static auto* registry = new DiscRegistry();
  return *registry;
}

void FormatLabel(char16_t* label) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[40];
  std::snprintf(text, sizeof(text), "%04u%02u%02u_%02u%02u%02u", unsigned(local.tm_year + 1900),
                unsigned(local.tm_mon + 1), unsigned(local.tm_mday), unsigned(local.tm_hour),
                unsigned(local.tm_min), unsigned(local.tm_sec));
  size_t i = 0;
  for (; text[i] && i < 32; ++i) label[i] = static_cast<char16_t>(text[i]);
  label[i] = 0;
}

void SetName(DatadiskEntry* entry, std::u16string_view name) {
  size_t n = std::min(name.size(), size_t{MAX_PATH - 1});
  std::copy_n(name.data(), n, entry->find_data.cFileName);
  entry->find_data.cFileName[n] = 0;
}

void BuildDiscPath(DatadiskEntry* entry) {
  entry->disc_path.clear();
  if (entry->parent) {
    entry->disc_path.append(entry->parent->disc_path);
    entry->disc_path.push_back(u'\\');
  }
  entry->disc_path.append(entry->name());
}

}  // namespace

std::u16string_view DatadiskEntry::name() const {
  return std::u16string_view(find_data.cFileName, quenvar::platform::Utf16Length(find_data.cFileName, MAX_PATH));
}

Datadisk::Datadisk() { FormatLabel(volume_label); }

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

std::shared_ptr<Datadisk> Datadisk::FromHandle(HANDLE handle) { return Discs().Find(handle); }
std::shared_ptr<Datadisk> Datadisk::Release(HANDLE handle) { return Discs().Remove(handle); }

DatadiskEntry* Datadisk::EntryFromHandle(HANDLE handle) const {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  std::lock_guard lock(live_mutex_);
  return live_.count(handle) ? static_cast<DatadiskEntry*>(handle) : nullptr;
}

std::shared_ptr<Datadisk> Datadisk::OwnerOfEntry(HANDLE handle, DatadiskEntry** entry) {
  return Discs().OwnerOf(handle, entry);
}

size_t Datadisk::entry_count() const {
  std::lock_guard lock(live_mutex_);
  return live_.size();
}

DatadiskEntry* Datadisk::NewEntry() {
  try {
    std::pmr::polymorphic_allocator<DatadiskEntry> alloc(&heap_);
    DatadiskEntry* entry = alloc.new_object<DatadiskEntry>(&heap_);
    try {
      TreeAccess::AddLive(*this, entry);
    } catch (...) {
      alloc.delete_object(entry);
      throw;
    }
    return entry;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void Datadisk::FreeEntry(DatadiskEntry* entry) {
  if (!entry) return;
  TreeAccess::RemoveLive(*this, entry);
  if (boot_image && boot_image->entry == entry) FreeBootImage();
  std::pmr::polymorphic_allocator<DatadiskEntry> alloc(&heap_);
  if (entry->children_index) {
    std::pmr::polymorphic_allocator<FolderIndex>(&heap_).delete_object(entry->children_index);
  }
  alloc.delete_object(entry);
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

DatadiskEntry* FindChild(const Datadisk& disc, const DatadiskEntry* folder, std::u16string_view name) {
  const FolderIndex* index = TreeAccess::index(disc, folder);
  if (!index || name.empty()) return nullptr;
  auto [begin, end] = index->by_hash.equal_range(NameHash(name));
  DatadiskEntry* match = nullptr;
  for (auto it = begin; it != end; ++it) {
    DatadiskEntry* candidate = it->second;
    if (!NamesEqualIgnoringAsciiCase(candidate->name(), name)) continue;
    // Names are unique per folder, so there is at most one match; should there be more, the
    // first in sibling order wins.
    if (!match || SortLess()(candidate, match)) match = candidate;
  }
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
      for (uint32_t counter = 0; index && index->by_hash.count(hash) != 0; ++counter) {
        name = CounterName(normalised, counter);
        hash = NameHash(name);
      }
    }
    SetName(entry, name);
    entry->name_hash = NameHash(name);

    BuildDiscPath(entry);
    if (IsDotName(name)) {
      disc.SetErrorPaths(entry->name(), entry->disc_path);
      entry->parent = nullptr;
      return QD_E_BAD_CHARACTER;
    }
    if (entry->disc_path.size() > kMaxDiscPath) {
      disc.SetErrorPaths(entry->name(), entry->disc_path);
      entry->parent = nullptr;
      return QD_E_PATH_TOO_LONG;
    }

    if (!index) {
      index = std::pmr::polymorphic_allocator<FolderIndex>(disc.heap()).new_object<FolderIndex>(disc.heap());
    }
    auto order_it = index->by_order.insert(index->by_order.upper_bound(entry), entry);
    try {
      index->by_hash.emplace(entry->name_hash, entry);
    } catch (...) {
      index->by_order.erase(order_it);
      throw;
    }
    DatadiskEntry* before = order_it == index->by_order.begin() ? nullptr : *std::prev(order_it);
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
    auto [begin, end] = index->by_order.equal_range(entry);
    for (auto it = begin; it != end; ++it) {
      if (*it == entry) {
        index->by_order.erase(it);
        break;
      }
    }
    auto [hbegin, hend] = index->by_hash.equal_range(entry->name_hash);
    for (auto it = hbegin; it != hend; ++it) {
      if (it->second == entry) {
        index->by_hash.erase(it);
        break;
      }
    }
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
    for (DatadiskEntry* child = current->first_child; child; child = child->next) stack.push_back(child);
  }
  for (auto it = order.rbegin(); it != order.rend(); ++it) disc.FreeEntry(*it);
}

void RebuildSubtreePaths(DatadiskEntry* folder) {
  std::vector<DatadiskEntry*> stack;
  if (folder->first_child) stack.push_back(folder->first_child);
  while (!stack.empty()) {
    DatadiskEntry* entry = stack.back();
    stack.pop_back();
    BuildDiscPath(entry);
    if (entry->next) stack.push_back(entry->next);
    if (entry->first_child) stack.push_back(entry->first_child);
  }
}

uint32_t CreateFolderEntry(Datadisk& disc, DatadiskEntry* parent, std::u16string_view name,
                           DatadiskEntry** created) {
  if (name.empty()) return QD_E_INVALID_ARGUMENT;
  if (HasBadCharacter(name)) return QD_E_BAD_CHARACTER;
  if (FindChild(disc, parent, name)) return QD_E_EXISTS;
  DatadiskEntry* entry = disc.NewEntry();
  if (!entry) return QD_E_OUT_OF_MEMORY;
  FILETIME now = CurrentFileTime();
  entry->find_data.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
  entry->find_data.ftCreationTime = now;
  entry->find_data.ftLastAccessTime = now;
  entry->find_data.ftLastWriteTime = now;
  SetName(entry, name.substr(0, MAX_PATH - 1));
  uint32_t result = InsertEntry(disc, entry, parent);
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

size_t LongestDiscPath(const DatadiskEntry* entry) {
  size_t longest = entry->disc_path.size();
  std::vector<const DatadiskEntry*> stack;
  if (entry->first_child) stack.push_back(entry->first_child);
  while (!stack.empty()) {
    const DatadiskEntry* e = stack.back();
    stack.pop_back();
    longest = std::max(longest, e->disc_path.size());
    if (e->next) stack.push_back(e->next);
    if (e->first_child) stack.push_back(e->first_child);
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
