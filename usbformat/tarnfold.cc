// The one export of libtarnfold.so.
#include "tarnfold/tarnfold.h"

#include <new>

#include "format_drive.h"
#include "platform/mutex.h"

namespace {

// The steps keep their drive to themselves, but two calls on one drive must never interleave.
// It guards no data: it makes the calls take turns.
quenvar::platform::Mutex g_format_mu;

}  // namespace

QUILLDEN_EXTERN_C TARNFOLD_API DWORD Tarnfold(DWORD letter, const WCHAR* file_system,
                                              const WCHAR* label) {
  try {
    quenvar::platform::MutexLock lock(&g_format_mu);
    return quenvar::usbformat::FormatDrive(quenvar::platform::DriveMap::Load(),
                                           quenvar::platform::GetPlatformVersion(), letter,
                                           file_system, label);
  } catch (...) {
    return TF_E_TOOL_START;
  }
}
