// MST_ReadFileSystem: a session of a disc imported into a data disc, at once or on a file progress
// worker.
#include <new>

#include "datadisk/datadisk.h"
#include "datadisk/file_progress_asker.h"
#include "datadisk/importer.h"
#include "drive/drive_handle.h"
#include "progress/progress_record.h"
#include "quillden/datadisk.h"
#include "quillden/export.h"
#include "quillden/result.h"

using quillden::Datadisk;

QUILLDEN_EXTERN_C QUILLDEN_API DWORD MST_ReadFileSystem(HANDLE disc_handle, HANDLE drive,
                                                        WORD session, HANDLE file_progress) {
  auto disc = Datadisk::FromHandle(disc_handle);
  if (!disc) return QD_E_INVALID_HANDLE;
  try {
    if (quillden::drive::IsBadHandle(drive) || !quillden::drive::DriveFromHandle(drive) ||
        file_progress == INVALID_HANDLE_VALUE) {
      return disc->Fail(QD_E_INVALID_ARGUMENT);
    }
    if (file_progress == nullptr) {
      return quillden::reader::Importer(*disc, drive, quillden::FileProgressAsker()).Run(session);
    }
    auto record = quillden::FileProgressRecord::FromHandle(file_progress);
    if (!record) return disc->Fail(QD_E_INVALID_HANDLE);
    if (auto running = record->worker(); running && !running->Ended()) return disc->Fail(QD_E_BUSY);
    // The worker holds the disc, so a caller that destroys it too early cannot pull it away.
    uint32_t code =
        quillden::StartFileProgressWorker(record, FP_FINISHED, [disc, record, drive, session]() {
          return quillden::reader::Importer(*disc, drive, quillden::FileProgressAsker(record))
              .Run(session);
        });
    return code == QD_OK ? QD_OK : disc->Fail(code);
  } catch (const std::bad_alloc&) {
    return disc->Fail(QD_E_OUT_OF_MEMORY);
  }
}
