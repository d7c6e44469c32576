// quarctl-doctor against the stand-in in each of its modes: its verdict
// must name what quarctl STATUS itself printed and returned, and the cause.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "desktop_test.h"

namespace {

using Doctor = DesktopTest;

// The rest of the report line that starts with prefix, or a marker.
std::string ReportLine(const std::string& report, const std::string& prefix) {
    size_t at = report.find("\r\n" + prefix);
    if (at == std::string::npos) return "(no line '" + prefix + "')";
    at += 2 + prefix.size();
    return report.substr(at, report.find("\r\n", at) - at);
}

// The verdict line that names a run of quarctl STATUS.
std::string VerdictFor(const ProcessResult& tool) {
    const std::string sentence = tool.out.substr(0, tool.out.find("\r\n"));
    const std::string status = " and exits with status " + std::to_string(tool.status);
    return sentence.empty() ? "prints nothing" + status : "prints \"" + sentence + "\"" + status;
}

// Waits until the window manager takes the frame window for hung.
bool WaitUntilHung(DWORD timeoutMs) {
    for (const DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(100)) {
        HWND frame = FindWindowA("QuarvelFrameClass", NULL);
        if (frame != NULL && IsHungAppWindow(frame)) return true;
    }
    return false;
}

TEST_F(Doctor, AgreesWithTheTool) {
    const bool sends = true;
    struct Case {
        const char* standIn; // its options, or NULL for no application
        const char* cause;
        double maxMs; // for the doctor's whole run
        bool sends;   // whether quarctl, and so the doctor, gets as far as a request
    };
    const char GLOBAL_ONLY[] =
        "A mutex of that name exists only in the global namespace: the application runs in another session, such "
        "as a service's.";
    const Case cases[] = {
        {"", "The application answered.", 2000, sends},
        {NULL, "The application is not running in this session.", 2000, !sends},
        {"--no-mutex", "A frame window is there but no mutex: the application is starting up or closing down.", 2000,
         !sends},
        {"--sync-only-mutex",
         "The mutex exists but refuses this user full access: another user's application holds it, or it was made "
         "with restricted access.",
         2000, !sends},
        {"--wrong-object", "Another kind of object, not a mutex, holds the application's mutex name.", 2000, !sends},
        {"--global-mutex", GLOBAL_ONLY, 2000, !sends},
        // Refused even SYNCHRONIZE, it still exists.
        {"--global-mutex --no-access-mutex", GLOBAL_ONLY, 2000, !sends},
        {"--windows 0", "The application holds its mutex but has no frame window: it is starting up or closing down.",
         2000, !sends},
        {"--message-only", "The frame window is a message-only window, and quarctl takes only top-level windows.",
         2000, !sends},
        {"--child", "The frame window is a child window, and quarctl takes only top-level windows.", 2000, !sends},
        {"--desktop QuarctlTestDesktop",
         "The frame window is on another desktop, and quarctl sees only the windows of its own desktop.", 2000, !sends},
        {"--hung", "The application is hung: its window does not handle its messages.", 6000, sends},
        {"--hang", "The application is hung: its window does not handle its messages.", 6000, sends},
        {"--die", "The application ended while it handled the request.", 3000, sends},
        {"--silent", "The application took the request but never answered.", 12000, sends},
        {"--late 1000", "The application answered.", 3000, sends},
        {"--late 7000", "The application answers, but only after quarctl's 5 s bound.", 9000, sends},
        // quarctl prints nothing for it and exits 0; it is still no answer.
        {"--reply 0x047F", "The application answered with a code that is no answer to STATUS.", 2000, sends},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.standIn == NULL ? "no application" : c.standIn);
        std::unique_ptr<StandIn> server;
        if (c.standIn != NULL) {
            server = std::make_unique<StandIn>(c.standIn);
            ASSERT_TRUE(server->ready());
        }
        // A request overtakes the hang unless the window is marked hung first.
        if (std::string(c.standIn == NULL ? "" : c.standIn) == "--hung") {
            ASSERT_TRUE(WaitUntilHung(7000));
        }
        const ProcessResult tool = RunTool({"STATUS"});
        if (server && server->WaitForExit(0) != -1) {
            server = std::make_unique<StandIn>(c.standIn); // the tool's request ended it
            ASSERT_TRUE(server->ready());
        }
        const ProcessResult doctor = RunDoctor({});
        EXPECT_FALSE(doctor.timedOut);
        EXPECT_EQ(ReportLine(doctor.out, "  quarctl STATUS "), VerdictFor(tool)) << doctor.out;
        EXPECT_EQ(doctor.status, tool.status);
        EXPECT_EQ(ReportLine(doctor.out, "  Cause: "), c.cause);
        if (c.sends) {
            EXPECT_EQ(ReportLine(doctor.out, "  Reply filter: "),
                      "quarctl lets the reply codes (0x047F, 0x0480, 0x0481) through this process's message filter, "
                      "and that worked here");
        }
        EXPECT_LE(doctor.elapsedMs, c.maxMs);
        EXPECT_EQ(doctor.err, "");
        if (server) {
            // It asks STATUS, and nothing that changes the application;
            // where quarctl sends nothing, neither does it.
            const std::vector<std::string> log = server->Log();
            if (!c.sends) {
                EXPECT_TRUE(log.empty()) << log.front();
            }
            for (const std::string& line : log) {
                if (line.rfind("request ", 0) == 0) {
                    EXPECT_NE(line.find(" command=0x060B "), std::string::npos) << line;
                }
            }
        }
    }
}

// Without a request the doctor costs what any program that looks at the
// desktop costs, and the taken window is marked in its report.
TEST_F(Doctor, NoSendSendsNothingAndIsFast) {
    {
        StandIn server("--windows 2 --top 2");
        ASSERT_TRUE(server.ready());
        std::vector<double> floor;
        std::vector<double> doctor;
        for (int i = 0; i < 5; ++i) {
            floor.push_back(RunProgram(SiblingPath("floor.exe"), "floor", 30000).elapsedMs);
            const ProcessResult run = RunDoctor({"--no-send"});
            EXPECT_EQ(run.status, 0u);
            doctor.push_back(run.elapsedMs);
            // The marker stands on the topmost frame's line, and on no other.
            char taken[32];
            snprintf(taken, sizeof taken, "0x%08lX,",
                     static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(FindWindowA("QuarvelFrameClass", NULL))));
            const std::string marker = "  <- quarctl takes this one";
            const std::string line = ReportLine(run.out, std::string("  ") + taken);
            EXPECT_TRUE(line.size() >= marker.size() && line.compare(line.size() - marker.size(), marker.size(), marker) == 0)
                << run.out;
            EXPECT_EQ(run.out.find(marker), run.out.rfind(marker)) << run.out;
        }
        std::sort(floor.begin(), floor.end());
        std::sort(doctor.begin(), doctor.end());
        EXPECT_LE(doctor[2], floor[2] + 100) << "median of 5, floor " << floor[2] << " ms";
        EXPECT_TRUE(server.Log().empty());
    }

    // Without a request, a hung window is still told as hung.
    StandIn hung("--hung");
    ASSERT_TRUE(hung.ready());
    ASSERT_TRUE(WaitUntilHung(7000));
    const ProcessResult run = RunDoctor({"--no-send"});
    EXPECT_EQ(ReportLine(run.out, "  Cause: "),
              "The application's window is hung: quarctl finds it, but its request would fail.");
    EXPECT_TRUE(hung.Log().empty());
}

TEST_F(Doctor, BadOptionsExitTwo) {
    const std::vector<std::vector<std::string>> lines = {{"--bogus"}, {"STATUS"}, {"--no-send", "x"}};
    for (const std::vector<std::string>& arguments : lines) {
        SCOPED_TRACE(arguments[0]);
        const ProcessResult run = RunDoctor(arguments);
        EXPECT_EQ(run.out, "usage: quarctl-doctor [--no-send]\r\n");
        EXPECT_EQ(run.status, 2u);
    }
}

} // namespace
