/* Calls Tarnfold once from the command line, for the device tests that run it in a guest:
 *   tarnfold_call LETTER FILE_SYSTEM [LABEL]
 * LABEL is UTF-8. Prints the result code as "Tarnfold: 0xNNNN" and exits 0 only for TF_OK. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tarnfold/tarnfold.h"

/* UTF-8 to NUL-terminated UTF-16; returns 0 for a malformed sequence. */
static int Utf8ToUtf16(const char* in, WCHAR* out, size_t room) {
  size_t n = 0;
  const unsigned char* p = (const unsigned char*)in;
  while (*p) {
    unsigned long c;
    int extra;
    if (*p < 0x80) {
      c = *p, extra = 0;
    } else if ((*p & 0xE0) == 0xC0) {
      c = *p & 0x1F, extra = 1;
    } else if ((*p & 0xF0) == 0xE0) {
      c = *p & 0x0F, extra = 2;
    } else if ((*p & 0xF8) == 0xF0) {
      c = *p & 0x07, extra = 3;
    } else {
      return 0;
    }
    ++p;
    for (int i = 0; i < extra; ++i, ++p) {
      if ((*p & 0xC0) != 0x80) return 0;
      c = (c << 6) | (*p & 0x3F);
    }
    if (n + 3 > room) return 0;
    if (c >= 0x10000) {
      c -= 0x10000;
      out[n++] = (WCHAR)(0xD800 + (c >> 10));
      out[n++] = (WCHAR)(0xDC00 + (c & 0x3FF));
    } else {
      out[n++] = (WCHAR)c;
    }
  }
  out[n] = 0;
  return 1;
}

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4 || strlen(argv[1]) != 1) {
    fprintf(stderr, "usage: tarnfold_call LETTER FILE_SYSTEM [LABEL]\n");
    return 2;
  }
  WCHAR file_system[16];
  WCHAR label[256];
  if (!Utf8ToUtf16(argv[2], file_system, 16) || (argc == 4 && !Utf8ToUtf16(argv[3], label, 256))) {
    fprintf(stderr, "tarnfold_call: not UTF-8 or too long\n");
    return 2;
  }
  const DWORD result =
      Tarnfold((DWORD)(unsigned char)argv[1][0], file_system, argc == 4 ? label : NULL);
  printf("Tarnfold: 0x%04X\n", (unsigned)result);
  return result == TF_OK ? 0 : 1;
}
