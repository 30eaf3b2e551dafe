/* Quillden engine: the scalar types, handles and shared records of the C interface.
 *
 * The interface keeps the widths of its original platform: DWORD is 32 bits, WORD 16, BYTE 8, BOOL a
 * 32-bit int, and WCHAR a UTF-16 code unit (char16_t). Every string crosses the interface as
 * NUL-terminated UTF-16. Handles are opaque pointer-sized values; null, and for some exports
 * INVALID_HANDLE_VALUE (all bits set), mean "none". Records keep their documented field order and
 * widths; their sizes are checked at compile time. */
#ifndef QUILLDEN_TYPES_H_
#define QUILLDEN_TYPES_H_

#include <stddef.h>
#include <stdint.h>
#ifdef __cplusplus
#include <cstdint>
#else
#include <uchar.h>
#endif

#include "quillden/export.h"

typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int32_t BOOL;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef uint64_t ULONGLONG;
typedef char16_t WCHAR;
typedef void* HANDLE;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;

/* A message window of the platform layer (see platform/message_window.h). Messages sent to it are
 * dispatched on the thread that created it. */
typedef struct HWND__* HWND;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

/* A file time: 100-ns units since 1601-01-01 UTC, as two 32-bit halves. */
typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME;

#define MAX_PATH 260

/* The attribute block of a disc entry (and of a local file found by enumeration). */
typedef struct _WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW;

#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u

#ifdef __cplusplus
static_assert(sizeof(FILETIME) == 8, "FILETIME is 8 bytes");
static_assert(sizeof(WIN32_FIND_DATAW) == 592, "WIN32_FIND_DATAW is 592 bytes");
#else
_Static_assert(sizeof(FILETIME) == 8, "FILETIME is 8 bytes");
_Static_assert(sizeof(WIN32_FIND_DATAW) == 592, "WIN32_FIND_DATAW is 592 bytes");
#endif

#endif /* QUILLDEN_TYPES_H_ */
