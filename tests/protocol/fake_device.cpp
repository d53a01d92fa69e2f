#include "fake_device.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <utility>

namespace {
// Events of the dialogue fuzzer's script (tests/fuzz/dialogue_fuzz.cpp).
enum : char { kDevice = 0, kTick = 1, kTicks = 2, kSet = 4, kClose = 5, kOpen = 6 };
constexpr int kMostTicksAtOnce = 300;
}  // namespace

Dialogue::Dialogue() : engine(accumulator, writer, view, trace) {
    trace.Connect(&sink);
    engine.Reset();
    engine.OnPortOpened();
}

Dialogue::~Dialogue() {
    const char* folder = std::getenv("BAUDSET_FUZZ_SEEDS");
    if (folder == nullptr) {
        return;
    }
    // A table-driven test holds several dialogues: number them.
    static std::string lastTest;
    static int number = 0;
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->test_suite_name()) + "_" + test->name();
    number = name == lastTest ? number + 1 : 0;
    lastTest = name;
    std::ofstream(std::string(folder) + "/" + name + "_" + std::to_string(number),
                  std::ios::binary) << script;
}

void Dialogue::DeviceAnswers(const std::string& bytes) {
    for (std::size_t at = 0; at < bytes.size() || at == 0; at += 255) {
        std::string piece = bytes.substr(at, 255);
        script += {kDevice, static_cast<char>(piece.size())};
        script += piece;
    }
    accumulator.Append(bytes.data(), bytes.size());
}

void Dialogue::Tick(int count) {
    for (int left = count; left > 0; left -= kMostTicksAtOnce) {
        int run = left < kMostTicksAtOnce ? left : kMostTicksAtOnce;
        script += run == 1 ? std::string(1, kTick)
                           : std::string({kTicks, static_cast<char>((run - 1) % 256),
                                          static_cast<char>((run - 1) / 256)});
    }
    for (int i = 0; i < count; ++i) {
        engine.OnTick();
    }
}

void Dialogue::RequestSet(const char* rateText) {
    std::string text = std::string(rateText).substr(0, 254);  // 255 stands for a null text
    script += {kSet, static_cast<char>(text.size())};
    script += text;
    engine.RequestSetBaud(rateText);
}

std::vector<std::string> Dialogue::Sent() { return std::exchange(writer.writes, {}); }

std::vector<std::string> Dialogue::Shown() { return std::exchange(view.calls, {}); }

void Dialogue::Reopen() {
    script += {kClose, kOpen};
    engine.Reset();
    accumulator.Clear();
    engine.OnPortOpened();
}

void Dialogue::ReachReady(const std::string& version, const std::string& rate) {
    DeviceAnswers(version);
    UntilPoll();
    DeviceAnswers(rate);
    UntilPoll();
    Sent();
    Shown();
    sink.sent.clear();
}
