#include "run_report.h"

#include <cstdio>
#include <cstring>

namespace {

// `text` after `at`, cut where `out` ends; returns the new end.
std::size_t Put(char* out, std::size_t size, std::size_t at, const char* text) {
    for (; at + 1 < size && *text != '\0'; ++at, ++text) {
        out[at] = *text;
    }
    if (at < size) {
        out[at] = '\0';
    }
    return at;
}

// The device's line on a terminal: bytes a terminal would act on as \xNN,
// as the run's own "version" line writes them.
std::size_t PutShown(char* out, std::size_t size, std::size_t at, const char* text) {
    char piece[8];
    for (const unsigned char* byte = reinterpret_cast<const unsigned char*>(text); *byte != 0;
         ++byte) {
        if (*byte >= 0x20 && *byte < 0x7F && *byte != '\\') {
            piece[0] = static_cast<char>(*byte);
            piece[1] = '\0';
        } else {
            std::snprintf(piece, sizeof piece, "\\x%02X", *byte);
        }
        at = Put(out, size, at, piece);
    }
    return at;
}

// Cut where the next character would pass `columns` cells: a CJK
// character takes two, as terminals draw it.
void CutToWidth(char* row, int columns) {
    int cells = 0;
    for (unsigned char* at = reinterpret_cast<unsigned char*>(row); *at != 0;) {
        const int length = *at < 0x80 ? 1 : *at < 0xE0 ? 2 : *at < 0xF0 ? 3 : 4;
        const int wide = *at >= 0xE0 ? 2 : 1;
        if (cells + wide > columns) {
            *at = 0;
            return;
        }
        cells += wide;
        for (int i = 0; i < length && *at != 0; ++i) {
            ++at;
        }
    }
}

bool Succeeded(const PortRun& run) { return run.status == TerminalStatus::kDone; }

}  // namespace

const char* FailureWords(const PortRun& run) {
    if (run.reported) {
        return run.port->OpeningFailure().english;
    }
    return run.flow->FailureWords();
}

std::size_t PutJsonString(char* out, std::size_t size, std::size_t at, const char* text) {
    char piece[8];
    at = Put(out, size, at, "\"");
    for (const unsigned char* byte = reinterpret_cast<const unsigned char*>(text); *byte != 0;
         ++byte) {
        if (*byte >= 0x20 && *byte < 0x7F && *byte != '"' && *byte != '\\') {
            piece[0] = static_cast<char>(*byte);
            piece[1] = '\0';
        } else if (*byte == '"' || *byte == '\\') {
            piece[0] = '\\';
            piece[1] = static_cast<char>(*byte);
            piece[2] = '\0';
        } else {
            std::snprintf(piece, sizeof piece, "\\u%04X", *byte);
        }
        // A string cut short still closes: room for the quote is kept.
        if (at + std::strlen(piece) + 2 >= size) {
            break;
        }
        at = Put(out, size, at, piece);
    }
    return Put(out, size, at, "\"");
}

void PortOutput::Bind(const char* name, TerminalOutput& shared, ReportShape shape) {
    name_ = name;
    shared_ = &shared;
    shape_ = shape;
}

void PortOutput::Result(const char* line) {
    if (shape_.json) {
        return;  // the object at the end says it all
    }
    if (!shape_.several) {
        shared_->Result(line);
        return;
    }
    used_ = Put(block_, sizeof block_, used_, name_);
    used_ = Put(block_, sizeof block_, used_, ": ");
    used_ = Put(block_, sizeof block_, used_, line);
    used_ = Put(block_, sizeof block_, used_, "\n");
}

void PortOutput::Message(const char* line) {
    if (!shape_.several) {
        shared_->Message(line);
    } else if (shape_.table) {
        std::snprintf(lastWords_, sizeof lastWords_, "%s", line);
    } else {
        char said[1024];
        std::snprintf(said, sizeof said, "%s: %s", name_, line);
        shared_->Message(said);
    }
}

void RunReport::Follow(const PortRun* runs, int count, std::uint64_t now, bool prompted) {
    bool allLetGo = true;
    for (int i = 0; i < count; ++i) {
        allLetGo = allLetGo && runs[i].letGo;
        if (shape_.json && runs[i].letGo && !told_[i]) {
            told_[i] = true;
            WriteJson(runs[i], outputs_[i]);
        }
    }
    if (shape_.several && !shape_.json) {
        for (; nextBlock_ < count && runs[nextBlock_].letGo; ++nextBlock_) {
            WriteBlock(runs[nextBlock_], outputs_[nextBlock_]);
        }
    }
    // Below the prompt, so that nothing else is printed under the table it
    // moves up over.
    if (shape_.several && shape_.table && !finalDrawn_ && (prompted || allLetGo) &&
        (!drawn_ || now >= drawnAt_ + 100 || allLetGo)) {
        drawn_ = true;
        finalDrawn_ = allLetGo;
        drawnAt_ = now;
        DrawTable(runs, count);
    }
}

void RunReport::WriteBlock(const PortRun& run, const PortOutput& output) {
    const char* block = output.Block();
    for (const char* end; *block != '\0'; block = end + 1) {
        end = std::strchr(block, '\n');
        std::snprintf(line_, sizeof line_, "%.*s", static_cast<int>(end - block), block);
        shared_.Result(line_);
    }
    const int at = std::snprintf(line_, sizeof line_, "%s: status %d", output.Name(), run.status);
    if (!Succeeded(run) && *FailureWords(run) != '\0' && at > 0) {
        std::snprintf(line_ + at, sizeof line_ - static_cast<std::size_t>(at), " %s",
                      FailureWords(run));
    }
    shared_.Result(line_);
}

void RunReport::WriteJson(const PortRun& run, const PortOutput& output) {
    const std::size_t size = sizeof line_;
    std::size_t at = Put(line_, size, 0, "{\"port\":");
    at = PutJsonString(line_, size, at, output.Name());
    at = Put(line_, size, at, ",\"version\":");
    at = run.flow->Version() != nullptr ? PutJsonString(line_, size, at, run.flow->Version())
                                       : Put(line_, size, at, "null");
    at = Put(line_, size, at, ",\"rate\":");
    const int rate = run.flow->RateRead();
    at = rate >= 0 ? PutJsonString(line_, size, at, kRateTable[rate]) : Put(line_, size, at, "null");
    at = Put(line_, size, at, ",\"requested\":");
    at = run.flow->RateAskedFor() != nullptr ? PutJsonString(line_, size, at, run.flow->RateAskedFor())
                                            : Put(line_, size, at, "null");
    const int set = run.flow->SetOutcome();
    at = Put(line_, size, at, set < 0 ? ",\"set\":null" : set > 0 ? ",\"set\":true" : ",\"set\":false");
    char status[32];
    std::snprintf(status, sizeof status, ",\"status\":%d,\"error\":", run.status);
    at = Put(line_, size, at, status);
    at = !Succeeded(run) && *FailureWords(run) != '\0' ? PutJsonString(line_, size, at, FailureWords(run))
                                                       : Put(line_, size, at, "null");
    Put(line_, size, at, "}");
    shared_.Result(line_);
}

// A row a port: its name, then where its run is. Rows are cut to a width
// no terminal wraps, so that moving up as many rows as were drawn lands
// on the first.
void RunReport::DrawTable(const PortRun* runs, int count) {
    const std::size_t size = sizeof table_;
    std::size_t at = 0;
    if (rowsDrawn_ > 0) {
        char up[16];
        std::snprintf(up, sizeof up, "\x1b[%dF", rowsDrawn_);
        at = Put(table_, size, at, up);
    }
    std::size_t widest = 0;
    for (int i = 0; i < count; ++i) {
        const std::size_t length = std::strlen(outputs_[i].Name());
        widest = length > widest ? length : widest;
    }
    widest = widest > 40 ? 40 : widest;
    for (int i = 0; i < count; ++i) {
        const PortRun& run = runs[i];
        char row[512];
        std::size_t r = static_cast<std::size_t>(
            std::snprintf(row, sizeof row, "%-*.*s", static_cast<int>(widest),
                          static_cast<int>(widest), outputs_[i].Name()));
        // Each part after two spaces, the port's name first.
        const auto part = [&row, &r](const char* text) {
            r = Put(row, sizeof row, r, "  ");
            r = Put(row, sizeof row, r, text);
        };
        char piece[4 * RxLine::kCapacity + 32];
        if (run.letGo) {
            std::snprintf(piece, sizeof piece,
                          Succeeded(run) ? "完成 / done" : "失败 / failed (%d)", run.status);
            part(piece);
        } else if (!run.started && !run.reported) {
            part("打开中 / opening");
        } else if (run.flow->Version() == nullptr) {
            part("等待设备 / waiting");
        }
        if (run.flow->Version() != nullptr) {
            PutShown(piece, sizeof piece, Put(piece, sizeof piece, 0, "version "),
                     run.flow->Version());
            part(piece);
        }
        if (run.flow->RateRead() != TerminalFlow::kRateNotRead) {
            std::snprintf(piece, sizeof piece, "rate %s",
                          run.flow->RateRead() >= 0 ? kRateTable[run.flow->RateRead()] : "unknown");
            part(piece);
        }
        if (run.flow->SetOutcome() >= 0) {
            std::snprintf(piece, sizeof piece, "set %s %s", run.flow->RateAskedFor(),
                          run.flow->SetOutcome() > 0 ? "ok" : "failed");
            part(piece);
        }
        if (run.letGo && !Succeeded(run)) {
            part(outputs_[i].LastWords());
        }
        CutToWidth(row, 79);
        at = Put(table_, size, at, "\x1b[2K");
        at = Put(table_, size, at, row);
        at = Put(table_, size, at, "\n");
    }
    rowsDrawn_ = count;
    // Only what changed is drawn again: a table at rest costs the terminal nothing.
    std::uint32_t hash = 2166136261u;
    for (const char* c = table_; *c != '\0'; ++c) {
        hash = (hash ^ static_cast<unsigned char>(*c)) * 16777619u;
    }
    if (hash != drawnHash_) {
        drawnHash_ = hash;
        shared_.Draw(table_);
    }
}
