#include <errno.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "thread/ThreadPool.h"
#include "thread/ThreadPoolTask.h"

namespace {

struct Board {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> started;  // task ids in the order their work() began
    int running = 0, permits = 0, destroyed = 0;
    bool waiterReturned = false, early = false;  // early: waitForFreeThread() returned before a deletion

    bool waitFor(const std::function<bool()>& predicate, int milliseconds = 10000) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(milliseconds), predicate);
    }
    void lockAnd(const std::function<void()>& change) {
        std::lock_guard<std::mutex> lock(mutex);
        change();
        changed.notify_all();
    }
};

// Records its start, returns on a permit and counts its deletion, slowly: time for an early waitForFreeThread().
struct RecordingTask : ThreadPoolTask {
    Board& board;
    int id;
    RecordingTask(Board& board, int id) : board(board), id(id) {}
    ~RecordingTask() override {
        board.waitFor([&] { return board.waiterReturned; }, 200);
        board.lockAnd([&] { ++board.destroyed; });
    }
    void work() override {
        std::unique_lock<std::mutex> lock(board.mutex);
        board.started.push_back(id), ++board.running;
        board.changed.notify_all();
        if (board.changed.wait_for(lock, std::chrono::seconds(10), [&] { return board.permits > 0; })) --board.permits;
        --board.running, board.changed.notify_all();
    }
};

}  // namespace

// In a child whose spare user may start only so many threads (-1: no limit); it exits with the check that failed.
TEST(ThreadPoolTest, RunsTasksFirstInFirstOutOnTheThreadsItCouldStartAndThrottlesOnThose) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the thread limit is set for a spare user";
    for (const auto& c : {std::make_pair(3, -1), std::make_pair(4, 2), std::make_pair(3, 0)}) {
        const pid_t child = fork();
        if (child == 0) {
            alarm(60);  // a wait that never ends kills the child
            const struct rlimit limit = {rlim_t(c.second + 1), rlim_t(c.second + 1)};  // and the child itself
            if (c.second >= 0 && (setrlimit(RLIMIT_NPROC, &limit) != 0 || setresuid(4343, 4343, 4343) != 0)) _exit(10);
            Board board;
            ThreadPool pool(c.first);
            const int running = pool.startedThreads(), tasks = running + 2;  // a sanitizer's thread may take one
            if (running > (c.second < 0 ? c.first : c.second) || (running < c.first) != (pool.startError() == EAGAIN))
                _exit(11);
            if (running == 0) board.permits = tasks;  // each runs inside schedule()
            for (int id = 0; id < tasks; ++id) pool.schedule(new RecordingTask(board, id));
            for (int finished = 0; finished < tasks && running > 0; ++finished) {
                if (!board.waitFor([&] { return board.running == std::min(running, tasks - finished); })) _exit(12);
                board.lockAnd([&] { ++board.permits; });
                if (tasks - finished == running) {  // every thread busy: it returns after the deletion
                    pool.waitForFreeThread();
                    board.lockAnd([&] { board.early = board.destroyed == finished, board.waiterReturned = true; });
                }
                if (!board.waitFor([&] { return board.destroyed == finished + 1; })) _exit(14);
            }
            std::vector<int>& order = board.started;            // all done: no lock needed
            std::sort(order.begin(), order.begin() + running);  // these start side by side
            pool.waitForFreeThread();                           // at once: every finished task gave its thread back
            _exit(board.early ? 13 : board.destroyed != tasks ? 15 : !std::is_sorted(order.begin(), order.end()));
        }
        int status = -1;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        EXPECT_EQ(0, status) << "pool of " << c.first << ", startable " << c.second;
    }
}
