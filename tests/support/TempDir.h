#ifndef VELLORT_TESTS_SUPPORT_TEMPDIR_H
#define VELLORT_TESTS_SUPPORT_TEMPDIR_H

#include <string>

// A fresh directory under /tmp, removed with everything in it when the object
// goes. Mount points inside it must be unmounted first (TmpfsMount does).
class TempDir {
public:
    // /tmp/<stem>-XXXXXX; throws std::runtime_error when mkdtemp fails.
    explicit TempDir(const std::string& stem = "vellort-test");
    ~TempDir();

    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + relative
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }
    // Leaves the directory in place when the object goes: for a run whose files are to be looked at.
    void keep() { kept_ = true; }

private:
    std::string path_;
    bool kept_ = false;
};

// Helpers for small files in tests. This one throws std::runtime_error when the file cannot be made.
void writeFile(const std::string& path, const std::string& content);
// The same, telling a failure: false with the system's reason in *why.
bool writeFile(const std::string& path, const std::string& content, std::string* why);
// The whole file, following links; "" when it cannot be read.
std::string readFile(const std::string& path);
// The same, telling a failure: false with the system's reason in *why.
bool readFile(const std::string& path, std::string& content, std::string* why);
bool fileExists(const std::string& path);
// mkdir -p
void makeDirectories(const std::string& path, unsigned mode = 0755);
// Removes path and all below it, following no links and crossing into mounts below it. What is already gone counts as
// removed (the daemon may delete files meanwhile). False when something stayed, with the first failure in *problem.
bool removeTree(const std::string& path, std::string* problem = nullptr);

#endif
