// What the terminal program's command line means, before any port is
// touched: one table, each row the words typed and what they ask for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "terminal_flow.h"

namespace {

using Action = TerminalRequest::Action;

TEST(ReadTerminalArguments, WordsToRequests) {
    const struct {
        std::vector<const char*> words;
        Action action;
        const char* port;
        int rateIndex;
        std::uint32_t waitTicks;
        const char* said;  // a piece of the text, "" for none
    } cases[] = {
        {{"ttyUSB0"}, Action::Run, "ttyUSB0", -1, 6000, ""},
        {{"/dev/ttyAMA0", "115200"}, Action::Run, "/dev/ttyAMA0", 6, 6000, ""},
        {{"-w", "2", "ttyUSB0", "9600"}, Action::Run, "ttyUSB0", 0, 200, ""},
        {{"ttyUSB0", "--wait=0.25"}, Action::Run, "ttyUSB0", -1, 25, ""},
        {{"--wait", "1.5", "ttyUSB0"}, Action::Run, "ttyUSB0", -1, 150, ""},
        {{"--wait", "86400", "ttyUSB0"}, Action::Run, "ttyUSB0", -1, 8640000, ""},
        {{"--", "-odd-name"}, Action::Run, "-odd-name", -1, 6000, ""},
        {{"--list"}, Action::List, nullptr, -1, 6000, ""},
        {{"ttyUSB0", "-h"}, Action::Help, nullptr, -1, 6000, "exit status"},
        {{"-v"}, Action::Version, nullptr, -1, 6000, "baudset-cli 1.2+3.gabc\n"},
        // Rates are the table's, spelled as it spells them.
        {{"ttyUSB0", "115201"}, Action::Usage, nullptr, -1, 6000, "9600 14400 19200 38400 56000 57600 115200"},
        {{"ttyUSB0", "09600"}, Action::Usage, nullptr, -1, 6000, "'09600'"},
        {{"ttyUSB0", ""}, Action::Usage, nullptr, -1, 6000, "''"},
        // A wait is seconds from 0.01 to a day, nothing else.
        {{"--wait", "0", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "'0' is no wait"},
        {{"--wait", "0.001", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "'0.001'"},
        {{"--wait", "86401", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "'86401'"},
        {{"--wait", "99999999999999999999", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "no wait"},
        {{"--wait", "5s", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "'5s'"},
        {{"--wait", "-1", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "'-1'"},
        {{"--wait=", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "'' is no wait"},
        {{"ttyUSB0", "--wait"}, Action::Usage, nullptr, -1, 6000, "'--wait' needs"},
        {{}, Action::Usage, nullptr, -1, 6000, "no port named"},
        {{"ttyUSB0", "9600", "x"}, Action::Usage, nullptr, -1, 6000, "too many: 'x'"},
        {{"--list", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "--list takes no port"},
        {{"--speed", "ttyUSB0"}, Action::Usage, nullptr, -1, 6000, "unknown option '--speed'"},
    };
    for (const auto& c : cases) {
        const TerminalRequest request =
            ReadTerminalArguments(static_cast<int>(c.words.size()), c.words.data(), "1.2+3.gabc");
        std::string line;
        for (const char* word : c.words) {
            line += std::string(" '") + word + "'";
        }
        SCOPED_TRACE(line + ": " + request.text);
        EXPECT_EQ(request.action, c.action);
        EXPECT_STREQ(request.port, c.port);
        if (c.action == Action::Run) {
            EXPECT_EQ(request.rateIndex, c.rateIndex);
            EXPECT_EQ(request.waitTicks, c.waitTicks);
        }
        EXPECT_NE(std::string(request.text).find(c.said), std::string::npos);
        // A usage error ends with the usage line, for the one who typed it.
        EXPECT_EQ(std::string(request.text).find("用法 / usage: baudset-cli") != std::string::npos,
                  c.action == Action::Usage);
    }
}

}  // namespace
