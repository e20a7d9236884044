#ifndef VELLORT_COPY_COPYWORKERTHREAD_H
#define VELLORT_COPY_COPYWORKERTHREAD_H

#include <list>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ledger/FileInfo.h"
#include "ledger/Storage.h"
#include "log/LogFile.h"
#include "thread/ThreadPoolTask.h"
#include "util/Files.h"
#include "util/TrustedTree.h"

class CopyThread;

// One copy job: a batch of announced files that one storage's copy scheduler
// took in one go. It copies each file, under the file's read lock, from its
// source to the storage's target, marks progress in the shared file record so
// that the other storages and the link passes can coordinate with it, books
// the file as copied or failed, and ends with one summary in which runs of
// numbered file names are folded into patterns.
//
// Runs once on a pool thread of the storage's CopyThread, which deletes it
// afterwards. Borrowed: the copy thread, through which files are booked; it
// lives for the whole process.
class CopyWorkerThread : public ThreadPoolTask {
public:
    // Recording of file-name patterns stops once more than this many were seen.
    static constexpr int patternLimit = 10;

    struct MinMax {
        bool set = false;
        int min = 0;
        int max = 0;
    };

    // Takes over every entry of `files`, leaving it empty; `retries` are
    // failed copies due to be tried again, copied first.
    CopyWorkerThread(const Storage::Params& params, std::list<FileInfo>& files, CopyThread& copyThread,
                     std::list<DebitCredit::Retry> retries = {});

    void work() override;

private:
    // State of one summary, for one work().
    struct Summary {
        std::map<std::string, MinMax> patterns;
        int copiedCount = 0;
        std::string unparsedNames;
        bool stopped = false;
    };

    // The trees a job reads and writes: the RAM disk, the earlier storages'
    // targets, in the order of alternativeSourceDirs, and the own target.
    struct Trees {
        explicit Trees(const Storage::Params& params);
        TrustedTree ramdisk;
        TrustedTree target;
        std::vector<std::unique_ptr<TrustedTree>> alternatives;
        bool mounted = false;  // target_mount was found mounted, on mountDevice
        dev_t mountDevice = 0;
        // verify_copies: the manifests of the target opened so far, by shift,
        // and whether a manifest that cannot be written was reported.
        std::map<int64_t, int> manifests;
        bool manifestReported = false;
        ~Trees();
        void closeManifests();
    };

    // True when the storage has no target_mount, or it is mounted.
    bool _targetMounted(Trees& trees);

    // attempts: the failed tries of the file so far, 0 for a new one.
    void _copyFile(FileInfo& file, Trees& trees, Summary& summary, uint32_t attempts);
    // A copy made: booked copied, or, after failed attempts, moved from failed to copied.
    void _credit(const FileInfo& file, uint32_t attempts);
    // A copy that failed: reported (the first time only), then tried again
    // later when retries are on and it may still succeed, else booked failed.
    void _failed(const FileInfo& file, uint32_t attempts, bool retriable, const std::function<void()>& report);
    // One try at the copy, made again at once, up to three times, while the
    // source changes under it; verify is null without verify_copies.
    int64_t _copyOnce(TrustedTree& from, const std::string& fromPath, const std::string& source, Trees& trees,
                      const std::string& relative, UTILITIES::CopiedFile& made, UTILITIES::Verification* verify);
    // verify_copies: a copy kept from before a restart counts only when it
    // still holds the file's reference hash.
    bool _stillVerified(FileInfo& file, Trees& trees, const std::string& relative, const UTILITIES::CopiedFile& made);
    // verify_copies: a verified copy becomes the file's reference when it is
    // the first, and is listed in the manifest of its shift on the target.
    // False when another storage's copy became the reference meanwhile, and
    // holds other bytes: this copy is then removed.
    bool _acceptVerified(FileInfo& file, Trees& trees, const std::string& relative, const std::string& destination,
                         const UTILITIES::CopiedFile& made, const std::string& hash);
    void _appendToManifest(Trees& trees, int64_t shift, const std::string& hash, const std::string& relative);
    void _record(const std::string& relativePath, Summary& summary);
    void _reportCopyError(const std::string& source, const std::string& destination, int64_t result, int errnum,
                          const UTILITIES::Verification& verification);
    void _reportCriticalError(const std::string& source, const std::string& destination);
    void _reportRefusal(const std::string& path, const std::string& why);
    void _writeSummary(const Summary& summary);

    const Storage::Params params;
    // The files, in announcement order after the retries due, each with its
    // failed attempts so far (0 for a new file).
    std::list<DebitCredit::Retry> batch;
    CopyThread& copyThread;
    LogFile logFile;
};

#endif
