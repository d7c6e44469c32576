// quarctl-doctor's verdict alone, for what a test machine cannot stage:
// elevation, UIPI and other sessions, which Wine does not enforce.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "../doctor/verdict.h"

namespace {

// A medium-integrity script in the user's session, a found frame window of
// an elevated application, and a send refused with ERROR_ACCESS_DENIED
// while the window and its process live on.
Facts Blocked() {
    Facts facts;
    facts.process.session = 1;
    facts.process.windowStation = "WinSta0";
    facts.process.desktop = "Default";
    facts.process.integrity = 0x2000;
    facts.process.elevationKnown = true;
    facts.process.elevated = false;
    facts.mutex.opened = true;
    WindowFacts app;
    app.window = reinterpret_cast<HWND>(0x10020);
    app.processId = 4321;
    app.integrity = 0x3000;
    facts.windows.frames.push_back(app);
    facts.windows.taken = app.window;
    facts.exchange.attempted = true;
    facts.exchange.exchange = {ExchangeOutcome::NotResponding, 0, 5, 3, 0};
    facts.exchange.processKnown = true;
    return facts;
}

// The same situation, with the mutex refusing full access instead.
void MutexRefused(Facts& facts) {
    facts.mutex = MutexFacts();
    facts.mutex.error = 5;
    facts.mutex.existsForSync = true;
}

TEST(Verdict, CausesNoTestMachineCanStage) {
    struct Case {
        const char* name;
        std::function<void(Facts&)> change;
        const char* sentence;
        const char* cause;
    };
    const Case cases[] = {
        {"UIPI", [](Facts&) {}, "QUARCTL: Quarvel is not responding.",
         "User Interface Privilege Isolation blocked the request: the application runs at a higher integrity "
         "level than this process."},
        {"UIPI, the application's level unreadable",
         [](Facts& f) { f.windows.frames[0].integrity = 0xFFFFFFFF; }, "QUARCTL: Quarvel is not responding.",
         "User Interface Privilege Isolation blocked the request: the application runs at a higher integrity "
         "level than this process."},
        // The same error from a receiver that ended in its handler.
        {"died", [](Facts& f) { f.exchange.processAlive = false; f.exchange.windowExists = false; },
         "QUARCTL: Quarvel is not responding.", "The application ended while it handled the request."},
        {"window gone", [](Facts& f) { f.exchange.windowExists = false; }, "QUARCTL: Quarvel is not responding.",
         "The frame window was closed after quarctl found it: the application is closing down."},
        {"same level", [](Facts& f) { f.windows.frames[0].integrity = 0x2000; },
         "QUARCTL: Quarvel is not responding.", "The request was not delivered, for the reason the error above gives."},
        {"elevated application", MutexRefused, "QUARCTL: Quarvel is NOT running.",
         "The application runs elevated and this process does not, so its mutex refuses full access."},
        {"another user",
         [](Facts& f) {
             MutexRefused(f);
             f.process.elevated = true;
         },
         "QUARCTL: Quarvel is NOT running.",
         "The mutex exists but refuses this user full access: another user's application holds it, or it was made "
         "with restricted access."},
        {"session 0",
         [](Facts& f) {
             f = Facts();
             f.mutex.error = 2;
         },
         "QUARCTL: Quarvel is NOT running.",
         "This process runs apart from the user's desktop (session 0 or a non-interactive window station), as a "
         "service or a task that runs whether or not the user is logged on."},
        {"a service's window station",
         [](Facts& f) {
             f.process.windowStation = "Service-0x0-3e7$";
             f.windows = WindowSearchFacts();
         },
         "QUARCTL: Fatal Error: Unable to find Quarvel main window.",
         "This process runs apart from the user's desktop (session 0 or a non-interactive window station), as a "
         "service or a task that runs whether or not the user is logged on."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Facts facts = Blocked();
        c.change(facts);
        const Verdict verdict = Diagnose(facts);
        EXPECT_EQ(verdict.sentence, c.sentence);
        EXPECT_EQ(verdict.toolStatus, 1);
        EXPECT_EQ(verdict.cause, c.cause);
        EXPECT_FALSE(verdict.advice.empty());
    }
}

} // namespace
