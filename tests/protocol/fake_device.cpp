#include "fake_device.h"

#include <utility>

Dialogue::Dialogue() : engine(accumulator, writer, view, trace) {
    trace.Connect(&sink);
    engine.Reset();
    engine.OnPortOpened();
}

void Dialogue::Tick(int count) {
    for (int i = 0; i < count; ++i) {
        engine.OnTick();
    }
}

std::vector<std::string> Dialogue::Sent() { return std::exchange(writer.writes, {}); }

std::vector<std::string> Dialogue::Shown() { return std::exchange(view.calls, {}); }

void Dialogue::Reopen() {
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
