// The exported administration of virtual drives (quillden/virtual.h): UTF-16 in, result codes
// out, and the reason of the last failure kept per thread.
#include <string>

#include "drive/virtual/virtual_admin.h"
#include "platform/env.h"
#include "platform/unicode.h"
#include "quillden/result.h"
#include "quillden/virtual.h"

namespace quillden::drive {
namespace {

thread_local std::string t_last_error;

// Records the outcome of a call for DRV_GetVirtualDriveError and returns its result.
DWORD Finish(uint32_t result, const std::string& error) {
  t_last_error = result == QD_OK ? std::string() : error;
  return result;
}

DWORD MissingArgument(const char* what) {
  return Finish(QD_E_INVALID_ARGUMENT, std::string("no ") + what + " given");
}

bool Empty(const WCHAR* text) {
  return text == nullptr || text[0] == 0;
}

std::string Utf8(const WCHAR* text) {
  return quenvar::platform::Utf16ToUtf8(quenvar::platform::Utf16View(text));
}

}  // namespace
}  // namespace quillden::drive

using quillden::drive::Empty;
using quillden::drive::Finish;
using quillden::drive::MissingArgument;
using quillden::drive::Utf8;

QUILLDEN_API DWORD DRV_CreateVirtualMedium(const WCHAR* backing, const WCHAR* kind,
                                           DWORD capacity) {
  if (Empty(backing)) return MissingArgument("backing file");
  if (Empty(kind)) return MissingArgument("media kind");
  std::string error;
  const uint32_t result = quillden::drive::CreateVirtualMedium(
      quenvar::platform::Env::Default(), Utf8(backing), Utf8(kind), capacity, &error);
  return Finish(result, error);
}

QUILLDEN_API DWORD DRV_LoadVirtualImage(const WCHAR* backing, const WCHAR* image,
                                        const WCHAR* kind) {
  if (Empty(backing)) return MissingArgument("backing file");
  if (Empty(image)) return MissingArgument("image");
  std::string error;
  const std::string chosen = Empty(kind) ? std::string() : Utf8(kind);
  return Finish(quillden::drive::LoadVirtualMedium(Utf8(backing), Utf8(image), chosen, &error),
                error);
}

QUILLDEN_API DWORD DRV_SetVirtualTray(const WCHAR* backing, BOOL open, BOOL force) {
  if (Empty(backing)) return MissingArgument("backing file");
  std::string error;
  return Finish(quillden::drive::MoveVirtualTray(Utf8(backing), open != 0, force != 0, &error),
                error);
}

QUILLDEN_API DWORD DRV_SetVirtualTiming(const WCHAR* backing, const _VIRTUALTIMING* timing) {
  if (Empty(backing)) return MissingArgument("backing file");
  if (timing == nullptr) return MissingArgument("timing");
  const quillden::drive::VirtualTiming periods = {timing->dwBlank, timing->dwFormat,
                                                  timing->dwClose, timing->dwFlush,
                                                  timing->dwBackgroundFormat};
  std::string error;
  return Finish(quillden::drive::SetVirtualBusyPeriods(Utf8(backing), periods, &error), error);
}

QUILLDEN_API DWORD DRV_DescribeVirtualDrive(const WCHAR* backing, WCHAR* buffer, DWORD capacity,
                                            DWORD* length) {
  if (Empty(backing)) return MissingArgument("backing file");
  std::string text, error;
  const uint32_t result = quillden::drive::DescribeVirtualMedium(Utf8(backing), &text, &error);
  if (result != QD_OK) return Finish(result, error);
  const std::u16string wide = quenvar::platform::Utf8ToUtf16(text);
  if (length != nullptr) *length = static_cast<DWORD>(wide.size());
  if (buffer == nullptr || capacity <= wide.size()) {
    return Finish(QD_E_INVALID_ARGUMENT, "the buffer has room for " + std::to_string(capacity) +
                                             " characters, the description needs " +
                                             std::to_string(wide.size() + 1));
  }
  quenvar::platform::CopyUtf16(wide, buffer, capacity);
  return Finish(QD_OK, std::string());
}

QUILLDEN_API DWORD DRV_InjectVirtualSense(const WCHAR* backing, BYTE opcode, DWORD nth, BYTE key,
                                          BYTE asc, BYTE ascq, DWORD repeat) {
  if (Empty(backing)) return MissingArgument("backing file");
  std::string error;
  return Finish(quillden::drive::InjectVirtualSense(Utf8(backing), opcode, nth, key, asc, ascq,
                                                    repeat, &error),
                error);
}

QUILLDEN_API DWORD DRV_GetVirtualCommandCount(const WCHAR* backing, BYTE opcode, DWORD* count) {
  if (Empty(backing)) return MissingArgument("backing file");
  if (count == nullptr) return MissingArgument("count");
  std::string error;
  uint32_t counted = 0;
  const uint32_t result =
      quillden::drive::CountVirtualCommands(Utf8(backing), opcode, &counted, &error);
  if (result == QD_OK) *count = counted;
  return Finish(result, error);
}

QUILLDEN_API DWORD DRV_GetVirtualDriveError(WCHAR* buffer, DWORD capacity) {
  const std::u16string wide = quenvar::platform::Utf8ToUtf16(quillden::drive::t_last_error);
  if (buffer != nullptr && capacity > 0) quenvar::platform::CopyUtf16(wide, buffer, capacity);
  return static_cast<DWORD>(wide.size());
}
