#include "platform/registry.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>

#include "platform/mutex.h"
#include "platform/unicode.h"
#include "registry_format.h"

namespace quenvar::platform {
namespace {

using internal::FindKey;
using internal::FindValue;
using internal::HiveData;
using internal::KeyData;
using internal::NormalizePath;
using internal::SameName;
using internal::ValueData;

// True when child is directly below parent.
bool IsChildOf(std::u16string_view child, std::u16string_view parent) {
  size_t start = parent.empty() ? 0 : parent.size() + 1;
  if (child.size() <= start) return false;
  if (!parent.empty() &&
      (child[parent.size()] != u'\\' || !SameName(child.substr(0, parent.size()), parent))) {
    return false;
  }
  return child.find(u'\\', start) == std::u16string_view::npos;
}

bool IsUnder(std::u16string_view path, std::u16string_view folder) {
  if (folder.empty()) return !path.empty();
  return path.size() > folder.size() && path[folder.size()] == u'\\' &&
         SameName(path.substr(0, folder.size()), folder);
}

Status ReadWholeFile(const std::string& path, std::string* text, bool* exists) {
  text->clear();
  *exists = false;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return Status::Ok();
    return Status::FromErrno(errno, "open " + path);
  }
  *exists = true;
  char buffer[65536];
  while (true) {
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n < 0) {
      if (errno == EINTR) continue;
      Status s = Status::FromErrno(errno, "read " + path);
      close(fd);
      return s;
    }
    if (n == 0) break;
    text->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return Status::Ok();
}

// The damaged hive files already reported in this process (hashes of path and content).
Mutex g_reported_mu;
std::set<size_t>* ReportedDamage() REQUIRES(g_reported_mu) {
  static auto* reported = new std::set<size_t>;
  return reported;
}

Status Load(RegistryHive which, HiveData* hive, std::string* raw = nullptr) {
  std::string path = RegistryHivePath(which);
  std::string text;
  bool exists;
  Status s = ReadWholeFile(path, &text, &exists);
  if (!s.ok()) return s;
  // Each damaged file is reported once per process, not at every read.
  bool report;
  {
    MutexLock lock(&g_reported_mu);
    report = ReportedDamage()->insert(std::hash<std::string>()(path + '\0' + text)).second;
  }
  *hive = internal::ParseHive(path, text, report);
  if (!hive->damaged) {
    MutexLock lock(&g_reported_mu);
    ReportedDamage()->erase(std::hash<std::string>()(path + '\0' + text));
  }
  if (raw) *raw = std::move(text);
  return Status::Ok();
}

Status WriteAll(int fd, const std::string& data, const std::string& path) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::FromErrno(errno, "write " + path);
    }
    if (n == 0) return Status::FromErrno(ENOSPC, "write " + path);
    done += static_cast<size_t>(n);
  }
  return Status::Ok();
}

Status CreateFolders(const std::string& folder) {
  if (folder.empty()) return Status::Ok();
  struct stat st;
  if (stat(folder.c_str(), &st) == 0) {
    return S_ISDIR(st.st_mode) ? Status::Ok() : Status::FromErrno(ENOTDIR, "mkdir " + folder);
  }
  size_t slash = folder.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    Status s = CreateFolders(folder.substr(0, slash));
    if (!s.ok()) return s;
  }
  if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
    return Status::FromErrno(errno, "mkdir " + folder);
  return Status::Ok();
}

// Writes text as the new hive file: a temporary file in the same folder, fsync, rename, then
// fsync of the folder so the rename itself is durable.
Status ReplaceFile(const std::string& path, const std::string& text, mode_t mode) {
  std::string folder = path.substr(0, path.rfind('/'));
  std::string temp = path + ".tmp-XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) return Status::FromErrno(errno, "create " + temp);
  temp = name.data();
  Status s = WriteAll(fd, text, temp);
  if (s.ok() && fchmod(fd, mode) != 0) s = Status::FromErrno(errno, "chmod " + temp);
  if (s.ok() && fsync(fd) != 0) s = Status::FromErrno(errno, "fsync " + temp);
  if (close(fd) != 0 && s.ok()) s = Status::FromErrno(errno, "close " + temp);
  if (s.ok() && rename(temp.c_str(), path.c_str()) != 0)
    s = Status::FromErrno(errno, "rename " + temp);
  if (!s.ok()) {
    unlink(temp.c_str());
    return s;
  }
  int dir_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    fsync(dir_fd);
    close(dir_fd);
  }
  return Status::Ok();
}

// Temporary files of writers that died before their rename. Only called under the hive's lock,
// when no other writer can be in the middle of writing one.
void RemoveStaleTemporaries(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string folder = path.substr(0, slash);
  std::string prefix = path.substr(slash + 1) + ".tmp-";
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    if (std::string_view(entry->d_name).starts_with(prefix)) unlinkat(dirfd(dir), entry->d_name, 0);
  }
  closedir(dir);
}

// Runs change on the hive under the hive's lock; writes the hive back when change reports a
// modification.
Status Modify(RegistryHive which, const std::function<Status(HiveData*, bool*)>& change) {
  std::string path = RegistryHivePath(which);
  std::string folder = path.substr(0, path.rfind('/'));
  Status s = CreateFolders(folder);
  if (!s.ok()) return s;
  mode_t mode = which == RegistryHive::kLocalMachine ? 0644 : 0600;
  std::string lock_path = path + ".lock";
  int lock_fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, mode);
  if (lock_fd < 0) return Status::FromErrno(errno, "open " + lock_path);
  while (flock(lock_fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      s = Status::FromErrno(errno, "lock " + lock_path);
      close(lock_fd);
      return s;
    }
  }
  RemoveStaleTemporaries(path);
  HiveData hive;
  std::string raw;
  s = Load(which, &hive, &raw);
  bool changed = false;
  if (s.ok()) s = change(&hive, &changed);
  if (s.ok() && changed) {
    // Keep what could not be read before it is rewritten away.
    if (hive.damaged) s = ReplaceFile(path + ".damaged", raw, mode);
    if (s.ok()) s = ReplaceFile(path, internal::SerializeHive(hive), mode);
  }
  close(lock_fd);  // releases the lock
  return s;
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  struct passwd pw;
  struct passwd* result = nullptr;
  char buffer[4096];
  if (getpwuid_r(geteuid(), &pw, buffer, sizeof(buffer), &result) == 0 && result)
    return result->pw_dir;
  return "/";
}

Status NoKey(const std::u16string& path) {
  return Status::FromErrno(ENOENT, "registry key " + Utf16ToUtf8(path));
}
Status NoValue(std::u16string_view name) {
  return Status::FromErrno(ENOENT, "registry value " + Utf16ToUtf8(name));
}

}  // namespace

RegistryValue RegistryValue::Dword(uint32_t value) {
  RegistryValue v;
  v.type = RegistryType::kDword;
  v.dword = value;
  return v;
}

RegistryValue RegistryValue::Sz(std::u16string value) {
  RegistryValue v;
  v.type = RegistryType::kSz;
  v.text = std::move(value);
  return v;
}

RegistryValue RegistryValue::MultiSz(std::vector<std::u16string> values) {
  RegistryValue v;
  v.type = RegistryType::kMultiSz;
  v.texts = std::move(values);
  return v;
}

std::string RegistryHivePath(RegistryHive hive) {
  const char* root = std::getenv("QUENVAR_REGISTRY_ROOT");
  if (root && *root) {
    return std::string(root) +
           (hive == RegistryHive::kCurrentUser ? "/user/registry" : "/machine/registry");
  }
  if (hive == RegistryHive::kLocalMachine) return "/etc/quenvar/registry";
  const char* config = std::getenv("XDG_CONFIG_HOME");
  // A relative XDG_CONFIG_HOME is invalid and ignored.
  std::string base = (config && config[0] == '/') ? std::string(config) : HomeFolder() + "/.config";
  return base + "/quenvar/registry";
}

namespace {

// True when this process may change the hive: write access to its file when it exists and to the
// nearest existing folder on its path (for the lock and temporary files, or to create the folder).
bool HiveWritable(RegistryHive hive) {
  if (geteuid() == 0) return true;
  std::string path = RegistryHivePath(hive);
  std::string folder = path.substr(0, path.rfind('/'));
  while (!folder.empty() && access(folder.c_str(), F_OK) != 0)
    folder = folder.substr(0, folder.rfind('/'));
  if (folder.empty()) folder = "/";
  if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return false;
  if (access(path.c_str(), F_OK) == 0 && faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0)
    return false;
  return true;
}

}  // namespace

bool IsAdministrator() {
  return HiveWritable(RegistryHive::kLocalMachine);
}

Status RegistryKey::Open(RegistryHive hive, std::u16string_view path, bool writable,
                         RegistryKey* key) {
  std::u16string normal = NormalizePath(path);
  if (writable && !HiveWritable(hive)) {
    return Status::FromErrno(EACCES, "open registry key " + Utf16ToUtf8(normal) + " for writing");
  }
  if (!normal.empty()) {
    HiveData data;
    Status s = Load(hive, &data);
    if (!s.ok()) return s;
    KeyData* found = FindKey(&data, normal);
    if (!found) return NoKey(normal);
    normal = found->path;
  }
  key->valid_ = true;
  key->writable_ = writable;
  key->hive_ = hive;
  key->path_ = std::move(normal);
  return Status::Ok();
}

Status RegistryKey::Create(RegistryHive hive, std::u16string_view path, RegistryKey* key,
                           bool* created) {
  std::u16string normal = NormalizePath(path);
  bool was_created = false;
  std::u16string stored = normal;
  Status s = Modify(hive, [&](HiveData* data, bool* changed) {
    if (normal.empty()) return Status::Ok();
    // Every parent gets its own key line, as the format promises.
    size_t i = 0;
    while (true) {
      size_t j = normal.find(u'\\', i);
      std::u16string prefix = normal.substr(0, j);
      KeyData* found = FindKey(data, prefix);
      if (!found) {
        // Keep the case already stored for the parents.
        std::u16string name = prefix;
        size_t parent_end = prefix.rfind(u'\\');
        if (parent_end != std::u16string::npos) {
          KeyData* parent = FindKey(data, prefix.substr(0, parent_end));
          if (parent) name = parent->path + prefix.substr(parent_end);
        }
        data->keys.push_back(KeyData{name, {}});
        *changed = true;
        if (j == std::u16string::npos) was_created = true;
        found = &data->keys.back();
      }
      if (j == std::u16string::npos) {
        stored = found->path;
        break;
      }
      i = j + 1;
    }
    return Status::Ok();
  });
  if (!s.ok()) return s;
  key->valid_ = true;
  key->writable_ = true;
  key->hive_ = hive;
  key->path_ = stored;
  if (created) *created = was_created;
  return Status::Ok();
}

Status RegistryKey::Delete(RegistryHive hive, std::u16string_view path) {
  std::u16string normal = NormalizePath(path);
  if (normal.empty()) return Status::FromErrno(EINVAL, "delete the registry root");
  return Modify(hive, [&](HiveData* data, bool* changed) {
    if (!FindKey(data, normal)) return NoKey(normal);
    for (const KeyData& key : data->keys) {
      if (IsUnder(key.path, normal))
        return Status::FromErrno(ENOTEMPTY, "delete registry key " + Utf16ToUtf8(normal));
    }
    std::erase_if(data->keys, [&](const KeyData& key) { return SameName(key.path, normal); });
    *changed = true;
    return Status::Ok();
  });
}

Status RegistryKey::DeleteTree(RegistryHive hive, std::u16string_view path) {
  std::u16string normal = NormalizePath(path);
  if (normal.empty()) return Status::FromErrno(EINVAL, "delete the registry root");
  return Modify(hive, [&](HiveData* data, bool* changed) {
    if (!FindKey(data, normal)) return NoKey(normal);
    std::erase_if(data->keys, [&](const KeyData& key) {
      return SameName(key.path, normal) || IsUnder(key.path, normal);
    });
    *changed = true;
    return Status::Ok();
  });
}

Status RegistryKey::Query(std::u16string_view name, RegistryValue* value) const {
  if (!valid_) return Status::FromErrno(EBADF, "registry key not open");
  HiveData data;
  Status s = Load(hive_, &data);
  if (!s.ok()) return s;
  KeyData* key = FindKey(&data, path_);
  if (!key) {
    if (!path_.empty()) return NoKey(path_);
    return NoValue(name);
  }
  ValueData* found = FindValue(key, name);
  if (!found) return NoValue(name);
  *value = found->value;
  return Status::Ok();
}

Status RegistryKey::GetDword(std::u16string_view name, uint32_t* value) const {
  RegistryValue v;
  Status s = Query(name, &v);
  if (!s.ok()) return s;
  if (v.type != RegistryType::kDword)
    return Status::FromErrno(EINVAL, "registry value " + Utf16ToUtf8(name) + " is no DWORD");
  *value = v.dword;
  return Status::Ok();
}

Status RegistryKey::GetString(std::u16string_view name, std::u16string* value) const {
  RegistryValue v;
  Status s = Query(name, &v);
  if (!s.ok()) return s;
  if (v.type != RegistryType::kSz)
    return Status::FromErrno(EINVAL, "registry value " + Utf16ToUtf8(name) + " is no string");
  *value = std::move(v.text);
  return Status::Ok();
}

Status RegistryKey::GetMultiString(std::u16string_view name,
                                   std::vector<std::u16string>* values) const {
  RegistryValue v;
  Status s = Query(name, &v);
  if (!s.ok()) return s;
  if (v.type != RegistryType::kMultiSz) {
    return Status::FromErrno(EINVAL, "registry value " + Utf16ToUtf8(name) + " is no string list");
  }
  *values = std::move(v.texts);
  return Status::Ok();
}

Status RegistryKey::Set(std::u16string_view name, const RegistryValue& value) {
  if (!valid_) return Status::FromErrno(EBADF, "registry key not open");
  if (!writable_)
    return Status::FromErrno(EACCES, "registry key " + Utf16ToUtf8(path_) + " opened for reading");
  return Modify(hive_, [&](HiveData* data, bool* changed) {
    KeyData* key = FindKey(data, path_);
    if (!key) {
      if (!path_.empty()) return NoKey(path_);  // deleted since it was opened
      data->keys.insert(data->keys.begin(), KeyData{u"", {}});
      key = &data->keys.front();
    }
    ValueData* found = FindValue(key, name);
    if (found) {
      if (found->value == value) return Status::Ok();
      found->value = value;
    } else {
      key->values.push_back(ValueData{std::u16string(name), value});
    }
    *changed = true;
    return Status::Ok();
  });
}

Status RegistryKey::DeleteValue(std::u16string_view name) {
  if (!valid_) return Status::FromErrno(EBADF, "registry key not open");
  if (!writable_)
    return Status::FromErrno(EACCES, "registry key " + Utf16ToUtf8(path_) + " opened for reading");
  return Modify(hive_, [&](HiveData* data, bool* changed) {
    KeyData* key = FindKey(data, path_);
    if (!key) return path_.empty() ? NoValue(name) : NoKey(path_);
    size_t removed =
        std::erase_if(key->values, [&](const ValueData& v) { return SameName(v.name, name); });
    if (removed == 0) return NoValue(name);
    *changed = true;
    return Status::Ok();
  });
}

Status RegistryKey::ValueNames(std::vector<std::u16string>* names) const {
  names->clear();
  if (!valid_) return Status::FromErrno(EBADF, "registry key not open");
  HiveData data;
  Status s = Load(hive_, &data);
  if (!s.ok()) return s;
  KeyData* key = FindKey(&data, path_);
  if (!key) return path_.empty() ? Status::Ok() : NoKey(path_);
  for (const ValueData& value : key->values) names->push_back(value.name);
  return Status::Ok();
}

Status RegistryKey::SubkeyNames(std::vector<std::u16string>* names) const {
  names->clear();
  if (!valid_) return Status::FromErrno(EBADF, "registry key not open");
  HiveData data;
  Status s = Load(hive_, &data);
  if (!s.ok()) return s;
  if (!path_.empty() && !FindKey(&data, path_)) return NoKey(path_);
  for (const KeyData& key : data.keys) {
    if (IsChildOf(key.path, path_)) {
      size_t start = path_.empty() ? 0 : path_.size() + 1;
      names->push_back(key.path.substr(start));
    }
  }
  return Status::Ok();
}

}  // namespace quenvar::platform
