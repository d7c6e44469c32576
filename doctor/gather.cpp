// quarctl-doctor's gathering: every platform call the doctor makes, each
// checked where it is made. Discovery and the exchange go through the
// tool's own server link, so that what is reported is what quarctl does.
#include "facts.h"

#include <stdlib.h>
#include <string.h>

#include <sddl.h>
#include <wtsapi32.h>

#include "../serverlink/unique_handle.h"
#include "../session/launch.h"
#include "../session/service.h"
#include "../session/sessions.h"
#include "verdict.h"

namespace {

// After no reply in time, how much longer to listen, to tell a late
// reply from none.
const DWORD LATE_REPLY_WAIT_MS = 5000;

// After a failed send that did not time out, how long a dying server's
// process may take to end.
const DWORD PROCESS_END_WAIT_MS = 1000;

std::string ObjectName(HANDLE object) {
    char name[256];
    DWORD needed = 0;
    if (object == NULL || !GetUserObjectInformationA(object, UOI_NAME, name, sizeof name, &needed)) return "";
    return name;
}

// The integrity level of a token, or INTEGRITY_UNKNOWN.
DWORD TokenIntegrity(HANDLE token) {
    // A label holds one SID: a fixed header and at most 15 sub-authorities.
    alignas(TOKEN_MANDATORY_LABEL) BYTE buffer[sizeof(TOKEN_MANDATORY_LABEL) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenIntegrityLevel, buffer, sizeof buffer, &size)) return INTEGRITY_UNKNOWN;
    PSID sid = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buffer)->Label.Sid;
    const UCHAR count = *GetSidSubAuthorityCount(sid);
    return count == 0 ? INTEGRITY_UNKNOWN : *GetSidSubAuthority(sid, count - 1u);
}

// The process's token, opened to query it, or NULL.
HANDLE QueryToken(HANDLE process) {
    HANDLE token = NULL;
    return OpenProcessToken(process, TOKEN_QUERY, &token) ? token : NULL;
}

DWORD ProcessIntegrity(HANDLE process) {
    UniqueHandle token(QueryToken(process));
    return token.get() == NULL ? INTEGRITY_UNKNOWN : TokenIntegrity(token.get());
}

// A window and what can be learnt of its process; an elevated process
// may refuse a caller that is not.
WindowFacts DescribeWindow(HWND window) {
    WindowFacts facts;
    facts.window = window;
    GetWindowThreadProcessId(window, &facts.processId);
    facts.sessionKnown = ProcessIdToSessionId(facts.processId, &facts.session) != 0;
    facts.hung = IsHungAppWindow(window) != FALSE;
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, facts.processId));
    if (process.get() == NULL) return facts;
    char image[MAX_PATH];
    DWORD length = MAX_PATH;
    if (QueryFullProcessImageNameA(process.get(), 0, image, &length)) facts.image.assign(image, length);
    facts.integrity = ProcessIntegrity(process.get());
    return facts;
}

// Collects the frame-class windows that an enumeration passes.
struct Collector {
    std::vector<NearMiss>* misses;
    NearMissKind kind;
    std::string where;
};

BOOL CALLBACK CollectFrame(HWND window, LPARAM lParam) {
    const auto* collector = reinterpret_cast<const Collector*>(lParam); // NOLINT(performance-no-int-to-ptr)
    // A walk that started again from the top passes windows twice.
    for (const NearMiss& miss : *collector->misses) {
        if (miss.owner.window == window) return TRUE;
    }
    if (IsServerFrameClass(window)) {
        collector->misses->push_back({collector->kind, DescribeWindow(window), collector->where});
    }
    return TRUE;
}

// The frame-class children of one top-level window.
bool CollectChildFrames(HWND top, void* context) {
    char holder[256];
    if (GetClassNameA(top, holder, sizeof holder) == 0) holder[0] = '\0';
    Collector children = {static_cast<std::vector<NearMiss>*>(context), NearMissKind::Child, holder};
    EnumChildWindows(top, CollectFrame, reinterpret_cast<LPARAM>(&children));
    return false;
}

// A top-level frame-class window, each once.
bool CollectTopFrame(HWND window, void* context) {
    auto* frames = static_cast<std::vector<WindowFacts>*>(context);
    for (const WindowFacts& frame : *frames) {
        if (frame.window == window) return false;
    }
    if (IsServerFrameClass(window)) frames->push_back(DescribeWindow(window));
    return false;
}

BOOL CALLBACK CollectName(LPSTR name, LPARAM lParam) { // NOLINT(readability-non-const-parameter): DESKTOPENUMPROCA
    reinterpret_cast<std::vector<std::string>*>(lParam)->push_back(name); // NOLINT(performance-no-int-to-ptr)
    return TRUE;
}

// Frame-class windows that quarctl's walk does not reach: message-only
// ones, children of top-level windows, and those on the other desktops of
// this window station.
std::vector<NearMiss> FindNearMisses(const std::string& ownDesktop) {
    std::vector<NearMiss> misses;
    for (HWND window = FindWindowExA(HWND_MESSAGE, NULL, SERVER_WINDOW_CLASS, NULL); window != NULL;
         window = FindWindowExA(HWND_MESSAGE, window, SERVER_WINDOW_CLASS, NULL)) {
        misses.push_back({NearMissKind::MessageOnly, DescribeWindow(window), ""});
    }
    WalkTopLevelWindows(CollectChildFrames, &misses);
    std::vector<std::string> desktops;
    EnumDesktopsA(GetProcessWindowStation(), CollectName, reinterpret_cast<LPARAM>(&desktops));
    for (const std::string& name : desktops) {
        if (lstrcmpiA(name.c_str(), ownDesktop.c_str()) == 0) continue;
        HDESK desktop = OpenDesktopA(name.c_str(), 0, FALSE, DESKTOP_READOBJECTS | DESKTOP_ENUMERATE);
        if (desktop == NULL) continue; // refused: nothing to be seen there
        Collector others = {&misses, NearMissKind::OtherDesktop, name};
        EnumDesktopWindows(desktop, CollectFrame, reinterpret_cast<LPARAM>(&others));
        CloseDesktop(desktop);
    }
    return misses;
}

// One fact of a session from WTS, as bytes; empty when it cannot be read.
std::string SessionInformation(DWORD session, WTS_INFO_CLASS what) {
    const auto query = SYSTEM_FUNCTION("wtsapi32.dll", WTSQuerySessionInformationA);
    const auto freeMemory = SYSTEM_FUNCTION("wtsapi32.dll", WTSFreeMemory);
    LPSTR buffer = NULL;
    DWORD size = 0;
    if (query == NULL || freeMemory == NULL || !query(WTS_CURRENT_SERVER_HANDLE, session, what, &buffer, &size)) {
        return "";
    }
    std::string value(buffer, size);
    freeMemory(buffer);
    return value;
}

const char* ConnectStateName(DWORD state) {
    const char* const names[] = {"Active", "Connected", "Connecting", "Shadowing", "Disconnected",
                                 "Idle",   "Listening", "Reset",      "Down",      "Initializing"};
    return state < sizeof names / sizeof names[0] ? names[state] : "";
}

} // namespace

ProcessFacts GatherProcessFacts() {
    ProcessFacts facts;
    facts.is64Bit = sizeof(void*) == 8;
    BOOL wow64 = FALSE;
    facts.wow64 = IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &facts.session)) facts.session = 0;
    facts.windowStation = ObjectName(GetProcessWindowStation());
    facts.desktop = ObjectName(GetThreadDesktop(GetCurrentThreadId()));
    UniqueHandle token(QueryToken(GetCurrentProcess()));
    if (token.get() == NULL) return facts;
    facts.integrity = TokenIntegrity(token.get());
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    facts.elevationKnown = GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) != 0;
    facts.elevated = facts.elevationKnown && elevation.TokenIsElevated != 0;
    return facts;
}

FolderFacts GatherFolderFacts(const std::string& tool, const std::string& bridge) {
    FolderFacts facts;
    // The bridge's own cut: a root keeps its backslash.
    CheckedObjects objects;
    facts.check = CheckFolderAt(tool.c_str(), &objects, &facts.toolError, bridge.empty() ? NULL : bridge.c_str());
    facts.folder = objects.folder;
    facts.bridge = objects.bridge;
    return facts;
}

namespace {

// The service's access list and the privileges it declares.
void GatherServiceSecurity(SC_HANDLE service, WayFacts* facts) {
    const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD size = 0;
    QueryServiceObjectSecurity(service, what, NULL, 0, &size);
    std::vector<BYTE> descriptor(size == 0 ? 1 : size);
    char* sddl = NULL;
    if (!QueryServiceObjectSecurity(service, what, descriptor.data(), static_cast<DWORD>(descriptor.size()), &size) ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor.data(), SDDL_REVISION_1, what, &sddl, NULL)) {
        facts->accessError = GetLastError();
    } else {
        facts->access = sddl;
        LocalFree(sddl);
        PSID owner = NULL;
        BOOL defaulted = FALSE;
        const ChangeRight right = WhoHolds(descriptor.data(), SERVICE_GUARDED_RIGHTS);
        // Windows gives every service an owner; without one, anyone's word counts.
        if (!GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted) || owner == NULL) {
            facts->accessFlagged = "anyone, as its descriptor names no owner";
        } else if (!right.safe) {
            char account[300];
            ChangerName(right, account, sizeof account);
            facts->accessFlagged = account;
        }
    }
    size = 0;
    QueryServiceConfig2A(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, NULL, 0, &size);
    std::vector<BYTE> buffer(size < sizeof(SERVICE_REQUIRED_PRIVILEGES_INFOA) ? sizeof(SERVICE_REQUIRED_PRIVILEGES_INFOA)
                                                                              : size);
    const auto* info = reinterpret_cast<SERVICE_REQUIRED_PRIVILEGES_INFOA*>(buffer.data());
    if (!QueryServiceConfig2A(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, buffer.data(),
                              static_cast<DWORD>(buffer.size()), &size)) {
        facts->privilegesError = GetLastError();
        return;
    }
    // A list of strings, each ended by a zero, the list by one more.
    for (const char* name = info->pmszRequiredPrivileges; name != NULL && *name != '\0'; name += strlen(name) + 1) {
        facts->privileges.emplace_back(name);
    }
}

} // namespace

WayFacts GatherWayFacts(const FolderFacts& ownFolder) {
    WayFacts facts;
    facts.job = CurrentJob();
    facts.bridge = ownFolder.bridge;
    facts.ownFolder = ownFolder;
    TokenUserBuffer own;
    const PSID user = OwnUserSid(&own);
    facts.localSystem = user != NULL && IsWellKnownSid(user, WinLocalSystemSid);

    UniqueServiceHandle manager(OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(manager.get() == NULL ? NULL
                                                      : OpenServiceA(manager.get(), SERVICE_NAME,
                                                                     SERVICE_QUERY_CONFIG | READ_CONTROL));
    DWORD size = 0;
    if (service.get() == NULL) {
        facts.serviceError = GetLastError();
        return facts;
    }
    QueryServiceConfigA(service.get(), NULL, 0, &size);
    std::vector<BYTE> buffer(size == 0 ? sizeof(QUERY_SERVICE_CONFIGA) : size);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (!QueryServiceConfigA(service.get(), config, static_cast<DWORD>(buffer.size()), &size)) {
        facts.serviceError = GetLastError();
        return facts;
    }
    facts.startType = config->dwStartType;
    facts.account = config->lpServiceStartName == NULL ? "" : config->lpServiceStartName;
    facts.command = config->lpBinaryPathName == NULL ? "" : config->lpBinaryPathName;
    GatherServiceSecurity(service.get(), &facts);
    // The folder the service's program runs from, judged as the bridge
    // judges its own: whoever may change it may run anything as SYSTEM.
    const std::string program = ServiceProgram(facts.command);
    const size_t name = program.rfind('\\');
    if (name != std::string::npos) {
        facts.programFolder = GatherFolderFacts(program.substr(0, name + 1) + "quarctl.exe", program);
    }
    return facts;
}

MutexFacts GatherMutexFacts() {
    MutexFacts facts;
    facts.opened = ProbeServerMutex();
    if (facts.opened) return facts;
    facts.error = GetLastError();
    UniqueHandle sync(OpenMutexA(SYNCHRONIZE, FALSE, SERVER_MUTEX_NAME));
    facts.existsForSync = sync.get() != NULL;
    // A mutex that refuses even SYNCHRONIZE still exists.
    const std::string global = std::string("Global\\") + SERVER_MUTEX_NAME;
    UniqueHandle globalMutex(OpenMutexA(SYNCHRONIZE, FALSE, global.c_str()));
    facts.globalExists = MutexFound(globalMutex.get(), GetLastError());
    return facts;
}

SessionSearchFacts GatherSessionFacts() {
    SessionSearchFacts facts;
    facts.console = ConsoleSession();
    int count = 0;
    SessionCandidate* candidates = CandidateSessions(&count);
    if (candidates == NULL) return facts;
    for (int i = 0; i < count; ++i) {
        SessionFacts session;
        session.id = candidates[i].id;
        session.holdsMutex = candidates[i].holdsMutex;
        const std::string state = SessionInformation(session.id, WTSConnectState);
        if (state.size() >= sizeof(DWORD)) {
            DWORD value = 0;
            memcpy(&value, state.data(), sizeof value);
            session.state = ConnectStateName(value);
        }
        const std::string user = SessionInformation(session.id, WTSUserName);
        session.user = user.substr(0, user.find('\0')); // up to its terminating zero
        facts.sessions.push_back(session);
    }
    free(candidates);
    return facts;
}

WindowSearchFacts GatherWindowFacts() {
    WindowSearchFacts facts;
    WalkTopLevelWindows(CollectTopFrame, &facts.frames);
    facts.taken = FindServerWindow();
    // A window that came up between the two walks is still the one taken.
    if (facts.taken != NULL && TakenWindow(facts) == NULL) {
        facts.frames.insert(facts.frames.begin(), DescribeWindow(facts.taken));
    }
    if (facts.frames.empty()) facts.nearMisses = FindNearMisses(ObjectName(GetThreadDesktop(GetCurrentThreadId())));
    return facts;
}

ExchangeFacts GatherExchangeFacts(const WindowFacts& target) {
    ExchangeFacts facts;
    facts.attempted = true;
    // Opened before the send, so that the id of a server that dies in it
    // cannot pass to another process meanwhile.
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, target.processId));
    facts.exchange = SendControlCommand(target.window, CMD_STATUS);

    if (facts.exchange.outcome == ExchangeOutcome::NotResponding) {
        // A server that died in its handler may still be ending when the
        // send fails; a timed-out one is alive, and is not waited for.
        const DWORD wait = facts.exchange.sendError == ERROR_TIMEOUT ? 0 : PROCESS_END_WAIT_MS;
        facts.processKnown = process.get() != NULL;
        facts.processAlive = !facts.processKnown || WaitForSingleObject(process.get(), wait) == WAIT_TIMEOUT;
        facts.windowExists = IsWindow(target.window) != FALSE;
        facts.hung = facts.windowExists && IsHungAppWindow(target.window) != FALSE;
    } else if (facts.exchange.outcome == ExchangeOutcome::NoReply) {
        MSG msg;
        DWORD waited = 0;
        facts.lateReply = TakeThreadMessage(LATE_REPLY_WAIT_MS, &msg, &waited);
        if (facts.lateReply) facts.lateCode = msg.message;
        facts.lateMs = facts.exchange.replyMs + waited;
    }
    return facts;
}
