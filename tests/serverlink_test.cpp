// The server link in-process: against a server of its own, and where a
// test can stage what a separate server cannot, a window that is gone by
// the time the request is sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "../serverlink/serverlink.h"
#include "desktop_test.h"

namespace {

using ServerLink = DesktopTest;

// A top-level window of this program, of a class of its own (registered on
// first use) or of a system class.
HWND MakeWindow(const char* className, DWORD exStyle = 0) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = className;
    RegisterClassA(&windowClass);
    return CreateWindowExA(exStyle, className, "", 0, 0, 0, 10, 10, NULL, NULL, windowClass.hInstance, NULL);
}

TEST_F(ServerLink, WindowDestroyedBeforeTheSend) {
    HWND window = MakeWindow("QuarctlTestVanishing");
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(DestroyWindow(window));

    const DWORD start = GetTickCount();
    const ControlExchange exchange = SendControlCommand(window, CMD_STATUS);
    EXPECT_EQ(exchange.outcome, ExchangeOutcome::NotResponding);
    EXPECT_LT(GetTickCount() - start, 1000u);
    UnregisterClassA("QuarctlTestVanishing", GetModuleHandleA(NULL));
}

// Destroys each doomed window as the walk stands on it, as a busy desktop's
// tooltips and menus close, and takes the frame.
bool CloseDoomed(HWND window, void* context) {
    auto* doomed = static_cast<std::vector<HWND>*>(context);
    const auto at = std::find(doomed->begin(), doomed->end(), window);
    if (at == doomed->end()) return IsServerFrameClass(window);
    DestroyWindow(window);
    doomed->erase(at);
    return false;
}

// The walk starts again from the top when the window it stands on closes,
// at most three times, then ends as at the last window.
TEST_F(ServerLink, WalkSurvivesAClosingWindow) {
    HWND frame = MakeWindow("QuarvelFrameClass");
    ASSERT_NE(frame, nullptr);
    for (const int closing : {1, 3, 4}) {
        SCOPED_TRACE(closing);
        std::vector<HWND> doomed(static_cast<size_t>(closing));
        for (HWND& window : doomed) window = MakeWindow("QuarctlTestTooltip", WS_EX_TOPMOST);
        EXPECT_EQ(WalkTopLevelWindows(CloseDoomed, &doomed), closing <= 3 ? frame : NULL);
        for (HWND left : doomed) DestroyWindow(left);
    }
    DestroyWindow(frame);
    UnregisterClassA("QuarvelFrameClass", GetModuleHandleA(NULL));
}

TEST_F(ServerLink, NothingFoundWithoutAServer) {
    EXPECT_FALSE(ProbeServerMutex());
    EXPECT_EQ(FindServerWindow(), nullptr);
}

} // namespace

namespace {

// The request's bytes as the stand-in logs them: thread id, then command,
// each little-endian.
std::string RequestBytes(DWORD thread, const char* command) {
    char bytes[9];
    snprintf(bytes, sizeof bytes, "%02lX%02lX%02lX%02lX", thread & 0xFF, (thread >> 8) & 0xFF, (thread >> 16) & 0xFF,
             thread >> 24);
    return bytes + std::string(command);
}

// Through the link itself, against a server in a process of its own (in
// the x86 lane, a 64-bit one): the request is 8 bytes whatever the size of
// a pointer, and each reply code comes back as it was posted.
TEST_F(ServerLink, ExchangesWithAServer) {
    StandIn server("--reply 0x047F,0x0480,0x0481,0x0012,0x0401");
    ASSERT_TRUE(server.ready());
    EXPECT_TRUE(ProbeServerMutex());
    HWND window = FindServerWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window, FindWindowA("QuarvelFrameClass", NULL));
    struct Case {
        const char* bytes;
        UINT command;
        UINT reply;
    };
    const Case cases[] = {
        {"0B060000", 0x060B, 0x047F}, {"09060000", 0x0609, 0x0480}, {"08060000", 0x0608, 0x0481},
        {"0A060000", 0x060A, 0x0012}, {"0B060000", 0x060B, 0x0401},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        const ControlExchange exchange = SendControlCommand(window, c.command);
        EXPECT_EQ(exchange.outcome, ExchangeOutcome::Replied);
        EXPECT_EQ(exchange.replyCode, c.reply);
        EXPECT_EQ(exchange.sendError, 0u);
        EXPECT_EQ(exchange.filterError, 0u); // the reply codes let through
    }
    const std::vector<std::string> log = server.Log();
    ASSERT_EQ(log.size(), 5u);
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].find("request wParam=0 dwData=0 cbData=8 thread="), 0u) << log[i];
        EXPECT_NE(log[i].find(" bytes=" + RequestBytes(GetCurrentThreadId(), cases[i].bytes)), std::string::npos)
            << log[i];
    }
}

// A reply posted just before the server's handler ends its process counts,
// though the send itself fails.
TEST_F(ServerLink, ReplyBeforeAFailedSend) {
    StandIn server("--answer-then-die");
    ASSERT_TRUE(server.ready());
    const ControlExchange exchange = SendControlCommand(FindServerWindow(), 0x060B);
    EXPECT_EQ(exchange.outcome, ExchangeOutcome::Replied);
    EXPECT_EQ(exchange.replyCode, 0x0480u);
}

// Frame windows that are no top-level windows are there, but never taken.
TEST_F(ServerLink, OnlyTopLevelFramesAreTaken) {
    for (const char* mode : {"--message-only", "--child"}) {
        SCOPED_TRACE(mode);
        StandIn server(mode);
        ASSERT_TRUE(server.ready());
        EXPECT_TRUE(ProbeServerMutex());
        EXPECT_EQ(FindServerWindow(), nullptr);
        HWND parent = std::string(mode) == "--message-only" ? HWND_MESSAGE : FindWindowA("StandInOtherClass", NULL);
        EXPECT_NE(FindWindowExA(parent, NULL, "QuarvelFrameClass", NULL), nullptr) << "the frame is missing";
    }
}

} // namespace
