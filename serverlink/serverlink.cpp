// The server link: the only code that talks to the server. It tests for the
// server's named mutex, walks the top-level windows for its frame window,
// and hands that window one WM_COPYDATA request, bounded in time, then
// takes the first message posted back to this thread as the reply.
#include "serverlink.h"

#include "unique_handle.h"

namespace {

// Room for 19 characters: a longer class name is read cut short and so
// never matches the 17-character frame class.
const int CLASS_BUFFER_CHARS = 20;

} // namespace

bool ProbeServerMutex() {
    // Any failure, a missing mutex or refused access alike, means absent.
    UniqueHandle mutex(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, SERVER_MUTEX_NAME));
    return mutex.get() != NULL;
}

bool IsServerFrameClass(HWND window) {
    char className[CLASS_BUFFER_CHARS];
    // A window whose class cannot be read (count 0) is passed over.
    return GetClassNameA(window, className, CLASS_BUFFER_CHARS) != 0 &&
           lstrcmpiA(className, SERVER_WINDOW_CLASS) == 0;
}

HWND WalkTopLevelWindows(WindowVisitor visit, void* context) {
    // The desktop's first child is the top of the Z-order. Only the
    // desktop's children are candidates: message-only windows hang off
    // another parent, child windows off their owners' windows.
    HWND window = GetWindow(GetDesktopWindow(), GW_CHILD);
    int restarts = 0;
    for (int walked = 0; window != NULL && walked < MAX_WINDOWS_WALKED; ++walked) {
        if (visit(window, context)) return window;
        // GetWindow leaves the last error as it was at the last window.
        SetLastError(0);
        HWND next = GetWindow(window, GW_HWNDNEXT);
        // The window it stood on was destroyed meanwhile (tooltips, menus
        // and toasts come and go on a busy desktop): the rest of the list
        // is out of reach from it, so start again from the top.
        if (next == NULL && GetLastError() == ERROR_INVALID_WINDOW_HANDLE && restarts < MAX_WALK_RESTARTS) {
            ++restarts;
            window = GetWindow(GetDesktopWindow(), GW_CHILD);
        } else {
            window = next;
        }
    }
    return NULL;
}

namespace {

bool IsFrame(HWND window, void* /*context*/) {
    return IsServerFrameClass(window);
}

} // namespace

HWND FindServerWindow() {
    return WalkTopLevelWindows(IsFrame, NULL);
}

DWORD OpenReplyFilter() {
    // Looked up, not imported: Windows before Vista has no UIPI and no such
    // function, and the tool must still start there. user32 is loaded.
    const FARPROC address = GetProcAddress(GetModuleHandleA("user32.dll"), "ChangeWindowMessageFilter");
    if (address == NULL) return ERROR_PROC_NOT_FOUND;
    // Through void (*)(): typed by the SDK's own declaration.
    const auto change = reinterpret_cast<decltype(&ChangeWindowMessageFilter)>( // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
        reinterpret_cast<void (*)()>(address));                                 // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
    // UIPI drops messages above WM_USER that a lower-integrity process posts
    // to this thread, so an elevated tool would miss a Medium application's
    // reply. The filter is the process's, and the one that governs posted
    // thread messages. It lets a lower process post these three codes to
    // this thread for the tool's few seconds: no new exposure, as any
    // process at the tool's own level could already post them.
    const UINT replies[] = {REPLY_ACCEPTED, REPLY_STOPPED, REPLY_RUNNING};
    for (const UINT reply : replies) {
        if (!change(reply, MSGFLT_ADD)) return GetLastError();
    }
    return 0;
}

ControlExchange SendControlCommand(HWND window, UINT commandCode) {
    MSG msg;
    // A thread gets its message queue on its first call into USER32; make
    // sure it has one before the server learns where to post the reply.
    PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE);
    // Its failure costs only an elevated tool's replies; it goes on.
    const DWORD filterError = OpenReplyFilter();

    ControlRequest request = {GetCurrentThreadId(), commandCode};
    COPYDATASTRUCT envelope;
    envelope.dwData = 0;
    envelope.cbData = sizeof request;
    envelope.lpData = &request;

    UINT flags = SMTO_ABORTIFHUNG;
#ifdef SMTO_ERRORONEXIT
    // Vista and later: fail at once when the server's thread ends mid-send.
    flags |= SMTO_ERRORONEXIT;
#endif
    // The handler's result is not examined: a server may answer and still
    // return FALSE.
    DWORD_PTR handled = 0;
    const DWORD sendStart = GetTickCount();
    // The send does not always set the last error when it fails: clear it,
    // so that what is read after it is never an older call's.
    SetLastError(0);
    if (SendMessageTimeoutA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&envelope), flags,
                            SEND_TIMEOUT_MS, &handled) == 0) {
        const DWORD sendMs = GetTickCount() - sendStart;
        const DWORD error = SendError(GetLastError(), sendMs);
        // A server may post its reply and then end its process, or stay in
        // its handler past the bound: a reply already queued still counts.
        if (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            return {ExchangeOutcome::Replied, msg.message, error, sendMs, 0, filterError};
        }
        return {ExchangeOutcome::NotResponding, 0, error, sendMs, 0, filterError};
    }

    // The reply clock starts when the send returns.
    const DWORD sendMs = GetTickCount() - sendStart;
    DWORD waited = 0;
    if (TakeThreadMessage(REPLY_TIMEOUT_MS, &msg, &waited)) {
        return {ExchangeOutcome::Replied, msg.message, 0, sendMs, waited, filterError};
    }
    return {ExchangeOutcome::NoReply, 0, 0, sendMs, waited, filterError};
}

bool TakeThreadMessage(DWORD timeoutMs, MSG* msg, DWORD* waitedMs) {
    // A message may already be queued, posted while a send was in progress,
    // so look before each wait. MWMO_INPUTAVAILABLE wakes for a message that
    // is queued but was already seen by an earlier look.
    const DWORD start = GetTickCount();
    for (;;) {
        const bool taken = PeekMessageA(msg, NULL, 0, 0, PM_REMOVE) != 0;
        *waitedMs = GetTickCount() - start; // wraps safely
        if (taken) return true;
        if (*waitedMs >= timeoutMs) return false;
        // cppcheck-suppress nullPointer ; no handles: only the queue is waited on
        if (MsgWaitForMultipleObjectsEx(0, NULL, timeoutMs - *waitedMs, QS_ALLPOSTMESSAGE, MWMO_INPUTAVAILABLE) ==
            WAIT_FAILED) {
            return false;
        }
    }
}
