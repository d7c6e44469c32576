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

// Whether the programs' folder must be checked before anything starts.
bool MustCheckFolder() {
    HANDLE handle = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &handle)) return true; // unknown: check
    UniqueHandle token(handle);
    // A TOKEN_USER and its SID, at most SECURITY_MAX_SID_SIZE.
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size)) return true;
    return FolderCheckApplies(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, OwnSession());
}

int JobFailure(HANDLE out, DWORD session) {
    WriteLine(out,
              "quarctl-session: the calling program keeps its children in a job that forbids breakaway, so Windows "
              "cannot start a process in session %lu from it.",
              session);
    WriteLine(out, "What to do: let that job allow breakaway (JOB_OBJECT_LIMIT_BREAKAWAY_OK), or run quarctl-session "
                   "from a program that does not hold it in such a job.");
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

} // namespace

int Fail(HANDLE out, const char* what, DWORD error, const char* advice) {
    char text[512];
    WriteLine(out, "quarctl-session: %s: error %lu: %s", what, error, ErrorText(error, text, sizeof text));
    WriteLine(out, "What to do: %s", advice);
    return EXIT_BRIDGE_FAILED;
}

int RunQuarctl(const char* toolPath, const char* keyword, DWORD session, bool asSessionUser, HANDLE out) {
    // Opened once, sharing read alone, and held until quarctl has started:
    // the file checked is the file started.
    UniqueHandle tool(CreateFileA(toolPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL));
    if (tool.get() == INVALID_HANDLE_VALUE) {
        tool.release();
        return Fail(out, "quarctl.exe could not be opened", GetLastError(), ADVICE_ERROR);
    }
    if (MustCheckFolder()) {
        char folder[MAX_PATH];
        _snprintf(folder, sizeof folder, "%s", toolPath);
        folder[sizeof folder - 1] = '\0';
        char* name = strrchr(folder, '\\');
        if (name != NULL) *name = '\0';
        const FolderCheck check = CheckToolFolder(tool.get(), folder);
        if (!check.safe) return FolderFailure(out, check, folder);
    }

    const JobFacts job = CurrentJob();
    const JobPlan plan = PlanJob(job, asSessionUser);
    if (!plan.start) return JobFailure(out, session);

    HANDLE token = NULL;
    if (asSessionUser) {
        const auto queryUserToken = SYSTEM_FUNCTION("wtsapi32.dll", WTSQueryUserToken);
        if (queryUserToken == NULL || !queryUserToken(session, &token)) {
            const DWORD error = queryUserToken == NULL ? ERROR_PROC_NOT_FOUND : GetLastError();
            char what[64];
            _snprintf(what, sizeof what, "WTSQueryUserToken for session %lu failed", session);
            what[sizeof what - 1] = '\0';
            char advice[256];
            _snprintf(advice, sizeof advice, TokenAdvice(error), session);
            advice[sizeof advice - 1] = '\0';
            return Fail(out, what, error, advice);
        }
    }
    UniqueHandle userToken(token);
    char* commandLine = CommandLine(toolPath, keyword);
    if (commandLine == NULL) return Fail(out, "malloc failed", ERROR_NOT_ENOUGH_MEMORY, ADVICE_ERROR);
    const LaunchResult result =
        LaunchTool(toolPath, commandLine, userToken.get(), out, TOOL_BOUND_MS, plan.creationFlags);
    free(commandLine);
    switch (result.outcome) {
    case LaunchOutcome::Ended:
        if (result.status <= 1) return static_cast<int>(result.status);
        {
            // Not quarctl's own: Windows ended it, and cmd's errorlevel
            // would read such a status as negative.
            const char* meaning = ExitStatusMeaning(result.status);
            WriteLine(out, "quarctl-session: quarctl ended with status 0x%08lX%s%s.", result.status,
                      meaning == NULL ? ", which is not one of its own" : ": ", meaning == NULL ? "" : meaning);
        }
        return EXIT_BRIDGE_FAILED;
    case LaunchOutcome::TimedOut:
        WriteLine(out, "quarctl-session: quarctl did not end within %lu s, and was ended.", TOOL_BOUND_MS / 1000);
        WriteLine(out, "What to do: run quarctl-doctor in session %lu to see why the application holds it.", session);
        return EXIT_BRIDGE_FAILED;
    case LaunchOutcome::Failed:
        break;
    }
    // A breakaway refused: the job forbids it after all (its limits could
    // not be read, or an outer job forbids it).
    if (result.error == ERROR_ACCESS_DENIED && job.inJob && asSessionUser) return JobFailure(out, session);
    char what[64];
    _snprintf(what, sizeof what, "%s failed", result.failedCall);
    what[sizeof what - 1] = '\0';
    return Fail(out, what, result.error, ADVICE_ERROR);
}
