#include <errno.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "net/ClientRegisterThread.h"
#include "net/TCPSocket.h"
#include "support/LogWatch.h"
#include "support/TempDir.h"

namespace {

class FailingRegisterThread : public ClientRegisterThread {
public:
    using ClientRegisterThread::ClientRegisterThread;

protected:
    ClientWorkerThread* createWorker() override { return nullptr; }  // never called: no accept succeeds
};

}  // namespace

// The accepted line and the hand-over to workers are checked through the two
// services' own tests. Listener and acceptor live until the process ends, as in the daemon.
TEST(ClientRegisterThreadTest, RepeatedAcceptFailuresPauseWithOneWarning) {
    TempDir directory;
    const std::string logPath = directory / "vellort.log";
    TCPSocket* listener = new TCPSocket;
    ASSERT_GE(listener->server("0"), 1);
    ASSERT_EQ(0, listener->close());  // every accept now fails at once
    ASSERT_EQ(0, (new FailingRegisterThread(logPath, listener))->start());
    ASSERT_TRUE(waitForLogCount(logPath,
                                "Warning: Accepting connections on 0.0.0.0:0 failed 11 times in a row: " +
                                    std::string(strerror(EBADF)) + "; retrying every 50 ms\n",
                                1));
    EXPECT_EQ(1, countInFile(logPath, "Warning: "));
}
