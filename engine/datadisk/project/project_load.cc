#include <cstring>
#include <string>

#include "datadisk/adder.h"
#include "datadisk/datadisk_env.h"
#include "datadisk/file_progress_asker.h"
#include "datadisk/project/project_file.h"
#include "datadisk/project/project_reader.h"
#include "filesystems/ansi_code_page.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/mastering.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::project {
namespace {

using Read = ProjectReader::Read;

std::u16string ToUtf16(Encoding encoding, const std::u16string& units) {
  if (encoding == Encoding::kUtf16) return units;
  std::string bytes(units.begin(), units.end());  // each unit holds one byte
  return fs::AnsiCodePage::System().ToUtf16(bytes);
}

// Reads the exact text; false on a mismatch, the end or a failed read (*failed tells which).
bool Expect(ProjectReader& reader, std::u16string_view text, bool* failed) {
  for (char16_t wanted : text) {
    char16_t unit = 0;
    Read read = reader.Next(&unit);
    if (read == Read::kError) *failed = true;
    if (read != Read::kUnit || unit != wanted) return false;
  }
  return true;
}

// The magic of each variant: 76 bytes of UTF-16LE, or the same 38 characters as bytes.
bool HeadIsUtf16Magic(const uint8_t* head, size_t size) {
  if (size < 2 * kMagic.size()) return false;
  for (size_t i = 0; i < kMagic.size(); ++i) {
    if (GetLe16(head + 2 * i) != kMagic[i]) return false;
  }
  return true;
}

bool HeadIsAnsiMagic(const uint8_t* head, size_t size) {
  if (size < kMagic.size()) return false;
  for (size_t i = 0; i < kMagic.size(); ++i) {
    if (head[i] != kMagic[i]) return false;
  }
  return true;
}

// Everything up to and including the label: magic, version, keyword and the label line. Sets the
// disc's label. Returns 0 or the code.
uint32_t ReadHead(Datadisk& disc, ProjectReader& reader) {
  bool failed = false;
  if (!Expect(reader, kMagic, &failed) || !Expect(reader, kVersion, &failed)) {
    return failed ? QD_E_READ_FILE : QD_E_WRONG_FORM;
  }
  // The keyword, up to the first space; writers put a 0x0000 unit before the space, or not.
  std::u16string keyword;
  for (;;) {
    char16_t unit = 0;
    Read read = reader.Next(&unit);
    if (read == Read::kError) return QD_E_READ_FILE;
    if (read == Read::kEnd || unit == u'\n') return QD_E_WRONG_FORM;
    if (unit == u' ') break;
    if (unit == 0) continue;
    keyword.push_back(unit);
    if (keyword.size() > kLabelKeyword.size()) return QD_E_WRONG_FORM;
  }
  if (keyword != kLabelKeyword) return QD_E_WRONG_FORM;

  const size_t limit =
      reader.encoding() == Encoding::kUtf16 ? kMaxLabelLineUnits : kMaxLabelLineBytes;
  std::u16string line;
  for (;;) {
    char16_t unit = 0;
    Read read = reader.Next(&unit);
    if (read == Read::kError) return QD_E_READ_FILE;
    if (read == Read::kEnd) break;  // a project without entries may end after its label
    line.push_back(unit);
    if (line.size() > limit) return QD_E_INVALID_ARGUMENT;
    if (unit == u'\n') break;
  }
  if (!line.empty() && line.back() == u'\n') line.pop_back();
  if (!line.empty() && line.back() == u'\r') line.pop_back();
  std::u16string label = ToUtf16(reader.encoding(), line);
  // The label's own rules: at most 32 units, upper-case letters, digits, "_" and double-byte
  // characters only.
  return MST_SetVolumeLabel(disc.handle(), label.c_str());
}

// One entry line.
struct EntryLine {
  std::u16string source;
  std::u16string disc_path;
  bool folder = false;
};

enum class LineResult { kLine, kEnd, kTooLong, kMalformed, kError };

LineResult ReadEntryLine(ProjectReader& reader, EntryLine* line) {
  const size_t limit = reader.encoding() == Encoding::kUtf16 ? kMaxPartUnits : kMaxPartBytes;
  std::u16string source;
  std::u16string disc_path;
  char16_t unit = 0;
  // The source, up to the TAB. Blank lines are passed over.
  for (;;) {
    Read read = reader.Next(&unit);
    if (read == Read::kError) return LineResult::kError;
    if (read == Read::kEnd) return source.empty() ? LineResult::kEnd : LineResult::kMalformed;
    if (unit == u'\t') break;
    if (unit == u'\r' || unit == u'\n') {
      if (source.empty()) continue;
      return LineResult::kMalformed;
    }
    // A zero unit would cut the path short where the system reads it.
    if (unit == 0) return LineResult::kMalformed;
    source.push_back(unit);
    if (source.size() > limit) return LineResult::kTooLong;
  }
  // The disc path, up to the line end (or the end of the file).
  for (;;) {
    Read read = reader.Next(&unit);
    if (read == Read::kError) return LineResult::kError;
    if (read == Read::kEnd || unit == u'\n') break;
    if (unit == 0) return LineResult::kMalformed;
    disc_path.push_back(unit);
    // One more for a carriage return that may still come.
    if (disc_path.size() > limit + 1) return LineResult::kTooLong;
  }
  if (!disc_path.empty() && disc_path.back() == u'\r') disc_path.pop_back();
  if (disc_path.size() > limit) return LineResult::kTooLong;

  // Convert first: in a double-byte code page "|" may be the second byte of a character.
  line->source = ToUtf16(reader.encoding(), source);
  line->disc_path = ToUtf16(reader.encoding(), disc_path);
  line->folder = !line->source.empty() && line->source.back() == u'|' && !line->disc_path.empty() &&
                 line->disc_path.back() == u'|';
  if (line->folder) {
    line->source.pop_back();
    line->disc_path.pop_back();
  }
  return LineResult::kLine;
}

// A folder without a source: made with the current time, through the protocol's name and
// duplicate questions. Returns 0, the code of the failure (recorded as the disc's last error), or
// 0x08000032 after a cancel.
uint32_t CreateSourcelessFolder(Datadisk& disc, const FileProgressAsker& asker,
                                std::u16string_view disc_path) {
  std::u16string_view name = LastDiscComponent(disc_path);
  std::u16string_view folder_path = disc_path.substr(0, disc_path.size() - name.size());
  DatadiskEntry* parent = nullptr;
  uint32_t code = FindOrCreateFolderPath(disc, folder_path, &parent);
  auto fail = [&](uint32_t failure, std::u16string_view shown) {
    disc.SetErrorPaths(shown, disc_path);
    return disc.Fail(failure);
  };
  if (code != QD_OK) return fail(code, name);
  if (name.empty()) return fail(QD_E_INVALID_ARGUMENT, name);
  if (HasBadCharacter(name)) return fail(QD_E_BAD_CHARACTER, name);

  std::u16string chosen(name);
  for (int question = 0; question < 2 && asker.HasWindow(); ++question) {
    bool ask =
        question == 0 ? chosen.size() > kMaxEntryName : chosen.find(u';') != std::u16string::npos;
    if (!ask) continue;
    char16_t buffer[MAX_PATH];
    quenvar::platform::CopyUtf16(chosen, buffer, MAX_PATH);
    uint32_t reply = asker.Ask(FP_ASK_NAME, buffer);
    if (reply == FP_REPLY_CANCEL) return disc.Fail(QD_E_CANCELLED);
    if (reply == 1) return fail(QD_E_SKIPPED_NAME, chosen);
    if (reply == 2) {
      buffer[MAX_PATH - 1] = 0;
      std::u16string renamed(quenvar::platform::Utf16View(buffer));
      if (renamed.empty()) return fail(QD_E_INVALID_ARGUMENT, chosen);
      if (HasBadCharacter(renamed)) return fail(QD_E_BAD_CHARACTER, renamed);
      chosen = std::move(renamed);
    }
  }

  if (DatadiskEntry* existing = FindChild(disc, parent, chosen)) {
    if (!asker.HasWindow()) return fail(QD_E_EXISTS, chosen);
    std::u16string shown = existing->DiscPath();
    uint32_t reply = asker.Ask(FP_ASK_DUPLICATE, shown.c_str());
    if (reply == FP_REPLY_CANCEL) return disc.Fail(QD_E_CANCELLED);
    if (reply == 0) return fail(QD_E_KEEP_EXISTING, chosen);
    if (reply != 1) return QD_OK;             // left out at the caller's wish
    if (existing->is_folder()) return QD_OK;  // the folder is there already; nothing to merge
    DeleteEntry(disc, existing);
  }
  DatadiskEntry* created = nullptr;
  code = CreateFolderEntry(disc, parent, chosen, &created);
  return code == QD_OK ? QD_OK : fail(code, chosen);
}

// The worker: every entry line in turn. Stops at the end of the file (0), at a line that breaks
// the format, or after a cancel.
uint32_t LoadEntries(Datadisk& disc, ProjectReader& reader,
                     const std::shared_ptr<FileProgressRecord>& record) {
  FileProgressAsker asker(record);
  for (;;) {
    EntryLine line;
    switch (ReadEntryLine(reader, &line)) {
      case LineResult::kEnd:
        return QD_OK;
      case LineResult::kTooLong:
        return disc.Fail(QD_E_INVALID_ARGUMENT);
      case LineResult::kMalformed:
        return disc.Fail(QD_E_WRONG_FORM);
      case LineResult::kError:
        return disc.Fail(QD_E_READ_FILE);
      case LineResult::kLine:
        break;
    }
    if (line.folder && line.source.empty()) {
      if (CreateSourcelessFolder(disc, asker, line.disc_path) == QD_E_CANCELLED)
        return QD_E_CANCELLED;
      continue;
    }
    if (line.source.empty()) {
      // A file needs a source to be read from; the line is left out.
      disc.SetErrorPaths(line.source, line.disc_path);
      disc.Fail(QD_E_SOURCE_MISSING);
      continue;
    }
    Adder adder(disc, asker);
    adder.AddAt(line.source, line.disc_path);
    if (adder.result() == QD_E_CANCELLED) return QD_E_CANCELLED;
  }
}

}  // namespace

uint32_t LoadProject(const std::shared_ptr<Datadisk>& disc,
                     const std::shared_ptr<FileProgressRecord>& record, std::u16string_view path) {
  std::unique_ptr<quenvar::platform::ReadableFile> file;
  if (!DatadiskEnv()->OpenReadable(quenvar::platform::Utf16ToUtf8(path), &file).ok()) {
    return QD_E_FILE_OPEN;
  }
  uint8_t head[2 * kMagic.size()];
  size_t got = 0;
  if (!file->ReadAt(0, sizeof head, head, &got).ok()) return QD_E_READ_FILE;
  // A short ANSI project (an empty label and no entries) is shorter than the UTF-16 magic alone.
  Encoding encoding;
  if (HeadIsUtf16Magic(head, got)) {
    encoding = Encoding::kUtf16;
  } else if (HeadIsAnsiMagic(head, got)) {
    encoding = Encoding::kAnsi;
  } else {
    return QD_E_WRONG_FORM;
  }

  auto reader = std::make_shared<ProjectReader>(std::move(file), encoding);
  uint32_t code = ReadHead(*disc, *reader);
  if (code != QD_OK) return code;
  return StartFileProgressWorker(record, FP_FINISHED, [disc, reader, record]() -> uint32_t {
    try {
      return LoadEntries(*disc, *reader, record);
    } catch (const std::bad_alloc&) {
      return disc->Fail(QD_E_OUT_OF_MEMORY);
    }
  });
}

}  // namespace quillden::project
