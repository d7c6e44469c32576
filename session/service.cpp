#include "service.h"

#include <bcrypt.h>
#include <sddl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../serverlink/unique_handle.h"
#include "bridge.h"
#include "choice.h"
#include "launch.h"
#include "messages.h"
#include "sessions.h"

namespace {

const char PIPE_PREFIX[] = R"(\\.\pipe\quarctl-session-)";
// The pipe's random part, and the request's token, in hexadecimal digits.
const size_t RANDOM_DIGITS = 32;
// The trailer: this mark, then the status in 4 bytes, least significant first.
const char TRAILER_MARK[4] = {'\0', 'Q', 'S', 'B'};
const size_t TRAILER_SIZE = 8;
// How often the bridge looks at the service while it waits for it.
const DWORD SERVICE_POLL_MS = 20;
// Kept from the service's bound, so that its own lines and the trailer
// reach the bridge before the bridge's bound ends.
const DWORD SERVICE_MARGIN_MS = 1000;

DWORD Remaining(DWORD startTick, DWORD boundMs) {
    const DWORD elapsed = GetTickCount() - startTick;
    return elapsed < boundMs ? boundMs - elapsed : 0;
}

bool HexDigits(const char* text, size_t count) {
    if (strlen(text) != count) return false;
    for (const char* digit = text; *digit != '\0'; ++digit) {
        if (strchr("0123456789abcdef", *digit) == NULL) return false;
    }
    return true;
}

bool ValidPipeName(const char* name) {
    const size_t prefix = sizeof PIPE_PREFIX - 1;
    return strncmp(name, PIPE_PREFIX, prefix) == 0 && HexDigits(name + prefix, RANDOM_DIGITS);
}

// number in decimal digits to text, which has room for 21 characters:
// written here, as msvcrt's printf has no portable length for 64 bits.
void WriteDecimal(unsigned long long number, char* text) {
    char digits[21];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    for (size_t i = 0; i < count; ++i) text[i] = digits[count - 1 - i];
    text[count] = '\0';
}

// Writes one event of the QuarctlSession source to the Application log.
// A failure to log is left alone: it never changes an answer or a status.
void LogEvent(WORD type, DWORD id, WORD count, const char** strings) {
    HANDLE source = RegisterEventSourceA(NULL, SERVICE_NAME);
    if (source == NULL) return;
    ReportEventA(source, type, 0, id, NULL, count, 0, strings, NULL);
    DeregisterEventSource(source);
}

// Whether this process runs as LocalSystem, whose refusals are logged: a
// bridge of a user's own is that user's business.
bool LocalSystem() {
    TokenUserBuffer buffer;
    const PSID user = OwnUserSid(&buffer);
    return user != NULL && IsWellKnownSid(user, WinLocalSystemSid);
}

// --- The bridge's side ---

int NotInstalled(HANDLE out, const char* reason) {
    // A path that cannot be read is judged as unfit, not as another folder.
    char tool[MAX_PATH] = "";
    if (!ToolBesideUs(tool, sizeof tool)) tool[0] = '\0';
    CheckedObjects objects;
    DWORD openError = 0;
    const FolderCheck check = CheckFolderAt(tool, &objects, &openError);
    char advice[2 * MAX_PATH + 640];
    InstallAdvice(objects.bridge, check, openError, advice, sizeof advice);
    WriteLine(out, "quarctl-session: %s, and the %s service, which can, is not installed.", reason, SERVICE_NAME);
    WriteLine(out, "What to do: %s", advice);
    return EXIT_BRIDGE_FAILED;
}

int Unanswered(HANDLE out, DWORD boundMs) {
    WriteLine(out, "quarctl-session: the %s service did not answer within %lu s.", SERVICE_NAME, boundMs / 1000);
    WriteLine(out, "What to do: look in the System event log for why it did not start, then try again.");
    return EXIT_BRIDGE_FAILED;
}

// Whether the service has stopped; its exit code in *code.
bool ServiceStopped(SC_HANDLE service, DWORD* processId, DWORD* code) {
    SERVICE_STATUS_PROCESS status = {};
    DWORD size = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &size)) {
        *processId = 0;
        return false;
    }
    *processId = status.dwProcessId;
    *code = status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR ? status.dwServiceSpecificExitCode
                                                                    : status.dwWin32ExitCode;
    return status.dwCurrentState == SERVICE_STOPPED;
}

// Waits for an overlapped operation on pipe until deadline; false on
// timeout, with the operation cancelled and settled.
bool Settle(HANDLE pipe, OVERLAPPED* overlapped, DWORD startTick, DWORD boundMs, DWORD* got) {
    if (WaitForSingleObject(overlapped->hEvent, Remaining(startTick, boundMs)) != WAIT_OBJECT_0) {
        CancelIo(pipe);
        GetOverlappedResult(pipe, overlapped, got, TRUE);
        return false;
    }
    return true;
}

enum class Read { Data, End, TimedOut };

Read ReadSome(HANDLE pipe, HANDLE event, char* buffer, DWORD size, DWORD* got, DWORD startTick, DWORD boundMs) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    *got = 0;
    if (!ReadFile(pipe, buffer, size, NULL, &overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) return Read::End; // the service closed its end
        if (!Settle(pipe, &overlapped, startTick, boundMs, got)) return Read::TimedOut;
    }
    if (!GetOverlappedResult(pipe, &overlapped, got, FALSE)) return Read::End;
    return Read::Data;
}

// How the relay of the service's stream ended, where no trailer did it.
const int RELAY_NO_TRAILER = -1;
const int RELAY_LATE = -2;
const int RELAY_CAPPED = -3;
const int RELAY_WRONG_TOKEN = -4;

// Relays all the service writes after the token and before the trailer;
// the trailer's status, or one of RELAY_*. At most SERVICE_OUTPUT_CAP bytes
// and until the bound: whatever writes, the loop ends on time.
int Relay(HANDLE pipe, HANDLE event, const char* token, DWORD startTick, DWORD boundMs, HANDLE out) {
    char buffer[TRAILER_SIZE + 4096];
    size_t held = 0;
    size_t tokenSeen = 0;
    size_t relayedAll = 0;
    for (;;) {
        if (Remaining(startTick, boundMs) == 0) return RELAY_LATE;
        DWORD got = 0;
        const Read read = ReadSome(pipe, event, buffer + held, 4096, &got, startTick, boundMs);
        if (read == Read::TimedOut) return RELAY_LATE;
        if (read == Read::End) break;
        size_t total = held + got;
        // The token first: a stream that does not start with it is not
        // this request's answer.
        if (tokenSeen < RANDOM_DIGITS) {
            const size_t take = total < RANDOM_DIGITS - tokenSeen ? total : RANDOM_DIGITS - tokenSeen;
            if (memcmp(buffer, token + tokenSeen, take) != 0) return RELAY_WRONG_TOKEN;
            tokenSeen += take;
            total -= take;
            memmove(buffer, buffer + take, total);
        }
        const size_t relayed = total > TRAILER_SIZE ? total - TRAILER_SIZE : 0;
        relayedAll += relayed;
        if (relayedAll > SERVICE_OUTPUT_CAP) return RELAY_CAPPED;
        DWORD written = 0;
        if (relayed > 0) WriteFile(out, buffer, static_cast<DWORD>(relayed), &written, NULL);
        memmove(buffer, buffer + relayed, total - relayed);
        held = total - relayed;
    }
    if (tokenSeen < RANDOM_DIGITS) return RELAY_WRONG_TOKEN;
    if (held == TRAILER_SIZE && memcmp(buffer, TRAILER_MARK, sizeof TRAILER_MARK) == 0) {
        const auto* status = reinterpret_cast<const unsigned char*>(buffer + sizeof TRAILER_MARK);
        return status[0] | status[1] << 8 | status[2] << 16 | status[3] << 24;
    }
    DWORD written = 0;
    if (held > 0) WriteFile(out, buffer, static_cast<DWORD>(held), &written, NULL);
    return RELAY_NO_TRAILER;
}

// Returned by the route's steps where the route goes on.
const int GOING_ON = -1;

// The request's pipe: only SYSTEM and Administrators may open it, and only
// a pipe that we created first is ours, whatever its name.
int CreateRequestPipe(const char* pipeName, HANDLE out, HANDLE* pipe) {
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1,
                                                              &descriptor, NULL)) {
        return Fail(out, "ConvertStringSecurityDescriptorToSecurityDescriptorA failed", GetLastError(), ADVICE_ERROR);
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    // Bytes, read as bytes, blocking: the zero defaults.
    *pipe = CreateNamedPipeA(pipeName, REQUEST_PIPE_OPEN_MODE, PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 1 << 16, 0,
                             &attributes);
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    if (*pipe != INVALID_HANDLE_VALUE) return GOING_ON;
    if (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY) {
        if (LocalSystem()) LogEvent(EVENTLOG_WARNING_TYPE, MSG_PIPE_SQUATTED, 1, &pipeName);
        WriteLine(out, "quarctl-session: another process created the pipe %s before this one could, so no request is "
                       "handed over through it.",
                  pipeName);
        WriteLine(out, "What to do: find that process, which may be hostile, then try again.");
        return EXIT_BRIDGE_FAILED;
    }
    return Fail(out, "CreateNamedPipeA failed", error, ADVICE_ERROR);
}

// Starts the service with the request; one request at a time, so while
// another bridge's runs, waits for it. The service's process id, read
// before it can connect, in *processId: a request served at once is then
// still known by it.
int StartRequest(SC_HANDLE service, const char* pipeName, DWORD session, const char* keyword, const char* token,
                 DWORD startTick, DWORD boundMs, HANDLE out, DWORD* processId) {
    char sessionText[16];
    char deadlineText[24];
    _snprintf(sessionText, sizeof sessionText, "%lu", session);
    sessionText[sizeof sessionText - 1] = '\0';
    for (;;) {
        const DWORD remaining = Remaining(startTick, boundMs);
        if (remaining <= SERVICE_MARGIN_MS) return Unanswered(out, boundMs);
        // One clock for both sides: the service ends its work by then, and
        // starts nothing past it, however late it began.
        const ULONGLONG deadline = GetTickCount64() + remaining - SERVICE_MARGIN_MS;
        WriteDecimal(deadline, deadlineText);
        const char* arguments[] = {pipeName, sessionText, deadlineText, token, keyword};
        if (StartServiceA(service, keyword == NULL ? 4 : 5, arguments)) {
            DWORD code = 0;
            ServiceStopped(service, processId, &code);
            return GOING_ON;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_ALREADY_RUNNING && error != ERROR_SERVICE_DATABASE_LOCKED) {
            return Fail(out, "StartServiceA for QuarctlSession failed", error,
                        error == ERROR_ACCESS_DENIED ? "Only SYSTEM and administrators may start the service: run "
                                                       "quarctl-session as one of them."
                                                     : ADVICE_ERROR);
        }
        Sleep(SERVICE_POLL_MS);
    }
}

// Waits for the service to open the pipe, watching that it has not stopped
// meanwhile; then only the service's own process, as read at its start
// (startedProcess) or now, may answer.
int AwaitService(const char* pipeName, HANDLE pipe, HANDLE event, SC_HANDLE service, DWORD startedProcess,
                 DWORD startTick, DWORD boundMs, HANDLE out) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    DWORD serviceProcess = 0;
    DWORD code = 0;
    if (!ConnectNamedPipe(pipe, &overlapped) && GetLastError() != ERROR_PIPE_CONNECTED) {
        if (GetLastError() != ERROR_IO_PENDING) {
            return Fail(out, "ConnectNamedPipe failed", GetLastError(), ADVICE_ERROR);
        }
        while (WaitForSingleObject(event, SERVICE_POLL_MS) == WAIT_TIMEOUT) {
            const bool stopped = ServiceStopped(service, &serviceProcess, &code);
            if (!stopped && Remaining(startTick, boundMs) > 0) continue;
            DWORD got = 0;
            CancelIo(pipe);
            GetOverlappedResult(pipe, &overlapped, &got, TRUE);
            if (!stopped) return Unanswered(out, boundMs);
            return Fail(out, "the QuarctlSession service stopped without taking the request", code,
                        "Look in the System event log, and check that the service is this quarctl-session.exe "
                        "(sc.exe qc QuarctlSession).");
        }
    }
    ULONG client = 0;
    if (!GetNamedPipeClientProcessId(pipe, &client)) {
        return Fail(out, "GetNamedPipeClientProcessId failed", GetLastError(), ADVICE_ERROR);
    }
    ServiceStopped(service, &serviceProcess, &code);
    if (client != 0 && (client == startedProcess || client == serviceProcess)) return GOING_ON;
    if (LocalSystem()) {
        char clientText[16];
        char serviceText[16];
        _snprintf(clientText, sizeof clientText, "%lu", client);
        _snprintf(serviceText, sizeof serviceText, "%lu", serviceProcess != 0 ? serviceProcess : startedProcess);
        const char* strings[] = {clientText, pipeName, serviceText};
        LogEvent(EVENTLOG_WARNING_TYPE, MSG_WRONG_CLIENT, 3, strings);
    }
    WriteLine(out, "quarctl-session: process %lu opened the request's pipe, not the %s service (process %lu), so "
                   "nothing is read from it.",
              client, SERVICE_NAME, serviceProcess != 0 ? serviceProcess : startedProcess);
    WriteLine(out, "What to do: find that process, which may be hostile, then try again.");
    return EXIT_BRIDGE_FAILED;
}

// --- The service's side ---

SERVICE_STATUS_HANDLE statusHandle = NULL;
// Set by a STOP: the request in progress ends quarctl and answers at once.
HANDLE stopRequested = NULL;
// What a STOP takes: quarctl ended and drained (about 2 s), then the lines.
const DWORD STOP_WAIT_HINT_MS = 5000;

void Report(DWORD state, DWORD exitCode) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = exitCode;
    status.dwWaitHint = state == SERVICE_STOP_PENDING ? STOP_WAIT_HINT_MS : 0;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI Control(DWORD control, DWORD /*type*/, void* /*data*/, void* /*context*/) {
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING, 0);
        SetEvent(stopRequested);
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

// Whether the process at the pipe's other end may hand over a request:
// NO_ERROR, or why not; its account, where it could be read, in account.
DWORD CheckRequester(DWORD processId, char* account, size_t accountSize) {
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (process.get() == NULL) return GetLastError();
    HANDLE handle = NULL;
    if (!OpenProcessToken(process.get(), TOKEN_QUERY, &handle)) return GetLastError();
    UniqueHandle token(handle);
    TokenUserBuffer buffer;
    const PSID user = TokenUserSid(token.get(), &buffer);
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    if (user == NULL) return GetLastError();
    AccountName(user, account, accountSize);
    if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size)) return GetLastError();
    GetTokenInformation(token.get(), TokenGroups, NULL, 0, &size);
    auto* groups = static_cast<TOKEN_GROUPS*>(malloc(size));
    if (groups == NULL) return ERROR_NOT_ENOUGH_MEMORY;
    bool administrators = false;
    if (GetTokenInformation(token.get(), TokenGroups, groups, size, &size)) {
        for (DWORD i = 0; i < groups->GroupCount; ++i) {
            administrators = administrators || (IsWellKnownSid(groups->Groups[i].Sid, WinBuiltinAdministratorsSid) &&
                                                (groups->Groups[i].Attributes & SE_GROUP_ENABLED) != 0);
        }
    }
    free(groups);
    return TrustedRequester(user, elevation.TokenIsElevated != 0, administrators) ? NO_ERROR : ERROR_ACCESS_DENIED;
}

// What a served request's events say of it: who asked, for what.
struct Request {
    char account[300];
    char process[16];
    char session[16];
    const char* keyword;
};

// The events of a request that reached quarctl or failed to start it.
void LogOutcome(const Request& request, const LaunchResult& launched, int status, DWORD startTick) {
    char first[16];
    char second[16];
    if (launched.outcome == LaunchOutcome::Failed) {
        _snprintf(first, sizeof first, "%lu", launched.error);
        const char* strings[] = {request.account, request.process, request.session, request.keyword,
                                 launched.failedCall, first};
        LogEvent(EVENTLOG_ERROR_TYPE, MSG_START_FAILED, 6, strings);
        return;
    }
    _snprintf(first, sizeof first, "%d", status);
    _snprintf(second, sizeof second, "%lu", GetTickCount() - startTick);
    const char* strings[] = {request.account, request.process, request.session, request.keyword, first, second};
    LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_REQUEST_SERVED, 6, strings);
}

// A refusal's event: its text, where it has one, then a number.
void LogRefusal(DWORD id, const char* text, unsigned long number) {
    char numberText[16];
    _snprintf(numberText, sizeof numberText, "%lu", number);
    const char* strings[] = {text, numberText};
    if (text == NULL) {
        LogEvent(EVENTLOG_WARNING_TYPE, id, 1, &strings[1]);
    } else {
        LogEvent(EVENTLOG_WARNING_TYPE, id, 2, strings);
    }
}

// The one bad argument that is answered through the pipe, not refused.
const char KEYWORD_TOO_LONG[] = "the keyword, over 256 bytes";

// Which of the service's arguments cannot be read, or NULL.
const char* BadArgument(DWORD argc, char** argv, unsigned long long* session, unsigned long long* deadline) {
    if (argc < 5 || argc > 6) return "their count";
    if (!ValidPipeName(argv[1])) return "the pipe's name";
    if (!ReadDecimal(argv[2], MAX_SESSION_ID, session)) return "the session";
    if (!ReadDecimal(argv[3], ~0ull, deadline)) return "the deadline";
    if (!HexDigits(argv[4], RANDOM_DIGITS)) return "the token";
    if (argc == 6 && strlen(argv[5]) > SERVICE_MAX_REQUEST) return KEYWORD_TOO_LONG;
    return NULL;
}

// Serves the request in the service's arguments: the pipe, the session,
// the bridge's deadline in GetTickCount64's terms, the request's token and
// the keyword, if any. The service's exit code: 0 once the answer is in
// the pipe, else the error that kept it out. Each request and refusal is
// an event of the QuarctlSession source.
DWORD Serve(DWORD argc, char** argv) {
    const DWORD startTick = GetTickCount();
    unsigned long long session = 0;
    unsigned long long deadline = 0;
    const char* bad = BadArgument(argc, argv, &session, &deadline);
    // A keyword too long is answered through the pipe, the rest not at all.
    const bool longKeyword = bad == KEYWORD_TOO_LONG;
    if (bad != NULL) LogRefusal(MSG_REFUSED_ARGUMENTS, bad, argc - 1); // argv[0] is the service's name
    if (bad != NULL && !longKeyword) return ERROR_INVALID_PARAMETER;
    // Past its deadline the bridge has given up: nothing may act for it.
    if (GetTickCount64() >= deadline) {
        LogRefusal(MSG_PAST_DEADLINE, NULL, static_cast<unsigned long>(GetTickCount64() - deadline));
        return ERROR_TIMEOUT;
    }
    // Identification only: the pipe's server cannot act as SYSTEM through us.
    UniqueHandle pipe(CreateFileA(argv[1], GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                  SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, NULL));
    ULONG server = 0;
    if (pipe.get() == INVALID_HANDLE_VALUE || !GetNamedPipeServerProcessId(pipe.get(), &server)) {
        const DWORD error = GetLastError();
        if (pipe.get() == INVALID_HANDLE_VALUE) pipe.release();
        LogRefusal(MSG_PIPE_NOT_OPENED, argv[1], error);
        return error;
    }
    Request request = {"unknown", "", "", argc == 6 ? argv[5] : NULL};
    _snprintf(request.process, sizeof request.process, "%lu", server);
    _snprintf(request.session, sizeof request.session, "%lu", static_cast<DWORD>(session));
    const DWORD refused = CheckRequester(server, request.account, sizeof request.account);
    if (refused != NO_ERROR) {
        char errorText[16];
        _snprintf(errorText, sizeof errorText, "%lu", refused);
        const char* strings[] = {request.account, request.process, errorText};
        LogEvent(EVENTLOG_WARNING_TYPE, MSG_REFUSED_REQUESTER, 3, strings);
        return refused;
    }
    // The token first: the bridge reads nothing that does not start with it.
    DWORD written = 0;
    if (!WriteFile(pipe.get(), argv[4], RANDOM_DIGITS, &written, NULL)) return GetLastError();

    int status = EXIT_BRIDGE_FAILED;
    char toolPath[MAX_PATH] = "";
    const ULONGLONG now = GetTickCount64();
    const bool late = now >= deadline;
    LaunchResult launched = {LaunchOutcome::Failed, 0, "the request", ERROR_INVALID_PARAMETER};
    if (longKeyword) {
        WriteLine(pipe.get(), "quarctl-session: the %s service takes a keyword of at most %u bytes, not %u.",
                  SERVICE_NAME, static_cast<unsigned>(SERVICE_MAX_REQUEST), static_cast<unsigned>(strlen(argv[5])));
        WriteLine(pipe.get(), "What to do: pass one of START, STOP, STATUS or CLOSE.");
    } else if (late) {
        LogRefusal(MSG_PAST_DEADLINE, NULL, static_cast<unsigned long>(now - deadline));
        WriteLine(pipe.get(), "quarctl-session: the %s service took the request past its deadline, so it started "
                              "nothing.", SERVICE_NAME);
        WriteLine(pipe.get(), "What to do: try again.");
    } else if (!ToolBesideUs(toolPath, sizeof toolPath)) {
        launched = {LaunchOutcome::Failed, 0, "GetModuleFileNameA", GetLastError()};
        status = Fail(pipe.get(), "GetModuleFileNameA failed", launched.error, ADVICE_ERROR);
    } else {
        const DWORD bound = deadline - now < TOOL_BOUND_MS ? static_cast<DWORD>(deadline - now) : TOOL_BOUND_MS;
        const RunOptions options = {MustCheckFolder(), false, GetTickCount(), bound, stopRequested, &launched};
        const char* why = NULL;
        status = RunQuarctl(toolPath, request.keyword, static_cast<DWORD>(session), true, pipe.get(), options, &why);
    }
    char trailer[TRAILER_SIZE];
    memcpy(trailer, TRAILER_MARK, sizeof TRAILER_MARK);
    for (size_t i = 0; i < 4; ++i) trailer[sizeof TRAILER_MARK + i] = static_cast<char>(status >> (8 * i) & 0xFF);
    const bool answered = WriteFile(pipe.get(), trailer, sizeof trailer, &written, NULL) != FALSE;
    const DWORD error = GetLastError();
    // Logged once the answer is out, so that the log never delays it.
    if (!longKeyword && !late) {
        if (request.keyword == NULL) request.keyword = "(none)";
        LogOutcome(request, launched, status, startTick);
    }
    return answered ? NO_ERROR : error;
}

void WINAPI ServiceMain(DWORD argc, char** argv) {
    stopRequested = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (stopRequested == NULL) return;
    statusHandle = RegisterServiceCtrlHandlerExA(SERVICE_NAME, Control, NULL);
    if (statusHandle == NULL) return;
    Report(SERVICE_RUNNING, 0);
    Report(SERVICE_STOPPED, Serve(argc, argv));
}

} // namespace

void InstallAdvice(const char* bridge, const FolderCheck& check, DWORD openError, char* text, size_t size) {
    const char* msi = "install it with the MSI, which puts it into Program Files";
    if (openError == 0 && check.safe) {
        _snprintf(text, size, ADVICE_INSTALL_SERVICE, bridge);
    } else if (openError != 0 || check.error != 0) {
        _snprintf(text, size, "%s: who may change %s could not be read (error %lu), so no service should run it "
                  "from there", msi, openError != 0 ? "quarctl.exe beside it" : check.object,
                  openError != 0 ? openError : check.error);
    } else {
        // A LocalSystem service runs whatever its file holds: the sc.exe line
        // would hand this machine to whoever may change that file.
        _snprintf(text, size, "%s, or into a folder that only administrators can change: %s can be changed by %s, "
                  "so no service should run from there", msi, check.object, check.account);
    }
    text[size - 1] = '\0';
}

bool RandomHex(char* digits, size_t count) {
    unsigned char random[64];
    const auto generate = SYSTEM_FUNCTION("bcrypt.dll", BCryptGenRandom);
    if (count > 2 * sizeof random || count % 2 != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (generate == NULL) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    const NTSTATUS status = generate(NULL, random, static_cast<ULONG>(count / 2), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status != 0) {
        SetLastError(static_cast<DWORD>(status));
        return false;
    }
    for (size_t i = 0; i < count / 2; ++i) {
        digits[2 * i] = "0123456789abcdef"[random[i] >> 4];
        digits[2 * i + 1] = "0123456789abcdef"[random[i] & 0xF];
    }
    digits[count] = '\0';
    return true;
}

bool NewPipeName(char* name, size_t size) {
    const size_t prefix = sizeof PIPE_PREFIX - 1;
    if (size < prefix + RANDOM_DIGITS + 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    memcpy(name, PIPE_PREFIX, prefix);
    return RandomHex(name + prefix, RANDOM_DIGITS);
}

int RunThroughService(const char* pipeName, DWORD session, const char* keyword, const char* why, DWORD startTick,
                      DWORD boundMs, HANDLE out) {
    char reason[512];
    _snprintf(reason, sizeof reason, why, session);
    reason[sizeof reason - 1] = '\0';
    if (keyword != NULL && strlen(keyword) > SERVICE_MAX_REQUEST) {
        WriteLine(out, "quarctl-session: %s, and the %s service takes a keyword of at most %u bytes, not %u.", reason,
                  SERVICE_NAME, static_cast<unsigned>(SERVICE_MAX_REQUEST), static_cast<unsigned>(strlen(keyword)));
        WriteLine(out, "What to do: pass one of START, STOP, STATUS or CLOSE.");
        return EXIT_BRIDGE_FAILED;
    }
    HANDLE created = INVALID_HANDLE_VALUE;
    int status = CreateRequestPipe(pipeName, out, &created);
    if (status != GOING_ON) return status;
    UniqueHandle pipe(created);

    UniqueServiceHandle manager(OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT));
    if (manager.get() == NULL) return Fail(out, "OpenSCManagerA failed", GetLastError(), ADVICE_ERROR);
    UniqueServiceHandle service(OpenServiceA(manager.get(), SERVICE_NAME, SERVICE_START | SERVICE_QUERY_STATUS));
    if (service.get() == NULL) {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return NotInstalled(out, reason);
        return Fail(out, "OpenServiceA for QuarctlSession failed", GetLastError(), ADVICE_ERROR);
    }
    // Known to the service alone: a squatter that took our pipe's name
    // after a bridge died, or a process that reuses the service's id,
    // cannot make an answer that starts with it.
    char token[RANDOM_DIGITS + 1];
    if (!RandomHex(token, RANDOM_DIGITS)) return Fail(out, "BCryptGenRandom failed", GetLastError(), ADVICE_ERROR);
    DWORD startedProcess = 0;
    status =
        StartRequest(service.get(), pipeName, session, keyword, token, startTick, boundMs, out, &startedProcess);
    if (status != GOING_ON) return status;
    UniqueHandle event(CreateEventA(NULL, TRUE, FALSE, NULL));
    if (event.get() == NULL) return Fail(out, "CreateEventA failed", GetLastError(), ADVICE_ERROR);
    status = AwaitService(pipeName, pipe.get(), event.get(), service.get(), startedProcess, startTick, boundMs, out);
    if (status != GOING_ON) return status;
    return RelayAnswer(pipe.get(), token, startTick, boundMs, out);
}

int RelayAnswer(HANDLE pipe, const char* token, DWORD startTick, DWORD boundMs, HANDLE out) {
    UniqueHandle event(CreateEventA(NULL, TRUE, FALSE, NULL));
    if (event.get() == NULL) return Fail(out, "CreateEventA failed", GetLastError(), ADVICE_ERROR);
    const int status = Relay(pipe, event.get(), token, startTick, boundMs, out);
    if (status >= 0 && status <= EXIT_BRIDGE_FAILED) return status;
    if (status == RELAY_LATE) return Unanswered(out, boundMs);
    if (status == RELAY_WRONG_TOKEN) {
        WriteLine(out, "quarctl-session: the answer through the request's pipe did not start with the request's "
                       "token, so it is not the %s service's, and nothing more is read from it.",
                  SERVICE_NAME);
        WriteLine(out, "What to do: find the process that wrote it, which may be hostile, then try again.");
    } else if (status == RELAY_CAPPED) {
        WriteLine(out, "quarctl-session: the %s service wrote more than %lu bytes, which it never does, so the rest "
                       "was not read.",
                  SERVICE_NAME, static_cast<unsigned long>(SERVICE_OUTPUT_CAP));
        WriteLine(out, "What to do: look in the System event log for what the service ran, then try again.");
    } else {
        WriteLine(out, "quarctl-session: the %s service ended without handing back quarctl's status.", SERVICE_NAME);
        WriteLine(out, "What to do: look in the System event log for why it ended, then try again.");
    }
    return EXIT_BRIDGE_FAILED;
}

int RunRouted(const char* toolPath, const char* keyword, DWORD session, bool asSessionUser, HANDLE out,
              const RunOptions& options) {
    const char* why = NULL;
    const int status = RunQuarctl(toolPath, keyword, session, asSessionUser, out, options, &why);
    if (status != ROUTE_TO_SERVICE) return status;
    char pipe[64];
    if (!NewPipeName(pipe, sizeof pipe)) return Fail(out, "BCryptGenRandom failed", GetLastError(), ADVICE_ERROR);
    return RunThroughService(pipe, session, keyword, why, options.startTick, options.boundMs, out);
}

int RunService(HANDLE out) {
    static char name[sizeof SERVICE_NAME];
    memcpy(name, SERVICE_NAME, sizeof SERVICE_NAME);
    const SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {NULL, NULL}};
    if (StartServiceCtrlDispatcherA(table)) return 0;
    if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
        WriteLine(out, "quarctl-session: --service is for the service control manager, which starts the %s service.",
                  SERVICE_NAME);
        WriteLine(out, "What to do: run quarctl-session [--session N] [START|STOP|STATUS|CLOSE] instead.");
        return EXIT_BRIDGE_FAILED;
    }
    return Fail(out, "StartServiceCtrlDispatcherA failed", GetLastError(), ADVICE_ERROR);
}
