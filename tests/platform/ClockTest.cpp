// Virtual time with parallel jobs: each job's sleeps move its own timeline, the jobs take turns
// in the order of their times, and the caller resumes at the latest end.

#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>

#include "platform/Clock.h"

namespace qvfw::platform {
namespace {

TEST(VirtualClock, ParallelJobsOverlapAndTheCallerResumesAtTheLatestEnd) {
  VirtualClock clock;
  clock.Sleep(100);
  std::vector<uint64_t> ends(3);
  const std::vector<uint32_t> sleeps{2000, 500, 1200};
  std::vector<std::function<void()>> jobs;
  for (size_t i = 0; i < sleeps.size(); ++i) {
    jobs.push_back([&, i] {
      EXPECT_EQ(clock.NowMs(), 100u) << "every job starts at the caller's time";
      for (int k = 0; k < 4; ++k) clock.Sleep(sleeps[i] / 4);
      ends[i] = clock.NowMs();
    });
  }
  clock.RunParallel(jobs);
  EXPECT_EQ(ends, (std::vector<uint64_t>{2100, 600, 1300}));
  EXPECT_EQ(clock.NowMs(), 2100u);
  clock.Sleep(1);
  EXPECT_EQ(clock.NowUs(), 2'101'000u);
}

// Whatever the jobs share sees time only move forward, and a run is the same every time: the
// turn goes to the earliest job, the lowest number among equals.
TEST(VirtualClock, TurnsFollowTheJobsTimesAndRepeatExactly) {
  auto run = [] {
    VirtualClock clock;
    std::vector<std::pair<uint64_t, size_t>> log;  // written only by the job whose turn it is
    std::vector<std::function<void()>> jobs;
    for (size_t i = 0; i < 5; ++i) {
      jobs.push_back([&, i] {
        for (uint64_t step = 0; step < 20; ++step) {
          log.emplace_back(clock.NowUs(), i);
          clock.SleepUs(137 * (i + 1) + step % 3);
        }
      });
    }
    clock.RunParallel(jobs);
    return log;
  };
  const auto first = run();
  ASSERT_EQ(first.size(), 100u);
  for (size_t k = 1; k < first.size(); ++k) {
    ASSERT_LE(first[k - 1].first, first[k].first) << "step " << k;
    if (first[k - 1].first == first[k].first) {
      EXPECT_LT(first[k - 1].second, first[k].second) << "step " << k;
    }
  }
  EXPECT_EQ(run(), first);
}

TEST(VirtualClock, AFailingJobLetsTheOthersFinishAndIsReportedAfter) {
  VirtualClock clock;
  bool otherFinished = false;
  std::vector<std::function<void()>> jobs{
      [&] {
        clock.Sleep(10);
        throw std::runtime_error("job 0");
      },
      [&] {
        clock.Sleep(50);
        otherFinished = true;
      }};
  EXPECT_THROW(clock.RunParallel(jobs), std::runtime_error);
  EXPECT_TRUE(otherFinished);
  EXPECT_EQ(clock.NowMs(), 50u);
}

TEST(VirtualClock, ParallelWorkInsideAJobRunsOnTheJobsOwnTimeline) {
  VirtualClock clock;
  uint64_t innerEnd = 0;
  std::vector<std::function<void()>> inner{[&] { clock.Sleep(30); }, [&] { clock.Sleep(40); }};
  std::vector<std::function<void()>> jobs{[&] {
                                            clock.RunParallel(inner);
                                            innerEnd = clock.NowMs();
                                          },
                                          [&] { clock.Sleep(5); }};
  clock.RunParallel(jobs);
  EXPECT_EQ(innerEnd, 70u);
  EXPECT_EQ(clock.NowMs(), 70u);
}

TEST(SteadyClock, RunsEveryJobAndReportsAFailureAfterAll) {
  SteadyClock clock;
  std::vector<int> ran(4, 0);
  std::vector<std::function<void()>> jobs;
  for (size_t i = 0; i < ran.size(); ++i) jobs.push_back([&, i] {
    ran[i] = 1;
    if (i == 1) throw std::logic_error("job 1");
  });
  EXPECT_THROW(clock.RunParallel(jobs), std::logic_error);
  EXPECT_EQ(ran, (std::vector<int>{1, 1, 1, 1}));
}

}  // namespace
}  // namespace qvfw::platform
