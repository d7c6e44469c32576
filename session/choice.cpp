#include "choice.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

bool ReadDecimal(const char* text, unsigned long long max, unsigned long long* value) {
    unsigned long long number = 0;
    if (*text == '\0') return false;
    for (const char* digit = text; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') return false;
        const auto d = static_cast<unsigned>(*digit - '0');
        if (d > max || number > (max - d) / 10) return false;
        number = number * 10 + d;
    }
    *value = number;
    return true;
}

bool ParseBridgeArguments(int argc, char* argv[], BridgeArguments* arguments) {
    arguments->sessionGiven = false;
    arguments->session = 0;
    arguments->keyword = NULL;
    arguments->badValue = NULL;
    int next = 1;
    if (argc > 1 && strcmp(argv[1], "--session") == 0) {
        const char* value = argc > 2 ? argv[2] : "";
        unsigned long long id = 0;
        if (strlen(value) > 10 || !ReadDecimal(value, MAX_SESSION_ID, &id)) {
            arguments->badValue = value;
            return false;
        }
        arguments->sessionGiven = true;
        arguments->session = static_cast<DWORD>(id);
        next = 3;
    }
    if (argc > next) arguments->keyword = argv[next];
    return true;
}

namespace {

const SessionCandidate* FindCandidate(const SessionCandidate* candidates, int count, DWORD id) {
    for (int i = 0; i < count; ++i) {
        if (candidates[i].id == id) return &candidates[i];
    }
    return NULL;
}

} // namespace

SessionChoice ChooseSession(const SessionCandidate* candidates, int count, DWORD consoleSession, DWORD ownSession,
                            const BridgeArguments& arguments) {
    if (arguments.sessionGiven) {
        const bool known = FindCandidate(candidates, count, arguments.session) != NULL;
        return {known ? ChoiceKind::Run : ChoiceKind::NoSuchSession, arguments.session};
    }
    int holders = 0;
    DWORD holder = ownSession;
    for (int i = 0; i < count; ++i) {
        if (!candidates[i].holdsMutex) continue;
        ++holders;
        holder = candidates[i].id;
    }
    if (holders <= 1) return {ChoiceKind::Run, holder};
    const SessionCandidate* console = FindCandidate(candidates, count, consoleSession);
    if (console != NULL && console->holdsMutex) return {ChoiceKind::Run, consoleSession};
    return {ChoiceKind::Several, 0};
}

size_t QuoteArgument(const char* argument, char* out) {
    size_t length = 0;
    out[length++] = '"';
    size_t backslashes = 0;
    for (const char* c = argument; *c != '\0'; ++c) {
        if (*c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a quote follows them: then each is
        // doubled, and the quote escaped by one more.
        const size_t copies = *c == '"' ? backslashes * 2 + 1 : backslashes;
        for (size_t i = 0; i < copies; ++i) out[length++] = '\\';
        backslashes = 0;
        out[length++] = *c;
    }
    // Before the closing quote, too.
    for (size_t i = 0; i < backslashes * 2; ++i) out[length++] = '\\';
    out[length++] = '"';
    out[length] = '\0';
    return length;
}

const char* TokenAdvice(DWORD error) {
    // As WTSQueryUserToken documents them.
    switch (error) {
    case ERROR_PRIVILEGE_NOT_HELD:
        return "Run quarctl-session as an account with SeTcbPrivilege (LocalSystem), from a service or a task that "
               "runs as SYSTEM: only such an account may take the token of session %lu's user.";
    case ERROR_ACCESS_DENIED:
        return "Run quarctl-session as LocalSystem, from a service or a task that runs as SYSTEM: Windows gives "
               "session %lu's user token to LocalSystem alone.";
    case ERROR_FILE_NOT_FOUND:
        return "Session %lu does not exist (any more): name a session where a user is logged on (query session "
               "lists them).";
    case ERROR_NO_TOKEN:
        return "No user is logged on in session %lu: log on there, or name another session with --session.";
    default:
        return ADVICE_ERROR;
    }
}

Route PlanRoute(const RouteFacts& facts) {
    const JobFacts& job = facts.job;
    if (!facts.otherSession) return Route::Direct;
    if (facts.tokenError == ERROR_PRIVILEGE_NOT_HELD || facts.breakawayRefused) return Route::Service;
    if (facts.tokenError != 0) return Route::Refuse;
    if (!job.inJob) return Route::Direct;
    // Unknown limits: try; a refusal is error 5, and goes to the service.
    // No limits at all read as unknown too: such a job refuses the same way
    // on Windows, and Wine reads every job's limits as none.
    if (!job.limitsKnown || job.limitFlags == 0) return Route::Breakaway;
    if ((job.limitFlags & JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK) != 0) return Route::Direct;
    if ((job.limitFlags & JOB_OBJECT_LIMIT_BREAKAWAY_OK) != 0) return Route::Breakaway;
    return Route::Service;
}

bool TrustedRequester(PSID user, bool elevated, bool administratorsEnabled) {
    // A filtered administrator's token holds the group for deny only.
    return IsWellKnownSid(user, WinLocalSystemSid) || (elevated && administratorsEnabled);
}

const char* ExitStatusMeaning(DWORD status) {
    switch (status) {
    case 0xC0000142: // STATUS_DLL_INIT_FAILED
        return "its DLLs failed to initialise, as when it cannot use its desktop";
    case 0xC000013A: // STATUS_CONTROL_C_EXIT
        return "it was ended by a logoff, a shutdown or Ctrl+C";
    case 0xC0000005: // STATUS_ACCESS_VIOLATION
        return "it crashed";
    case 0xC0000135: // STATUS_DLL_NOT_FOUND
        return "a DLL it needs was not found";
    default:
        return NULL;
    }
}

// cppcheck-suppress constParameter ; a HANDLE is only compared here
bool MutexFound(HANDLE opened, DWORD error) {
    return opened != NULL || error == ERROR_ACCESS_DENIED;
}

namespace {

// A service's own account, NT SERVICE\<name>: S-1-5-80-...
bool IsServiceSid(PSID sid) {
    const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    return memcmp(GetSidIdentifierAuthority(sid), &nt, sizeof nt) == 0 && *GetSidSubAuthorityCount(sid) > 0 &&
           *GetSidSubAuthority(sid, 0) == SECURITY_SERVICE_ID_BASE_RID;
}

// SYSTEM, Administrators and TrustedInstaller (NT SERVICE\TrustedInstaller).
bool Trusted(PSID sid) {
    if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) return true;
    const DWORD trustedInstaller[] = {956008885, 3418522649, 1831038044, 1853292631, 2271478464};
    if (!IsServiceSid(sid) || *GetSidSubAuthorityCount(sid) != 6) return false;
    for (DWORD i = 1; i < 6; ++i) {
        if (*GetSidSubAuthority(sid, i) != trustedInstaller[i - 1]) return false;
    }
    return true;
}

} // namespace

bool FolderCheckApplies(PSID user, DWORD session) {
    return session == 0 || IsWellKnownSid(user, WinLocalSystemSid) || IsWellKnownSid(user, WinLocalServiceSid) ||
           IsWellKnownSid(user, WinNetworkServiceSid) || IsServiceSid(user);
}

namespace {

// A path's root as Windows reads it: "C:", "\\server\share", or either
// behind \\?\ (\\?\UNC\server\share); its length, or 0 for none.
size_t RootLength(const char* path) {
    size_t skip = 0;
    bool unc = false;
    if (strncmp(path, R"(\\?\)", 4) == 0 || strncmp(path, R"(\\.\)", 4) == 0) {
        skip = 4;
        if (_strnicmp(path + 4, "UNC\\", 4) == 0) {
            skip = 8;
            unc = true;
        }
    } else if (strncmp(path, "\\\\", 2) == 0) {
        skip = 2;
        unc = true;
    }
    if (!unc) return path[skip] != '\0' && path[skip + 1] == ':' ? skip + 2 : 0;
    const char* server = strchr(path + skip, '\\');
    if (server == NULL || server == path + skip) return 0;
    const char* share = strchr(server + 1, '\\');
    return share == NULL ? strlen(path) : static_cast<size_t>(share - path);
}

bool Copy(char* to, const char* from, size_t length) {
    if (length >= MAX_PATH) return false;
    memcpy(to, from, length);
    to[length] = '\0';
    return true;
}

} // namespace

bool ObjectsToCheck(const char* toolPath, CheckedObjects* objects) {
    const char* name = strrchr(toolPath, '\\');
    if (name == NULL) return false;
    auto folder = static_cast<size_t>(name - toolPath);
    if (folder == 0 || RootLength(toolPath) == folder) ++folder; // keep the root's backslash
    const char bridge[] = "quarctl-session.exe";
    const auto cut = static_cast<size_t>(name + 1 - toolPath);
    if (!Copy(objects->tool, toolPath, strlen(toolPath)) || !Copy(objects->folder, toolPath, folder) ||
        cut + sizeof bridge > MAX_PATH) {
        return false;
    }
    memcpy(objects->bridge, toolPath, cut);
    memcpy(objects->bridge + cut, bridge, sizeof bridge);
    return true;
}

bool SamePath(const char* finalPath, const char* path) {
    // \\?\C:\x is C:\x, and \\?\UNC\server\share\x is \\server\share\x.
    if (_strnicmp(finalPath, R"(\\?\UNC\)", 8) == 0) {
        return strncmp(path, "\\\\", 2) == 0 && lstrcmpiA(finalPath + 8, path + 2) == 0;
    }
    if (strncmp(finalPath, R"(\\?\)", 4) == 0) finalPath += 4;
    return lstrcmpiA(finalPath, path) == 0;
}

namespace {

// The account and mask of an allow ACE of any kind; false for another kind
// of ACE. *account is NULL when the ACE cannot be read.
bool AllowEntry(const ACE_HEADER* header, PSID* account, ACCESS_MASK* mask) {
    *account = NULL;
    size_t sidAt = 0;
    switch (header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: // a condition may hold: judged as allowed
        sidAt = offsetof(ACCESS_ALLOWED_ACE, SidStart);
        break;
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE: {
        // The two GUIDs are there only where the flags say so.
        const auto* object = reinterpret_cast<const ACCESS_ALLOWED_OBJECT_ACE*>(header);
        sidAt = offsetof(ACCESS_ALLOWED_OBJECT_ACE, ObjectType);
        if (header->AceSize >= sidAt) {
            if ((object->Flags & ACE_OBJECT_TYPE_PRESENT) != 0) sidAt += sizeof(GUID);
            if ((object->Flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) != 0) sidAt += sizeof(GUID);
        }
        break;
    }
    case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
        *mask = 0;
        return true; // never written by Windows: unreadable here
    default:
        return false;
    }
    *mask = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header)->Mask;
    if (header->AceSize < sidAt + 8) return true; // no room for a SID
    // cppcheck-suppress cstyleCast
    PSID sid = const_cast<BYTE*>(reinterpret_cast<const BYTE*>(header) + sidAt);
    if (IsValidSid(sid) && sidAt + GetLengthSid(sid) <= header->AceSize) *account = sid;
    return true;
}

} // namespace

ChangeRight WhoMayChange(PSECURITY_DESCRIPTOR descriptor, bool folder) {
    DWORD changing = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                     GENERIC_ALL; // for a folder, FILE_ADD_FILE and FILE_ADD_SUBDIRECTORY
    if (folder) changing |= FILE_DELETE_CHILD;
    return WhoHolds(descriptor, changing);
}

ChangeRight WhoHolds(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK rights) {
    PSID owner = NULL;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == NULL) return {false, NULL, false};
    if (!Trusted(owner)) return {false, owner, false};
    BOOL present = FALSE;
    PACL dacl = NULL;
    // No DACL, or a NULL one, lets everyone do anything.
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == NULL) {
        return {false, NULL, false};
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = NULL;
        if (!GetAce(dacl, i, &entry)) return {false, NULL, true};
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        // Inherit-only ACEs are for the folder's children, not for it.
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
        PSID account = NULL;
        ACCESS_MASK mask = 0;
        if (!AllowEntry(header, &account, &mask)) continue;
        if (account == NULL) return {false, NULL, true};
        if ((mask & rights) != 0 && !Trusted(account)) return {false, account, false};
    }
    return {true, NULL, false};
}
