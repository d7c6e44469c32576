#include "fake_serverlink.h"

#include <cstdio>

FakeServerLink fakeLink;

namespace {
void Record(const std::string& call) {
    if (!fakeLink.calls.empty()) fakeLink.calls += ' ';
    fakeLink.calls += call;
}
} // namespace

bool ProbeServerMutex() {
    Record("mutex");
    return fakeLink.mutexExists;
}

HWND FindServerWindow() {
    Record("window");
    return fakeLink.window;
}

// cppcheck-suppress constParameter ; the signature is the real link's
ControlExchange SendControlCommand(HWND window, UINT commandCode) {
    char call[64];
    snprintf(call, sizeof call, "send:0x%04X%s", commandCode, window == fakeLink.window ? "" : " to a stray window");
    Record(call);
    return fakeLink.exchange;
}
