#include "space/DelThread.h"

#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>

#include "net/MessageServer.h"
#include "space/LinkThread.h"
#include "util/Paths.h"
#include "util/Time.h"

DelThread::DelThread(DebitCredit& debitCredit, const Storage::Params& params)
    : DebitListThread(debitCredit), params(params), logFile(params.logfile) {}

DelThread::~DelThread() = default;

void DelThread::run() {
    for (;;) {
        waitForWakeSignal();
        while (getDeleteList(pending)) {
            // Files of earlier shifts are still being copied or linked; each
            // reaches the delete list when its step ends.
            if (pending.empty()) {
                UTILITIES::sleepNanoSeconds(1000000000);
                continue;
            }
            for (FileInfo& file : pending) _delete(file);
        }
    }
}

void DelThread::_delete(FileInfo& file) {
    // Keeps a link or removal pass of the same storage off the file meanwhile.
    FileInfo::ReadLock lock(file);
    const std::string path = params.origin.empty()
                                 ? file.pathToOrigin()
                                 : params.origin + "/" + UTILITIES::getFilePathAfterDot(file.pathToOrigin());
    const std::string reason = _keepReason(file, path);
    if (!reason.empty()) {
        const std::string text = "Warning: Not removing " + path + ": " + reason;
        logFile << text << endl;
        if (params.messageServer != nullptr)
            params.messageServer->addToMessageQueue(MessageServer::REMOVE_ERROR, path, text);
        return;
    }
    if (remove(path.c_str()) == -1) {
        int removeErrno = errno;
        logFile << "++ Error: could not remove " << path << "\n" << LogManip(&LogFile::errmsg, removeErrno) << endl;
        if (params.messageServer != nullptr)
            params.messageServer->addToMessageQueue(MessageServer::REMOVE_ERROR, path,
                                                    "Error: could not remove " + path);
    }
}

std::string DelThread::_keepReason(const FileInfo& file, const std::string& path) {
    // A file whose copy failed is, here, the only copy there is.
    const uint32_t copied = params.type == Storage::INTERNAL ? FileInfo::INTERNAL_COPIED : FileInfo::EXTERNAL_COPIED;
    if (!file.isSet(copied)) return "this storage holds no copy of it";
    // A link, or nothing, at the path holds no data; a file must still have
    // its copy in full (one may have been removed by hand since).
    struct stat found;
    if (lstat(path.c_str(), &found) != 0 || !S_ISREG(found.st_mode)) return "";
    return LinkThread::missingCopyReason(file, params.type, true, path,
                                         params.target + "/" + UTILITIES::getFilePathAfterDot(file.pathToOrigin()));
}
