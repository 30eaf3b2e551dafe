#include "platform/sync.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "gtest/gtest.h"

namespace quenvar::platform {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(EventTest, AutoResetReleasesOneWaitPerSetManualResetReleasesAll) {
  Event automatic(Event::Kind::kAutoReset);
  automatic.Set();
  EXPECT_TRUE(automatic.IsSet());
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.IsSet());
  EXPECT_FALSE(automatic.Wait(0));

  Event manual(Event::Kind::kManualReset, true);
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));
  manual.Reset();
  EXPECT_FALSE(manual.Wait(0));

  // Four threads wait on an auto-reset event; each Set lets exactly one through.
  std::atomic<int> through{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      if (automatic.Wait(5000)) ++through;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  automatic.Set();
  for (int i = 0; i < 2500 && through.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(through.load(), 1);
  for (int i = 0; i < 3; ++i) automatic.Set(), std::this_thread::sleep_for(std::chrono::milliseconds(20));
  for (auto& t : waiters) t.join();
  EXPECT_EQ(through.load(), 4);
  EXPECT_FALSE(automatic.IsSet());
}

TEST(EventTest, TimeOutsLastAsLongAsAsked) {
  Event e(Event::Kind::kManualReset);
  auto start = Clock::now();
  EXPECT_FALSE(e.Wait(60));
  int64_t waited = MsSince(start);
  EXPECT_GE(waited, 60);
  EXPECT_LT(waited, 2000);

  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    e.Set();
  });
  start = Clock::now();
  EXPECT_TRUE(e.Wait(kInfinite));
  EXPECT_LT(MsSince(start), 2000);
  setter.join();
}

TEST(WaitForEventsTest, AnyReturnsTheLowestSetIndexAndConsumesOnlyIt) {
  Event a(Event::Kind::kAutoReset), b(Event::Kind::kAutoReset), c(Event::Kind::kManualReset);
  Event* events[] = {&a, &b, &c};
  EXPECT_EQ(WaitForEvents(events, false, 0), kWaitTimeout);
  b.Set();
  c.Set();
  EXPECT_EQ(WaitForEvents(events, false, 0), 1u);
  EXPECT_FALSE(b.IsSet());
  EXPECT_EQ(WaitForEvents(events, false, 0), 2u);
  EXPECT_TRUE(c.IsSet());  // manual reset stays set
  c.Reset();

  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    a.Set();
  });
  EXPECT_EQ(WaitForEvents(events, false, 5000), 0u);
  setter.join();
  EXPECT_EQ(WaitForEvents({}, false, 10), kWaitTimeout);
}

TEST(WaitForEventsTest, AllConsumesNothingUntilEveryEventIsSet) {
  Event a(Event::Kind::kAutoReset), b(Event::Kind::kAutoReset);
  Event* events[] = {&a, &b};
  a.Set();
  auto start = Clock::now();
  EXPECT_EQ(WaitForEvents(events, true, 50), kWaitTimeout);
  EXPECT_GE(MsSince(start), 50);
  EXPECT_TRUE(a.IsSet());  // not consumed by the failed wait
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    b.Set();
  });
  EXPECT_EQ(WaitForEvents(events, true, 5000), 0u);
  setter.join();
  EXPECT_FALSE(a.IsSet());
  EXPECT_FALSE(b.IsSet());
}

TEST(ThreadTest, KeepsTheExitCodeAndCanBeWaitedWithEvents) {
  Event go(Event::Kind::kManualReset);
  std::unique_ptr<Thread> thread = Thread::Start([&]() -> uint32_t {
    go.Wait();
    return 0x08000032;
  });
  ASSERT_TRUE(thread);
  EXPECT_EQ(thread->ExitCode(), kStillActive);
  EXPECT_FALSE(thread->Join(20));
  Event other(Event::Kind::kManualReset);
  Event* events[] = {&other, thread->ended()};
  go.Set();
  EXPECT_EQ(WaitForEvents(events, false, 5000), 1u);
  EXPECT_TRUE(thread->Join());
  EXPECT_EQ(thread->ExitCode(), 0x08000032u);

  // Letting go of a running thread leaves it running to its end.
  auto done = std::make_shared<std::atomic<bool>>(false);
  auto release = std::make_shared<Event>(Event::Kind::kManualReset);
  Thread::Start([done, release]() -> uint32_t {
    release->Wait();
    *done = true;
    return 0;
  }).reset();
  release->Set();
  for (int i = 0; i < 500 && !*done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_TRUE(*done);
}

}  // namespace
}  // namespace quenvar::platform
