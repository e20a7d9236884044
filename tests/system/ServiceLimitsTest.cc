#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "ledger/Storage.h"
#include "net/BroadcastMessageThread.h"
#include "net/ClientRegisterThread.h"
#include "net/MessageServer.h"
#include "net/MessageWorkerThread.h"
#include "net/StatusServer.h"
#include "net/TCPSocket.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/MessageClient.h"
#include "support/StatusClient.h"

namespace {

const char accepted[] = "++ Accepted connection from ";
const int pool = ClientRegisterThread::poolSize;
const std::string subject = "/ramdisk/./a:/target/./a";

}  // namespace

// The daemon's servers in this process, living to its end as in the daemon.
// Clients that hold every worker and give it nothing to do are closed at the
// fixed 10 s time-outs and those waiting are served; one more is refused.
// Meanwhile a client that does not read loses only its own oldest frames, and
// the central queue of a broadcaster that is behind keeps its bound.
TEST(ServiceLimitsTest, ClientsThatHoldTheWorkersGoAtTheirTimeOutsAndOneThatDoesNotReadLosesOnlyItsOwnFrames) {
    TempDir directory;
    const std::string statusLog = directory / "status.log", messageLog = directory / "message.log";
    Storage::Params params;
    params.storageID = "disk";
    params.history_max_entries = 10;
    Storage* storage = new Storage(params);
    for (int shift = 1; shift <= 10; ++shift) storage->setTavroTime(1700000000 + shift, 1000, 100);
    StatusServer* status = new StatusServer(statusLog, 0, {storage});
    MessageServer* messages = new MessageServer(messageLog, 0);
    ASSERT_EQ(0, status->connect());
    ASSERT_EQ(0, messages->connect());
    MessageServer taken(directory / "taken.log", messages->localPort());  // a second server on the port
    EXPECT_EQ(-1, taken.connect());
    EXPECT_EQ("Error: Starting TCP connection: Failed to bind to port " + std::to_string(messages->localPort()) + "\n",
              readFile(directory / "taken.log"));

    // Status: silent ones, one with half a request, one that asks without reading.
    std::vector<std::unique_ptr<StatusClient>> busy, waiting;
    for (int i = 0; i < pool; ++i) busy.emplace_back(new StatusClient(status->localPort(), "127.0.0.1", 4096));
    ASSERT_TRUE(waitForLogCount(statusLog, accepted, pool));
    ASSERT_TRUE(busy[0]->send("<request><action id='history'"));
    std::string flood;
    while (flood.size() < (4u << 20)) flood += "<request><action id='history'/></request>\n";
    EXPECT_GT(busy[1]->sendWithoutBlocking(flood), 0u);
    std::vector<std::string> ids;
    for (int i = 0; i < ClientRegisterThread::maxWaitingClients; ++i) {
        ids.push_back(std::string(1000, static_cast<char>('a' + i)));
        waiting.emplace_back(new StatusClient(status->localPort()));
        ASSERT_TRUE(waiting.back()->send("<request><action id='" + ids.back() + "'/></request>\n"));
    }
    ASSERT_TRUE(waitForLogCount(statusLog, accepted, 2 * pool));
    StatusClient refused(status->localPort());
    EXPECT_TRUE(waitForLogCount(statusLog,
                                "Warning: Refused connection from " + refused.peerName() +
                                    " on 0.0.0.0:0: 10 clients served and 10 waiting; 1 refused since the last such "
                                    "line\n",
                                1));

    // Messages: clients that read nothing, and one waiting for a worker. A worker
    // waits for its client only while it sends: the frames are more than the
    // kernel buffers of a connection hold.
    std::vector<std::unique_ptr<MessageClient>> stuck;
    for (int i = 0; i < pool; ++i) stuck.emplace_back(new MessageClient(messages->localPort(), "127.0.0.1", 4096));
    ASSERT_TRUE(waitForLogCount(messageLog, accepted, pool));
    MessageClient eleventh(messages->localPort());
    ASSERT_TRUE(waitForLogCount(messageLog, accepted, pool + 1));
    const std::string large(64 << 10, 'l');
    const int sent = 100;
    for (int number = 0; number < sent; ++number)
        messages->addToMessageQueue(MessageServer::COPY_ERROR, subject, std::to_string(number) + large);

    {  // The stuck client waits for a worker until its queue is full, then gets one and stops reading.
        const int bound = static_cast<int>(MessageWorkerThread::maxQueuedFrames);
        const std::string padding(1000, 'p'), logPath = directory / "reader.log";
        MessageServer* server = new MessageServer(logPath, 0);
        ASSERT_EQ(0, server->connect());
        std::vector<std::unique_ptr<MessageClient>> readers;
        for (int i = 0; i < pool; ++i) readers.emplace_back(new MessageClient(server->localPort()));
        ASSERT_TRUE(waitForLogCount(logPath, accepted, pool));
        const std::string firstGone = "++ Connection from " + readers[0]->peerName() + " closed on ";
        MessageClient behind(server->localPort(), "127.0.0.1", 4096);
        ASSERT_TRUE(waitForLogCount(logPath, accepted, pool + 1));
        // Each reader reads in order up to "end"; the first leaves after `bound` + 1000.
        std::atomic<int> given(0);
        std::vector<std::atomic<int>> progress(pool);
        std::vector<std::thread> reading;
        for (int i = 0; i < pool; ++i)
            reading.emplace_back([&, i] {
                MessageClient::Frame frame;
                while (readers[i]->readFrame(frame) && frame.text != "end" && atoi(frame.text.c_str()) == progress[i])
                    if (++progress[i] == bound + 1000 && i == 0) readers[0]->close();
            });
        // In rounds that the readers keep up with, so that only the one that does not read falls behind.
        auto send = [&](int count) {
            for (int end = given + count; given < end; ++given)
                server->addToMessageQueue(MessageServer::COPY_ERROR, subject, std::to_string(given.load()) + padding);
            for (int i = 1; i < pool; ++i)
                while (progress[i] < given) std::this_thread::yield();
        };
        for (int round = 0; round < 11; ++round) send(1000);
        ASSERT_TRUE(waitUntil([&] { return send(1), countInFile(logPath, firstGone) == 1; }, 20, 5));
        // Enough to tell a worker that holds twice its bound, few enough to stay within its send time-out.
        for (int round = 0; round < 6; ++round) send(1000);
        server->addToMessageQueue(MessageServer::COPY_ERROR, subject, "end");
        for (std::thread& thread : reading) thread.join();
        for (int i = 1; i < pool; ++i) EXPECT_EQ(given, progress[i]) << i;
        int received = 0;
        MessageClient::Frame frame;
        for (int last = -1; frame.text != "end"; ++received) {
            ASSERT_TRUE(behind.readFrame(frame)) << behind.error() << " after " << last;
            ASSERT_TRUE(frame.text == "end" || last < atoi(frame.text.c_str()));
            last = atoi(frame.text.c_str());
        }
        // The kernel holds at most the daemon's send buffer and the client's receive buffer.
        long sendBufferMax = 0;
        std::ifstream("/proc/sys/net/ipv4/tcp_wmem") >> sendBufferMax >> sendBufferMax >> sendBufferMax;
        const long smallestFrame = static_cast<long>(MessageServer::buildFrame(0, subject, "0" + padding).size());
        EXPECT_LE(received, bound + (sendBufferMax + behind.receiveBufferSize()) / smallestFrame);
        // Written by the worker once it has sent what it kept, maybe after the last frame.
        const std::regex dropped("Warning: Message client " + behind.peerName() +
                                 " is not reading; dropped (\\d+) messages\n");
        std::string log;
        std::smatch warning;
        ASSERT_TRUE(waitUntil([&] { return std::regex_search(log = readFile(logPath), warning, dropped); }, 20, 5));
        EXPECT_EQ(given + 1, received + atoi(warning[1].str().c_str()));
        EXPECT_EQ(1, countInFile(logPath, "Warning: "));
    }
    {
        const std::string logPath = directory / "queue.log";
        MessageServer* server = new MessageServer(logPath, 0);
        for (size_t i = 0; i < BroadcastMessageThread::maxQueuedFrames + 2500; ++i)
            server->addToMessageQueue(MessageServer::COPY_ERROR, subject, std::to_string(i));
        ASSERT_EQ(0, server->connect());
        EXPECT_TRUE(waitForLogCount(logPath, "Warning: Message queue full; dropped 2500 messages\n", 1));
    }

    ASSERT_TRUE(waitForLogCount(statusLog, ": no complete request within 10 s\n", pool - 1, 60));
    std::string line;
    for (size_t i = 0; i < waiting.size(); ++i) {
        ASSERT_TRUE(waiting[i]->readLine(line)) << waiting[i]->error();
        EXPECT_NE(std::string::npos, line.find("Unkown action &apos;" + ids[i] + "&apos;"));
        // Logged before the reply went, cut, while the connection still stands.
        EXPECT_EQ(
            1, countInFile(statusLog, "Error: Unkown action '" + ids[i].substr(0, 256) +
                                          "... (1000 bytes in all)' in request from " + waiting[i]->peerName() + "\n"));
    }
    EXPECT_EQ(1, countInFile(statusLog, "Warning: Closing connection from " + busy[1]->peerName() +
                                            ": it took no reply within 10 s\n"));
    ASSERT_TRUE(waitForLogCount(messageLog, ": it took no message within 10 s\n", pool, 60));
    MessageClient::Frame frame;
    for (int number = 0; number < sent; ++number) {
        ASSERT_TRUE(eleventh.readFrame(frame)) << eleventh.error();
        ASSERT_EQ(std::to_string(number) + large, frame.text);
    }
}

// Clients beyond what the services hold are refused, with one line a minute,
// and however many come, the copies and the log keep their descriptors.
TEST(ServiceLimitsTest, UnderADescriptorLimitTheServicesRefuseClientsAndTheCopiesStillSucceed) {
    DaemonRunner daemon;
    daemon.setDescriptorLimit(48);  // room for the held status clients, not for twenty message clients too
    daemon.writeConfig(daemon.defaultConfig());
    ASSERT_EQ(0, daemon.run());
    const std::string history = "<request><action id='history'/></request>";
    // Once the status service answers, both services run.
    ASSERT_TRUE(waitUntil([&] { return StatusClient(daemon.statusPort()).ask(history).find("<reply") == 0; }, 10, 10));
    // The status service is full before the descriptors run short; the message service is not.
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    for (int i = 0; i < 25; ++i) clients.emplace_back(new LoopbackClient(daemon.statusPort()));
    ASSERT_TRUE(daemon.waitForLog(" on 0.0.0.0:" + std::to_string(daemon.statusPort()) +
                                  ": 10 clients served and 10 waiting; "));
    for (int i = 0; i < 55; ++i) clients.emplace_back(new LoopbackClient(daemon.messagePort()));
    ASSERT_TRUE(daemon.waitForLog(" descriptors free, 16 kept for copies and the log; ")) << daemon.log();
    EXPECT_EQ(2, countInFile(daemon.logPath(), "Warning: Refused connection from ")) << daemon.log();

    writeFile(daemon.root() + "/ramdisk/run1.dat", "data");
    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(pipe.open());
    ASSERT_TRUE(pipe.write(daemon.root() + "/ramdisk/./run1.dat\n"));
    ASSERT_TRUE(waitForLogCount(daemon.root() + "/internal/run1.dat", "data", 1));
    clients.clear();
    // Every status client held, and the probe, has been seen to go.
    ASSERT_TRUE(waitForLogCount(daemon.logPath(), "++ Connection from ", 21));
    EXPECT_NE(std::string::npos, daemon.historyHolding("copied=\"1\" failed=\"0\"").find("copied=\"1\""));
}

// Each check runs in a fresh process of its own (gtest's "threadsafe" death
// tests run the binary anew), so that its limits, its uid and the threads it
// leaves cannot reach the test, nor the threads of earlier tests the check.
TEST(ServiceLimitsTest, ASocketOnDescriptorZeroIsClosedAndAFailedThreadStartLeavesNoServiceBehind) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to a spare uid under a process limit";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto socketOnZero = [] {
        close(0);  // as the daemon does when it detaches
        TCPSocket listener;
        if (listener.server("0") != 0) return 1;
        if (listener.close() != 0) return 2;
        return fcntl(0, F_GETFD) == -1 && errno == EBADF ? 0 : 3;
    };
    // Room for one thread beside the process's own: the broadcaster or the acceptor, not both.
    auto oneThreadOnly = [] {
        TempDir directory;
        const int port = freePort();
        MessageServer* server = new MessageServer(directory / "vellort.log", port);
        const struct rlimit oneThread = {2, 2};
        if (setuid(60000 + getpid() % 5000) != 0 || setrlimit(RLIMIT_NPROC, &oneThread) != 0) return 1;
        if (server->connect() != -1) return 2;
        if (LoopbackClient(port).connected()) return 3;  // an acceptor would serve it, on a deleted server
        delete server;                                   // as the daemon does
        return 0;
    };
    EXPECT_EXIT(_exit(socketOnZero()), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(_exit(oneThreadOnly()), testing::ExitedWithCode(0), "");
#if !defined(__SANITIZE_THREAD__)  // the sanitizer's own thread would take one of the two threads
    // Room for the broadcaster and the acceptor but for no client's thread: clients are refused, not served
    // on the acceptor's thread, where one that never leaves would hold every other out.
    auto noClientThread = [] {
        TempDir directory;
        const std::string log = directory / "vellort.log";
        const struct rlimit twoThreads = {3, 3};
        if (chmod(directory.path().c_str(), 0777) != 0) return 1;  // the log is made after setuid
        if (setuid(60000 + getpid() % 5000) != 0 || setrlimit(RLIMIT_NPROC, &twoThreads) != 0) return 1;
        MessageServer* server = new MessageServer(log, freePort());
        if (server->connect() != 0) return 2;
        if (!waitForLogCount(log, "Error: Only 0 of 10 threads for clients on ", 1)) return 3;
        LoopbackClient first(server->localPort()), second(server->localPort());
        return waitForLogCount(log, ": no thread to serve it; ", 1) ? 0 : 4;
    };
    EXPECT_EXIT(_exit(noClientThread()), testing::ExitedWithCode(0), "");
#endif
}
