#ifndef VELLORT_INTAKE_LISTTHREAD_H
#define VELLORT_INTAKE_LISTTHREAD_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "ledger/DebitListThread.h"
#include "log/LogFile.h"
#include "thread/Thread.h"
#include "util/TrustedTree.h"

class Storage;

// The daemon's one reader of the announcement pipe. Each line is a finished
// file, which becomes one shared FileInfo handed to every storage, or a
// "usershift:" line, which records the new user process-wide, switches every
// storage to the new shift and starts the removal of the previous users'
// files. run() never returns: the start-up waits on this thread for the life
// of the process.
//
// Borrowed: the storages, which the start-up never deletes. Everything else
// belongs to the reader's own thread.
class ListThread : public Thread {
public:
    // ramdisk: the RAM disk's mount point as configured; only files below it are taken.
    ListThread(const std::vector<Storage*>& storages, const std::string& logFilePath, const std::string& pipePath,
               const std::string& ramdisk);

protected:
    void run() override;

private:
    // Opens the pipe for reading, waiting for a writer; retries every second
    // while the pipe cannot be opened.
    FILE* _openPipe();
    void _logEndOfFileAndPause();
    void _handleLine(const char* line);
    void _userShift(uint32_t uid, uint32_t gid);
    // Why the announced file's folder cannot be taken: a directory on the way
    // below the RAM disk is a symbolic link. Empty otherwise, also when the
    // folder is missing (its copies then fail and are reported).
    std::string _linkOnTheWay(const std::string& belowRamdisk);
    // `path` is in the marker form and safe for every storage.
    void _announce(const std::string& path);

    std::vector<Storage*> storages;
    std::string logFilePath;
    LogFile logFile;
    std::string pipePath;
    std::string ramdisk;

    // Used by the reader's thread only.
    DebitListThread::PollundInfo shift;  // the current user and the start of its shift
    TrustedTree ramdiskTree;             // holds the folder of the file announced last
};

#endif
