#include <gtest/gtest.h>

#include <string>

#include "fake_device.h"
#include "trace_channel.h"

TEST(TraceChannel, LongestReplyLineIsFormattedWholeButSentCutAt128) {
    TraceChannel trace;
    RecordingSink sink;
    trace.Connect(&sink);
    std::string line(510, 'r');
    line += "\r\n";
    trace.Trace("\r\ncomRcv %s, state %d", line.c_str(), 3);

    std::string expected = "\r\ncomRcv " + line + ", state 3";
    EXPECT_EQ(expected.size(), 530u);
    EXPECT_EQ(std::string(trace.LastText()), expected);
    ASSERT_EQ(sink.sent.size(), 1u);
    EXPECT_EQ(sink.sent[0], expected.substr(0, 128));
}

TEST(TraceChannel, ShortLineIsSentWhole) {
    TraceChannel trace;
    RecordingSink sink;
    trace.Connect(&sink);
    trace.Trace("\r\n%s", "AT+BAUD=9600\r\n");
    EXPECT_EQ(sink.sent, std::vector<std::string>({"\r\nAT+BAUD=9600\r\n"}));
    EXPECT_EQ(trace.LastSentLength(), 16u);
}

TEST(TraceChannel, WithoutSinkOnlyTheBufferChanges) {
    TraceChannel trace;
    trace.Trace("\r\ncomRcv %s, state %d", "OK\r\n", 1);
    EXPECT_STREQ(trace.LastText(), "\r\ncomRcv OK\r\n, state 1");
}

TEST(TraceChannel, OutputLongerThanTheBufferIsCutNotOverflowed) {
    TraceChannel trace;
    RecordingSink sink;
    trace.Connect(&sink);
    std::string huge(5000, 'h');
    trace.Trace("%s", huge.c_str());
    EXPECT_EQ(std::string(trace.LastText()), huge.substr(0, TraceChannel::kBufferSize - 1));
    EXPECT_EQ(sink.sent[0].size(), TraceChannel::kMaxSent);
}
