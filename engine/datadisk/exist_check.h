// The existence check: every file entry's source must still open for reading. Runs on the
// caller's thread (no file progress object) or as a worker that reports each file.
#ifndef QUILLDEN_DATADISK_EXIST_CHECK_H_
#define QUILLDEN_DATADISK_EXIST_CHECK_H_

#include <cstdint>

#include "datadisk/datadisk.h"
#include "datadisk/file_progress_asker.h"

namespace quillden {

// Returns 0, 0x08000032 after a cancel, or 0x08000015 when the tree cannot be enumerated. Entries
// whose source cannot be opened are deleted (without a window, or when the caller answers 1).
uint32_t RunExistCheck(Datadisk& disc, const FileProgressAsker& asker);

}  // namespace quillden

#endif  // QUILLDEN_DATADISK_EXIST_CHECK_H_
