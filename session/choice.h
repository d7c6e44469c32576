// quarctl-session's decisions, apart from the platform: its command line,
// the session to run quarctl in, and how quarctl's argument is quoted.
#ifndef QUARCTL_SESSION_CHOICE_H
#define QUARCTL_SESSION_CHOICE_H

#include <windows.h>

// What the command line asks for.
struct BridgeArguments {
    bool sessionGiven; // --session N
    DWORD session;
    const char* keyword; // quarctl's argv[1], or NULL for none
    const char* badValue; // set when --session's value is not a session id
};

// Reads [--session N] [KEYWORD]; arguments after the keyword are ignored,
// as quarctl ignores them. False when --session's value is bad.
bool ParseBridgeArguments(int argc, char* argv[], BridgeArguments* arguments);

// A session that may run the application, and whether its namespace
// holds the application's mutex.
struct SessionCandidate {
    DWORD id;
    bool holdsMutex;
};

enum class ChoiceKind {
    Run,           // run quarctl in session
    NoSuchSession, // --session names no candidate
    Several,       // several sessions hold the mutex, none of them the console's
};

struct SessionChoice {
    ChoiceKind kind;
    DWORD session;
};

// Where to run quarctl: the session --session names; else the one session
// that holds the mutex, the console's among several, or, when none holds
// it, this process's own, where quarctl then says that it is not running.
SessionChoice ChooseSession(const SessionCandidate* candidates, int count, DWORD consoleSession, DWORD ownSession,
                            const BridgeArguments& arguments);

// Writes argument to out quoted by the C runtime's rules, so that its
// start-up splits it back unchanged; returns the length written. out needs
// room for 2 * strlen(argument) + 3 characters.
size_t QuoteArgument(const char* argument, char* out);

// What to do when WTSQueryUserToken failed with error: a printf format
// that takes the session id.
const char* TokenAdvice(DWORD error);

#endif
