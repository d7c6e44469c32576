// The server link in-process, where a test can stage what a separate
// server cannot: a window that is gone by the time the request is sent.
#include <gtest/gtest.h>

#include "../serverlink/serverlink.h"
#include "desktop_test.h"

namespace {

using ServerLink = DesktopTest;

TEST_F(ServerLink, WindowDestroyedBeforeTheSend) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = "QuarctlTestVanishing";
    ASSERT_NE(RegisterClassA(&windowClass), 0);
    HWND window = CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 10, 10, NULL, NULL,
                                  windowClass.hInstance, NULL);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(DestroyWindow(window));

    const DWORD start = GetTickCount();
    const ControlExchange exchange = SendControlCommand(window, CMD_STATUS);
    EXPECT_EQ(exchange.outcome, ExchangeOutcome::NotResponding);
    EXPECT_LT(GetTickCount() - start, 1000u);
    UnregisterClassA(windowClass.lpszClassName, windowClass.hInstance);
}

TEST_F(ServerLink, NothingFoundWithoutAServer) {
    EXPECT_FALSE(ProbeServerMutex());
    EXPECT_EQ(FindServerWindow(), nullptr);
}

} // namespace
