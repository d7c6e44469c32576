// quarctl-session's run of quarctl, from the checks before the start to
// the status it hands back, and the bridge's own lines of failure.
#ifndef QUARCTL_SESSION_BRIDGE_H
#define QUARCTL_SESSION_BRIDGE_H

#include <windows.h>

#include "choice.h"

// quarctl's own statuses pass through; this one is the bridge's alone:
// it could not run quarctl, so nothing is known of the application.
const int EXIT_BRIDGE_FAILED = 2;

// One line of the bridge's own to out, like quarctl's text: CR LF, and
// in the OEM code page, in which consoles and PowerShell read it.
void WriteLine(HANDLE out, const char* format, ...);

// The two lines of a failure, what failed with its error and the system's
// text for it, then what to do; returns EXIT_BRIDGE_FAILED.
int Fail(HANDLE out, const char* what, DWORD error, const char* advice);

// How main runs quarctl.
struct RunOptions {
    bool checkFolder;  // first check who may change the programs (MustCheckFolder)
    bool viaService;   // the service may take the request (never in the service itself)
    DWORD startTick;   // when the bridge started: boundMs counts from here
    DWORD boundMs;     // for everything the run does
    HANDLE stop;       // an event that ends quarctl when signalled, or NULL
    // Where given, how the start went: Failed, with the call and its error,
    // where quarctl never started; for the service's event log.
    struct LaunchResult* report;
};

// Returned by RunQuarctl where only the service can start quarctl; why is
// set to the reason, for the service's failure lines.
const int ROUTE_TO_SERVICE = -1;

// quarctl.exe beside this program, by absolute path: never from PATH or
// the current folder, which a LocalSystem caller does not control. False,
// with the last error set, when the path does not fit.
bool ToolBesideUs(char* path, DWORD size);

// Whether the programs' folder must be checked before anything starts: as
// LocalSystem or another service account, or in session 0.
bool MustCheckFolder();

// Runs toolPath with keyword (NULL: none) in session: as this process, or
// with asSessionUser as session's user through that user's token. Returns
// quarctl's status, 0 or 1, or EXIT_BRIDGE_FAILED once it has written why,
// or ROUTE_TO_SERVICE with *why set, having written nothing.
int RunQuarctl(const char* toolPath, const char* keyword, DWORD session, bool asSessionUser, HANDLE out,
               const RunOptions& options, const char** why);

// Why quarctl cannot be started from here, as the lines of a failure or
// of the service route say it; a printf format taking the session.
const char WHY_JOB[] = "the calling program keeps its children in a job that forbids breakaway, so Windows cannot "
                       "start a process in session %lu from it";
const char WHY_BREAKAWAY_REFUSED[] = "the calling program's job refused to let a process leave it (error 5), so "
                                     "Windows cannot start one in session %lu from it";
const char WHY_NO_TCB[] = "this account lacks SeTcbPrivilege, which taking the token of session %lu's user needs";

#endif
