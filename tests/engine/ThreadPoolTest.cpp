#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/EngineMessage.h"
#include "engine/ThreadPool.h"
#include "platform/platform.h"

namespace {

using fusion::ThreadPool;

// Only guards against a hang turning into a stuck suite.
constexpr auto kDeadlockGuard = std::chrono::seconds(60);

void waitForIdleWorkers(const ThreadPool& pool, int count) {
    while (pool.idleWorkers() < count) std::this_thread::yield();
}

template <class T>
void expectBrokenPromise(std::future<T>& future) {
    try {
        future.get();
        ADD_FAILURE() << "the task ran";
    } catch (const std::future_error& e) {
        EXPECT_EQ(e.code(), std::future_errc::broken_promise);
    }
}

TEST(ThreadPool, StoppedPoolRefusesWithTheExactText) {
    ThreadPool pool(2);
    pool.stop();
    try {
        (void)pool.commit([] { return 1; });
        ADD_FAILURE() << "commit on a stopped pool did not throw";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "commit on ThreadPool is stopped.");
    }
}

TEST(ThreadPool, AThrowingTaskLeavesThePoolWorking) {
    ThreadPool pool(1);  // the same worker must survive
    auto failing = pool.commit([]() -> int { throw std::runtime_error("task failed"); });
    std::string text = "4";
    auto next = pool.commit([](const std::string& s, int n) { return std::stoi(s) * n; }, text, 10);
    text = "changed";  // arguments are bound by copy
    // Waiting for the second first: the worker has let go of the first's exception.
    ASSERT_EQ(next.wait_for(kDeadlockGuard), std::future_status::ready);
    EXPECT_EQ(next.get(), 40);
    EXPECT_THROW(failing.get(), std::runtime_error);
}

// Repeated until the worker wakes both for the task and for the stop: the task runs.
TEST(ThreadPool, AnIdleWorkerRunsATaskCommittedJustBeforeTheStop) {
    for (int round = 0; round < 200; ++round) {
        std::future<int> result;
        {
            ThreadPool pool(1);
            waitForIdleWorkers(pool, 1);
            result = pool.commit([] { return 5; });
            pool.stop();
        }
        ASSERT_EQ(result.wait_for(std::chrono::seconds(0)), std::future_status::ready)
            << "round " << round;
        EXPECT_EQ(result.get(), 5);
    }
}

TEST(ThreadPool, ABusyWorkerLeavesTasksQueuedAfterTheStop) {
    std::promise<void> started, release;
    std::future<void> first, second;
    {
        ThreadPool pool(1);
        first = pool.commit([&] {
            started.set_value();
            release.get_future().wait();
        });
        started.get_future().wait();
        second = pool.commit([] {});
        pool.stop();
        release.set_value();
    }
    EXPECT_NO_THROW(first.get());
    expectBrokenPromise(second);
}

// Second stages run on raised workers, ahead of a busy host's threads.
TEST(ThreadPool, WorkersRunAtTheRaisedPriority) {
    bool allowed = false;
    std::thread probe([&] { allowed = fusion::platform::raiseCurrentThreadPriority(); });
    probe.join();
    if (!allowed) GTEST_SKIP() << "this process may not raise a thread's priority";
    ThreadPool pool(2);
    std::vector<std::future<bool>> raised;
    for (int i = 0; i < 4; ++i)
        raised.push_back(
            pool.commit([] { return fusion::platform::currentThreadPriorityRaised(); }));
    for (auto& r : raised) {
        ASSERT_EQ(r.wait_for(kDeadlockGuard), std::future_status::ready);
        EXPECT_TRUE(r.get());
    }
}

TEST(ThreadPoolConcurrent, CommitsFromManyThreadsRunExactlyOnce) {
    constexpr int kProducers = 4, kTasksEach = 500;
    ThreadPool pool(3);
    std::vector<std::atomic<int>> hits(kProducers * kTasksEach);
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
        for (auto& f : list) {
            ASSERT_EQ(f.wait_for(kDeadlockGuard), std::future_status::ready);
        }
    }
    for (std::size_t i = 0; i < hits.size(); ++i) ASSERT_EQ(hits[i].load(), 1) << "task " << i;
}

// Workers store the message while the host reads and replaces it (for the thread sanitizer).
TEST(EngineMessageConcurrent, StoredAndReadFromTwoThreads) {
    fusion::EngineMessage message("none");
    std::thread worker([&] {
        for (int i = 0; i < 20000; ++i)
            message.set(i % 2 ? "a message longer than any inline buffer" : "b");
    });
    std::size_t read = 0;
    for (int i = 0; i < 20000; ++i, message.set("host")) read += message.get().size();
    worker.join();
    EXPECT_GT(read, 0u);
}

}  // namespace
