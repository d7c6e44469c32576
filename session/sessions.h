// The logon sessions where the application may run, as quarctl-session and
// quarctl-doctor look for it, and the system DLLs that list them.
#ifndef QUARCTL_SESSION_SESSIONS_H
#define QUARCTL_SESSION_SESSIONS_H

#include <windows.h>

#include "choice.h"

// An export of a DLL loaded from System32 alone, never from the program's
// folder or the current one; NULL when either is missing.
using AnyFunction = void (*)();
AnyFunction SystemFunctionAddress(const char* dll, const char* name);

// The same, as the given function type; called through SYSTEM_FUNCTION.
template <typename Function>
Function SystemFunction(const char* dll, const char* name) {
    // Through void (*)(): a cast from FARPROC to another signature is one
    // the compiler rightly warns of.
    return reinterpret_cast<Function>(SystemFunctionAddress(dll, name)); // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
}

// The same, typed by the SDK's own declaration of the function: a calling
// convention typed by hand could be wrong unseen, since x64 has only one.
#define SYSTEM_FUNCTION(dll, function) SystemFunction<decltype(&(function))>(dll, #function)

// Room for a token's TOKEN_USER and its SID, at most SECURITY_MAX_SID_SIZE.
struct TokenUserBuffer {
    alignas(TOKEN_USER) BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
};

// The user of token, read into buffer; NULL, with the last error set, when
// it cannot be read.
PSID TokenUserSid(HANDLE token, TokenUserBuffer* buffer);

// The same for this process's own token.
PSID OwnUserSid(TokenUserBuffer* buffer);

// The sessions that WTSEnumerateSessionsA lists, the active console
// session and this process's own, each once, and whether each holds the
// mutex. Returns a malloc'd array the caller frees, or NULL when memory
// runs out; count is its length.
SessionCandidate* CandidateSessions(int* count);

// This process's session.
DWORD OwnSession();

// The active console session, or 0xFFFFFFFF when none is attached.
DWORD ConsoleSession();

// True when session's own namespace holds the application's mutex: it opens
// for SYNCHRONIZE, or refuses this user, as another user's mutex does.
bool SessionHoldsMutex(DWORD session);

#endif
