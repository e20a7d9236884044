#include "copy/CopyWorkerThread.h"

#include <errno.h>
#include <unistd.h>

#include "copy/CopyThread.h"
#include "net/MessageServer.h"
#include "util/Files.h"
#include "util/Paths.h"

CopyWorkerThread::CopyWorkerThread(const Storage::Params& params, std::list<FileInfo>& files,
                                   CopyThread& copyThread)
    : params(params), copyThread(copyThread), logFile(params.logfile) {
    this->files.swap(files);
}

void CopyWorkerThread::work() {
    logFile << params.storageID << ": Copy job started" << endl;
    Summary summary;
    for (FileInfo& file : files) {
        FileInfo::ReadLock lock(file);
        _copyFile(file, summary);
    }
    _writeSummary(summary);
}

void CopyWorkerThread::_copyFile(FileInfo& file, Summary& summary) {
    if (params.type == Storage::INTERNAL) {
        file.setFlag(FileInfo::INTERNAL_COPY_STARTED);
        // The external storage's link or removal pass already took up the file:
        // its internal copy is, or is about to be, replaced. Accept it as is.
        if (file.isSet(FileInfo::EXTERNAL_LINK_STARTED | FileInfo::EXTERNAL_REMOVAL_STARTED)) {
            file.setFlag(FileInfo::INTERNAL_COPIED);
            ++summary.copiedCount;
            copyThread.insertToCredits(file);
            return;
        }
    } else if (params.type == Storage::EXTERNAL) {
        file.setFlag(FileInfo::EXTERNAL_COPY_STARTED);
    }

    const std::string path = file.pathToOrigin();
    // The pipe reader rejects paths without the marker; should one arrive all
    // the same, its source would be "/": never copy that.
    if (path.find("/./") == std::string::npos) {
        _reportMissingMarker(path);
        copyThread.insertToFailedCopies(file);
        return;
    }
    const std::string root = UTILITIES::getFilePathBeforeDot(path);
    const std::string relative = UTILITIES::getFilePathAfterDot(path);
    const std::string destination = params.target + "/" + relative;
    const std::vector<std::string>& alternatives = params.alternativeSourceDirs;

    std::string source = root + "/" + relative;
    size_t alternative = 0;
    if (params.type != Storage::INTERNAL && file.isSet(FileInfo::INTERNAL_LINKED | FileInfo::INTERNAL_REMOVED)) {
        // The file on the RAM disk is gone or a link: copy from the storages
        // made before this one.
        if (alternatives.empty()) {
            _reportCriticalError(source, destination);
            copyThread.insertToFailedCopies(file);
            return;
        }
        source = alternatives[0] + "/" + relative;
        alternative = 1;
    }

    int64_t result = UTILITIES::copy(source, destination, params.preserve_uid, params.preserve_gid);
    int copyErrno = errno;
    while (result < 0 && copyErrno == ENOENT && alternative < alternatives.size()) {
        source = alternatives[alternative++] + "/" + relative;
        result = UTILITIES::copy(source, destination, params.preserve_uid, params.preserve_gid);
        copyErrno = errno;
    }
    if (result < 0) {
        if (result <= UTILITIES::COPY_READ) {
            // A partial or complete temporary file would only hold space on
            // the target until the next copy of the same file.
            unlink((destination + ".tmp").c_str());  // failure leaves it for the next copy to truncate
        }
        _reportCopyError(source, destination, result, copyErrno);
        copyThread.insertToFailedCopies(file);
        return;
    }

    ++summary.copiedCount;
    if (!summary.stopped) _record(relative, summary);
    if (params.type == Storage::INTERNAL) file.setFlag(FileInfo::INTERNAL_COPIED);
    else if (params.type == Storage::EXTERNAL) file.setFlag(FileInfo::EXTERNAL_COPIED);
    copyThread.insertToCredits(file);
}

void CopyWorkerThread::_record(const std::string& relativePath, Summary& summary) {
    std::string prefix;
    std::string suffix;
    int number;
    if (!UTILITIES::parseFilename(relativePath, prefix, number, suffix)) {
        summary.unparsedNames += relativePath + "\n";
        return;
    }
    MinMax& range = summary.patterns[prefix + "<N>." + suffix];
    if (!range.set || range.min > number) range.min = number;
    if (!range.set || range.max < number) range.max = number;
    range.set = true;
    if (summary.patterns.size() > static_cast<size_t>(patternLimit)) summary.stopped = true;
}

void CopyWorkerThread::_reportCopyError(const std::string& source, const std::string& destination, int64_t result,
                                        int errnum) {
    logFile << params.storageID << ": Error: Copying " << source << " to " << destination << " returned error code "
            << result << "\n"
            << LogManip(&LogFile::errmsg, errnum) << endl;
    if (params.messageServer != nullptr)
        params.messageServer->addToMessageQueue(MessageServer::COPY_ERROR, source + ":" + destination,
                                                "Error: Failed to copy " + source + " to " + destination + ".");
}

void CopyWorkerThread::_reportCriticalError(const std::string& source, const std::string& destination) {
    const std::string reason =
        "Source file does no longer exist and no alternative source directories are provided";
    logFile << params.storageID << ": Critical Error: Copying " << source << " to " << destination << "\n"
            << "   " << reason << endl;
    if (params.messageServer != nullptr)
        params.messageServer->addToMessageQueue(
            MessageServer::COPY_ERROR, source + ":" + destination,
            "Critical Error: Failed to copy " + source + " to " + destination + ". " + reason);
}

void CopyWorkerThread::_reportMissingMarker(const std::string& path) {
    logFile << params.storageID << ": Error: Copying " << path
            << " refused: the path has no /./ between its base and relative part" << endl;
    if (params.messageServer != nullptr)
        params.messageServer->addToMessageQueue(MessageServer::COPY_ERROR, path + ":" + params.target,
                                                "Error: Failed to copy " + path + " to " + params.target + ".");
}

void CopyWorkerThread::_writeSummary(const Summary& summary) {
    if (summary.copiedCount <= 0) return;
    logFile << params.storageID << ": " << summary.copiedCount << " files successfully copied\n";
    for (const auto& pattern : summary.patterns)
        logFile << "Copied files: " << pattern.first << " with N in [" << pattern.second.min << ","
                << pattern.second.max << "]\n";
    if (!summary.unparsedNames.empty()) logFile << "Copied files: \n" << summary.unparsedNames;
    if (summary.stopped)
        logFile << "Stopped logging files after more than " << patternLimit << " file patterns occured\n";
    logFile.flush();
}
