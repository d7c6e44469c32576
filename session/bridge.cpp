#include "bridge.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wtsapi32.h>

#include "../serverlink/unique_handle.h"
#include "choice.h"
#include "folder.h"
#include "launch.h"
#include "sessions.h"

void WriteLine(HANDLE out, const char* format, ...) { // NOLINT(cert-dcl50-cpp): printf-style on purpose
    char line[2048];
    va_list args;
    va_start(args, format);
    int length = _vsnprintf(line, sizeof line - 2, format, args);
    va_end(args);
    if (length < 0) length = static_cast<int>(sizeof line - 3); // cut short
    // The system's message texts come in the ANSI code page; a localized
    // Windows would show them garbled where the OEM one is read. USER32 is
    // loaded for it here alone: a start that succeeds does without it.
    const auto toOem = SYSTEM_FUNCTION("user32.dll", CharToOemBuffA);
    if (toOem != NULL) toOem(line, line, static_cast<DWORD>(length));
    line[length++] = '\r';
    line[length++] = '\n';
    DWORD written = 0;
    WriteFile(out, line, static_cast<DWORD>(length), &written, NULL);
}

namespace {

// The system's text for a Win32 error, without its line end.
const char* ErrorText(DWORD error, char* text, DWORD size) {
    DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0, text, size, NULL);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' ')) --length;
    if (length == 0) return "no text for it";
    text[length] = '\0';
    return text;
}

// "path" quoted, then the keyword quoted, so that quarctl's argv[1] is
// exactly the bridge's; malloc'd, or NULL.
char* CommandLine(const char* toolPath, const char* keyword) {
    const size_t keywordRoom = keyword == NULL ? 0 : 2 * strlen(keyword) + 4;
    char* commandLine = static_cast<char*>(malloc(strlen(toolPath) + 3 + keywordRoom));
    if (commandLine == NULL) return NULL;
    size_t length = strlen(toolPath);
    commandLine[0] = '"';
    memcpy(commandLine + 1, toolPath, length);
    length += 1;
    commandLine[length++] = '"';
    commandLine[length] = '\0';
    if (keyword != NULL) {
        commandLine[length++] = ' ';
        QuoteArgument(keyword, commandLine + length);
    }
    return commandLine;
}

// The route's reason, where the service may not take the request.
int RouteFailure(HANDLE out, const char* why, DWORD session) {
    char reason[512];
    _snprintf(reason, sizeof reason, why, session);
    reason[sizeof reason - 1] = '\0';
    WriteLine(out, "quarctl-session: %s.", reason);
    WriteLine(out, "What to do: run quarctl-session from a program that is in no such job, as LocalSystem.");
    return EXIT_BRIDGE_FAILED;
}

int FolderFailure(HANDLE out, const FolderCheck& check, const char* folder) {
    if (check.error != 0) {
        char what[MAX_PATH + 64];
        _snprintf(what, sizeof what, "the security of %s could not be read", check.object);
        what[sizeof what - 1] = '\0';
        return Fail(out, what, check.error, ADVICE_ERROR);
    }
    WriteLine(out, "quarctl-session: %s can be changed by %s, so nothing is started from there.", check.object,
              check.account);
    WriteLine(out,
              "What to do: install with the MSI, which puts both programs into Program Files; or let only "
              "administrators change the folder: icacls \"%s\" /setowner *S-1-5-32-544 /T, then icacls \"%s\" "
              "/inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX, then "
              "icacls \"%s\\*\" /reset /T",
              folder, folder, folder);
    return EXIT_BRIDGE_FAILED;
}

// Whether quarctl may start from its folder, for a caller that must check:
// only trusted accounts may change it, and the path reaches the file that
// was checked. False once it has written why.
bool FolderAllowsStart(HANDLE tool, const char* toolPath, HANDLE out) {
    CheckedObjects objects;
    if (!ObjectsToCheck(toolPath, &objects)) {
        Fail(out, "quarctl.exe's folder", ERROR_BAD_PATHNAME, ADVICE_ERROR);
        return false;
    }
    const FolderCheck check = CheckToolFolder(tool, objects);
    if (!check.safe) {
        FolderFailure(out, check, objects.folder);
        return false;
    }
    // By name the start could follow a junction that a user changed above
    // the folder: it must reach the file that was checked.
    char finalPath[MAX_PATH + 8];
    const DWORD length = GetFinalPathNameByHandleA(tool, finalPath, sizeof finalPath, FILE_NAME_NORMALIZED);
    if (length == 0 || length >= sizeof finalPath) {
        Fail(out, "GetFinalPathNameByHandleA for quarctl.exe failed",
             length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE, ADVICE_ERROR);
        return false;
    }
    if (SamePath(finalPath, toolPath)) return true;
    WriteLine(out, "quarctl-session: %s is in fact %s, so nothing is started from there.", toolPath, finalPath);
    WriteLine(out, "What to do: install into a folder reached without a junction or a link, as the MSI does "
                   "(Program Files).");
    return false;
}

// The session user's primary token; 0, or WTSQueryUserToken's error.
DWORD TakeUserToken(DWORD session, HANDLE* token) {
    const auto queryUserToken = SYSTEM_FUNCTION("wtsapi32.dll", WTSQueryUserToken);
    if (queryUserToken == NULL) return ERROR_PROC_NOT_FOUND;
    return queryUserToken(session, token) ? 0 : GetLastError();
}

int LaunchFailure(const LaunchResult& result, bool asUser, HANDLE out) {
    char what[64];
    _snprintf(what, sizeof what, "%s failed", result.failedCall);
    what[sizeof what - 1] = '\0';
    // Error 5 from a start with no job in the way: the token's user may not
    // read and run quarctl.exe.
    return Fail(out, what, result.error,
                result.error == ERROR_ACCESS_DENIED && asUser ? ADVICE_TOOL_ACCESS : ADVICE_ERROR);
}

int TokenFailure(HANDLE out, DWORD session, DWORD error) {
    char what[64];
    _snprintf(what, sizeof what, "WTSQueryUserToken for session %lu failed", session);
    what[sizeof what - 1] = '\0';
    char advice[256];
    _snprintf(advice, sizeof advice, TokenAdvice(error), session);
    advice[sizeof advice - 1] = '\0';
    return Fail(out, what, error, advice);
}

// The status for a quarctl that started: its own, or the bridge's failure.
int Outcome(const LaunchResult& result, DWORD boundMs, DWORD session, HANDLE out) {
    if (result.outcome == LaunchOutcome::TimedOut) {
        WriteLine(out, "quarctl-session: quarctl did not end within %lu s, and was ended.", boundMs / 1000);
        WriteLine(out, "What to do: run quarctl-doctor in session %lu to see why the application holds it.", session);
        return EXIT_BRIDGE_FAILED;
    }
    if (result.outcome == LaunchOutcome::Capped) {
        WriteLine(out, "quarctl-session: more than %lu bytes came through quarctl's output, which quarctl never "
                       "writes, so it was ended and the rest was not read.",
                  TOOL_OUTPUT_CAP);
        WriteLine(out, "What to do: find the process in session %lu that writes to quarctl's output, which may be "
                       "hostile, then try again.",
                  session);
        return EXIT_BRIDGE_FAILED;
    }
    if (result.outcome == LaunchOutcome::Stopped) {
        WriteLine(out, "quarctl-session: the QuarctlSession service was stopped, and quarctl with it.");
        WriteLine(out, "What to do: try again once the service has stopped.");
        return EXIT_BRIDGE_FAILED;
    }
    if (result.status <= 1) return static_cast<int>(result.status);
    // Not quarctl's own: Windows ended it, and cmd's errorlevel would read
    // such a status as negative.
    const char* meaning = ExitStatusMeaning(result.status);
    WriteLine(out, "quarctl-session: quarctl ended with status 0x%08lX%s%s.", result.status,
              meaning == NULL ? ", which is not one of its own" : ": ", meaning == NULL ? "" : meaning);
    return EXIT_BRIDGE_FAILED;
}

} // namespace

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

bool MustCheckFolder() {
    TokenUserBuffer buffer;
    const PSID user = OwnUserSid(&buffer);
    return user == NULL || FolderCheckApplies(user, OwnSession()); // unknown: check
}

int Fail(HANDLE out, const char* what, DWORD error, const char* advice) {
    char text[512];
    WriteLine(out, "quarctl-session: %s: error %lu: %s", what, error, ErrorText(error, text, sizeof text));
    WriteLine(out, "What to do: %s", advice);
    return EXIT_BRIDGE_FAILED;
}

int RunQuarctl(const char* toolPath, const char* keyword, DWORD session, bool asSessionUser, HANDLE out,
               const RunOptions& options, const char** why) {
    // What never started quarctl, for a caller that keeps a report.
    const auto notStarted = [&options](const char* call, DWORD error) {
        if (options.report != NULL) *options.report = {LaunchOutcome::Failed, 0, call, error};
    };
    // Opened once, sharing read alone, and held until quarctl has started:
    // the file checked is the file started.
    UniqueHandle tool(CreateFileA(toolPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL));
    if (tool.get() == INVALID_HANDLE_VALUE) {
        tool.release();
        notStarted("CreateFileA", GetLastError());
        return Fail(out, "quarctl.exe could not be opened", GetLastError(), ADVICE_ERROR);
    }
    if (options.checkFolder && !FolderAllowsStart(tool.get(), toolPath, out)) {
        notStarted("the folder check", ERROR_ACCESS_DENIED);
        return EXIT_BRIDGE_FAILED;
    }

    RouteFacts facts = {CurrentJob(), asSessionUser, 0, false};
    Route route = PlanRoute(facts);
    HANDLE token = NULL;
    if (route != Route::Service && asSessionUser) {
        facts.tokenError = TakeUserToken(session, &token);
        route = PlanRoute(facts);
        if (facts.tokenError != 0 && (route == Route::Refuse || !options.viaService)) {
            notStarted("WTSQueryUserToken", facts.tokenError);
            return TokenFailure(out, session, facts.tokenError);
        }
    }
    if (route == Route::Service) {
        *why = facts.tokenError != 0 ? WHY_NO_TCB : WHY_JOB;
        if (options.viaService) return ROUTE_TO_SERVICE;
        notStarted("the route", ERROR_ACCESS_DENIED);
        return RouteFailure(out, *why, session);
    }
    UniqueHandle userToken(token);
    char* commandLine = CommandLine(toolPath, keyword);
    if (commandLine == NULL) {
        notStarted("malloc", ERROR_NOT_ENOUGH_MEMORY);
        return Fail(out, "malloc failed", ERROR_NOT_ENOUGH_MEMORY, ADVICE_ERROR);
    }
    const DWORD elapsed = GetTickCount() - options.startTick;
    const DWORD bound = elapsed < options.boundMs ? options.boundMs - elapsed : 0;
    const DWORD flags = route == Route::Breakaway ? CREATE_BREAKAWAY_FROM_JOB : 0;
    const LaunchResult result =
        LaunchTool(toolPath, commandLine, userToken.get(), out, bound, flags, &tool, options.stop);
    free(commandLine);
    if (options.report != NULL) *options.report = result;
    if (result.outcome != LaunchOutcome::Failed) return Outcome(result, options.boundMs, session, out);
    // A breakaway refused: the job forbids it after all (its limits could
    // not be read, or an outer job forbids it).
    facts.breakawayRefused = result.error == ERROR_ACCESS_DENIED && route == Route::Breakaway;
    if (PlanRoute(facts) == Route::Service) {
        *why = WHY_BREAKAWAY_REFUSED;
        return options.viaService ? ROUTE_TO_SERVICE : RouteFailure(out, *why, session);
    }
    return LaunchFailure(result, userToken.get() != NULL, out);
}
