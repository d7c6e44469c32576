// quarctl-session's decisions alone: its command line, and which session it
// runs quarctl in, for session layouts that Wine cannot stage (Wine puts
// every process in session 1 and lists no sessions).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../session/choice.h"

namespace {

// Parses the arguments after the program name.
bool Parse(std::vector<std::string> args, BridgeArguments* parsed) {
    args.insert(args.begin(), "quarctl-session");
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(NULL);
    return ParseBridgeArguments(static_cast<int>(args.size()), argv.data(), parsed);
}

TEST(SessionBridge, ReadsItsCommandLine) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
        bool sessionGiven;
        DWORD session;
        const char* keyword; // NULL: none
    };
    const Case cases[] = {
        {{}, true, false, 0, NULL},
        {{"STATUS"}, true, false, 0, "STATUS"},
        {{""}, true, false, 0, ""},
        {{"STATUS", "extra"}, true, false, 0, "STATUS"},
        {{"--session", "2", "STOP"}, true, true, 2, "STOP"},
        {{"--session", "0"}, true, true, 0, NULL},
        {{"--session", "4294967294", "x", "y"}, true, true, 4294967294u, "x"},
        // Only the first argument may be the option.
        {{"STATUS", "--session", "2"}, true, false, 0, "STATUS"},
        {{"--session"}, false, false, 0, NULL},
        {{"--session", ""}, false, false, 0, NULL},
        {{"--session", "-1"}, false, false, 0, NULL},
        {{"--session", " 2"}, false, false, 0, NULL},
        {{"--session", "+2"}, false, false, 0, NULL},
        {{"--session", "0x2"}, false, false, 0, NULL},
        {{"--session", "2x"}, false, false, 0, NULL},
        {{"--session", "4294967295"}, false, false, 0, NULL}, // no session's id
        {{"--session", "99999999999"}, false, false, 0, NULL},
        {{"--session", "00000000001"}, false, false, 0, NULL},
    };
    for (const Case& c : cases) {
        std::string name;
        for (const std::string& arg : c.args) name += "'" + arg + "' ";
        SCOPED_TRACE(name);
        BridgeArguments parsed;
        EXPECT_EQ(Parse(c.args, &parsed), c.ok);
        if (!c.ok) {
            EXPECT_NE(parsed.badValue, nullptr);
            continue;
        }
        EXPECT_EQ(parsed.sessionGiven, c.sessionGiven);
        EXPECT_EQ(parsed.session, c.session);
        EXPECT_EQ(parsed.keyword == NULL ? "(none)" : std::string(parsed.keyword),
                  c.keyword == NULL ? "(none)" : std::string(c.keyword));
    }
}

TEST(SessionBridge, ChoosesTheApplicationsSession) {
    struct Case {
        const char* name;
        std::vector<SessionCandidate> candidates;
        DWORD console;
        DWORD own;
        int requested; // -1: no --session
        ChoiceKind kind;
        DWORD session;
    };
    const Case cases[] = {
        {"a service, the application in the console session", {{0, false}, {1, true}}, 1, 0, -1, ChoiceKind::Run, 1},
        {"a service, the application in a remote session", {{0, false}, {1, false}, {3, true}}, 1, 0, -1,
         ChoiceKind::Run, 3},
        {"the application in our own session", {{1, true}}, 1, 1, -1, ChoiceKind::Run, 1},
        // quarctl then says "NOT running" itself, with its own status.
        {"no session holds it", {{0, false}, {1, false}, {2, false}}, 1, 0, -1, ChoiceKind::Run, 0},
        {"no session listed at all", {}, 0xFFFFFFFF, 4, -1, ChoiceKind::Run, 4},
        {"several, the console's among them", {{0, false}, {2, true}, {1, true}, {3, true}}, 1, 0, -1,
         ChoiceKind::Run, 1},
        {"several, none the console's", {{0, false}, {1, false}, {2, true}, {3, true}}, 1, 0, -1,
         ChoiceKind::Several, 0},
        {"several, no console session", {{2, true}, {3, true}}, 0xFFFFFFFF, 0, -1, ChoiceKind::Several, 0},
        {"--session names a holder among several", {{2, true}, {3, true}}, 1, 0, 3, ChoiceKind::Run, 3},
        {"--session overrides the one holder", {{0, false}, {1, true}, {2, false}}, 1, 0, 2, ChoiceKind::Run, 2},
        {"--session 0", {{0, false}, {1, true}}, 1, 0, 0, ChoiceKind::Run, 0},
        {"--session names no session", {{0, false}, {1, true}}, 1, 0, 7, ChoiceKind::NoSuchSession, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BridgeArguments arguments = {c.requested >= 0, static_cast<DWORD>(c.requested), "STATUS", NULL};
        const SessionChoice choice = ChooseSession(c.candidates.data(), static_cast<int>(c.candidates.size()),
                                                   c.console, c.own, arguments);
        EXPECT_EQ(choice.kind, c.kind);
        if (c.kind != ChoiceKind::Several) {
            EXPECT_EQ(choice.session, c.session);
        }
    }
}

TEST(SessionBridge, AdvisesOnTokenErrors) {
    struct Case {
        DWORD error;
        const char* advice;
    };
    const Case cases[] = {
        {1314, "Run quarctl-session as LocalSystem, from a service or a task that runs as SYSTEM: only it may take "
               "the token of session 2's user."},
        {1008, "No user is logged on in session 2: log on there, or name another session with --session."},
        {5, "Act on that error, then try again."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        char advice[256];
        snprintf(advice, sizeof advice, TokenAdvice(c.error), 2ul);
        EXPECT_STREQ(advice, c.advice);
    }
}

} // namespace
