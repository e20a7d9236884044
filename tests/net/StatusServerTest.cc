#include <stdlib.h>

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

// Shift times, in UTC: 2023/11/14 22:13:20 and 23:13:20, 2023/11/15 23:13:20, 1969/12/31 00:00:00.
const int64_t shift1 = 1700000000, shift2 = 1700003600, shift3 = 1700090000, beforeEpoch = -86400;

// INT: shift1, shift2, shift3 with one file pending, one copied, one failed. OPT: shift1, then a shift only it has.
// EXT: shift2 (another uid and gid), shift3 with a credit never announced, verified once and failed once.
// As in the daemon, storages and connected servers live until the process ends.
std::vector<Storage*> ledgersWithHistory() {
    setenv("TZ", "UTC", 1);
    tzset();
    auto newStorage = [](const std::string& id, StorageType type, bool verify = false) {
        Storage::Params params;
        params.storageID = id;
        params.type = type;
        params.history_max_entries = 10;
        params.verify_copies = verify;
        return new Storage(params);
    };
    Storage* internal = newStorage("INT", Storage::INTERNAL);
    internal->setTavroTime(shift1, 1000, 100);
    internal->setTavroTime(shift2, 1001, 101);
    internal->setTavroTime(shift3, 1002, 102);
    for (const char* path : {"/r/./a", "/r/./b", "/r/./c"}) internal->insertToBuffer(FileInfo(path, shift3));
    internal->debitCredit().insertToCredits(FileInfo("/r/./a", shift3));
    internal->debitCredit().insertToFailedCopies(FileInfo("/r/./b", shift3));
    Storage* external = newStorage("EXT", Storage::EXTERNAL, true);
    external->setTavroTime(shift2, 2001, 201);
    external->setTavroTime(shift3, 1002, 102);
    external->debitCredit().insertToCredits(FileInfo("/r/./z", shift3));
    for (bool verified : {true, false}) external->debitCredit().bookVerification(FileInfo("/r/./z", shift3), verified);
    Storage* optional = newStorage("OPT", Storage::OPTIONAL);
    optional->setTavroTime(shift1, 1000, 100);
    optional->setTavroTime(beforeEpoch, 0, 0);
    return {internal, external, optional};
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

std::string storage(const std::string& id, int pending, int copied, int failed, const std::string& verified = "") {
    return "        <storage id=\"" + id + "\" pending=\"" + std::to_string(pending) + "\" copied=\"" +
           std::to_string(copied) + "\" failed=\"" + std::to_string(failed) + "\"" + verified + "/>";
}

const std::string requestForm =
    "Request does not follow &lt;request&gt;&lt;action id=&lt;string&gt; [optional attributes] /&gt;&lt;/request&gt;";

}  // namespace

// A client that sends a line past the limit stalls only its own worker; the others go on being answered.
TEST(StatusServerTest, EachRequestLineGetsItsReplyLineAlsoWhenPipelinedAndMisbehavingClientsStallOnlyThemselves) {
    const std::string newest =
        userTime(shift3, 1002, 102, "2023/11/15 23:13:20",
                 storage("INT", 1, 1, 1) + storage("EXT", -1, 1, 0, " verified=\"1\" verifyFailed=\"1\""));
    const std::string oldest = userTime(beforeEpoch, 0, 0, "1969/12/31 00:00:00", storage("OPT", 0, 0, 0));
    const std::string all = reply(
        newest +
        userTime(shift2, 1001, 101, "2023/11/14 23:13:20",
                 storage("INT", 0, 0, 0) + storage("EXT", 0, 0, 0, " verified=\"0\" verifyFailed=\"0\"")) +
        userTime(shift1, 1000, 100, "2023/11/14 22:13:20", storage("INT", 0, 0, 0) + storage("OPT", 0, 0, 0)) + oldest);
    const std::pair<std::string, std::string> cases[] = {
        {"<request><action id='history'/></request>\n", all},
        {"<request><action id=\"history\" length=\"-5\"/></request>\r\n", all},
        // Clamped, not cast: a cast would make it 0.
        {"<request><action id='history' length='4294967296'/></request>\n", all},
        // The longest line taken: 65535 bytes and the newline.
        {std::string(65535 - 52, ' ') + "<request><action id='history' length='1'/></request>\n",
         reply(newest + oldest)},
        {"<request><action id='history' length='0'/></request>\n", "<reply/>\n"},
        {"<request><action id='history' length='abc'/></request>\n", "<reply/>\n"},
        {"<request><action id='status'/></request>\n", errorReply("action error", "Unkown action &apos;status&apos;")},
        {"<request><action id='&lt;x&gt;'/></request>\n",
         errorReply("action error", "Unkown action &apos;&lt;x&gt;&apos;")},
        {"<status><action id='history'/></status>\n", errorReply("syntax error", requestForm)},
        {"<request><action\n",
         errorReply("syntax error",
                    "Error=XML_ERROR_PARSING_ELEMENT ErrorID=6 (0x6) Line number=1: XMLElement name=action")},
        {"\n", errorReply("syntax error", "Empty request")},
    };
    TempDir directory;
    const std::string logPath = directory / "vellort.log";
    StatusServer* server = new StatusServer(logPath, 0, ledgersWithHistory());
    ASSERT_EQ(0, server->connect());
    {  // The log names the peer of each connection and failed request; the replies are checked below.
        StatusClient first(server->localPort());
        const std::string peer = first.peerName();
        for (const char* request : {"<request><action", "<status/>", " \r", "<request><action id='status'/></request>"})
            first.ask(request);
        first.close();
        ASSERT_TRUE(waitForLogCount(logPath, "++ Connection from " + peer + " closed on ", 1));
        // The acceptor's line ends in the time's own newline and then endl's.
        const std::string parseError = "Error: Failed to parse request from " + peer + ":\n";
        EXPECT_EQ(
            "++ Accepted connection from " + peer + " on TIME\n\n" + parseError +
                "<request><action\n\n"
                "Error=XML_ERROR_PARSING_ELEMENT ErrorID=6 (0x6) Line number=1: XMLElement name=action\n\n" +
                parseError +
                "<status/>\n\n"
                "Request does not follow <request><action id=<string> [optional attributes] /></request>\n" +
                parseError + " \r\n\n\n\n" + "Error: Unkown action 'status' in request from " + peer +
                "\n++ Connection from " + peer + " closed on TIME\n",
            std::regex_replace(readFile(logPath),
                               std::regex(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}\n)"), "TIME\n"));
    }
    StatusClient client(server->localPort());
    std::string packet, line;
    for (const auto& test : cases) packet += test.first;
    ASSERT_TRUE(client.send(packet));  // all at once: the replies come in order
    for (const auto& test : cases) {
        ASSERT_TRUE(client.readLine(line)) << client.error();
        EXPECT_EQ(test.second, line) << test.first;
    }
    const std::string request = "<request><action id='history' length='1'/></request>";
    // A line past the limit: one error reply, then the connection ends.
    StatusClient overlong(server->localPort());
    ASSERT_GT(overlong.sendWithoutBlocking(std::string(1 << 20, 'x')), TCPSocket::maxLineLength);
    ASSERT_TRUE(overlong.readLine(line)) << overlong.error();
    EXPECT_EQ(errorReply("syntax error", "Request longer than 65536 bytes"), line);
    EXPECT_TRUE(!overlong.readLine(line) && overlong.error() == "end of stream") << overlong.error();
    EXPECT_EQ(1, countInFile(logPath, "Error: Request longer than 65536 bytes from " + overlong.peerName() +
                                          "; closing the connection\n"));
    EXPECT_EQ(reply(newest + oldest), StatusClient(server->localPort()).ask(request));
    EXPECT_EQ(reply(newest + oldest), client.ask(request));
}
