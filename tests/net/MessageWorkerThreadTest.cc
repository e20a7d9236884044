#include <stdlib.h>

#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "net/MessageServer.h"
#include "net/MessageWorkerThread.h"
#include "support/LogWatch.h"
#include "support/MessageClient.h"
#include "support/TempDir.h"

namespace {

// Enough frames, large enough, that a client that does not read fills its
// socket buffers and the worker's queue and the worker must drop some.
const int totalFrames = 4 * static_cast<int>(MessageWorkerThread::maxQueuedFrames);
const int framesPerRound = 1000;
const std::string padding(1000, 'p');

std::string numberedText(int number) {
    return std::to_string(number) + " " + padding;
}

int numberOf(const MessageClient::Frame& frame) {
    return atoi(frame.text.c_str());
}

}  // namespace

TEST(MessageWorkerThreadTest, ClientThatDoesNotReadLosesOldestFramesAloneAndIsWarnedAbout) {
    TempDir directory;
    std::string logPath = directory / "vellort.log";
    MessageServer* server = new MessageServer(logPath, 0);  // lives to the end, as in the daemon
    ASSERT_EQ(0, server->connect());
    MessageClient first(server->localPort());
    MessageClient second(server->localPort());
    MessageClient stuck(server->localPort());
    ASSERT_TRUE(waitForLogCount(logPath, "++ Accepted connection from ", 3));

    // The reading clients keep up round by round, so only the stuck one can
    // fall behind by more than a queue's worth.
    for (int round = 0; round < totalFrames / framesPerRound; ++round) {
        int firstNumber = round * framesPerRound;
        for (int number = firstNumber; number < firstNumber + framesPerRound; ++number) {
            server->addToMessageQueue(MessageServer::COPY_ERROR, "/ramdisk/./a:/target/./a", numberedText(number));
        }
        for (MessageClient* reader : {&first, &second}) {
            for (int number = firstNumber; number < firstNumber + framesPerRound; ++number) {
                MessageClient::Frame frame;
                ASSERT_TRUE(reader->readFrame(frame)) << reader->error();
                ASSERT_EQ(number, numberOf(frame));
            }
        }
    }

    // Now the stuck client reads: what it gets is in order and ends with the
    // newest frame, and what it misses is what the warning counts.
    int received = 0;
    int last = -1;
    while (last != totalFrames - 1) {
        MessageClient::Frame frame;
        ASSERT_TRUE(stuck.readFrame(frame)) << stuck.error() << " after " << last;
        ASSERT_LT(last, numberOf(frame));
        last = numberOf(frame);
        ++received;
    }
    std::string warning = "Warning: Message client " + stuck.peerName() + " is not reading; dropped ";
    ASSERT_TRUE(waitForLogCount(logPath, warning, 1));
    std::smatch count;
    std::string log = readFile(logPath);
    ASSERT_TRUE(std::regex_search(
        log, count, std::regex(std::regex_replace(warning, std::regex("\\."), "\\.") + "([0-9]+) messages\n")));
    int dropped = std::stoi(count[1]);
    EXPECT_GT(dropped, 0);
    RecordProperty("dropped", dropped);
    EXPECT_EQ(totalFrames, received + dropped);
    EXPECT_EQ(1, countInFile(logPath, "Warning: "));
}
