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

std::u16string U16(const std::string& text) { return quenvar::platform::Utf8ToUtf16(text); }

}  // namespace

bool ParseFileSystem(const std::string& text, DWORD* value) {
  static const struct {
    const char* name;
    DWORD value;
  } kNames[] = {{"iso", 1}, {"iso9660", 1}, {"udf", 2}, {"iso+udf", 3}, {"udf250", 4},
                {"iso+udf250", 5}};
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
    std::fprintf(stderr, "quillden %s: volume label '%s': %s (0x%08X)\n", command_, label->c_str(),
                 code == QD_E_INVALID_ARGUMENT ? "only A-Z, 0-9 and _ are allowed"
                                               : UTL_GetResultText(code),
                 code);
    return false;
  }
  return true;
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
  if (!std::filesystem::is_directory(source, error)) return AddOne(AbsolutePath(source), "", &entry);
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
  if (!AddOne(absolute, folder, &entry)) return false;
  std::string source_name = std::filesystem::path(absolute).filename().string();
  if (!name.empty() && name != source_name &&
      MST_RenameDatadiskFile(disc_, entry, U16(name).c_str()) == INVALID_HANDLE_VALUE) {
    DWORD code = MST_GetLastError(disc_);
    std::fprintf(stderr, "quillden %s: cannot name %s '%s': %s (0x%08X)\n", command_, source.c_str(),
                 name.c_str(), UTL_GetResultText(code), code);
    return false;
  }
  return true;
}

}  // namespace quillden::tool
