#include <dirent.h>
#include <errno.h>
#include <netdb.h>
#include <signal.h>
#include <string.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/TCPSocket.h"
#include "support/MessageClient.h"

namespace {

int openDescriptorCount() {
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr) return -1;
    int count = 0;
    while (readdir(directory) != nullptr) ++count;
    closedir(directory);
    return count;
}

// A port that was free a moment ago: bound by the kernel's choice, then let go.
int freePort() {
    TCPSocket probe;
    if (probe.server("0") < 0) return -1;
    return probe.localPort();
}

}  // namespace

TEST(TCPSocketTest, ServerListensOnEveryLocalIPv4Address) {
    int port = freePort();
    ASSERT_GT(port, 0);
    std::string portText = std::to_string(port);
    TCPSocket listener;
    EXPECT_GE(listener.server(portText.c_str()), 1);
    EXPECT_EQ("0.0.0.0:" + portText, listener.address);
    EXPECT_EQ(port, listener.localPort());

    for (const char* host : {"127.0.0.1", "127.0.0.2"}) {
        MessageClient client(port, host);
        ASSERT_TRUE(client.connected()) << host << ": " << client.error();
        std::unique_ptr<TCPSocket> accepted(listener.accept());
        ASSERT_NE(nullptr, accepted) << listener.errmsg();
        // The peer shows as its numeric host and its port (or service name).
        EXPECT_EQ(client.peerName(), accepted->address);
    }
}

TEST(TCPSocketTest, PortInUseFailsToBindAndLeavesNoDescriptorOpen) {
    TCPSocket holder;
    ASSERT_GE(holder.server("0"), 1);
    std::string portText = std::to_string(holder.localPort());

    int descriptorsBefore = openDescriptorCount();
    TCPSocket second;
    EXPECT_EQ(-1, second.server(portText.c_str()));
    EXPECT_EQ(-1, second.errcode());
    EXPECT_STREQ(("Failed to bind to port " + portText).c_str(), second.errmsg());
    EXPECT_EQ(-1, static_cast<int>(second));
    EXPECT_EQ(descriptorsBefore, openDescriptorCount());
}

TEST(TCPSocketTest, RejectedPortTextGivesTheLookupErrorAndCloseLeavesIt) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_flags = AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* addresses = nullptr;
    int lookup = getaddrinfo(nullptr, "abc", &hints, &addresses);
    ASSERT_NE(0, lookup);

    TCPSocket socket;
    EXPECT_EQ(-1, socket.server("abc"));
    EXPECT_STREQ(gai_strerror(lookup), socket.errmsg());
    EXPECT_EQ(0, socket.errcode());

    // close() on a socket that is not open changes nothing.
    EXPECT_EQ(0, socket.close());
    EXPECT_STREQ(gai_strerror(lookup), socket.errmsg());
}

TEST(TCPSocketTest, ReadLineSplitsTheStreamIntoBoundedLines) {
    const std::string longest(TCPSocket::maxLineLength - 1, 'x');
    const std::string tooLong(TCPSocket::maxLineLength, 'y');
    const std::string megabyte(1 << 20, 'z');
    struct Read {
        int64_t result;
        std::string line;
    };
    struct Case {
        const char* name;
        std::string sent;
        std::vector<Read> reads;
    };
    const std::vector<Case> cases = {
        {"partial line at end of stream", "abc", {{0, "abc"}}},
        {"two lines in one packet", "one\ntwo\n", {{4, "one\n"}, {4, "two\n"}, {0, ""}}},
        {"line then partial line", "abc\ndef", {{4, "abc\n"}, {0, "def"}}},
        {"empty line", "\n", {{1, "\n"}, {0, ""}}},
        {"longest line allowed", longest + "\nnext\n", {{65536, longest + "\n"}, {5, "next\n"}}},
        {"line one byte too long", tooLong + "\n", {{TCPSocket::lineTooLong, tooLong}}},
        {"megabyte without newline", megabyte, {{TCPSocket::lineTooLong, std::string(65536, 'z')}}},
    };

    TCPSocket listener;
    ASSERT_GE(listener.server("0"), 1);
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        MessageClient client(listener.localPort());
        ASSERT_TRUE(client.connected()) << client.error();
        std::unique_ptr<TCPSocket> connection(listener.accept());
        ASSERT_NE(nullptr, connection);
        // The sender blocks while the reader lags; after a too-long line the
        // reader closes, which ends the send with an error.
        std::thread sender([&client, &test] {
            client.sendAll(test.sent);
            client.close();
        });
        for (const Read& expected : test.reads) {
            std::string line;
            EXPECT_EQ(expected.result, connection->readLine(line));
            EXPECT_EQ(expected.line.size(), line.size());
            EXPECT_TRUE(expected.line == line);
            if (expected.result == TCPSocket::lineTooLong) {
                EXPECT_STREQ("Line longer than 65536 bytes", connection->errmsg());
            }
        }
        connection->close();
        sender.join();
    }
}

TEST(TCPSocketTest, WriteToClosedPeerFailsWithoutSigpipe) {
    // Under the default disposition a SIGPIPE would end this test's process.
    ASSERT_NE(SIG_ERR, signal(SIGPIPE, SIG_DFL));

    TCPSocket listener;
    ASSERT_GE(listener.server("0"), 1);
    MessageClient client(listener.localPort());
    ASSERT_TRUE(client.connected());
    std::unique_ptr<TCPSocket> connection(listener.accept());
    ASSERT_NE(nullptr, connection);
    client.close();

    // The first sends may still be taken by the kernel; the peer's reset then
    // makes a later one fail.
    const std::string block(1024, 'm');
    int64_t result = 0;
    int failedErrno = 0;
    for (int attempt = 0; attempt < 10000 && result != -1; ++attempt) {
        result = connection->write(block.data(), static_cast<int64_t>(block.size()));
        if (result == -1) {
            failedErrno = errno;
        } else {
            EXPECT_EQ(static_cast<int64_t>(block.size()), result);
        }
    }
    EXPECT_EQ(-1, result);
    EXPECT_TRUE(failedErrno == EPIPE || failedErrno == ECONNRESET) << failedErrno;
    EXPECT_STREQ(strerror(failedErrno), connection->errmsg());
}

TEST(TCPSocketTest, AcceptOnSocketThatDoesNotListenFails) {
    TCPSocket notListening;
    EXPECT_EQ(nullptr, notListening.accept());
    EXPECT_EQ(EBADF, notListening.errcode());
    EXPECT_STREQ(strerror(EBADF), notListening.errmsg());
}
