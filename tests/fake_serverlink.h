// A server link that answers as a test tells it and records its calls.
#ifndef QUARCTL_FAKE_SERVERLINK_H
#define QUARCTL_FAKE_SERVERLINK_H

#include <string>

#include "../serverlink/serverlink.h"

struct FakeServerLink {
    bool mutexExists = true;
    HWND window = reinterpret_cast<HWND>(0x1234);
    ControlExchange exchange = {ExchangeOutcome::Replied, 0};
    std::string calls; // e.g. "mutex window send:0x060B"
};

extern FakeServerLink fakeLink;

#endif
