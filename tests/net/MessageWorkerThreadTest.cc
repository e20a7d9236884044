#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "net/MessageServer.h"
#include "net/MessageWorkerThread.h"
#include "support/LogWatch.h"
#include "support/MessageClient.h"
#include "support/TempDir.h"

TEST(MessageWorkerThreadTest, ClientThatDoesNotReadLosesOldestFramesAloneAndIsWarnedAbout) {
    // Enough frames, large enough, that a client that does not read fills its
    // socket buffers and its worker's queue, and the worker must drop some.
    const int totalFrames = 4 * static_cast<int>(MessageWorkerThread::maxQueuedFrames), framesPerRound = 1000;
    const std::string padding(1000, 'p');
    TempDir directory;
    const std::string logPath = directory / "vellort.log";
    MessageServer* server = new MessageServer(logPath, 0);  // lives to the end, as in the daemon
    ASSERT_EQ(0, server->connect());
    MessageClient first(server->localPort()), second(server->localPort()), stuck(server->localPort());
    ASSERT_TRUE(waitForLogCount(logPath, "++ Accepted connection from ", 3));

    // The readers keep up round by round: only the stuck one can fall behind by a queue's worth.
    MessageClient::Frame frame;
    for (int start = 0; start < totalFrames; start += framesPerRound) {
        for (int number = start; number < start + framesPerRound; ++number)
            server->addToMessageQueue(MessageServer::COPY_ERROR, "/ramdisk/./a:/target/./a",
                                      std::to_string(number) + padding);
        for (MessageClient* reader : {&first, &second}) {
            for (int number = start; number < start + framesPerRound; ++number) {
                ASSERT_TRUE(reader->readFrame(frame)) << reader->error();
                ASSERT_EQ(number, atoi(frame.text.c_str()));
            }
        }
    }
    // What the stuck client gets is in order and ends with the newest frame;
    // what it missed is what the warning counts.
    int received = 0;
    for (int last = -1; last != totalFrames - 1; ++received) {
        ASSERT_TRUE(stuck.readFrame(frame)) << stuck.error() << " after " << last;
        ASSERT_LT(last, atoi(frame.text.c_str()));
        last = atoi(frame.text.c_str());
    }
    const std::string warning = "Warning: Message client " + stuck.peerName() + " is not reading; dropped ";
    ASSERT_TRUE(waitForLogCount(logPath, warning, 1));
    const std::string log = readFile(logPath);
    char* end = nullptr;
    const long dropped = strtol(log.c_str() + log.find(warning) + warning.size(), &end, 10);
    EXPECT_EQ(0, strncmp(end, " messages\n", 10)) << log;
    EXPECT_GT(dropped, 0);
    EXPECT_EQ(totalFrames, received + dropped);
    EXPECT_EQ(1, countInFile(logPath, "Warning: "));
}
