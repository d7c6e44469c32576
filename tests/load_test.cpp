// The tool and the stand-in under load and under hostile input.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "../serverlink/serverlink.h"
#include "desktop_test.h"

namespace {

using Load = DesktopTest;

const char STARTING[] = "Quavel is starting.\r\n\r\n";
const char ALREADY_RUNNING[] = "Quavel is already running.\r\n\r\n";
const char STOPPING[] = "Quavel is stopping.\r\n\r\n";
const char ALREADY_STOPPED[] = "Quavel is already stopped.\r\n\r\n";
const char RUNNING[] = "Quavel is running.\r\n\r\n";
const char NOT_RUNNING[] = "Quavel is not running.\r\n\r\n";

// The command code a stand-in log line records, or 0.
unsigned long LoggedCommand(const std::string& line) {
    const size_t at = line.find(" command=");
    return at == std::string::npos ? 0 : strtoul(line.c_str() + at + 9, NULL, 16);
}

// Rounds of 32 clients at once with mixed commands. The server handles
// them one at a time in some order; replaying its log in that order must
// give exactly the answers the clients printed, and the final state.
TEST_F(Load, MixedClientsAgreeWithTheServer) {
    StandIn server("");
    ASSERT_TRUE(server.ready());
    std::mt19937 random(20261208);
    const char* keywords[] = {"START", "STOP", "STATUS"};
    std::map<std::string, int> printed; // answer text -> how many clients printed it
    for (int round = 0; round < 3; ++round) {
        std::vector<std::string> commands;
        commands.reserve(32);
        for (int client = 0; client < 32; ++client) commands.emplace_back(keywords[random() % 3]);
        const std::vector<ProcessResult> runs = RunToolsAtOnce(commands);
        for (size_t i = 0; i < runs.size(); ++i) {
            SCOPED_TRACE(commands[i] + " in round " + std::to_string(round));
            EXPECT_FALSE(runs[i].timedOut);
            EXPECT_EQ(runs[i].status, 0u);
            EXPECT_EQ(runs[i].err, "");
            ++printed[commands[i] + ": " + runs[i].out];
        }
    }

    std::map<std::string, int> replayed;
    bool running = false;
    const std::vector<std::string> log = server.Log();
    ASSERT_EQ(log.size(), 96u) << "every client is heard exactly once";
    for (const std::string& line : log) {
        switch (LoggedCommand(line)) {
        case CMD_START:
            ++replayed[std::string("START: ") + (running ? ALREADY_RUNNING : STARTING)];
            running = true;
            break;
        case CMD_STOP:
            ++replayed[std::string("STOP: ") + (running ? STOPPING : ALREADY_STOPPED)];
            running = false;
            break;
        case CMD_STATUS:
            ++replayed[std::string("STATUS: ") + (running ? RUNNING : NOT_RUNNING)];
            break;
        default:
            ADD_FAILURE() << "unexpected request: " << line;
        }
    }
    EXPECT_EQ(printed, replayed);
    const ProcessResult status = RunTool({"STATUS"});
    EXPECT_EQ(status.out, running ? RUNNING : NOT_RUNNING);
}

// A random argument: any length, any non-zero bytes, weighted towards the
// characters that command-line quoting treats specially.
std::string RandomArgument(std::mt19937& random) {
    const size_t lengths[] = {0, 1, 2, 5, 6, 7, 40, 255, 256, 1000, 8000, 30000};
    const size_t length = lengths[random() % (sizeof lengths / sizeof lengths[0])];
    const char special[] = "\"\\ \t*?%^&|<>'";
    std::string argument;
    for (size_t i = 0; i < length; ++i) {
        argument += random() % 3 == 0 ? special[random() % (sizeof special - 1)]
                                      : static_cast<char>(1 + random() % 255);
    }
    return argument;
}

TEST_F(Load, HostileArgumentsNeverCrashTheTool) {
    std::mt19937 random(8122026);
    std::vector<std::string> arguments = {"", "\"", "\\", "STATUS\"", "\"STATUS", "ST\"\"ATUS", "STATUS\xA0",
                                          "\xC3\x89TAT", std::string(30000, 'S')};
    for (int i = 0; i < 40; ++i) arguments.push_back(RandomArgument(random));
    {
        StandIn server("--running");
        ASSERT_TRUE(server.ready());
        for (const std::string& argument : arguments) {
            SCOPED_TRACE("argument of " + std::to_string(argument.size()) + " bytes");
            const ProcessResult run = RunTool({argument, "STATUS"});
            EXPECT_FALSE(run.timedOut);
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.status, 0u);
            EXPECT_EQ(run.err, "");
        }
        EXPECT_TRUE(server.Log().empty()) << "no argument above is a keyword";
    }
    // Without a server, the same words are told that it is not running.
    for (size_t i = 0; i < arguments.size(); i += 8) {
        const ProcessResult run = RunTool({arguments[i]});
        EXPECT_EQ(run.out, "QUARCTL: Quarvel is NOT running.\r\n\r\n");
        EXPECT_EQ(run.status, 1u);
    }
}

// Requests that are not well-formed are turned away: no reply, no change,
// no crash. Each carries this thread's id and START, so a server that took
// one would answer here and start its activity.
TEST_F(Load, MalformedRequestsLeaveTheServerAlone) {
    StandIn server("");
    ASSERT_TRUE(server.ready());
    HWND window = FindServerWindow();
    ASSERT_NE(window, nullptr);

    DWORD payload[1024] = {GetCurrentThreadId(), CMD_START};
    struct Envelope {
        ULONG_PTR dwData;
        DWORD cbData;
        bool withData;
    };
    std::vector<Envelope> envelopes;
    for (DWORD size : {0u, 1u, 4u, 7u, 9u, 12u, 16u, 4096u}) envelopes.push_back({0, size, true});
    for (ULONG_PTR tag : {static_cast<ULONG_PTR>(1), static_cast<ULONG_PTR>(CMD_START), ~static_cast<ULONG_PTR>(0)}) {
        envelopes.push_back({tag, 8, true});
    }
    envelopes.push_back({0, 8, false});
    envelopes.push_back({0, 0, false});

    for (const Envelope& e : envelopes) {
        SCOPED_TRACE("dwData " + std::to_string(e.dwData) + ", cbData " + std::to_string(e.cbData));
        COPYDATASTRUCT envelope = {e.dwData, e.cbData, e.withData ? payload : NULL};
        DWORD_PTR handled = TRUE;
        EXPECT_NE(SendMessageTimeoutA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&envelope), SMTO_ABORTIFHUNG,
                                      5000, &handled),
                  0);
        EXPECT_EQ(handled, static_cast<DWORD_PTR>(FALSE));
    }
    // Unknown commands in a well-formed request are not answered either.
    for (DWORD command : {0u, 0x0607u, 0x060Cu, 0xFFFFFFFFu}) {
        ControlRequest request = {GetCurrentThreadId(), command};
        COPYDATASTRUCT envelope = {0, sizeof request, &request};
        DWORD_PTR handled = TRUE;
        SendMessageTimeoutA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&envelope), SMTO_ABORTIFHUNG, 5000,
                            &handled);
        EXPECT_EQ(handled, static_cast<DWORD_PTR>(FALSE)) << command;
    }

    Sleep(200);
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) << "answered with " << msg.message;
    EXPECT_EQ(server.WaitForExit(0), -1) << "the stand-in died";
    EXPECT_EQ(RunTool({"STATUS"}).out, NOT_RUNNING);
    size_t rejected = 0;
    for (const std::string& line : server.Log()) rejected += line.rfind("rejected ", 0) == 0;
    EXPECT_EQ(rejected, envelopes.size());
}

} // namespace
