// Runs quarctl.exe as a child, in this process's session or as another
// session's user, and relays its output and exit status.
#ifndef QUARCTL_SESSION_LAUNCH_H
#define QUARCTL_SESSION_LAUNCH_H

#include <windows.h>

#include "../serverlink/unique_handle.h"
#include "choice.h"

// quarctl ends within about 10 s; past this, the bridge ends it and fails.
const DWORD TOOL_BOUND_MS = 20000;

// quarctl writes a few hundred bytes; past this much, whoever writes to its
// output is not quarctl, and the relay ends it rather than read for ever.
const DWORD TOOL_OUTPUT_CAP = 1 << 16;

enum class LaunchOutcome {
    Ended,    // the child ended; status is its exit status
    TimedOut, // the child outlived the bound and was ended
    Capped,   // its output passed TOOL_OUTPUT_CAP, and it was ended
    Stopped,  // stop was signalled, and it was ended or never started
    Failed,   // failedCall failed with error
};

struct LaunchResult {
    LaunchOutcome outcome;
    DWORD status;
    const char* failedCall;
    DWORD error;
};

// Runs commandLine, whose program is toolPath, with its standard output and
// error relayed unchanged to out and its standard input the null device.
// With userToken NULL it runs as this process; else as that primary
// token's user, on winsta0\default, in the user's own environment.
// creationFlags are added to the start's own (CREATE_BREAKAWAY_FROM_JOB).
// heldTool, where given, is closed once the child has started: its image
// is mapped by then, and a handle held longer would make an upgrade's
// rename of quarctl.exe fail. stop, an event where given, ends the child
// when it is signalled. At most TOOL_OUTPUT_CAP bytes are relayed, and
// none after boundMs.
LaunchResult LaunchTool(const char* toolPath, char* commandLine, HANDLE userToken, HANDLE out, DWORD boundMs,
                        DWORD creationFlags = 0, UniqueHandle* heldTool = NULL, HANDLE stop = NULL);

// The job this process runs in, and its limits where they can be read.
JobFacts CurrentJob();

#endif
