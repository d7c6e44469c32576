// quarctl-session as callers see it: the same bytes and status as quarctl
// itself, its keyword passed on unchanged, its own failures with status 2,
// and the launch through a user's token, in-process.
#include <gtest/gtest.h>

#include <windows.h>
#include <wtsapi32.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../session/bridge.h"
#include "../session/launch.h"
#include "../session/service.h"
#include "../session/sessions.h"
#include "desktop_test.h"

namespace {

using Bridge = DesktopTest;

ProcessResult RunBridge(const std::vector<std::string>& arguments, DWORD timeoutMs = 30000) {
    return RunWithArguments(SiblingPath("quarctl-session.exe"), "quarctl-session", arguments, timeoutMs);
}

// A folder of its own holding a copy of the bridge and, unless fake is
// NULL, the program fake copied in as quarctl.exe; removed with the object.
class BridgeFolder {
public:
    explicit BridgeFolder(const char* fake, const char* suffix = "") {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        folder_ = std::string(temp) + "quarctl-bridge-" + std::to_string(GetCurrentProcessId()) + suffix;
        CreateDirectoryA(folder_.c_str(), NULL);
        ok_ = CopyFileA(SiblingPath("quarctl-session.exe").c_str(), Bridge().c_str(), FALSE) != 0 &&
              (fake == NULL || CopyFileA(SiblingPath(fake).c_str(), Tool().c_str(), FALSE) != 0);
    }
    ~BridgeFolder() {
        DeleteFileA(Bridge().c_str());
        DeleteFileA(Tool().c_str());
        RemoveDirectoryA(folder_.c_str());
    }
    BridgeFolder(const BridgeFolder&) = delete;
    BridgeFolder& operator=(const BridgeFolder&) = delete;

    bool ok() const { return ok_; }
    std::string Folder() const { return folder_; }
    std::string Bridge() const { return folder_ + "\\quarctl-session.exe"; }
    std::string Tool() const { return folder_ + "\\quarctl.exe"; }
    ProcessResult Run(const std::vector<std::string>& arguments, DWORD timeoutMs = 30000) const {
        return RunWithArguments(Bridge(), "quarctl-session", arguments, timeoutMs);
    }

private:
    std::string folder_;
    bool ok_ = false;
};

// What a run in this process writes to its output, read meanwhile, and
// its status.
ProcessResult RunInProcess(const std::function<int(HANDLE)>& run) {
    HANDLE read = NULL;
    HANDLE write = NULL;
    ProcessResult result;
    if (!CreatePipe(&read, &write, NULL, 1 << 16)) return result;
    std::thread reader([read, &result] {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(read, buffer, sizeof buffer, &got, NULL) && got > 0) result.out.append(buffer, got);
    });
    const DWORD start = GetTickCount();
    const int status = run(write);
    result.elapsedMs = GetTickCount() - start;
    CloseHandle(write);
    reader.join();
    result.status = static_cast<DWORD>(status);
    CloseHandle(read);
    return result;
}

// The service's trailer for a status, as the wire carries it.
std::string Trailer(char status) {
    return std::string("\0QSB", 4) + status + std::string(3, '\0');
}

// A pipe made as the bridge makes the request's; a client writes stream
// into it and closes its end, unless hold, which keeps it open until the
// pipe is done with.
class ServiceStream {
public:
    ServiceStream(const std::string& stream, bool hold) {
        char name[64];
        if (!NewPipeName(name, sizeof name)) return;
        pipe_ = CreateNamedPipeA(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, 0, 1, 0, 1 << 16, 0, NULL);
        client_ = CreateFileA(name, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        writer_ = std::thread([this, stream, hold] {
            DWORD written = 0;
            WriteFile(client_, stream.data(), static_cast<DWORD>(stream.size()), &written, NULL);
            if (hold) return;
            CloseHandle(client_);
            client_ = INVALID_HANDLE_VALUE;
        });
    }
    ~ServiceStream() {
        CloseHandle(pipe_); // ends a write that still waits
        writer_.join();
        if (client_ != INVALID_HANDLE_VALUE) CloseHandle(client_);
    }
    ServiceStream(const ServiceStream&) = delete;
    ServiceStream& operator=(const ServiceStream&) = delete;
    HANDLE pipe() const { return pipe_; }

private:
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE client_ = INVALID_HANDLE_VALUE;
    std::thread writer_;
};

// Waits up to 10 s for the service to reach state, or for event; its status.
SERVICE_STATUS AwaitState(SC_HANDLE service, DWORD state, HANDLE event = NULL) {
    SERVICE_STATUS status = {};
    for (int i = 0; i < 500 && QueryServiceStatus(service, &status) && status.dwCurrentState != state; ++i) {
        if (event != NULL && WaitForSingleObject(event, 0) == WAIT_OBJECT_0) break;
        Sleep(20);
    }
    return status;
}

// Starts the registered service as a bridge would, with arguments after the
// pipe's name, on a pipe made here, and reads what the service writes there
// into *stream; the service's exit code, its own (service-specific) where
// it gave one.
DWORD ServeDirectly(SC_HANDLE service, std::vector<std::string> arguments, std::string* stream) {
    char name[64];
    NewPipeName(name, sizeof name);
    HANDLE server = CreateNamedPipeA(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, 0, 1, 0, 1 << 16, 0, NULL);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    ConnectNamedPipe(server, &overlapped);
    arguments.insert(arguments.begin(), name);
    std::vector<const char*> argv;
    argv.reserve(arguments.size());
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    if (!StartServiceA(service, static_cast<DWORD>(argv.size()), argv.data())) return GetLastError();
    AwaitState(service, SERVICE_STOPPED, overlapped.hEvent);
    if (WaitForSingleObject(overlapped.hEvent, 0) == WAIT_OBJECT_0) {
        DWORD got = 0;
        char buffer[4096];
        for (;;) {
            OVERLAPPED reading = {};
            reading.hEvent = overlapped.hEvent;
            if (!ReadFile(server, buffer, sizeof buffer, NULL, &reading) && GetLastError() != ERROR_IO_PENDING) break;
            if (!GetOverlappedResult(server, &reading, &got, TRUE) || got == 0) break;
            stream->append(buffer, got);
        }
    }
    CancelIo(server);
    CloseHandle(server);
    CloseHandle(overlapped.hEvent);
    const SERVICE_STATUS status = AwaitState(service, SERVICE_STOPPED);
    return status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR ? status.dwServiceSpecificExitCode
                                                                   : status.dwWin32ExitCode;
}

// A keyword through the registered service, from a copy of this program in
// a job that forbids breakaway (QUARCTL_TEST_JOB_TOOL set by the caller).
ProcessResult RunThroughTheService(const std::string& keyword) {
    return RunWithArguments(SiblingPath("e2e_test.exe"), "e2e_test",
                            {"--gtest_filter=BridgeCopy.TakesTheWayIntoASession", "--keyword=" + keyword}, 60000, 0);
}

// Waits up to 5 s for the tool's programs to end; how many still run.
int ToolProcessesAfterAWhile() {
    for (int i = 0; i < 100 && CountToolProcesses() > 0; ++i) Sleep(50);
    return CountToolProcesses();
}

// Runs each command line in turn against a fresh stand-in in the given
// mode (NULL: no application), started anew whenever a request ended it.
std::vector<ProcessResult> RunSequence(const char* mode, const std::vector<std::vector<std::string>>& lines,
                                       bool throughBridge) {
    std::vector<ProcessResult> runs;
    std::unique_ptr<StandIn> server;
    for (const std::vector<std::string>& line : lines) {
        if (mode != NULL && (!server || server->WaitForExit(0) != -1)) {
            server = std::make_unique<StandIn>(mode);
            if (!server->ready()) ADD_FAILURE() << "the stand-in did not start: " << mode;
        }
        runs.push_back(throughBridge ? RunBridge(line) : RunTool(line));
    }
    return runs;
}

// quarctl-session KEYWORD gives exactly what quarctl KEYWORD gives.
void ExpectAgreement(const std::vector<const char*>& modes, const std::vector<std::vector<std::string>>& lines) {
    for (const char* mode : modes) {
        SCOPED_TRACE(mode == NULL ? "no application" : mode);
        const std::vector<ProcessResult> tool = RunSequence(mode, lines, false);
        const std::vector<ProcessResult> bridge = RunSequence(mode, lines, true);
        for (size_t i = 0; i < lines.size(); ++i) {
            SCOPED_TRACE(lines[i].empty() ? std::string("(none)") : lines[i][0]);
            EXPECT_FALSE(bridge[i].timedOut);
            EXPECT_EQ(bridge[i].out, tool[i].out);
            EXPECT_EQ(bridge[i].status, tool[i].status);
            EXPECT_EQ(bridge[i].err, "");
        }
    }
}

TEST_F(Bridge, AgreesWithTheTool) {
    ExpectAgreement({"", "--running", NULL, "--die", "--message-only", "--windows 0"},
                    {{}, {"bogus"}, {"STATUS"}, {"START"}, {"STATUS"}, {"STOP"}, {"CLOSE"}});
}

// Each request costs the tool's 5 s bound here.
TEST_F(Bridge, AgreesWithTheToolAgainstAFailingApplication) {
    ExpectAgreement({"--hang", "--silent"}, {{"bogus"}, {"STATUS"}, {"START"}, {"STOP"}, {"CLOSE"}});
}

// Each keyword reaches quarctl's argv[1] unchanged, and the fake's own
// status and both its output streams come back.
TEST_F(Bridge, PassesTheKeywordOnUnchanged) {
    BridgeFolder folder("fake_quarctl.exe");
    ASSERT_TRUE(folder.ok());
    const char* keywords[] = {"STATUS",   "two words", "say \"hi\"", "C:\\dir\\", "trailing\\", "two\\\\",
                              "\\\"",     "\"",        R"(\\server\share)", "& | < > ^ %", "%PATH%", "tab\there",
                              "", "--help", "a\\\"b c"};
    for (const char* keyword : keywords) {
        SCOPED_TRACE(keyword);
        const ProcessResult run = folder.Run({keyword});
        EXPECT_EQ(run.out, std::string("argc=2\n[") + keyword + "]\nto stderr\r\n");
        EXPECT_EQ(run.status, 1u);
        EXPECT_EQ(run.err, "");
    }
    const ProcessResult none = folder.Run({});
    EXPECT_EQ(none.out, "argc=1\nto stderr\r\n");
    EXPECT_EQ(none.status, 1u);
    const ProcessResult own = folder.Run({"--session", std::to_string(OwnSession()), "a b"});
    EXPECT_EQ(own.out, "argc=2\n[a b]\nto stderr\r\n");
    EXPECT_EQ(own.status, 1u);
}

// The bridge's own failures: status 2 and two lines, what failed and what
// to do, within its bound.
TEST_F(Bridge, OwnFailuresExitTwo) {
    BridgeFolder folder("fake_quarctl.exe");
    ASSERT_TRUE(folder.ok());
    struct Case {
        std::vector<std::string> arguments;
        std::string output;
    };
    const Case cases[] = {
        {{"--session", "x", "STATUS"},
         "quarctl-session: bad --session value \"x\": a session id is a number such as 1.\r\n"
         "What to do: quarctl-session [--session N] [START|STOP|STATUS|CLOSE]\r\n"},
        {{"--session"},
         "quarctl-session: bad --session value \"\": a session id is a number such as 1.\r\n"
         "What to do: quarctl-session [--session N] [START|STOP|STATUS|CLOSE]\r\n"},
        {{"--session", "4000", "STATUS"},
         "quarctl-session: there is no session 4000.\r\n"
         "What to do: name a session where a user is logged on (query session lists them).\r\n"},
        // Statuses that are not quarctl's own, as Windows ends a process.
        {{"exit:C0000142"},
         "quarctl-session: quarctl ended with status 0xC0000142: its DLLs failed to initialise, as when it cannot "
         "use its desktop.\r\n"},
        {{"exit:2"}, "quarctl-session: quarctl ended with status 0x00000002, which is not one of its own.\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[0] + " " + (c.arguments.size() > 1 ? c.arguments[1] : ""));
        const ProcessResult run = folder.Run(c.arguments);
        EXPECT_EQ(run.out, c.output);
        EXPECT_EQ(run.status, 2u);
    }

    const ProcessResult hung = folder.Run({"--sleep"}, 60000);
    EXPECT_EQ(hung.out, "quarctl-session: quarctl did not end within 20 s, and was ended.\r\n"
                        "What to do: run quarctl-doctor in session " +
                            std::to_string(OwnSession()) + " to see why the application holds it.\r\n");
    EXPECT_EQ(hung.status, 2u);
    EXPECT_GE(hung.elapsedMs, 20000);
    EXPECT_LE(hung.elapsedMs, 21000);

    DeleteFileA(folder.Tool().c_str());
    const ProcessResult missing = folder.Run({"STATUS"});
    const std::string firstLine = "quarctl-session: no quarctl.exe beside it, at " + folder.Tool() +
                                  ": error 2: ";
    EXPECT_EQ(missing.out.substr(0, firstLine.size()), firstLine);
    EXPECT_NE(missing.out.find("\r\nWhat to do: Keep quarctl-session.exe in the folder that holds quarctl.exe"),
              std::string::npos);
    EXPECT_EQ(missing.status, 2u);

    // Its lines are in the OEM code page, as consoles read them: a folder
    // named with an e acute is 0xE9 in code page 1252, 0x82 in 437 and 850.
    if (GetACP() != 1252 || (GetOEMCP() != 437 && GetOEMCP() != 850)) return;
    BridgeFolder accented(NULL, "-\xE9");
    ASSERT_TRUE(accented.ok());
    std::string oem = "quarctl-session: no quarctl.exe beside it, at " + accented.Tool() + ": error 2: ";
    oem[oem.find('\xE9')] = '\x82';
    EXPECT_EQ(accented.Run({"STATUS"}).out.substr(0, oem.size()), oem);
}

// The path a LocalSystem bridge takes into another session, staged in our
// own: quarctl started with the session user's token, its output relayed.
TEST_F(Bridge, LaunchesThroughAUserToken) {
    StandIn server("--running");
    ASSERT_TRUE(server.ready());
    const auto queryUserToken = SYSTEM_FUNCTION("wtsapi32.dll", WTSQueryUserToken);
    ASSERT_NE(queryUserToken, nullptr);
    HANDLE token = NULL;
    ASSERT_TRUE(queryUserToken(OwnSession(), &token)) << GetLastError();
    HANDLE read = NULL;
    HANDLE write = NULL;
    ASSERT_TRUE(CreatePipe(&read, &write, NULL, 1 << 16));

    const std::string tool = ToolPath();
    std::string commandLine = "\"" + tool + "\" STATUS";
    const LaunchResult result = LaunchTool(tool.c_str(), commandLine.data(), token, write, TOOL_BOUND_MS);
    EXPECT_EQ(result.outcome, LaunchOutcome::Ended) << result.failedCall << " error " << result.error;
    EXPECT_EQ(result.status, 0u);
    char buffer[256];
    DWORD got = 0;
    DWORD available = 0;
    std::string out;
    if (PeekNamedPipe(read, NULL, 0, NULL, &available, NULL) && available > 0 &&
        ReadFile(read, buffer, sizeof buffer, &got, NULL)) {
        out.assign(buffer, got);
    }
    EXPECT_EQ(out, "Quavel is running.\r\n\r\n");
    EXPECT_EQ(server.Log().size(), 1u);
    CloseHandle(read);
    CloseHandle(write);
    CloseHandle(token);
}

// The way into another session, in a copy of this program that a test
// starts inside a job, since a process cannot leave its own: with this
// session's token, the tool that QUARCTL_TEST_JOB_TOOL names, and the
// keyword after "--keyword=", else --job. Without the fixture, whose checks
// would see a service that serves another copy. Skipped when run alone.
TEST(BridgeCopy, TakesTheWayIntoASession) {
    char tool[MAX_PATH];
    if (GetEnvironmentVariableA("QUARCTL_TEST_JOB_TOOL", tool, MAX_PATH) == 0) GTEST_SKIP() << "run by the job tests";
    const char* given = strstr(GetCommandLineA(), "--keyword=");
    const std::string keyword = given == NULL ? "--job" : std::string(given + 10, strcspn(given + 10, "\""));
    const RunOptions options = {false, true, GetTickCount(), TOOL_BOUND_MS, NULL, NULL};
    fflush(stdout);
    ExitProcess(static_cast<UINT>(
        RunRouted(tool, keyword.c_str(), OwnSession(), true, GetStdHandle(STD_OUTPUT_HANDLE), options)));
}

// Inside a caller's job: in the bridge's own session quarctl stays in the
// job unless it lets every child leave; on the way into another session
// (the token path with this session's token, run by a copy of this test
// program, since a process cannot leave its own job) it leaves a job that
// allows it, and from one that forbids it the service starts it, outside
// the job, or, with no service, nothing does.
TEST_F(Bridge, FollowsTheCallersJob) {
    BridgeFolder folder("fake_quarctl.exe");
    ASSERT_TRUE(folder.ok());
    const std::string in = "argc=2\n[--job]\nin a job: yes\nto stderr\r\n";
    const std::string out = "argc=2\n[--job]\nin a job: no\nto stderr\r\n";
    const std::string noService =
        // Wine reads every job's limits as none: the breakaway is tried.
        "quarctl-session: the calling program's job refused to let a process leave it (error 5), so Windows cannot "
        "start one in session " + std::to_string(OwnSession()) + " from it, and the QuarctlSession service, which "
        "can, is not installed.\r\n"
        // Under Wine every folder is its user's: never fit for a service.
        "What to do: install it with the MSI, which puts it into Program Files, or into a folder that only "
        "administrators can change: ";
    const struct { DWORD limits; bool tokenPath, service; std::string out; DWORD status; } cases[] = {
        {0, false, false, in, 1}, {JOB_OBJECT_LIMIT_BREAKAWAY_OK, false, false, in, 1},
        {JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK, false, false, out, 1},
        {JOB_OBJECT_LIMIT_BREAKAWAY_OK, true, false, out, 1}, {0, true, false, noService, 2},
        {0, true, true, out, 1},
    };
    SetEnvironmentVariableA("QUARCTL_TEST_JOB_TOOL", folder.Tool().c_str());
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.limits) + (c.tokenPath ? " token path" : "") + (c.service ? " service" : ""));
        std::unique_ptr<RegisteredService> service;
        if (c.service) service = std::make_unique<RegisteredService>(folder.Bridge());
        ASSERT_TRUE(!service || service->ok()) << GetLastError();
        const ProcessResult run =
            c.tokenPath ? RunWithArguments(SiblingPath("e2e_test.exe"), "e2e_test",
                                           {"--gtest_filter=BridgeCopy.TakesTheWayIntoASession"}, 60000, c.limits)
                        : RunWithArguments(folder.Bridge(), "quarctl-session", {"--job"}, 30000, c.limits);
        // A copy of the test program prints its own lines around the bridge's.
        if (c.tokenPath) {
            EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
        } else {
            EXPECT_EQ(run.out, c.out);
        }
        if (c.status == 2) {
            EXPECT_EQ(run.out.find("argc="), std::string::npos) << "started in a forbidding job";
        }
        EXPECT_EQ(run.status, c.status);
    }
    SetEnvironmentVariableA("QUARCTL_TEST_JOB_TOOL", NULL);
}

// Through the service: two bridges at once, in jobs that forbid breakaway,
// each get their own answer, the second waiting for the first; a pipe of
// the request's name that another created first, or opened first, gets
// nothing, and the bridge says so; the keyword's limit and the service's
// own checks of what it is handed; and a run that must check its folder
// refuses one that its user can change, as under Wine.
TEST_F(Bridge, ReachesTheServiceSafely) {
    BridgeFolder folder("fake_quarctl.exe");
    ASSERT_TRUE(folder.ok());
    {
        RegisteredService service(folder.Bridge());
        ASSERT_TRUE(service.ok()) << GetLastError();
        SetEnvironmentVariableA("QUARCTL_TEST_JOB_TOOL", folder.Tool().c_str());
        std::vector<ProcessResult> runs(2);
        std::vector<std::thread> threads;
        const char* keywords[] = {"--job one", "--job two"};
        for (size_t i = 0; i < runs.size(); ++i) {
            threads.emplace_back([&runs, &keywords, i] {
                runs[i] = RunWithArguments(SiblingPath("e2e_test.exe"), "e2e_test",
                                           {"--gtest_filter=BridgeCopy.TakesTheWayIntoASession",
                                            std::string("--keyword=") + keywords[i]},
                                           60000, 0);
            });
        }
        for (std::thread& thread : threads) thread.join();
        SetEnvironmentVariableA("QUARCTL_TEST_JOB_TOOL", NULL);
        for (size_t i = 0; i < runs.size(); ++i) {
            EXPECT_NE(runs[i].out.find(std::string("argc=2\n[") + keywords[i] + "]\nin a job: no\nto stderr\r\n"),
                      std::string::npos)
                << runs[i].out;
            EXPECT_EQ(runs[i].status, 1u);
        }
    }

    // A pipe of the request's name that another created first: the bridge
    // creates nothing there and hands nothing over. Against a squatter whose
    // instances match the bridge's (inbound, unlimited) only the
    // first-instance flag refuses the create, and Wine ignores that flag,
    // so its value is pinned instead.
    EXPECT_EQ(REQUEST_PIPE_OPEN_MODE, 0x40080001u); // OVERLAPPED | FIRST_PIPE_INSTANCE | ACCESS_INBOUND
    char name[64];
    ASSERT_TRUE(NewPipeName(name, sizeof name));
    HANDLE squatter = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE, 1, 4096, 4096,
                                       0, NULL);
    ASSERT_NE(squatter, INVALID_HANDLE_VALUE);
    OVERLAPPED waiting = {};
    waiting.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    ConnectNamedPipe(squatter, &waiting);
    const ProcessResult refused = RunInProcess([&name](HANDLE out) {
        return RunThroughService(name, OwnSession(), "STATUS", WHY_JOB, GetTickCount(), TOOL_BOUND_MS, out);
    });
    EXPECT_EQ(refused.out, std::string("quarctl-session: another process created the pipe ") + name +
                               " before this one could, so no request is handed over through it.\r\n"
                               "What to do: find that process, which may be hostile, then try again.\r\n");
    EXPECT_EQ(refused.status, 2u);
    DWORD got = 0;
    EXPECT_FALSE(GetOverlappedResult(squatter, &waiting, &got, FALSE)) << "the squatter got a client";
    CancelIo(squatter);
    CloseHandle(squatter);
    CloseHandle(waiting.hEvent);

    // Through the bridge's side in this process, with the service there:
    // a process that opens the request's pipe before the service gets
    // nothing read from it; a name that the service refuses comes back
    // as the service's own error; the keyword's limit on both sides.
    {
        RegisteredService service(folder.Bridge());
        ASSERT_TRUE(service.ok()) << GetLastError();
        char intruded[64];
        ASSERT_TRUE(NewPipeName(intruded, sizeof intruded));
        std::thread intruder([&intruded] {
            HANDLE pipe = INVALID_HANDLE_VALUE;
            for (int i = 0; i < 5000 && pipe == INVALID_HANDLE_VALUE; ++i, Sleep(1)) {
                pipe = CreateFileA(intruded, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
            }
            DWORD written = 0;
            WriteFile(pipe, "intruder", 8, &written, NULL);
            Sleep(500);
            CloseHandle(pipe);
        });
        const ProcessResult first = RunInProcess([&intruded](HANDLE out) {
            return RunThroughService(intruded, OwnSession(), "STATUS", WHY_JOB, GetTickCount(), TOOL_BOUND_MS, out);
        });
        intruder.join();
        // The doctor judges the registered program's folder as the bridge would.
        const std::string doctor = RunDoctor({"--no-send"}).out;
        const std::string bridgeFolder = "quarctl-bridge-" + std::to_string(GetCurrentProcessId());
        EXPECT_NE(doctor.find(bridgeFolder + ":\r\n    A LocalSystem caller would refuse it: "), std::string::npos) << doctor;
        EXPECT_NE(doctor.find(bridgeFolder + "\\quarctl.exe can be changed by "), std::string::npos);
        EXPECT_EQ(first.out.rfind("quarctl-session: process " + std::to_string(GetCurrentProcessId()) +
                                      " opened the request's pipe, not the QuarctlSession service (process ",
                                  0),
                  0u)
            << first.out;
        EXPECT_EQ(first.out.find("intruder"), std::string::npos);
        EXPECT_EQ(first.status, 2u);
        ToolProcessesAfterAWhile();

        const struct { const char* pipe; std::string keyword; std::string out; DWORD status; } requests[] = {
            {R"(\\.\pipe\quarctl-session-not-hex)", "STATUS",
             "quarctl-session: the QuarctlSession service stopped without taking the request: error 87: ", 2},
            {"", std::string(256, 'K'), "argc=2\n[" + std::string(256, 'K') + "]\n", 1},
            {"", std::string(257, 'K'),
             "quarctl-session: the calling program keeps its children in a job that forbids breakaway, so Windows "
             "cannot start a process in session " + std::to_string(OwnSession()) + " from it, and the "
             "QuarctlSession service takes a keyword of at most 256 bytes, not 257.\r\n", 2},
        };
        for (const auto& r : requests) {
            SCOPED_TRACE(r.keyword.substr(0, 8) + " " + std::to_string(r.keyword.size()));
            const ProcessResult run = RunInProcess([&r](HANDLE out) {
                char fresh[64];
                NewPipeName(fresh, sizeof fresh);
                return RunThroughService(r.pipe[0] == '\0' ? fresh : r.pipe, OwnSession(), r.keyword.c_str(),
                                         WHY_JOB, GetTickCount(), TOOL_BOUND_MS, out);
            });
            EXPECT_EQ(run.out.rfind(r.out, 0), 0u) << run.out;
            EXPECT_EQ(run.status, r.status);
            ToolProcessesAfterAWhile();
        }

        // The service's own side, started here as a bridge starts it: the
        // token first, the keyword's limit, and nothing at all past the
        // deadline or for arguments it cannot trust.
        const std::string token = "0123456789abcdef0123456789abcdef";
        const std::string later = std::to_string(GetTickCount64() + 600000);
        const std::string own = std::to_string(OwnSession());
        const struct { std::vector<std::string> arguments; DWORD code; std::string stream; } rows[] = {
            {{own, later, token, std::string(257, 'K')}, 0,
             token + "quarctl-session: the QuarctlSession service takes a keyword of at most 256 bytes, not 257.\r\n"
                     "What to do: pass one of START, STOP, STATUS or CLOSE.\r\n" + Trailer(2)},
            {{own, std::to_string(GetTickCount64() - 1), token, "STATUS"}, 1460, ""}, // ERROR_TIMEOUT
            {{own, later, "0123", "STATUS"}, 87, ""},
            {{"4294967296", later, token, "STATUS"}, 87, ""},
        };
        for (const auto& row : rows) {
            SCOPED_TRACE(row.arguments[0] + " " + row.arguments[1] + " " + row.arguments[2]);
            std::string stream;
            EXPECT_EQ(ServeDirectly(service.handle(), row.arguments, &stream), row.code);
            EXPECT_EQ(stream, row.stream);
        }
    }

    const std::string tool = folder.Tool();
    const ProcessResult checked = RunInProcess([&tool](HANDLE out) {
        const RunOptions options = {true, true, GetTickCount(), TOOL_BOUND_MS, NULL, NULL};
        const char* why = NULL;
        return RunQuarctl(tool.c_str(), "STATUS", OwnSession(), false, out, options, &why);
    });
    EXPECT_EQ(checked.out.rfind("quarctl-session: " + tool + " can be changed by ", 0), 0u) << checked.out;
    EXPECT_NE(checked.out.find(", so nothing is started from there.\r\nWhat to do: install with the MSI"),
              std::string::npos);
    EXPECT_EQ(checked.status, 2u);
}

// What would run for ever, on both routes: a writer to quarctl's output
// that never stops ends in status 2 at the cap, a quarctl that never ends
// in the service's lines before the bridge's bound, and a STOP of the
// service ends its request at once; nothing is left running, and the next
// request is served. A run's quarctl.exe can be renamed meanwhile, as an
// upgrade does.
TEST_F(Bridge, EndsWhatWouldRunForEver) {
    BridgeFolder folder("fake_quarctl.exe");
    ASSERT_TRUE(folder.ok());
    RegisteredService service(folder.Bridge());
    ASSERT_TRUE(service.ok()) << GetLastError();
    SetEnvironmentVariableA("QUARCTL_TEST_JOB_TOOL", folder.Tool().c_str());
    const std::string capped = std::string(65536, 'x') +
                               "quarctl-session: more than 65536 bytes came through quarctl's output, which quarctl "
                               "never writes, so it was ended and the rest was not read.\r\n"
                               "What to do: find the process in session " + std::to_string(OwnSession()) +
                               " that writes to quarctl's output, which may be hostile, then try again.\r\n";
    for (const bool viaService : {false, true}) {
        SCOPED_TRACE(viaService ? "through the service" : "direct");
        const ProcessResult flood = viaService ? RunThroughTheService("--flood") : folder.Run({"--flood"});
        EXPECT_NE(flood.out.find(capped), std::string::npos) << flood.out.size();
        EXPECT_EQ(flood.out.find(std::string(65537, 'x')), std::string::npos);
        EXPECT_EQ(flood.status, 2u);
        EXPECT_LT(flood.elapsedMs, 10000);
        EXPECT_EQ(ToolProcessesAfterAWhile(), 0);
        const ProcessResult next = viaService ? RunThroughTheService("STATUS") : folder.Run({"STATUS"});
        EXPECT_NE(next.out.find("argc=2\n[STATUS]\nto stderr\r\n"), std::string::npos) << next.out;
        EXPECT_EQ(next.status, 1u);
    }

    // The service's bound is the bridge's, less its margin.
    const ProcessResult hung = RunThroughTheService("--sleep");
    EXPECT_NE(hung.out.find("quarctl-session: quarctl did not end within 18 s, and was ended.\r\n"),
              std::string::npos) << hung.out;
    EXPECT_EQ(hung.status, 2u);
    EXPECT_GE(hung.elapsedMs, 18500);
    EXPECT_LT(hung.elapsedMs, 20000);

    ProcessResult stopped;
    std::thread request([&stopped] { stopped = RunThroughTheService("--sleep"); });
    SERVICE_STATUS status = AwaitState(service.handle(), SERVICE_RUNNING);
    Sleep(1000); // quarctl is running by now
    const DWORD stopTick = GetTickCount();
    EXPECT_TRUE(ControlService(service.handle(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_EQ(AwaitState(service.handle(), SERVICE_STOPPED).dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_LE(GetTickCount() - stopTick, 5000u) << "past the wait hint";
    request.join();
    EXPECT_NE(stopped.out.find("quarctl-session: the QuarctlSession service was stopped, and quarctl with it.\r\n"),
              std::string::npos) << stopped.out;
    EXPECT_EQ(stopped.status, 2u);
    EXPECT_EQ(ToolProcessesAfterAWhile(), 0);
    SetEnvironmentVariableA("QUARCTL_TEST_JOB_TOOL", NULL);

    ProcessResult napping;
    std::thread nap([&folder, &napping] { napping = folder.Run({"sleep:3000"}); });
    Sleep(1500);
    const std::string moved = folder.Tool() + ".old";
    EXPECT_TRUE(MoveFileA(folder.Tool().c_str(), moved.c_str())) << "error " << GetLastError();
    nap.join();
    MoveFileA(moved.c_str(), folder.Tool().c_str());
    EXPECT_EQ(napping.status, 1u);
}

// The bridge's reading of the service's stream: quarctl's bytes between
// the token and the trailer, and status 2 with its own lines for a stream
// without the token, without a trailer (its last 8 bytes kept), past the
// cap, or past the bound.
TEST(BridgeRelay, ReadsOnlyTheServicesAnswer) {
    const std::string token = "00112233445566778899aabbccddeeff";
    const std::string noTrailer = "quarctl-session: the QuarctlSession service ended without handing back quarctl's "
                                  "status.\r\nWhat to do: look in the System event log for why it ended, then try "
                                  "again.\r\n";
    const std::string wrongToken = "quarctl-session: the answer through the request's pipe did not start with the "
                                   "request's token, so it is not the QuarctlSession service's, and nothing more is "
                                   "read from it.\r\nWhat to do: find the process that wrote it, which may be hostile, "
                                   "then try again.\r\n";
    const std::string cappedLines = "quarctl-session: the QuarctlSession service wrote more than 69632 bytes, which "
                                    "it never does, so the rest was not read.\r\n";
    const struct { std::string stream, out; DWORD status; bool hold; } rows[] = {
        {token + "Quavel is running.\r\n\r\n" + Trailer(0), "Quavel is running.\r\n\r\n", 0, false},
        {token + "ab" + Trailer(1).substr(0, 7), "ab" + Trailer(1).substr(0, 7) + noTrailer, 2, false},
        {"ffffffffffffffffffffffffffffffff" + Trailer(0), wrongToken, 2, false},
        {token.substr(0, 10), wrongToken, 2, false},
        {token + std::string(80000, 'x') + Trailer(0), cappedLines, 2, false},
        {token + "x",
         "quarctl-session: the QuarctlSession service did not answer within 1 s.\r\nWhat to do: look in the System "
         "event log for why it did not start, then try again.\r\n", 2, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.stream.substr(0, 40));
        ServiceStream stream(row.stream, row.hold);
        const ProcessResult run = RunInProcess([&stream, &token](HANDLE out) {
            return RelayAnswer(stream.pipe(), token.c_str(), GetTickCount(), 1000, out);
        });
        if (row.out == cappedLines) {
            EXPECT_LE(run.out.size(), 69632 + 200u);
            EXPECT_NE(run.out.find(cappedLines), std::string::npos);
        } else {
            EXPECT_EQ(run.out, row.out);
        }
        EXPECT_EQ(run.status, row.status);
        EXPECT_LE(run.elapsedMs, 1500);
    }
}

// Where the service is needed and missing: the sc.exe create line only for
// a folder that only administrators can change.
TEST(BridgeRelay, AdvisesTheServiceOnlyForAFitFolder) {
    FolderCheck fit = {};
    fit.safe = true;
    FolderCheck unfit = {};
    strcpy(unfit.object, R"(C:\Tools)");
    strcpy(unfit.account, R"(BUILTIN\Users (S-1-5-32-545))");
    const char* msi = "install it with the MSI, which puts it into Program Files";
    const struct { FolderCheck check; DWORD openError; std::string advice; } rows[] = {
        {fit, 0,
         R"(install it (the MSI does), or from an elevated prompt: sc.exe create QuarctlSession binPath= "\"C:\Tools\)"
         R"(quarctl-session.exe\" --service" start= demand DisplayName= "QUARCTL session bridge", then set its )"
         "privileges, access list and event source as fleet.md shows"},
        {unfit, 0, std::string(msi) + R"(, or into a folder that only administrators can change: C:\Tools can be )"
                                      R"(changed by BUILTIN\Users (S-1-5-32-545), so no service should run from there)"},
        {fit, 2, std::string(msi) + ": who may change quarctl.exe beside it could not be read (error 2), so no "
                                    "service should run it from there"},
    };
    for (const auto& row : rows) {
        char advice[1024];
        InstallAdvice(R"(C:\Tools\quarctl-session.exe)", row.check, row.openError, advice, sizeof advice);
        EXPECT_EQ(std::string(advice), row.advice);
    }
}

// The service's events, which Wine writes to its debug channels: run by
// eventlog_test.sh, which reads them, in a prefix of its own whose service
// control manager starts with WINEDEBUG=+eventlog. A served request, a
// failed start, and each refusal that Wine can stage (every process is an
// elevated administrator there, so no requester is refused).
TEST(ServiceLog, WritesEachRequest) {
    if (GetEnvironmentVariableA("QUARCTL_TEST_EVENTLOG", NULL, 0) == 0) GTEST_SKIP() << "run by eventlog_test.sh";
    const std::string session = std::to_string(OwnSession());
    const std::string token = "0123456789abcdef0123456789abcdef";
    const std::string later = std::to_string(GetTickCount64() + 600000);
    std::string stream;
    {
        BridgeFolder folder("fake_quarctl.exe");
        ASSERT_TRUE(folder.ok());
        RegisteredService service(folder.Bridge());
        ASSERT_TRUE(service.ok()) << GetLastError();
        SetEnvironmentVariableA("QUARCTL_TEST_JOB_TOOL", folder.Tool().c_str());
        EXPECT_EQ(RunThroughTheService("STATUS").status, 1u);
        SetEnvironmentVariableA("QUARCTL_TEST_JOB_TOOL", NULL);
        EXPECT_EQ(ServeDirectly(service.handle(), {session, later, "0123", "STATUS"}, &stream), 87u);
        EXPECT_EQ(ServeDirectly(service.handle(), {session, "1", token, "STATUS"}, &stream), 1460u);
        // A name that no one created: the service finds no pipe.
        char unmade[64];
        ASSERT_TRUE(NewPipeName(unmade, sizeof unmade));
        const char* argv[] = {unmade, session.c_str(), later.c_str(), token.c_str(), "STATUS"};
        ASSERT_TRUE(StartServiceA(service.handle(), 5, argv)) << GetLastError();
        EXPECT_EQ(ToolProcessesAfterAWhile(), 0);
    }
    BridgeFolder empty(NULL, "-empty");
    ASSERT_TRUE(empty.ok());
    RegisteredService service(empty.Bridge());
    ASSERT_TRUE(service.ok()) << GetLastError();
    EXPECT_EQ(ServeDirectly(service.handle(), {session, later, token, "START"}, &stream), 0u);
}

TEST_F(Bridge, EightAtOnce) {
    StandIn server("--running");
    ASSERT_TRUE(server.ready());
    std::vector<ProcessResult> runs(8);
    std::vector<std::thread> threads;
    threads.reserve(runs.size());
    for (ProcessResult& run : runs) {
        threads.emplace_back([&run] { run = RunBridge({"STATUS"}, 120000); });
    }
    for (std::thread& thread : threads) thread.join();
    for (const ProcessResult& run : runs) {
        EXPECT_EQ(run.out, "Quavel is running.\r\n\r\n");
        EXPECT_EQ(run.status, 0u);
    }
    EXPECT_EQ(server.Log().size(), runs.size());
}

} // namespace
