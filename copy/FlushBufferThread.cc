#include "copy/FlushBufferThread.h"

#include "copy/CopyThread.h"

FlushBufferThread::FlushBufferThread(DebitCredit& debitCredit, CopyThread& copyThread)
    : DebitListThread(debitCredit), copyThread(copyThread) {}

void FlushBufferThread::run() {
    for (;;) {
        waitForWakeSignal();
        // Whether anything moved does not matter: an empty copy list only
        // makes the copy thread look once more and sleep again.
        flushBuffer();
        copyThread.awaken();
    }
}
