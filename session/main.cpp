// quarctl-session: runs quarctl in the session where the application runs,
// as that session's user, and hands back its exact output and exit status;
// for services, monitoring agents and fleet managers in session 0.
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wtsapi32.h>

#include "../serverlink/unique_handle.h"
#include "choice.h"
#include "launch.h"
#include "sessions.h"

namespace {

// quarctl's own statuses pass through; this one is the bridge's alone:
// it could not run quarctl, so nothing is known of the application.
const int EXIT_BRIDGE_FAILED = 2;

// One line of the bridge's own, to standard output like quarctl's text,
// with the CR LF that quarctl's text-mode output has.
void WriteLine(const char* format, ...) { // NOLINT(cert-dcl50-cpp): printf-style on purpose
    char line[1024];
    va_list args;
    va_start(args, format);
    int length = _vsnprintf(line, sizeof line - 2, format, args);
    va_end(args);
    if (length < 0) length = static_cast<int>(sizeof line - 3); // cut short
    line[length++] = '\r';
    line[length++] = '\n';
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(length), &written, NULL);
}

// The system's text for a Win32 error, without its line end.
const char* ErrorText(DWORD error, char* text, DWORD size) {
    DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0, text, size, NULL);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' ')) --length;
    if (length == 0) return "no text for it";
    text[length] = '\0';
    return text;
}

// The two lines of a failure: what failed, with its error and the
// system's text for it, and what to do.
int Fail(const char* what, DWORD error, const char* advice) {
    char text[512];
    WriteLine("quarctl-session: %s: error %lu: %s", what, error, ErrorText(error, text, sizeof text));
    WriteLine("What to do: %s", advice);
    return EXIT_BRIDGE_FAILED;
}

const char ADVICE_ERROR[] = "Act on that error, then try again.";

// quarctl.exe beside this program, by absolute path: never from PATH or
// the current folder, which a LocalSystem caller does not control.
bool ToolBesideUs(char* path, DWORD size) {
    const DWORD length = GetModuleFileNameA(NULL, path, size);
    if (length == 0 || length >= size) {
        if (length >= size) SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    char* name = strrchr(path, '\\');
    const char tool[] = "quarctl.exe";
    if (name == NULL || static_cast<size_t>(name + 1 - path) + sizeof tool > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    memcpy(name + 1, tool, sizeof tool);
    return true;
}

// "2, 5 and 7": the sessions that hold the mutex.
void ListHolders(const SessionCandidate* candidates, int count, char* text, size_t size) {
    size_t used = 0;
    text[0] = '\0';
    for (int i = 0; i < count && used + 16 < size; ++i) {
        if (!candidates[i].holdsMutex) continue;
        used += static_cast<size_t>(_snprintf(text + used, size - used, used == 0 ? "%lu" : ", %lu", candidates[i].id));
    }
}

int Run(const char* toolPath, const BridgeArguments& arguments, DWORD session) {
    // The quoted path, then the keyword quoted so that quarctl's argv[1] is
    // exactly the bridge's.
    const size_t keywordRoom = arguments.keyword == NULL ? 0 : 2 * strlen(arguments.keyword) + 4;
    char* commandLine = static_cast<char*>(malloc(strlen(toolPath) + 3 + keywordRoom));
    if (commandLine == NULL) return Fail("malloc failed", ERROR_NOT_ENOUGH_MEMORY, ADVICE_ERROR);
    size_t length = strlen(toolPath);
    commandLine[0] = '"';
    memcpy(commandLine + 1, toolPath, length);
    length += 1;
    commandLine[length++] = '"';
    commandLine[length] = '\0';
    if (arguments.keyword != NULL) {
        commandLine[length++] = ' ';
        QuoteArgument(arguments.keyword, commandLine + length);
    }

    HANDLE token = NULL;
    if (session != OwnSession()) {
        const auto queryUserToken = SYSTEM_FUNCTION("wtsapi32.dll", WTSQueryUserToken);
        if (queryUserToken == NULL || !queryUserToken(session, &token)) {
            const DWORD error = queryUserToken == NULL ? ERROR_PROC_NOT_FOUND : GetLastError();
            free(commandLine);
            char what[64];
            _snprintf(what, sizeof what, "WTSQueryUserToken for session %lu failed", session);
            what[sizeof what - 1] = '\0';
            char advice[256];
            _snprintf(advice, sizeof advice, TokenAdvice(error), session);
            advice[sizeof advice - 1] = '\0';
            return Fail(what, error, advice);
        }
    }
    UniqueHandle userToken(token);
    const LaunchResult result =
        LaunchTool(toolPath, commandLine, userToken.get(), GetStdHandle(STD_OUTPUT_HANDLE), TOOL_BOUND_MS);
    free(commandLine);
    switch (result.outcome) {
    case LaunchOutcome::Ended:
        return static_cast<int>(result.status);
    case LaunchOutcome::TimedOut:
        WriteLine("quarctl-session: quarctl did not end within %lu s, and was ended.", TOOL_BOUND_MS / 1000);
        WriteLine("What to do: run quarctl-doctor in session %lu to see why the application holds it.", session);
        return EXIT_BRIDGE_FAILED;
    case LaunchOutcome::Failed:
        break;
    }
    char what[64];
    _snprintf(what, sizeof what, "%s failed", result.failedCall);
    what[sizeof what - 1] = '\0';
    return Fail(what, result.error, ADVICE_ERROR);
}

} // namespace

int main(int argc, char* argv[]) {
    // Before any DLL is loaded on demand: System32 only.
    // Looked up, not imported: Windows 7 has it only with KB2533623, and
    // without it the System32-only load fails too.
    const auto setDirectories = SYSTEM_FUNCTION("kernel32.dll", SetDefaultDllDirectories);
    if (setDirectories == NULL || !setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        const DWORD error = setDirectories == NULL ? ERROR_PROC_NOT_FOUND : GetLastError();
        return Fail("SetDefaultDllDirectories failed", error,
                    "Install the update that brings it (KB2533623 on Windows 7), or a later Windows.");
    }

    BridgeArguments arguments;
    if (!ParseBridgeArguments(argc, argv, &arguments)) {
        WriteLine("quarctl-session: bad --session value \"%s\": a session id is a number such as 1.",
                  arguments.badValue);
        WriteLine("What to do: quarctl-session [--session N] [START|STOP|STATUS|CLOSE]");
        return EXIT_BRIDGE_FAILED;
    }
    char toolPath[MAX_PATH] = "";
    if (!ToolBesideUs(toolPath, sizeof toolPath)) {
        return Fail("GetModuleFileNameA failed", GetLastError(), ADVICE_ERROR);
    }
    if (GetFileAttributesA(toolPath) == INVALID_FILE_ATTRIBUTES) {
        char what[MAX_PATH + 32];
        _snprintf(what, sizeof what, "no quarctl.exe beside it, at %s", toolPath);
        what[sizeof what - 1] = '\0';
        return Fail(what, GetLastError(),
                    "Keep quarctl-session.exe in the folder that holds quarctl.exe, as the packages install them.");
    }

    int count = 0;
    SessionCandidate* candidates = CandidateSessions(&count);
    if (candidates == NULL) return Fail("malloc failed", ERROR_NOT_ENOUGH_MEMORY, ADVICE_ERROR);
    const SessionChoice choice = ChooseSession(candidates, count, ConsoleSession(), OwnSession(), arguments);
    char holders[256];
    ListHolders(candidates, count, holders, sizeof holders);
    free(candidates);
    switch (choice.kind) {
    case ChoiceKind::Run:
        return Run(toolPath, arguments, choice.session);
    case ChoiceKind::NoSuchSession:
        WriteLine("quarctl-session: there is no session %lu.", choice.session);
        WriteLine("What to do: name a session where a user is logged on (query session lists them).");
        return EXIT_BRIDGE_FAILED;
    case ChoiceKind::Several:
        break;
    }
    WriteLine("quarctl-session: the application runs in sessions %s, and none of them is the console's.", holders);
    WriteLine("What to do: name one with --session, for example: quarctl-session --session N STATUS");
    return EXIT_BRIDGE_FAILED;
}
