#include "support/TempDir.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

TempDir::TempDir(const std::string& stem) {
    std::string pattern = "/tmp/" + stem + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp " + pattern + ": " + strerror(errno));
    path_ = buffer.data();
}

TempDir::~TempDir() {
    removeTree(path_);
}  // best effort: a leftover in /tmp harms no later run

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
    bool written = file != nullptr && fwrite(content.data(), 1, content.size(), file) == content.size();
    int savedErrno = errno;
    if (file != nullptr && fclose(file) != 0 && written) {
        written = false;
        savedErrno = errno;
    }
    if (!written && why != nullptr) *why = strerror(savedErrno);
    return written;
}

void writeFile(const std::string& path, const std::string& content) {
    std::string why;
    if (!writeFile(path, content, &why)) throw std::runtime_error("cannot write " + path + ": " + why);
}

bool readFile(const std::string& path, std::string& content, std::string* why) {
    content.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (why != nullptr) *why = strerror(errno);
        return false;
    }
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            if (why != nullptr) *why = strerror(errno);
            close(fd);
            return false;
        }
        content.append(buffer, static_cast<size_t>(got));
    }
    close(fd);  // read only: nothing to lose on a failed close
    return true;
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
