#include "app/startup/single_instance.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace quenvar::app {
namespace {

class SingleInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/orvex_instance_XXXXXX";
    root_ = ::mkdtemp(pattern);
    ::chmod(root_.c_str(), 0755);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  std::string root_;
};

TEST_F(SingleInstanceTest, OnlyOneHolderAtATimeAndTheLockEndsWithItsHolder) {
  const std::string path = root_ + "/run/instance.lock";
  {
    InstanceLock first(path);
    EXPECT_EQ(first.Claim(), InstanceClaim::kHeld);
    EXPECT_TRUE(first.held());
    EXPECT_EQ(first.Claim(), InstanceClaim::kHeld);  // claiming again keeps it
    InstanceLock second(path);
    EXPECT_EQ(second.Claim(), InstanceClaim::kRunningSameUser);
    EXPECT_FALSE(second.held());
    // The folder is shared by every user.
    EXPECT_EQ(std::filesystem::status(root_ + "/run").permissions(), std::filesystem::perms::all |
                                                                        std::filesystem::perms::sticky_bit);
  }
  // The file stays behind; the lock does not.
  EXPECT_TRUE(std::filesystem::exists(path));
  InstanceLock third(path);
  EXPECT_EQ(third.Claim(), InstanceClaim::kHeld);
}

TEST_F(SingleInstanceTest, HolderInAnotherProcessOfTheSameUserIsFound) {
  const std::string path = root_ + "/instance.lock";
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    InstanceLock lock(path);
    const char state = lock.Claim() == InstanceClaim::kHeld ? 'h' : 'x';
    (void)!::write(ready[1], &state, 1);
    ::pause();
    ::_exit(0);
  }
  char state = 0;
  ASSERT_EQ(::read(ready[0], &state, 1), 1);
  EXPECT_EQ(state, 'h');
  InstanceLock lock(path);
  EXPECT_EQ(lock.Claim(), InstanceClaim::kRunningSameUser);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  // A killed holder leaves the file but not the lock.
  EXPECT_EQ(lock.Claim(), InstanceClaim::kHeld);
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST_F(SingleInstanceTest, HolderOfAnotherUserIsReportedAsSuch) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const passwd* nobody = ::getpwnam("nobody");
  if (!nobody) GTEST_SKIP() << "no user nobody";
  // The shared folder exists, as /run/quenvar does once the first instance made it.
  ASSERT_EQ(::mkdir((root_ + "/shared").c_str(), 0755), 0);
  ASSERT_EQ(::chmod((root_ + "/shared").c_str(), 01777), 0);
  const std::string path = root_ + "/shared/instance.lock";
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0) ::_exit(1);
    InstanceLock lock(path);
    const char state = lock.Claim() == InstanceClaim::kHeld ? 'h' : 'x';
    (void)!::write(ready[1], &state, 1);
    ::pause();
    ::_exit(0);
  }
  char state = 0;
  ASSERT_EQ(::read(ready[0], &state, 1), 1);
  EXPECT_EQ(state, 'h');
  InstanceLock lock(path);
  EXPECT_EQ(lock.Claim(), InstanceClaim::kRunningOtherUser);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  // The other user's file can still be locked once nobody holds it.
  EXPECT_EQ(lock.Claim(), InstanceClaim::kHeld);
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST_F(SingleInstanceTest, UncreatableLockFallsBackToThePerUserLock) {
  ::setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
  std::ofstream(root_ + "/file") << "x";
  InstanceLock lock(root_ + "/file/instance.lock");  // a folder that cannot exist
  EXPECT_EQ(lock.Claim(), InstanceClaim::kHeld);
  EXPECT_EQ(lock.path(), root_ + "/quenvar-instance.lock");
  InstanceLock second(root_ + "/file/instance.lock");
  EXPECT_EQ(second.Claim(), InstanceClaim::kRunningSameUser);
  ::unsetenv("XDG_RUNTIME_DIR");
}

TEST_F(SingleInstanceTest, SecondStartRaisesTheRunningWindow) {
  const std::string path = root_ + "/main.sock";
  EXPECT_FALSE(ActivateRunningInstance(path, 200));  // nobody listens: nothing happens
  ActivationServer server;
  ASSERT_TRUE(server.Listen(path).ok());
  std::atomic<int> raised{0};
  std::atomic<bool> stop{false};
  std::thread window([&] {
    while (!stop) {
      server.AcceptPending([&] { ++raised; });
      ::usleep(5000);
    }
  });
  EXPECT_TRUE(ActivateRunningInstance(path, 2000));
  EXPECT_TRUE(ActivateRunningInstance(path, 2000));
  stop = true;
  window.join();
  EXPECT_EQ(raised, 2);
}

TEST_F(SingleInstanceTest, GarbageIsNotAnActivation) {
  const std::string path = root_ + "/main.sock";
  ActivationServer server;
  ASSERT_TRUE(server.Listen(path).ok());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::send(fd, "hello\n", 6, 0), 6);
  int raised = 0;
  EXPECT_EQ(server.AcceptPending([&] { ++raised; }), 0);
  EXPECT_EQ(raised, 0);
  ::close(fd);
}

TEST_F(SingleInstanceTest, StaleSocketIsReplacedAndTheSocketGoesWithItsServer) {
  const std::string path = root_ + "/main.sock";
  {
    ActivationServer crashed;
    ASSERT_TRUE(crashed.Listen(path).ok());
    ::close(dup(crashed.fd()));
  }
  EXPECT_FALSE(std::filesystem::exists(path));
  // A socket file left by a killed instance.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ::close(fd);
  EXPECT_FALSE(ActivateRunningInstance(path, 200));
  ActivationServer server;
  ASSERT_TRUE(server.Listen(path).ok());
  EXPECT_EQ(std::filesystem::status(path).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  // A second Listen on the same object is refused rather than leaking the first socket.
  EXPECT_FALSE(server.Listen(path).ok());
}

}  // namespace
}  // namespace quenvar::app
