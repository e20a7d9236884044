#include <errno.h>
#include <netdb.h>
#include <signal.h>
#include <string.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/TCPSocket.h"
#include "support/DaemonRunner.h"
#include "support/MessageClient.h"

TEST(TCPSocketTest, ServerNamesItselfAndItsPeersAndWritesToAGonePeerFailWithoutSigpipe) {
    // Under the default disposition a SIGPIPE would end this test's process.
    ASSERT_NE(SIG_ERR, signal(SIGPIPE, SIG_DFL));
    const int port = freePort();
    const std::string portText = std::to_string(port);
    TCPSocket listener;
    EXPECT_GE(listener.server(portText.c_str()), 1);
    EXPECT_EQ("0.0.0.0:" + portText, listener.address);
    EXPECT_EQ(port, listener.localPort());
    for (const char* host : {"127.0.0.2", "127.0.0.1"}) {
        MessageClient client(port, host);
        ASSERT_TRUE(client.connected()) << host << ": " << client.error();
        std::unique_ptr<TCPSocket> connection(listener.accept());
        ASSERT_NE(nullptr, connection) << listener.errmsg();
        EXPECT_EQ(client.peerName(), connection->address);
        client.close();
        // The first sends may still be taken; the peer's reset makes a later one fail.
        int64_t result = 0;
        int failedErrno = 0;
        for (int attempt = 0; attempt < 10000 && result != -1; ++attempt) {
            result = connection->write(portText.data(), static_cast<int64_t>(portText.size()));
            failedErrno = errno;
        }
        ASSERT_EQ(-1, result);
        EXPECT_TRUE(failedErrno == EPIPE || failedErrno == ECONNRESET) << failedErrno;
        EXPECT_STREQ(strerror(failedErrno), connection->errmsg());
    }
}

TEST(TCPSocketTest, FailedServerLeavesTheErrorAndNoDescriptorOpen) {
    TCPSocket holder;
    ASSERT_GE(holder.server("0"), 1);
    const std::string portText = std::to_string(holder.localPort());
    auto openDescriptors = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
    const long descriptorsBefore = openDescriptors();
    TCPSocket second;
    EXPECT_EQ(-1, second.server(portText.c_str()));
    EXPECT_EQ(-1, second.errcode());
    EXPECT_STREQ(("Failed to bind to port " + portText).c_str(), second.errmsg());
    EXPECT_EQ(-1, static_cast<int>(second));
    EXPECT_EQ(descriptorsBefore, openDescriptors());

    // A port text the lookup rejects gives the lookup's own error; close() on
    // the socket that never opened changes nothing.
    const struct addrinfo hints = {AI_PASSIVE, 0, SOCK_STREAM, 0, 0, nullptr, nullptr, nullptr};
    struct addrinfo* found = nullptr;
    const int lookup = getaddrinfo(nullptr, "abc", &hints, &found);
    ASSERT_NE(0, lookup);
    TCPSocket rejected;
    EXPECT_EQ(-1, rejected.server("abc"));
    EXPECT_STREQ(gai_strerror(lookup), rejected.errmsg());
    EXPECT_EQ(0, rejected.close());
    EXPECT_STREQ(gai_strerror(lookup), rejected.errmsg());
}

TEST(TCPSocketTest, ReadLineSplitsTheStreamIntoBoundedLines) {
    const std::string longest(TCPSocket::maxLineLength - 1, 'x');
    const std::string tooLong(TCPSocket::maxLineLength, 'y');
    struct Case {
        std::string sent;
        std::vector<std::pair<int64_t, std::string>> reads;  // result, line
    };
    const std::vector<Case> cases = {
        {"abc", {{0, "abc"}}},
        {"one\ntwo\n", {{4, "one\n"}, {4, "two\n"}, {0, ""}}},
        {"\n", {{1, "\n"}, {0, ""}}},
        {longest + "\nnext\n", {{65536, longest + "\n"}, {5, "next\n"}}},
        {tooLong + "\n", {{TCPSocket::lineTooLong, tooLong}}},
    };
    TCPSocket listener;
    ASSERT_GE(listener.server("0"), 1);
    for (const Case& test : cases) {
        SCOPED_TRACE(test.sent.substr(0, 10));
        MessageClient client(listener.localPort());
        std::unique_ptr<TCPSocket> connection(listener.accept());
        ASSERT_NE(nullptr, connection);
        // The send blocks while the reader lags, and fails once it has closed.
        std::thread sender([&client, &test] {
            client.send(test.sent);
            client.close();
        });
        for (const auto& expected : test.reads) {
            std::string line;
            EXPECT_EQ(expected.first, connection->readLine(line));
            EXPECT_TRUE(expected.second == line) << line.size();
        }
        if (test.reads.back().first == TCPSocket::lineTooLong) {
            EXPECT_STREQ("Line longer than 65536 bytes", connection->errmsg());
        }
        connection->close();
        sender.join();
    }
}
