// quarctl-doctor's verdict alone, for what a test machine cannot stage:
// elevation, UIPI and other sessions, which Wine does not enforce.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

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

// A service in session 0 that finds no mutex in its own namespace, and
// the sessions that quarctl-session would look in.
void FromSessionZero(Facts& facts, std::vector<SessionFacts> sessions, DWORD console) {
    facts = Facts();
    facts.process.windowStation = "Service-0x0-3e7$";
    facts.mutex.error = 2;
    facts.sessions.console = console;
    facts.sessions.sessions = std::move(sessions);
}

// The same situation, with the mutex refusing full access instead.
void MutexRefused(Facts& facts) {
    facts.mutex = MutexFacts();
    facts.mutex.error = 5;
    facts.mutex.existsForSync = true;
}

// An elevated tool, a Medium application that took the request, and a
// message filter that could not be opened.
void NoReplyFromBelow(Facts& facts) {
    facts.process.integrity = 0x3000;
    facts.process.elevated = true;
    facts.windows.frames[0].integrity = 0x2000;
    facts.exchange.exchange = {ExchangeOutcome::NoReply, 0, 0, 3, 5000, 5};
}

TEST(Verdict, CausesNoTestMachineCanStage) {
    struct Case {
        const char* name;
        std::function<void(Facts&)> change;
        const char* sentence;
        const char* cause;
        const char* advice = ""; // what the advice must contain
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
        // UIPI refuses with ERROR_ACCESS_DENIED alone.
        {"higher level, another error", [](Facts& f) { f.exchange.exchange.sendError = 1400; },
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
        // quarctl prints nothing for an answer its row does not list.
        {"an answer to another request",
         [](Facts& f) { f.exchange.exchange = {ExchangeOutcome::Replied, 0x047F, 0, 3, 1}; }, "",
         "The application answered with a code that is no answer to STATUS."},
        // The send left no error: its full bound is a timeout.
        {"no error after the full bound", [](Facts& f) { f.exchange.exchange = {ExchangeOutcome::NotResponding, 0, 0, 5000, 0}; },
         "QUARCTL: Quarvel is not responding.", "The application is hung: its window does not handle its messages."},
        // Replies from below pass only an opened filter.
        {"replies filtered", NoReplyFromBelow, "QUARCTL: No reply from Quarvel.",
         "The application runs at a lower integrity level than this process, and this process's message filter could "
         "not be opened to its replies: User Interface Privilege Isolation drops them."},
        {"filter failed, same level", [](Facts& f) { NoReplyFromBelow(f); f.windows.frames[0].integrity = 0x3000; },
         "QUARCTL: No reply from Quarvel.", "The application took the request but never answered."},
        {"no filter before Vista", [](Facts& f) { NoReplyFromBelow(f); f.exchange.exchange.filterError = 127; },
         "QUARCTL: No reply from Quarvel.", "The application took the request but never answered."},
        // An opened filter may still drop posted replies: nothing says it does not.
        {"filter opened, from above", [](Facts& f) { NoReplyFromBelow(f); f.exchange.exchange.filterError = 0; },
         "QUARCTL: No reply from Quarvel.",
         "The application runs at a lower integrity level than this process; its message filter was opened to the "
         "replies, but Windows does not document that it admits messages posted to a thread, so User Interface "
         "Privilege Isolation may have dropped them.",
         "Run the tool at the application's level (not elevated)"},
        // The application's mutex found in another session's namespace.
        {"another session",
         [](Facts& f) { FromSessionZero(f, {{0, false, "Disconnected", ""}, {2, true, "Active", "alice"}}, 1); },
         "QUARCTL: Quarvel is NOT running.",
         "The application runs in session 2 (user alice); this process runs in session 0.",
         "quarctl-session instead, as LocalSystem (a service, or a task that runs as SYSTEM): it runs quarctl in "
         "session 2 "},
        {"several sessions, the console's among them",
         [](Facts& f) {
             FromSessionZero(f, {{0, false, "", ""}, {1, true, "Active", "bob"}, {2, true, "Disconnected", ""}}, 1);
         },
         "QUARCTL: Quarvel is NOT running.",
         "The application runs in sessions 1 (user bob), 2; this process runs in session 0.",
         "it runs quarctl in session 1 "},
        {"several sessions, none the console's",
         [](Facts& f) { FromSessionZero(f, {{0, false, "", ""}, {2, true, "", "a"}, {3, true, "", "b"}}, 1); },
         "QUARCTL: Quarvel is NOT running.",
         "The application runs in sessions 2 (user a), 3 (user b), none of them the console's; this process runs "
         "in session 0.",
         "quarctl-session --session N"},
        // A mutex refused in another session still tells where it is; in
        // this one, the session adds nothing to the refusal.
        {"refused here, held here",
         [](Facts& f) {
             MutexRefused(f);
             f.sessions.sessions = {{1, true, "Active", "carol"}};
         },
         "QUARCTL: Quarvel is NOT running.",
         "The application runs elevated and this process does not, so its mutex refuses full access."},
        {"none anywhere",
         [](Facts& f) { FromSessionZero(f, {{0, false, "", ""}, {1, false, "Active", "dave"}}, 1); },
         "QUARCTL: Quarvel is NOT running.",
         "This process runs apart from the user's desktop (session 0 or a non-interactive window station), as a "
         "service or a task that runs whether or not the user is logged on."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Facts facts = Blocked();
        c.change(facts);
        const Verdict verdict = Diagnose(facts);
        EXPECT_EQ(verdict.sentence, c.sentence);
        EXPECT_EQ(verdict.toolStatus, c.sentence[0] == '\0' ? 0 : 1);
        EXPECT_EQ(verdict.cause, c.cause);
        EXPECT_FALSE(verdict.advice.empty());
        EXPECT_NE(verdict.advice.find(c.advice), std::string::npos) << verdict.advice;
    }
}

} // namespace

namespace {

// The doctor's way into another session: the bridge's route from its job
// and account, and whether the installed service runs the bridge beside it.
TEST(Verdict, NamesTheWayToOtherSessions) {
    const JobFacts none = {false, false, 0};
    const JobFacts forbids = {true, true, 0x2000};  // JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE
    const JobFacts allows = {true, true, 0x2800};   // and JOB_OBJECT_LIMIT_BREAKAWAY_OK
    const DWORD demand = 3;    // SERVICE_DEMAND_START
    const DWORD disabled = 4;  // SERVICE_DISABLED
    const DWORD missing = 1060; // ERROR_SERVICE_DOES_NOT_EXIST
    const struct { JobFacts job; bool system; DWORD serviceError, startType; Route route; } ways[] = {
        {none, true, 0, demand, Route::Direct}, {allows, true, 0, demand, Route::Breakaway},
        {forbids, true, 0, demand, Route::Service}, {none, false, 0, demand, Route::Service}, // an elevated admin
        {forbids, true, 0, disabled, Route::Refuse}, {none, false, missing, 0, Route::Refuse},
        {none, true, missing, 0, Route::Direct},
    };
    for (const auto& w : ways) {
        WayFacts way;
        way.job = w.job;
        way.localSystem = w.system;
        way.serviceError = w.serviceError;
        way.startType = w.startType;
        EXPECT_EQ(static_cast<int>(WayFromHere(way)), static_cast<int>(w.route));
    }
    const std::string bridge = R"(C:\Program Files\QUARCTL\quarctl-session.exe)";
    const struct { const char* command; bool runsBridge; } commands[] = {
        {R"("C:\Program Files\QUARCTL\quarctl-session.exe" --service)", true},
        {R"(C:\Program Files\QUARCTL\quarctl-session.exe --service)", true}, // as Wine's msiexec writes it
        {R"("c:\program files\quarctl\QUARCTL-SESSION.EXE" --service)", true},
        {R"("C:\Tools\quarctl-session.exe" --service)", false},
        {R"("C:\Program Files\QUARCTL\quarctl-session.exe")", false},
        {R"("C:\Program Files\QUARCTL\quarctl-session.exe" --service STATUS)", false},
        {R"("C:\Program Files\QUARCTL\quarctl-session.exe" --SERVICE)", false}, // the bridge's is exact
    };
    for (const auto& c : commands) {
        SCOPED_TRACE(c.command);
        EXPECT_EQ(ServiceRunsBridge(c.command, bridge), c.runsBridge);
    }
    // The program whose folder the doctor judges.
    const struct { const char* command; const char* program; } programs[] = {
        {R"("C:\Program Files\QUARCTL\quarctl-session.exe" --service)", R"(C:\Program Files\QUARCTL\quarctl-session.exe)"},
        {R"(C:\Program Files\QUARCTL\quarctl-session.exe --service)", R"(C:\Program Files\QUARCTL\quarctl-session.exe)"},
        {R"(C:\Tools\Q.EXE)", R"(C:\Tools\Q.EXE)"}, {R"("C:\Tools\q.exe)", ""}, {"", ""},
    };
    for (const auto& p : programs) EXPECT_EQ(ServiceProgram(p.command), p.program) << p.command;
}

} // namespace
