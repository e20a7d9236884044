#include "daemon/StopThread.h"

#include <signal.h>
#include <unistd.h>

#include "systemd/ServiceNotifier.h"
#include "util/Stop.h"

namespace {

// The longest wait for the journal's last commit.
const int journalSeconds = 5;

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

}  // namespace

StopThread::StopThread(const std::string& logFilePath) : logFile(logFilePath) {}

void StopThread::blockStopSignals() {
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);  // cannot fail with a valid set and how
}

void StopThread::run() {
    const sigset_t set = stopSignals();
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    SYSTEMD::notifyStopping();  // under systemd: the stop has begun
    UTILITIES::requestStop();
    int cutOff = 0;
    if (!UTILITIES::waitForFileSteps(graceSeconds)) {
        cutOff = UTILITIES::fileSteps();
        UTILITIES::abortCopies();
        // A copy gives up within one block; one hung in the kernel (a dead
        // network disk) is left to the end of the process.
        UTILITIES::waitForFileSteps(5);
    }
    // What the steps that finished booked goes in before the end.
    Journal* const written = journal.load(std::memory_order_acquire);
    if (written != nullptr) written->flush(journalSeconds);
    logFile << "++ VELLORT stopped on " << (signal == SIGINT ? "SIGINT" : "SIGTERM");
    if (cutOff > 0) logFile << "; " << cutOff << " steps on files did not finish within " << graceSeconds << " s";
    logFile << endl;
    // The other threads never end by themselves: end the process without
    // running destructors under their feet.
    _exit(0);
}
