#include "datadisk/adder.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "datadisk/datadisk_env.h"
#include "datadisk/names.h"
#include "platform/unicode.h"
#include "quillden/result.h"

namespace quillden {
namespace {

using quenvar::platform::FileInfo;
using quenvar::platform::Utf16ToUtf8;
using quenvar::platform::Utf8ToUtf16;

// A local path without trailing separators ("/" itself stays).
std::u16string_view TrimSource(std::u16string_view source) {
  while (source.size() > 1 && source.back() == u'/') source.remove_suffix(1);
  return source;
}

std::u16string_view LastLocalComponent(std::u16string_view path) {
  size_t slash = path.rfind(u'/');
  return slash == std::u16string_view::npos ? path : path.substr(slash + 1);
}

std::vector<std::u16string_view> SplitDiscPath(std::u16string_view path) {
  std::vector<std::u16string_view> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find(u'\\', start);
    if (slash == std::u16string_view::npos) slash = path.size();
    if (slash > start) parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

FILETIME ToFileTime(uint64_t time) {
  return FILETIME{static_cast<uint32_t>(time), static_cast<uint32_t>(time >> 32)};
}

// What an entry's find record will report of its source.
struct SourceFields {
  uint32_t attributes = 0;
  FILETIME creation{}, last_access{}, last_write{};
  uint64_t size = 0;
};

SourceFields FieldsOf(const FileInfo& info) {
  SourceFields fields;
  fields.attributes = info.is_directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  fields.creation = ToFileTime(info.creation_time);
  fields.last_access = ToFileTime(info.last_access_time);
  fields.last_write = ToFileTime(info.last_write_time);
  fields.size = info.is_directory ? 0 : info.size;
  return fields;
}

}  // namespace

uint32_t CheckAddArguments(Datadisk& disc, std::u16string_view source, std::u16string_view target) {
  if (source.empty()) return disc.Fail(QD_E_INVALID_ARGUMENT);
  FileInfo info;
  if (!DatadiskEnv()->Stat(Utf16ToUtf8(source), /*follow_links=*/true, &info).ok()) {
    disc.SetErrorPaths(source, u"");
    return disc.Fail(QD_E_SOURCE_MISSING);
  }
  if (HasBadCharacter(LastLocalComponent(TrimSource(source))) ||
      HasBadCharacter(LastDiscComponent(target))) {
    return disc.Fail(QD_E_BAD_CHARACTER);
  }
  // Refused here, before anything is added, rather than when the folder is made.
  for (std::u16string_view component : SplitDiscPath(target)) {
    if (IsDotName(component)) {
      disc.SetErrorPaths(source, target);
      return disc.Fail(QD_E_BAD_CHARACTER);
    }
  }
  return QD_OK;
}

Adder::Adder(Datadisk& disc, FileProgressAsker asker)
    : disc_(disc), asker_(std::move(asker)), env_(DatadiskEnv()) {}

uint32_t Adder::Ask(uint32_t code, const char16_t* text) {
  uint32_t reply = asker_.Ask(code, text);
  if (reply == FP_REPLY_CANCEL) {
    cancelled_ = true;
    disc_.Fail(QD_E_CANCELLED);
  }
  return reply;
}

Adder::Outcome Adder::LeaveOut(uint32_t code, std::u16string_view source,
                               std::u16string_view disc_path) {
  disc_.SetErrorPaths(source, disc_path);
  disc_.Fail(code);
  last_code_ = code;
  return Outcome::kLeftOut;
}

DatadiskEntry* Adder::Add(std::u16string_view source, std::u16string_view target) {
  return Add(source, target, /*target_names_entry=*/false);
}

DatadiskEntry* Adder::Add(std::u16string_view source_arg, std::u16string_view target,
                          bool target_names_entry) {
  std::u16string source(TrimSource(source_arg));
  FileInfo info;
  bool is_folder =
      env_->Stat(Utf16ToUtf8(source), /*follow_links=*/true, &info).ok() && info.is_directory;

  std::vector<std::u16string_view> parts = SplitDiscPath(target);
  std::u16string name;
  if (is_folder || target_names_entry) {
    // The target names the folder itself; with no target the folder keeps its own name.
    if (parts.empty()) {
      name = LastLocalComponent(source);
    } else {
      name = parts.back();
      parts.pop_back();
    }
  } else {
    name = LastLocalComponent(source);
  }
  if (name.empty()) {
    result_ = disc_.Fail(QD_E_INVALID_ARGUMENT);
    return nullptr;
  }
  std::u16string folder_path;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) folder_path.push_back(u'\\');
    folder_path.append(parts[i]);
  }
  DatadiskEntry* folder = nullptr;
  uint32_t code = FindOrCreateFolderPath(disc_, folder_path, &folder);
  if (code != QD_OK) {
    if (code != QD_E_PATH_TOO_LONG) disc_.SetErrorPaths(source, folder_path);
    result_ = disc_.Fail(code);
    return nullptr;
  }

  DatadiskEntry* entry = nullptr;
  Outcome outcome =
      AddOne(source, folder, name, /*listed=*/nullptr, /*source_follows_folder=*/false, &entry);
  if ((outcome == Outcome::kAdded || outcome == Outcome::kMerged) && entry->is_folder() &&
      !cancelled_) {
    FileInfo followed;
    if (env_->Stat(Utf16ToUtf8(source), true, &followed).ok() && followed.is_directory) {
      AddContents(source, entry, /*holds_source=*/outcome == Outcome::kAdded);
    }
  }
  if (cancelled_) {
    result_ = disc_.Fail(QD_E_CANCELLED);
    return nullptr;
  }
  switch (outcome) {
    case Outcome::kAdded:
    case Outcome::kMerged:
      result_ = QD_OK;
      return entry;
    case Outcome::kKept:
      result_ = QD_E_KEEP_EXISTING;
      return entry;
    default:
      result_ = last_code_;
      return nullptr;
  }
}

Adder::Outcome Adder::AddOne(const std::u16string& source, DatadiskEntry* folder,
                             std::u16string name, const FileInfo* listed,
                             bool source_follows_folder, DatadiskEntry** entry) {
  if (HasBadCharacter(name))
    return LeaveOut(QD_E_BAD_CHARACTER, source, JoinDiscPath(folder, name));

  // The find data: the entry itself, or what a symbolic link to a file leads to. An entry of a
  // listing costs no further look-up unless it is a link to something other than a regular file.
  std::string local;  // made only when the listing did not say enough
  auto local_path = [&]() -> const std::string& {
    if (local.empty()) local = Utf16ToUtf8(source);
    return local;
  };
  SourceFields fields;
  FileInfo info;
  bool found = listed != nullptr;
  if (listed) info = *listed;
  if (!listed) found = env_->Stat(local_path(), /*follow_links=*/false, &info).ok();
  if (found && info.is_symlink && !(listed && info.is_regular)) {
    FileInfo followed;
    if (env_->Stat(local_path(), true, &followed).ok()) info = followed;
  }
  if (found) {
    fields = FieldsOf(info);
  } else {
    if (!asker_.HasWindow())
      return LeaveOut(QD_E_SOURCE_MISSING, source, JoinDiscPath(folder, name));
    uint32_t reply = Ask(FP_ASK_MISSING, source.c_str());
    if (cancelled_) return Outcome::kCancelled;
    if (reply == 1) return Outcome::kLeftOut;
    fields.attributes = FILE_ATTRIBUTE_NORMAL;
  }

  // The questions come in this order: the name, whether the source can be read, then whether to
  // add it or what to do with an entry of that name. Each may end the entry.
  if (std::optional<Outcome> ended = AskForName(source, folder, &name)) return *ended;
  if (std::optional<Outcome> ended = CheckReadable(source, folder, name, found ? &info : nullptr))
    return *ended;
  const bool new_is_folder = (fields.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (std::optional<Outcome> ended = ClearTheWay(source, folder, name, new_is_folder, entry))
    return *ended;

  DatadiskEntry* created = disc_.NewEntry();
  if (!created) return LeaveOut(QD_E_OUT_OF_MEMORY, source, JoinDiscPath(folder, name));
  created->file_attributes = fields.attributes;
  created->creation_time = fields.creation;
  created->last_access_time = fields.last_access;
  created->last_write_time = fields.last_write;
  created->size = fields.size;
  return PlaceNewEntry(created, source, folder, name, source_follows_folder, entry);
}

std::optional<Adder::Outcome> Adder::AskForName(const std::u16string& source, DatadiskEntry* folder,
                                                std::u16string* name) {
  // Names too long and names holding ";" are each put to the caller, who may write a new name.
  for (int question = 0; question < 2; ++question) {
    bool ask =
        question == 0 ? name->size() > kMaxEntryName : name->find(u';') != std::u16string::npos;
    if (!ask || !asker_.HasWindow()) continue;
    char16_t buffer[MAX_PATH];
    quenvar::platform::CopyUtf16(*name, buffer, MAX_PATH);
    uint32_t reply = Ask(FP_ASK_NAME, buffer);
    if (cancelled_) return Outcome::kCancelled;
    if (reply == 1) return LeaveOut(QD_E_SKIPPED_NAME, source, JoinDiscPath(folder, *name));
    if (reply == 2) {
      buffer[MAX_PATH - 1] = 0;
      std::u16string chosen(quenvar::platform::Utf16View(buffer));
      if (chosen.empty())
        return LeaveOut(QD_E_INVALID_ARGUMENT, source, JoinDiscPath(folder, *name));
      if (HasBadCharacter(chosen))
        return LeaveOut(QD_E_BAD_CHARACTER, source, JoinDiscPath(folder, chosen));
      *name = std::move(chosen);
    }
  }
  return std::nullopt;
}

std::optional<Adder::Outcome> Adder::CheckReadable(const std::u16string& source,
                                                   DatadiskEntry* folder,
                                                   const std::u16string& name,
                                                   const FileInfo* found) {
  // Attributes must be readable, and only folders and regular files can be read back later. What
  // the find data came from already tells, except for a link that could not be followed.
  bool readable = found && (found->is_directory || found->is_regular);
  if (found && found->is_symlink && !readable) {
    FileInfo attributes;
    readable = env_->Stat(Utf16ToUtf8(source), true, &attributes).ok() &&
               (attributes.is_directory || attributes.is_regular);
  }
  if (!readable) {
    if (!asker_.HasWindow())
      return LeaveOut(QD_E_SOURCE_MISSING, source, JoinDiscPath(folder, name));
    uint32_t reply = Ask(FP_ASK_UNREADABLE, source.c_str());
    if (cancelled_) return Outcome::kCancelled;
    if (reply == 1) return Outcome::kLeftOut;
  }
  return std::nullopt;
}

std::optional<Adder::Outcome> Adder::ClearTheWay(const std::u16string& source,
                                                 DatadiskEntry* folder, const std::u16string& name,
                                                 bool new_is_folder, DatadiskEntry** entry) {
  DatadiskEntry* existing = FindChild(disc_, folder, name);
  if (!existing) {
    if (asker_.HasWindow()) {
      uint32_t reply = Ask(FP_ASK_ADD, source.c_str());
      if (cancelled_) return Outcome::kCancelled;
      if (reply != 0) return Outcome::kLeftOut;
    }
    return std::nullopt;
  }
  const std::u16string disc_path = JoinDiscPath(folder, name);
  if (!asker_.HasWindow()) return LeaveOut(QD_E_EXISTS, source, disc_path);
  uint32_t reply = Ask(FP_ASK_DUPLICATE, disc_path.c_str());
  if (cancelled_) return Outcome::kCancelled;
  if (reply == 0) {
    *entry = existing;
    disc_.SetErrorPaths(source, existing->DiscPath());
    disc_.Fail(QD_E_KEEP_EXISTING);
    last_code_ = QD_E_KEEP_EXISTING;
    return Outcome::kKept;
  }
  if (reply != 1) return Outcome::kLeftOut;
  if (existing->is_folder()) {
    // An existing folder stays; a folder merges its contents into it, a file cannot.
    if (new_is_folder) {
      *entry = existing;
      return Outcome::kMerged;
    }
    return LeaveOut(QD_E_EXISTS, source, disc_path);
  }
  DeleteEntry(disc_, existing);
  return std::nullopt;
}

Adder::Outcome Adder::PlaceNewEntry(DatadiskEntry* created, const std::u16string& source,
                                    DatadiskEntry* folder, const std::u16string& name,
                                    bool source_follows_folder, DatadiskEntry** entry) {
  // An entry of a listed folder whose name is its local name finds its source through the folder.
  const std::u16string_view local_name = LastLocalComponent(source);
  try {
    disc_.SetEntryName(created, name);
  } catch (const std::bad_alloc&) {
    disc_.FreeEntry(created);
    return LeaveOut(QD_E_OUT_OF_MEMORY, source, JoinDiscPath(folder, name));
  }
  uint32_t code = InsertEntry(disc_, created, folder);
  if (code == QD_OK) {
    try {
      if (source_follows_folder && folder && created->name() == local_name) {
        created->source_from_parent = true;
      } else {
        disc_.SetSourcePath(created, source);
      }
    } catch (const std::bad_alloc&) {
      DeleteEntry(disc_, created);
      return LeaveOut(QD_E_OUT_OF_MEMORY, source, JoinDiscPath(folder, name));
    }
  }
  if (code != QD_OK) {
    disc_.FreeEntry(created);
    disc_.Fail(code);
    last_code_ = code;
    return Outcome::kLeftOut;
  }
  *entry = created;
  return Outcome::kAdded;
}

void Adder::AddContents(const std::u16string& source, DatadiskEntry* folder, bool holds_source) {
  std::vector<quenvar::platform::DirectoryEntry> listing;
  if (!env_->ListDirectory(Utf16ToUtf8(source), &listing).ok()) {
    // The folder went away or cannot be listed: it stays, empty.
    LeaveOut(QD_E_SOURCE_MISSING, source, folder->DiscPath());
    return;
  }
  std::u16string prefix = source;
  if (prefix.empty() || prefix.back() != u'/') {
    prefix.push_back(u'/');
  } else {
    holds_source = false;  // "/" itself: its entries store their own source paths
  }
  for (const auto& item : listing) {
    if (cancelled_) return;
    std::u16string child_source = prefix + Utf8ToUtf16(item.name);
    if (item.info.is_symlink && !item.info.is_regular) {
      // Links to folders are never followed, so a tree walk cannot loop; other links (dangling,
      // looping) go through the questions below.
      FileInfo target;
      if (env_->Stat(Utf16ToUtf8(child_source), true, &target).ok() && target.is_directory)
        continue;
    }
    DatadiskEntry* child = nullptr;
    Outcome outcome =
        AddOne(child_source, folder, Utf8ToUtf16(item.name), &item.info, holds_source, &child);
    if (cancelled_) return;
    if ((outcome == Outcome::kAdded || outcome == Outcome::kMerged) && child->is_folder() &&
        item.info.is_directory) {
      AddContents(child_source, child, /*holds_source=*/outcome == Outcome::kAdded);
    }
  }
}

}  // namespace quillden
