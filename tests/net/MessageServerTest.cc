#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/ClientRegisterThread.h"
#include "net/MessageServer.h"
#include "net/TCPSocket.h"
#include "support/LogWatch.h"
#include "support/MessageClient.h"
#include "support/TempDir.h"

namespace {

const char accepted[] = "++ Accepted connection from ";

// A connected server with its log, which lives until the process ends, as in the daemon.
struct Service {
    TempDir directory;
    std::string logPath = directory / "vellort.log";
    MessageServer* server = new MessageServer(logPath, 0);
    bool connected = server->connect() == 0;
    int sent = 0;  // frames so far, numbered from 0

    void send() { server->addToMessageQueue(MessageServer::REMOVE_ERROR, "/ramdisk/./f", std::to_string(sent++)); }
    // Sends frames until `peer` is logged as gone: a worker notices a departure only when a send fails.
    bool sendUntilGone(const std::string& peer) {
        const std::string closed = "++ Connection from " + peer + " closed on ";
        return waitUntil([&] { return send(), countInFile(logPath, closed) > 0; }, 20, 5);
    }
};

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
    Service service;
    ASSERT_TRUE(service.connected);
    const int port = service.server->localPort();
    MessageClient first(port);
    ASSERT_TRUE(waitForLogCount(service.logPath, accepted, 1));
    // Code 6 and 1: a byte order other than the network's shows at once.
    service.server->addToMessageQueue(6, "0123456789", "abcdefghijklmnopqrstuvwxyz0123");
    service.server->addToMessageQueue(1, "", "");
    const std::string nul(1, '\0');
    const std::string expected = std::string("\0\0\0\x2e\0\0\0\x06", 8) + "0123456789" + nul +
                                 "abcdefghijklmnopqrstuvwxyz0123" + nul + std::string("\0\0\0\x06\0\0\0\x01\0\0", 10);
    std::string bytes;
    ASSERT_TRUE(first.readBytes(expected.size(), bytes)) << first.error();
    EXPECT_EQ(expected, bytes);

    while (service.sent < 50) service.send();
    expectNumbered(first, 0, 49);  // broadcast before the late client comes
    MessageClient late(port), junk(port), megabyte(port), quick(port);
    const std::string quickPeer = leave(quick);
    ASSERT_TRUE(waitForLogCount(service.logPath, accepted, 5));
    const char junkBytes[] = "GET / HTTP/1.0\r\n\0\xff\x01junk\n\n";
    EXPECT_EQ(sizeof junkBytes - 1, junk.sendWithoutBlocking(std::string(junkBytes, sizeof junkBytes - 1)));
    // The service never reads: what the kernel buffers is all that goes.
    EXPECT_GT(megabyte.sendWithoutBlocking(std::string(1 << 20, 'z')), TCPSocket::maxLineLength);
    ASSERT_TRUE(service.sendUntilGone(quickPeer));
    ASSERT_TRUE(service.sendUntilGone(leave(junk)));
    ASSERT_TRUE(service.sendUntilGone(leave(megabyte)));
    expectNumbered(first, 50, service.sent - 1);
    expectNumbered(late, 50, service.sent - 1);
    EXPECT_EQ(3, countInFile(service.logPath, "++ Connection from "));

    MessageServer second(service.directory / "second.log", port);
    EXPECT_EQ(-1, second.connect());
    EXPECT_EQ("Error: Starting TCP connection: Failed to bind to port " + std::to_string(port) + "\n",
              readFile(service.directory / "second.log"));
    EXPECT_EQ(-1, second.localPort());
    // And a write to a client that has gone no longer ends the process.
    EXPECT_EQ(SIG_IGN, signal(SIGPIPE, SIG_IGN));
}

TEST(MessageServerTest, HeldEleventhClientTakesThePlaceOfADepartingOneWhileTheOthersGoOn) {
    Service service;
    ASSERT_TRUE(service.connected);
    std::vector<std::unique_ptr<MessageClient>> served;
    for (int i = 0; i < ClientRegisterThread::poolSize; ++i)
        served.emplace_back(new MessageClient(service.server->localPort()));
    ASSERT_TRUE(waitForLogCount(service.logPath, accepted, ClientRegisterThread::poolSize));
    service.send();
    for (auto& client : served) expectNumbered(*client, 0, 0);

    MessageClient eleventh(service.server->localPort());
    ASSERT_TRUE(waitForLogCount(service.logPath, accepted, ClientRegisterThread::poolSize + 1));
    while (service.sent < 6) service.send();
    for (auto& client : served) expectNumbered(*client, 1, 5);
    EXPECT_FALSE(eleventh.hasPendingData());

    ASSERT_TRUE(service.sendUntilGone(leave(*served.front())));
    expectNumbered(eleventh, 1, service.sent - 1);
    for (size_t i = 1; i < served.size(); ++i) expectNumbered(*served[i], 6, service.sent - 1);
    EXPECT_EQ(0, countInFile(service.logPath, "Error: "));  // a client that closed in order departed
    EXPECT_EQ(1, countInFile(service.logPath, "++ Connection from "));
}
