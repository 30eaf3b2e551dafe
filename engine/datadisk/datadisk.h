// The data disc: the object behind a Datadisk handle and its tree of entries.
//
// A Datadisk owns a private heap (a memory resource of its own); every entry, every string of an
// entry and every buffer that belongs to the disc (boot image data, write job buffers) comes from
// it, and destroying the disc releases the heap at once. Entries form a tree: each folder keeps its
// children as a singly linked list in ascending name order (first_child / next), and an index per
// folder (by name hash and by sort key) keeps lookups and insertions fast for large folders.
//
// Ownership of the fields:
// - The tree code (engine/datadisk) owns the links (next, first_child, parent, the internal prev
//   and child index), the name, source path, name hash, attributes, times and size. Change them
//   only through InsertEntry, UnlinkEntry, DeleteEntry and the MST_ tree functions. Nothing that
//   can be derived is stored: the disc path comes from the parent chain, and so does the source
//   path of an entry added with its folder; the find record is made when asked for.
// - The mastering code (settings, size, write job, file systems, boot image, import) owns level,
//   directory_number, location, second_location, length, second_length, short_name_hash,
//   short_name and layout_index; and on the Datadisk the
//   settings (file_system, data_mode, file_version_flag, volume_label), boot_image, imported_drive
//   and next_session_start. It may add fields to the scratch section.
//
// Thread-safety: a disc is used by one thread at a time (the caller, or one worker it started).
// Only the handle registries (discs, and the live entries of a disc) are safe to query from any
// thread.
#ifndef QUILLDEN_DATADISK_DATADISK_H_
#define QUILLDEN_DATADISK_DATADISK_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mutex.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/types.h"

namespace quillden {

using HeapU16String = std::pmr::u16string;
using HeapString = std::pmr::string;

inline constexpr size_t kMaxEntryName = 108;   // characters of an entry name
inline constexpr size_t kMaxDiscPath = 256;    // characters of a disc path
inline constexpr size_t kMaxPathBuffer = 260;  // units of the error file name / target path

class FolderIndex;  // the per-folder child index (datadisk.cc)
class Datadisk;

struct DatadiskEntry {
  // --- tree links (owned by the tree code) ---
  DatadiskEntry* next = nullptr;          // next sibling, ascending name order
  DatadiskEntry* first_child = nullptr;   // first entry of this folder
  DatadiskEntry* parent = nullptr;        // null for entries of the root folder
  DatadiskEntry* prev = nullptr;          // previous sibling (internal)
  FolderIndex* children_index = nullptr;  // index of the children (internal; folders only)

  // --- names (owned by the tree code; set through Datadisk::SetEntryName / SetSourcePath) ---
  // The name is stored once, in the disc's heap; the disc path is made from the parent chain.
  // The source path is stored only when it is not the parent's source path, "/" and the name (an
  // entry of a folder added whole keeps none of its own).
  const char16_t* name_units = nullptr;
  const char16_t* source_units = nullptr;
  uint32_t source_length = 0;
  uint16_t name_length = 0;
  bool source_from_parent = false;
  uint32_t name_hash = 0;  // CRC-32 of the upper-cased name (NameHash)

  // --- what the find record reports (owned by the tree code) ---
  uint32_t file_attributes = 0;
  FILETIME creation_time{};
  FILETIME last_access_time{};
  FILETIME last_write_time{};
  uint64_t size = 0;  // files: bytes of the source

  // --- layout (owned by the mastering code) ---
  uint16_t level = 0;             // 2 for root entries, parent's level + 1 below
  uint16_t directory_number = 0;  // folder's number in the ISO 9660 / Joliet path table
  uint32_t location = 0;          // files: first block; folders: ISO 9660 directory block
  uint32_t second_location = 0;   // folders: Joliet directory block; files: second piece
  uint64_t length = 0;            // files: content bytes; folders: ISO 9660 directory bytes
  uint64_t second_length = 0;     // folders: Joliet directory bytes; files: second piece bytes
  uint32_t short_name_hash = 0;   // CRC-32 of the ISO 9660 name
  uint32_t layout_index = 0;      // scratch: the entry's place in the layout's level order
  char16_t short_name[14] = {};   // the ISO 9660 name (cAlternateFileName of the find record)
  bool live = false;              // a slot of the disc in use (the disc's handle check)

  std::u16string_view name() const { return std::u16string_view(name_units, name_length); }
  bool is_folder() const { return (file_attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
  uint32_t attributes() const { return file_attributes; }
  // Boot image or imported entry: never opened, read, counted or given new blocks.
  bool is_engine_entry() const {
    return (file_attributes & (DDF_ATTR_BOOT_IMAGE | DDF_ATTR_IMPORTED)) != 0;
  }
  uint64_t file_size() const { return size; }
  void set_file_size(uint64_t bytes) { size = bytes; }

  // "a\b\name": the names from the root down; no leading separator.
  std::u16string DiscPath() const;
  size_t DiscPathLength() const;
  // The local path (POSIX, UTF-16); empty for created, imported and boot image entries.
  std::u16string SourcePath() const;
  // The whole find record, made when asked: attributes, times, size, the name and the ISO name.
  WIN32_FIND_DATAW FindData() const;
};

// An El Torito boot image held by a disc: the BIOS image (at most one) or the EFI image (at most
// one). An image kept from an earlier session has no data: its blocks are already on the disc.
struct BootImage {
  explicit BootImage(std::pmr::memory_resource* heap) : data(heap) {}
  std::pmr::vector<uint8_t> data;  // the image, from the disc's heap; empty for a kept image
  uint32_t size = 0;               // bytes
  uint32_t kept_block = 0;         // absolute first block of a kept image; 0 for one in memory
  uint8_t emulation = 0;           // 0 none, 1 1.2 MB, 2 1.44 MB, 3 2.88 MB floppy, 4 hard disk
  uint16_t load_segment = 0;
  uint16_t sector_count = 0;
  DatadiskEntry* entry = nullptr;  // the entry carrying DDF_ATTR_BOOT_IMAGE, or null
};

class Datadisk {
 public:
  Datadisk();
  ~Datadisk();
  Datadisk(const Datadisk&) = delete;
  Datadisk& operator=(const Datadisk&) = delete;

  // --- handles ---
  // Registers a new disc and returns its handle; null when memory runs out.
  static HANDLE Create();
  // The live disc behind a handle; null for null, INVALID_HANDLE_VALUE and unknown handles.
  static std::shared_ptr<Datadisk> FromHandle(HANDLE handle);
  // Removes the handle from the registry; returns the disc (null when it was not live).
  static std::shared_ptr<Datadisk> Release(HANDLE handle);
  HANDLE handle() { return this; }
  // The live entry behind a handle, when it belongs to this disc; else null.
  DatadiskEntry* EntryFromHandle(HANDLE handle) const;
  // The disc that owns a live entry handle (for the exports that take no disc).
  static std::shared_ptr<Datadisk> OwnerOfEntry(HANDLE handle, DatadiskEntry** entry);

  // --- the heap ---
  std::pmr::memory_resource* heap() { return &heap_; }

  // --- the tree ---
  DatadiskEntry* first_root() const { return first_root_; }
  // First child of a folder; the root's first entry for null.
  DatadiskEntry* FirstChild(const DatadiskEntry* folder) const {
    return folder ? folder->first_child : first_root_;
  }
  // Makes an unlinked entry (no name, zeroed fields) from the heap; null when memory runs out.
  DatadiskEntry* NewEntry();
  // Gives an entry its name (at most MAX_PATH - 1 units are kept), stored in the heap. The old
  // name stays in the heap until the disc goes: a layout may still look at it. Throws bad_alloc.
  void SetEntryName(DatadiskEntry* entry, std::u16string_view name);
  // Stores an entry's own source path (empty: none). Throws bad_alloc.
  void SetSourcePath(DatadiskEntry* entry, std::u16string_view source);
  // Before an entry's name or folder changes: an entry whose source path came from its parent
  // chain stores it, so that the change leaves its source (and its descendants') as it was.
  void KeepSourcePath(DatadiskEntry* entry);
  // Frees an entry that is not linked into the tree (and has no children).
  void FreeEntry(DatadiskEntry* entry);
  size_t entry_count() const;

  // --- settings (owned by the mastering code) ---
  char16_t volume_label[33] = {};
  int32_t file_version_flag = 1;
  uint32_t file_system = 7;  // internal bits: 1 ISO 9660, 2 Joliet, 4 UDF 1.02, 8 UDF 2.50
  uint32_t data_mode = 1;
  BootImage* boot_image = nullptr;  // from the heap; freed with FreeBootImage
  // The EFI system partition image of the catalog's EFI entry (no emulation, never an entry of the
  // tree); from the heap, freed with FreeEfiImage.
  BootImage* efi_image = nullptr;
  // The BIOS entry of an imported session, written again into the catalog of the appended session
  // unless a boot image is set; not a boot image of the caller's (MST_IsBootImage ignores it).
  BootImage* kept_bios_image = nullptr;
  HANDLE imported_drive = nullptr;
  uint32_t next_session_start = 0;

  // --- errors ---
  std::atomic<uint32_t> last_error{0};
  char16_t error_file_name[kMaxPathBuffer] = {};
  char16_t error_target_path[kMaxPathBuffer] = {};
  // Stores code as the last error and returns it.
  uint32_t Fail(uint32_t code) {
    last_error.store(code);
    return code;
  }
  void SetErrorPaths(std::u16string_view file_name, std::u16string_view target_path);

  // Frees the boot image record and its data (not its entry).
  void FreeBootImage();
  void FreeEfiImage();
  void FreeKeptBiosImage();
  // The BIOS image the catalog names: the boot image, else the one kept from an imported session.
  const BootImage* catalog_bios_image() const { return boot_image ? boot_image : kept_bios_image; }
  bool has_catalog() const { return catalog_bios_image() || efi_image; }

 private:
  friend struct TreeAccess;
  std::pmr::unsynchronized_pool_resource heap_;
  DatadiskEntry* first_root_ = nullptr;
  FolderIndex* root_index_ = nullptr;
  // Entries live in slabs of the heap, so that a handle is checked without an index of its own:
  // it must be a slot of a slab, and the slot must be in use. live_mutex_ guards the slabs, the
  // free slots and every entry's live flag (handles are checked from any thread).
  mutable quenvar::platform::Mutex live_mutex_;
  std::map<uintptr_t, size_t> slabs_ GUARDED_BY(live_mutex_);  // first address, slots
  std::vector<DatadiskEntry*> free_slots_ GUARDED_BY(live_mutex_);
  // Unused slots of the newest slab, up to slab_end_.
  DatadiskEntry* next_slot_ GUARDED_BY(live_mutex_) = nullptr;
  DatadiskEntry* slab_end_ GUARDED_BY(live_mutex_) = nullptr;
  size_t live_count_ GUARDED_BY(live_mutex_) = 0;
};

// ---- Names ----

// CRC-32 (IEEE 802.3, reflected, 0xEDB88320) of the UTF-16LE bytes of name with a..z upper-cased.
uint32_t NameHash(std::u16string_view name);
// True when name holds one of \ / : * ? " < > |.
bool HasBadCharacter(std::u16string_view name);
// Lookup equality: a..z and A..Z equal regardless of case, every other unit by value.
using quenvar::platform::NamesEqualIgnoringAsciiCase;
// Sibling order: when both first units are below 128, ASCII-folded comparison; else unit by unit.
// Negative, zero or positive.
int CompareSortNames(std::u16string_view a, std::u16string_view b);
// The text after the last "\" (the whole text without one).
std::u16string_view LastDiscComponent(std::u16string_view disc_path);

// ---- Tree operations (internal; the MST_ exports are built on them) ----

// The entry of that name in folder (null = root), or null. Never records an error.
DatadiskEntry* FindChild(const Datadisk& disc, const DatadiskEntry* folder,
                         std::u16string_view name);

// Inserts an unlinked entry that has its name (SetEntryName) into folder (null = root):
// shortens a name of 109 characters or more, mends ";", resolves hash collisions of a changed name
// with a counter, checks the disc path's length and links the entry at its sorted place. Returns 0,
// or 0x08000046 when the disc path would exceed 256 characters (error paths filled, entry not
// linked), or 0x08000018. Does not test for duplicates: callers do that first.
uint32_t InsertEntry(Datadisk& disc, DatadiskEntry* entry, DatadiskEntry* folder);

// Removes an entry from its folder's list and index (its subtree stays attached to it).
void UnlinkEntry(Datadisk& disc, DatadiskEntry* entry);

// Unlinks and frees an entry and its whole subtree (children first). Deleting the boot image entry
// frees the boot image too.
void DeleteEntry(Datadisk& disc, DatadiskEntry* entry);

// Finds the folder named by a disc path (components separated by "\", empty ones skipped), creating
// missing folders on the way. *folder receives the last folder (null for an empty path = root).
// Returns 0; 0x08000021 when a component is a file; 0x08000044, 0x08000046, 0x08000018 from
// creating a folder. Folders created before a failure stay.
uint32_t FindOrCreateFolderPath(Datadisk& disc, std::u16string_view path, DatadiskEntry** folder);

// Makes a new folder entry named name in parent (null = root), with the current time. Checks an
// empty name (0x08000011), an existing name (0x08000021), bad characters (0x08000044); then inserts
// (0x08000046, 0x08000018). Records nothing as the last error; the caller does.
uint32_t CreateFolderEntry(Datadisk& disc, DatadiskEntry* parent, std::u16string_view name,
                           DatadiskEntry** created);

// Every entry of the tree in level order (all root entries in tree order, then all entries of
// level 3, ...), assigning each entry's level. Returns 0, 0x08000015 when a level would reach
// 65535 or the count 0xFFFFFFFF, or 0x08000018.
uint32_t BuildLevelOrder(Datadisk& disc, std::vector<DatadiskEntry*>* list);

// Calls visit for every entry of the subtree of folder (null = the whole tree), parents before
// children, in tree order. Stops when visit returns false. Entries must not be deleted meanwhile.
template <typename Visit>
bool WalkTree(const Datadisk& disc, const DatadiskEntry* folder, Visit&& visit) {
  std::vector<const DatadiskEntry*> stack;
  if (const DatadiskEntry* first = disc.FirstChild(folder)) stack.push_back(first);
  while (!stack.empty()) {
    const DatadiskEntry* entry = stack.back();
    stack.pop_back();
    if (entry->next) stack.push_back(entry->next);
    if (!visit(const_cast<DatadiskEntry*>(entry))) return false;
    if (entry->first_child) stack.push_back(entry->first_child);
  }
  return true;
}

// Longest disc path in the subtree of a folder with children; the entry's own disc path length
// otherwise.
size_t LongestDiscPath(const DatadiskEntry* entry);

// The disc path name would have in folder (null: the root), for messages about entries not made.
std::u16string JoinDiscPath(const DatadiskEntry* folder, std::u16string_view name);

// Current time as a FILETIME, from the platform clock.
FILETIME CurrentFileTime();

}  // namespace quillden

#endif  // QUILLDEN_DATADISK_DATADISK_H_
