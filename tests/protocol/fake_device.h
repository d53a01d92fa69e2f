#pragma once

#include <string>
#include <vector>

#include "protocol_engine.h"

// Records every command the engine writes, as the device would receive it.
class RecordingWriter : public PortWriter {
public:
    void Write(const char* bytes, std::size_t length) override {
        writes.emplace_back(bytes, length);
    }
    std::vector<std::string> writes;
};

// Records every panel-view call in order, as "status:已连接", "enable:1",
// "select:6" and so on, so that tests can compare whole sequences.
class RecordingView : public PanelView {
public:
    void SetStatusText(const char* text) override { calls.push_back("status:" + std::string(text)); }
    void SetVersionText(const char* text) override { calls.push_back("version:" + std::string(text)); }
    void SetResultText(const char* text) override { calls.push_back("result:" + std::string(text)); }
    void EnableSetButton(bool enabled) override { calls.push_back(enabled ? "enable:1" : "enable:0"); }
    void SelectRate(int index) override { calls.push_back("select:" + std::to_string(index)); }
    std::vector<std::string> calls;
};

class RecordingSink : public TraceSink {
public:
    void Send(const char* bytes, std::size_t length) override { sent.emplace_back(bytes, length); }
    std::vector<std::string> sent;
};

// One engine wired to a scripted device: the test plays the device by
// appending its answers, and advances time only by ticks. Every step is also
// written down in the dialogue fuzzer's script format; with the environment
// variable BAUDSET_FUZZ_SEEDS=DIR each dialogue leaves its script in DIR as a
// seed, named after its test.
struct Dialogue {
    Dialogue();
    ~Dialogue();

    void DeviceAnswers(const std::string& bytes);
    void Tick(int count = 1);
    // The operator presses set with `rateText` selected.
    void RequestSet(const char* rateText);
    // Ticks up to and including the next poll (the engine polls every 30th).
    void UntilPoll() { Tick(static_cast<int>(ProtocolEngine::kPollDivider)); }

    // What was written / shown since the last call, then forgotten.
    std::vector<std::string> Sent();
    std::vector<std::string> Shown();

    // Closes the port and opens it again, as the panel and the serial port
    // do: the engine is reset, and the new session starts with an empty
    // accumulator.
    void Reopen();

    // Opens the port and takes the device through version and rate query,
    // so that a test can start from Ready.
    void ReachReady(const std::string& version = "V2.1\r\n", const std::string& rate = "9600\r\n");

    std::string script;
    RxAccumulator accumulator;
    RecordingWriter writer;
    RecordingView view;
    RecordingSink sink;
    TraceChannel trace;
    ProtocolEngine engine;
};
