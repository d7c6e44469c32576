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

// Runs toolPath with keyword (NULL: none) in session: as this process, or
// with asSessionUser as session's user through that user's token. Returns
// quarctl's status, 0 or 1, or EXIT_BRIDGE_FAILED once it has written why.
int RunQuarctl(const char* toolPath, const char* keyword, DWORD session, bool asSessionUser, HANDLE out);

#endif
