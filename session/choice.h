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

// A decimal number of at most max, digits only: no sign, blank or prefix,
// which strtoul would take, and no value past max, which it would read as
// its largest. False for anything else.
bool ReadDecimal(const char* text, unsigned long long max, unsigned long long* value);

// The largest session id: 0xFFFFFFFF stands for the current session.
const unsigned long long MAX_SESSION_ID = 0xFFFFFFFEull;

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

// What to do when a start as a session's user failed with error 5 and no
// job was in the way, as far as could be told: CreateProcessAsUser gives
// it for both.
const char ADVICE_TOOL_ACCESS[] =
    "Windows refuses such a start for a job that forbids the new process, and for a user who may not read and run "
    "quarctl.exe: let that user (Users) read and run it, or run quarctl-session from a program in no job.";

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

// How quarctl reaches its session.
enum class Route {
    Direct,    // started here, staying in this process's job if any
    Breakaway, // started here with CREATE_BREAKAWAY_FROM_JOB
    Service,   // handed to the QuarctlSession service, which starts it
    Refuse,    // nothing can start it; the failure says why
};

// What the route depends on, learnt one step after another: the job, then
// the user token's look-up (its error, or 0), then the start's own error.
struct RouteFacts {
    JobFacts job;
    bool otherSession;     // quarctl must run in another session than this
    DWORD tokenError;      // WTSQueryUserToken's, or 0
    bool breakawayRefused; // CREATE_BREAKAWAY_FROM_JOB failed with error 5
};

// Windows keeps every process of a job in the job's session, so a child in
// another session must leave the job; one in this session stays in it, as
// the caller counts on ending the tree. Where the job forbids leaving it,
// or this account may not take a user's token (no SeTcbPrivilege: error
// 1314), the service, which runs in no job as SYSTEM, starts quarctl.
Route PlanRoute(const RouteFacts& facts);

// Whether a pipe's server may hand the service a request, from its
// process's token: LocalSystem, or elevated with Administrators enabled.
bool TrustedRequester(PSID user, bool elevated, bool administratorsEnabled);

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

// The objects the folder check reads, in its order: quarctl.exe, the bridge
// beside it, and their folder. A folder at a root keeps its backslash
// (C:\ or \\server\share\): Windows reads "C:" as drive C's current
// folder. False when toolPath names no folder.
struct CheckedObjects {
    char tool[MAX_PATH];
    char bridge[MAX_PATH];
    char folder[MAX_PATH];
};
bool ObjectsToCheck(const char* toolPath, CheckedObjects* objects);

// Whether GetFinalPathNameByHandleA's path of the held quarctl.exe is the
// path to be started: the same file by the same way, letter case aside,
// its \\?\ or \\?\UNC\ prefix read as the plain path's drive or share.
bool SamePath(const char* finalPath, const char* path);

// Who may change a file or folder, read from its owner and DACL.
struct ChangeRight {
    bool safe;     // only SYSTEM, Administrators and TrustedInstaller may
    PSID account;  // else the owner or the ACE's account; NULL: the DACL is NULL
    bool unreadAce; // else an ACE that could not be read
};

// Whether only SYSTEM, Administrators and TrustedInstaller own the object
// and may change it: any other account that an allow ACE of any kind
// (plain, object, callback) on the object itself gives a changing right
// makes it unsafe, whatever deny ACEs say; so does an ACE that cannot be
// read.
ChangeRight WhoMayChange(PSECURITY_DESCRIPTOR descriptor, bool folder);

// The same for any object and rights: only SYSTEM, Administrators and
// TrustedInstaller own it or hold any of rights through an allow ACE of
// any kind on the object itself. The owner counts, as an owner may always
// change the DACL.
ChangeRight WhoHolds(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK rights);

// What the service's access list must keep from every other account:
// starting it, changing its configuration or its access list, its owner,
// and the generic rights that include any of them.
const ACCESS_MASK SERVICE_GUARDED_RIGHTS =
    SERVICE_START | SERVICE_CHANGE_CONFIG | WRITE_DAC | WRITE_OWNER | GENERIC_ALL | GENERIC_WRITE | GENERIC_EXECUTE;

// The access list the MSI and the documented sc.exe sdset line give the
// QuarctlSession service: SYSTEM and Administrators full control; the
// interactive, service and authenticated users may query it, and no one
// else may do anything.
const char SERVICE_SDDL[] = "D:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)"
                            "(A;;CCLCSWLORC;;;IU)(A;;CCLCSWLORC;;;SU)(A;;CCLCSWLORC;;;AU)";

#endif
