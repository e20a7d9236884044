#ifndef VELLORT_TESTS_SUPPORT_FIFOWRITER_H
#define VELLORT_TESTS_SUPPORT_FIFOWRITER_H

#include <string>

// Writes into a named pipe as the acquisition program does. Opening waits, with a deadline, until the pipe has a
// reader, so a test whose reader never came fails instead of hanging.
class FifoWriter {
public:
    explicit FifoWriter(const std::string& path) : path_(path), fd_(-1) {}
    ~FifoWriter() { close(); }

    FifoWriter(const FifoWriter&) = delete;
    FifoWriter& operator=(const FifoWriter&) = delete;

    // False when no reader had the pipe open within `seconds`, or on an error.
    bool open(double seconds = 10);
    // Writes all of text; false on an error.
    bool write(const std::string& text);
    void close();

private:
    std::string path_;
    int fd_;
};

#endif
