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

// What to do after a failed call, where nothing more is known.
const char ADVICE_ERROR[] = "Act on that error, then try again.";

// What to do when WTSQueryUserToken failed with error: a printf format
// that takes the session id.
const char* TokenAdvice(DWORD error);

// The job this process runs in, as IsProcessInJob and
// QueryInformationJobObject tell it.
struct JobFacts {
    bool inJob;
    bool limitsKnown; // false when the limits could not be read
    DWORD limitFlags; // JOB_OBJECT_LIMIT_*
};

// How quarctl is started from within that job.
struct JobPlan {
    bool start;          // false: the job forbids what the start needs
    DWORD creationFlags; // 0 or CREATE_BREAKAWAY_FROM_JOB
};

// Windows keeps every process of a job in the job's session, so a child in
// another session must leave the job; one in this session stays in it, as
// the caller counts on ending the tree.
JobPlan PlanJob(const JobFacts& job, bool otherSession);

// What an exit status of quarctl's other than 0 or 1 means: a short text
// for the NTSTATUS values Windows ends a process with, or NULL.
const char* ExitStatusMeaning(DWORD status);

// True when a named object exists, from OpenMutexA's handle and its error:
// an object that refuses this caller (another user's) still exists.
bool MutexFound(HANDLE opened, DWORD error);

// Whether the bridge must check who may change the programs it starts: it
// runs as LocalSystem, LocalService, NetworkService or a service's own
// account (S-1-5-80-...), or in session 0.
bool FolderCheckApplies(PSID user, DWORD session);

// Who may change a file or folder, read from its owner and DACL.
struct ChangeRight {
    bool safe;     // only SYSTEM, Administrators and TrustedInstaller may
    PSID account;  // else the owner or the ACE's account; NULL: the DACL is NULL
};

// Whether only SYSTEM, Administrators and TrustedInstaller own the object
// and may change it: any other account that an ACE on the object itself
// allows a changing right makes it unsafe, whatever deny ACEs say.
ChangeRight WhoMayChange(PSECURITY_DESCRIPTOR descriptor, bool folder);

#endif
