#include "sessions.h"

#include <stdio.h>
#include <stdlib.h>

#include <wtsapi32.h>

#include "../serverlink/serverlink.h"
#include "../serverlink/unique_handle.h"

AnyFunction SystemFunctionAddress(const char* dll, const char* name) {
    // A LocalSystem caller may run from any folder: a DLL of the same name
    // planted beside it must not be loaded. The module stays loaded for the
    // life of the process.
    HMODULE module = LoadLibraryExA(dll, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return module == NULL ? NULL : reinterpret_cast<AnyFunction>(GetProcAddress(module, name));
}

PSID TokenUserSid(HANDLE token, TokenUserBuffer* buffer) {
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, buffer->bytes, sizeof buffer->bytes, &size)) return NULL;
    return reinterpret_cast<TOKEN_USER*>(buffer->bytes)->User.Sid;
}

PSID OwnUserSid(TokenUserBuffer* buffer) {
    HANDLE handle = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &handle)) return NULL;
    UniqueHandle token(handle);
    return TokenUserSid(token.get(), buffer);
}

DWORD OwnSession() {
    DWORD session = 0;
    return ProcessIdToSessionId(GetCurrentProcessId(), &session) ? session : 0;
}

DWORD ConsoleSession() {
    return WTSGetActiveConsoleSessionId();
}

bool SessionHoldsMutex(DWORD session) {
    // "Session\<N>\" reaches session N's local namespace from any session.
    char name[64];
    _snprintf(name, sizeof name, "Session\\%lu\\%s", session, SERVER_MUTEX_NAME);
    name[sizeof name - 1] = '\0';
    UniqueHandle mutex(OpenMutexA(SYNCHRONIZE, FALSE, name));
    return MutexFound(mutex.get(), GetLastError());
}

namespace {

void AddCandidate(SessionCandidate* candidates, int* count, DWORD id) {
    for (int i = 0; i < *count; ++i) {
        if (candidates[i].id == id) return;
    }
    candidates[*count].id = id;
    candidates[*count].holdsMutex = SessionHoldsMutex(id);
    ++*count;
}

} // namespace

SessionCandidate* CandidateSessions(int* count) {
    *count = 0;
    PWTS_SESSION_INFOA sessions = NULL;
    DWORD listed = 0;
    const auto enumerate = SYSTEM_FUNCTION("wtsapi32.dll", WTSEnumerateSessionsA);
    const auto freeMemory = SYSTEM_FUNCTION("wtsapi32.dll", WTSFreeMemory);
    // Without the list, the console's and this process's sessions remain.
    if (enumerate == NULL || freeMemory == NULL || !enumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &listed)) {
        sessions = NULL;
        listed = 0;
    }
    auto* candidates = static_cast<SessionCandidate*>(malloc((listed + 2) * sizeof(SessionCandidate)));
    if (candidates != NULL) {
        for (DWORD i = 0; i < listed; ++i) AddCandidate(candidates, count, sessions[i].SessionId);
        const DWORD console = ConsoleSession();
        if (console != 0xFFFFFFFF) AddCandidate(candidates, count, console);
        AddCandidate(candidates, count, OwnSession());
    }
    if (sessions != NULL) freeMemory(sessions);
    return candidates;
}
