#include "app/guards/session_guard.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <chrono>

#include "app/prompting/scripted_prompter.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "platform/message_window.h"

namespace quenvar::app {
namespace {

// A prompter whose message boxes stay on screen until the test closes them.
class HeldPrompter : public ScriptedPrompter {
 public:
  int ShowMessage(const MessageRequest& request) override {
    const int answer = ScriptedPrompter::ShowMessage(request);
    std::unique_lock<std::mutex> lock(mutex_);
    ++open_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return close_ > 0; });
    --close_;
    --open_;
    changed_.notify_all();
    return answer;
  }
  void WaitOpen(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return open_ == count; });
  }
  void CloseOne() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++close_;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int open_ = 0;
  int close_ = 0;
};

class SessionGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUiLanguage(1033);
    prompter_.SetMainWindow(&owner_token_);
    guard_.set_owner(&owner_token_);
  }

  HeldPrompter prompter_;
  ScopedPrompter scoped_{&prompter_};
  int owner_token_ = 0;
  bool running_ = false;
  int raised_ = 0;
  SessionGuard guard_{[this] { return running_; }, [this] { ++raised_; }};
};

TEST_F(SessionGuardTest, IdleAllowsEverything) {
  EXPECT_TRUE(guard_.QueryEndSession());
  bool handled = true;
  EXPECT_EQ(guard_.PowerBroadcast(kPbtApmQuerySuspend, 0, &handled), 0);
  EXPECT_FALSE(handled);
  EXPECT_EQ(raised_, 0);
  EXPECT_EQ(guard_.notices_started(), 0);
  // The framework's own refusal stands.
  EXPECT_FALSE(guard_.QueryEndSession(false));
}

TEST_F(SessionGuardTest, DuringAJobOneNoticeAtATime) {
  running_ = true;
  EXPECT_FALSE(guard_.QueryEndSession());  // answered before the user saw anything
  EXPECT_EQ(raised_, 1);
  prompter_.WaitOpen(1);
  EXPECT_TRUE(guard_.notice_shown());

  bool handled = false;
  EXPECT_EQ(guard_.PowerBroadcast(kPbtApmQuerySuspend, 0, &handled), kBroadcastQueryDeny);
  EXPECT_TRUE(handled);
  EXPECT_FALSE(guard_.QueryEndSession());
  EXPECT_EQ(raised_, 3);
  EXPECT_EQ(guard_.notices_started(), 1);

  // Other broadcasts get the default handling even during a job.
  EXPECT_EQ(guard_.PowerBroadcast(7, 0, &handled), 0);
  EXPECT_FALSE(handled);

  prompter_.CloseOne();
  guard_.JoinNotice();
  EXPECT_FALSE(guard_.notice_shown());
  const auto records = prompter_.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message.text, std::u16string(LoadString(ids::kShutdownRefused)));
  EXPECT_EQ(records[0].message.caption, std::u16string(LoadString(ids::kAppTitle)));
  EXPECT_EQ(records[0].message.icon, PromptIcon::kInformation);
  EXPECT_EQ(records[0].message.owner, &owner_token_);

  // Once closed, the next refusal shows the notice again.
  EXPECT_EQ(guard_.PowerBroadcast(kPbtApmQuerySuspend, 0, &handled), kBroadcastQueryDeny);
  prompter_.WaitOpen(1);
  EXPECT_EQ(guard_.notices_started(), 2);
  prompter_.CloseOne();
  guard_.JoinNotice();
}

TEST_F(SessionGuardTest, MessageWindowAnswersTheGuardMessages) {
  HWND window = guard_.CreateWindow();
  ASSERT_TRUE(platform::IsWindow(window));
  const UINT autoplay = SessionGuard::AutoPlayMessage();
  EXPECT_GE(autoplay, 0xC000u);
  EXPECT_EQ(autoplay, platform::RegisterWindowMessage(u"queryCancelAutoPlay"));
  EXPECT_EQ(platform::SendMessage(window, autoplay, 0, 0), 1);
  EXPECT_EQ(platform::SendMessage(window, kWmQueryEndSession, 0, 0), TRUE);
  EXPECT_EQ(platform::SendMessage(window, kWmPowerBroadcast, kPbtApmQuerySuspend, 0), TRUE);

  running_ = true;
  EXPECT_EQ(platform::SendMessage(window, autoplay, 0, 0), 1);
  EXPECT_EQ(platform::SendMessage(window, kWmQueryEndSession, 0, 0), FALSE);
  prompter_.WaitOpen(1);
  EXPECT_EQ(platform::SendMessage(window, kWmPowerBroadcast, kPbtApmQuerySuspend, 0),
            kBroadcastQueryDeny);
  EXPECT_EQ(guard_.notices_started(), 1);
  prompter_.CloseOne();
  guard_.JoinNotice();
}

TEST_F(SessionGuardTest, DestroyedWhileTheNoticeIsOpen) {
  auto guard = std::make_unique<SessionGuard>([] { return true; }, nullptr);
  EXPECT_FALSE(guard->QueryEndSession());
  prompter_.WaitOpen(1);
  guard.reset();  // must not wait for the user
  prompter_.CloseOne();
  prompter_.WaitOpen(0);
  // The notice thread only has its own state left to touch; let it end before the prompter goes.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

}  // namespace
}  // namespace quenvar::app
