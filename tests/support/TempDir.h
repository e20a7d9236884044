#ifndef VELLORT_TESTS_SUPPORT_TEMPDIR_H
#define VELLORT_TESTS_SUPPORT_TEMPDIR_H

#include <string>

// A fresh directory under /tmp, removed with everything in it when the object
// goes. Mount points inside it must be unmounted first (TmpfsMount does).
class TempDir {
public:
    TempDir();
    ~TempDir();

    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + relative
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

// Helpers for small files in tests.
void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
// mkdir -p
void makeDirectories(const std::string& path, unsigned mode = 0755);
void removeTree(const std::string& path);

#endif
