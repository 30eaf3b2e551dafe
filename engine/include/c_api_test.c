/* The engine's public headers compile as plain C, and the C interface works from C. */
#include <stdio.h>
#include <string.h>

#include "quillden/quillden.h"

static int failures = 0;

#define CHECK(cond)                                                 \
  do {                                                              \
    if (!(cond)) {                                                  \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                   \
    }                                                               \
  } while (0)

int main(void) {
  DWORD phase = 1, done = 1, end = 1;
  _SESSIONTRACKPROGRESS track;
  HANDLE progress = PRG_CreateProgress();
  HANDLE file_progress = PRG_CreateFileProgress();

  CHECK(progress != NULL);
  CHECK(PRG_GetProgressStatus(progress, &phase, &done, &end) == PRG_STATUS_NOT_STARTED);
  CHECK(phase == 0 && done == 0 && end == 0);
  memset(&track, 0xAB, sizeof track);
  CHECK(PRG_GetSessionTrackProgress(progress, &track) == PRG_STATUS_NOT_STARTED);
  CHECK(track.dwSession == 0 && track.dwTotalSectors == 0);
  CHECK(PRG_CancelProgress(progress) == QD_E_INVALID_HANDLE);
  CHECK(PRG_GetProgressErrorCode(progress) == QD_E_INVALID_HANDLE);
  CHECK(PRG_GetProgressStatus(NULL, NULL, NULL, NULL) == PRG_STATUS_FAILED);
  CHECK(PRG_GetProgressStatus(INVALID_HANDLE_VALUE, NULL, NULL, NULL) == PRG_STATUS_FAILED);
  CHECK(PRG_DestroyProgress(progress) == 0xFFFFFFFFu);
  CHECK(PRG_DestroyProgress(NULL) == 0xFFFFFFFFu);

  CHECK(file_progress != NULL);
  CHECK(PRG_SetFileProgressMessage(file_progress, NULL, 0x8003) == QD_OK);
  CHECK(PRG_SetFileProgressMessage(NULL, NULL, 0x8003) == QD_E_INVALID_ARGUMENT);
  CHECK(PRG_GetFileProgressErrorCode(file_progress) == QD_E_INVALID_HANDLE);
  CHECK(PRG_DestroyFileProgress(file_progress) == 0xFFFFFFFFu);

  CHECK(strcmp(UTL_GetResultText(QD_E_CANCELLED), "cancelled") == 0);
  CHECK(strcmp(UTL_GetResultText(0x12345678u), "unknown result code") == 0);

  if (failures == 0) printf("C interface: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
