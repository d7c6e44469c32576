#include "process.h"

#include <tlhelp32.h>

#include <fstream>
#include <thread>

namespace {

HANDLE MakeJob(DWORD limitFlags) {
    HANDLE handle = CreateJobObjectA(NULL, NULL);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | limitFlags;
    if (handle != NULL) SetInformationJobObject(handle, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return handle;
}

// Every child joins a job, so none outlives the test program even when
// the test program itself is killed: one job for each breakaway setting
// (none, JOB_OBJECT_LIMIT_BREAKAWAY_OK, JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK).
HANDLE ChildJob(DWORD limitFlags) {
    static const HANDLE jobs[] = {MakeJob(0), MakeJob(JOB_OBJECT_LIMIT_BREAKAWAY_OK),
                            MakeJob(JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK)};
    return jobs[limitFlags == JOB_OBJECT_LIMIT_BREAKAWAY_OK ? 1 : limitFlags == 0 ? 0 : 2];
}

std::string ReadAvailable(HANDLE pipe) {
    std::string text;
    char buffer[4096];
    DWORD available = 0;
    while (PeekNamedPipe(pipe, NULL, 0, NULL, &available, NULL) && available > 0) {
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, sizeof buffer, &got, NULL) || got == 0) break;
        text.append(buffer, got);
    }
    return text;
}

// Starts a child in the job. The handles in inherit, which must be
// inheritable, are passed on to it alone: children started at the same
// time from other threads never hold each other's pipes, so no lock holds
// one start behind another (under emulation a start takes tens of seconds).
bool StartProcess(const std::string& program, const std::string& commandLine, const STARTUPINFOA* startup,
                  std::vector<HANDLE> inherit, PROCESS_INFORMATION* process, DWORD jobLimits = 0) {
    std::string line = commandLine; // CreateProcessA may write to it
    STARTUPINFOEXA extended = {};
    extended.StartupInfo = *startup;
    extended.StartupInfo.cb = sizeof extended;
    // cppcheck-suppress variableScope ; the list must outlive the CreateProcessA below
    std::vector<char> attributes;
    DWORD flags = CREATE_SUSPENDED;
    if (!inherit.empty()) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(NULL, 1, 0, &size);
        attributes.resize(size);
        extended.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
        if (!InitializeProcThreadAttributeList(extended.lpAttributeList, 1, 0, &size) ||
            !UpdateProcThreadAttribute(extended.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit.data(),
                                       inherit.size() * sizeof(HANDLE), NULL, NULL)) {
            return false;
        }
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    bool started = false;
    // Wine now and then fails one of many starts at once with
    // ERROR_INTERNAL_ERROR; a real failure fails every try.
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        if (attempt > 0) Sleep(100);
        started = CreateProcessA(program.c_str(), line.data(), NULL, NULL, !inherit.empty(), flags, NULL, NULL,
                                 &extended.StartupInfo, process) != 0;
    }
    if (extended.lpAttributeList != NULL) DeleteProcThreadAttributeList(extended.lpAttributeList);
    if (!started) return false;
    AssignProcessToJobObject(ChildJob(jobLimits), process->hProcess);
    ResumeThread(process->hThread);
    return true;
}

} // namespace

std::string SiblingPath(const char* fileName) {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string result(path, length);
    return result.substr(0, result.find_last_of("\\/") + 1) + fileName;
}

namespace {
// An environment variable's value, or "" when it is not set.
std::string Variable(const char* name) {
    char value[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA(name, value, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::string() : std::string(value, length);
}
} // namespace

std::string ProgramBeside(const char* fileName) {
    const std::string folder = Variable("QUARCTL_TEST_PROGRAMS");
    return folder.empty() ? SiblingPath(fileName) : folder + "/" + fileName;
}

std::string ToolPath() {
    const std::string tool = Variable("QUARCTL_TEST_TOOL");
    return tool.empty() ? ProgramBeside("quarctl.exe") : tool;
}

std::string StandInPath() {
    const std::string standIn = Variable("QUARCTL_TEST_STANDIN");
    return standIn.empty() ? SiblingPath("standin.exe") : standIn;
}

bool Emulated() {
    return !Variable("QUARCTL_TEST_EMULATED").empty();
}

std::string Crlf(const std::string& text) {
    std::string result;
    for (char c : text) {
        if (c == '\n') result += '\r';
        result += c;
    }
    return result;
}

std::string QuoteArgument(const std::string& argument) {
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes double only where a quote follows them.
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

ProcessResult RunProgram(const std::string& program, const std::string& commandLine, DWORD timeoutMs,
                         DWORD jobLimits) {
    ProcessResult result;
    HANDLE outRead = NULL;
    HANDLE outWrite = NULL;
    HANDLE errRead = NULL;
    HANDLE errWrite = NULL;
    // Large buffers: the child never blocks on a write, so the pipes can be
    // read once it has ended.
    // Both write ends inheritable, passed on to this child alone.
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, NULL, TRUE};
    if (!CreatePipe(&outRead, &outWrite, &inheritable, 1 << 20)) {
        result.timedOut = true;
        return result;
    }
    if (!CreatePipe(&errRead, &errWrite, &inheritable, 1 << 20)) {
        CloseHandle(outRead);
        CloseHandle(outWrite);
        result.timedOut = true;
        return result;
    }
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = NULL;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION process = {};
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const bool started = StartProcess(program, commandLine, &startup, {outWrite, errWrite}, &process, jobLimits);
    const DWORD startError = GetLastError();
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (started) {
        if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
            result.timedOut = true;
            TerminateProcess(process.hProcess, 255);
            WaitForSingleObject(process.hProcess, 5000);
        }
        QueryPerformanceCounter(&end);
        result.elapsedMs = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                           static_cast<double>(frequency.QuadPart);
        GetExitCodeProcess(process.hProcess, &result.status);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        result.err = "cannot start " + program + ": error " + std::to_string(startError);
        result.timedOut = true;
    }
    result.out = ReadAvailable(outRead);
    result.err += ReadAvailable(errRead);
    CloseHandle(outRead);
    CloseHandle(errRead);
    return result;
}

ProcessResult RunWithArguments(const std::string& program, const std::string& argv0,
                               const std::vector<std::string>& arguments, DWORD timeoutMs, DWORD jobLimits) {
    std::string commandLine = argv0;
    for (const std::string& argument : arguments) commandLine += " " + QuoteArgument(argument);
    return RunProgram(program, commandLine, timeoutMs, jobLimits);
}

ProcessResult RunTool(const std::vector<std::string>& arguments, DWORD timeoutMs) {
    return RunWithArguments(ToolPath(), "quarctl", arguments, timeoutMs);
}

ProcessResult RunDoctor(const std::vector<std::string>& arguments, DWORD timeoutMs) {
    return RunWithArguments(ProgramBeside("quarctl-doctor.exe"), "quarctl-doctor", arguments, timeoutMs);
}

std::vector<ProcessResult> RunToolsAtOnce(const std::vector<std::string>& keywords) {
    std::vector<ProcessResult> runs(keywords.size());
    std::vector<std::thread> threads;
    threads.reserve(keywords.size());
    for (size_t i = 0; i < keywords.size(); ++i) {
        threads.emplace_back([&runs, &keywords, i] { runs[i] = RunTool({keywords[i]}, 120000); });
    }
    for (std::thread& thread : threads) thread.join();
    return runs;
}

StandIn::StandIn(const std::string& options, bool logRequests) {
    static LONG serial = 0;
    const std::string tag = std::to_string(GetCurrentProcessId()) + "-" + std::to_string(InterlockedIncrement(&serial));
    const std::string eventName = "quarctl-test-ready-" + tag;
    char tempDir[MAX_PATH];
    GetTempPathA(MAX_PATH, tempDir);
    logPath_ = std::string(tempDir) + "quarctl-standin-" + tag + ".log";
    DeleteFileA(logPath_.c_str());

    HANDLE readyEvent = CreateEventA(NULL, TRUE, FALSE, eventName.c_str());
    const std::string program = StandInPath();
    std::string commandLine = "standin " + options + " --ready " + eventName;
    if (logRequests) commandLine += " --log " + QuoteArgument(logPath_);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    if (readyEvent != NULL && StartProcess(program, commandLine, &startup, {}, &process_)) {
        HANDLE waits[] = {readyEvent, process_.hProcess};
        ready_ = WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
    }
    if (readyEvent != NULL) CloseHandle(readyEvent);
}

StandIn::~StandIn() {
    if (process_.hProcess != NULL) {
        TerminateProcess(process_.hProcess, 255);
        WaitForSingleObject(process_.hProcess, 10000);
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }
    DeleteFileA(logPath_.c_str());
}

long StandIn::WaitForExit(DWORD timeoutMs) const {
    DWORD status = 0;
    if (process_.hProcess == NULL || WaitForSingleObject(process_.hProcess, timeoutMs) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process_.hProcess, &status)) {
        return -1;
    }
    return static_cast<long>(status);
}

std::vector<std::string> StandIn::Log() const {
    std::vector<std::string> lines;
    std::ifstream log(logPath_);
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    return lines;
}

int CountToolProcesses() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    int count = 0;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        for (const char* name : {"quarctl.exe", "quarctl-doctor.exe", "quarctl-session.exe", "standin.exe"}) {
            if (lstrcmpiA(entry.szExeFile, name) == 0) ++count;
        }
    }
    CloseHandle(snapshot);
    return count;
}

RegisteredService::RegisteredService(const std::string& bridge)
    : manager_(OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS)) {
    const std::string command = "\"" + bridge + "\" --service";
    service_ = CreateServiceA(manager_, "QuarctlSession", "QUARCTL session bridge", SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(),
                              NULL, NULL, NULL, NULL, NULL);
}

RegisteredService::~RegisteredService() {
    // A service deleted before it has stopped stays registered a while, and
    // the next test's registration of the name would fail with 1073.
    SERVICE_STATUS status = {};
    for (int i = 0; i < 100 && service_ != NULL && QueryServiceStatus(service_, &status) &&
                    status.dwCurrentState != SERVICE_STOPPED;
         ++i) {
        Sleep(50);
    }
    for (int i = 0; i < 100 && CountToolProcesses() > 0; ++i) Sleep(50);
    if (service_ != NULL) DeleteService(service_);
    if (service_ != NULL) CloseServiceHandle(service_);
    if (manager_ != NULL) CloseServiceHandle(manager_);
}
