/* Quillden engine: progress objects (PRG_).
 *
 * A progress object lets a caller follow a long operation (writing, erasing, recording an image,
 * comparing, ripping, reading a boot image) that runs on a worker thread of the engine. The caller
 * creates the object, passes it to the operation, polls it, may ask for cancellation, and finally
 * collects the result. An operation given a progress object returns at once; given none, it runs on
 * the caller's thread and returns its result.
 *
 * The object is a record of twelve 32-bit words: status, phase, done, end, the six-word session/track
 * block, the worker and the result. Every write is one atomic store, exchange or add, so readers need
 * no lock. Exactly two threads touch an object: the caller's and one worker's. The caller owns the
 * object and frees it with PRG_DestroyProgress, which waits (at most 10 s) for a running worker.
 *
 * A file progress object is the smaller sibling for the tree workers (adding files, loading a project,
 * importing a session): instead of being polled it names a window that receives the worker's
 * questions and its completion message (see datadisk.h, "file progress protocol"). */
#ifndef QUILLDEN_PROGRESS_H_
#define QUILLDEN_PROGRESS_H_

#include "quillden/types.h"

/* Status word values. */
#define PRG_STATUS_NOT_STARTED 0u
#define PRG_STATUS_RUNNING 1u
#define PRG_STATUS_SUCCEEDED 2u
#define PRG_STATUS_FAILED 3u
#define PRG_STATUS_CANCELLED 4u
#define PRG_STATUS_CANCEL_REQUESTED 16u

/* Phase word values: what the worker does now. */
#define PRG_PHASE_WRITING 1u            /* writing data sectors to the drive */
#define PRG_PHASE_FLUSHING 2u           /* flushing the drive's cache */
#define PRG_PHASE_CLOSING 3u            /* closing a track or session */
#define PRG_PHASE_ERASING 16u           /* erasing or formatting the media */
#define PRG_PHASE_RIPPING 32u           /* ripping an audio track to a file */
#define PRG_PHASE_WRITING_IMAGE 48u     /* writing a disc image or ISO image file */
#define PRG_PHASE_READING_BOOT 64u      /* reading a boot image from a drive */
#define PRG_PHASE_CREATING_IMAGE 80u    /* creating a disc image file from a disc */
#define PRG_PHASE_COMPARING 96u         /* comparing */

/* "end" value meaning that "done" is a fraction of 65535 reported by the drive. */
#define PRG_END_FRACTION 65535u

/* Session and track position of a recording job. */
typedef struct _SESSIONTRACKPROGRESS {
  DWORD dwSession;        /* current session, counted from 1 */
  DWORD dwTrack;          /* current track, counted from 1 */
  DWORD dwWrittenSectors; /* sectors written in the tracks already finished */
  DWORD dwSessions;       /* number of sessions of the job */
  DWORD dwTracks;         /* number of tracks of the job */
  DWORD dwTotalSectors;   /* total sectors of the job */
} _SESSIONTRACKPROGRESS;

#ifdef __cplusplus
static_assert(sizeof(_SESSIONTRACKPROGRESS) == 24, "_SESSIONTRACKPROGRESS is 24 bytes");
#else
_Static_assert(sizeof(_SESSIONTRACKPROGRESS) == 24, "_SESSIONTRACKPROGRESS is 24 bytes");
#endif

QUILLDEN_BEGIN_DECLS

/* Creates a progress object with every word zero. Returns null when memory runs out. */
QUILLDEN_API HANDLE PRG_CreateProgress(void);

/* Frees a progress object. With a worker that still runs, waits up to 10000 ms for it first.
 * Returns the operation's result code when a worker ended (before or during the wait), otherwise
 * 0xFFFFFFFF: for a null or INVALID_HANDLE_VALUE handle (nothing else happens), for an object that
 * never had a worker, and for a worker that did not end in time (the object is freed anyway). */
QUILLDEN_API DWORD PRG_DestroyProgress(HANDLE progress);

/* Returns the status word and copies the phase, done and end words into the non-null outputs.
 * A null or INVALID_HANDLE_VALUE handle returns PRG_STATUS_FAILED and writes nothing. */
QUILLDEN_API DWORD PRG_GetProgressStatus(HANDLE progress, DWORD* phase, DWORD* done, DWORD* end);

/* Returns the status word and copies the session/track block into *out when out is not null.
 * A bad handle returns PRG_STATUS_FAILED. */
QUILLDEN_API DWORD PRG_GetSessionTrackProgress(HANDLE progress, _SESSIONTRACKPROGRESS* out);

/* Asks the worker to stop and waits for it (polling every 100 ms, at most 1000 times).
 * Returns 0 when the worker ended (its exit code is stored as the result) or moved the status on;
 * 0x0800001C when it still ignored the request after 100 s (the worker is then forgotten and the
 * result word set to 0x0800001C); 0x08000010 for a bad handle or an object without a worker. */
QUILLDEN_API DWORD PRG_CancelProgress(HANDLE progress);

/* Returns 0x08000010 for a bad handle or an object without a worker, 0x08000019 while the worker
 * runs, and otherwise the worker's exit code, which equals the operation's result code. */
QUILLDEN_API DWORD PRG_GetProgressErrorCode(HANDLE progress);

/* Creates a file progress object (window, message, worker, result; all zero). Null when memory runs
 * out. */
QUILLDEN_API HANDLE PRG_CreateFileProgress(void);

/* Frees a file progress object; results as PRG_DestroyProgress. */
QUILLDEN_API DWORD PRG_DestroyFileProgress(HANDLE file_progress);

/* Stores the window and message number that the worker reports to. When the object has a worker
 * (created suspended by the operation), resumes it. Returns 0, 0x08000011 for a bad handle, or
 * 0x0800001E when the worker cannot be resumed. */
QUILLDEN_API DWORD PRG_SetFileProgressMessage(HANDLE file_progress, HWND window, UINT message);

/* As PRG_GetProgressErrorCode, for a file progress object. */
QUILLDEN_API DWORD PRG_GetFileProgressErrorCode(HANDLE file_progress);

QUILLDEN_END_DECLS

#endif /* QUILLDEN_PROGRESS_H_ */
