#include <signal.h>

#include <string>

#include <gtest/gtest.h>

#include "net/MessageServer.h"
#include "net/TCPSocket.h"
#include "support/LogWatch.h"
#include "support/MessageClient.h"
#include "support/TempDir.h"

namespace {

const char accepted[] = "++ Accepted connection from ";

// Reads frames `first` to `last` in order.
void expectNumbered(MessageClient& client, int first, int last) {
    for (int number = first; number <= last; ++number) {
        MessageClient::Frame frame;
        ASSERT_TRUE(client.readFrame(frame)) << "waiting for " << number << ": " << client.error();
        ASSERT_EQ(std::to_string(number), frame.text);
    }
}

// Closes the client; returns its name in the log.
std::string leave(MessageClient& client) {
    const std::string peer = client.peerName();
    client.close();
    return peer;
}

}  // namespace

// Clients that send junk, flood or leave at once disturb nobody else.
TEST(MessageServerTest, ClientsGetEveryFrameSinceTheirAcceptInOrderWhateverTheOthersDo) {
    TempDir directory;
    const std::string logPath = directory / "vellort.log";
    MessageServer* server = new MessageServer(logPath, 0);  // lives until the process ends, as in the daemon
    ASSERT_EQ(0, server->connect());
    int sent = 0;  // frames so far, numbered from 0
    auto send = [&] { server->addToMessageQueue(MessageServer::REMOVE_ERROR, "/ramdisk/./f", std::to_string(sent++)); };
    // A worker notices a departure only when a send fails.
    auto sendUntilGone = [&](const std::string& peer) {
        const std::string closed = "++ Connection from " + peer + " closed on ";
        return waitUntil([&] { return send(), countInFile(logPath, closed) > 0; }, 20, 5);
    };
    const int port = server->localPort();
    MessageClient first(port);
    ASSERT_TRUE(waitForLogCount(logPath, accepted, 1));
    // Code 6 and 1: a byte order other than the network's shows at once.
    server->addToMessageQueue(6, "0123456789", "abcdefghijklmnopqrstuvwxyz0123");
    server->addToMessageQueue(1, "", "");
    const std::string nul(1, '\0');
    const std::string expected = std::string("\0\0\0\x2e\0\0\0\x06", 8) + "0123456789" + nul +
                                 "abcdefghijklmnopqrstuvwxyz0123" + nul + std::string("\0\0\0\x06\0\0\0\x01\0\0", 10);
    std::string bytes;
    ASSERT_TRUE(first.readBytes(expected.size(), bytes)) << first.error();
    EXPECT_EQ(expected, bytes);

    while (sent < 50) send();
    expectNumbered(first, 0, 49);  // broadcast before the late client comes
    MessageClient late(port), junk(port), megabyte(port), quick(port);
    const std::string quickPeer = leave(quick);
    ASSERT_TRUE(waitForLogCount(logPath, accepted, 5));
    const char junkBytes[] = "GET / HTTP/1.0\r\n\0\xff\x01junk\n\n";
    EXPECT_EQ(sizeof junkBytes - 1, junk.sendWithoutBlocking(std::string(junkBytes, sizeof junkBytes - 1)));
    // The service never reads: what the kernel buffers is all that goes.
    EXPECT_GT(megabyte.sendWithoutBlocking(std::string(1 << 20, 'z')), TCPSocket::maxLineLength);
    ASSERT_TRUE(sendUntilGone(quickPeer));
    ASSERT_TRUE(sendUntilGone(leave(junk)));
    ASSERT_TRUE(sendUntilGone(leave(megabyte)));
    expectNumbered(first, 50, sent - 1);
    expectNumbered(late, 50, sent - 1);
    EXPECT_EQ(3, countInFile(logPath, "++ Connection from "));

    MessageServer second(directory / "second.log", port);
    EXPECT_EQ(-1, second.connect());
    EXPECT_EQ("Error: Starting TCP connection: Failed to bind to port " + std::to_string(port) + "\n",
              readFile(directory / "second.log"));
    EXPECT_EQ(-1, second.localPort());
    // And a write to a client that has gone no longer ends the process.
    EXPECT_EQ(SIG_IGN, signal(SIGPIPE, SIG_IGN));
}
