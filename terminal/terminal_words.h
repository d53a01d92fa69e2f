#pragma once

#include <cstddef>

// Every sentence the terminal programs say of their own, in Chinese, then
// English, on one line: the one place that words them, beside
// open_failure's sentences for a port that cannot be opened. What each
// takes follows its name; a sentence takes the same words in both
// languages, in the same order.
namespace TerminalWords {
enum Sentence {
    // The run.
    kPrompt,              // port, wait in seconds as typed
    kRawTcpNote,          // HOST:PORT
    kNothingValid,        // wait in seconds as typed
    kLinkLost,            //
    kAdapterGone,         // port
    kConnectionLost,      // HOST:PORT
    kSetRefused,          // rate
    kInterrupted,         //
    kTerminated,          //
    kHungUp,              //
    kRestoreUnconfirmed,  // HOST:PORT
    kSpeedNotRestorable,  // port
    // The command line.
    kOneTooMany,          // the word
    kNeedsSeconds,        // the option
    kNoWait,              // the seconds as typed
    kUnknownOption,       // the word
    kListTakesNoPort,     // the port
    kNoPort,              //
    kNoRate,              // the word, the rates
    kNoNetworkPort,       // the word
    // Windows' console program.
    kTooManyArguments,    //
    kArgumentsTooLong,    //
    kNoEvent,             // the error's number, unsigned long
    kListBrokenOff,       // the error's number, unsigned long
    kPortsNotListed,      // how many, the most listed, the longest name: three ints
    kSentenceCount
};
}  // namespace TerminalWords

// Writes `sentence` into `line` (cut to `size`) and returns `line`.
const char* SayTerminal(TerminalWords::Sentence sentence, char* line, std::size_t size, ...);
