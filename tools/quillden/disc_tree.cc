#include "disc_tree.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/mastering.h"
#include "quillden/result.h"

namespace quillden::tool {
namespace {

std::u16string U16(const std::string& text) {
  return quenvar::platform::Utf8ToUtf16(text);
}

}  // namespace

bool ParseFileSystem(const std::string& text, DWORD* value) {
  static const struct {
    const char* name;
    DWORD value;
  } kNames[] = {{"iso", 1},     {"iso9660", 1}, {"udf", 2},
                {"iso+udf", 3}, {"udf250", 4},  {"iso+udf250", 5}};
  for (const auto& entry : kNames) {
    if (text == entry.name) {
      *value = entry.value;
      return true;
    }
  }
  if (text.size() == 1 && text[0] >= '1' && text[0] <= '5') {
    *value = static_cast<DWORD>(text[0] - '0');
    return true;
  }
  return false;
}

std::string DiscPath(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  size_t start = path.find_first_not_of('\\');
  return start == std::string::npos ? std::string() : path.substr(start);
}

std::string AbsolutePath(const std::string& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.lexically_normal().string();
}

DiscTreeBuilder::DiscTreeBuilder(const char* command) : command_(command) {
  disc_ = MST_CreateDatadisk();
  if (disc_ == INVALID_HANDLE_VALUE) disc_ = nullptr;
}

DiscTreeBuilder::~DiscTreeBuilder() {
  if (disc_) MST_DestroyDatadisk(disc_);
}

bool DiscTreeBuilder::Prepare(DWORD file_system, const std::string* label) {
  if (!disc_) {
    std::fprintf(stderr, "quillden %s: cannot create the disc: %s (0x%08X)\n", command_,
                 UTL_GetResultText(QD_E_OUT_OF_MEMORY), QD_E_OUT_OF_MEMORY);
    return false;
  }
  DWORD code = MST_SetFileSystem(disc_, file_system);
  if (code != QD_OK) {
    std::fprintf(stderr, "quillden %s: file system selection: %s (0x%08X)\n", command_,
                 UTL_GetResultText(code), code);
    return false;
  }
  if (label && (code = MST_SetVolumeLabel(disc_, U16(*label).c_str())) != QD_OK) {
    std::fprintf(
        stderr, "quillden %s: volume label '%s': %s (0x%08X)\n", command_, label->c_str(),
        code == QD_E_INVALID_ARGUMENT ? "only A-Z, 0-9 and _ are allowed" : UTL_GetResultText(code),
        code);
    return false;
  }
  return true;
}

bool DiscTreeBuilder::CheckNotEmpty() const {
  if (MST_GetRootDatadiskFile(disc_) != nullptr) return true;
  std::fprintf(stderr, "quillden %s: nothing to write: the sources hold no file or folder\n",
               command_);
  return false;
}

bool DiscTreeBuilder::AddOne(const std::string& source, const std::string& target, HANDLE* entry) {
  *entry = MST_AddDatadiskFile(disc_, U16(source).c_str(), U16(target).c_str());
  if (*entry != INVALID_HANDLE_VALUE && *entry != nullptr) return true;
  DWORD code = MST_GetLastError(disc_);
  std::fprintf(stderr, "quillden %s: cannot add %s: %s (0x%08X)\n", command_, source.c_str(),
               UTL_GetResultText(code), code);
  return false;
}

bool DiscTreeBuilder::AddSource(const std::string& source) {
  std::error_code error;
  HANDLE entry;
  if (!std::filesystem::is_directory(source, error))
    return AddOne(AbsolutePath(source), "", &entry);
  for (const auto& child : std::filesystem::directory_iterator(source, error)) {
    std::string path = AbsolutePath(child.path().string());
    std::string name = child.path().filename().string();
    bool folder = child.is_directory(error) && !child.is_symlink(error);
    if (!AddOne(path, folder ? name : "", &entry)) return false;
  }
  if (error) {
    std::fprintf(stderr, "quillden %s: cannot read %s: %s\n", command_, source.c_str(),
                 error.message().c_str());
    return false;
  }
  return true;
}

bool DiscTreeBuilder::AddGraft(const std::string& target, const std::string& source) {
  std::error_code error;
  std::string absolute = AbsolutePath(source);
  std::string disc_target = DiscPath(target);
  for (size_t start = 0; start <= disc_target.size();) {
    size_t slash = disc_target.find('\\', start);
    if (slash == std::string::npos) slash = disc_target.size();
    const std::string component = disc_target.substr(start, slash - start);
    if (component == "." || component == "..") {
      std::fprintf(
          stderr,
          "quillden %s: cannot add %s as '%s': no file or folder on a disc may be named '%s'\n",
          command_, source.c_str(), target.c_str(), component.c_str());
      return false;
    }
    start = slash + 1;
  }
  HANDLE entry;
  if (std::filesystem::is_directory(source, error)) {
    if (disc_target.empty()) return AddSource(source);
    return AddOne(absolute, disc_target, &entry);
  }
  bool into_folder = target.empty() || target.back() == '/' || target.back() == '\\';
  std::string folder = disc_target, name;
  if (!into_folder) {
    size_t slash = disc_target.rfind('\\');
    folder = slash == std::string::npos ? "" : disc_target.substr(0, slash);
    name = slash == std::string::npos ? disc_target : disc_target.substr(slash + 1);
  } else if (!folder.empty() && folder.back() == '\\') {
    folder.pop_back();
  }
  std::string source_name = std::filesystem::path(absolute).filename().string();
  if (name.empty() || name == source_name) return AddOne(absolute, folder, &entry);
  return AddNamed(absolute, source, folder, name);
}

// The tree adds a file under its own name, and renaming it in its folder would meet the file
// itself (a change of case) or a sibling that has the source's name but not the target's. So the
// file is added in a folder of its own, named there, and moved into place: the target folder's
// duplicate check then sees the name the file will have.
bool DiscTreeBuilder::AddNamed(const std::string& absolute, const std::string& source,
                               const std::string& folder, const std::string& name) {
  std::u16string staging_name;
  for (int n = 0; staging_name.empty(); ++n) {
    std::u16string candidate = U16("quillden graft " + std::to_string(n));
    if (MST_FindDatadiskFile(disc_, nullptr, candidate.c_str()) == nullptr)
      staging_name = candidate;
  }
  HANDLE staging = MST_CreateDatadiskFolder(disc_, nullptr, staging_name.c_str());
  auto fail = [&](const char* step) {
    DWORD code = MST_GetLastError(disc_);
    std::fprintf(stderr, "quillden %s: cannot add %s as '%s': %s: %s (0x%08X)\n", command_,
                 source.c_str(), (folder.empty() ? name : folder + "\\" + name).c_str(), step,
                 UTL_GetResultText(code), code);
    if (staging != INVALID_HANDLE_VALUE && staging != nullptr)
      MST_DeleteDatadiskFile(disc_, staging);
    return false;
  };
  if (staging == INVALID_HANDLE_VALUE || staging == nullptr) return fail("staging folder");
  HANDLE entry = MST_AddDatadiskFile(disc_, U16(absolute).c_str(), staging_name.c_str());
  if (entry == INVALID_HANDLE_VALUE || entry == nullptr) return fail("adding");
  // A change of case alone goes by way of a name the file cannot have.
  const std::u16string wanted = U16(name);
  if (MST_FindDatadiskFile(disc_, staging, wanted.c_str()) == entry &&
      (entry = MST_RenameDatadiskFile(disc_, entry, u"~")) == INVALID_HANDLE_VALUE) {
    return fail("naming");
  }
  if ((entry = MST_RenameDatadiskFile(disc_, entry, wanted.c_str())) == INVALID_HANDLE_VALUE)
    return fail("naming");
  HANDLE parent = nullptr;
  if (!folder.empty()) {
    const std::u16string folder_path = U16(folder);
    parent = MST_FindFullPathDatadiskFile(disc_, folder_path.c_str(), nullptr);
    if (parent == INVALID_HANDLE_VALUE || parent == nullptr) {
      parent = MST_CreateFullPathDatadiskFolder(disc_, folder_path.c_str());
    }
    if (parent == INVALID_HANDLE_VALUE || parent == nullptr) return fail("target folder");
  }
  WIN32_FIND_DATAW data{};
  if (MST_GetFindDataDatadiskFile(disc_, entry, &data) != QD_OK) return fail("adding");
  const DWORD moved = MST_MoveDatadiskFile(disc_, entry, parent, &data);
  if (moved != QD_OK) {
    MST_SetLastError(disc_, moved);
    return fail("placing");
  }
  MST_DeleteDatadiskFile(disc_, staging);
  return true;
}

}  // namespace quillden::tool
