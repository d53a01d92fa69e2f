#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "terminal_loop.h"

// What a run of several ports, or of one with --json, shows. With one port
// and no --json nothing here is used: the run says what it always said.

// How the words of a run reach standard output and standard error.
struct ReportShape {
    bool several = false;  // each result after its port's name, each port's block whole
    bool json = false;     // standard output: JSON Lines, an object a port
    bool table = false;    // standard error is a terminal: a table redrawn in place
};

// One port's words. Results wait for the port's block; messages go at once
// after the port's name, or, under a table, become its row's last words.
class PortOutput final : public TerminalOutput {
public:
    void Bind(const char* name, TerminalOutput& shared, ReportShape shape);
    void Result(const char* line) override;
    void Message(const char* line) override;

    const char* Name() const { return name_; }
    const char* Block() const { return block_; }
    const char* LastWords() const { return lastWords_; }

private:
    const char* name_ = "";
    TerminalOutput* shared_ = nullptr;
    ReportShape shape_;
    // "version " and the longest line written as \xNN, the rate and the set.
    char block_[4 * RxLine::kCapacity + 1024] = {};
    std::size_t used_ = 0;
    char lastWords_[512] = {};
};

// Told of every run on each pass: writes each port's block in the order the
// ports were typed, as soon as it and every port before it are let go; a
// JSON object for each port as it is let go; and the table, at most ten
// times a second and once at the end.
class RunReport final : public RunWatcher {
public:
    RunReport(const PortOutput* outputs, TerminalOutput& shared, ReportShape shape)
        : outputs_(outputs), shared_(shared), shape_(shape) {}
    void Follow(const PortRun* runs, int count, std::uint64_t now, bool prompted) override;

private:
    void WriteBlock(const PortRun& run, const PortOutput& output);
    void WriteJson(const PortRun& run, const PortOutput& output);
    void DrawTable(const PortRun* runs, int count);

    const PortOutput* outputs_;
    TerminalOutput& shared_;
    ReportShape shape_;
    int nextBlock_ = 0;
    bool told_[TerminalRequest::kMostPorts] = {};
    bool drawn_ = false;
    bool finalDrawn_ = false;
    std::uint64_t drawnAt_ = 0;
    int rowsDrawn_ = 0;
    std::uint32_t drawnHash_ = 0;
    // Every field of a JSON object, each byte written as \u00XX at worst.
    char line_[6 * (RxLine::kCapacity + 512 + 320) + 256] = {};
    char table_[TerminalRequest::kMostPorts * 256 + 64] = {};
};

// The run's English failure words, "" where it succeeded.
const char* FailureWords(const PortRun& run);

// `text` as a JSON string, quotes included, into `out` at `at`: every byte
// outside printable ASCII as \u00XX, one code point a byte, so a reader
// gets the bytes back exactly whatever the device sent. Returns the new end.
std::size_t PutJsonString(char* out, std::size_t size, std::size_t at, const char* text);

// Every port a request names, in the one loop. Each platform's `Slot` opens
// its port from (request, the port asked, its output) and holds `port`,
// `name` and `flow`; `slots` has room for every port, wherever the
// platform keeps them (the Windows console keeps no heap).
template <typename Slot>
int ServeRequest(const TerminalRequest& request, std::optional<Slot>* slots, bool errorIsTerminal,
                 LoopPlatform& loop, TerminalOutput& output) {
    ReportShape shape;
    shape.several = request.portCount > 1;
    shape.json = request.json;
    shape.table = shape.several && errorIsTerminal;
    PortOutput outputs[TerminalRequest::kMostPorts];
    PortRun runs[TerminalRequest::kMostPorts];
    for (int i = 0; i < request.portCount; ++i) {
        outputs[i].Bind(request.ports[i].port, output, shape);
        Slot& slot = slots[i].emplace(request, request.ports[i], outputs[i]);
        runs[i] = PortRun(*slot.port, *slot.flow, slot.name, outputs[i]);
    }
    RunReport report(outputs, output, shape);
    return ServeRuns(runs, request.portCount, loop, output, &report);
}
