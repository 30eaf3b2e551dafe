#include "app/controllers/data_disc_verifier.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "app/controllers/disc_volume.h"
#include "app/prompting/controller_ui.h"
#include "app/prompting/error_object.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/result.h"

namespace quenvar::app {
namespace {

constexpr int kChunksBetweenPumps = 500;

// A source file read through the Env. A failure leaves its errno in errno, where the report
// takes the system code from.
class SourceFile {
 public:
  SourceFile(platform::Env* env, const std::u16string& path) {
    Keep(env->OpenReadable(platform::Utf16ToUtf8(path), &file_));
  }
  bool ok() const { return file_ != nullptr; }
  uint64_t Size() const { return file_->Size(); }
  // Reads length bytes unless the file ends first; false on a failure.
  bool Read(unsigned char* buffer, uint32_t length, uint32_t* got) {
    size_t n = 0;
    const bool read = Keep(file_->ReadAt(offset_, length, buffer, &n));
    offset_ += n;
    *got = static_cast<uint32_t>(n);
    return read;
  }

 private:
  bool Keep(const platform::Status& status) {
    if (!status.ok()) errno = status.code() > 0 ? status.code() : EIO;
    return status.ok();
  }

  std::unique_ptr<platform::ReadableFile> file_;
  uint64_t offset_ = 0;
};

// Reads until length bytes or the end of the disc file.
bool ReadFull(DiscFile& file, unsigned char* buffer, uint32_t length, uint32_t* got) {
  *got = 0;
  while (*got < length) {
    uint32_t n = 0;
    if (!file.Read(buffer + *got, length - *got, &n)) return false;
    if (n == 0) break;
    *got += n;
  }
  return true;
}

uint32_t ListFolder(HANDLE disc, HANDLE first, const std::u16string& folder,
                    std::vector<DiscTreeFile>* files) {
  for (HANDLE entry = first; entry != nullptr && entry != INVALID_HANDLE_VALUE;
       entry = MST_GetNextDatadiskFile(disc, entry)) {
    WIN32_FIND_DATAW find{};
    if (const uint32_t found = MST_GetFindDataDatadiskFile(disc, entry, &find); found != 0)
      return found;
    const std::u16string path =
        folder.empty() ? std::u16string(find.cFileName) : folder + u"\\" + find.cFileName;
    if (find.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      const uint32_t listed = ListFolder(disc, MST_GetChildDatadiskFile(disc, entry), path, files);
      if (listed != 0) return listed;
      continue;
    }
    DiscTreeFile file;
    file.disc_path = path;
    if ((find.dwFileAttributes & (DDF_ATTR_BOOT_IMAGE | DDF_ATTR_IMPORTED)) == 0) {
      WCHAR source[260] = {};
      if (const uint32_t named = MST_GetSourceFilename(disc, entry, source, 260); named != 0)
        return named;
      file.source = source;
    }
    files->push_back(std::move(file));
  }
  return 0;
}

}  // namespace

uint32_t ListDiscTreeFiles(HANDLE disc, std::vector<DiscTreeFile>* files) {
  HANDLE root = MST_GetRootDatadiskFile(disc);
  if (root == INVALID_HANDLE_VALUE) return QD_E_DRIVER_REQUEST;
  return ListFolder(disc, root, u"", files);  // a null root: an empty tree
}

void DataDiscVerifier::set_env(platform::Env* env) {
  env_ = env != nullptr ? env : platform::Env::Default();
}

bool DataDiscVerifier::Prepare(HANDLE disc, int32_t drive_number, int32_t mode) {
  if (disc == nullptr || disc == INVALID_HANDLE_VALUE) return false;
  disc_ = disc;
  drive_number_ = drive_number;
  mode_ = mode;
  return true;
}

void DataDiscVerifier::PrepareFiles(int32_t mode, bool pump_messages) {
  mode_ = mode;
  pump_messages_ = pump_messages;
  cancel_.store(0);
}

void DataDiscVerifier::Report(int location, int code, std::u16string_view text) const {
  CErrorObject report(kModuleCompare, location, code, text, static_cast<uint32_t>(errno),
                      CurrentPrompter().MainWindow());
}

uint32_t DataDiscVerifier::Run(int32_t drive_number, HANDLE disc) {
  cancel_.store(0);
  HANDLE root = MST_GetRootDatadiskFile(disc);
  if (root == INVALID_HANDLE_VALUE) {
    Report(70, kErrorInvalidHandle, {});
    return QD_E_DRIVER_REQUEST;
  }
  // An empty tree has nothing that could be missing; only a verify the user asked for needs one.
  if (root == nullptr) return mode_ == kVerifyPresence ? 0 : QD_E_DRIVER_REQUEST;
  if (drive_number < 1 || drive_number > 26) return QD_E_INVALID_ARGUMENT;
  disc_ = disc;
  files_verified_ = 0;
  bytes_verified_ = 0;
  const char16_t drive_path[3] = {static_cast<char16_t>(u'A' + drive_number - 1), u':', 0};
  // The root folder's children start at root itself: walk it as the first of its siblings.
  return Walk(root, drive_path);
}

uint32_t DataDiscVerifier::Walk(HANDLE first, const std::u16string& path) {
  uint32_t result = 0;
  for (HANDLE entry = first; entry != nullptr && result == 0 && !cancel_.load();) {
    WIN32_FIND_DATAW find{};
    const uint32_t found = MST_GetFindDataDatadiskFile(disc_, entry, &find);
    if (found != 0) {
      Report(128, static_cast<int>(found), {});
      result = found;
      break;
    }
    const std::u16string disc_path = path + u"\\" + find.cFileName;
    if (find.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      HANDLE child = MST_GetChildDatadiskFile(disc_, entry);
      if (child == INVALID_HANDLE_VALUE) {
        Report(209, kErrorInvalidHandle, {});
        result = QD_E_DRIVER_REQUEST;
        break;
      }
      result = Walk(child, disc_path);
    } else if ((find.dwFileAttributes & (DDF_ATTR_BOOT_IMAGE | DDF_ATTR_IMPORTED)) == 0) {
      WCHAR source[260] = {};
      const uint32_t named = MST_GetSourceFilename(disc_, entry, source, 260);
      if (named != 0) {
        Report(146, static_cast<int>(named), {});
        result = named;
        break;
      }
      result = CompareFile(source, disc_path);
      if (result == 0 && mode_ != kVerifyFull) ++files_verified_;
      CurrentControllerUi().ProcessPendingMessages();
    }
    if (result != 0) break;
    HANDLE next = MST_GetNextDatadiskFile(disc_, entry);
    if (next == INVALID_HANDLE_VALUE) {
      Report(224, kErrorInvalidHandle, {});
      result = QD_E_DRIVER_REQUEST;
      break;
    }
    entry = next;
  }
  return cancel_.load() ? QD_E_CANCELLED : result;
}

uint32_t DataDiscVerifier::CompareFile(const std::u16string& source_path,
                                       const std::u16string& disc_path) {
  return CompareFile(source_path, disc_path,
                     [this](const std::u16string& path) { return DiscFile::Open(path, env_); });
}

uint32_t DataDiscVerifier::CompareFile(const std::u16string& source_path,
                                       const std::u16string& disc_path, const CopyOpener& open) {
  SourceFile source(env_, source_path);
  if (!source.ok()) {
    Report(279, static_cast<int>(QD_E_FILE_OPEN),
           FormatString(ids::kOpenFileFailed, {source_path}));
    return QD_E_FILE_OPEN;
  }
  std::unique_ptr<DiscFile> copy = open(disc_path);
  if (!copy) {
    Report(291, static_cast<int>(QD_E_FILE_OPEN), FormatString(ids::kOpenFileFailed, {disc_path}));
    return QD_E_FILE_OPEN;
  }
  uint64_t left = source.Size();
  if (left != copy->size() && mode_ == kVerifyPresence) {
    // Nothing else tells the user why a disc that was not verified failed.
    std::u16string text(LoadString(ids::kFilesDiffer));
    text += FormatString(ids::kSourcePath, {source_path});
    text += u"\n";
    text += FormatString(ids::kTargetPath, {disc_path});
    Report(367, static_cast<int>(QD_E_COMPARE_DIFFERS), text);
    return QD_E_COMPARE_DIFFERS;
  }
  if (left != copy->size()) return QD_E_COMPARE_DIFFERS;  // no message: the sizes tell it all
  if (mode_ == kVerifyPresence) return 0;

  int chunks = 0;
  while (left > 0 && !cancel_.load()) {
    const uint32_t length = left < kVerifyChunk ? static_cast<uint32_t>(left) : kVerifyChunk;
    uint32_t from_source = 0, from_disc = 0;
    if (!source.Read(source_buffer_, length, &from_source)) {
      Report(327, static_cast<int>(QD_E_READ_FILE),
             FormatString(ids::kReadFileFailed, {source_path}));
      return QD_E_READ_FILE;
    }
    if (!ReadFull(*copy, disc_buffer_, length, &from_disc)) {
      Report(336, static_cast<int>(QD_E_READ_FILE),
             FormatString(ids::kReadFileFailed, {disc_path}));
      return QD_E_READ_FILE;
    }
    if (from_source != from_disc || std::memcmp(source_buffer_, disc_buffer_, from_source) != 0 ||
        from_source != length) {
      std::u16string text(LoadString(ids::kFilesDiffer));
      text += FormatString(ids::kSourcePath, {source_path});
      text += u"\n";
      text += FormatString(ids::kTargetPath, {disc_path});
      Report(367, static_cast<int>(QD_E_COMPARE_DIFFERS), text);
      return QD_E_COMPARE_DIFFERS;
    }
    if (mode_ == kVerifyQuick)
      break;  // quick: the first chunk tells whether the right file was written
    left -= length;
    bytes_verified_ += length;
    if (++chunks % kChunksBetweenPumps == 0 && pump_messages_)
      CurrentControllerUi().ProcessPendingMessages();
  }
  return 0;
}

}  // namespace quenvar::app
