#include "app/guards/dla_guard.h"

#include <dlfcn.h>

#include <cerrno>
#include <string>

#include "app/prompting/error_object.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "platform/registry.h"
#include "quillden/drive.h"

namespace quenvar::app {
namespace {

using LockUnlockCdFunction = int (*)(int lock, int drive_letter, const char16_t* name);

void Report(int location, int code, std::u16string_view text = {}) {
  CErrorObject report(kModuleOrvexDlg, location, code, text, static_cast<uint32_t>(errno),
                      CurrentPrompter().MainWindow());
}

}  // namespace

bool IsSonicDlaInstalled() {
  platform::RegistryKey key;
  if (!platform::RegistryKey::Open(platform::RegistryHive::kLocalMachine, kDlaKey, false, &key).ok())
    return false;
  platform::RegistryValue value;
  if (!key.Query(u"AppName", &value).ok()) return false;
  if (value.type != platform::RegistryType::kSz || value.text.empty()) return false;
  return value.text == u"Sonic DLA";
}

int LockDriveForWriting(int lock, int32_t drive_number, const char* library) {
  int result = 1;
  if (!IsSonicDlaInstalled()) return 1;
  // A drive number without a letter cannot be named to the library; there is nothing to lock.
  if (drive_number < 1 || drive_number > 26) return 1;
  void* handle = ::dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return 1;

  auto lock_unlock = reinterpret_cast<LockUnlockCdFunction>(::dlsym(handle, "LockUnlockCd"));
  if (lock_unlock == nullptr) {
    Report(kLocationNoLockUnlockCd, kErrorInternal);
  } else if (::dlsym(handle, "QueryCd") == nullptr) {
    Report(kLocationNoQueryCd, kErrorInternal);
  } else {
    HANDLE drive = nullptr;
    bool go_on = true;
    if (lock) {
      drive = DRV_OpenDrive(static_cast<DWORD>(drive_number));
      if (drive == nullptr) {
        Report(kLocationLockOpenNull, kErrorInternal, LoadString(ids::kCannotStartNoRecorder));
        go_on = false;
      } else if (drive == INVALID_HANDLE_VALUE) {
        Report(kLocationLockOpenInvalid, kErrorInvalidHandle);
        drive = nullptr;
        go_on = false;
      }
    }
    if (go_on) {
      const std::u16string title(LoadString(ids::kAppTitle));
      const int letter = 'A' + drive_number - 1;
      if (lock_unlock(lock ? 1 : 0, letter, title.c_str()) == 0) {
        Report(kLocationLockRefused, kErrorInternal, LoadString(ids::kCannotStartNoRecorder));
        result = 0;
      }
      if (drive != nullptr) {
        const uint32_t closed = DRV_CloseDrive(drive);
        if (closed != 0)
          Report(kLocationLockClose, static_cast<int>(closed), LoadString(ids::kCannotCloseDrive));
      }
    }
  }
  ::dlclose(handle);
  return result;
}

}  // namespace quenvar::app
