#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST(RxAccumulator, WhatArrivedBeforeOnePollUpToItsLastLineEndIsJudgedAsOnePiece) {
    struct Case {
        std::vector<std::string> appends;  // "|": a poll, whose verdict is not checked
        bool valid;
        std::string seen;    // by a C-string consumer
        std::size_t length;  // CR LF included
    } cases[] = {
        {{}, false, "", 0},
        {{"OK\r\n"}, true, "OK\r\n", 4},
        {{"\r\n"}, true, "\r\n", 2},                        // an empty line
        {{"1152", "00\r\n"}, true, "115200\r\n", 8},        // split across appends
        {{"A\r\nB\r\n"}, true, "A\r\nB\r\n", 6},              // no line splitting
        {{"\x01\x1b[0m~\r\n"}, true, "\x01\x1b[0m~\r\n", 8},  // control bytes are fine
        {{std::string("AB\0C\r\n", 6)}, true, "AB", 6},      // a NUL ends what is seen
        // Any byte above 0x7E spoils the whole piece.
        {{"O\x7fK\r\n"}, false, "", 0},
        {{"O\x80K\r\n"}, false, "", 0},
        {{"O\xc3K\r\n"}, false, "", 0},
        {{"\xffOK\r\n"}, false, "", 0},
        // What follows the last CR LF waits one poll, and no longer.
        {{"OK\r\n\xff", "|", "\r\n"}, false, "", 0},            // spoils only its own line
        {{"HC-XX V2.1 2019", "|", "0501 BOOT\r\n"}, true, "HC-XX V2.1 20190501 BOOT\r\n", 26},
        {{"O", "|", "K\r\n"}, true, "OK\r\n", 4},
        {{"OK", "|", "\r\n"}, true, "OK\r\n", 4},
        {{"A\r\nB", "|", "C\r\n"}, true, "BC\r\n", 4},
        {{"OK", "|", "|", "\r\n"}, true, "\r\n", 2},              // a tail that never completes
        {{"xx", "|", "yy", "|", "|", "OK\r\n"}, true, "OK\r\n", 4},  // noise holds nothing back
        {{std::string(600, 'x'), "|", "OK\r\n"}, true, "OK\r\n", 4},  // nor does a full store
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.appends));
        RxAccumulator acc;
        for (const std::string& bytes : c.appends) {
            if (bytes == "|") {
                Take(acc);
            } else {
                Append(acc, bytes);
            }
        }
        Taken t = Take(acc);
        EXPECT_EQ(t.valid, c.valid);
        EXPECT_EQ(t.text, c.seen);
        EXPECT_EQ(t.length, c.length);
        EXPECT_FALSE(Take(acc).valid) << "nothing is judged twice";
    }
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

