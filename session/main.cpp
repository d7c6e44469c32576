// quarctl-session: runs quarctl in the session where the application runs,
// as that session's user, and hands back its exact output and exit status;
// for services, monitoring agents and fleet managers in session 0.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bridge.h"
#include "choice.h"
#include "launch.h"
#include "service.h"
#include "sessions.h"

namespace {

// "2, 5 and 7": the sessions that hold the mutex.
void ListHolders(const SessionCandidate* candidates, int count, char* text, size_t size) {
    size_t used = 0;
    text[0] = '\0';
    for (int i = 0; i < count && used + 16 < size; ++i) {
        if (!candidates[i].holdsMutex) continue;
        used += static_cast<size_t>(_snprintf(text + used, size - used, used == 0 ? "%lu" : ", %lu", candidates[i].id));
    }
}

} // namespace

int main(int argc, char* argv[]) {
    const DWORD startTick = GetTickCount();
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    // Before any DLL is loaded on demand: System32 only.
    // Looked up, not imported: Windows 7 has it only with KB2533623, and
    // without it the System32-only load fails too.
    const auto setDirectories = SYSTEM_FUNCTION("kernel32.dll", SetDefaultDllDirectories);
    if (setDirectories == NULL || !setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        const DWORD error = setDirectories == NULL ? ERROR_PROC_NOT_FOUND : GetLastError();
        return Fail(out, "SetDefaultDllDirectories failed", error,
                    "Install the update that brings it (KB2533623 on Windows 7), or a later Windows.");
    }

    if (argc == 2 && strcmp(argv[1], "--service") == 0) return RunService(out);

    BridgeArguments arguments;
    if (!ParseBridgeArguments(argc, argv, &arguments)) {
        WriteLine(out, "quarctl-session: bad --session value \"%s\": a session id is a number such as 1.",
                  arguments.badValue);
        WriteLine(out, "What to do: quarctl-session [--session N] [START|STOP|STATUS|CLOSE]");
        return EXIT_BRIDGE_FAILED;
    }
    char toolPath[MAX_PATH] = "";
    if (!ToolBesideUs(toolPath, sizeof toolPath)) {
        return Fail(out, "GetModuleFileNameA failed", GetLastError(), ADVICE_ERROR);
    }
    if (GetFileAttributesA(toolPath) == INVALID_FILE_ATTRIBUTES) {
        char what[MAX_PATH + 32];
        _snprintf(what, sizeof what, "no quarctl.exe beside it, at %s", toolPath);
        what[sizeof what - 1] = '\0';
        return Fail(out, what, GetLastError(),
                    "Keep quarctl-session.exe in the folder that holds quarctl.exe, as the packages install them.");
    }

    int count = 0;
    SessionCandidate* candidates = CandidateSessions(&count);
    if (candidates == NULL) return Fail(out, "malloc failed", ERROR_NOT_ENOUGH_MEMORY, ADVICE_ERROR);
    const SessionChoice choice = ChooseSession(candidates, count, ConsoleSession(), OwnSession(), arguments);
    char holders[256];
    ListHolders(candidates, count, holders, sizeof holders);
    free(candidates);
    switch (choice.kind) {
    case ChoiceKind::Run: {
        // Decided here, where the run is known to be the bridge's own.
        const RunOptions options = {MustCheckFolder(), true, startTick, TOOL_BOUND_MS, NULL, NULL};
        return RunRouted(toolPath, arguments.keyword, choice.session, choice.session != OwnSession(), out, options);
    }
    case ChoiceKind::NoSuchSession:
        WriteLine(out, "quarctl-session: there is no session %lu.", choice.session);
        WriteLine(out, "What to do: name a session where a user is logged on (query session lists them).");
        return EXIT_BRIDGE_FAILED;
    case ChoiceKind::Several:
        break;
    }
    WriteLine(out, "quarctl-session: the application runs in sessions %s, and none of them is the console's.", holders);
    WriteLine(out, "What to do: name one with --session, for example: quarctl-session --session N STATUS");
    return EXIT_BRIDGE_FAILED;
}
