// The AutoRun hook: while it is installed, every window of a process that loads the engine answers
// the registered message "QueryCancelAutoPlay" with 1 (cancel AutoPlay).
//
// "Installed" is machine-wide state, as a system-wide hook is: a POSIX shared memory object holds
// the 4-byte hook handle (the process id of the installer, 0 when none). A handle whose process has
// ended counts as none, since a hook dies with the process that set it. The registered message
// number is per process. The message-window layer calls AutoRunHookProcedure for each message it
// delivers before the window procedure (a call-window-procedure hook).
#ifndef QUILLDEN_DRIVE_MEDIA_OPS_AUTORUN_HOOK_H_
#define QUILLDEN_DRIVE_MEDIA_OPS_AUTORUN_HOOK_H_

#include <string>

#include "quillden/types.h"

namespace quillden::drive {

// Hook code of a message that is only being removed from a queue (never answered).
inline constexpr int kHookCodeNoRemove = 3;

// The shared memory object's name: QUENVAR_AUTORUN_SHM when set (tests), else "/quenvar-autorun".
std::string AutoRunSharedName();

// True when a live hook is installed (by any process).
bool AutoRunHookInstalled();

// The hook procedure. Returns true with *reply = 1 when it answered the message itself (the
// message is "QueryCancelAutoPlay" and the hook is installed); false when the message goes on to
// the next hook and the window procedure.
bool AutoRunHookProcedure(int code, HWND window, UINT message, WPARAM wparam, LPARAM lparam, LRESULT* reply);

}  // namespace quillden::drive

#endif  // QUILLDEN_DRIVE_MEDIA_OPS_AUTORUN_HOOK_H_
