#ifndef VELLORT_UTIL_STOP_H
#define VELLORT_UTIL_STOP_H

// The daemon's stop, asked for by SIGTERM or SIGINT. From then on no thread
// starts a new step on a file (a copy, a link, a removal, a deletion), and the
// steps under way are counted, so that the stop can let them finish: a step
// cut off half-way would leave a temporary file or link behind.
//
// Any thread may call these; the state is a few atomics.
namespace UTILITIES {

void requestStop();
bool stopRequested();

// Running copies give up at their next block, removing their temporary file:
// for copies that would not finish within the stop's grace time.
void abortCopies();
bool copiesAborted();

// How many steps are under way; waits until none is, or `seconds` have passed.
int fileSteps();
bool waitForFileSteps(double seconds);

// Sleeps until the process ends: where a thread meets the stop, it takes no
// further work and leaves its state as it is.
[[noreturn]] void parkForStop();

// One step on a file, counted while the object lives. Counted first and the
// stop looked at second, so that the stop either sees the step or the step
// sees the stop.
class FileStep {
public:
    FileStep();
    ~FileStep();

    FileStep(const FileStep&) = delete;
    FileStep& operator=(const FileStep&) = delete;

    // False once the stop was asked for: the step must not begin.
    bool allowed() const { return allowed_; }

private:
    bool allowed_;
};

}  // namespace UTILITIES

#endif
