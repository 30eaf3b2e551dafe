// Platform layer: message windows.
//
// A message window is an object owned by the thread that created it, with a procedure that handles
// its messages. SendMessage from the owner thread calls the procedure directly; from any other thread
// it queues the message and blocks until the owner thread dispatches it (in PumpMessages, or while
// the owner itself blocks in a SendMessage to another thread), then returns the procedure's reply.
// PostMessage only queues. The engine's workers use this to ask the program questions synchronously
// (the file progress protocol) and to post notices (completion, eject button).
//
// HWND values are stable pointers: a destroyed window is kept as a dead shell for the life of the
// process, so IsWindow on a handle that once was a window is always safe, also when the handle
// crosses from the program into the engine library (each links its own copy of this layer; they
// meet only through the window object). Functions here are thread-safe.
#ifndef QUENVAR_PLATFORM_MESSAGE_WINDOW_H_
#define QUENVAR_PLATFORM_MESSAGE_WINDOW_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "quillden/types.h"

namespace quenvar::platform {

using WindowProcedure = std::function<LRESULT(HWND window, UINT message, WPARAM wparam, LPARAM lparam)>;

// Creates a window owned by the calling thread. Never returns null.
HWND CreateMessageWindow(WindowProcedure procedure);

// Destroys a window. Messages still queued for it are dropped; senders blocked on it return 0.
// Must be called on the owner thread.
void DestroyMessageWindow(HWND window);

// True for a live window; false for null, INVALID_HANDLE_VALUE and destroyed windows.
bool IsWindow(HWND window);

// Delivers a message and returns the procedure's reply; 0 when the window is not (or no longer) a
// window.
LRESULT SendMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Queues a message for the owner thread; false when the window is not a window.
bool PostMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Returns the process-wide number of a named message, in 0xC000..0xFFFF; the same name (compared
// without regard to case) gives the same number. 0 for an empty name.
UINT RegisterWindowMessage(std::u16string_view name);

// Dispatches every message pending for the calling thread's windows (sent and posted) and returns
// how many were dispatched. Never blocks.
size_t PumpMessages();

// Blocks until a message is pending for the calling thread or timeout_ms passes (UINT32_MAX:
// forever). True when a message is pending.
bool WaitForMessages(uint32_t timeout_ms);

// A file descriptor (eventfd) that is readable while the calling thread has pending messages; for
// event loops such as Qt's QSocketNotifier. Owned by the layer; do not close it.
int MessageNotifyFd();

}  // namespace quenvar::platform

#endif  // QUENVAR_PLATFORM_MESSAGE_WINDOW_H_
