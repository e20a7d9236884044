// One status request line in, one reply line out, answered from two real
// storages with histories. Whatever the line holds, the reply must be one line
// holding one well-formed "reply" document.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include <tinyxml2.h>

#include "fuzz/FuzzCheck.h"
#include "ledger/FileInfo.h"
#include "ledger/Storage.h"
#include "log/LogFile.h"
#include "net/StatusWorkerThread.h"

namespace {

// Heap objects never destroyed, like the daemon's. A global vector would be
// destroyed at exit, and the leak check would then find the storages lost.
std::vector<Storage*>* storages = nullptr;
LogFile* statusLog = nullptr;

// OPTIONAL storages: their threads only copy, and nothing is ever flushed to
// them, so the histories stay as set up here while the fuzzer runs.
Storage* newStorage(const std::string& id) {
    Storage::Params params;
    params.storageID = id;
    params.type = Storage::OPTIONAL;
    params.logfile = "/dev/null";
    params.history_max_entries = 5;
    params.n_copy_processes = 1;
    params.target = "/nonexistent";
    return new Storage(params);
}

void book(Storage* storage, const char* path, int64_t shift) {
    storage->insertToBuffer(FileInfo(path, shift));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Storages start threads: made once, never destroyed, as in the daemon.
    Storage* first = newStorage("INT<&\"'>");
    first->setTavroTime(-86400, 0, 0);
    first->setTavroTime(1700000000, 1000, 100);
    book(first, "/r/./a", 1700000000);
    first->setTavroTime(1700003600, 4294967295u, 4294967295u);
    book(first, "/r/./b", 1700003600);
    first->debitCredit().insertToCredits(FileInfo("/r/./b", 1700003600));
    first->debitCredit().insertToFailedCopies(FileInfo("/r/./c", 1700003600));

    Storage* second = newStorage("OPT");
    second->setTavroTime(1700000000, 2000, 200);
    // Far beyond any local date: the reply's asctime must cope.
    second->setTavroTime(INT64_MAX, 1, 1);
    book(second, "/r/./z", INT64_MAX);
    storages = new std::vector<Storage*>{first, second};
    statusLog = new LogFile("/dev/null");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const std::string reply = StatusWorkerThread::answer(line, *storages, *statusLog, "127.0.0.1");
    // What was left in the buffer on purpose goes out now, so it cannot grow.
    statusLog->flush();

    FUZZ_REQUIRE(!reply.empty() && reply.back() == '\n');
    FUZZ_REQUIRE(reply.find('\n') == reply.size() - 1);
    FUZZ_REQUIRE(reply.find('\0') == std::string::npos);

    tinyxml2::XMLDocument document;
    FUZZ_REQUIRE(document.Parse(reply.c_str(), reply.size() - 1) == tinyxml2::XML_SUCCESS);
    const tinyxml2::XMLElement* root = document.RootElement();
    FUZZ_REQUIRE(root != nullptr && strcmp(root->Name(), "reply") == 0);
    FUZZ_REQUIRE(root->NextSiblingElement() == nullptr);
    const tinyxml2::XMLElement* child = root->FirstChildElement();
    if (child != nullptr && strcmp(child->Name(), "error") == 0) {
        FUZZ_REQUIRE(child->NextSiblingElement() == nullptr);
        const char* type = child->Attribute("type");
        FUZZ_REQUIRE(type != nullptr && (strcmp(type, "syntax error") == 0 || strcmp(type, "action error") == 0));
        FUZZ_REQUIRE(child->Attribute("message") != nullptr);
        return 0;
    }
    // A history: usertime elements of distinct shifts, each with storage children.
    int shifts = 0;
    for (; child != nullptr; child = child->NextSiblingElement()) {
        FUZZ_REQUIRE(strcmp(child->Name(), "usertime") == 0);
        FUZZ_REQUIRE(child->Attribute("id") != nullptr && child->Attribute("asctime") != nullptr);
        FUZZ_REQUIRE(child->FirstChildElement("storage") != nullptr);
        ++shifts;
    }
    FUZZ_REQUIRE(shifts <= 5);  // the distinct shift times set up above
    return 0;
}
