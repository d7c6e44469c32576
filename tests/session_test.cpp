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

// What a run in this process writes to its output, and its status.
ProcessResult RunInProcess(const std::function<int(HANDLE)>& run) {
    HANDLE read = NULL;
    HANDLE write = NULL;
    ProcessResult result;
    if (!CreatePipe(&read, &write, NULL, 1 << 16)) return result;
    result.status = static_cast<DWORD>(run(write));
    CloseHandle(write);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(read, buffer, sizeof buffer, &got, NULL) && got > 0) result.out.append(buffer, got);
    CloseHandle(read);
    return result;
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
    const RunOptions options = {false, true, GetTickCount(), TOOL_BOUND_MS, NULL};
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
        "What to do: install it (the MSI does), or from an elevated prompt: sc.exe create QuarctlSession binPath= "
        "\"\\\"";
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
// each get their own answer, the second waiting for the first; a pipe of the request's name that another
// created first gets nothing, and the bridge says so; and a run that must
// check its folder refuses one that its user can change, as under Wine.
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

    const std::string tool = folder.Tool();
    const ProcessResult checked = RunInProcess([&tool](HANDLE out) {
        const RunOptions options = {true, true, GetTickCount(), TOOL_BOUND_MS, NULL};
        const char* why = NULL;
        return RunQuarctl(tool.c_str(), "STATUS", OwnSession(), false, out, options, &why);
    });
    EXPECT_EQ(checked.out.rfind("quarctl-session: " + tool + " can be changed by ", 0), 0u) << checked.out;
    EXPECT_NE(checked.out.find(", so nothing is started from there.\r\nWhat to do: install with the MSI"),
              std::string::npos);
    EXPECT_EQ(checked.status, 2u);
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
