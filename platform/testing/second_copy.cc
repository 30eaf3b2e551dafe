// A shared library with its own copy of the platform layer, as the engine library has: the message
// window tests drive windows of the test program's copy through these functions.
#include "platform/message_window.h"

extern "C" __attribute__((visibility("default"))) LRESULT SecondCopySendMessage(HWND window, UINT message,
                                                                                WPARAM wparam, LPARAM lparam) {
  return quenvar::platform::SendMessage(window, message, wparam, lparam);
}

extern "C" __attribute__((visibility("default"))) bool SecondCopyPostMessage(HWND window, UINT message,
                                                                             WPARAM wparam, LPARAM lparam) {
  return quenvar::platform::PostMessage(window, message, wparam, lparam);
}

extern "C" __attribute__((visibility("default"))) bool SecondCopyIsWindow(HWND window) {
  return quenvar::platform::IsWindow(window);
}

extern "C" __attribute__((visibility("default"))) UINT SecondCopyRegisterWindowMessage(const char16_t* name) {
  return quenvar::platform::RegisterWindowMessage(name);
}
