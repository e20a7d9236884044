#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "thread/ThreadPool.h"
#include "thread/ThreadPoolTask.h"

namespace {

// What the tasks report back. Every wait has a deadline, so a broken pool fails the test instead of hanging it.
struct Board {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> started;  // task ids in the order their work() began
    int running = 0, maxRunning = 0, permits = 0, destroyed = 0;
    bool waiterReturned = false;

    template <typename Predicate>
    bool waitFor(Predicate predicate, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, deadline, predicate);
    }
    void permit() {
        std::lock_guard<std::mutex> lock(mutex);
        ++permits;
        changed.notify_all();
    }
};

// Records its start, returns on a permit and counts its deletion. A slowly deleted task gives a
// waitForFreeThread() that returns before the deletion the time to do so.
struct RecordingTask : ThreadPoolTask {
    Board& board;
    int id;
    bool slow;

    RecordingTask(Board& board, int id, bool slow = false) : board(board), id(id), slow(slow) {}
    ~RecordingTask() override {
        if (slow) board.waitFor([&] { return board.waiterReturned; }, std::chrono::milliseconds(200));
        std::lock_guard<std::mutex> lock(board.mutex);
        ++board.destroyed;
        board.changed.notify_all();
    }
    void work() override {
        std::unique_lock<std::mutex> lock(board.mutex);
        board.started.push_back(id);
        board.maxRunning = std::max(board.maxRunning, ++board.running);
        board.changed.notify_all();
        if (board.changed.wait_for(lock, std::chrono::seconds(10), [&] { return board.permits > 0; })) --board.permits;
        --board.running;
        board.changed.notify_all();
    }
};

}  // namespace

TEST(ThreadPoolTest, RunsAtMostSizeTasksFirstInFirstOutAndDeletesEach) {
    const int size = 3, tasks = 10;
    Board board;
    ThreadPool pool(size);
    for (int id = 0; id < tasks; ++id) pool.schedule(new RecordingTask(board, id));
    // Tasks finish one at a time; the pool refills to `size` and never goes above it.
    for (int finished = 0; finished < tasks; ++finished) {
        ASSERT_TRUE(board.waitFor([&] { return board.running == std::min(size, tasks - finished); })) << finished;
        board.permit();
        ASSERT_TRUE(board.waitFor([&] { return board.destroyed == finished + 1; }));
    }
    std::lock_guard<std::mutex> lock(board.mutex);
    EXPECT_EQ(size, board.maxRunning);
    std::sort(board.started.begin(), board.started.begin() + size);  // these start side by side
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}), board.started);
}

TEST(ThreadPoolTest, WaitForFreeThreadReturnsOnlyAfterARunningTaskWasDeleted) {
    Board board;
    ThreadPool pool(2);
    pool.schedule(new RecordingTask(board, 0, true));
    pool.schedule(new RecordingTask(board, 1, true));
    ASSERT_TRUE(board.waitFor([&] { return board.running == 2; }));
    board.permit();
    pool.waitForFreeThread();
    {
        std::lock_guard<std::mutex> lock(board.mutex);
        EXPECT_EQ(1, board.destroyed);
        board.waiterReturned = true;
        board.changed.notify_all();
    }
    board.permit();
    ASSERT_TRUE(board.waitFor([&] { return board.destroyed == 2; }));
}
