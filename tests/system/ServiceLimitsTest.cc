#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "ledger/Storage.h"
#include "net/BroadcastMessageThread.h"
#include "net/MessageServer.h"
#include "net/MessageWorkerThread.h"
#include "net/StatusRegisterThread.h"
#include "net/StatusServer.h"
#include "net/TCPSocket.h"
#include "support/CopyRig.h"
#include "support/DaemonRunner.h"
#include "support/FifoWriter.h"
#include "support/MessageClient.h"
#include "support/StatusClient.h"

namespace {

const char accepted[] = "++ Accepted connection from ";
const int pool = StatusRegisterThread::servedClients;
const std::string subject = "/ramdisk/./a:/target/./a";

}  // namespace

// The daemon's servers in this process, living to its end as in the daemon. Idle status clients go at the fixed 10 s
// time-outs and those waiting are then served; one more is refused. A message client that does not read is closed,
// and the central queue of a broadcaster that is behind keeps its bound.
TEST(ServiceLimitsTest, ClientsThatHoldTheWorkersGoAtTheirTimeOutsAndOneThatReadsTooSlowlyLosesOnlyItsOwnFrames) {
    TempDir directory;
    const std::string statusLog = directory / "status.log";
    Storage::Params params;
    params.storageID = "disk";
    params.history_max_entries = 10;
    Storage* storage = new Storage(params);
    for (int shift = 1; shift <= 10; ++shift) storage->setTavroTime(1700000000 + shift, 1000, 100);
    StatusServer* status = new StatusServer(statusLog, 0, {storage});
    ASSERT_EQ(0, status->connect());
    MessageServer taken(directory / "taken.log", status->localPort());  // a server on a port in use
    EXPECT_EQ(-1, taken.connect());
    EXPECT_EQ("Error: Starting TCP connection: Failed to bind to port " + std::to_string(status->localPort()) + "\n",
              readFile(directory / "taken.log"));

    // Status: silent ones, one with half a request, one that asks without reading.
    std::vector<std::unique_ptr<StatusClient>> busy, waiting;
    for (int i = 0; i < pool; ++i) busy.emplace_back(new StatusClient(status->localPort(), "127.0.0.1", 4096));
    ASSERT_TRUE(waitForLogCount(statusLog, accepted, pool));
    ASSERT_TRUE(busy[0]->send("<request><action id='history'"));
    std::string flood;
    while (flood.size() < (4u << 20)) flood += "<request><action id='history'/></request>\n";
    EXPECT_GT(busy[1]->sendWithoutBlocking(flood), 0u);
    auto id = [](size_t i) { return std::string(1000, static_cast<char>('a' + i)); };  // of waiting client i
    for (int i = 0; i < StatusRegisterThread::waitingClients; ++i) {
        waiting.emplace_back(new StatusClient(status->localPort()));
        ASSERT_TRUE(waiting.back()->send("<request><action id='" + id(i) + "'/></request>\n"));
    }
    ASSERT_TRUE(waitForLogCount(statusLog, accepted, 2 * pool));
    StatusClient refused(status->localPort());
    EXPECT_TRUE(waitForLogCount(statusLog,
                                "Warning: Refused connection from " + refused.peerName() +
                                    " on 0.0.0.0:0: 10 clients served and 10 waiting; 1 refused since the last such "
                                    "line\n",
                                1));

    {  // One that reads far too slowly loses its own oldest frames, and only it; one that does not read goes.
        const std::string padding(1000, 'p'), logPath = directory / "reader.log";
        MessageServer* server = new MessageServer(logPath, 0);
        ASSERT_EQ(0, server->connect());
        std::vector<std::unique_ptr<MessageClient>> readers;
        for (int i = 0; i < pool; ++i) readers.emplace_back(new MessageClient(server->localPort()));
        MessageClient behind(server->localPort(), "127.0.0.1", 4096), deaf(server->localPort(), "127.0.0.1", 4096);
        ASSERT_TRUE(waitForLogCount(logPath, accepted, pool + 2));
        // Each reader reads in order up to "end"; the one behind takes a frame every 20 ms until then.
        std::atomic<int> given(0), received(0), slowly(0);
        std::atomic<bool> sending(true);
        std::vector<std::atomic<int>> progress(pool);
        std::vector<std::thread> reading;
        for (int i = 0; i < pool; ++i)
            reading.emplace_back([&, i] {
                MessageClient::Frame frame;
                while (readers[i]->readFrame(frame) && frame.text != "end" && atoi(frame.text.c_str()) == progress[i])
                    ++progress[i];
            });
        reading.emplace_back([&] {
            MessageClient::Frame frame;
            for (int last = -1; behind.readFrame(frame, 30000) && ++received && frame.text != "end";) {
                if (atoi(frame.text.c_str()) <= last) return;
                last = atoi(frame.text.c_str());
                if (sending) ++slowly, usleep(20000);
            }
        });
        // In rounds that the readers keep up with, so that only the slow one falls behind.
        for (int round = 0; round < 17; ++round) {
            for (int end = given + 1000; given < end; ++given)
                server->addToMessageQueue(MessageServer::COPY_ERROR, subject, std::to_string(given.load()) + padding);
            for (int i = 0; i < pool; ++i)
                while (progress[i] < given) std::this_thread::yield();
        }
        sending = false;
        server->addToMessageQueue(MessageServer::COPY_ERROR, subject, "end");
        for (std::thread& thread : reading) thread.join();
        // The kernel holds at most the daemon's send buffer and the client's receive buffer.
        const long smallestFrame = static_cast<long>(MessageServer::buildFrame(0, subject, "0" + padding).size());
        EXPECT_LE(received,
                  static_cast<int>(MessageWorkerThread::maxQueuedFrames) + slowly +
                      (2 * MessageWorkerThread::sendBufferBytes + behind.receiveBufferSize()) / smallestFrame);
        // Written by the worker once it has sent what it kept, maybe after the last frame.
        const std::regex dropped("Warning: Message client " + behind.peerName() +
                                 " is not reading; dropped (\\d+) messages\n");
        std::string log;
        std::smatch warning;
        ASSERT_TRUE(waitUntil([&] { return std::regex_search(log = readFile(logPath), warning, dropped); }, 20, 5));
        EXPECT_EQ(given + 1, received + atoi(warning[1].str().c_str()));
        EXPECT_EQ(1, countInFile(logPath, "Warning: Message client " + behind.peerName()));
        EXPECT_TRUE(waitForLogCount(
            logPath, "Warning: Closing connection from " + deaf.peerName() + ": it took no message within 10 s\n", 1,
            30));
        EXPECT_EQ(0, countInFile(logPath, "Warning: Closing connection from " + behind.peerName()));
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
        EXPECT_NE(std::string::npos, line.find("Unkown action &apos;" + id(i) + "&apos;"));
        // Logged before the reply went, cut, while the connection still stands.
        EXPECT_EQ(
            1, countInFile(statusLog, "Error: Unkown action '" + id(i).substr(0, 256) +
                                          "... (1000 bytes in all)' in request from " + waiting[i]->peerName() + "\n"));
    }
    EXPECT_EQ(1, countInFile(statusLog, "Warning: Closing connection from " + busy[1]->peerName() +
                                            ": it took no reply within 10 s\n"));
}

// 80 clients of both services and 900 copies by three workers with the journal and verification, under 64
// descriptors: the services refuse the clients the copies may need. The soft limit is raised to the hard one first.
TEST(ServiceLimitsTest, UnderADescriptorLimitTheServicesRefuseClientsAndNoCopyFails) {
    DaemonRunner daemon;
    daemon.setDescriptorLimit(64);
    daemon.writeConfig(daemon.serviceConfig(daemon.root() + "/ramdisk") + "journal " + daemon.root() +
                       "/journal.sqlite\nverify_copies yes\nstorageID disk\ntype INTERNAL\ntarget " + daemon.root() +
                       "/internal\nn_copy_processes 3\nmountpoint " + daemon.root() + "\n");
    ASSERT_EQ(0, daemon.run());
    const std::string history = "<request><action id='history'/></request>";
    // Once the status service answers, both services run.
    ASSERT_TRUE(waitUntil([&] { return StatusClient(daemon.statusPort()).ask(history).find("<reply") == 0; }, 10, 10));
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    for (int i = 0; i < 80; ++i)
        clients.emplace_back(new LoopbackClient(i % 2 ? daemon.statusPort() : daemon.messagePort()));
    ASSERT_TRUE(daemon.waitForLog(" descriptors free, ")) << daemon.log();

    const int files = 900;
    FifoWriter pipe(daemon.pipePath());
    auto bytes = [](int) { return std::string(1000, 'd'); };
    ASSERT_TRUE(pipe.open() && pipe.write(CopyRig::putNumbered(daemon.root() + "/ramdisk", files, bytes)));
    clients.clear();  // the status service may then answer again
    const std::string reply = daemon.historyHolding("copied=\"" + std::to_string(files) + "\"", 120);
    EXPECT_NE(std::string::npos, reply.find("copied=\"" + std::to_string(files) + "\" failed=\"0\"")) << reply;
    EXPECT_EQ(0, countInFile(daemon.logPath(), "Error"));
}

// Each silent client is closed with one line once frames wait for it. A soft descriptor limit below the hard one is
// raised at start-up.
TEST(ServiceLimitsTest, SilentMessageClientsAreClosedAndAListenerGetsItsFramesMeanwhile) {
    DaemonRunner daemon;
    daemon.setDescriptorLimit(256, 1024);
    daemon.writeConfig(daemon.defaultConfig());
    ASSERT_EQ(0, daemon.run());
    const std::string history = "<request><action id='history'/></request>";
    ASSERT_TRUE(waitUntil([&] { return StatusClient(daemon.statusPort()).ask(history).find("<reply") == 0; }, 10, 10));
    EXPECT_EQ(1,
              countInFile(daemon.logPath(),
                          "++ Raised the limit of open descriptors (RLIMIT_NOFILE) from 256 to its hard limit 1024\n"));
    std::vector<std::unique_ptr<MessageClient>> silent;
    for (int i = 0; i < 10; ++i) silent.emplace_back(new MessageClient(daemon.messagePort(), "127.0.0.1", 4096));
    MessageClient listener(daemon.messagePort());
    ASSERT_TRUE(daemon.waitForLog(accepted + listener.peerName()));
    // Files that are gone: each a message of some 700 bytes, together more than
    // a silent client's receive buffer, less than the daemon's send buffer.
    const int gone = 12;
    FifoWriter pipe(daemon.pipePath());
    ASSERT_TRUE(pipe.open());
    for (int i = 0; i < gone; ++i)
        ASSERT_TRUE(pipe.write(daemon.root() + "/ramdisk/./" + std::string(100, 'g') + std::to_string(i) + "\n"));
    MessageClient::Frame frame;
    for (int i = 0; i < gone; ++i) ASSERT_TRUE(listener.readFrame(frame)) << listener.error() << " after " << i;
    // The listener had them while all ten were still held.
    EXPECT_EQ(0, countInFile(daemon.logPath(), "it took no message"));
    for (const std::unique_ptr<MessageClient>& client : silent)
        EXPECT_TRUE(daemon.waitForLog(
            "Warning: Closing connection from " + client->peerName() + ": it took no message within 10 s\n", 30))
            << daemon.log();
    EXPECT_EQ(10, countInFile(daemon.logPath(), ": it took no message within 10 s\n"));
    EXPECT_EQ(0, countInFile(daemon.logPath(), "Closing connection from " + listener.peerName()));
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
        if (!waitForLogCount(log, "Error: Only 0 of 20 threads for clients on ", 1)) return 3;
        LoopbackClient first(server->localPort()), second(server->localPort());
        return waitForLogCount(log, ": no thread to serve it; ", 1) ? 0 : 4;
    };
    EXPECT_EXIT(_exit(noClientThread()), testing::ExitedWithCode(0), "");
#endif
}
