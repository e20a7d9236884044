#include "support/TempDir.h"

#include <errno.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

TempDir::TempDir(const std::string& stem) {
    path_ = "/tmp/" + stem + "-XXXXXX";
    if (mkdtemp(&path_[0]) == nullptr) throw std::runtime_error("mkdtemp " + path_ + ": " + strerror(errno));
}

TempDir::~TempDir() {
    if (!kept_) removeTree(path_);  // best effort: a leftover in /tmp harms no later run
}

namespace {

// nftw's callback takes nothing of ours: the walk of this thread reports here.
thread_local std::string* firstFailure = nullptr;

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    if (remove(path) != 0 && errno != ENOENT && firstFailure->empty())
        *firstFailure = std::string("cannot remove ") + path + ": " + strerror(errno);
    return 0;
}

}  // namespace

bool removeTree(const std::string& path, std::string* problem) {
    std::string failure;
    firstFailure = &failure;
    if (nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS) != 0 && errno != ENOENT && failure.empty())
        failure = "cannot walk " + path + ": " + strerror(errno);
    firstFailure = nullptr;
    if (problem != nullptr) *problem = failure;
    return failure.empty();
}

bool writeFile(const std::string& path, const std::string& content, std::string* why) {
    FILE* file = fopen(path.c_str(), "we");
    const bool put = file != nullptr && fwrite(content.data(), 1, content.size(), file) == content.size();
    int savedErrno = errno;
    const bool closed = file != nullptr && fclose(file) == 0;
    if (put && !closed) savedErrno = errno;
    if (!(put && closed) && why != nullptr) *why = strerror(savedErrno);
    return put && closed;
}

void writeFile(const std::string& path, const std::string& content) {
    std::string why;
    if (!writeFile(path, content, &why)) throw std::runtime_error("cannot write " + path + ": " + why);
}

bool readFile(const std::string& path, std::string& content, std::string* why) {
    content.clear();
    FILE* file = fopen(path.c_str(), "re");
    char buffer[65536];
    for (size_t got; file != nullptr && (got = fread(buffer, 1, sizeof buffer, file)) > 0;) content.append(buffer, got);
    const bool read = file != nullptr && !ferror(file);
    if (!read && why != nullptr) *why = strerror(errno);
    if (file != nullptr) fclose(file);  // read only: nothing to lose on a failed close
    return read;
}

std::string readFile(const std::string& path) {
    std::string content;
    readFile(path, content, nullptr);
    return content;
}

bool fileExists(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

void makeDirectories(const std::string& path, unsigned mode) {
    for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        std::string prefix = path.substr(0, end);
        mkdir(prefix.c_str(), mode);
        if (end == std::string::npos) break;
    }
}
