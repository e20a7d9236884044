#include <errno.h>
#include <signal.h>
#include <string.h>

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "net/TCPSocket.h"
#include "support/MessageClient.h"

TEST(TCPSocketTest, ServerNamesItselfAndItsPeersWritesToAGonePeerFailWithoutSigpipeAndASecondServerFailsCleanly) {
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

    // A second server on the port fails with the error and no descriptor left open.
    auto openDescriptors = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
    const long descriptorsBefore = openDescriptors();
    TCPSocket second;
    EXPECT_EQ(-1, second.server(portText.c_str()));
    EXPECT_EQ(-1, second.errcode());
    EXPECT_STREQ(("Failed to bind to port " + portText).c_str(), second.errmsg());
    EXPECT_EQ(-1, static_cast<int>(second));
    EXPECT_EQ(descriptorsBefore, openDescriptors());
}
