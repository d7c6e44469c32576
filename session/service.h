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

// What to do where only the service could start quarctl and it is not
// installed: a printf format that takes the bridge's path.
const char ADVICE_INSTALL_SERVICE[] =
    "install it (the MSI does), or from an elevated prompt: sc.exe create QuarctlSession binPath= \"\\\"%s\\\" "
    "--service\" start= demand DisplayName= \"QUARCTL session bridge\"";

// The longest keyword the service takes, in bytes.
const size_t SERVICE_MAX_REQUEST = 256;

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
