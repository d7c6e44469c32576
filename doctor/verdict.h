// quarctl-doctor's verdict: a plain function from facts to what quarctl
// STATUS says, why, and what to do. It calls nothing, so that it can be
// tested for situations that no test machine can stage.
#ifndef QUARCTL_DOCTOR_VERDICT_H
#define QUARCTL_DOCTOR_VERDICT_H

#include <string>

#include "facts.h"

struct Verdict {
    bool known = false;   // false only for a found window that nothing was sent to
    std::string sentence; // what quarctl STATUS prints, without the empty line; may be empty
    int toolStatus = 1;   // and its exit status; 0 for a found window that nothing was sent to
    std::string cause;    // the most likely cause, one sentence
    std::string advice;   // what to do
};

// What quarctl STATUS gives in the situation the facts describe.
Verdict Diagnose(const Facts& facts);

// The frame window quarctl takes, or NULL.
const WindowFacts* TakenWindow(const WindowSearchFacts& windows);

// Whether this process runs at a higher integrity level than the
// application's; when either level cannot be read, whether it is elevated.
bool WeOutrankApp(const ProcessFacts& process, const WindowFacts& app);

// The route quarctl-session takes from here into another session's user:
// Refuse where only the service could take it and none is installed or
// it is disabled.
Route WayFromHere(const WayFacts& way);

// The program a service's command line starts: its quoted path, or a bare
// path up to its ".exe", as Wine's msiexec writes it; "" when there is none.
std::string ServiceProgram(const std::string& command);

// Whether the service's command line runs bridge with --service alone,
// its path quoted or bare, letter case aside.
bool ServiceRunsBridge(const std::string& command, const std::string& bridge);

// "Medium", "High"... for an integrity level, or "unknown".
const char* IntegrityName(DWORD integrity);

#endif
