#include "space/FlushedSteps.h"

namespace {

// Steps on a disk held back at most: a kill loses no more bookings than that.
const size_t groupSize = 256;

}  // namespace

void FlushedSteps::begin() {
    // Opened before the first step, so that the flush sees what went wrong since.
    flush.watchDirectory(directory_);
    onDisk = !flush.empty();
}

bool FlushedSteps::add(const FileInfo& file, bool done) {
    steps.emplace_back(file, done);
    return !onDisk || steps.size() >= groupSize;
}

int FlushedSteps::take(std::vector<Step>& out) {
    out.clear();
    if (steps.empty()) return 0;
    const int error = flush.flush();
    out.swap(steps);
    if (onDisk) flush.watchDirectory(directory_);  // for the steps still to come
    return error;
}
