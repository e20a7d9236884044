#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "thread/ThreadPool.h"
#include "thread/ThreadPoolTask.h"

namespace {

const auto deadline = std::chrono::seconds(10);

// What the tasks of one test report back. Every wait has a deadline, so a
// pool that never runs a task fails the test instead of hanging it.
struct Board {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> started;  // task ids in the order their work() began
    int running = 0;
    int maxRunning = 0;
    int permits = 0;  // blocked tasks that may return
    int destroyed = 0;

    template <typename Predicate>
    bool waitFor(Predicate predicate) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, deadline, predicate);
    }
    void release(int count) {
        std::lock_guard<std::mutex> lock(mutex);
        permits += count;
        changed.notify_all();
    }
};

enum class Until { none, permit, wakeSignal };

// A task that records its start, optionally waits for a permit or a wake-up,
// and counts its destruction.
class RecordingTask : public ThreadPoolTask {
public:
    RecordingTask(Board& board, int id, Until until) : board(board), id(id), until(until) {}
    ~RecordingTask() override {
        std::lock_guard<std::mutex> lock(board.mutex);
        ++board.destroyed;
        board.changed.notify_all();
    }

    void work() override {
        std::unique_lock<std::mutex> lock(board.mutex);
        board.started.push_back(id);
        ++board.running;
        if (board.running > board.maxRunning) board.maxRunning = board.running;
        board.changed.notify_all();
        if (until == Until::permit) {
            // Bounded, so that a broken pool cannot hang the test's process.
            board.changed.wait_for(lock, deadline, [&] { return board.permits > 0; });
            if (board.permits > 0) --board.permits;
        } else if (until == Until::wakeSignal) {
            lock.unlock();
            waitForWakeSignal();
            lock.lock();
        }
        --board.running;
        board.changed.notify_all();
    }

protected:
    Board& board;

private:
    int id;
    Until until;
};

}  // namespace

TEST(ThreadPoolTest, SingleThreadRunsTasksFirstInFirstOutAndDeletesEach) {
    Board board;
    ThreadPool pool(1);
    // The first task holds the only thread until all others are queued.
    pool.schedule(new RecordingTask(board, 0, Until::permit));
    for (int id = 1; id < 20; ++id) pool.schedule(new RecordingTask(board, id, Until::none));
    board.release(1);
    ASSERT_TRUE(board.waitFor([&] { return board.destroyed == 20; }));
    std::vector<int> expected;
    for (int id = 0; id < 20; ++id) expected.push_back(id);
    std::lock_guard<std::mutex> lock(board.mutex);
    EXPECT_EQ(expected, board.started);
    EXPECT_EQ(1, board.maxRunning);
}

TEST(ThreadPoolTest, AtMostSizeTasksRunAtOnce) {
    const int size = 3;
    const int tasks = 10;
    Board board;
    ThreadPool pool(size);
    for (int id = 0; id < tasks; ++id) pool.schedule(new RecordingTask(board, id, Until::permit));
    // Let the tasks finish one at a time; each time the pool must refill to
    // `size` running tasks while tasks are left, and never go above it.
    for (int finished = 0; finished < tasks; ++finished) {
        int expectedRunning = std::min(size, tasks - finished);
        ASSERT_TRUE(board.waitFor([&] { return board.running == expectedRunning; })) << "after " << finished;
        board.release(1);
        ASSERT_TRUE(board.waitFor([&] { return board.destroyed == finished + 1; }));
    }
    std::lock_guard<std::mutex> lock(board.mutex);
    EXPECT_EQ(size, board.maxRunning);
    EXPECT_EQ(static_cast<size_t>(tasks), board.started.size());
}

namespace {

// Gives a caller of waitForFreeThread() a bounded chance to get through while
// the task is still being deleted; a pool that frees the thread before the
// delete lets it through here, before the task counts itself destroyed.
class SlowlyDeletedTask : public RecordingTask {
public:
    SlowlyDeletedTask(Board& board, int id, const bool& waiterReturned)
        : RecordingTask(board, id, Until::permit), waiterReturned(waiterReturned) {}
    ~SlowlyDeletedTask() override {
        std::unique_lock<std::mutex> lock(board.mutex);
        board.changed.wait_for(lock, std::chrono::milliseconds(200), [&] { return waiterReturned; });
    }

private:
    const bool& waiterReturned;  // guarded by board.mutex
};

}  // namespace

TEST(ThreadPoolTest, WaitForFreeThreadReturnsOnlyAfterARunningTaskWasDeleted) {
    Board board;
    bool waiterReturned = false;  // guarded by board.mutex
    ThreadPool pool(2);
    pool.schedule(new SlowlyDeletedTask(board, 0, waiterReturned));
    pool.schedule(new SlowlyDeletedTask(board, 1, waiterReturned));
    ASSERT_TRUE(board.waitFor([&] { return board.running == 2; }));

    int destroyedWhenReturned = -1;
    std::thread waiter([&] {
        pool.waitForFreeThread();
        std::lock_guard<std::mutex> lock(board.mutex);
        waiterReturned = true;
        destroyedWhenReturned = board.destroyed;
        board.changed.notify_all();
    });
    board.release(1);
    ASSERT_TRUE(board.waitFor([&] { return waiterReturned; }));
    waiter.join();
    EXPECT_EQ(1, destroyedWhenReturned);

    board.release(1);
    ASSERT_TRUE(board.waitFor([&] { return board.destroyed == 2; }));
    pool.waitForFreeThread();  // nothing runs: returns at once
}

TEST(ThreadPoolTest, DestructorDeletesQueuedTasksAndWaitsForRunningOne) {
    {
        // No thread at all: every task stays queued and is deleted unrun.
        Board board;
        {
            ThreadPool pool(0);
            for (int id = 0; id < 3; ++id) pool.schedule(new RecordingTask(board, id, Until::none));
        }
        EXPECT_EQ(3, board.destroyed);
        EXPECT_TRUE(board.started.empty());
    }
    {
        Board board;
        auto pool = std::make_unique<ThreadPool>(1);
        pool->schedule(new RecordingTask(board, 0, Until::permit));
        for (int id = 1; id < 4; ++id) pool->schedule(new RecordingTask(board, id, Until::none));
        ASSERT_TRUE(board.waitFor([&] { return board.running == 1; }));
        std::thread destroyer([&] { pool.reset(); });
        board.release(1);
        destroyer.join();
        // Whether the queued ones ran before the pool stopped or not, each was
        // deleted exactly once by the time the destructor returned.
        std::lock_guard<std::mutex> lock(board.mutex);
        EXPECT_EQ(4, board.destroyed);
        EXPECT_EQ(0, board.running);
        ASSERT_FALSE(board.started.empty());
        EXPECT_EQ(0, board.started.front());
    }
}

TEST(ThreadPoolTaskTest, AwakenIsKeptUntilConsumedAndWakesASleepingTask) {
    Board board;
    {
        // Two wake-ups before the wait: the wait returns at once on this thread.
        RecordingTask task(board, 0, Until::wakeSignal);
        task.awaken();
        task.awaken();
        task.waitForWakeSignal();
    }
    ThreadPool pool(1);
    RecordingTask* task = new RecordingTask(board, 1, Until::wakeSignal);
    pool.schedule(task);
    ASSERT_TRUE(board.waitFor([&] { return board.running == 1; }));
    // The task cannot be deleted before this wake-up, so touching it is safe.
    task->awaken();
    ASSERT_TRUE(board.waitFor([&] { return board.destroyed == 2; }));
}
