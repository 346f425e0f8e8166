#include "platform/deadline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>

using namespace std::chrono_literals;

TEST(DeadlineTest, AnswerInTimeIsReturnedAndALateOneIsDropped) {
  EXPECT_EQ(velkaro::RunWithDeadline<std::string>([] { return std::string("answer"); }, 5s), "answer");

  // A call that hangs: the caller is back after the deadline; the thread owns
  // its work and ends when it is let go, long after the caller gave up.
  auto release = std::make_shared<std::promise<void>>();
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::shared_future<void> released = release->get_future().share();
  const auto started = std::chrono::steady_clock::now();
  const auto late = velkaro::RunWithDeadline<int>(
      [released, finished] {
        released.wait();
        finished->store(true);
        return 1;
      },
      50ms, "hung call");
  EXPECT_FALSE(late.has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_FALSE(finished->load());
  release->set_value();
  for (int i = 0; i < 500 && !finished->load(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(finished->load());

  EXPECT_TRUE(velkaro::RunWithDeadline([] {}, 5s));
}
