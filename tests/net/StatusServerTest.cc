#include <stdlib.h>
#include <time.h>

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ledger/FileInfo.h"
#include "ledger/Storage.h"
#include "net/StatusServer.h"
#include "net/TCPSocket.h"
#include "support/LogWatch.h"
#include "support/StatusClient.h"
#include "support/TempDir.h"

namespace {

// Shift times; the tests run with TZ=UTC so that asctime is fixed.
const int64_t shift1 = 1700000000;   // 2023/11/14 22:13:20
const int64_t shift2 = 1700003600;   // 2023/11/14 23:13:20
const int64_t shift3 = 1700090000;   // 2023/11/15 23:13:20
const int64_t beforeEpoch = -86400;  // 1969/12/31 00:00:00

// As in the daemon, storages and connected servers live until the process ends.
Storage* newStorage(const std::string& id, int type) {
    Storage::Params params;
    params.storageID = id;
    params.type = type;
    params.history_max_entries = 10;
    return new Storage(params);
}

// INT: shift1, shift2, shift3 with one file pending, one copied, one failed.
// EXT: shift2 (another uid and gid), shift3 with a credit never announced.
// OPT: shift1, then a shift that only it has.
std::vector<Storage*> ledgersWithHistory() {
    setenv("TZ", "UTC", 1);
    tzset();
    Storage* internal = newStorage("INT", Storage::INTERNAL);
    internal->setTavroTime(shift1, 1000, 100);
    internal->setTavroTime(shift2, 1001, 101);
    internal->setTavroTime(shift3, 1002, 102);
    for (const char* path : {"/r/./a", "/r/./b", "/r/./c"}) internal->insertToBuffer(FileInfo(path, shift3));
    internal->debitCredit().insertToCredits(FileInfo("/r/./a", shift3));
    internal->debitCredit().insertToFailedCopies(FileInfo("/r/./b", shift3));

    Storage* external = newStorage("EXT", Storage::EXTERNAL);
    external->setTavroTime(shift2, 2001, 201);
    external->setTavroTime(shift3, 1002, 102);
    external->debitCredit().insertToCredits(FileInfo("/r/./z", shift3));

    Storage* optional = newStorage("OPT", Storage::OPTIONAL);
    optional->setTavroTime(shift1, 1000, 100);
    optional->setTavroTime(beforeEpoch, 0, 0);
    return {internal, external, optional};
}

StatusServer* startServer(const std::string& logPath, const std::vector<Storage*>& storages) {
    StatusServer* server = new StatusServer(logPath, 0, storages);
    if (server->connect() != 0) return nullptr;
    return server;
}

std::string reply(const std::string& content) {
    return "<reply>" + content + "</reply>\n";
}

std::string errorReply(const std::string& type, const std::string& message) {
    return reply("    <error type=\"" + type + "\" message=\"" + message + "\"/>");
}

std::string userTime(int64_t id, unsigned uid, unsigned gid, const std::string& asctime, const std::string& storages) {
    return "    <usertime id=\"" + std::to_string(id) + "\" uid=\"" + std::to_string(uid) + "\" gid=\"" +
           std::to_string(gid) + "\" asctime=\"" + asctime + "\">" + storages + "    </usertime>";
}

std::string storage(const std::string& id, int pending, int copied, int failed) {
    return "        <storage id=\"" + id + "\" pending=\"" + std::to_string(pending) + "\" copied=\"" +
           std::to_string(copied) + "\" failed=\"" + std::to_string(failed) + "\"/>";
}

const std::string requestForm =
    "Request does not follow &lt;request&gt;&lt;action id=&lt;string&gt; [optional attributes] /&gt;&lt;/request&gt;";

// The log with every time stamp of asciiTime() replaced by "TIME".
std::string logWithoutTimes(const std::string& path) {
    static const std::regex time(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}\n)");
    return std::regex_replace(readFile(path), time, "TIME\n");
}

}  // namespace

TEST(StatusServerTest, EachRequestLineGetsItsReplyLineAlsoWhenPipelined) {
    struct Case {
        std::string line;  // with its terminator
        std::string reply;
    };
    const std::string all =
        reply(userTime(shift3, 1002, 102, "2023/11/15 23:13:20", storage("INT", 1, 1, 1) + storage("EXT", -1, 1, 0)) +
              userTime(shift2, 1001, 101, "2023/11/14 23:13:20", storage("INT", 0, 0, 0) + storage("EXT", 0, 0, 0)) +
              userTime(shift1, 1000, 100, "2023/11/14 22:13:20", storage("INT", 0, 0, 0) + storage("OPT", 0, 0, 0)) +
              userTime(beforeEpoch, 0, 0, "1969/12/31 00:00:00", storage("OPT", 0, 0, 0)));
    const std::string newest =
        reply(userTime(shift3, 1002, 102, "2023/11/15 23:13:20", storage("INT", 1, 1, 1) + storage("EXT", -1, 1, 0)) +
              userTime(beforeEpoch, 0, 0, "1969/12/31 00:00:00", storage("OPT", 0, 0, 0)));
    const std::string hugeID(65000, 'x');
    std::string deep;
    for (int level = 0; level < 10000; ++level) deep += "<a>";
    const std::vector<Case> cases = {
        {"<request><action id='history'/></request>\n", all},
        {"<request><action id=\"history\" length=\"-5\"/></request>\r\n", all},
        {"<request><action id='history' length='99999999999'/></request>\n", all},
        // Clamped, not cast: a cast would make these 0 and 1.
        {"<request><action id='history' length='4294967296'/></request>\n", all},
        {"<request><action id='history' length='-4294967295'/></request>\n", all},
        {"<request><action id='history' length='" + std::string(60000, '9') + "'/></request>\n", all},
        {"<request><action id='history' length='1'/></request>\n", newest},
        {"<request><action id='history' length='0'/></request>\n", "<reply/>\n"},
        {"<request><action id='history' length='abc'/></request>\n", "<reply/>\n"},
        {"<request><action id='history' length=''/></request>\n", "<reply/>\n"},
        {"<other/><request><action id='history' length='0'/><action id='x'/></request>\n", "<reply/>\n"},
        {"<request><action id='status'/></request>\n",
         "<reply>    <error type=\"action error\" message=\"Unkown action &apos;status&apos;\"/></reply>\n"},
        {"<request><action id='History'/></request>\n",
         errorReply("action error", "Unkown action &apos;History&apos;")},
        {"<request><action id='&lt;x&gt;'/></request>\n",
         errorReply("action error", "Unkown action &apos;&lt;x&gt;&apos;")},
        {"<request><action id='" + hugeID + "'/></request>\n",
         errorReply("action error", "Unkown action &apos;" + hugeID + "&apos;")},
        {"<status><action id='history'/></status>\n", errorReply("syntax error", requestForm)},
        {"<request/>\n", errorReply("syntax error", requestForm)},
        {"<request><action/></request>\n", errorReply("syntax error", requestForm)},
        {"<request><action\n",
         errorReply("syntax error",
                    "Error=XML_ERROR_PARSING_ELEMENT ErrorID=6 (0x6) Line number=1: XMLElement name=action")},
        {deep + "\n", errorReply("syntax error",
                                 "Error=XML_ELEMENT_DEPTH_EXCEEDED ErrorID=18 (0x12) Line number=1: "
                                 "Element nesting is too deep.")},
        {"\n", errorReply("syntax error", "Empty request")},
        {" \t\r\n", errorReply("syntax error", "Empty request")},
    };
    TempDir directory;
    StatusServer* server = startServer(directory / "vellort.log", ledgersWithHistory());
    ASSERT_NE(nullptr, server);
    StatusClient client(server->localPort());
    ASSERT_TRUE(client.connected()) << client.error();

    std::string packet;
    for (const Case& test : cases) {
        SCOPED_TRACE(test.line.substr(0, 80));
        ASSERT_TRUE(client.send(test.line));
        std::string line;
        ASSERT_TRUE(client.readLine(line)) << client.error();
        EXPECT_EQ(test.reply, line);
        // Kept small, so that the replies fit the socket buffers while the
        // client is still sending.
        if (test.line.size() < 1000) packet += test.line;
    }
    // The short requests at once, several times over: the replies come in order.
    ASSERT_TRUE(client.send(packet + packet + packet));
    for (int round = 0; round < 3; ++round) {
        for (const Case& test : cases) {
            if (test.line.size() >= 1000) continue;
            std::string line;
            ASSERT_TRUE(client.readLine(line)) << client.error();
            ASSERT_EQ(test.reply, line) << "round " << round << ": " << test.line.substr(0, 80);
        }
    }
}

TEST(StatusServerTest, HistoryWithoutEntriesIsAnEmptyReply) {
    TempDir directory;
    for (const std::vector<Storage*>& storages :
         {std::vector<Storage*>(), std::vector<Storage*>{newStorage("INT", Storage::INTERNAL)}}) {
        StatusServer* server = startServer(directory / "vellort.log", storages);
        ASSERT_NE(nullptr, server);
        StatusClient client(server->localPort());
        EXPECT_EQ("<reply/>\n", client.ask("<request><action id='history'/></request>"));
    }
}

TEST(StatusServerTest, LogShowsConnectionsAndFailedRequestsWithThePeer) {
    TempDir directory;
    std::string logPath = directory / "vellort.log";
    StatusServer* server = startServer(logPath, ledgersWithHistory());
    ASSERT_NE(nullptr, server);
    StatusClient client(server->localPort());
    const std::string peer = client.peerName();
    for (const char* request : {"<request><action", "<status/>", " \r", "<request><action id='history'/></request>",
                                "<request><action id='status'/></request>"}) {
        EXPECT_NE(std::string::npos, client.ask(request).find("</reply>\n")) << request;
    }
    client.close();
    ASSERT_TRUE(waitForLogCount(logPath, "++ Connection from " + peer + " closed on ", 1));

    // The acceptor's line ends in the time's own newline and then endl's.
    const std::vector<std::string> lines = {
        "++ Accepted connection from " + peer + " on TIME\n\n",
        "Error: Failed to parse request from " + peer + ":\n<request><action\n\n",
        "Error=XML_ERROR_PARSING_ELEMENT ErrorID=6 (0x6) Line number=1: XMLElement name=action\n\n",
        "Error: Failed to parse request from " + peer + ":\n<status/>\n\n",
        "Request does not follow <request><action id=<string> [optional attributes] /></request>\n",
        "Error: Failed to parse request from " + peer + ":\n \r\n\n\n\n",
        "Error: Unkown action 'status' in request from " + peer + "\n",
        "++ Connection from " + peer + " closed on TIME\n",
    };
    std::string expected;
    for (const std::string& line : lines) expected += line;
    EXPECT_EQ(expected, logWithoutTimes(logPath));
}

TEST(StatusServerTest, MisbehavingClientsGetErrorsOrStallOnlyTheirOwnWorker) {
    TempDir directory;
    std::string logPath = directory / "vellort.log";
    StatusServer* server = startServer(logPath, ledgersWithHistory());
    ASSERT_NE(nullptr, server);
    const std::string request = "<request><action id='history' length='1'/></request>";
    StatusClient reference(server->localPort());
    const std::string expected = reference.ask(request);
    ASSERT_EQ(0u, expected.find("<reply>    <usertime id=\"1700090000\""));

    // Requests without reading a reply: its worker stays blocked in a send.
    StatusClient notReading(server->localPort());
    std::string flood;
    while (flood.size() < (8u << 20)) flood += request + "\n";
    EXPECT_GT(notReading.sendWithoutBlocking(flood), 0u);

    // A line past the limit: one error reply, then the connection ends.
    StatusClient overlong(server->localPort());
    ASSERT_GT(overlong.sendWithoutBlocking(std::string(1 << 20, 'x')), TCPSocket::maxLineLength);
    std::string line;
    ASSERT_TRUE(overlong.readLine(line)) << overlong.error();
    EXPECT_EQ(errorReply("syntax error", "Request longer than 65536 bytes"), line);
    EXPECT_FALSE(overlong.readLine(line));
    EXPECT_EQ("end of stream", overlong.error());
    EXPECT_EQ(1, countInFile(logPath, "Error: Request longer than 65536 bytes from " + overlong.peerName() +
                                          "; closing the connection\n"));

    StatusClient later(server->localPort());
    EXPECT_EQ(expected, later.ask(request));
    EXPECT_EQ(expected, reference.ask(request));

    const std::string stalled = "++ Connection from " + notReading.peerName() + " closed on ";
    notReading.close();
    ASSERT_TRUE(waitForLogCount(logPath, stalled, 1));
}

TEST(StatusServerTest, PortInUseFailsConnectWithLogLine) {
    TempDir directory;
    std::string logPath = directory / "vellort.log";
    TCPSocket holder;
    ASSERT_GE(holder.server("0"), 1);
    int port = holder.localPort();

    StatusServer server(logPath, port, {});
    EXPECT_EQ(-1, server.connect());
    EXPECT_EQ("Error: Starting TCP connection: Failed to bind to port " + std::to_string(port) + "\n",
              readFile(logPath));
}
