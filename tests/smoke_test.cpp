// Each program under test end to end, in as few process starts as the
// cases allow, several at once: in the x86 lane each start of a 32-bit
// program is emulated and costs tens of seconds, and these cases are its
// whole look at the 32-bit quarctl, quarctl-doctor and quarctl-session,
// started by the 64-bit test program against the 64-bit stand-in.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "desktop_test.h"

namespace {

using Smoke = DesktopTest;

// Runs each at the same time, each on a thread of its own.
std::vector<ProcessResult> RunAtOnce(const std::vector<std::function<ProcessResult()>>& starts) {
    std::vector<ProcessResult> runs(starts.size());
    std::vector<std::thread> threads;
    threads.reserve(starts.size());
    for (size_t i = 0; i < starts.size(); ++i) threads.emplace_back([&runs, &starts, i] { runs[i] = starts[i](); });
    for (std::thread& thread : threads) thread.join();
    return runs;
}

const DWORD SLOW_START_MS = 600000; // an emulated start, with others beside it

// The doctor's line for its own bitness.
std::string ArchitectureLine() {
    DWORD type = 0;
    if (GetBinaryTypeA(ProgramBeside("quarctl-doctor.exe").c_str(), &type) && type == SCS_64BIT_BINARY) {
        return "  Architecture: 64-bit\r\n";
    }
    BOOL wow64 = FALSE;
    const bool windows64 = sizeof(void*) == 8 || (IsWow64Process(GetCurrentProcess(), &wow64) && wow64);
    return windows64 ? "  Architecture: 32-bit, under WOW64 on 64-bit Windows\r\n" : "  Architecture: 32-bit\r\n";
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Usage, no mutex, and the doctor's near miss: a message-only frame window
// of an application that holds no mutex.
TEST_F(Smoke, WithoutAnApplication) {
    StandIn server("--message-only --no-mutex");
    ASSERT_TRUE(server.ready());
    const std::vector<ProcessResult> runs = RunAtOnce({
        [] { return RunTool({}, SLOW_START_MS); },
        [] { return RunTool({"STATUS"}, SLOW_START_MS); },
        [] { return RunDoctor({"--no-send"}, SLOW_START_MS); },
    });
    EXPECT_EQ(runs[0].out, Crlf("\nQUARCTL 1.1\nA utility to control Quarvel for Windows.\n"
                                "Syntax is: QUARCTL [START|STOP|STATUS|CLOSE]\n\n"));
    EXPECT_EQ(runs[0].status, 0u);
    EXPECT_EQ(runs[1].out, "QUARCTL: Quarvel is NOT running.\r\n\r\n");
    EXPECT_EQ(runs[1].status, 1u);
    const ProcessResult& doctor = runs[2];
    EXPECT_TRUE(Has(doctor.out, ArchitectureLine())) << doctor.out;
    EXPECT_TRUE(Has(doctor.out, "\r\n  Near miss: a message-only window 0x")) << doctor.out;
    // Wine's files belong to the Wine user, whom a service must not trust.
    EXPECT_TRUE(Has(doctor.out, "quarctl.exe can be changed by ")) << doctor.out;
    EXPECT_TRUE(Has(doctor.out, "\r\n  quarctl STATUS prints \"QUARCTL: Quarvel is NOT running.\" and exits with "
                                "status 1\r\n"))
        << doctor.out;
    EXPECT_EQ(doctor.status, 1u);
    for (const ProcessResult& run : runs) EXPECT_EQ(run.err, "");
    EXPECT_TRUE(server.Log().empty());
}

// The doctor's exchange and quarctl's through quarctl-session, at once:
// two requests of 8 bytes, each from a thread of its own.
TEST_F(Smoke, AgainstARunningApplication) {
    StandIn server("--running");
    ASSERT_TRUE(server.ready());
    const std::vector<ProcessResult> runs = RunAtOnce({
        [] { return RunDoctor({}, SLOW_START_MS); },
        [] {
            // Inside a job that allows breakaway, as agents run it.
            return RunWithArguments(ProgramBeside("quarctl-session.exe"), "quarctl-session", {"STATUS"},
                                    SLOW_START_MS, JOB_OBJECT_LIMIT_BREAKAWAY_OK);
        },
    });
    const ProcessResult& doctor = runs[0];
    EXPECT_TRUE(Has(doctor.out, ArchitectureLine())) << doctor.out;
    EXPECT_TRUE(Has(doctor.out, "  <- quarctl takes this one\r\n")) << doctor.out;
    EXPECT_TRUE(Has(doctor.out, "\r\n  Reply: REPLY_RUNNING (0x0481), ")) << doctor.out;
    EXPECT_TRUE(Has(doctor.out, "\r\n  quarctl STATUS prints \"Quavel is running.\" and exits with status 0\r\n"))
        << doctor.out;
    EXPECT_EQ(doctor.status, 0u);
    EXPECT_EQ(runs[1].out, "Quavel is running.\r\n\r\n");
    EXPECT_EQ(runs[1].status, 0u);
    const std::vector<std::string> log = server.Log();
    ASSERT_EQ(log.size(), 2u);
    for (const std::string& line : log) {
        EXPECT_EQ(line.find("request wParam=0 dwData=0 cbData=8 thread="), 0u) << line;
        EXPECT_TRUE(Has(line, " command=0x060B window=1 bytes=")) << line;
        EXPECT_EQ(line.substr(line.size() - 8), "0B060000") << line;
    }
}

// A hung application holds quarctl no longer than its 5 s bound on the
// send, counted from the moment its request reached the application, so
// that an emulated start does not count.
TEST_F(Smoke, AgainstAHungApplication) {
    StandIn server("--hang");
    ASSERT_TRUE(server.ready());
    ProcessResult run;
    std::atomic<bool> ended(false);
    std::thread tool([&run, &ended] {
        run = RunTool({"STOP"}, SLOW_START_MS);
        ended = true;
    });
    DWORD requestAt = 0;
    while (requestAt == 0 && !ended) {
        if (!server.Log().empty()) requestAt = GetTickCount();
        Sleep(10);
    }
    tool.join();
    const DWORD afterRequest = GetTickCount() - requestAt;
    EXPECT_EQ(run.out, "QUARCTL: Quarvel is not responding.\r\n\r\n");
    EXPECT_EQ(run.status, 1u);
    ASSERT_NE(requestAt, 0u) << "the request never reached the application";
    EXPECT_GE(afterRequest, 4500u);
    // Printing and ending cost an emulated process a few seconds more.
    EXPECT_LE(afterRequest, Emulated() ? 15000u : 6000u);
}

} // namespace
