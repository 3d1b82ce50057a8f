#include "platform/notification_center.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace zv::platform {
namespace {

using ::testing::ElementsAre;
using Token = NotificationCenter::ObserverToken;

TEST(NotificationCenter, DeliversToObserversOfTheNameInTheOrderAdded) {
  NotificationCenter center;
  std::vector<std::string> calls;
  for (const char* observer : {"first", "second", "third"}) {
    center.addObserver(u"Changed", [&calls, observer](std::u16string_view name) {
      EXPECT_EQ(name, u"Changed");
      calls.emplace_back(observer);
    });
  }
  // An observer may post in turn: that delivery runs inside this one.
  center.addObserver(u"Changed",
                     [&](std::u16string_view) { center.postNotificationName(u"Other"); });
  center.addObserver(u"Other", [&](std::u16string_view) { calls.emplace_back("other"); });
  center.postNotificationName(u"Changed");
  center.postNotificationName(u"Nobody listens");
  EXPECT_THAT(calls, ElementsAre("first", "second", "third", "other"));
}

// Changes made by an observer during a delivery, and what that delivery and the next one do.
TEST(NotificationCenter, ObserversMayChangeTheObserversDuringADelivery) {
  struct Case {
    const char* name;
    std::vector<std::string> firstPost;
    std::vector<std::string> secondPost;
  };
  const Case cases[] = {
      {"removes_a_later_observer", {"a"}, {"a"}},
      {"removes_itself", {"a", "b"}, {"b"}},
      {"adds_an_observer", {"a", "b"}, {"a", "b", "new"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NotificationCenter center;
    std::vector<std::string> calls;
    Token tokenA = 0;
    Token tokenB = 0;
    bool changed = false;
    const std::string behaviour = c.name;
    tokenA = center.addObserver(u"Changed", [&](std::u16string_view) {
      calls.emplace_back("a");
      if (changed) {
        return;
      }
      changed = true;
      if (behaviour == "removes_a_later_observer") {
        center.removeObserver(tokenB);
      } else if (behaviour == "removes_itself") {
        center.removeObserver(tokenA);
      } else {
        center.addObserver(u"Changed", [&](std::u16string_view) { calls.emplace_back("new"); });
      }
    });
    tokenB = center.addObserver(u"Changed", [&](std::u16string_view) { calls.emplace_back("b"); });
    center.postNotificationName(u"Changed");
    EXPECT_EQ(calls, c.firstPost);
    calls.clear();
    center.postNotificationName(u"Changed");
    EXPECT_EQ(calls, c.secondPost);
  }
}

TEST(NotificationCenter, ThreadsAddPostAndRemoveAtOnce) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 500;
  NotificationCenter center;
  std::atomic<int> wrongCounts = 0;
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([&, thread] {
      const std::u16string name =
          u"Thread" + std::u16string(1, static_cast<char16_t>(u'0' + thread));
      for (int round = 0; round < kRounds; ++round) {
        int calls = 0;
        const Token token = center.addObserver(name, [&](std::u16string_view) { ++calls; });
        center.postNotificationName(name);
        center.removeObserver(token);
        center.postNotificationName(name);
        if (calls != 1) {
          ++wrongCounts;
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(wrongCounts, 0);
}

}  // namespace
}  // namespace zv::platform
