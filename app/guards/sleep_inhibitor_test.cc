#include "app/guards/sleep_inhibitor.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "app/prompting/controller_ui.h"
#include "app/resources/string_table.h"

namespace quenvar::app {
namespace {

// Hands out one end of a socket pair per request and keeps the other, so the test sees when the
// inhibitor's descriptor is closed (the kept end then reads end-of-file).
class PairSource : public InhibitorSource {
 public:
  ~PairSource() override {
    for (int fd : kept_) ::close(fd);
  }
  int Inhibit(const InhibitRequest& request, std::string* error) override {
    requests.push_back(request);
    if (fail) {
      *error = "login manager not reachable";
      return -1;
    }
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
    kept_.push_back(pair[1]);
    return pair[0];
  }
  // True when the descriptor handed out for request n has been closed.
  bool Closed(size_t n) const {
    char byte;
    return ::recv(kept_.at(n), &byte, 1, MSG_DONTWAIT) == 0;
  }

  std::vector<InhibitRequest> requests;
  bool fail = false;

 private:
  std::vector<int> kept_;
};

TEST(SleepInhibitorTest, OneDescriptorHeldUntilReleased) {
  SetUiLanguage(1033);
  PairSource source;
  {
    SleepInhibitor inhibitor(&source);
    EXPECT_FALSE(inhibitor.held());
    ASSERT_TRUE(inhibitor.Acquire());
    ASSERT_TRUE(inhibitor.Acquire());  // still the one inhibitor
    ASSERT_EQ(source.requests.size(), 1u);
    EXPECT_EQ(source.requests[0].what, "shutdown:sleep:idle");
    EXPECT_EQ(source.requests[0].mode, "block");
    EXPECT_EQ(source.requests[0].who, "Quenvar");
    EXPECT_EQ(source.requests[0].why.find('\n'), std::string::npos);
    EXPECT_FALSE(source.requests[0].why.empty());
    EXPECT_FALSE(source.Closed(0));
    inhibitor.Release();
    EXPECT_TRUE(source.Closed(0));
    EXPECT_FALSE(inhibitor.held());
    inhibitor.Release();  // nothing held: nothing happens

    ASSERT_TRUE(inhibitor.Acquire());
    EXPECT_FALSE(source.Closed(1));
  }
  // Destroying the inhibitor releases what it holds.
  EXPECT_TRUE(source.Closed(1));
}

TEST(SleepInhibitorTest, NoLoginManagerDegradesSilently) {
  PairSource source;
  source.fail = true;
  KeepAwake keep_awake(&source);
  keep_awake.SetExecutionState(kEsKeepAwake);
  EXPECT_FALSE(keep_awake.held());
  EXPECT_EQ(keep_awake.inhibitor().last_error(), "login manager not reachable");
  keep_awake.SetExecutionState(kEsContinuous);
  EXPECT_FALSE(keep_awake.held());
}

TEST(SleepInhibitorTest, ExecutionStatesMapOntoTheInhibitor) {
  PairSource source;
  KeepAwake keep_awake(&source);
  keep_awake.SetExecutionState(0x00000001u);  // a one-time idle reset holds nothing
  EXPECT_FALSE(keep_awake.held());
  keep_awake.SetExecutionState(kEsKeepAwake);
  EXPECT_TRUE(keep_awake.held());
  keep_awake.SetExecutionState(kEsKeepAwake);  // a second job start keeps the one inhibitor
  EXPECT_EQ(source.requests.size(), 1u);
  keep_awake.SetExecutionState(kEsContinuous);
  EXPECT_FALSE(keep_awake.held());
  EXPECT_TRUE(source.Closed(0));
}

TEST(SleepInhibitorTest, LoginManagerOnTheSystemBus) {
  SetUiLanguage(1033);
  LogindInhibitorSource logind;
  std::string error;
  const int fd = logind.Inhibit(SleepInhibitor::ProgramRequest(), &error);
  if (fd < 0) GTEST_SKIP() << "no login manager to ask: " << error;
  EXPECT_GE(fd, 3);
  EXPECT_EQ(::close(fd), 0);
}

}  // namespace
}  // namespace quenvar::app
