#include "engine/ThreadPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

using fusion::ThreadPool;

// Guards against a hang turning into a stuck suite; never a timing claim.
constexpr auto kDeadlockGuard = std::chrono::seconds(60);

// Polls (yielding) until `pool` has `count` workers parked on its condition
// variable. The pool exposes this count precisely so that callers can
// observe an idle pool.
void waitForIdleWorkers(const ThreadPool& pool, int count) {
    while (pool.idleWorkers() < count) std::this_thread::yield();
}

struct ThreadCountCase {
    unsigned requested;
    int expected;
};

class ThreadPoolSize : public ::testing::TestWithParam<ThreadCountCase> {};

TEST_P(ThreadPoolSize, StartsAtMostEightWorkers) {
    const ThreadCountCase c = GetParam();
    ThreadPool pool(static_cast<uint16_t>(c.requested));
    EXPECT_EQ(pool.threadCount(), c.expected);
    // Every started worker really runs its loop and parks.
    waitForIdleWorkers(pool, c.expected);
    EXPECT_EQ(pool.idleWorkers(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Counts, ThreadPoolSize,
                         ::testing::Values(ThreadCountCase{0, 0}, ThreadCountCase{1, 1},
                                           ThreadCountCase{6, 6}, ThreadCountCase{8, 8},
                                           ThreadCountCase{16, 8}, ThreadCountCase{65535, 8}));

TEST(ThreadPool, CommitReturnsTheResultThroughTheFuture) {
    ThreadPool pool(3);
    std::string text = "abc";
    // Arguments are bound by copy: changing the caller's string after the
    // commit must not reach the task.
    auto joined = pool.commit([](const std::string& s, int n) { return s + std::to_string(n); },
                              text, 7);
    text = "changed";
    std::vector<std::future<int>> squares;
    for (int i = 0; i < 50; ++i) squares.push_back(pool.commit([](int v) { return v * v; }, i));

    ASSERT_EQ(joined.wait_for(kDeadlockGuard), std::future_status::ready);
    EXPECT_EQ(joined.get(), "abc7");
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(squares[i].wait_for(kDeadlockGuard), std::future_status::ready);
        EXPECT_EQ(squares[i].get(), i * i);
    }
}

TEST(ThreadPool, WorkersRunTasksAtTheSameTime) {
    // Each task waits for the other one: this only finishes when two workers
    // run them concurrently.
    ThreadPool pool(2);
    std::promise<void> a_started, b_started;
    auto a_seen = a_started.get_future().share();
    auto b_seen = b_started.get_future().share();
    auto a = pool.commit([&] {
        a_started.set_value();
        return b_seen.wait_for(kDeadlockGuard) == std::future_status::ready;
    });
    auto b = pool.commit([&] {
        b_started.set_value();
        return a_seen.wait_for(kDeadlockGuard) == std::future_status::ready;
    });
    EXPECT_TRUE(a.get());
    EXPECT_TRUE(b.get());
}

TEST(ThreadPool, CommitOnAStoppedPoolThrowsTheExactText) {
    for (uint16_t threads : {uint16_t{0}, uint16_t{2}}) {
        ThreadPool pool(threads);
        pool.stop();
        try {
            (void)pool.commit([] { return 1; });
            ADD_FAILURE() << "commit on a stopped pool did not throw";
        } catch (const std::exception& e) {
            EXPECT_STREQ(e.what(), "commit on ThreadPool is stopped.");
        }
        pool.stop();  // a second stop is harmless
    }
}

TEST(ThreadPool, AThrowingTaskLeavesThePoolWorking) {
    ThreadPool pool(1);  // one worker, so the same thread must survive
    auto failing = pool.commit([]() -> int { throw std::runtime_error("task failed"); });
    try {
        (void)failing.get();
        ADD_FAILURE() << "the task's exception did not reach its future";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "task failed");
    }
    auto next = pool.commit([] { return 42; });
    ASSERT_EQ(next.wait_for(kDeadlockGuard), std::future_status::ready);
    EXPECT_EQ(next.get(), 42);
}

TEST(ThreadPool, WithoutWorkersATaskNeverRuns) {
    std::atomic<bool> ran{false};
    std::future<void> result;
    {
        ThreadPool pool(0);
        result = pool.commit([&ran] { ran = true; });
        EXPECT_EQ(result.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    }
    // The queued task was destroyed with the pool without running.
    EXPECT_FALSE(ran.load());
    try {
        result.get();
        ADD_FAILURE() << "an unrun task's future became ready";
    } catch (const std::future_error& e) {
        EXPECT_EQ(e.code(), std::future_errc::broken_promise);
    }
}

TEST(ThreadPool, AnIdleWorkerRunsATaskCommittedJustBeforeTheStop) {
    std::atomic<int> runs{0};
    std::future<void> result;
    {
        ThreadPool pool(1);
        waitForIdleWorkers(pool, 1);
        result = pool.commit([&runs] { ++runs; });
        pool.stop();
    }  // the destructor joins: the worker has finished by now
    EXPECT_EQ(runs.load(), 1);
    EXPECT_NO_THROW(result.get());
}

TEST(ThreadPool, TasksStillQueuedAfterTheStopAreDroppedUnrun) {
    std::promise<void> release;
    std::promise<void> started;
    std::atomic<bool> second_ran{false};
    std::future<void> first, second;
    {
        ThreadPool pool(1);
        first = pool.commit([&] {
            started.set_value();
            release.get_future().wait();
        });
        started.get_future().wait();
        second = pool.commit([&second_ran] { second_ran = true; });
        pool.stop();
        // The busy worker finishes its task, sees the stop at the top of its
        // loop and ends without taking the queued one.
        release.set_value();
    }
    EXPECT_NO_THROW(first.get());
    EXPECT_FALSE(second_ran.load());
    EXPECT_THROW(second.get(), std::future_error);
}

TEST(ThreadPoolConcurrent, CommitsFromManyThreadsRunExactlyOnce) {
    constexpr int kProducers = 4;
    constexpr int kTasksEach = 500;
    ThreadPool pool(3);
    std::vector<std::atomic<int>> hits(kProducers * kTasksEach);
    for (auto& h : hits) h = 0;
    std::vector<std::vector<std::future<void>>> futures(kProducers);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kTasksEach; ++i) {
                const int id = p * kTasksEach + i;
                futures[p].push_back(pool.commit([&hits, id] { hits[id].fetch_add(1); }));
            }
        });
    }
    for (auto& t : producers) t.join();
    for (auto& list : futures) {
        for (auto& f : list) ASSERT_EQ(f.wait_for(kDeadlockGuard), std::future_status::ready);
    }
    for (std::size_t i = 0; i < hits.size(); ++i) EXPECT_EQ(hits[i].load(), 1) << "task " << i;
}

TEST(ThreadPoolConcurrent, OnceStoppedEveryLaterCommitIsRefused) {
    // Producers race with the stop. Each one may see some commits accepted
    // and then only refusals, with the exact text; the destructor joins the
    // workers without hanging.
    constexpr int kProducers = 3;
    std::vector<int> accepted_after_refusal(kProducers, 0);
    std::vector<int> refused(kProducers, 0);
    {
        ThreadPool pool(2);
        std::vector<std::thread> producers;
        for (int p = 0; p < kProducers; ++p) {
            producers.emplace_back([&, p] {
                for (int i = 0; i < 2000; ++i) {
                    try {
                        (void)pool.commit([] {});
                        if (refused[p] > 0) ++accepted_after_refusal[p];
                    } catch (const std::runtime_error& e) {
                        EXPECT_STREQ(e.what(), "commit on ThreadPool is stopped.");
                        ++refused[p];
                    }
                }
            });
        }
        pool.stop();
        for (auto& t : producers) t.join();
        // Commits made after the producers finished are refused as well.
        EXPECT_THROW((void)pool.commit([] {}), std::runtime_error);
    }
    for (int p = 0; p < kProducers; ++p) EXPECT_EQ(accepted_after_refusal[p], 0) << "producer " << p;
}

#if defined(__linux__)
TEST(ThreadPool, WorkersRunAboveTheCreatorsPriorityWhenAllowed) {
    if (geteuid() != 0) GTEST_SKIP() << "raising a priority needs privileges here";
    const auto niceOfThisThread = [] {
        return getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    };
    const int creator = niceOfThisThread();
    if (creator <= -2) GTEST_SKIP() << "already at a raised priority";
    ThreadPool pool(1);
    auto worker = pool.commit(niceOfThisThread);
    ASSERT_EQ(worker.wait_for(kDeadlockGuard), std::future_status::ready);
    EXPECT_LT(worker.get(), creator);
}
#endif

}  // namespace
