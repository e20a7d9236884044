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

// As in the daemon, a connected server lives until the process ends.
MessageServer* startServer(const std::string& logPath) {
    MessageServer* server = new MessageServer(logPath, 0);
    if (server->connect() != 0) return nullptr;
    return server;
}

std::string frameText(int number) {
    return "message " + std::to_string(number);
}

void sendNumbered(MessageServer* server, int number) {
    server->addToMessageQueue(MessageServer::REMOVE_ERROR, "/ramdisk/./run/file", frameText(number));
}

// Reads frames `first` to `last` and checks that they come in that order, whole.
void expectNumbered(MessageClient& client, int first, int last) {
    for (int number = first; number <= last; ++number) {
        MessageClient::Frame frame;
        ASSERT_TRUE(client.readFrame(frame)) << "waiting for " << number << ": " << client.error();
        ASSERT_EQ(frameText(number), frame.text);
        EXPECT_EQ(MessageServer::REMOVE_ERROR, frame.code);
        EXPECT_EQ("/ramdisk/./run/file", frame.subject);
    }
}

std::string closedLine(const MessageClient& client) {
    return "++ Connection from " + client.peerName() + " closed on ";
}

}  // namespace

TEST(MessageServerTest, FramesCarryBigEndianLengthAndCodeAndNulTerminatedTexts) {
    struct Case {
        int code;
        std::string subject;
        std::string text;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {6, "0123456789", "abcdefghijklmnopqrstuvwxyz0123",
         std::string("\0\0\0\x2e\0\0\0\x06", 8) + "0123456789" + std::string(1, '\0') +
             "abcdefghijklmnopqrstuvwxyz0123" + std::string(1, '\0')},
        {1, "", "", std::string("\0\0\0\x06\0\0\0\x01\0\0", 10)},
        {0x01020304, "s", "t", std::string("\0\0\0\x08\x01\x02\x03\x04s\0t\0", 12)},
    };
    TempDir directory;
    std::string logPath = directory / "vellort.log";
    MessageServer* server = startServer(logPath);
    ASSERT_NE(nullptr, server);
    MessageClient client(server->localPort());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(waitForLogCount(logPath, accepted, 1));

    for (const Case& test : cases) {
        SCOPED_TRACE(test.code);
        server->addToMessageQueue(test.code, test.subject, test.text);
        std::string bytes;
        ASSERT_TRUE(client.readBytes(test.bytes.size(), bytes)) << client.error();
        EXPECT_EQ(test.bytes, bytes);
    }
    EXPECT_EQ(50u, cases[0].bytes.size());
}

TEST(MessageServerTest, ConnectedClientsShareEveryFrameSinceTheirAcceptInOrder) {
    TempDir directory;
    std::string logPath = directory / "vellort.log";
    MessageServer* server = startServer(logPath);
    ASSERT_NE(nullptr, server);

    MessageClient first(server->localPort());
    ASSERT_TRUE(waitForLogCount(logPath, accepted, 1));
    for (int number = 0; number < 50; ++number) sendNumbered(server, number);
    expectNumbered(first, 0, 49);

    MessageClient late(server->localPort());
    ASSERT_TRUE(waitForLogCount(logPath, accepted, 2));
    for (int number = 50; number < 100; ++number) sendNumbered(server, number);
    expectNumbered(first, 50, 99);
    expectNumbered(late, 50, 99);
}

TEST(MessageServerTest, DepartingClientIsLoggedWhileTheOthersGoOn) {
    TempDir directory;
    std::string logPath = directory / "vellort.log";
    MessageServer* server = startServer(logPath);
    ASSERT_NE(nullptr, server);
    MessageClient leaving(server->localPort());
    MessageClient staying(server->localPort());
    ASSERT_TRUE(waitForLogCount(logPath, accepted, 2));
    sendNumbered(server, 0);
    expectNumbered(leaving, 0, 0);
    expectNumbered(staying, 0, 0);
    // The broadcaster has run: the process no longer dies of a write to a
    // client that has gone.
    struct sigaction disposition;
    ASSERT_EQ(0, sigaction(SIGPIPE, nullptr, &disposition));
    EXPECT_EQ(SIG_IGN, disposition.sa_handler);

    std::string gone = closedLine(leaving);
    leaving.close();
    // The worker notices the departure only when a send fails.
    int sent = 1;
    ASSERT_TRUE(waitForLogCount(logPath, gone, 1, 20, [&] { sendNumbered(server, sent++); }));
    sendNumbered(server, sent);
    expectNumbered(staying, 1, sent);
    // A client that closed in order is a departure, not a write error.
    EXPECT_EQ(0, countInFile(logPath, "Error: "));
    EXPECT_EQ(1, countInFile(logPath, "++ Connection from "));
}

TEST(MessageServerTest, EleventhClientGetsEveryFrameSinceItsAcceptOnceAPlaceIsFree) {
    TempDir directory;
    std::string logPath = directory / "vellort.log";
    MessageServer* server = startServer(logPath);
    ASSERT_NE(nullptr, server);
    std::vector<std::unique_ptr<MessageClient>> served;
    for (int i = 0; i < ClientRegisterThread::poolSize; ++i) {
        served.emplace_back(new MessageClient(server->localPort()));
    }
    ASSERT_TRUE(waitForLogCount(logPath, accepted, ClientRegisterThread::poolSize));
    sendNumbered(server, 0);
    for (auto& client : served) expectNumbered(*client, 0, 0);

    MessageClient eleventh(server->localPort());
    ASSERT_TRUE(waitForLogCount(logPath, accepted, ClientRegisterThread::poolSize + 1));
    for (int number = 1; number <= 5; ++number) sendNumbered(server, number);
    for (auto& client : served) expectNumbered(*client, 1, 5);
    EXPECT_FALSE(eleventh.hasPendingData());

    std::string gone = closedLine(*served.front());
    served.front()->close();
    int sent = 6;
    ASSERT_TRUE(waitForLogCount(logPath, gone, 1, 20, [&] { sendNumbered(server, sent++); }));
    expectNumbered(eleventh, 1, sent - 1);
    for (size_t i = 1; i < served.size(); ++i) expectNumbered(*served[i], 6, sent - 1);
}

TEST(MessageServerTest, PortInUseFailsConnectWithLogLine) {
    TempDir directory;
    std::string logPath = directory / "vellort.log";
    TCPSocket holder;
    ASSERT_GE(holder.server("0"), 1);
    int port = holder.localPort();

    MessageServer server(logPath, port);
    EXPECT_EQ(-1, server.connect());
    EXPECT_EQ("Error: Starting TCP connection: Failed to bind to port " + std::to_string(port) + "\n",
              readFile(logPath));
    EXPECT_EQ(-1, server.localPort());
}

TEST(MessageServerTest, ClientsThatSendOrLeaveAtOnceDoNotDisturbTheOthers) {
    TempDir directory;
    std::string logPath = directory / "vellort.log";
    MessageServer* server = startServer(logPath);
    ASSERT_NE(nullptr, server);
    MessageClient listener(server->localPort());
    MessageClient junk(server->localPort());
    MessageClient megabyte(server->localPort());
    std::string quickGone;
    {
        MessageClient quick(server->localPort());
        quickGone = closedLine(quick);
    }
    ASSERT_TRUE(waitForLogCount(logPath, accepted, 4));
    const char junkBytes[] = "GET / HTTP/1.0\r\n\0\xff\x01junk\n\n";
    const std::string junkText(junkBytes, sizeof junkBytes - 1);
    EXPECT_EQ(junkText.size(), junk.sendWithoutBlocking(junkText));
    // The service never reads: what the kernel buffers is all that goes.
    EXPECT_GT(megabyte.sendWithoutBlocking(std::string(1 << 20, 'z')), TCPSocket::maxLineLength);

    int sent = 0;
    ASSERT_TRUE(waitForLogCount(logPath, quickGone, 1, 20, [&] { sendNumbered(server, sent++); }));
    expectNumbered(listener, 0, sent - 1);

    std::string junkGone = closedLine(junk);
    std::string megabyteGone = closedLine(megabyte);
    junk.close();
    megabyte.close();
    int before = sent;
    ASSERT_TRUE(waitForLogCount(logPath, junkGone, 1, 20, [&] { sendNumbered(server, sent++); }));
    ASSERT_TRUE(waitForLogCount(logPath, megabyteGone, 1, 20, [&] { sendNumbered(server, sent++); }));
    expectNumbered(listener, before, sent - 1);
    EXPECT_EQ(3, countInFile(logPath, "++ Connection from "));
}
