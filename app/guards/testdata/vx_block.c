/* A stand-in for the outside blocking library, built by the guard tests in several variants:
 * VX_ANSWER is what LockUnlockCd returns; VX_NO_QUERY leaves out QueryCd, VX_NO_LOCK leaves out
 * LockUnlockCd. The calls are recorded for the test, which keeps the library loaded. */
#include <stdint.h>

#define VX_EXPORT __attribute__((visibility("default")))

static int calls;
static int last_lock = -1;
static int last_letter;
static uint16_t last_name[64];

#ifndef VX_NO_LOCK
VX_EXPORT int LockUnlockCd(int lock, int drive_letter, const uint16_t* name) {
  int i = 0;
  ++calls;
  last_lock = lock;
  last_letter = drive_letter;
  if (name != 0) {
    for (; i < 63 && name[i] != 0; ++i) last_name[i] = name[i];
  }
  last_name[i] = 0;
  return VX_ANSWER;
}
#endif

#ifndef VX_NO_QUERY
VX_EXPORT int QueryCd(int drive_letter) {
  (void)drive_letter;
  return 0;
}
#endif

VX_EXPORT int VxTestCalls(void) { return calls; }
VX_EXPORT int VxTestLastLock(void) { return last_lock; }
VX_EXPORT int VxTestLastLetter(void) { return last_letter; }
VX_EXPORT const uint16_t* VxTestLastName(void) { return last_name; }
