#include <errno.h>
#include <string.h>

#include <memory>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "net/ClientRegisterThread.h"
#include "net/ClientWorkerThread.h"
#include "net/TCPSocket.h"
#include "support/LogWatch.h"
#include "support/MessageClient.h"
#include "support/TempDir.h"

namespace {

// Answers one line with the same line, then returns: the pool deletes the
// worker, which must close the connection.
class EchoWorker : public ClientWorkerThread {
public:
    void work() override {
        std::string line;
        if (socket->readLine(line) > 0) socket->write(line.data(), static_cast<int64_t>(line.size()));
    }
};

class EchoRegisterThread : public ClientRegisterThread {
public:
    using ClientRegisterThread::ClientRegisterThread;

protected:
    ClientWorkerThread* createWorker() override { return new EchoWorker; }
};

// Like the daemon's services, the socket and the acceptor live until the
// process ends; only the pointer goes out of scope.
EchoRegisterThread* startEchoService(const std::string& logPath, TCPSocket** listener) {
    *listener = new TCPSocket;
    if ((*listener)->server("0") < 0) return nullptr;
    EchoRegisterThread* acceptor = new EchoRegisterThread(logPath, *listener);
    if (acceptor->start() != 0) return nullptr;
    return acceptor;
}

}  // namespace

TEST(ClientRegisterThreadTest, ConnectionIsLoggedThenServedAndClosedByItsWorker) {
    TempDir directory;
    std::string logPath = directory / "vellort.log";
    TCPSocket* listener = nullptr;
    ASSERT_NE(nullptr, startEchoService(logPath, &listener));

    MessageClient client(listener->localPort());
    ASSERT_TRUE(client.connected());
    std::string accepted = "++ Accepted connection from " + client.peerName() + " on ";
    ASSERT_TRUE(waitForLogCount(logPath, accepted, 1));
    // The time text brings its own newline, and endl adds one more.
    std::regex line(
        "\\+\\+ Accepted connection from 127\\.0\\.0\\.1:[0-9a-z-]+ on "
        "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}\n\n");
    EXPECT_TRUE(std::regex_match(readFile(logPath), line)) << readFile(logPath);

    ASSERT_TRUE(client.sendAll("hello\n"));
    std::string reply;
    ASSERT_TRUE(client.readBytes(6, reply)) << client.error();
    EXPECT_EQ("hello\n", reply);
    EXPECT_FALSE(client.readBytes(1, reply));
    EXPECT_EQ("end of stream", client.error());
}

TEST(ClientRegisterThreadTest, RepeatedAcceptFailuresPauseWithOneWarning) {
    TempDir directory;
    std::string logPath = directory / "vellort.log";
    TCPSocket* listener = new TCPSocket;
    ASSERT_GE(listener->server("0"), 1);
    ASSERT_EQ(0, listener->close());  // every accept now fails at once
    EchoRegisterThread* acceptor = new EchoRegisterThread(logPath, listener);
    ASSERT_EQ(0, acceptor->start());

    std::string warning =
        "Warning: Accepting connections on 0.0.0.0:0 failed 11 times in a row: " + std::string(strerror(EBADF)) +
        "; retrying every 50 ms\n";
    ASSERT_TRUE(waitForLogCount(logPath, warning, 1));
    EXPECT_EQ(1, countInFile(logPath, "Warning: "));
}
