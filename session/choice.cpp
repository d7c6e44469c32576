#include "choice.h"

#include <stdlib.h>
#include <string.h>

bool ParseBridgeArguments(int argc, char* argv[], BridgeArguments* arguments) {
    arguments->sessionGiven = false;
    arguments->session = 0;
    arguments->keyword = NULL;
    arguments->badValue = NULL;
    int next = 1;
    if (argc > 1 && strcmp(argv[1], "--session") == 0) {
        const char* value = argc > 2 ? argv[2] : "";
        // Decimal digits only: strtoul alone would take "-1", " 2" or "0x2".
        char* end = NULL;
        const unsigned long id = strtoul(value, &end, 10);
        if (value[0] < '0' || value[0] > '9' || *end != '\0' || strlen(value) > 10 || id > 0xFFFFFFFEul) {
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

JobPlan PlanJob(const JobFacts& job, bool otherSession) {
    if (!job.inJob || !otherSession) return {true, 0};
    // Unknown limits: try; a refusal is error 5, and gets the job's advice.
    // No limits at all read as unknown too: such a job refuses the same way
    // on Windows, and Wine reads every job's limits as none.
    if (!job.limitsKnown || job.limitFlags == 0) return {true, CREATE_BREAKAWAY_FROM_JOB};
    if ((job.limitFlags & JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK) != 0) return {true, 0};
    if ((job.limitFlags & JOB_OBJECT_LIMIT_BREAKAWAY_OK) != 0) return {true, CREATE_BREAKAWAY_FROM_JOB};
    return {false, 0};
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

ChangeRight WhoMayChange(PSECURITY_DESCRIPTOR descriptor, bool folder) {
    PSID owner = NULL;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == NULL) return {false, NULL};
    if (!Trusted(owner)) return {false, owner};
    BOOL present = FALSE;
    PACL dacl = NULL;
    // No DACL, or a NULL one, lets everyone do anything.
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == NULL) {
        return {false, NULL};
    }
    DWORD changing = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                     GENERIC_ALL; // for a folder, FILE_ADD_FILE and FILE_ADD_SUBDIRECTORY
    if (folder) changing |= FILE_DELETE_CHILD;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = NULL;
        if (!GetAce(dacl, i, &entry)) return {false, NULL};
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        // Inherit-only ACEs are for the folder's children, not for it.
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 || header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        PSID account = &allowed->SidStart;
        if ((allowed->Mask & changing) != 0 && !Trusted(account)) return {false, account};
    }
    return {true, NULL};
}
