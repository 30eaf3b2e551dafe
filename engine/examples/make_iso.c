/* make_iso: masters an ISO 9660 + Joliet + UDF 1.02 image of one folder with the Quillden engine.
 *
 *   make_iso FOLDER IMAGE.iso [LABEL]
 *
 * Shows the engine's usual pattern: create a data disc, fill it, start a long job with a progress
 * object, poll it until it ends, read the result code, destroy what was created. Build it with
 *   cc make_iso.c $(pkg-config --cflags --libs quillden) -o make_iso */
#include <quillden/quillden.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

/* The engine takes UTF-16 strings; local paths come as UTF-8. Returns a malloc'ed copy, with
 * U+FFFD for malformed sequences. */
static WCHAR* to_utf16(const char* text) {
  const unsigned char* s = (const unsigned char*)text;
  WCHAR* out = malloc((strlen(text) + 1) * sizeof(WCHAR)); /* never more units than bytes */
  size_t n = 0;
  if (out == NULL) return NULL;
  while (*s != 0) {
    unsigned long code = 0xFFFD;
    int extra = 0;
    if (*s < 0x80) code = *s;
    else if ((*s & 0xE0) == 0xC0) code = *s & 0x1F, extra = 1;
    else if ((*s & 0xF0) == 0xE0) code = *s & 0x0F, extra = 2;
    else if ((*s & 0xF8) == 0xF0) code = *s & 0x07, extra = 3;
    ++s;
    for (; extra > 0; --extra, ++s) {
      if ((*s & 0xC0) != 0x80) {
        code = 0xFFFD;
        break;
      }
      code = (code << 6) | (*s & 0x3F);
    }
    if (code >= 0x10000 && code <= 0x10FFFF) {
      code -= 0x10000;
      out[n++] = (WCHAR)(0xD800 + (code >> 10));
      out[n++] = (WCHAR)(0xDC00 + (code & 0x3FF));
    } else {
      out[n++] = (WCHAR)code;
    }
  }
  out[n] = 0;
  return out;
}

static int fail(const char* what, DWORD code) {
  fprintf(stderr, "make_iso: %s: %s (0x%08X)\n", what, UTL_GetResultText(code), (unsigned)code);
  return 1;
}

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    fprintf(stderr, "usage: make_iso FOLDER IMAGE.iso [LABEL]\n");
    return 2;
  }
  WCHAR* folder = to_utf16(argv[1]);
  WCHAR* image = to_utf16(argv[2]);
  WCHAR* label = to_utf16(argc == 4 ? argv[3] : "MAKE_ISO");
  WCHAR empty[1] = {0};
  int status = 1;

  HANDLE disc = MST_CreateDatadisk();
  HANDLE progress = PRG_CreateProgress();
  if (disc == NULL || progress == NULL || folder == NULL || image == NULL || label == NULL) {
    fprintf(stderr, "make_iso: out of memory\n");
    goto done;
  }
  MST_SetFileSystem(disc, MST_FS_ISO9660_JOLIET_UDF102);
  MST_SetVolumeLabel(disc, label);

  /* With an empty target the folder keeps its own name in the disc's root. */
  if (MST_AddDatadiskFile(disc, folder, empty) == INVALID_HANDLE_VALUE) {
    status = fail("cannot add the folder", MST_GetLastError(disc));
    goto done;
  }

  DWORD result = MST_CreateISOImage(image, disc, progress, 1);
  if (result != QD_OK) {
    status = fail("cannot start the image", result);
    goto done;
  }
  /* The job runs on the engine's worker; poll its progress words as a window's timer would. */
  for (;;) {
    DWORD phase = 0, done_blocks = 0, end_blocks = 0;
    DWORD state = PRG_GetProgressStatus(progress, &phase, &done_blocks, &end_blocks);
    if (state != PRG_STATUS_RUNNING && state != PRG_STATUS_NOT_STARTED &&
        state != PRG_STATUS_CANCEL_REQUESTED)
      break;
    if (end_blocks > 0) fprintf(stderr, "\r%u of %u blocks", (unsigned)done_blocks, (unsigned)end_blocks);
    struct timespec pause = {0, 100 * 1000 * 1000};
    nanosleep(&pause, NULL);
  }
  fprintf(stderr, "\n");
  result = PRG_GetProgressErrorCode(progress);
  if (result != QD_OK) {
    status = fail("the image was not written", result);
    goto done;
  }
  printf("%s: written\n", argv[2]);
  status = 0;

done:
  if (progress != NULL) PRG_DestroyProgress(progress);
  if (disc != NULL) MST_DestroyDatadisk(disc);
  free(folder);
  free(image);
  free(label);
  return status;
}
