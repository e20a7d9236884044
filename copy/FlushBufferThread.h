#ifndef VELLORT_COPY_FLUSHBUFFERTHREAD_H
#define VELLORT_COPY_FLUSHBUFFERTHREAD_H

#include "ledger/DebitListThread.h"

class CopyThread;

// Moves newly announced files from the ledger's buffer to its copy list each
// time the pipe reader wakes it (Storage::flushBuffer), and wakes the copy
// thread. It keeps the pipe reader from ever waiting on the copy list's lock
// while the copy thread holds it.
//
// Borrowed: the ledger and the copy thread belong to the storage, which
// outlives this thread.
class FlushBufferThread : public DebitListThread {
public:
    FlushBufferThread(DebitCredit& debitCredit, CopyThread& copyThread);

protected:
    void run() override;

private:
    CopyThread& copyThread;
};

#endif
