#include <string>

#include "datadisk/datadisk_env.h"
#include "datadisk/project/project_file.h"
#include "platform/unicode.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::project {
namespace {

using quenvar::platform::WritableFile;

// Collects UTF-16LE text and hands it to the file in large pieces.
class Utf16LeSink {
 public:
  explicit Utf16LeSink(WritableFile* file) : file_(file) {}

  uint32_t Put(std::u16string_view text) {
    for (char16_t unit : text) {
      uint8_t bytes[2];
      PutLe16(bytes, unit);
      buffer_.push_back(static_cast<char>(bytes[0]));
      buffer_.push_back(static_cast<char>(bytes[1]));
    }
    return buffer_.size() >= kFlushBytes ? Flush() : QD_OK;
  }

  uint32_t Flush() {
    if (buffer_.empty()) return QD_OK;
    bool ok = file_->Append(buffer_.data(), buffer_.size()).ok();
    buffer_.clear();
    return ok ? QD_OK : QD_E_WRITE_FILE;
  }

 private:
  static constexpr size_t kFlushBytes = 64 * 1024;
  WritableFile* file_;
  std::string buffer_;
};

// A TAB, CR or LF inside a path would split its line differently when the file is read back.
bool BreaksLine(std::u16string_view text) {
  return text.find_first_of(u"\t\r\n") != std::u16string_view::npos;
}

}  // namespace

uint32_t SaveProject(Datadisk& disc, std::u16string_view path) {
  if (disc.first_root() == nullptr) return QD_E_NOT_FOUND;
  std::unique_ptr<WritableFile> file;
  if (!DatadiskEnv()
           ->OpenWritable(quenvar::platform::Utf16ToUtf8(path),
                          quenvar::platform::WriteMode::kCreateOrTruncate, &file)
           .ok()) {
    return QD_E_FILE_OPEN;
  }

  Utf16LeSink sink(file.get());
  uint32_t result = QD_OK;
  auto put = [&](std::u16string_view text) {
    if (result == QD_OK) result = sink.Put(text);
  };
  put(kMagic);
  put(kVersion);
  put(kLabelKeyword);
  put(std::u16string_view(u"\0 ", 2));
  put(quenvar::platform::Utf16View(disc.volume_label));
  put(u"\r\n");

  // Depth first: a folder's descendants stand where the folder stands. Folders with children are
  // represented by their contents; an empty folder gets a line of its own.
  WalkTree(disc, nullptr, [&](DatadiskEntry* entry) {
    if (result != QD_OK) return false;
    if (entry->attributes() & DDF_ATTR_IMPORTED) {
      result = QD_E_NO_SOURCE_PATH;  // its content lies on the disc only
      return false;
    }
    // The boot image is a setting of the disc, kept in memory; no local file can bring it back.
    if (entry->attributes() & DDF_ATTR_BOOT_IMAGE) return true;
    if (entry->is_folder() && entry->first_child) return true;
    const std::u16string source = entry->SourcePath();
    const std::u16string disc_path = entry->DiscPath();
    if (BreaksLine(source) || BreaksLine(disc_path)) {
      disc.SetErrorPaths(source, disc_path);
      result = QD_E_BAD_CHARACTER;
      return false;
    }
    const bool folder = entry->is_folder();
    put(source);
    if (folder) put(u"|");
    put(u"\t");
    put(disc_path);
    if (folder) put(u"|");
    put(u"\r\n");
    return result == QD_OK;
  });

  // What was written stays, also after a failure.
  uint32_t flushed = sink.Flush();
  if (result == QD_OK) result = flushed;
  bool closed = file->Close().ok();
  if (result == QD_OK && !closed) result = QD_E_WRITE_FILE;
  return result;
}

}  // namespace quillden::project
