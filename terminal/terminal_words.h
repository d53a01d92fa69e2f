#pragma once

#include <cstddef>

// A sentence of the terminal programs, said in Chinese, then English, on
// one line. Both take the same words in the same order.
struct TerminalSentence {
    const char* chinese;
    const char* english;
    // After a Chinese full stop or bracket, a full square wide, the slash
    // follows without a space, where these sentences have always said it so.
    bool tight;
};

// Every sentence the terminal programs say of their own, in one place
// beside open_failure's (a port that cannot be opened) and the connection's
// failures; what each takes follows it.
namespace TerminalWords {
// The run.
extern const TerminalSentence kPrompt;              // port, the wait in seconds as typed
extern const TerminalSentence kRawTcpNote;          // HOST:PORT
extern const TerminalSentence kNothingValid;        // the wait in seconds as typed
extern const TerminalSentence kLinkLost;
extern const TerminalSentence kAdapterGone;         // port
extern const TerminalSentence kAwaited;             // port
extern const TerminalSentence kNotBack;             // port, the wait in seconds as typed
extern const TerminalSentence kConnectionLost;      // HOST:PORT
extern const TerminalSentence kSetRefused;          // rate
extern const TerminalSentence kInterrupted;
extern const TerminalSentence kTerminated;
extern const TerminalSentence kHungUp;
extern const TerminalSentence kRestoreUnconfirmed;  // HOST:PORT
extern const TerminalSentence kSpeedNotRestorable;  // port
// Several ports in one run.
extern const TerminalSentence kPromptForMany;       // how many, the wait in seconds as typed
// The command line.
extern const TerminalSentence kOneTooMany;          // the word
extern const TerminalSentence kNeedsSeconds;        // the option
extern const TerminalSentence kNoWait;              // the seconds as typed
extern const TerminalSentence kUnknownOption;       // the word
extern const TerminalSentence kListTakesNoPort;     // the port
extern const TerminalSentence kLongNeedsList;       // the option
extern const TerminalSentence kNoPort;
extern const TerminalSentence kTooManyPorts;        // the first word beyond, the most as text
extern const TerminalSentence kPortTwice;           // the port
extern const TerminalSentence kNoRate;              // the word, the rates
extern const TerminalSentence kNoNetworkPort;       // the word
extern const TerminalSentence kLooseNumericHost;    // the host
// Windows' console program.
extern const TerminalSentence kTooManyArguments;
extern const TerminalSentence kArgumentsTooLong;
extern const TerminalSentence kNoEvent;             // the error's number, unsigned long
extern const TerminalSentence kListBrokenOff;       // the error's number, unsigned long
extern const TerminalSentence kPortsNotListed;      // how many, the most listed, the longest name: ints
}  // namespace TerminalWords

// Writes `sentence` with its words into `line`, cut to `size`; returns `line`.
const char* SayTerminal(const TerminalSentence& sentence, char* line, std::size_t size, ...);
// Its English alone, for what a script reads.
const char* SayInEnglish(const TerminalSentence& sentence, char* line, std::size_t size, ...);
