// quarctl-session's decisions alone: its command line, and which session it
// runs quarctl in, for session layouts that Wine cannot stage (Wine puts
// every process in session 1 and lists no sessions).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <windows.h>
#include <sddl.h>

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
        {1314, "Run quarctl-session as an account with SeTcbPrivilege (LocalSystem), from a service or a task that "
               "runs as SYSTEM: only such an account may take the token of session 2's user."},
        {5, "Run quarctl-session as LocalSystem, from a service or a task that runs as SYSTEM: Windows gives session "
            "2's user token to LocalSystem alone."},
        {2, "Session 2 does not exist (any more): name a session where a user is logged on (query session lists "
            "them)."},
        {1008, "No user is logged on in session 2: log on there, or name another session with --session."},
        {87, "Act on that error, then try again."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        char advice[256];
        snprintf(advice, sizeof advice, TokenAdvice(c.error), 2ul);
        EXPECT_STREQ(advice, c.advice);
    }
}

// From inside a caller's job: quarctl stays in it in the bridge's own
// session, and leaves it for another, where the job allows; else the
// service starts it, as where this account may not take a user's token.
TEST(SessionBridge, PlansTheRoute) {
    const DWORD breakaway = 0x800;  // JOB_OBJECT_LIMIT_BREAKAWAY_OK
    const DWORD silent = 0x1000;    // JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK
    const DWORD kill = 0x2000;      // JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE
    const JobFacts none = {false, false, 0};
    const JobFacts forbids = {true, true, kill};
    const JobFacts allows = {true, true, kill | breakaway};
    const Route direct = Route::Direct, leave = Route::Breakaway, service = Route::Service, refuse = Route::Refuse;
    struct Case { const char* name; RouteFacts facts; Route route; };
    const Case cases[] = {
        {"no job, another session", {none, true, 0, false}, direct},
        {"own session, a forbidding job", {forbids, false, 0, false}, direct},
        {"own session, breakaway allowed", {allows, false, 0, false}, direct},
        {"another session, breakaway allowed", {allows, true, 0, false}, leave},
        {"another session, silent breakaway", {{true, true, kill | silent}, true, 0, false}, direct},
        {"another session, a forbidding job", {forbids, true, 0, false}, service},
        {"another session, limits unread", {{true, false, 0}, true, 0, false}, leave},
        {"another session, no limits read", {{true, true, 0}, true, 0, false}, leave},
        {"a breakaway refused", {{true, true, 0}, true, 0, true}, service},
        {"no SeTcbPrivilege", {none, true, 1314, false}, service},
        {"no SeTcbPrivilege, own session", {none, false, 1314, false}, direct},
        {"nobody logged on", {allows, true, 1008, false}, refuse},
        {"not LocalSystem", {none, true, 5, false}, refuse},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(static_cast<int>(PlanRoute(c.facts)), static_cast<int>(c.route));
    }
}

// A SID from its string form, freed with the object.
struct Sid {
    explicit Sid(const char* text) { ConvertStringSidToSidA(text, &sid); }
    ~Sid() { LocalFree(sid); }
    PSID sid = NULL;
};

TEST(SessionBridge, ChecksTheFolderForServicesOnly) {
    const struct { const char* user; DWORD session; bool applies; } cases[] = {
        {"S-1-5-18", 1, true},  {"S-1-5-19", 1, true}, {"S-1-5-20", 1, true},
        {"S-1-5-80-123-456", 1, true}, // NT SERVICE\<name>
        {"S-1-5-21-1-2-3-1001", 0, true}, {"S-1-5-21-1-2-3-1001", 1, false}, {"S-1-5-32-544", 2, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user);
        Sid user(c.user);
        ASSERT_NE(user.sid, nullptr);
        EXPECT_EQ(FolderCheckApplies(user.sid, c.session), c.applies);
    }
}

// Who may change a file or folder, by its descriptor as icacls would show it.
TEST(SessionBridge, FindsWhoMayChangeAFile) {
    const char TI[] = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    struct Case { const char* name; std::string sddl; bool folder; const char* account; }; // account NULL: safe
    const Case cases[] = {
        {"Program Files as installed",
         std::string("O:") + TI + "D:PAI(A;;FA;;;" + TI + ")(A;CIIO;GA;;;" + TI +
             ")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)"
             "(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)(A;OICIIO;GXGR;;;AC)",
         true, NULL},
        {"a folder under C:\\",
         "O:BAD:AI(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)(A;ID;FA;;;SY)(A;OICIIOID;GA;;;SY)(A;OICIID;0x1200a9;;;BU)"
         "(A;ID;0x1301bf;;;AU)(A;OICIIOID;SDGXGWGR;;;AU)",
         true, "S-1-5-11"},
        {"owned by a user", "O:S-1-5-21-1-2-3-1001D:(A;;FA;;;SY)", false, "S-1-5-21-1-2-3-1001"},
        {"Everyone may write", "O:SYD:(A;;FA;;;SY)(A;;FW;;;WD)", false, "S-1-1-0"},
        {"an inherit-only CREATOR OWNER", "O:SYD:(A;OICIIO;GA;;;CO)(A;;FA;;;BA)", true, NULL},
        {"a deny beside an allow", "O:BAD:(D;;FA;;;BU)(A;;0x2;;;BU)", false, "S-1-5-32-545"},
        {"delete a child, on a file", "O:SYD:(A;;0x40;;;BU)", false, NULL},
        {"delete a child, on a folder", "O:SYD:(A;;0x40;;;BU)", true, "S-1-5-32-545"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PSECURITY_DESCRIPTOR descriptor = NULL;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(c.sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                         NULL))
            << GetLastError();
        const ChangeRight right = WhoMayChange(descriptor, c.folder);
        EXPECT_EQ(right.safe, c.account == NULL);
        char* account = NULL;
        if (right.account != NULL) ConvertSidToStringSidA(right.account, &account);
        EXPECT_STREQ(account == NULL ? "" : account, c.account == NULL ? "" : c.account);
        LocalFree(account);
        LocalFree(descriptor);
    }
    // A NULL DACL lets everyone in; made by hand, as Wine reads the SDDL
    // for one (D:NO_ACCESS_CONTROL) as an empty DACL.
    SECURITY_DESCRIPTOR open;
    Sid admins("S-1-5-32-544");
    ASSERT_TRUE(InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&open, admins.sid, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&open, TRUE, NULL, FALSE));
    const ChangeRight right = WhoMayChange(&open, false);
    EXPECT_FALSE(right.safe);
    EXPECT_EQ(right.account, nullptr);
}

TEST(SessionBridge, FindsAMutexThatRefusesUs) {
    EXPECT_TRUE(MutexFound(reinterpret_cast<HANDLE>(0x44), 0));
    EXPECT_TRUE(MutexFound(NULL, 5));   // another user's
    EXPECT_FALSE(MutexFound(NULL, 2));  // none
}

} // namespace
