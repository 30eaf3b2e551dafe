/* Quillden engine: result codes.
 *
 * Every export that does not return a handle, a count or a boolean returns one of these 32-bit codes.
 * 0 is success; failures are 0x08000010 to 0x08000049 and 0x09000000. The values are stable: stored
 * reports and callers compare against them. Each line gives the one meaning the code has everywhere. */
#ifndef QUILLDEN_RESULT_H_
#define QUILLDEN_RESULT_H_

#include "quillden/types.h"

#define QD_OK 0x00000000u                       /* success */
#define QD_E_INVALID_HANDLE 0x08000010u         /* handle or object argument is null or INVALID_HANDLE_VALUE */
#define QD_E_INVALID_ARGUMENT 0x08000011u       /* other argument invalid (null output record, value out of range) */
#define QD_E_FILE_TOO_LARGE_FOR_ISO 0x08000012u /* a file of 4 GiB or more while ISO 9660/Joliet is selected */
#define QD_E_SOURCE_MISSING 0x08000013u         /* source file missing or cannot be opened */
#define QD_E_FILE_OPEN 0x08000014u              /* a file cannot be opened or created */
#define QD_E_NOT_FOUND 0x08000015u              /* not found (path component, empty tree, entry list) */
#define QD_E_NAME_TOO_LONG 0x08000016u          /* a name or label is too long */
#define QD_E_FREE_FAILED 0x08000017u            /* releasing memory failed */
#define QD_E_OUT_OF_MEMORY 0x08000018u          /* out of memory */
#define QD_E_BUSY 0x08000019u                   /* the operation's worker still runs, or the object is in use */
#define QD_E_NO_BOOT_IMAGE 0x0800001Au          /* no boot image, or its size does not fit the emulation */
#define QD_E_BOOT_IMAGE_SET 0x0800001Bu         /* a boot image is already set */
#define QD_E_TIMEOUT 0x0800001Cu                /* timed out */
#define QD_E_FLOPPY_GEOMETRY 0x0800001Du        /* the geometry of a boot floppy drive could not be read */
#define QD_E_THREAD 0x0800001Eu                 /* a worker thread could not be created or resumed */
#define QD_E_WRITE_FILE 0x0800001Fu             /* writing a file failed */
#define QD_E_READ_FILE 0x08000020u              /* reading or positioning in a file failed */
#define QD_E_EXISTS 0x08000021u                 /* an entry of that name, or a boot image entry, already exists */
#define QD_E_INVALID_DRIVE 0x08000022u          /* the drive handle given to a write job is invalid */
#define QD_E_NOT_READY 0x08000023u              /* drive not ready, or not the drive/disc the job was prepared for */
#define QD_E_MEDIA_NOT_WRITABLE 0x08000024u     /* media closed, or appendable disc written without its session */
#define QD_E_CLOSE_DRIVE 0x08000025u            /* closing the drive handle failed */
#define QD_E_COMMAND_FAILED 0x08000026u         /* the drive rejected a command, or returned unusable information */
#define QD_E_RESTART_NEEDED 0x08000027u         /* the filter change needs a restart of the machine */
#define QD_E_FILTER_INSTALL 0x08000028u         /* the filter could not be installed */
#define QD_E_FILTER_REMOVE 0x08000029u          /* the filter could not be removed */
#define QD_E_TOO_MANY_TRACKS 0x08000031u        /* too many audio tracks */
#define QD_E_CANCELLED 0x08000032u              /* cancelled */
#define QD_E_MEDIA_UNSUPPORTED 0x08000033u      /* the media type is not supported by this operation */
#define QD_E_WRONG_FORM 0x08000034u             /* a file has the wrong form (WAVE, project header, image size) */
#define QD_E_INVALID_SETTING 0x08000036u        /* a data disc setting is invalid, or a copy target is not blank */
#define QD_E_NO_DRIVE 0x08000037u               /* no drive attached */
#define QD_E_UNKNOWN_FILE_SYSTEM 0x08000038u    /* the file system on the disc is not recognized */
#define QD_E_CLOSE_IMAGE 0x08000039u            /* closing a disc image file failed */
#define QD_E_NO_SOURCE_PATH 0x0800003Au         /* an imported entry has no source path */
#define QD_E_COMPARE_DIFFERS 0x0800003Cu        /* compared data differ */
#define QD_E_NO_SPACE 0x0800003Du               /* not enough free space on the media */
#define QD_E_CANNOT_ERASE 0x0800003Eu           /* the media cannot be erased */
#define QD_E_CANNOT_COPY_HERE 0x0800003Fu       /* the disc cannot be copied onto this drive and media combination */
#define QD_E_MOVE_SAME_FOLDER 0x08000040u       /* move: the entry is already in that folder */
#define QD_E_MOVE_INTO_ITSELF 0x08000041u       /* move into itself or a descendant */
#define QD_E_MOVE_NOT_FOLDER 0x08000042u        /* move target is not a folder */
#define QD_E_SOURCE_BLANK 0x08000043u           /* the source disc is blank */
#define QD_E_BAD_CHARACTER 0x08000044u          /* a name contains one of \ / : * ? " < > | */
#define QD_E_KEEP_EXISTING 0x08000045u          /* the caller chose to keep the existing entry */
#define QD_E_PATH_TOO_LONG 0x08000046u          /* a disc path longer than 256 characters */
#define QD_E_SKIPPED_NAME 0x08000047u           /* an entry skipped because of its name */
#define QD_E_NO_SERVICE 0x08000048u             /* the outside service cannot be reached */
#define QD_E_PASS_THROUGH 0x08000049u           /* the pass-through request to the driver failed */
#define QD_E_DRIVER_REQUEST 0x09000000u         /* a driver or service request failed, or a stored value is invalid */

QUILLDEN_BEGIN_DECLS

/* Returns the one-line English meaning of a result code ("success", "cancelled", ...), or
 * "unknown result code" for a value outside the table. The text is static; never free it. */
QUILLDEN_API const char* UTL_GetResultText(DWORD code);

QUILLDEN_END_DECLS

#endif /* QUILLDEN_RESULT_H_ */
