// The DRV_ volume exports: files of a disc read back through the engine's own reader.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "drive/drive_command.h"
#include "drive/drive_handle.h"
#include "drive/mmc_commands.h"
#include "drive/mmc_vocabulary.h"
#include "filesystems/reader/block_source.h"
#include "filesystems/reader/disc_reader.h"
#include "filesystems/reader/folder_walk.h"
#include "filesystems/reader/volume_open.h"
#include "platform/mutex.h"
#include "platform/unicode.h"
#include "quillden/drive.h"
#include "quillden/export.h"
#include "quillden/result.h"
#include "quillden/volume.h"

namespace quillden::reader {
namespace {

class Volume {
 public:
  Volume(HANDLE drive, char letter)
      : drive_(drive), letter_(letter), source_(drive), reader_(&source_), walk_(&source_) {}
  ~Volume() { drive::CloseDriveHandle(drive_); }

  uint32_t Open() {
    if (NoMedium()) return QD_E_NOT_READY;
    uint32_t start = 0;
    if (FindLastSessionStart(drive_, &start) != QD_OK) return QD_E_UNKNOWN_FILE_SYSTEM;
    uint32_t result = reader_.Recognize(start);
    if (result != QD_OK) return result;
    view_ = reader_.PreferredView();
    result = reader_.Root(view_, &root_);
    // A UDF volume whose structures fail still has its ISO 9660 side on a bridge disc.
    if (result != QD_OK && view_ == View::kUdf) {
      for (View other : {View::kJoliet, View::kIso9660}) {
        if (!reader_.has(other)) continue;
        view_ = other;
        result = reader_.Root(view_, &root_);
        if (result == QD_OK) break;
      }
    }
    return result == QD_OK ? QD_OK : QD_E_UNKNOWN_FILE_SYSTEM;
  }

  // Every export call may read its own allowance of blocks; the folders the caller's walk has
  // entered stay entered for the volume's life, so that walk ends on any disc.
  void BeginCall() { walk_.RenewReadAllowance(); }

  // Looks path up; *item gets the file or folder and *exact_path its path spelled as on the disc.
  uint32_t Lookup(const char16_t* path, DiscItem* item, std::u16string* exact_path = nullptr) {
    std::vector<std::u16string> parts;
    uint32_t result = Split(path, &parts);
    if (result != QD_OK) return result;
    if (parts.size() > kMaxFolderDepth + 1) return QD_E_NOT_FOUND;
    const DiscItem* current = &root_;
    std::u16string folder_path;
    for (const std::u16string& part : parts) {
      if (!current->folder) return QD_E_NOT_FOUND;
      const std::vector<DiscItem>* items = nullptr;
      result = List(folder_path, *current, &items);
      if (result != QD_OK) return result;
      const DiscItem* match = nullptr;
      for (const DiscItem& candidate : *items) {
        if (candidate.name == part) {
          match = &candidate;
          break;
        }
        if (!match && quenvar::platform::NamesEqualIgnoringAsciiCase(candidate.name, part)) match = &candidate;
      }
      if (!match) return QD_E_NOT_FOUND;
      folder_path.append(u"\\").append(match->name);
      found_ = *match;  // the listing may be replaced by the next List
      current = &found_;
    }
    *item = *current;
    if (exact_path) *exact_path = std::move(folder_path);
    return QD_OK;
  }

  uint32_t Find(const char16_t* path, uint32_t index, WIN32_FIND_DATAW* data) {
    DiscItem folder;
    std::u16string exact_path;
    uint32_t result = Lookup(path, &folder, &exact_path);
    if (result != QD_OK) return result;
    if (!folder.folder) return QD_E_NOT_FOUND;
    const std::vector<DiscItem>* items = nullptr;
    result = List(exact_path, folder, &items);
    if (result != QD_OK) return result;
    if (index >= items->size()) return QD_E_NOT_FOUND;
    Fill((*items)[index], data);
    return QD_OK;
  }

  uint32_t Read(const char16_t* path, uint64_t offset, uint8_t* buffer, uint32_t bytes,
                uint32_t* read) {
    std::u16string key(path);
    if (!have_file_ || key != file_path_) {
      have_file_ = false;
      uint32_t result = Lookup(path, &file_);
      if (result != QD_OK) return result;
      if (file_.folder) return QD_E_NOT_FOUND;
      file_path_ = key;
      have_file_ = true;
    }
    return reader_.ReadFile(file_, offset, buffer, bytes, read);
  }

  static void Fill(const DiscItem& item, WIN32_FIND_DATAW* data) {
    WIN32_FIND_DATAW filled{};
    filled.dwFileAttributes = item.folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    filled.ftCreationTime = item.creation;
    filled.ftLastAccessTime = item.last_access;
    filled.ftLastWriteTime = item.last_write;
    if (!item.folder) {
      filled.nFileSizeHigh = static_cast<uint32_t>(item.size >> 32);
      filled.nFileSizeLow = static_cast<uint32_t>(item.size);
    }
    const size_t units = std::min<size_t>(item.name.size(), MAX_PATH - 1);
    std::copy_n(item.name.data(), units, filled.cFileName);
    *data = filled;
  }

 private:
  // An empty drive answers TEST UNIT READY with "medium not present" (2/3A/xx); its sense stays in
  // the last command error record for the caller.
  bool NoMedium() {
    if (drive::TestUnitReady(drive_) != QD_E_COMMAND_FAILED) return false;
    _COMMANDERRORINFOMATION error{};
    drive::ReadLastCommandError(&error);
    namespace mmc = drive::mmc;
    return (error.SenseData[mmc::kSenseKeyByte] & mmc::kSenseKeyMask) == mmc::kSenseNotReady &&
           error.SenseData[mmc::kSenseAsc] == mmc::kAscMediumNotPresent;
  }

  uint32_t Split(const char16_t* path, std::vector<std::u16string>* parts) const {
    std::u16string text(path);
    if (text.size() >= 2 && text[1] == u':') {
      char16_t letter =
          text[0] >= u'a' && text[0] <= u'z' ? static_cast<char16_t>(text[0] - 32) : text[0];
      if (letter_ != 0 && letter != static_cast<char16_t>(letter_)) return QD_E_INVALID_ARGUMENT;
      text.erase(0, 2);
    }
    std::u16string part;
    for (char16_t c : text) {
      if (c == u'\\' || c == u'/') {
        if (!part.empty()) parts->push_back(part);
        part.clear();
      } else {
        part.push_back(c);
      }
    }
    if (!part.empty()) parts->push_back(part);
    return QD_OK;
  }

  // The entries of folder, whose path as spelled on the disc is exact_path, from the cache of
  // recently listed folders when it holds them. A walk through the tree keeps asking for the
  // folders on its path, so a few suffice. The cache is keyed by the exact path: a disc made
  // elsewhere may hold folders whose names differ in case alone.
  uint32_t List(const std::u16string& exact_path, const DiscItem& folder,
                const std::vector<DiscItem>** items) {
    auto cached = listings_.find(exact_path);
    if (cached == listings_.end()) {
      uint32_t block = 0;
      if (!FolderBlock(view_ == View::kUdf, folder, &block)) return QD_E_UNKNOWN_FILE_SYSTEM;
      const uint32_t depth =
          static_cast<uint32_t>(std::count(exact_path.begin(), exact_path.end(), u'\\'));
      uint32_t result = walk_.EnterAt(block, depth, exact_path);
      if (result != QD_OK) return result;
      std::vector<DiscItem> listing;
      result = reader_.ListFolder(view_, folder, &listing);
      if (result != QD_OK) return result == QD_E_OUT_OF_MEMORY ? result : QD_E_UNKNOWN_FILE_SYSTEM;
      if (listings_.size() >= kCachedFolders) listings_.clear();
      cached = listings_.emplace(exact_path, std::move(listing)).first;
    }
    *items = &cached->second;
    return QD_OK;
  }

  static constexpr size_t kCachedFolders = 16;
  HANDLE drive_;
  char letter_;
  BlockSource source_;
  DiscReader reader_;
  FolderWalk walk_;
  View view_ = View::kIso9660;
  DiscItem root_;
  DiscItem found_;
  std::map<std::u16string, std::vector<DiscItem>> listings_;  // by exact folder path
  bool have_file_ = false;
  std::u16string file_path_;
  DiscItem file_;
};

quenvar::platform::Mutex g_registry_mutex;
std::unordered_map<void*, std::shared_ptr<Volume>>& Registry() REQUIRES(g_registry_mutex) {
  static auto* registry = new std::unordered_map<void*, std::shared_ptr<Volume>>();
  return *registry;
}

std::shared_ptr<Volume> FromHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  quenvar::platform::MutexLock lock(&g_registry_mutex);
  auto found = Registry().find(handle);
  return found == Registry().end() ? nullptr : found->second;
}

template <typename Body>
DWORD Guard(Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return QD_E_OUT_OF_MEMORY;
  }
}

}  // namespace

uint32_t OpenVolumeOnDrive(HANDLE drive, char letter, HANDLE* volume) {
  *volume = nullptr;
  return Guard([&]() -> DWORD {
    std::shared_ptr<Volume> opened;
    try {
      opened = std::make_shared<Volume>(drive, letter);
    } catch (...) {
      drive::CloseDriveHandle(drive);
      throw;
    }
    uint32_t result = opened->Open();
    if (result != QD_OK) return result;
    quenvar::platform::MutexLock lock(&g_registry_mutex);
    Registry()[opened.get()] = opened;
    *volume = opened.get();
    return QD_OK;
  });
}

}  // namespace quillden::reader

using quillden::reader::Volume;

QUILLDEN_EXTERN_C QUILLDEN_API DWORD DRV_OpenVolume(DWORD drive_number, HANDLE* volume) {
  if (drive_number < 1 || drive_number > 26 || volume == nullptr) return QD_E_INVALID_ARGUMENT;
  *volume = nullptr;
  return quillden::reader::Guard([&]() -> DWORD {
    HANDLE drive = quillden::drive::OpenDriveNumber(drive_number);
    if (drive == nullptr) return QD_E_NO_DRIVE;
    return quillden::reader::OpenVolumeOnDrive(drive, static_cast<char>('A' + drive_number - 1),
                                               volume);
  });
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD DRV_CloseVolume(HANDLE volume) {
  std::shared_ptr<Volume> closing;
  {
    quenvar::platform::MutexLock lock(&quillden::reader::g_registry_mutex);
    auto found = quillden::reader::Registry().find(volume);
    if (volume == nullptr || found == quillden::reader::Registry().end())
      return QD_E_INVALID_HANDLE;
    closing = std::move(found->second);
    quillden::reader::Registry().erase(found);
  }
  return QD_OK;
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD DRV_GetVolumeFileInformation(HANDLE volume, const WCHAR* path,
                                                                  WIN32_FIND_DATAW* data) {
  auto opened = quillden::reader::FromHandle(volume);
  if (!opened) return QD_E_INVALID_HANDLE;
  if (path == nullptr || data == nullptr) return QD_E_INVALID_ARGUMENT;
  return quillden::reader::Guard([&]() -> DWORD {
    opened->BeginCall();
    quillden::reader::DiscItem item;
    uint32_t result = opened->Lookup(path, &item);
    if (result != QD_OK) return result;
    Volume::Fill(item, data);
    return QD_OK;
  });
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD DRV_FindVolumeFile(HANDLE volume, const WCHAR* path,
                                                        DWORD index, WIN32_FIND_DATAW* data) {
  auto opened = quillden::reader::FromHandle(volume);
  if (!opened) return QD_E_INVALID_HANDLE;
  if (path == nullptr || data == nullptr) return QD_E_INVALID_ARGUMENT;
  return quillden::reader::Guard([&]() -> DWORD {
    opened->BeginCall();
    return opened->Find(path, index, data);
  });
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD DRV_ReadVolumeFile(HANDLE volume, const WCHAR* path,
                                                        ULONGLONG offset, void* buffer, DWORD bytes,
                                                        DWORD* read) {
  auto opened = quillden::reader::FromHandle(volume);
  if (!opened) return QD_E_INVALID_HANDLE;
  if (path == nullptr || read == nullptr || (buffer == nullptr && bytes > 0))
    return QD_E_INVALID_ARGUMENT;
  *read = 0;
  return quillden::reader::Guard([&]() -> DWORD {
    opened->BeginCall();
    uint32_t done = 0;
    uint32_t result = opened->Read(path, offset, static_cast<uint8_t*>(buffer), bytes, &done);
    *read = done;
    return result;
  });
}
