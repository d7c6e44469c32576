// quarctl-session's decisions alone: its command line, and which session it
// runs quarctl in, for session layouts that Wine cannot stage (Wine puts
// every process in session 1 and lists no sessions).
#include <gtest/gtest.h>

#include <stddef.h>

#include <functional>
#include <string>
#include <vector>

#include <windows.h>
#include <sddl.h>

#include "../session/choice.h"
#include "../session/folder.h"

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
    // The service's numbers: its session and the bridge's 64-bit deadline.
    // strtoul reads 4294967296 and above as 0xFFFFFFFF, the current session.
    const struct { const char* text; unsigned long long max; bool ok; unsigned long long value; } numbers[] = {
        {"4294967294", 0xFFFFFFFEull, true, 4294967294ull}, {"4294967295", 0xFFFFFFFEull, false, 0},
        {"4294967296", 0xFFFFFFFEull, false, 0},             {"9999999999", 0xFFFFFFFEull, false, 0},
        {"18446744073709551615", ~0ull, true, ~0ull},       {"18446744073709551616", ~0ull, false, 0},
        {"0", 0xFFFFFFFEull, true, 0},
    };
    for (const auto& n : numbers) {
        SCOPED_TRACE(n.text);
        unsigned long long value = 12345;
        EXPECT_EQ(ReadDecimal(n.text, n.max, &value), n.ok);
        EXPECT_EQ(value, n.ok ? n.value : 12345);
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
    const Route direct = Route::Direct;
    const Route leave = Route::Breakaway;
    const Route service = Route::Service;
    const Route refuse = Route::Refuse;
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

// WhoMayChange of a file with a descriptor made by hand, for what Wine's
// SDDL cannot express.
ChangeRight JudgeFile(PSID owner, PACL dacl) {
    SECURITY_DESCRIPTOR descriptor;
    EXPECT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_TRUE(SetSecurityDescriptorOwner(&descriptor, owner, FALSE));
    EXPECT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE));
    return WhoMayChange(&descriptor, false);
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
        {"Users may change the DACL", "O:SYD:(A;;WD;;;BU)", false, "S-1-5-32-545"},
        {"Users may take ownership", "O:SYD:(A;;WO;;;BU)", false, "S-1-5-32-545"},
        {"another service's account", "O:SYD:(A;;FA;;;S-1-5-80-1-2-3-4-5)", false, "S-1-5-80-1-2-3-4-5"},
        {"TrustedInstaller's owner, another service may write", std::string("O:") + TI + "D:(A;;FW;;;S-1-5-80-9)",
         false, "S-1-5-80-9"},
    };
    // A verdict as "safe", or the SID that it names ("" for none).
    const auto judged = [](const std::string& sddl, const std::function<ChangeRight(PSECURITY_DESCRIPTOR)>& judge) {
        PSECURITY_DESCRIPTOR descriptor = NULL;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor, NULL)) {
            return std::string("unreadable SDDL");
        }
        const ChangeRight right = judge(descriptor);
        char* account = NULL;
        if (right.account != NULL) ConvertSidToStringSidA(right.account, &account);
        std::string verdict = right.safe ? "safe" : account == NULL ? "" : account;
        LocalFree(account);
        LocalFree(descriptor);
        return verdict;
    };
    for (const Case& c : cases) {
        EXPECT_EQ(judged(c.sddl, [&c](PSECURITY_DESCRIPTOR d) { return WhoMayChange(d, c.folder); }),
                  c.account == NULL ? "safe" : c.account)
            << c.name;
    }
    // The service's access list, as the doctor judges it: who besides SYSTEM
    // and Administrators may start it, change its configuration or its
    // access list. Windows' default for a new service is safe, and so is ours.
    const struct { const char* name; std::string sddl; const char* account; } services[] = {
        {"ours", std::string("O:SY") + SERVICE_SDDL, NULL},
        {"Windows' default", "O:SYD:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)"
                             "(A;;CCLCSWLOCRRC;;;IU)(A;;CCLCSWLOCRRC;;;SU)", NULL},
        {"interactive users may start it", "O:SYD:(A;;CCLCSWRPLORC;;;IU)", "S-1-5-4"},
        {"authenticated users may reconfigure it", "O:SYD:(A;;CCDCLCRC;;;AU)", "S-1-5-11"},
        {"Everyone may change its access list", "O:SYD:(A;;WD;;;WD)", "S-1-1-0"},
        {"Users hold generic execute", "O:SYD:(A;;GX;;;BU)", "S-1-5-32-545"},
        {"Users may stop it, not start it", "O:SYD:(A;;WPLCRC;;;BU)", NULL},
        {"owned by a user", "O:S-1-5-21-1-2-3-1001D:(A;;CCLC;;;SY)", "S-1-5-21-1-2-3-1001"},
    };
    for (const auto& c : services) {
        EXPECT_EQ(judged(c.sddl, [](PSECURITY_DESCRIPTOR d) { return WhoHolds(d, SERVICE_GUARDED_RIGHTS); }),
                  c.account == NULL ? "safe" : c.account)
            << c.name;
    }
    // Allow ACEs of other kinds, which Wine's SDDL does not read: a
    // callback ACE and object ACEs with either GUID or both, each for
    // Users, made by hand; the SID follows the GUIDs that the flags announce.
    const struct { BYTE type; DWORD flags; } kinds[] = {
        {9, 0}, // ACCESS_ALLOWED_CALLBACK_ACE_TYPE
        {5, ACE_OBJECT_TYPE_PRESENT}, {5, ACE_INHERITED_OBJECT_TYPE_PRESENT}, // ACCESS_ALLOWED_OBJECT_ACE_TYPE
        {5, ACE_OBJECT_TYPE_PRESENT | ACE_INHERITED_OBJECT_TYPE_PRESENT},
    };
    for (const auto& kind : kinds) {
        SCOPED_TRACE(std::to_string(kind.type) + " flags " + std::to_string(kind.flags));
        alignas(ACL) BYTE aclBuffer[128];
        auto* acl = reinterpret_cast<ACL*>(aclBuffer);
        Sid users("S-1-5-32-545");
        Sid system("S-1-5-18");
        ASSERT_TRUE(InitializeAcl(acl, sizeof aclBuffer, ACL_REVISION_DS));
        if (kind.type == 9) {
            ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, FILE_WRITE_DATA, users.sid));
            void* entry = NULL;
            ASSERT_TRUE(GetAce(acl, 0, &entry));
            static_cast<ACE_HEADER*>(entry)->AceType = kind.type; // the same layout, and no condition data
        } else {
            alignas(ACCESS_ALLOWED_OBJECT_ACE) BYTE ace[sizeof(ACCESS_ALLOWED_OBJECT_ACE) + SECURITY_MAX_SID_SIZE] = {};
            auto* object = reinterpret_cast<ACCESS_ALLOWED_OBJECT_ACE*>(ace);
            const size_t guids = ((kind.flags & 1) != 0 ? 1 : 0) + ((kind.flags & 2) != 0 ? 1 : 0);
            const size_t sidAt = offsetof(ACCESS_ALLOWED_OBJECT_ACE, ObjectType) + guids * sizeof(GUID);
            const auto size = static_cast<DWORD>(sidAt + GetLengthSid(users.sid));
            object->Header = {kind.type, 0, static_cast<WORD>(size)};
            object->Mask = FILE_WRITE_DATA;
            object->Flags = kind.flags;
            object->ObjectType = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
            object->InheritedObjectType = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
            ASSERT_TRUE(CopySid(GetLengthSid(users.sid), ace + sidAt, users.sid));
            ASSERT_TRUE(AddAce(acl, ACL_REVISION_DS, MAXDWORD, ace, size));
        }
        const ChangeRight right = JudgeFile(system.sid, acl);
        EXPECT_FALSE(right.safe);
        ASSERT_NE(right.account, nullptr);
        EXPECT_TRUE(EqualSid(right.account, users.sid));
    }
    // A NULL DACL lets everyone in; made by hand, as Wine reads the SDDL
    // for one (D:NO_ACCESS_CONTROL) as an empty DACL.
    Sid admins("S-1-5-32-544");
    const ChangeRight right = JudgeFile(admins.sid, NULL);
    EXPECT_FALSE(right.safe);
    EXPECT_EQ(right.account, nullptr);
}

// What the folder check reads, in order: the file, the bridge, the folder,
// whose root keeps its backslash.
TEST(SessionBridge, ChecksTheToolItsBridgeAndTheirFolder) {
    const struct { const char* tool; const char* bridge; const char* folder; } cases[] = {
        {R"(C:\Program Files\QUARCTL\quarctl.exe)", R"(C:\Program Files\QUARCTL\quarctl-session.exe)",
         R"(C:\Program Files\QUARCTL)"},
        {R"(C:\quarctl.exe)", R"(C:\quarctl-session.exe)", R"(C:\)"},
        {R"(\\server\share\quarctl.exe)", R"(\\server\share\quarctl-session.exe)", R"(\\server\share\)"},
        {R"(\\server\share\q\quarctl.exe)", R"(\\server\share\q\quarctl-session.exe)", R"(\\server\share\q)"},
        {R"(\\?\D:\quarctl.exe)", R"(\\?\D:\quarctl-session.exe)", R"(\\?\D:\)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tool);
        CheckedObjects objects;
        ASSERT_TRUE(ObjectsToCheck(c.tool, &objects));
        EXPECT_STREQ(objects.tool, c.tool);
        EXPECT_STREQ(objects.bridge, c.bridge);
        EXPECT_STREQ(objects.folder, c.folder);
    }
    CheckedObjects objects;
    EXPECT_FALSE(ObjectsToCheck("quarctl.exe", &objects));

    // Each object judged in that order, quarctl.exe through its handle, up
    // to the first that Users may change; Wine's own check stops at the
    // first, so only a reader of descriptors shows that the rest are read.
    ASSERT_TRUE(ObjectsToCheck(R"(C:\Q\quarctl.exe)", &objects));
    static std::vector<std::string> reads;
    static std::string unsafe;
    // cppcheck-suppress constParameter ; the signature is the reader's
    const SecurityReader reader = [](HANDLE handle, const char* path, PSECURITY_DESCRIPTOR* descriptor) -> DWORD {
        reads.push_back(std::string(handle != NULL ? "handle " : "") + path);
        const char* sddl = unsafe == path ? "O:SYD:(A;;FA;;;BU)" : "O:SYD:(A;;FA;;;SY)";
        return ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, descriptor, NULL)
                   ? ERROR_SUCCESS
                   : GetLastError();
    };
    const std::vector<std::string> all = {R"(handle C:\Q\quarctl.exe)", R"(C:\Q\quarctl-session.exe)", R"(C:\Q)"};
    const struct { const char* unsafe; size_t reads; } judged[] = {
        {"", 3}, {R"(C:\Q\quarctl.exe)", 1}, {R"(C:\Q\quarctl-session.exe)", 2}, {R"(C:\Q)", 3},
    };
    for (const auto& j : judged) {
        SCOPED_TRACE(j.unsafe);
        reads.clear();
        unsafe = j.unsafe;
        const FolderCheck check = JudgeObjects(reinterpret_cast<HANDLE>(0x44), objects, reader);
        EXPECT_EQ(reads, std::vector<std::string>(all.begin(), all.begin() + static_cast<ptrdiff_t>(j.reads)));
        EXPECT_EQ(check.safe, j.unsafe[0] == '\0');
        EXPECT_STREQ(check.object, j.unsafe);
    }

    const struct { const char* finalPath; const char* path; bool same; } paths[] = {
        {R"(\\?\C:\Program Files\QUARCTL\quarctl.exe)", R"(C:\Program Files\QUARCTL\quarctl.exe)", true},
        {R"(\\?\C:\Program Files\QUARCTL\quarctl.exe)", R"(c:\program files\quarctl\QUARCTL.EXE)", true},
        {R"(\\?\UNC\server\share\quarctl.exe)", R"(\\server\share\quarctl.exe)", true},
        {R"(\\?\D:\elsewhere\quarctl.exe)", R"(C:\tools\quarctl.exe)", false}, // through a junction
        {R"(\\?\UNC\server\share\quarctl.exe)", R"(C:\server\share\quarctl.exe)", false},
    };
    for (const auto& c : paths) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(SamePath(c.finalPath, c.path), c.same);
    }
}

// Who may hand the service a request.
TEST(SessionBridge, TrustsOnlySystemAndElevatedAdministrators) {
    const struct { const char* user; bool elevated, administrators, trusted; } cases[] = {
        {"S-1-5-18", false, false, true}, {"S-1-5-21-1-2-3-500", true, true, true},
        {"S-1-5-21-1-2-3-500", false, true, false}, {"S-1-5-21-1-2-3-1001", true, false, false},
        {"S-1-5-20", true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user);
        Sid user(c.user);
        EXPECT_EQ(TrustedRequester(user.sid, c.elevated, c.administrators), c.trusted);
    }
}

TEST(SessionBridge, FindsAMutexThatRefusesUs) {
    EXPECT_TRUE(MutexFound(reinterpret_cast<HANDLE>(0x44), 0));
    EXPECT_TRUE(MutexFound(NULL, 5));   // another user's
    EXPECT_FALSE(MutexFound(NULL, 2));  // none
}

} // namespace
