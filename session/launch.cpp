#include "launch.h"

#include <stdlib.h>
#include <userenv.h>

#include "../serverlink/unique_handle.h"
#include "sessions.h"

namespace {

// How often the relay looks for output while the child runs.
const DWORD RELAY_POLL_MS = 5;

LaunchResult Failure(const char* call) {
    return {LaunchOutcome::Failed, 0, call, GetLastError()};
}

// How long the relay may take for what a child left in the pipe at its end.
const DWORD DRAIN_MS = 1000;

// Copies what the pipe holds now to out, without waiting for more, until
// boundMs from start and TOOL_OUTPUT_CAP bytes in all (*relayed so far);
// false once more than the cap was offered. Any user of the child's
// session can duplicate its output handle and write without end: the cap
// and the clock, not the pipe running dry, end the loop.
bool RelayAvailable(HANDLE pipe, HANDLE out, DWORD* relayed, DWORD start, DWORD boundMs) {
    char buffer[4096];
    DWORD available = 0;
    while (GetTickCount() - start < boundMs && PeekNamedPipe(pipe, NULL, 0, NULL, &available, NULL) &&
           available > 0) {
        if (*relayed >= TOOL_OUTPUT_CAP) return false;
        const DWORD room = TOOL_OUTPUT_CAP - *relayed;
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, room < sizeof buffer ? room : sizeof buffer, &got, NULL) || got == 0) return true;
        *relayed += got;
        // A caller that closed its end loses the output, not the status.
        DWORD written = 0;
        WriteFile(out, buffer, got, &written, NULL);
    }
    return true;
}

// Ends a child that must not run on, and relays what it left, within the cap.
LaunchResult EndChild(HANDLE process, HANDLE pipe, HANDLE out, DWORD* relayed, LaunchOutcome outcome) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 1000);
    if (!RelayAvailable(pipe, out, relayed, GetTickCount(), DRAIN_MS)) outcome = LaunchOutcome::Capped;
    return {outcome, 0, NULL, 0};
}

// The user's environment block, or NULL with the last error set.
void* UserEnvironment(HANDLE userToken) {
    const auto create = SYSTEM_FUNCTION("userenv.dll", CreateEnvironmentBlock);
    void* environment = NULL;
    if (create == NULL || !create(&environment, userToken, FALSE)) return NULL;
    return environment;
}

void FreeEnvironment(void* environment) {
    const auto destroy = SYSTEM_FUNCTION("userenv.dll", DestroyEnvironmentBlock);
    if (environment != NULL && destroy != NULL) destroy(environment);
}

// An attribute list that lets the child inherit these handles alone, so
// that bridges started side by side do not hold each other's pipes.
LPPROC_THREAD_ATTRIBUTE_LIST InheritOnly(HANDLE* handles, size_t count) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(NULL, 1, 0, &size);
    auto* list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(malloc(size));
    if (list == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
        free(list);
        return NULL;
    }
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, count * sizeof(HANDLE), NULL,
                                   NULL)) {
        DeleteProcThreadAttributeList(list);
        free(list);
        return NULL;
    }
    return list;
}

void FreeAttributes(LPPROC_THREAD_ATTRIBUTE_LIST list) {
    DeleteProcThreadAttributeList(list);
    free(list);
}

// Starts the child with the pipe's write end as its standard output and
// error; the attribute list and the environment are made here.
LaunchResult Start(const char* toolPath, char* commandLine, HANDLE userToken, HANDLE pipeWrite, HANDLE nul,
                   DWORD creationFlags, PROCESS_INFORMATION* process) {
    HANDLE inherited[] = {pipeWrite, nul};
    LPPROC_THREAD_ATTRIBUTE_LIST attributes = InheritOnly(inherited, 2);
    if (attributes == NULL) return Failure("UpdateProcThreadAttribute");

    char desktop[] = "winsta0\\default";
    STARTUPINFOEXA startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nul;
    startup.StartupInfo.hStdOutput = pipeWrite;
    startup.StartupInfo.hStdError = pipeWrite;
    startup.lpAttributeList = attributes;
    const DWORD flags = EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW | creationFlags;

    LaunchResult result = {LaunchOutcome::Ended, 0, NULL, 0};
    if (userToken == NULL) {
        if (!CreateProcessA(toolPath, commandLine, NULL, NULL, TRUE, flags, NULL, NULL, &startup.StartupInfo,
                            process)) {
            result = Failure("CreateProcessA");
        }
    } else {
        // The user's own desktop and environment, never the caller's:
        // LocalSystem's environment would point at its own profile.
        startup.StartupInfo.lpDesktop = desktop;
        void* environment = UserEnvironment(userToken);
        if (environment == NULL) {
            result = Failure("CreateEnvironmentBlock");
        } else if (!CreateProcessAsUserA(userToken, toolPath, commandLine, NULL, NULL, TRUE,
                                         flags | CREATE_UNICODE_ENVIRONMENT, environment, NULL, &startup.StartupInfo,
                                         process)) {
            result = Failure("CreateProcessAsUserA");
        }
        const DWORD error = GetLastError();
        FreeEnvironment(environment);
        SetLastError(error);
    }
    FreeAttributes(attributes);
    return result;
}

} // namespace

JobFacts CurrentJob() {
    JobFacts job = {true, false, 0};
    BOOL inJob = TRUE;
    // Unknown counts as in a job: the breakaway is then tried.
    if (IsProcessInJob(GetCurrentProcess(), NULL, &inJob)) job.inJob = inJob != FALSE;
    if (!job.inJob) return job;
    // A NULL handle: the job of this process.
    JOBOBJECT_BASIC_LIMIT_INFORMATION limits = {};
    job.limitsKnown = QueryInformationJobObject(NULL, JobObjectBasicLimitInformation, &limits, sizeof limits, NULL) != 0;
    job.limitFlags = job.limitsKnown ? limits.LimitFlags : 0;
    return job;
}

LaunchResult LaunchTool(const char* toolPath, char* commandLine, HANDLE userToken, HANDLE out, DWORD boundMs,
                        DWORD creationFlags, UniqueHandle* heldTool, HANDLE stop) {
    // A stop that came first starts nothing.
    if (stop != NULL && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return {LaunchOutcome::Stopped, 0, NULL, 0};
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, NULL, TRUE};
    HANDLE read = NULL;
    HANDLE write = NULL;
    // A buffer large enough that quarctl never blocks on a write.
    if (!CreatePipe(&read, &write, &inheritable, 1 << 16)) return Failure("CreatePipe");
    UniqueHandle pipeRead(read);
    UniqueHandle pipeWrite(write);
    if (!SetHandleInformation(pipeRead.get(), HANDLE_FLAG_INHERIT, 0)) return Failure("SetHandleInformation");
    HANDLE nulHandle =
        CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0, NULL);
    if (nulHandle == INVALID_HANDLE_VALUE) return Failure("CreateFileA");
    UniqueHandle nul(nulHandle);

    PROCESS_INFORMATION started = {};
    LaunchResult result = Start(toolPath, commandLine, userToken, pipeWrite.get(), nul.get(), creationFlags, &started);
    if (result.outcome == LaunchOutcome::Failed) return result;
    if (heldTool != NULL) CloseHandle(heldTool->release());
    UniqueHandle process(started.hProcess);
    UniqueHandle thread(started.hThread);
    // Only the child holds the write end now, so its output ends with it.
    CloseHandle(pipeWrite.release());

    const DWORD start = GetTickCount();
    const HANDLE waits[] = {process.get(), stop};
    DWORD relayed = 0;
    for (;;) {
        if (!RelayAvailable(pipeRead.get(), out, &relayed, start, boundMs)) {
            return EndChild(process.get(), pipeRead.get(), out, &relayed, LaunchOutcome::Capped);
        }
        // The clock is read between relays, so a writer that keeps the
        // pipe full cannot hold the loop past the bound.
        if (GetTickCount() - start >= boundMs) {
            return EndChild(process.get(), pipeRead.get(), out, &relayed, LaunchOutcome::TimedOut);
        }
        const DWORD wait = WaitForMultipleObjects(stop == NULL ? 1 : 2, waits, FALSE, RELAY_POLL_MS);
        if (wait == WAIT_OBJECT_0) break;
        if (wait == WAIT_OBJECT_0 + 1) {
            return EndChild(process.get(), pipeRead.get(), out, &relayed, LaunchOutcome::Stopped);
        }
        if (wait == WAIT_FAILED) return Failure("WaitForMultipleObjects");
    }
    // Everything the child wrote is in the pipe by the time it has ended.
    if (!RelayAvailable(pipeRead.get(), out, &relayed, GetTickCount(), DRAIN_MS)) {
        return {LaunchOutcome::Capped, 0, NULL, 0};
    }
    if (!GetExitCodeProcess(process.get(), &result.status)) return Failure("GetExitCodeProcess");
    return result;
}
