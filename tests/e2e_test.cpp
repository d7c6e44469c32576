// The tool as its users see it: quarctl.exe run as a process of its own
// against the stand-in server, its exact output bytes and exit status.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "desktop_test.h"

namespace {

const std::string USAGE =
    "\nQUARCTL 1.1\n"
    "A utility to control Quarvel for Windows.\n"
    "Syntax is: QUARCTL [START|STOP|STATUS|CLOSE]\n"
    "\n";
const std::string NOT_RUNNING = "QUARCTL: Quarvel is NOT running.\n\n";
const std::string NO_WINDOW = "QUARCTL: Fatal Error: Unable to find Quarvel main window.\n\n";
const std::string NOT_RESPONDING = "QUARCTL: Quarvel is not responding.\n\n";
const std::string NO_REPLY = "QUARCTL: No reply from Quarvel.\n\n";

// Checks one finished run: output to the byte, status, nothing on stderr.
void ExpectRun(const ProcessResult& run, const std::string& output, DWORD status) {
    EXPECT_FALSE(run.timedOut) << "the tool hung";
    EXPECT_EQ(run.out, Crlf(output));
    EXPECT_EQ(run.status, status);
    EXPECT_EQ(run.err, "");
}

// Runs the tool once per case against the same server.
struct ToolCase {
    std::vector<std::string> arguments;
    std::string output;
    DWORD status;
};
void ExpectRuns(const std::vector<ToolCase>& cases) {
    for (const ToolCase& c : cases) {
        SCOPED_TRACE(c.arguments.empty() ? std::string("(none)") : "'" + c.arguments[0] + "'");
        ExpectRun(RunTool(c.arguments), c.output, c.status);
    }
}

using Tool = DesktopTest;

TEST_F(Tool, UsageWithoutArgument) {
    ExpectRun(RunTool({}), USAGE, 0);
    // A process started with an empty command line has no arguments at all.
    ExpectRun(RunProgram(ToolPath(), "", 30000), USAGE, 0);
}

TEST_F(Tool, NoServer) {
    ExpectRuns({{{"STATUS"}, NOT_RUNNING, 1}, {{"bogus"}, NOT_RUNNING, 1}, {{}, USAGE, 0}});
}

TEST_F(Tool, DiscoveryFailures) {
    struct Case {
        const char* options;
        const std::string& output;
    };
    const Case cases[] = {
        {"--windows 0", NO_WINDOW},
        {"--no-mutex", NOT_RUNNING},
        {"--sync-only-mutex", NOT_RUNNING},
        {"--class QuarvelFrameClassX", NO_WINDOW},
        {"--class QuarvelFrameClass-long-name", NO_WINDOW},
        // Frame windows that are no top-level windows are never taken.
        {"--message-only", NO_WINDOW},
        {"--child", NO_WINDOW},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        StandIn server(c.options);
        ASSERT_TRUE(server.ready());
        ExpectRun(RunTool({"STATUS"}), c.output, 1);
        EXPECT_TRUE(server.Log().empty());
    }
}

// The stand-in's activity through a whole session, each request's bytes
// as the server received them, and the close-down.
TEST_F(Tool, SessionAgainstAStatefulServer) {
    StandIn server("");
    ASSERT_TRUE(server.ready());
    // The names the real server uses, as literals: a slip in the header that
    // the tool and the stand-in share would pass unseen otherwise.
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, "DOVARERIRU");
    EXPECT_NE(mutex, nullptr);
    if (mutex != NULL) CloseHandle(mutex);
    EXPECT_NE(FindWindowA("QuarvelFrameClass", NULL), nullptr);
    ExpectRuns({
        {{"STATUS"}, "Quavel is not running.\n\n", 0},
        {{"START"}, "Quavel is starting.\n\n", 0},
        {{"start"}, "Quavel is already running.\n\n", 0},
        {{"Status"}, "Quavel is running.\n\n", 0},
        {{"STOP"}, "Quavel is stopping.\n\n", 0},
        {{"sToP"}, "Quavel is already stopped.\n\n", 0},
        {{"CLOSE"}, "Quavel is closing down.\n\n", 0},
    });
    EXPECT_EQ(server.WaitForExit(10000), 0);
    ExpectRun(RunTool({"STATUS"}), NOT_RUNNING, 1);

    // The 8 bytes: the thread id, then the command code, little-endian.
    const char* commands[] = {"0B060000", "09060000", "09060000", "0B060000", "08060000", "08060000", "0A060000"};
    const std::vector<std::string> log = server.Log();
    ASSERT_EQ(log.size(), 7u);
    for (size_t i = 0; i < log.size(); ++i) {
        SCOPED_TRACE(log[i]);
        EXPECT_EQ(log[i].find("request wParam=0 dwData=0 cbData=8 thread="), 0u);
        const unsigned long thread = strtoul(log[i].c_str() + log[i].find(" thread=") + 8, NULL, 10);
        EXPECT_NE(thread, 0u);
        char threadBytes[9];
        snprintf(threadBytes, sizeof threadBytes, "%02lX%02lX%02lX%02lX", thread & 0xFF, (thread >> 8) & 0xFF,
                 (thread >> 16) & 0xFF, thread >> 24);
        EXPECT_NE(log[i].find(std::string(" window=1 bytes=") + threadBytes + commands[i]), std::string::npos);
    }
}

// Each reply code, given as the literal the real server posts, against
// each keyword: the sentence the keyword lists for it, or nothing, and
// status 0 either way. One stand-in answers the requests in turn.
TEST_F(Tool, RepliesAreReadByTheirCode) {
    struct Case {
        const char* reply;
        const char* stop;
        const char* start;
        const char* status;
        const char* close;
    };
    const Case cases[] = {
        {"0x047F", "Quavel is stopping.\n\n", "Quavel is starting.\n\n", "", "Quavel is closing down.\n\n"},
        {"0x0480", "Quavel is already stopped.\n\n", "", "Quavel is not running.\n\n", ""},
        {"0x0481", "", "Quavel is already running.\n\n", "Quavel is running.\n\n", ""},
        {"0x0012", "", "", "", ""}, // WM_QUIT is a reply like any other
        {"0x0401", "", "", "", ""},
    };
    std::string replies;
    for (const Case& c : cases) replies += std::string(replies.empty() ? "" : ",") + c.reply + "," + c.reply + "," +
                                           c.reply + "," + c.reply;
    StandIn server("--reply " + replies);
    ASSERT_TRUE(server.ready());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        ExpectRuns({{{"STOP"}, c.stop, 0}, {{"START"}, c.start, 0}, {{"STATUS"}, c.status, 0}, {{"CLOSE"}, c.close, 0}});
    }
    EXPECT_EQ(server.Log().size(), 20u);
}

TEST_F(Tool, OnlyTheFirstArgumentCounts) {
    StandIn server("--running");
    ASSERT_TRUE(server.ready());
    ExpectRuns({
        {{"status", "extra"}, "Quavel is running.\n\n", 0},
        {{"STATUS", "STOP", "CLOSE"}, "Quavel is running.\n\n", 0},
        {{"", "STOP"}, "", 0},
        {{" STOP"}, "", 0},
        {{"STOPX"}, "", 0},
        {{"STOP\tX"}, "", 0},
    });
    EXPECT_EQ(server.Log().size(), 2u) << "unrecognised words must send nothing";
}

// The walk goes down from the top of the Z-order, past windows of other
// classes, and stops at the first frame window.
TEST_F(Tool, TopmostFrameWindowIsChosen) {
    struct Case {
        const char* options;
        const char* window;
    };
    const Case cases[] = {
        {"--windows 2 --top 1", "1"},
        {"--windows 2 --top 2", "2"},
        {"--above 3", "1"},
        {"--windows 2 --top 2 --above 3", "2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        StandIn server(c.options);
        ASSERT_TRUE(server.ready());
        ExpectRun(RunTool({"STATUS"}), "Quavel is not running.\n\n", 0);
        const std::vector<std::string> log = server.Log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_NE(log[0].find(std::string(" window=") + c.window + " "), std::string::npos) << log[0];
    }
}

TEST_F(Tool, ClassNameMatchesInAnyLetterCase) {
    StandIn server("--class qUARVELfRAMEcLASS --running");
    ASSERT_TRUE(server.ready());
    ExpectRun(RunTool({"STATUS"}), "Quavel is running.\n\n", 0);
}

// A reply is printed as soon as it is posted: while the send is still in
// progress, well after it, or just before the server's handler fails. A
// reply already queued wins over a send that failed or timed out.
TEST_F(Tool, ReplyIsTakenWhenPosted) {
    struct Case {
        const char* options;
        const char* keyword;
        const char* output;
        double minMs;
        double maxMs;
    };
    const Case cases[] = {
        {"--linger 1000", "START", "Quavel is starting.\n\n", 1000, 3000},
        {"--late 1000", "START", "Quavel is starting.\n\n", 1000, 3000},
        {"--late 4000", "START", "Quavel is starting.\n\n", 4000, 6000},
        {"--answer-false", "START", "Quavel is starting.\n\n", 0, 2000},
        {"--answer-then-die", "CLOSE", "Quavel is closing down.\n\n", 0, 2000},
        {"--answer-then-die", "STATUS", "Quavel is not running.\n\n", 0, 2000},
        {"--linger 8000", "CLOSE", "Quavel is closing down.\n\n", 4500, 7000},
        // The reply clock starts when the send returns, not before it.
        {"--linger 3000 --late 3000", "START", "Quavel is starting.\n\n", 6000, 8000},
        // The handler's result is not examined, also before a late reply.
        {"--answer-false --late 1000", "START", "Quavel is starting.\n\n", 1000, 3000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.options) + " " + c.keyword);
        StandIn server(c.options);
        ASSERT_TRUE(server.ready());
        const ProcessResult run = RunTool({c.keyword});
        ExpectRun(run, c.output, 0);
        EXPECT_GE(run.elapsedMs, c.minMs);
        EXPECT_LE(run.elapsedMs, c.maxMs);
    }
}

// Whatever message reaches the thread first is the reply.
TEST_F(Tool, FirstMessageIsTheReply) {
    struct Case {
        const char* options;
        std::string output;
    };
    const Case cases[] = {
        {"--stray 0x0481", "Quavel is running.\n\n"},
        {"--stray 0x0401", ""},
        {"--stray 0x0012", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        StandIn server(c.options);
        ASSERT_TRUE(server.ready());
        ExpectRun(RunTool({"STATUS"}), c.output, 0);
    }
}

// A server that hangs, dies or stays silent holds the tool no longer than
// the bounds of the exchange, and the failure is reported with status 1.
TEST_F(Tool, FailingServerIsReported) {
    struct Case {
        const char* options;
        const std::string& output;
        double minMs;
        double maxMs;
    };
    const Case cases[] = {
        {"--hang", NOT_RESPONDING, 4500, 15000},
        {"--die", NOT_RESPONDING, 0, 4000},
        {"--silent", NO_REPLY, 4500, 15000},
        {"--late 8000", NO_REPLY, 4500, 15000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        StandIn server(c.options);
        ASSERT_TRUE(server.ready());
        const ProcessResult run = RunTool({"STOP"});
        ExpectRun(run, c.output, 1);
        EXPECT_GE(run.elapsedMs, c.minMs);
        EXPECT_LE(run.elapsedMs, c.maxMs);
        EXPECT_EQ(server.Log().size(), 1u);
    }
}

TEST_F(Tool, ManyClientsAtOnce) {
    StandIn server("--running");
    ASSERT_TRUE(server.ready());
    const size_t clients = 16;
    const std::vector<ProcessResult> runs = RunToolsAtOnce(std::vector<std::string>(clients, "STATUS"));
    for (const ProcessResult& run : runs) ExpectRun(run, "Quavel is running.\n\n", 0);
    EXPECT_EQ(server.Log().size(), clients);
}

} // namespace
