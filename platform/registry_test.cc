#include "platform/registry.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "gtest/gtest.h"
#include "platform/env.h"
#include "platform/temp_dir.h"

namespace quenvar::platform {
namespace {

constexpr RegistryHive kUser = RegistryHive::kCurrentUser;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    setenv("QUENVAR_REGISTRY_ROOT", dir_.path().c_str(), 1);
  }
  void TearDown() override { unsetenv("QUENVAR_REGISTRY_ROOT"); }
  ScopedTempDir dir_;
};

TEST_F(RegistryTest, CreateTellsNewFromExistingAndNamesIgnoreCase) {
  RegistryKey key;
  EXPECT_EQ(RegistryKey::Open(kUser, u"Software\\VARNOLD", false, &key).code(), ENOENT);
  bool created = false;
  ASSERT_TRUE(RegistryKey::Create(kUser, u"Software\\VARNOLD\\OpticalDiscAPL\\Orvex\\ContentsList", &key, &created).ok());
  EXPECT_TRUE(created);
  ASSERT_TRUE(RegistryKey::Create(kUser, u"\\software\\varnold\\opticaldiscapl\\ORVEX\\contentslist\\", &key, &created).ok());
  EXPECT_FALSE(created);
  EXPECT_EQ(key.path(), u"Software\\VARNOLD\\OpticalDiscAPL\\Orvex\\ContentsList");  // stored case kept
  ASSERT_TRUE(RegistryKey::Create(kUser, u"SOFTWARE\\VARNOLD\\Other", &key, &created).ok());
  EXPECT_TRUE(created);
  EXPECT_EQ(key.path(), u"Software\\VARNOLD\\Other");  // parents keep their case

  // Parents exist as keys of their own.
  ASSERT_TRUE(RegistryKey::Open(kUser, u"software\\varnold", false, &key).ok());
  std::vector<std::u16string> names;
  ASSERT_TRUE(key.SubkeyNames(&names).ok());
  EXPECT_EQ(names, (std::vector<std::u16string>{u"OpticalDiscAPL", u"Other"}));
  ASSERT_TRUE(RegistryKey::Open(kUser, u"", false, &key).ok());
  ASSERT_TRUE(key.SubkeyNames(&names).ok());
  EXPECT_EQ(names, std::vector<std::u16string>{u"Software"});

  // The machine hive is a separate file.
  EXPECT_EQ(RegistryKey::Open(RegistryHive::kLocalMachine, u"Software", false, &key).code(), ENOENT);
  EXPECT_EQ(RegistryHivePath(kUser), dir_.path() + "/user/registry");
  EXPECT_EQ(RegistryHivePath(RegistryHive::kLocalMachine), dir_.path() + "/machine/registry");
}

TEST_F(RegistryTest, ValuesRoundTripExactly) {
  RegistryKey key;
  ASSERT_TRUE(RegistryKey::Create(kUser, u"Software\\Test", &key, nullptr).ok());
  std::u16string odd = u"quote\" back\\slash\nnew line \t tab ";
  odd += char16_t(0);  // an embedded NUL
  odd += u"after";
  odd += char16_t(0xD800);  // unpaired high surrogate
  odd += u"x";
  odd += char16_t(0xDC00);  // unpaired low surrogate
  odd += u"\U0001F600 日本語 é \\u0041 end";
  ASSERT_TRUE(key.SetString(u"Odd", odd).ok());
  ASSERT_TRUE(key.SetDword(u"Max", 0xFFFFFFFFu).ok());
  ASSERT_TRUE(key.SetDword(u"Zero", 0).ok());
  std::vector<std::u16string> list = {u"", u"one", odd, u""};
  ASSERT_TRUE(key.SetMultiString(u"List", list).ok());
  ASSERT_TRUE(key.SetMultiString(u"Empty", {}).ok());
  ASSERT_TRUE(key.SetString(u"", u"default value").ok());

  RegistryKey reader;
  ASSERT_TRUE(RegistryKey::Open(kUser, u"SOFTWARE\\TEST", false, &reader).ok());
  std::u16string text;
  ASSERT_TRUE(reader.GetString(u"odd", &text).ok());
  EXPECT_EQ(text, odd);
  uint32_t dword = 1;
  ASSERT_TRUE(reader.GetDword(u"MAX", &dword).ok());
  EXPECT_EQ(dword, 0xFFFFFFFFu);
  ASSERT_TRUE(reader.GetDword(u"zero", &dword).ok());
  EXPECT_EQ(dword, 0u);
  std::vector<std::u16string> got;
  ASSERT_TRUE(reader.GetMultiString(u"list", &got).ok());
  EXPECT_EQ(got, list);
  ASSERT_TRUE(reader.GetMultiString(u"empty", &got).ok());
  EXPECT_TRUE(got.empty());
  ASSERT_TRUE(reader.GetString(u"", &text).ok());
  EXPECT_EQ(text, u"default value");

  // Wrong type, missing value, read-only key.
  EXPECT_EQ(reader.GetDword(u"Odd", &dword).code(), EINVAL);
  EXPECT_EQ(reader.GetString(u"Max", &text).code(), EINVAL);
  EXPECT_EQ(reader.GetString(u"Missing", &text).code(), ENOENT);
  EXPECT_EQ(reader.SetDword(u"Max", 1).code(), EACCES);
  EXPECT_EQ(RegistryKey().SetDword(u"x", 1).code(), EBADF);

  // Overwriting under another case keeps one value, with the name it was created with.
  ASSERT_TRUE(key.SetDword(u"MAX", 7).ok());
  std::vector<std::u16string> names;
  ASSERT_TRUE(reader.ValueNames(&names).ok());
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Odd", u"Max", u"Zero", u"List", u"Empty", u""}));
  ASSERT_TRUE(key.DeleteValue(u"max").ok());
  EXPECT_EQ(key.DeleteValue(u"max").code(), ENOENT);
  EXPECT_EQ(reader.GetDword(u"Max", &dword).code(), ENOENT);
  // Only the hive and its lock file are left.
  std::vector<DirectoryEntry> files;
  ASSERT_TRUE(Env::Default()->ListDirectory(dir_.path() + "/user", &files).ok());
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].name, "registry");
  EXPECT_EQ(files[1].name, "registry.lock");
}

TEST_F(RegistryTest, DeletingKeys) {
  RegistryKey key;
  ASSERT_TRUE(RegistryKey::Create(kUser, u"A\\B\\C", &key, nullptr).ok());
  ASSERT_TRUE(key.SetDword(u"v", 1).ok());
  EXPECT_EQ(RegistryKey::Delete(kUser, u"a\\b").code(), ENOTEMPTY);
  EXPECT_EQ(RegistryKey::Delete(kUser, u"").code(), EINVAL);
  ASSERT_TRUE(RegistryKey::Delete(kUser, u"a\\b\\c").ok());
  EXPECT_EQ(key.SetDword(u"v", 2).code(), ENOENT);  // the open key is gone
  EXPECT_EQ(RegistryKey::Delete(kUser, u"a\\b\\c").code(), ENOENT);
  ASSERT_TRUE(RegistryKey::Create(kUser, u"A\\B\\C\\D", &key, nullptr).ok());
  ASSERT_TRUE(RegistryKey::Create(kUser, u"AB", &key, nullptr).ok());
  ASSERT_TRUE(RegistryKey::DeleteTree(kUser, u"A").ok());
  EXPECT_EQ(RegistryKey::Open(kUser, u"A\\B\\C\\D", false, &key).code(), ENOENT);
  EXPECT_TRUE(RegistryKey::Open(kUser, u"AB", false, &key).ok());  // a sibling with the same prefix stays
}

TEST_F(RegistryTest, ADamagedHiveIsReadAsFarAsPossibleAndKeptBeforeRewriting) {
  std::string path = RegistryHivePath(kUser);
  ASSERT_EQ(mkdir((dir_.path() + "/user").c_str(), 0700), 0);
  std::string original =
      "quenvar-registry 1\n"
      "# a comment\n"
      "key \"Software\\\\X\"\n"
      "value \"Good\" dword 5\n"
      "value \"Bad\" dword 99999999999\n"
      "value \"Unterminated\" sz \"abc\n"
      "key \"Software\\\\X\\\\Y\n"
      "value \"Orphan\" dword 1\n"
      "garbage line\n"
      "key \"Software\\\\Z\"\r\n"
      "value \"Crlf\" sz \"ok\"\r\n";
  std::ofstream(path, std::ios::binary) << original;
  RegistryKey key;
  ASSERT_TRUE(RegistryKey::Open(kUser, u"Software\\X", true, &key).ok());
  uint32_t dword = 0;
  ASSERT_TRUE(key.GetDword(u"Good", &dword).ok());
  EXPECT_EQ(dword, 5u);
  EXPECT_EQ(key.GetDword(u"Bad", &dword).code(), ENOENT);
  EXPECT_EQ(key.GetDword(u"Orphan", &dword).code(), ENOENT);  // not misfiled into X
  RegistryKey z;
  ASSERT_TRUE(RegistryKey::Open(kUser, u"Software\\Z", false, &z).ok());
  std::u16string text;
  ASSERT_TRUE(z.GetString(u"Crlf", &text).ok());
  EXPECT_EQ(text, u"ok");

  ASSERT_TRUE(key.SetDword(u"New", 1).ok());
  EXPECT_EQ(ReadText(path + ".damaged"), original);
  ASSERT_TRUE(key.GetDword(u"Good", &dword).ok());
  ASSERT_TRUE(key.GetDword(u"New", &dword).ok());
}

// A child that saves the same value over and over, alternating between two large texts; it writes
// one byte to ready after the first save.
[[noreturn]] void SaveForever(const std::u16string& a, const std::u16string& b, int ready) {
  RegistryKey key;
  if (!RegistryKey::Create(kUser, u"Software\\Crash", &key, nullptr).ok()) _exit(2);
  for (uint64_t i = 0;; ++i) {
    if (!key.SetString(u"Big", (i % 2) ? b : a).ok()) _exit(3);
    if (i == 0 && write(ready, "r", 1) != 1) _exit(4);
  }
}

TEST_F(RegistryTest, AKilledWriterLeavesTheOldOrTheNewHive) {
  std::u16string a(100000, u'a'), b(150000, u'b');
  for (int round = 0; round < 12; ++round) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) SaveForever(a, b, pipe_fds[1]);
    close(pipe_fds[1]);
    char byte;
    ASSERT_EQ(read(pipe_fds[0], &byte, 1), 1);
    close(pipe_fds[0]);
    usleep(round * 2500);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed on its own: " << status;
    RegistryKey key;
    ASSERT_TRUE(RegistryKey::Open(kUser, u"Software\\Crash", false, &key).ok());
    std::u16string text;
    Status s = key.GetString(u"Big", &text);
    ASSERT_TRUE(s.ok()) << s.ToString();
    EXPECT_TRUE(text == a || text == b) << "torn value of " << text.size() << " units";
    EXPECT_FALSE(Exists(RegistryHivePath(kUser) + ".damaged"));
  }
  // The next change clears what the killed writers left behind.
  RegistryKey key;
  ASSERT_TRUE(RegistryKey::Open(kUser, u"Software\\Crash", true, &key).ok());
  ASSERT_TRUE(key.SetDword(u"After", 1).ok());
  std::vector<DirectoryEntry> files;
  ASSERT_TRUE(Env::Default()->ListDirectory(dir_.path() + "/user", &files).ok());
  EXPECT_EQ(files.size(), 2u);
}

TEST_F(RegistryTest, TwoProcessesWritingDifferentValuesBothKeepThem) {
  constexpr int kCount = 40;
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      RegistryKey key;
      if (!RegistryKey::Create(kUser, u"Software\\Shared", &key, nullptr).ok()) _exit(2);
      for (int i = 0; i < kCount; ++i) {
        std::u16string name = (c == 0 ? u"A" : u"B") + std::u16string(1, char16_t(u'0' + i / 10)) +
                              std::u16string(1, char16_t(u'0' + i % 10));
        if (!key.SetDword(name, static_cast<uint32_t>(i)).ok()) _exit(3);
      }
      _exit(0);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  RegistryKey key;
  ASSERT_TRUE(RegistryKey::Open(kUser, u"Software\\Shared", false, &key).ok());
  std::vector<std::u16string> names;
  ASSERT_TRUE(key.ValueNames(&names).ok());
  EXPECT_EQ(names.size(), 2u * kCount);
}

TEST(RegistryPathTest, HivesFollowTheUsersConfigurationFolder) {
  unsetenv("QUENVAR_REGISTRY_ROOT");
  const char* old_config = getenv("XDG_CONFIG_HOME");
  std::string saved_config = old_config ? old_config : "";
  const char* old_home = getenv("HOME");
  std::string saved_home = old_home ? old_home : "";
  setenv("XDG_CONFIG_HOME", "/x/config", 1);
  EXPECT_EQ(RegistryHivePath(kUser), "/x/config/quenvar/registry");
  setenv("XDG_CONFIG_HOME", "relative", 1);
  setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(RegistryHivePath(kUser), "/home/someone/.config/quenvar/registry");
  EXPECT_EQ(RegistryHivePath(RegistryHive::kLocalMachine), "/etc/quenvar/registry");
  if (old_config) setenv("XDG_CONFIG_HOME", saved_config.c_str(), 1); else unsetenv("XDG_CONFIG_HOME");
  if (old_home) setenv("HOME", saved_home.c_str(), 1); else unsetenv("HOME");
}

TEST_F(RegistryTest, AdministratorMeansTheMachineHiveIsWritable) {
  if (geteuid() != 0) {
    EXPECT_FALSE(IsAdministrator() && access("/etc", W_OK) != 0);
    GTEST_SKIP() << "needs root to try an unprivileged user";
  }
  EXPECT_TRUE(IsAdministrator());
  std::string machine = dir_.path() + "/machine";
  ASSERT_EQ(mkdir(machine.c_str(), 0755), 0);
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    RegistryKey key;
    bool denied = !IsAdministrator() &&
                  RegistryKey::Open(RegistryHive::kLocalMachine, u"", true, &key).code() == EACCES &&
                  RegistryKey::Open(RegistryHive::kLocalMachine, u"", false, &key).ok();
    chmod(machine.c_str(), 0777);  // fails: not the owner; the parent opens it below
    _exit(denied ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_EQ(chmod(machine.c_str(), 0777), 0);
  child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    _exit(IsAdministrator() ? 0 : 1);
  }
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace quenvar::platform
