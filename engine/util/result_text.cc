// The meaning of each result code, for tools and reports.
#include "quillden/result.h"

namespace {

struct ResultText {
  DWORD code;
  const char* text;
};

constexpr ResultText kResultTexts[] = {
    {QD_OK, "success"},
    {QD_E_INVALID_HANDLE, "handle or object argument is null or invalid"},
    {QD_E_INVALID_ARGUMENT, "an argument is invalid"},
    {QD_E_FILE_TOO_LARGE_FOR_ISO, "a file of 4 GiB or more cannot be stored with ISO 9660/Joliet"},
    {QD_E_SOURCE_MISSING, "a source file is missing or cannot be opened"},
    {QD_E_FILE_OPEN, "a file cannot be opened or created"},
    {QD_E_NOT_FOUND, "not found"},
    {QD_E_NAME_TOO_LONG, "a name or label is too long"},
    {QD_E_FREE_FAILED, "releasing memory failed"},
    {QD_E_OUT_OF_MEMORY, "out of memory"},
    {QD_E_BUSY, "busy: an operation is still running"},
    {QD_E_NO_BOOT_IMAGE, "no boot image, or its size does not fit the emulation"},
    {QD_E_BOOT_IMAGE_SET, "a boot image is already set"},
    {QD_E_TIMEOUT, "timed out"},
    {QD_E_FLOPPY_GEOMETRY, "the geometry of the boot floppy drive could not be read"},
    {QD_E_THREAD, "a worker thread could not be created or resumed"},
    {QD_E_WRITE_FILE, "writing a file failed"},
    {QD_E_READ_FILE, "reading or positioning in a file failed"},
    {QD_E_EXISTS, "an entry of that name, or a boot image entry, already exists"},
    {QD_E_INVALID_DRIVE, "the drive handle is invalid"},
    {QD_E_NOT_READY, "the drive is not ready, or not the drive or disc the job was prepared for"},
    {QD_E_MEDIA_NOT_WRITABLE, "the media cannot be written"},
    {QD_E_CLOSE_DRIVE, "closing the drive failed"},
    {QD_E_COMMAND_FAILED, "the drive rejected a command or returned unusable information"},
    {QD_E_RESTART_NEEDED, "the drive filter change needs a restart of the machine"},
    {QD_E_FILTER_INSTALL, "the drive filter could not be installed"},
    {QD_E_FILTER_REMOVE, "the drive filter could not be removed"},
    {QD_E_TOO_MANY_TRACKS, "too many audio tracks"},
    {QD_E_CANCELLED, "cancelled"},
    {QD_E_MEDIA_UNSUPPORTED, "the media type is not supported by this operation"},
    {QD_E_WRONG_FORM, "a file has the wrong form"},
    {QD_E_INVALID_SETTING, "a data disc setting is invalid, or the target media is not blank"},
    {QD_E_NO_DRIVE, "no drive attached"},
    {QD_E_UNKNOWN_FILE_SYSTEM, "the file system on the disc is not recognized"},
    {QD_E_CLOSE_IMAGE, "closing the disc image file failed"},
    {QD_E_NO_SOURCE_PATH, "an imported entry has no source path"},
    {QD_E_COMPARE_DIFFERS, "compared data differ"},
    {QD_E_NO_SPACE, "not enough free space on the media"},
    {QD_E_CANNOT_ERASE, "the media cannot be erased"},
    {QD_E_CANNOT_COPY_HERE, "the disc cannot be copied onto this drive and media combination"},
    {QD_E_MOVE_SAME_FOLDER, "the entry is already in that folder"},
    {QD_E_MOVE_INTO_ITSELF, "an entry cannot be moved into itself or a descendant"},
    {QD_E_MOVE_NOT_FOLDER, "the move target is not a folder"},
    {QD_E_SOURCE_BLANK, "the source disc is blank"},
    {QD_E_BAD_CHARACTER, "a name contains a character that is not allowed (\\ / : * ? \" < > |)"},
    {QD_E_KEEP_EXISTING, "the existing entry was kept"},
    {QD_E_PATH_TOO_LONG, "a disc path is longer than 256 characters"},
    {QD_E_SKIPPED_NAME, "an entry was skipped because of its name"},
    {QD_E_NO_SERVICE, "the helper service cannot be reached"},
    {QD_E_PASS_THROUGH, "the command could not be passed to the drive"},
    {QD_E_DRIVER_REQUEST, "a driver or service request failed, or a stored value is invalid"},
};

}  // namespace

QUILLDEN_EXTERN_C QUILLDEN_API const char* UTL_GetResultText(DWORD code) {
  for (const ResultText& entry : kResultTexts) {
    if (entry.code == code) return entry.text;
  }
  return "unknown result code";
}
