// The QuarctlSession service: starts quarctl in a user's session for a
// bridge that cannot, from where the service control manager runs it, in
// no job and as LocalSystem. One request a start; it stops when that is
// answered, so nothing runs between requests.
//
// The bridge creates a pipe of a name no one can guess, first instance
// only, that only SYSTEM and Administrators may open, and starts the
// service with the pipe's name, the session, the time left and the keyword
// as its arguments (StartServiceA, which only they may call). The service
// opens the pipe at identification level, so that the pipe's server cannot
// act as SYSTEM through it, and serves it only when that server runs as
// SYSTEM or an elevated administrator; the bridge reads nothing from a
// client that is not the service's process. Through the pipe come quarctl's
// exact bytes, or the service's own lines, then an 8-byte trailer: a mark
// and the status.
#ifndef QUARCTL_SESSION_SERVICE_H
#define QUARCTL_SESSION_SERVICE_H

#include <windows.h>

#include <stddef.h>

#include "bridge.h"
#include "folder.h"
#include "launch.h"

const char SERVICE_NAME[] = "QuarctlSession";

// Owns a service control manager's or a service's handle.
class UniqueServiceHandle {
public:
    explicit UniqueServiceHandle(SC_HANDLE handle) : handle_(handle) {}
    ~UniqueServiceHandle() {
        if (handle_ != NULL) CloseServiceHandle(handle_);
    }
    UniqueServiceHandle(const UniqueServiceHandle&) = delete;
    UniqueServiceHandle& operator=(const UniqueServiceHandle&) = delete;
    SC_HANDLE get() const { return handle_; }

private:
    SC_HANDLE handle_;
};

// The sc.exe create line of InstallAdvice: a printf format that takes the
// bridge's path.
const char ADVICE_INSTALL_SERVICE[] =
    "install it (the MSI does), or from an elevated prompt: sc.exe create QuarctlSession binPath= \"\\\"%s\\\" "
    "--service\" start= demand DisplayName= \"QUARCTL session bridge\", then set its privileges, access list and "
    "event source as fleet.md shows";

// The longest keyword the service takes, in bytes.
const size_t SERVICE_MAX_REQUEST = 256;

// The most the bridge relays from the service: quarctl's capped output and
// room for the service's own lines.
const size_t SERVICE_OUTPUT_CAP = TOOL_OUTPUT_CAP + 4096;

// What to do where the service is needed and not installed, for the bridge
// at bridge whose folder check gave check (openError: quarctl.exe could not
// be opened for it): the sc.exe create line only for a folder that passes
// the check, else why the folder is unfit and where to install instead.
void InstallAdvice(const char* bridge, const FolderCheck& check, DWORD openError, char* text, size_t size);

// count random hexadecimal digits (even, at most 128) and a zero to digits;
// false, with the last error set, when no random bytes could be had.
bool RandomHex(char* digits, size_t count);

// How the bridge opens the request's pipe: inbound, overlapped, and only
// as the pipe's first instance, so that a squatter's instance of any kind,
// made before, makes the create fail.
const DWORD REQUEST_PIPE_OPEN_MODE = PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED;

// A name for the request's pipe that no one can guess or create before us:
// \\.\pipe\quarctl-session- and 32 random hexadecimal digits. False, with
// the last error set, when no random bytes could be had.
bool NewPipeName(char* name, size_t size);

// The bridge's side: hands session and keyword to the service through the
// pipe pipeName, which it creates, and relays the answer to out. Returns
// quarctl's status, 0 or 1, or EXIT_BRIDGE_FAILED once the service's or
// its own lines say why; within boundMs of startTick. why, a format taking
// the session, says why the service was needed.
int RunThroughService(const char* pipeName, DWORD session, const char* keyword, const char* why, DWORD startTick,
                      DWORD boundMs, HANDLE out);

// The bridge's side, once the service's process has opened pipe: relays
// what it writes after token and before its trailer to out. Returns the
// trailer's status, or EXIT_BRIDGE_FAILED once its lines say why: a stream
// that does not start with token, that ends without a trailer, that passes
// SERVICE_OUTPUT_CAP, or that outlasts boundMs from startTick.
int RelayAnswer(HANDLE pipe, const char* token, DWORD startTick, DWORD boundMs, HANDLE out);

// RunQuarctl, and where only the service can start quarctl and options
// let it, the service, through a new pipe. Returns the status to exit with.
int RunRouted(const char* toolPath, const char* keyword, DWORD session, bool asSessionUser, HANDLE out,
              const RunOptions& options);

// The service's side, for quarctl-session --service: connects to the
// service control manager and serves one request. Returns the process's
// exit status; EXIT_BRIDGE_FAILED, having said why, when not started as a
// service.
int RunService(HANDLE out);

#endif
