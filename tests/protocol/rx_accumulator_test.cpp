#include <gtest/gtest.h>

#include <string>

#include "rx_accumulator.h"

namespace {

// Appends `bytes` and takes at once, as one poll would.
struct Taken {
    bool valid;
    std::string text;  // what a C-string consumer sees
    std::size_t length;
};

Taken Take(RxAccumulator& acc) {
    RxLine line = {};
    bool valid = acc.TakeLine(line);
    return {valid, valid ? std::string(line.text) : std::string(), valid ? line.length : 0};
}

void Append(RxAccumulator& acc, const std::string& bytes) { acc.Append(bytes.data(), bytes.size()); }

}  // namespace

TEST(RxAccumulator, EmptyHasNoLine) {
    RxAccumulator acc;
    EXPECT_FALSE(Take(acc).valid);
}

TEST(RxAccumulator, WholeLineIsTakenOnceWithItsLineEnd) {
    RxAccumulator acc;
    Append(acc, "OK\r\n");
    Taken t = Take(acc);
    EXPECT_TRUE(t.valid);
    EXPECT_EQ(t.text, "OK\r\n");
    EXPECT_EQ(t.length, 4u);
    EXPECT_FALSE(Take(acc).valid) << "taking empties the accumulator";
}

TEST(RxAccumulator, BareLineEndIsAnEmptyLine) {
    RxAccumulator acc;
    Append(acc, "\r\n");
    Taken t = Take(acc);
    EXPECT_TRUE(t.valid);
    EXPECT_EQ(t.text, "\r\n");
}

TEST(RxAccumulator, UnfinishedLineIsDroppedAtThePoll) {
    for (const char* partial : {"OK", "OK\r", "\n", "OK\n\r"}) {
        SCOPED_TRACE(partial);
        RxAccumulator acc;
        Append(acc, partial);
        EXPECT_FALSE(Take(acc).valid);
        Append(acc, "\r\n");
        EXPECT_EQ(Take(acc).text, "\r\n") << "nothing of the dropped bytes remains";
    }
}

TEST(RxAccumulator, ReplySplitAcrossAppendsBeforeOnePollIsOneLine) {
    RxAccumulator acc;
    Append(acc, "1152");
    Append(acc, "00\r\n");
    EXPECT_EQ(Take(acc).text, "115200\r\n");
}

TEST(RxAccumulator, ReplySplitByAPollLosesItsHead) {
    RxAccumulator acc;
    Append(acc, "1152");
    EXPECT_FALSE(Take(acc).valid);
    Append(acc, "00\r\n");
    EXPECT_EQ(Take(acc).text, "00\r\n");
}

TEST(RxAccumulator, TwoLinesBeforeOnePollAreOneLine) {
    RxAccumulator acc;
    Append(acc, "A\r\nB\r\n");
    EXPECT_EQ(Take(acc).text, "A\r\nB\r\n");
}

TEST(RxAccumulator, AnyByteAbove7EInvalidatesEverything) {
    for (int bad : {0x7F, 0x80, 0xC3, 0xFF}) {
        SCOPED_TRACE(bad);
        RxAccumulator acc;
        std::string bytes = "O";
        bytes += static_cast<char>(bad);
        bytes += "K\r\n";
        Append(acc, bytes);
        EXPECT_FALSE(Take(acc).valid);
        EXPECT_FALSE(Take(acc).valid);
    }
}

TEST(RxAccumulator, ControlBytesBelow7FAreAccepted) {
    RxAccumulator acc;
    Append(acc, "\x01\x1b[0m~\r\n");
    EXPECT_TRUE(Take(acc).valid);
}

TEST(RxAccumulator, KeepsOnlyTheFirst512Bytes) {
    RxAccumulator acc;
    std::string burst(510, 'x');
    burst += "\r\n";                 // bytes 510 and 511 end a line ...
    burst += std::string(88, 'y');   // ... and the rest of the 600 is dropped
    Append(acc, burst.substr(0, 300));
    EXPECT_EQ(acc.Pending(), 300u);
    Append(acc, burst.substr(300));
    EXPECT_EQ(acc.Pending(), 512u) << "what waits is what was kept";
    Taken t = Take(acc);
    EXPECT_TRUE(t.valid);
    EXPECT_EQ(t.length, 512u);
    EXPECT_EQ(t.text, burst.substr(0, 512));
    EXPECT_EQ(acc.Pending(), 0u);
}

TEST(RxAccumulator, OverflowingBurstWithLineEndBeyond512IsNoLine) {
    RxAccumulator acc;
    std::string burst(598, 'x');
    burst += "\r\n";
    for (std::size_t i = 0; i < burst.size(); i += 100) {
        Append(acc, burst.substr(i, 100));  // the cut happens across appends too
    }
    EXPECT_FALSE(Take(acc).valid);
    Append(acc, "OK\r\n");
    EXPECT_EQ(Take(acc).text, "OK\r\n") << "the next poll starts empty";
}

TEST(RxAccumulator, NulInsideALineEndsWhatConsumersSee) {
    RxAccumulator acc;
    Append(acc, std::string("AB\0C\r\n", 6));
    RxLine line = {};
    ASSERT_TRUE(acc.TakeLine(line));
    EXPECT_EQ(line.length, 6u);
    EXPECT_STREQ(line.text, "AB");
}
