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

// Copies what the pipe holds now to out, without waiting for more.
void RelayAvailable(HANDLE pipe, HANDLE out) {
    char buffer[4096];
    DWORD available = 0;
    while (PeekNamedPipe(pipe, NULL, 0, NULL, &available, NULL) && available > 0) {
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, sizeof buffer, &got, NULL) || got == 0) return;
        // A caller that closed its end loses the output, not the status.
        DWORD written = 0;
        WriteFile(out, buffer, got, &written, NULL);
    }
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
                        DWORD creationFlags, UniqueHandle* heldTool) {
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
    for (;;) {
        RelayAvailable(pipeRead.get(), out);
        const DWORD wait = WaitForSingleObject(process.get(), RELAY_POLL_MS);
        if (wait == WAIT_OBJECT_0) break;
        if (wait == WAIT_FAILED) return Failure("WaitForSingleObject");
        if (GetTickCount() - start >= boundMs) {
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), 1000);
            RelayAvailable(pipeRead.get(), out);
            return {LaunchOutcome::TimedOut, 0, NULL, 0};
        }
    }
    // Everything the child wrote is in the pipe by the time it has ended.
    RelayAvailable(pipeRead.get(), out);
    if (!GetExitCodeProcess(process.get(), &result.status)) return Failure("GetExitCodeProcess");
    return result;
}
