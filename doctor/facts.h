// quarctl-doctor's facts: what it finds at each step that quarctl takes,
// gathered by plain Win32 calls and read by the verdict alone.
#ifndef QUARCTL_DOCTOR_FACTS_H
#define QUARCTL_DOCTOR_FACTS_H

#include <windows.h>

#include <string>
#include <vector>

#include "../serverlink/serverlink.h"
#include "../session/folder.h"

// Integrity levels as the last sub-authority of a token's label SID.
const DWORD INTEGRITY_UNKNOWN = 0xFFFFFFFF;

// The doctor's own process, which stands where quarctl would.
struct ProcessFacts {
    bool is64Bit = false;
    bool wow64 = false;             // a 32-bit process on 64-bit Windows
    DWORD session = 0;
    std::string windowStation;      // "WinSta0" for the interactive one
    std::string desktop;            // "Default" for the user's own
    DWORD integrity = INTEGRITY_UNKNOWN;
    bool elevationKnown = false;
    bool elevated = false;
};

struct MutexFacts {
    bool opened = false;          // OpenMutexA(MUTEX_ALL_ACCESS), as quarctl
    DWORD error = 0;              // its error when it failed
    bool existsForSync = false;   // opens with SYNCHRONIZE alone
    bool globalExists = false;    // Global\<name> opens with SYNCHRONIZE
};

// A window of the frame class, and the process that owns it.
struct WindowFacts {
    HWND window = NULL;
    DWORD processId = 0;
    std::string image;          // empty when the process cannot be opened
    DWORD session = 0;
    bool sessionKnown = false;
    DWORD integrity = INTEGRITY_UNKNOWN;
    bool hung = false;          // IsHungAppWindow
};

enum class NearMissKind { MessageOnly, Child, OtherDesktop };

// A window of the frame class that quarctl does not take.
struct NearMiss {
    NearMissKind kind = NearMissKind::MessageOnly;
    WindowFacts owner;
    std::string where; // the holder's class (Child) or the desktop's name (OtherDesktop)
};

struct WindowSearchFacts {
    std::vector<WindowFacts> frames; // top-level, top of the Z-order first
    HWND taken = NULL;               // FindServerWindow's answer
    std::vector<NearMiss> nearMisses;
};

struct ExchangeFacts {
    bool attempted = false;
    ControlExchange exchange = {ExchangeOutcome::NoReply, 0, 0, 0, 0};
    // Looked at after a failed send.
    bool windowExists = true;     // IsWindow
    bool processKnown = false;    // its process could be watched
    bool processAlive = true;
    bool hung = false;            // IsHungAppWindow
    // After no reply: whether one came within a further wait, and when.
    bool lateReply = false;
    UINT lateCode = 0;
    DWORD lateMs = 0;             // after the send returned: the reply's time, or the end of the wait
};

// A logon session, and whether its own namespace holds the mutex.
struct SessionFacts {
    DWORD id = 0;
    bool holdsMutex = false;
    std::string state; // "Active", "Disconnected"...; empty when unknown
    std::string user;  // empty when no user is logged on, or it cannot be read
};

// Where quarctl-session would look: the sessions WTS lists, the console's
// and this process's own.
struct SessionSearchFacts {
    DWORD console = 0xFFFFFFFF; // none attached
    std::vector<SessionFacts> sessions;
};

// The folder this program runs from, as quarctl-session checks its own
// before it starts anything as a service.
struct FolderFacts {
    std::string folder;
    std::string bridge;  // quarctl-session.exe there
    DWORD toolError = 0; // quarctl.exe could not be opened there
    FolderCheck check = {};
};

// The way quarctl-session takes from here into another session: this
// process's job and account, and the QuarctlSession service as installed.
struct WayFacts {
    JobFacts job = {false, false, 0};
    bool localSystem = false;  // holds SeTcbPrivilege, to take a user's token
    DWORD serviceError = 0;    // ERROR_SERVICE_DOES_NOT_EXIST: not installed
    DWORD startType = 0;       // SERVICE_DEMAND_START...
    std::string account;       // the account it runs as
    std::string command;       // the command line it is started with
    std::string bridge;        // quarctl-session.exe beside this program
    FolderFacts programFolder; // the folder of the program it starts, if read
    FolderFacts ownFolder;     // this program's folder, for the install advice
    // Its access list in SDDL, and who besides SYSTEM and Administrators
    // may start it or change it, as WhoHolds judges it ("" where no one).
    DWORD accessError = 0;
    std::string access;
    std::string accessFlagged;
    // The privileges it declares it needs, or privilegesError.
    DWORD privilegesError = 0;
    std::vector<std::string> privileges;
};

struct Facts {
    FolderFacts folder;
    WayFacts way;
    ProcessFacts process;
    MutexFacts mutex;
    SessionSearchFacts sessions;
    WindowSearchFacts windows;
    ExchangeFacts exchange;
};

// Each looks at one step as quarctl takes it.
ProcessFacts GatherProcessFacts();
// tool: the quarctl.exe whose folder to check; bridge, where not empty,
// the program beside it in place of quarctl-session.exe.
FolderFacts GatherFolderFacts(const std::string& tool, const std::string& bridge = "");
// ownFolder: this program's folder, whose bridge is quarctl-session.exe.
WayFacts GatherWayFacts(const FolderFacts& ownFolder);
MutexFacts GatherMutexFacts();
SessionSearchFacts GatherSessionFacts();
WindowSearchFacts GatherWindowFacts();
// Sends STATUS to the window through quarctl's own exchange.
ExchangeFacts GatherExchangeFacts(const WindowFacts& target);

#endif
