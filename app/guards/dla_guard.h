// Orvex guards: the outside packet-writing product and its blocking library.
//
// When the packet-writing product "Sonic DLA" is installed (registry value "AppName" under
// HKEY_LOCAL_MACHINE\SOFTWARE\Sonic\Direct Access\CurrentVersion\All), its driver would take
// over a recorder that holds a disc, so before a run the program asks the product's blocking
// library "VxBlock.dll" to leave the drive alone, and after the run to take it back. The library
// is loaded with dlopen by that name from the library path; it must export
//   int LockUnlockCd(int lock, int drive_letter, const char16_t* application_title);
// (C calling convention; 0 means refused) and "QueryCd", which is looked up but never called.
// A missing registration or library is no failure: the run goes on. Failures of the library are
// reported through CErrorObject (module 18). Main thread only.
#ifndef QUENVAR_APP_GUARDS_DLA_GUARD_H_
#define QUENVAR_APP_GUARDS_DLA_GUARD_H_

#include <cstdint>

namespace quenvar::app {

inline constexpr char16_t kDlaKey[] = u"SOFTWARE\\Sonic\\Direct Access\\CurrentVersion\\All";
inline constexpr char kBlockLibrary[] = "VxBlock.dll";

// Report sites.
inline constexpr int kLocationNoLockUnlockCd = 1397;
inline constexpr int kLocationNoQueryCd = 1406;
inline constexpr int kLocationLockOpenNull = 1424;
inline constexpr int kLocationLockOpenInvalid = 1431;
inline constexpr int kLocationLockRefused = 1449;
inline constexpr int kLocationLockClose = 1476;

// True when "AppName" is a non-empty string value equal to "Sonic DLA" (case-sensitive).
bool IsSonicDlaInstalled();

// lock 1 before a run, 0 after it; drive_number 1 = A:. Returns 1 to go on, 0 when the library
// refused the lock (reported with string 15069, location 1449). library names the blocking
// library (a name searched on the library path, or a path).
int LockDriveForWriting(int lock, int32_t drive_number, const char* library = kBlockLibrary);

}  // namespace quenvar::app

#endif  // QUENVAR_APP_GUARDS_DLA_GUARD_H_
