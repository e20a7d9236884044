#include <string>

#include <gtest/gtest.h>

#include "net/MessageServer.h"
#include "status_page/StatusPage.h"

// The page shows the last keptMessages messages, newest first: the oldest one goes when the ring is full.
TEST(StatusJsonTest, KeepsTheNewestMessagesNewestFirst) {
    for (int i = 0; i <= STATUS_PAGE::keptMessages; ++i)
        STATUS_PAGE::rememberMessage(MessageServer::JOURNAL_ERROR, "subject " + std::to_string(i), "text");
    const std::string json = STATUS_PAGE::statusJson(METRICS::Sources());
    const std::string newest = "\"subject " + std::to_string(STATUS_PAGE::keptMessages) + "\"";
    const std::string next = "\"subject " + std::to_string(STATUS_PAGE::keptMessages - 1) + "\"";
    ASSERT_NE(std::string::npos, json.find(newest));
    EXPECT_LT(json.find(newest), json.find(next));
    EXPECT_NE(std::string::npos, json.find("\"subject 1\""));
    EXPECT_EQ(std::string::npos, json.find("\"subject 0\""));
}
