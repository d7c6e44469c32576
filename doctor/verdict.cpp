#include "verdict.h"

#include <ctype.h>

#include <vector>

#include "../frontend/frontend.h"
#include "../session/choice.h"

namespace {

struct Diagnosis {
    const char* cause;
    const char* advice;
};

// Advice that more than one cause shares.
const char ADVICE_WAIT[] = "Wait a few seconds and try again; if it lasts, restart the application.";
const char ADVICE_ELEVATE[] =
    "Run the script elevated too (as administrator), or start the application without elevation.";
const char ADVICE_TOP_LEVEL[] =
    "Use a version of the application that quarctl supports: one with a top-level frame window.";
const char ADVICE_LOOK_AT_APP[] = "Look at the application, not at the tool: wait for it, or restart it.";
const char ADVICE_ACT_ON_ERROR[] = "Act on that error, then try again.";

const Diagnosis NOT_RUNNING = {"The application is not running in this session.",
                               "Start the application, or run the tool in the session where it runs."};
const Diagnosis OTHER_SESSION = {
    "This process runs apart from the user's desktop (session 0 or a non-interactive window station), "
    "as a service or a task that runs whether or not the user is logged on.",
    "Run the tool in the application's own session: as the logged-on user, or from a task set to run "
    "only when the user is logged on."};
const Diagnosis GLOBAL_ONLY = {
    "A mutex of that name exists only in the global namespace: the application runs in another session, "
    "such as a service's.",
    "Run the tool and the application in the same session, as the same user."};
const Diagnosis WINDOW_WITHOUT_MUTEX = {
    "A frame window is there but no mutex: the application is starting up or closing down.",
    ADVICE_WAIT};
const Diagnosis ELEVATED = {
    "The application runs elevated and this process does not, so its mutex refuses full access.",
    ADVICE_ELEVATE};
const Diagnosis RESTRICTED = {
    "The mutex exists but refuses this user full access: another user's application holds it, or it "
    "was made with restricted access.",
    "Run the tool as the user who started the application."};
const Diagnosis WRONG_OBJECT = {"Another kind of object, not a mutex, holds the application's mutex name.",
                                "Close the program that made it, then restart the application."};
const Diagnosis MUTEX_ERROR = {"The mutex cannot be opened, for the reason the error above gives.",
                               ADVICE_ACT_ON_ERROR};
const Diagnosis MESSAGE_ONLY = {
    "The frame window is a message-only window, and quarctl takes only top-level windows.",
    ADVICE_TOP_LEVEL};
const Diagnosis CHILD = {"The frame window is a child window, and quarctl takes only top-level windows.",
                         ADVICE_TOP_LEVEL};
const Diagnosis OTHER_DESKTOP = {
    "The frame window is on another desktop, and quarctl sees only the windows of its own desktop.",
    "Run the tool on the application's desktop."};
const Diagnosis NO_WINDOW = {
    "The application holds its mutex but has no frame window: it is starting up or closing down.",
    ADVICE_WAIT};
const Diagnosis FOUND = {"The application's frame window was found; nothing was sent.",
                         "Run quarctl-doctor without --no-send to try the exchange."};
const Diagnosis FOUND_HUNG = {"The application's window is hung: quarctl finds it, but its request would fail.",
                              ADVICE_LOOK_AT_APP};
const Diagnosis ANSWERED = {"The application answered.", "Nothing: quarctl reaches the application."};
const Diagnosis ODD_ANSWER = {"The application answered with a code that is no answer to STATUS.",
                              "Use a version of the application that quarctl supports."};
const Diagnosis DIED = {"The application ended while it handled the request.",
                        "Find out why it ended (its logs, Windows' crash reports), then restart it."};
const Diagnosis WINDOW_GONE = {
    "The frame window was closed after quarctl found it: the application is closing down.",
    "Try again in a few seconds."};
const Diagnosis HUNG = {"The application is hung: its window does not handle its messages.",
                        ADVICE_LOOK_AT_APP};
const Diagnosis UIPI = {
    "User Interface Privilege Isolation blocked the request: the application runs at a higher integrity "
    "level than this process.",
    ADVICE_ELEVATE};
const Diagnosis UNDELIVERED = {"The request was not delivered, for the reason the error above gives.",
                               ADVICE_ACT_ON_ERROR};
const Diagnosis LATE = {"The application answers, but only after quarctl's 5 s bound.",
                        "Look at the application: it is too busy to answer in time."};
const Diagnosis REPLY_FILTERED = {
    "The application runs at a lower integrity level than this process, and this process's message filter could "
    "not be opened to its replies: User Interface Privilege Isolation drops them.",
    "Run the tool at the application's level (not elevated), or act on the filter's error above."};
const Diagnosis REPLY_MAYBE_FILTERED = {
    "The application runs at a lower integrity level than this process; its message filter was opened to the "
    "replies, but Windows does not document that it admits messages posted to a thread, so User Interface "
    "Privilege Isolation may have dropped them.",
    "Run the tool at the application's level (not elevated): if the application answers then, the filter was the "
    "cause."};
const Diagnosis SILENT = {"The application took the request but never answered.",
                          "Look at the application: it takes requests but posts no reply."};

// Whether the user's desktop is out of this process's reach.
bool ApartFromUser(const ProcessFacts& process) {
    return process.session == 0 || (!process.windowStation.empty() && lstrcmpiA(process.windowStation.c_str(),
                                                                                 "WinSta0") != 0);
}

// Whether the application's process runs at a higher integrity level than
// this one; when its level cannot be read, whether this one is not elevated.
bool AppOutranksUs(const ProcessFacts& process, const WindowFacts& app) {
    if (app.integrity != INTEGRITY_UNKNOWN && process.integrity != INTEGRITY_UNKNOWN) {
        return app.integrity > process.integrity;
    }
    return process.elevationKnown && !process.elevated;
}

Diagnosis MutexDiagnosis(const Facts& facts) {
    switch (facts.mutex.error) {
    case ERROR_ACCESS_DENIED:
        return facts.process.elevationKnown && !facts.process.elevated ? ELEVATED : RESTRICTED;
    case ERROR_INVALID_HANDLE:
        return WRONG_OBJECT;
    case ERROR_FILE_NOT_FOUND:
        if (ApartFromUser(facts.process)) return OTHER_SESSION;
        if (facts.mutex.globalExists) return GLOBAL_ONLY;
        return facts.windows.frames.empty() ? NOT_RUNNING : WINDOW_WITHOUT_MUTEX;
    default:
        return MUTEX_ERROR;
    }
}

Diagnosis WindowDiagnosis(const Facts& facts) {
    if (!facts.windows.nearMisses.empty()) {
        switch (facts.windows.nearMisses.front().kind) {
        case NearMissKind::MessageOnly:
            return MESSAGE_ONLY;
        case NearMissKind::Child:
            return CHILD;
        case NearMissKind::OtherDesktop:
            return OTHER_DESKTOP;
        }
    }
    return ApartFromUser(facts.process) ? OTHER_SESSION : NO_WINDOW;
}

// Why a send failed, told by what became of the window and its process
// after it: the error alone is ambiguous (a receiver that dies mid-send
// and a send blocked by UIPI can both give ERROR_ACCESS_DENIED).
Diagnosis SendDiagnosis(const Facts& facts, const WindowFacts& app) {
    const ExchangeFacts& exchange = facts.exchange;
    if (exchange.processKnown && !exchange.processAlive) return DIED;
    if (!exchange.windowExists) return WINDOW_GONE;
    const DWORD error = SendError(exchange.exchange.sendError, exchange.exchange.sendMs);
    if (exchange.hung || error == ERROR_TIMEOUT) return HUNG;
    if (exchange.exchange.sendError == ERROR_ACCESS_DENIED && AppOutranksUs(facts.process, app)) return UIPI;
    return UNDELIVERED;
}

// A sentence as the front end prints it, without its empty line.
std::string Sentence(const char* text) {
    std::string sentence = text == NULL ? "" : text;
    while (!sentence.empty() && sentence.back() == '\n') sentence.pop_back();
    return sentence;
}

Verdict Make(const char* sentence, int status, bool known, const std::string& cause, const std::string& advice) {
    Verdict verdict;
    verdict.known = known;
    verdict.sentence = Sentence(sentence);
    verdict.toolStatus = status;
    verdict.cause = cause;
    verdict.advice = advice;
    return verdict;
}

Verdict Make(const char* sentence, int status, bool known, const Diagnosis& diagnosis) {
    return Make(sentence, status, known, diagnosis.cause, diagnosis.advice);
}

// " (user alice)", or nothing when no user is known.
std::string UserNote(const SessionFacts& session) {
    return session.user.empty() ? "" : " (user " + session.user + ")";
}

// When the application's mutex is in another session's namespace: which
// session quarctl-session would take, as its own choice makes it, and why
// quarctl here cannot reach it. False when no other session holds it.
bool ElsewhereCause(const Facts& facts, std::string* cause, std::string* advice) {
    std::vector<SessionCandidate> candidates;
    std::string holders;
    int count = 0;
    for (const SessionFacts& session : facts.sessions.sessions) {
        candidates.push_back({session.id, session.holdsMutex});
        if (!session.holdsMutex) continue;
        if (session.id == facts.process.session) return false; // it is here after all
        holders += (count++ == 0 ? "" : ", ") + std::to_string(session.id) + UserNote(session);
    }
    if (count == 0) return false;
    const std::string where = (count == 1 ? "session " : "sessions ") + holders;
    const BridgeArguments none = {false, 0, NULL, NULL};
    const SessionChoice choice = ChooseSession(candidates.data(), static_cast<int>(candidates.size()),
                                               facts.sessions.console, facts.process.session, none);
    const std::string own = "; this process runs in session " + std::to_string(facts.process.session) + ".";
    if (choice.kind != ChoiceKind::Run) {
        *cause = "The application runs in " + where + ", none of them the console's" + own;
        *advice = "Run quarctl-session --session N instead, as LocalSystem (a service, or a task that runs as "
                  "SYSTEM), with N the session to reach.";
        return true;
    }
    *cause = "The application runs in " + where + own;
    *advice = "Run quarctl-session instead, as LocalSystem (a service, or a task that runs as SYSTEM): it runs "
              "quarctl in session " + std::to_string(choice.session) + " and relays its answer.";
    return true;
}

} // namespace

Verdict Diagnose(const Facts& facts) {
    if (!facts.mutex.opened) {
        std::string cause;
        std::string advice;
        if (facts.mutex.error == ERROR_FILE_NOT_FOUND && ElsewhereCause(facts, &cause, &advice)) {
            return Make(MSG_NOT_RUNNING, 1, true, cause, advice);
        }
        return Make(MSG_NOT_RUNNING, 1, true, MutexDiagnosis(facts));
    }
    const WindowFacts* app = TakenWindow(facts.windows);
    if (app == NULL) return Make(MSG_NO_WINDOW, 1, true, WindowDiagnosis(facts));
    if (!facts.exchange.attempted) return Make(NULL, 0, false, app->hung ? FOUND_HUNG : FOUND);

    const ControlExchange& exchange = facts.exchange.exchange;
    switch (exchange.outcome) {
    case ExchangeOutcome::Replied: {
        const char* text = OutcomeText("STATUS", exchange.replyCode);
        return Make(text, 0, true, text != NULL ? ANSWERED : ODD_ANSWER);
    }
    case ExchangeOutcome::NotResponding:
        return Make(MSG_NOT_RESPONDING, 1, true, SendDiagnosis(facts, *app));
    case ExchangeOutcome::NoReply:
        break;
    }
    if (facts.exchange.lateReply) return Make(MSG_NO_REPLY, 1, true, LATE);
    // Where Windows has no filter (before Vista) it has no UIPI either.
    const DWORD filterError = exchange.filterError;
    if (filterError != ERROR_PROC_NOT_FOUND && WeOutrankApp(facts.process, *app)) {
        return Make(MSG_NO_REPLY, 1, true, filterError != 0 ? REPLY_FILTERED : REPLY_MAYBE_FILTERED);
    }
    return Make(MSG_NO_REPLY, 1, true, SILENT);
}

const WindowFacts* TakenWindow(const WindowSearchFacts& windows) {
    for (const WindowFacts& frame : windows.frames) {
        if (frame.window == windows.taken) return &frame;
    }
    return NULL;
}

bool WeOutrankApp(const ProcessFacts& process, const WindowFacts& app) {
    if (app.integrity != INTEGRITY_UNKNOWN && process.integrity != INTEGRITY_UNKNOWN) {
        return process.integrity > app.integrity;
    }
    return process.elevationKnown && process.elevated;
}

Route WayFromHere(const WayFacts& way) {
    // Without SeTcbPrivilege WTSQueryUserToken fails with 1314.
    const Route route =
        PlanRoute({way.job, true, way.localSystem ? DWORD{0} : DWORD{ERROR_PRIVILEGE_NOT_HELD}, false});
    const bool serviceStarts = way.serviceError == 0 && way.startType != SERVICE_DISABLED;
    return route == Route::Service && !serviceStarts ? Route::Refuse : route;
}

std::string ServiceProgram(const std::string& command) {
    if (!command.empty() && command[0] == '"') {
        const size_t close = command.find('"', 1);
        return close == std::string::npos ? std::string() : command.substr(1, close - 1);
    }
    std::string lower = command;
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    const size_t exe = lower.find(".exe");
    return exe == std::string::npos ? std::string() : command.substr(0, exe + 4);
}

bool ServiceRunsBridge(const std::string& command, const std::string& bridge) {
    const std::string arguments = " --service";
    for (const std::string& path : {"\"" + bridge + "\"", bridge}) {
        if (command.size() == path.size() + arguments.size() &&
            lstrcmpiA(command.substr(0, path.size()).c_str(), path.c_str()) == 0 &&
            command.compare(path.size(), std::string::npos, arguments) == 0) {
            return true;
        }
    }
    return false;
}

const char* IntegrityName(DWORD integrity) {
    const struct {
        DWORD rid;
        const char* name;
    } levels[] = {
        {SECURITY_MANDATORY_UNTRUSTED_RID, "Untrusted"}, {SECURITY_MANDATORY_LOW_RID, "Low"},
        {SECURITY_MANDATORY_MEDIUM_RID, "Medium"},       {0x2100, "Medium Plus"},
        {SECURITY_MANDATORY_HIGH_RID, "High"},           {SECURITY_MANDATORY_SYSTEM_RID, "System"},
        {SECURITY_MANDATORY_PROTECTED_PROCESS_RID, "Protected"},
    };
    for (const auto& level : levels) {
        if (level.rid == integrity) return level.name;
    }
    return "unknown";
}
