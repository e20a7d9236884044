#include <string>

#include <gtest/gtest.h>

#include "metrics/Exposition.h"
#include "net/MessageServer.h"

// Every code the message service knows has its series from the start, so a monitoring rule on it sees 0 before the
// first message; code 0 (unknown codes) appears only once one was sent.
TEST(ExpositionTest, KnownMessageCodesHaveASeriesWhileNoneWasSent) {
    const std::string text = METRICS::exposition(METRICS::Sources());
    for (int code = 1; code <= MessageServer::STORAGE_BACK; ++code)
        EXPECT_NE(std::string::npos,
                  text.find("vellort_messages_sent_total{code=\"" + std::to_string(code) + "\"} 0\n"))
            << code;
    EXPECT_EQ(std::string::npos, text.find("vellort_messages_sent_total{code=\"0\"}"));
    EXPECT_EQ(std::string::npos,
              text.find("vellort_messages_sent_total{code=\"" + std::to_string(MessageServer::STORAGE_BACK + 1)));
}
