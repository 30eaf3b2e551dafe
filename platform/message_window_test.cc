#include "platform/message_window.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "gtest/gtest.h"

extern "C" LRESULT SecondCopySendMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
extern "C" bool SecondCopyPostMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
extern "C" bool SecondCopyIsWindow(HWND window);
extern "C" UINT SecondCopyRegisterWindowMessage(const char16_t* name);

namespace quenvar::platform {
namespace {

// Pumps the calling thread until done is set.
void PumpUntil(const std::atomic<bool>& done) {
  while (!done.load()) {
    WaitForMessages(10);
    PumpMessages();
  }
}

TEST(MessageWindowTest, ManySendsFromAWorkerAllGetTheirReplies) {
  std::atomic<int> calls{0};
  std::thread::id procedure_thread;
  HWND window = CreateMessageWindow([&](HWND, UINT message, WPARAM wparam, LPARAM lparam) -> LRESULT {
    procedure_thread = std::this_thread::get_id();
    ++calls;
    return static_cast<LRESULT>(wparam) * 3 + lparam + message;
  });
  std::atomic<bool> done{false};
  int wrong = 0;
  std::thread worker([&] {
    for (int i = 0; i < 10000; ++i) {
      if (SendMessage(window, 7, i, 1) != static_cast<LRESULT>(i) * 3 + 8) ++wrong;
    }
    done = true;
  });
  PumpUntil(done);
  worker.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(calls.load(), 10000);
  EXPECT_EQ(procedure_thread, std::this_thread::get_id());
  DestroyMessageWindow(window);
}

TEST(MessageWindowTest, SendFromOwnerIsDirectAndPostWaitsForThePumpInOrder) {
  std::vector<UINT> seen;
  HWND window = CreateMessageWindow([&](HWND, UINT message, WPARAM, LPARAM) -> LRESULT {
    seen.push_back(message);
    return 42;
  });
  EXPECT_EQ(SendMessage(window, 1, 0, 0), 42);
  ASSERT_EQ(seen, std::vector<UINT>{1});
  for (UINT m = 100; m < 200; ++m) ASSERT_TRUE(PostMessage(window, m, 0, 0));
  EXPECT_EQ(seen.size(), 1u);
  EXPECT_TRUE(WaitForMessages(0));
  EXPECT_EQ(PumpMessages(), 100u);
  ASSERT_EQ(seen.size(), 101u);
  for (UINT m = 100; m < 200; ++m) EXPECT_EQ(seen[m - 99], m);
  EXPECT_FALSE(WaitForMessages(0));
  EXPECT_EQ(PumpMessages(), 0u);
  DestroyMessageWindow(window);
}

TEST(MessageWindowTest, APostFromInsideTheProcedureWaitsForTheNextPump) {
  HWND window = nullptr;
  int calls = 0;
  window = CreateMessageWindow([&](HWND self, UINT, WPARAM, LPARAM) -> LRESULT {
    ++calls;
    PostMessage(self, 1, 0, 0);
    return 0;
  });
  PostMessage(window, 1, 0, 0);
  EXPECT_EQ(PumpMessages(), 1u);
  EXPECT_EQ(PumpMessages(), 1u);
  EXPECT_EQ(calls, 2);
  DestroyMessageWindow(window);
  EXPECT_EQ(PumpMessages(), 0u);  // the queued post went with the window
}

TEST(MessageWindowTest, DestroyedWindowRefusesMessagesAndReleasesBlockedSenders) {
  HWND window = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 5; });
  std::atomic<int> released{0};
  std::vector<std::thread> senders;
  for (int i = 0; i < 4; ++i) {
    senders.emplace_back([&] {
      EXPECT_EQ(SendMessage(window, 1, 0, 0), 0);
      ++released;
    });
  }
  // Give the senders time to queue their messages; none is dispatched.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(released.load(), 0);
  PostMessage(window, 2, 0, 0);
  DestroyMessageWindow(window);
  for (auto& t : senders) t.join();
  EXPECT_EQ(released.load(), 4);
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(SendMessage(window, 1, 0, 0), 0);
  EXPECT_FALSE(PostMessage(window, 1, 0, 0));
  EXPECT_EQ(PumpMessages(), 0u);
  DestroyMessageWindow(window);  // a second destroy is harmless
  EXPECT_FALSE(IsWindow(nullptr));
  EXPECT_FALSE(IsWindow(reinterpret_cast<HWND>(INVALID_HANDLE_VALUE)));
}

TEST(MessageWindowTest, ThreadsSendingToEachOthersWindowsDoNotDeadlock) {
  // Each thread owns a window whose procedure sends to the other thread's window: a nested send
  // while the owner itself waits in SendMessage.
  std::atomic<HWND> windows[2] = {nullptr, nullptr};
  std::atomic<int> finished{0};
  int failures[2] = {0, 0};
  auto body = [&](int me) {
    int other = 1 - me;
    windows[me] = CreateMessageWindow([&, other](HWND, UINT message, WPARAM wparam, LPARAM) -> LRESULT {
      if (message == 1) return SendMessage(windows[other].load(), 2, wparam, 0) + 1;
      return static_cast<LRESULT>(wparam) * 10;
    });
    while (!windows[other].load()) std::this_thread::yield();
    for (int i = 0; i < 2000; ++i) {
      if (SendMessage(windows[other].load(), 1, i, 0) != static_cast<LRESULT>(i) * 10 + 1) ++failures[me];
    }
    ++finished;
    while (finished.load() < 2) {
      WaitForMessages(5);
      PumpMessages();
    }
    DestroyMessageWindow(windows[me].load());
  };
  std::thread a(body, 0), b(body, 1);
  a.join();
  b.join();
  EXPECT_EQ(failures[0], 0);
  EXPECT_EQ(failures[1], 0);
}

TEST(MessageWindowTest, WindowsDieWithTheirThreadAndReleaseSenders) {
  std::atomic<HWND> window{nullptr};
  std::atomic<bool> quit{false};
  std::thread owner([&] {
    window = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 1; });
    while (!quit.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (!window.load()) std::this_thread::yield();
  std::thread sender([&] { EXPECT_EQ(SendMessage(window.load(), 1, 0, 0), 0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  quit = true;
  owner.join();
  sender.join();
  EXPECT_FALSE(IsWindow(window.load()));
  EXPECT_FALSE(PostMessage(window.load(), 1, 0, 0));
}

TEST(MessageWindowTest, NotifyFdIsReadableExactlyWhileMessagesArePending) {
  int fd = MessageNotifyFd();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(MessageNotifyFd(), fd);
  auto readable = [fd] {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
  };
  HWND window = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; });
  EXPECT_FALSE(readable());
  std::thread([&] { PostMessage(window, 1, 0, 0); }).join();
  EXPECT_TRUE(readable());
  PumpMessages();
  EXPECT_FALSE(readable());
  // A sender blocked on this thread makes it readable too.
  std::atomic<bool> done{false};
  std::thread sender([&] {
    SendMessage(window, 1, 0, 0);
    done = true;
  });
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  PumpUntil(done);
  sender.join();
  EXPECT_FALSE(readable());
  DestroyMessageWindow(window);
}

TEST(MessageWindowTest, AnotherCopyOfTheLayerDrivesThisCopysWindows) {
  std::vector<UINT> posted;
  HWND window = CreateMessageWindow([&](HWND, UINT message, WPARAM wparam, LPARAM) -> LRESULT {
    if (message >= 100) posted.push_back(message);
    return static_cast<LRESULT>(wparam) + 1;
  });
  EXPECT_TRUE(SecondCopyIsWindow(window));
  // Same thread through the other copy: still a direct call.
  EXPECT_EQ(SecondCopySendMessage(window, 1, 9, 0), 10);
  std::atomic<bool> done{false};
  LRESULT reply = 0;
  std::thread worker([&] {
    reply = SecondCopySendMessage(window, 1, 41, 0);
    SecondCopyPostMessage(window, 100, 0, 0);
    SecondCopyPostMessage(window, 101, 0, 0);
    done = true;
  });
  PumpUntil(done);
  worker.join();
  PumpMessages();
  EXPECT_EQ(reply, 42);
  EXPECT_EQ(posted, (std::vector<UINT>{100, 101}));
  DestroyMessageWindow(window);
  EXPECT_FALSE(SecondCopyIsWindow(window));
  EXPECT_EQ(SecondCopySendMessage(window, 1, 0, 0), 0);
  // Both copies agree on registered message numbers.
  EXPECT_EQ(SecondCopyRegisterWindowMessage(u"QueryCancelAutoPlay"),
            RegisterWindowMessage(u"QueryCancelAutoPlay"));
}

TEST(MessageWindowTest, RegisteredMessagesIgnoreCase) {
  UINT a = RegisterWindowMessage(u"QueryCancelAutoPlay");
  EXPECT_GE(a, 0xC000u);
  EXPECT_LE(a, 0xFFFFu);
  EXPECT_EQ(RegisterWindowMessage(u"querycancelautoplay"), a);
  UINT b = RegisterWindowMessage(u"SomethingElse");
  EXPECT_NE(a, b);
  EXPECT_EQ(RegisterWindowMessage(u""), 0u);
  std::vector<UINT> many;
  for (int i = 0; i < 300; ++i) {
    std::u16string name = u"Name";
    name += static_cast<char16_t>(u'A' + i % 26);
    name += static_cast<char16_t>(u'0' + i / 26);
    many.push_back(RegisterWindowMessage(name));
  }
  std::sort(many.begin(), many.end());
  EXPECT_EQ(std::unique(many.begin(), many.end()), many.end());
}

}  // namespace
}  // namespace quenvar::platform
