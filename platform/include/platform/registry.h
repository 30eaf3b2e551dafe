// Platform layer: the registry, a typed key/value store kept in text files.
//
// Two hives: the current user's ($XDG_CONFIG_HOME/quenvar/registry, default
// ~/.config/quenvar/registry) and the machine's (/etc/quenvar/registry). QUENVAR_REGISTRY_ROOT=R
// moves them to R/user/registry and R/machine/registry (tests). Keys are paths of names separated
// by "\" ("Software\\VARNOLD\\OpticalDiscAPL\\Orvex"); empty components are ignored. Key and value
// names compare without regard to ASCII case and keep the case they were created with. Values are
// REG_DWORD, REG_SZ or REG_MULTI_SZ; strings are UTF-16 and round-trip exactly, whatever units
// they hold (NUL, unpaired surrogates included).
//
// Every change is a read-modify-write of the whole hive under an exclusive flock on "<file>.lock",
// and the new hive replaces the old by rename after fsync: a crash or a killed process leaves the
// old or the new file, never a torn one, and two processes changing different values both keep
// their change. Reads take no lock. A hive file that cannot be parsed completely is copied to
// "<file>.damaged" before the next change rewrites it, so nothing is lost silently; the readable
// part is used and each bad line is reported on stderr when read.
//
// File format (UTF-8, one item per line, blank lines and lines starting with '#' ignored):
//   quenvar-registry 1
//   key "Software\\VARNOLD\\OpticalDiscAPL"
//   value "LowestSet" dword 4294967295
//   value "Title" sz "Recovery \"A\""
//   value "Files" multi_sz "one" "two"
// Each value line belongs to the last key line above it. A quoted string holds UTF-8 text, with
// \" and \\ for '"' and '\', and \uXXXX (4 hex digits) for one UTF-16 unit that is a control
// character or an unpaired surrogate. Every key, including each parent of a created key, has its
// own key line.
//
// Objects are thread-compatible; the functions are thread-safe (the hive files are the only state).
#ifndef QUENVAR_PLATFORM_REGISTRY_H_
#define QUENVAR_PLATFORM_REGISTRY_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace quenvar::platform {

enum class RegistryHive {
  kCurrentUser,   // HKEY_CURRENT_USER
  kLocalMachine,  // HKEY_LOCAL_MACHINE
};

enum class RegistryType : uint32_t {
  kSz = 1,        // REG_SZ
  kDword = 4,     // REG_DWORD
  kMultiSz = 7,   // REG_MULTI_SZ
};

struct RegistryValue {
  RegistryType type = RegistryType::kSz;
  uint32_t dword = 0;                  // kDword
  std::u16string text;                 // kSz
  std::vector<std::u16string> texts;   // kMultiSz
  bool operator==(const RegistryValue&) const = default;

  static RegistryValue Dword(uint32_t value);
  static RegistryValue Sz(std::u16string value);
  static RegistryValue MultiSz(std::vector<std::u16string> values);
};

// The file that holds a hive.
std::string RegistryHivePath(RegistryHive hive);

// True when the machine hive can be opened for writing (root, or write access to its file and
// folder): what the program calls running as administrator.
bool IsAdministrator();

// An open key. Errors are errno values: ENOENT for a missing key or value, EINVAL for a value of
// another type than asked, EACCES when a change to a key opened for reading only is asked, and the
// file system's errors.
class RegistryKey {
 public:
  RegistryKey() = default;

  // Opens an existing key; EACCES for writable when the hive cannot be changed by this process.
  static Status Open(RegistryHive hive, std::u16string_view path, bool writable, RegistryKey* key);
  // Opens a key, creating it and its missing parents; *created tells whether it was new.
  static Status Create(RegistryHive hive, std::u16string_view path, RegistryKey* key, bool* created);
  // Removes a key with its values; ENOTEMPTY when it has subkeys.
  static Status Delete(RegistryHive hive, std::u16string_view path);
  // Removes a key with everything under it.
  static Status DeleteTree(RegistryHive hive, std::u16string_view path);

  bool valid() const { return valid_; }
  RegistryHive hive() const { return hive_; }
  const std::u16string& path() const { return path_; }  // normalised, as stored

  Status Query(std::u16string_view name, RegistryValue* value) const;
  Status GetDword(std::u16string_view name, uint32_t* value) const;
  Status GetString(std::u16string_view name, std::u16string* value) const;
  Status GetMultiString(std::u16string_view name, std::vector<std::u16string>* values) const;

  Status Set(std::u16string_view name, const RegistryValue& value);
  Status SetDword(std::u16string_view name, uint32_t value) { return Set(name, RegistryValue::Dword(value)); }
  Status SetString(std::u16string_view name, std::u16string_view value) {
    return Set(name, RegistryValue::Sz(std::u16string(value)));
  }
  Status SetMultiString(std::u16string_view name, std::vector<std::u16string> values) {
    return Set(name, RegistryValue::MultiSz(std::move(values)));
  }
  Status DeleteValue(std::u16string_view name);

  // Names in the order they were created.
  Status ValueNames(std::vector<std::u16string>* names) const;
  Status SubkeyNames(std::vector<std::u16string>* names) const;

 private:
  bool valid_ = false;
  bool writable_ = false;
  RegistryHive hive_ = RegistryHive::kCurrentUser;
  std::u16string path_;
};

}  // namespace quenvar::platform

#endif  // QUENVAR_PLATFORM_REGISTRY_H_
