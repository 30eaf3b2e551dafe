/* Quillden engine: audio discs (AUD_).
 *
 * An audio disc object masters an audio CD from WAVE files: it holds the drive it records on, an
 * ordered list of up to 99 tracks (one WAVE file each, CD audio only: PCM, two channels, 44100 Hz,
 * 16-bit frames of 4 bytes) and up to eight CD-Text blocks, one per language. Each track takes its
 * sample data rounded up to whole 2352-byte sectors and at least 300 sectors (four seconds); the rest
 * is silence. The CD-Text of the disc in the drive is read when the object is created, so a disc can
 * be inspected and its text copied. AUD_WriteAudiodisk records the tracks track at once or session at
 * once; CD-Text is recorded only session at once, into the lead-in.
 *
 * CD-Text strings cross the interface as UTF-16 and are stored in the system code page ("ANSI"); in a
 * double-byte block each character takes two bytes. Of each text type, string 0 belongs to the disc
 * and string n to track n. Pack types: index 0 title, 1 performer, 2 songwriter, 3 composer, 4
 * arranger, 5 message, 6 disc identification, 7 genre, 8 TOC, 9 second TOC, 10 to 12 reserved, 13
 * closed information, 14 UPC/EAN and ISRC (types 0x80 to 0x8E).
 *
 * Thread-safety: an audio disc object must not be used from two threads at once, nor while its write
 * worker runs. Ownership: whoever creates an object destroys it with AUD_DestroyAudiodisk; the drive
 * handle stays the caller's and must outlive the object. Nothing is thrown; strings are copied into
 * caller buffers. */
#ifndef QUILLDEN_AUDIO_H_
#define QUILLDEN_AUDIO_H_

#include "quillden/types.h"

#define AUD_MAX_TRACKS 99
#define AUD_MAX_LANGUAGES 8
#define AUD_TEXT_TYPES 15

/* One CD-Text item: the strings of one pack type in one language.
 * ppStrings is an array of dwStrings pointers to caller buffers of dwStringLength characters each.
 * AUD_AddCdTextItem reads up to dwStrings NUL-terminated strings (each cut to dwStringLength - 1
 * characters). AUD_GetCdTextItem with a null ppStrings sets dwStrings to the number of strings and
 * dwStringLength to the longest string's length + 1; with buffers, it copies up to dwStrings strings
 * (each cut to fit dwStringLength with its NUL) and sets dwStrings to the number of strings copied. */
typedef struct _CDTEXTITEM {
  DWORD dwLanguage;     /* language code of the block (0x09 English, 0x08 German, ...) */
  DWORD dwDoubleByte;   /* 0 single-byte characters, 1 double-byte characters */
  WCHAR** ppStrings;    /* array of string buffers, or null to ask only for sizes */
  DWORD dwStringLength; /* characters of each buffer (out when asking for sizes: longest + 1) */
  DWORD dwStrings;      /* in: number of buffers; out: number of strings */
} _CDTEXTITEM;

QUILLDEN_BEGIN_DECLS

/* Creates an audio disc object for drive and reads the CD-Text of the disc in the drive, if any.
 * Returns the object, or INVALID_HANDLE_VALUE for a bad drive handle or when memory runs out. */
QUILLDEN_API HANDLE AUD_CreateAudiodisk(HANDLE drive);

/* Frees the object with its tracks and CD-Text. Returns 0, or 0x08000010 for a bad object. A write
 * worker that still runs keeps its own copy of what it records. */
QUILLDEN_API DWORD AUD_DestroyAudiodisk(HANDLE audiodisk);

/* Appends the WAVE file at path (UTF-16) as the next track. Returns 0; 0x08000010 bad object;
 * 0x08000011 null path; 0x08000044 a bad character in the file name; 0x08000013 the file is missing
 * (the path and the would-be track number become the error file); 0x08000034 not CD audio (also
 * recorded as the error file); 0x08000031 when 99 tracks are already there; 0x08000018 no memory. */
QUILLDEN_API DWORD AUD_AddAudioTrack(HANDLE audiodisk, const WCHAR* path);

/* Removes track number index (counted from 1). Returns 0, 0x08000010 bad object, 0x08000011 for 0 or
 * a number beyond the last track. */
QUILLDEN_API DWORD AUD_DeleteAudioTrack(HANDLE audiodisk, WORD index);

/* Returns the number of tracks; 0xFFFF for a bad object. */
QUILLDEN_API WORD AUD_GetNumberOfAudioTrack(HANDLE audiodisk);

/* Copies the path of the last WAVE file that could not be used into buffer (MAX_PATH + 1 characters;
 * an empty string when there was none) and returns its track number (0 when none); 0xFFFF for a bad
 * object or a null buffer. */
QUILLDEN_API WORD AUD_GetErrorWavFileName(HANDLE audiodisk, WCHAR* buffer);

/* Checks the WAVE file at path and writes the number of CD sectors its track takes into *sectors.
 * Returns 0; 0x08000011 null argument; 0x08000013 file missing; 0x08000034 not CD audio (wrong
 * format, truncated or inconsistent chunks, sample data before the format); 0x08000020 read error. */
QUILLDEN_API DWORD AUD_GetWaveFileDataLength(const WCHAR* path, DWORD* sectors);

/* Stores the strings of *item as the text of pack type typeIndex (0 to 14) in the block of the
 * item's language, or in the next free block, replacing earlier text of that type. Returns 0;
 * 0x08000010 bad object; 0x08000011 null item or strings, typeIndex out of range, a double-byte flag
 * that differs from the block's, or all eight blocks in use; 0x08000018 no memory. */
QUILLDEN_API DWORD AUD_AddCdTextItem(HANDLE audiodisk, _CDTEXTITEM* item, int typeIndex);

/* Reads the text of pack type typeIndex (0 to 14) of block (0 to 7) into *item (see _CDTEXTITEM),
 * converting from the system code page. Returns 0; 0x08000010 bad object; 0x08000011 null item, block
 * or type out of range, or a block or type without text; 0x08000037 the object has no CD-Text. */
QUILLDEN_API DWORD AUD_GetCdTextItem(HANDLE audiodisk, _CDTEXTITEM* item, int block, int typeIndex);

/* Returns the number of CD-Text blocks (0 to 8), -1 for a bad object. */
QUILLDEN_API int AUD_GetCdTextNumberOfLanguage(HANDLE audiodisk);

/* Records the tracks on the CD in the object's drive: writeMode 1 track at once leaving the disc
 * open, 2 track at once closing it, 3 session at once (with CD-Text when the object has any). With
 * a progress object starts a worker and returns 0 at once (the result then comes from the progress
 * object); without one runs to the end. Checks before touching the drive: 0x08000010 bad object or
 * progress; 0x08000011 bad write mode, no tracks, or a CD-Text block of more than 255 packs;
 * 0x08000020 a track file cannot be opened (it becomes the error file); 0x08000019 progress busy;
 * 0x08000033 not CD media; 0x08000024 closed media; 0x0800003D not enough room. Then 0x08000032
 * cancelled, 0x08000020 a track file vanished, or the failing drive command's result. */
QUILLDEN_API DWORD AUD_WriteAudiodisk(HANDLE audiodisk, DWORD writeMode, HANDLE progress);

QUILLDEN_END_DECLS

#endif /* QUILLDEN_AUDIO_H_ */
