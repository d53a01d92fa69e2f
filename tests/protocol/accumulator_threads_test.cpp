// The reader thread appends while the UI thread takes lines. Run under
// ThreadSanitizer too: a race shows there even when no line happens to tear.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "rx_accumulator.h"

TEST(RxAccumulatorThreads, TakenLinesAreNeverTorn) {
    RxAccumulator acc;
    std::atomic<bool> stop{false};

    // Each append is a whole line whose body repeats one letter, so a line
    // mixed from two appends or changed during the copy shows at once. All
    // lines are 32 bytes, which divides the capacity: a full accumulator
    // still ends on a line end, so every take is a line however the threads
    // are scheduled, and the test takes as long on a busy machine as on an
    // idle one.
    std::thread reader([&] {
        char reply[64];
        unsigned round = 0;
        while (!stop.load()) {
            char letter = static_cast<char>('a' + round % 26);
            std::size_t body = 30;
            std::memset(reply, letter, body);
            reply[body] = '\r';
            reply[body + 1] = '\n';
            acc.Append(reply, body + 2);
            ++round;
            // On a machine with a core or less to spare, let the taker in:
            // otherwise each thread runs a whole time slice alone, and the
            // test measures the scheduler instead of the lock.
            std::this_thread::yield();
        }
    });

    RxLine line = {};
    int taken = 0;
    int torn = 0;
    // Bounded by takes rather than time, so that a slow thread start cannot
    // make the test pass vacuously; the deadline only keeps it from hanging.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (taken < 5000 && std::chrono::steady_clock::now() < deadline) {
        if (!acc.TakeLine(line)) {
            std::this_thread::yield();
            continue;
        }
        ++taken;
        // A valid take holds one or more whole appended lines; check that every
        // line in it is uniform and properly ended.
        std::size_t start = 0;
        while (start < line.length) {
            const char* end = std::strstr(line.text + start, "\r\n");
            if (end == nullptr || end == line.text + start) {
                ++torn;
                break;
            }
            std::size_t stop_at = static_cast<std::size_t>(end - line.text);
            for (std::size_t i = start; i < stop_at; ++i) {
                if (line.text[i] != line.text[start]) {
                    ++torn;
                    break;
                }
            }
            start = stop_at + 2;
        }
    }
    stop = true;
    reader.join();

    EXPECT_EQ(taken, 5000);
    EXPECT_EQ(torn, 0);
}
