// Adding local files and folders to a data disc: the work behind MST_AddDatadiskFile and the add
// worker of MST_AddDatadiskFileProgress. One Adder serves one call; it asks its questions through a
// FileProgressAsker and stops at once after a cancel. Entries added before a failure or a cancel
// stay in the tree.
#ifndef QUILLDEN_DATADISK_ADDER_H_
#define QUILLDEN_DATADISK_ADDER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "datadisk/datadisk.h"
#include "datadisk/file_progress_asker.h"
#include "platform/env.h"

namespace quillden {

// Checks made before an add starts (on the caller's thread): a non-empty source whose attributes
// can be read (0x08000013, the source copied to the error file name), and no bad character in the
// last component of the source or the target (0x08000044). Returns 0 or the code.
uint32_t CheckAddArguments(Datadisk& disc, std::u16string_view source, std::u16string_view target);

class Adder {
 public:
  Adder(Datadisk& disc, FileProgressAsker asker);

  // Adds source (a POSIX path) under the disc path target. Returns the new entry (for a folder,
  // its entry, also when it merged into an existing folder), the existing entry when the caller
  // kept it, or null. Stores every failure as the disc's last error.
  DatadiskEntry* Add(std::u16string_view source, std::u16string_view target);

  // As Add, but target is the disc path of the new entry for a file source as well: its last
  // component names the entry (a project file records renamed entries this way).
  DatadiskEntry* AddAt(std::u16string_view source, std::u16string_view disc_path) {
    return Add(source, disc_path, /*target_names_entry=*/true);
  }

  // The worker's result: 0 when the entry was added or merged, else the code the add ended with,
  // or 0xFFFFFFFF when it was skipped at the caller's request.
  uint32_t result() const { return result_; }

 private:
  enum class Outcome { kAdded, kMerged, kKept, kLeftOut, kCancelled };

  DatadiskEntry* Add(std::u16string_view source, std::u16string_view target,
                     bool target_names_entry);

  // Makes one entry for source named name in folder, asking what the protocol asks. *entry gets
  // the new entry (kAdded), the existing folder (kMerged) or the existing entry (kKept). listed is
  // what the folder listing found for source (a link to a regular file already followed), or null
  // to look source up here. source_follows_folder: folder's source path is source's folder, so a
  // new entry that keeps its local name stores no source path of its own.
  Outcome AddOne(const std::u16string& source, DatadiskEntry* folder, std::u16string name,
                 const quenvar::platform::FileInfo* listed, bool source_follows_folder,
                 DatadiskEntry** entry);
  // The steps of AddOne. Each returns how the entry ended, or nothing when the add goes on.
  // Puts a name too long or holding ";" to the caller, who may replace *name.
  std::optional<Outcome> AskForName(const std::u16string& source, DatadiskEntry* folder,
                                    std::u16string* name);
  // Asks about a source that cannot be read back (found: its find data, null when missing).
  std::optional<Outcome> CheckReadable(const std::u16string& source, DatadiskEntry* folder,
                                       const std::u16string& name,
                                       const quenvar::platform::FileInfo* found);
  // Asks to add, or what to do with an entry of the same name: keep it (kKept), merge a folder
  // into it (kMerged) or replace it (deleted here).
  std::optional<Outcome> ClearTheWay(const std::u16string& source, DatadiskEntry* folder,
                                     const std::u16string& name, bool new_is_folder,
                                     DatadiskEntry** entry);
  // Names created, inserts it into folder and records its source; frees it on failure.
  Outcome PlaceNewEntry(DatadiskEntry* created, const std::u16string& source, DatadiskEntry* folder,
                        const std::u16string& name, bool source_follows_folder,
                        DatadiskEntry** entry);
  // Adds the contents of a local folder into folder, recursively. holds_source: folder's source
  // path is source (it was made from it, not merged into).
  void AddContents(const std::u16string& source, DatadiskEntry* folder, bool holds_source);
  // Asks and handles the reply's cancel; returns the reply.
  uint32_t Ask(uint32_t code, const char16_t* text);
  // Records a failure of one entry: its code (also as the disc's last error) and the error paths.
  Outcome LeaveOut(uint32_t code, std::u16string_view source, std::u16string_view disc_path);

  Datadisk& disc_;
  FileProgressAsker asker_;
  quenvar::platform::Env* env_;
  bool cancelled_ = false;
  uint32_t last_code_ = 0xFFFFFFFFu;  // code of the latest left-out entry of this add
  uint32_t result_ = 0xFFFFFFFFu;
};

}  // namespace quillden

#endif  // QUILLDEN_DATADISK_ADDER_H_
