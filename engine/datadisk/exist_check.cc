#include "datadisk/exist_check.h"

#include <vector>

#include "datadisk/datadisk_env.h"
#include "platform/unicode.h"
#include "quillden/result.h"

namespace quillden {

uint32_t RunExistCheck(Datadisk& disc, const FileProgressAsker& asker) {
  std::vector<DatadiskEntry*> files;
  {
    std::vector<DatadiskEntry*> order;
    if (BuildLevelOrder(disc, &order) != QD_OK) return QD_E_NOT_FOUND;
    for (DatadiskEntry* entry : order) {
      if (!entry->is_folder() && !entry->is_engine_entry()) files.push_back(entry);
    }
  }
  quenvar::platform::Env* env = DatadiskEnv();
  // Only file entries are ever deleted here, so the pointers to the others stay valid.
  for (DatadiskEntry* entry : files) {
    std::unique_ptr<quenvar::platform::ReadableFile> file;
    // Only a regular file is opened: opening a FIFO that replaced a source would block.
    // The texts go out as NUL-terminated copies: the entry may be deleted by the answer.
    const std::u16string source = entry->SourcePath();
    std::string local = quenvar::platform::Utf16ToUtf8(source);
    quenvar::platform::FileInfo info;
    bool opened = !source.empty() && env->Stat(local, true, &info).ok() && info.is_regular &&
                  env->OpenReadable(local, &file).ok();
    file.reset();
    bool cancel = false;
    if (asker.HasWindow()) cancel = asker.Ask(FP_CHECKING, source.c_str()) == FP_REPLY_CANCEL;
    if (!opened) {
      disc.SetErrorPaths(source, entry->DiscPath());
      uint32_t reply = asker.HasWindow() ? asker.Ask(FP_ASK_MISSING, source.c_str()) : 1;
      if (reply == FP_REPLY_CANCEL) return QD_E_CANCELLED;
      if (reply == 1) DeleteEntry(disc, entry);
    }
    if (cancel) return QD_E_CANCELLED;
  }
  return QD_OK;
}

}  // namespace quillden
