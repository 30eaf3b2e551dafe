// The MST_ exports of the data disc tree: handle checks at the boundary, then the tree code.
#include <algorithm>
#include <new>
#include <string>

#include "datadisk/adder.h"
#include "datadisk/datadisk.h"
#include "datadisk/exist_check.h"
#include "datadisk/names.h"
#include "platform/unicode.h"
#include "progress/progress_record.h"
#include "quillden/datadisk.h"
#include "quillden/result.h"

namespace quillden {
namespace {

HANDLE Invalid() {
  return INVALID_HANDLE_VALUE;
}
HANDLE ToHandle(DatadiskEntry* entry) {
  return entry;
}

// Resolves an optional parent handle: null is the root. False when the handle is not a live entry
// of this disc.
bool ResolveParent(const Datadisk& disc, HANDLE handle, DatadiskEntry** parent) {
  if (handle == nullptr) {
    *parent = nullptr;
    return true;
  }
  *parent = disc.EntryFromHandle(handle);
  return *parent != nullptr;
}

// Runs body, turning an escaped allocation failure into the out-of-memory code.
template <typename Body>
DWORD GuardCode(Datadisk* disc, Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return disc ? disc->Fail(QD_E_OUT_OF_MEMORY) : QD_E_OUT_OF_MEMORY;
  }
}
template <typename Body>
HANDLE GuardHandle(Datadisk& disc, Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    disc.Fail(QD_E_OUT_OF_MEMORY);
    return Invalid();
  }
}

DWORD CopyOut(std::u16string_view text, WCHAR* buffer, DWORD capacity) {
  if (capacity < text.size() + 1) {
    if (capacity > 0) buffer[0] = 0;
    return QD_E_INVALID_ARGUMENT;
  }
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = 0;
  return QD_OK;
}

HANDLE FindFullPath(Datadisk& disc, std::u16string_view path, WIN32_FIND_DATAW* find_data) {
  if (HasBadCharacter(LastDiscComponent(path))) {
    disc.Fail(QD_E_BAD_CHARACTER);
    return Invalid();
  }
  DatadiskEntry* current = nullptr;
  bool any = false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find(u'\\', start);
    if (slash == std::u16string_view::npos) slash = path.size();
    std::u16string_view component = path.substr(start, slash - start);
    start = slash + 1;
    if (component.empty()) continue;
    if (any && !current->is_folder())
      current = nullptr;  // a file has no children
    else
      current = FindChild(disc, current, component);
    any = true;
    if (!current) {
      disc.Fail(QD_E_NOT_FOUND);
      return Invalid();
    }
  }
  if (!any) {
    disc.Fail(QD_E_INVALID_ARGUMENT);
    return Invalid();
  }
  if (find_data) *find_data = current->FindData();
  return ToHandle(current);
}

WORD PossibleRenameLength(const DatadiskEntry* entry) {
  size_t longest = entry->first_child ? LongestDiscPath(entry) : entry->DiscPathLength();
  uint16_t possible = static_cast<uint16_t>(entry->name().size() + kMaxDiscPath - longest);
  return std::min<uint16_t>(possible, kMaxEntryName);
}

}  // namespace
}  // namespace quillden

using quenvar::platform::CopyUtf16;
using quenvar::platform::Utf16View;
using quillden::Datadisk;
using quillden::DatadiskEntry;

QUILLDEN_EXTERN_C QUILLDEN_API HANDLE MST_CreateDatadisk(void) {
  HANDLE handle = Datadisk::Create();
  return handle ? handle : INVALID_HANDLE_VALUE;
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_DestroyDatadisk(HANDLE disc) {
  std::shared_ptr<Datadisk> released = Datadisk::Release(disc);
  if (!released) return QD_E_INVALID_HANDLE;
  // The heap goes with the last reference: here, or when a worker that still holds it ends.
  return QD_OK;
}

QUILLDEN_EXTERN_C QUILLDEN_API HANDLE MST_AddDatadiskFile(HANDLE disc_handle, const WCHAR* source,
                                                          const WCHAR* target) {
  auto disc = Datadisk::FromHandle(disc_handle);
  if (!disc) return INVALID_HANDLE_VALUE;
  return quillden::GuardHandle(*disc, [&]() -> HANDLE {
    if (quillden::CheckAddArguments(*disc, Utf16View(source), Utf16View(target)) != QD_OK) {
      return quillden::Invalid();
    }
    quillden::Adder adder(*disc, quillden::FileProgressAsker());
    DatadiskEntry* entry = adder.Add(Utf16View(source), Utf16View(target));
    return entry ? quillden::ToHandle(entry) : quillden::Invalid();
  });
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_AddDatadiskFileProgress(HANDLE disc_handle,
                                                                 const WCHAR* source,
                                                                 const WCHAR* target,
                                                                 HANDLE file_progress) {
  auto disc = Datadisk::FromHandle(disc_handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  return quillden::GuardCode(disc.get(), [&]() -> DWORD {
    auto record = quillden::FileProgressRecord::FromHandle(file_progress);
    if (!record) return disc->Fail(QD_E_INVALID_HANDLE);
    uint32_t code = quillden::CheckAddArguments(*disc, Utf16View(source), Utf16View(target));
    if (code != QD_OK) return code;
    if (auto running = record->worker(); running && !running->Ended()) return disc->Fail(QD_E_BUSY);
    std::u16string source_copy(Utf16View(source));
    std::u16string target_copy(Utf16View(target));
    // The worker holds the disc, so a caller that destroys it too early cannot pull it away.
    code = quillden::StartFileProgressWorker(
        record, FP_FINISHED, [disc, record, source_copy, target_copy]() -> uint32_t {
          try {
            quillden::Adder adder(*disc, quillden::FileProgressAsker(record));
            adder.Add(source_copy, target_copy);
            return adder.result();
          } catch (const std::bad_alloc&) {
            return disc->Fail(QD_E_OUT_OF_MEMORY);
          }
        });
    return code == QD_OK ? QD_OK : disc->Fail(code);
  });
}

QUILLDEN_EXTERN_C QUILLDEN_API HANDLE MST_CreateDatadiskFolder(HANDLE disc_handle,
                                                               HANDLE parent_handle,
                                                               const WCHAR* name) {
  auto disc = Datadisk::FromHandle(disc_handle);
  if (!disc) return INVALID_HANDLE_VALUE;
  return quillden::GuardHandle(*disc, [&]() -> HANDLE {
    DatadiskEntry* parent = nullptr;
    if (!quillden::ResolveParent(*disc, parent_handle, &parent) ||
        (parent && !parent->is_folder())) {
      disc->Fail(QD_E_INVALID_HANDLE);
      return quillden::Invalid();
    }
    DatadiskEntry* created = nullptr;
    uint32_t code = quillden::CreateFolderEntry(*disc, parent, Utf16View(name), &created);
    if (code != QD_OK) {
      disc->Fail(code);
      return quillden::Invalid();
    }
    return quillden::ToHandle(created);
  });
}

QUILLDEN_EXTERN_C QUILLDEN_API HANDLE MST_CreateFullPathDatadiskFolder(HANDLE disc_handle,
                                                                       const WCHAR* path) {
  auto disc = Datadisk::FromHandle(disc_handle);
  if (!disc) return INVALID_HANDLE_VALUE;
  return quillden::GuardHandle(*disc, [&]() -> HANDLE {
    std::u16string_view text = Utf16View(path);
    while (!text.empty() && text.back() == u'\\') text.remove_suffix(1);
    std::u16string_view last = quillden::LastDiscComponent(text);
    if (last.empty()) {
      disc->Fail(QD_E_INVALID_ARGUMENT);
      return quillden::Invalid();
    }
    if (quillden::HasBadCharacter(last)) {
      disc->Fail(QD_E_BAD_CHARACTER);
      return quillden::Invalid();
    }
    DatadiskEntry* folder = nullptr;
    uint32_t code =
        quillden::FindOrCreateFolderPath(*disc, text.substr(0, text.size() - last.size()), &folder);
    DatadiskEntry* created = nullptr;
    if (code == QD_OK) code = quillden::CreateFolderEntry(*disc, folder, last, &created);
    if (code != QD_OK) {
      disc->Fail(code);
      return quillden::Invalid();
    }
    return quillden::ToHandle(created);
  });
}

QUILLDEN_EXTERN_C QUILLDEN_API HANDLE MST_FindDatadiskFile(HANDLE disc_handle, HANDLE parent_handle,
                                                           const WCHAR* name) {
  auto disc = Datadisk::FromHandle(disc_handle);
  if (!disc) return INVALID_HANDLE_VALUE;
  DatadiskEntry* parent = nullptr;
  if (!quillden::ResolveParent(*disc, parent_handle, &parent)) {
    disc->Fail(QD_E_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string_view text = Utf16View(name);
  if (text.empty()) {
    disc->Fail(QD_E_INVALID_ARGUMENT);
    return INVALID_HANDLE_VALUE;
  }
  if (quillden::HasBadCharacter(text)) {
    disc->Fail(QD_E_BAD_CHARACTER);
    return INVALID_HANDLE_VALUE;
  }
  return quillden::ToHandle(quillden::FindChild(*disc, parent, text));
}

QUILLDEN_EXTERN_C QUILLDEN_API HANDLE MST_FindFullPathDatadiskFile(HANDLE disc_handle,
                                                                   const WCHAR* path,
                                                                   WIN32_FIND_DATAW* find_data) {
  auto disc = Datadisk::FromHandle(disc_handle);
  if (!disc) return INVALID_HANDLE_VALUE;
  return quillden::FindFullPath(*disc, Utf16View(path), find_data);
}

QUILLDEN_EXTERN_C QUILLDEN_API HANDLE MST_GetRootDatadiskFile(HANDLE disc_handle) {
  auto disc = Datadisk::FromHandle(disc_handle);
  if (!disc) return INVALID_HANDLE_VALUE;
  return quillden::ToHandle(disc->first_root());
}

namespace {
template <typename Step>
HANDLE Navigate(HANDLE disc_handle, HANDLE entry_handle, Step step) {
  auto disc = Datadisk::FromHandle(disc_handle);
  if (!disc) return INVALID_HANDLE_VALUE;
  DatadiskEntry* entry = disc->EntryFromHandle(entry_handle);
  if (!entry) {
    disc->Fail(QD_E_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  return quillden::ToHandle(step(entry));
}
}  // namespace

QUILLDEN_EXTERN_C QUILLDEN_API HANDLE MST_GetChildDatadiskFile(HANDLE disc, HANDLE entry) {
  return Navigate(disc, entry, [](DatadiskEntry* e) { return e->first_child; });
}
QUILLDEN_EXTERN_C QUILLDEN_API HANDLE MST_GetParentDatadiskFile(HANDLE disc, HANDLE entry) {
  return Navigate(disc, entry, [](DatadiskEntry* e) { return e->parent; });
}
QUILLDEN_EXTERN_C QUILLDEN_API HANDLE MST_GetNextDatadiskFile(HANDLE disc, HANDLE entry) {
  return Navigate(disc, entry, [](DatadiskEntry* e) { return e->next; });
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_GetFindDataDatadiskFile(HANDLE disc_handle,
                                                                 HANDLE entry_handle,
                                                                 WIN32_FIND_DATAW* out) {
  auto disc = Datadisk::FromHandle(disc_handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  DatadiskEntry* entry = disc->EntryFromHandle(entry_handle);
  if (!entry) return disc->Fail(QD_E_INVALID_HANDLE);
  if (!out) return disc->Fail(QD_E_INVALID_ARGUMENT);
  *out = entry->FindData();
  return QD_OK;
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_GetDatadiskFilename(HANDLE disc_handle,
                                                             HANDLE entry_handle, WCHAR* buffer,
                                                             DWORD capacity) {
  auto disc = Datadisk::FromHandle(disc_handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  DatadiskEntry* entry = disc->EntryFromHandle(entry_handle);
  if (!entry) return disc->Fail(QD_E_INVALID_HANDLE);
  if (!buffer) return disc->Fail(QD_E_INVALID_ARGUMENT);
  if (entry->name_length == 0) return QD_OK;
  uint32_t code = quillden::CopyOut(entry->DiscPath(), buffer, capacity);
  return code == QD_OK ? QD_OK : disc->Fail(code);
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_GetSourceFilename(HANDLE disc_handle, HANDLE entry_handle,
                                                           WCHAR* buffer, DWORD capacity) {
  auto disc = Datadisk::FromHandle(disc_handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  DatadiskEntry* entry = disc->EntryFromHandle(entry_handle);
  if (!entry) return disc->Fail(QD_E_INVALID_HANDLE);
  if (entry->attributes() & DDF_ATTR_IMPORTED) return disc->Fail(QD_E_NO_SOURCE_PATH);
  if (!buffer) return disc->Fail(QD_E_INVALID_ARGUMENT);
  uint32_t code = quillden::CopyOut(entry->SourcePath(), buffer, capacity);
  return code == QD_OK ? QD_OK : disc->Fail(code);
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_DeleteDatadiskFile(HANDLE disc_handle,
                                                            HANDLE entry_handle) {
  auto disc = Datadisk::FromHandle(disc_handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  DatadiskEntry* entry = disc->EntryFromHandle(entry_handle);
  if (!entry) return disc->Fail(QD_E_INVALID_HANDLE);
  return quillden::GuardCode(disc.get(), [&]() -> DWORD {
    quillden::DeleteEntry(*disc, entry);
    return QD_OK;
  });
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_MoveDatadiskFile(HANDLE disc_handle, HANDLE entry_handle,
                                                          HANDLE parent_handle,
                                                          const WIN32_FIND_DATAW* find_data) {
  auto disc = Datadisk::FromHandle(disc_handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  DatadiskEntry* entry = disc->EntryFromHandle(entry_handle);
  DatadiskEntry* parent = nullptr;
  if (!entry || !quillden::ResolveParent(*disc, parent_handle, &parent))
    return disc->Fail(QD_E_INVALID_HANDLE);
  if (!find_data) return disc->Fail(QD_E_INVALID_ARGUMENT);
  if (parent && !parent->is_folder()) return disc->Fail(QD_E_MOVE_NOT_FOLDER);
  if (entry->parent == parent) return disc->Fail(QD_E_MOVE_SAME_FOLDER);
  for (DatadiskEntry* up = parent; up; up = up->parent) {
    if (up == entry) return disc->Fail(QD_E_MOVE_INTO_ITSELF);
  }
  // The name that arrives in the new folder is the entry's own; looking up anything else could
  // let two entries of one name meet there.
  std::u16string_view name = entry->name();
  if (quillden::FindChild(*disc, parent, name)) return disc->Fail(QD_E_EXISTS);
  const size_t own_length = entry->DiscPathLength();
  size_t old_prefix = own_length - name.size();
  size_t new_prefix = parent ? parent->DiscPathLength() + 1 : 0;
  size_t longest = entry->first_child ? quillden::LongestDiscPath(entry) : own_length;
  if (longest - old_prefix + new_prefix > quillden::kMaxDiscPath) {
    disc->SetErrorPaths(name, entry->DiscPath());
    return disc->Fail(QD_E_PATH_TOO_LONG);
  }
  return quillden::GuardCode(disc.get(), [&]() -> DWORD {
    // The entry's source stays what it was, whatever folder it moves to.
    disc->KeepSourcePath(entry);
    DatadiskEntry* old_parent = entry->parent;
    quillden::UnlinkEntry(*disc, entry);
    uint32_t code = quillden::InsertEntry(*disc, entry, parent);
    if (code != QD_OK) {
      // Put it back where it was; its place there is known to be free.
      quillden::InsertEntry(*disc, entry, old_parent);
      return disc->Fail(code);
    }
    return QD_OK;
  });
}

QUILLDEN_EXTERN_C QUILLDEN_API WORD MST_GetPossibleRenameLength(HANDLE entry_handle) {
  DatadiskEntry* entry = nullptr;
  auto disc = Datadisk::OwnerOfEntry(entry_handle, &entry);
  if (!disc) return 0;
  return quillden::PossibleRenameLength(entry);
}

QUILLDEN_EXTERN_C QUILLDEN_API HANDLE MST_RenameDatadiskFile(HANDLE disc_handle,
                                                             HANDLE entry_handle,
                                                             const WCHAR* name) {
  auto disc = Datadisk::FromHandle(disc_handle);
  if (!disc) return INVALID_HANDLE_VALUE;
  auto fail = [&](uint32_t code) {
    disc->Fail(code);
    return INVALID_HANDLE_VALUE;
  };
  DatadiskEntry* entry = disc->EntryFromHandle(entry_handle);
  if (!entry) return fail(QD_E_INVALID_HANDLE);
  std::u16string_view text = Utf16View(name);
  if (text.empty()) return fail(QD_E_INVALID_ARGUMENT);
  if (text.size() > quillden::kMaxEntryName) return fail(QD_E_NAME_TOO_LONG);
  if (quillden::FindChild(*disc, entry->parent, text)) return fail(QD_E_EXISTS);
  if (quillden::HasBadCharacter(text) || quillden::IsDotName(text)) return fail(QD_E_BAD_CHARACTER);
  if (entry->name_length == 0) return fail(QD_E_SOURCE_MISSING);
  if (text.size() > quillden::PossibleRenameLength(entry)) return fail(QD_E_PATH_TOO_LONG);
  return quillden::GuardHandle(*disc, [&]() -> HANDLE {
    // The source stays what it was under the new name.
    disc->KeepSourcePath(entry);
    const char16_t* saved_units = entry->name_units;
    const uint16_t saved_length = entry->name_length;
    DatadiskEntry* parent = entry->parent;
    quillden::UnlinkEntry(*disc, entry);
    uint32_t code = QD_OK;
    try {
      disc->SetEntryName(entry, text);
    } catch (const std::bad_alloc&) {
      code = QD_E_OUT_OF_MEMORY;
    }
    if (code == QD_OK) code = quillden::InsertEntry(*disc, entry, parent);
    if (code != QD_OK) {
      entry->name_units = saved_units;
      entry->name_length = saved_length;
      quillden::InsertEntry(*disc, entry, parent);
      return fail(code);
    }
    return quillden::ToHandle(entry);
  });
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_ExistCheckDatadiskFile(HANDLE disc_handle,
                                                                HANDLE file_progress) {
  auto disc = Datadisk::FromHandle(disc_handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  return quillden::GuardCode(disc.get(), [&]() -> DWORD {
    if (file_progress == nullptr) {
      uint32_t code = quillden::RunExistCheck(*disc, quillden::FileProgressAsker());
      return code == QD_OK ? QD_OK : disc->Fail(code);
    }
    auto record = quillden::FileProgressRecord::FromHandle(file_progress);
    if (!record) return disc->Fail(QD_E_INVALID_HANDLE);
    if (auto running = record->worker(); running && !running->Ended()) return disc->Fail(QD_E_BUSY);
    uint32_t code =
        quillden::StartFileProgressWorker(record, FP_FINISHED, [disc, record]() -> uint32_t {
          try {
            uint32_t result = quillden::RunExistCheck(*disc, quillden::FileProgressAsker(record));
            return result == QD_OK ? QD_OK : disc->Fail(result);
          } catch (const std::bad_alloc&) {
            return disc->Fail(QD_E_OUT_OF_MEMORY);
          }
        });
    return code == QD_OK ? QD_OK : disc->Fail(code);
  });
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_GetNumberOfWriteFile(HANDLE disc_handle) {
  auto disc = Datadisk::FromHandle(disc_handle);
  if (!disc) return 0xFFFFFFFFu;
  try {
    DWORD count = 0;
    quillden::WalkTree(*disc, nullptr, [&](DatadiskEntry* e) {
      if (!e->is_folder() && !e->is_engine_entry()) ++count;
      return true;
    });
    return count;
  } catch (const std::bad_alloc&) {
    disc->Fail(QD_E_NOT_FOUND);
    return 0xFFFFFFFFu;
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_GetLastError(HANDLE disc_handle) {
  auto disc = Datadisk::FromHandle(disc_handle);
  return disc ? disc->last_error.load() : QD_E_INVALID_HANDLE;
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_SetLastError(HANDLE disc_handle, DWORD code) {
  auto disc = Datadisk::FromHandle(disc_handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  disc->last_error.store(code);
  return QD_OK;
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_GetErrorFileName(HANDLE disc_handle, WCHAR* buffer) {
  auto disc = Datadisk::FromHandle(disc_handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  if (!buffer) return QD_E_INVALID_ARGUMENT;
  CopyUtf16(Utf16View(disc->error_file_name), buffer, quillden::kMaxPathBuffer);
  return QD_OK;
}

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_GetErrorTargetPath(HANDLE disc_handle, WCHAR* buffer) {
  auto disc = Datadisk::FromHandle(disc_handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  if (!buffer) return QD_E_INVALID_ARGUMENT;
  CopyUtf16(Utf16View(disc->error_target_path), buffer, quillden::kMaxPathBuffer);
  return QD_OK;
}
