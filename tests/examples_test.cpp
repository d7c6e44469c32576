// The example scripts as users run them: under cmd.exe against the
// stand-in, their output, exit status and the requests they sent.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "desktop_test.h"

namespace {

using Examples = DesktopTest;

// Where the script finds quarctl.exe.
enum class Tool { Beside, OnPath, Nowhere };

// The commands in the stand-in's log, e.g. "060B 0609".
std::string LoggedCommands(const StandIn& server) {
    std::string commands;
    for (const std::string& line : server.Log()) {
        const size_t at = line.find(" command=0x");
        if (at == std::string::npos) continue;
        if (!commands.empty()) commands += ' ';
        commands += line.substr(at + 11, 4);
    }
    return commands;
}

// Runs a script under cmd.exe, from a folder of its own unless it lies
// beside the tool; with the tool's folder on PATH for Tool::OnPath.
ProcessResult RunScript(const std::string& script, const std::string& arguments, Tool tool) {
    std::string path = SiblingPath(script.c_str());
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    const std::string elsewhere = std::string(folder) + "quarctl-examples\\";
    if (tool != Tool::Beside) {
        CreateDirectoryA(elsewhere.c_str(), NULL);
        if (!CopyFileA(path.c_str(), (elsewhere + script).c_str(), FALSE)) ADD_FAILURE() << "cannot copy " << path;
        path = elsewhere + script;
    }
    char oldPath[32767];
    const DWORD oldLength = GetEnvironmentVariableA("PATH", oldPath, sizeof oldPath);
    const std::string toolFolder = SiblingPath("");
    SetEnvironmentVariableA("PATH", (tool == Tool::OnPath ? toolFolder + ";" : "").append(oldPath, oldLength).c_str());
    char system[MAX_PATH];
    GetSystemDirectoryA(system, MAX_PATH);
    // cmd /c takes the rest of the line, its outer quotes removed.
    ProcessResult run =
        RunProgram(std::string(system) + "\\cmd.exe", "cmd /c \"\"" + path + "\" " + arguments + "\"", 120000);
    SetEnvironmentVariableA("PATH", oldLength > 0 ? oldPath : NULL);
    return run;
}

TEST_F(Examples, EveryExitPath) {
    struct Case {
        const char* script;
        const char* arguments;
        const char* standIn; // its options, or NULL for no application
        Tool tool;
        DWORD status;
        const char* output;
        const char* requests; // the commands the application received
        double minMs;
    };
    const char* const ENSURE = "ensure-running.cmd";
    const char* const CLOSE = "close-and-wait.cmd";
    const char* const CHECK = "check_quarvel.cmd"; // through quarctl-session
    const Case cases[] = {
        {ENSURE, "", "--running", Tool::Beside, 0, "Quavel is running.\n", "060B", 0},
        {ENSURE, "", "", Tool::Beside, 0, "Quavel is not running.\nQuavel is starting.\n", "060B 0609", 0},
        {ENSURE, "", "--reply 0x0480,0x0481", Tool::Beside, 0, "Quavel is not running.\nQuavel is already running.\n",
         "060B 0609", 0},
        {ENSURE, "", NULL, Tool::Beside, 1, "QUARCTL: Quarvel is NOT running.\n", "", 0},
        {ENSURE, "", "--windows 0", Tool::Beside, 1, "QUARCTL: Fatal Error: Unable to find Quarvel main window.\n", "",
         0},
        {ENSURE, "", "--reply 0x047F", Tool::Beside, 1, "ensure-running: no answer to STATUS\n", "060B", 0},
        {ENSURE, "", "--reply 0x0480", Tool::Beside, 1, "Quavel is not running.\nensure-running: no answer to START\n",
         "060B 0609", 0},
        {ENSURE, "", "--running", Tool::OnPath, 0, "Quavel is running.\n", "060B", 0},
        {ENSURE, "", "--running", Tool::Nowhere, 1,
         "ensure-running: quarctl.exe is neither beside this script nor on PATH\n", "", 0},
        {CLOSE, "", "", Tool::Beside, 0, "Quavel is closing down.\nclose-and-wait: Quarvel has closed.\n", "060A", 0},
        {CLOSE, "", NULL, Tool::Beside, 0, "close-and-wait: Quarvel was not running.\n", "", 0},
        {CLOSE, "5", "--reply 0x0480", Tool::Beside, 1, "close-and-wait: CLOSE was not accepted: no answer\n", "060A",
         0},
        {CLOSE, "", "--windows 0", Tool::Beside, 1,
         "close-and-wait: CLOSE was not accepted: QUARCTL: Fatal Error: Unable to find Quarvel main window.\n", "", 0},
        // Polls once at once, then after each of two pauses of about 1 s.
        {CLOSE, "02", "--reply 0x047F", Tool::Beside, 1,
         "Quavel is closing down.\nclose-and-wait: Quarvel is still running after 2 s.\n", "060A 060B 060B 060B", 2000},
        // While it closes down, the application has no window for a while,
        // or hangs: only its mutex's end means that it has gone.
        {CLOSE, "", "--keep-mutex 3000", Tool::Beside, 0,
         "Quavel is closing down.\nclose-and-wait: Quarvel has closed.\n", "060A", 3000},
        {CLOSE, "2", "--close-hangs", Tool::Beside, 1,
         "Quavel is closing down.\nclose-and-wait: Quarvel is still running after 2 s.\n", "060A", 2000},
        {CLOSE, "", "", Tool::OnPath, 0, "Quavel is closing down.\nclose-and-wait: Quarvel has closed.\n", "060A", 0},
        {CLOSE, "2x", NULL, Tool::Beside, 2, "usage: close-and-wait.cmd [SECONDS]   (SECONDS a whole number)\n", "", 0},
        {CHECK, "", "--running", Tool::Beside, 0, "OK: Quavel is running.\n", "060B", 0},
        {CHECK, "", "", Tool::Beside, 1, "WARNING: Quavel is not running.\n", "060B", 0},
        {CHECK, "", NULL, Tool::Beside, 2, "CRITICAL: QUARCTL: Quarvel is NOT running.\n", "", 0},
        {CHECK, "", "--reply 0x047F", Tool::Beside, 3, "UNKNOWN: no answer (status 0)\n", "060B", 0},
        {CHECK, "", "--running", Tool::OnPath, 0, "OK: Quavel is running.\n", "060B", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.script) + " " + c.arguments + " against " + (c.standIn ? c.standIn : "nothing"));
        std::unique_ptr<StandIn> server;
        if (c.standIn != NULL) {
            server = std::make_unique<StandIn>(c.standIn);
            ASSERT_TRUE(server->ready());
        }
        const ProcessResult run = RunScript(c.script, c.arguments, c.tool);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.out, Crlf(c.output));
        EXPECT_EQ(run.status, c.status);
        EXPECT_GE(run.elapsedMs, c.minMs);
        if (server) {
            EXPECT_EQ(LoggedCommands(*server), c.requests);
        }
    }
}

} // namespace
