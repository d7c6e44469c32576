// The server link: finding the running server and exchanging one request
// and reply with its frame window over the window-message system.
#ifndef QUARCTL_SERVERLINK_H
#define QUARCTL_SERVERLINK_H

#include <windows.h>

// Command codes: what a request asks of the server.
const UINT CMD_STOP = 0x0608;
const UINT CMD_START = 0x0609;
const UINT CMD_CLOSE = 0x060A;
const UINT CMD_STATUS = 0x060B;

// Reply codes: the identifier of the message the server posts back.
// All three lie in the WM_USER range.
const UINT REPLY_ACCEPTED = 0x047F; // carrying out the request
const UINT REPLY_STOPPED = 0x0480;  // the activity is stopped
const UINT REPLY_RUNNING = 0x0481;  // the activity is running

// Held by the server while it runs; tested, never created.
const char SERVER_MUTEX_NAME[] = "DOVARERIRU";
// Class of the server's main frame window, compared ignoring case.
const char SERVER_WINDOW_CLASS[] = "QuarvelFrameClass";

// Upper bounds on each half of the exchange, so that a hung, dying or
// silent server cannot hold the tool.
const UINT SEND_TIMEOUT_MS = 5000;
const DWORD REPLY_TIMEOUT_MS = 5000;

// The WM_COPYDATA payload: two little-endian 32-bit fields, 8 bytes.
struct ControlRequest {
    DWORD ReplyThreadId; // the server posts its reply to this thread
    DWORD CommandCode;   // one of CMD_*
};
static_assert(sizeof(ControlRequest) == 8, "the request is 8 bytes on the wire");

// How an exchange ended.
enum class ExchangeOutcome {
    Replied,       // a message arrived; its identifier is the reply code
    NotResponding, // the send failed, nothing queued: window gone, server hung or died
    NoReply,       // the server took the request but posted nothing in time
};

// What happened, with the facts a diagnosis needs; the tool itself reads
// only the outcome and the reply code.
struct ControlExchange {
    ExchangeOutcome outcome;
    UINT replyCode;  // meaningful only when outcome is Replied
    DWORD sendError = 0; // GetLastError of a failed send, else 0
    DWORD sendMs = 0;    // from the send to its return, to the system tick
    DWORD replyMs = 0;   // from the send's return to the reply, or to giving up
    DWORD filterError = 0; // OpenReplyFilter's result
};

// The error a failed SendMessageTimeoutA leaves, read after the last error
// was cleared before it: it does not always set one, and a failure with
// none after the full bound is its timeout.
inline DWORD SendError(DWORD lastError, DWORD sendMs) {
    return lastError == 0 && sendMs >= SEND_TIMEOUT_MS ? ERROR_TIMEOUT : lastError;
}

// True when the server's named mutex exists and opens with full access;
// when false, GetLastError tells why OpenMutexA failed.
bool ProbeServerMutex();

// A GetWindow walk can loop when other programs reorder their windows
// meanwhile; no desktop holds more windows than USER's 64K handle table.
const int MAX_WINDOWS_WALKED = 65536;
// How often a walk starts again from the top when the window it stands on
// is destroyed under it; past that it ends as at the last window.
const int MAX_WALK_RESTARTS = 3;

// Called for each top-level window a walk passes; true ends the walk there.
using WindowVisitor = bool (*)(HWND window, void* context);

// Walks the top-level windows from the top of the Z-order down, calling
// visit on each; returns the window where it returned true, or NULL. After
// a restart a window may be visited again.
HWND WalkTopLevelWindows(WindowVisitor visit, void* context);

// True when the window's class is the server's frame class, as the window
// search reads and compares it.
bool IsServerFrameClass(HWND window);

// The first top-level window from the top of the Z-order whose class is
// the server's frame class, or NULL.
HWND FindServerWindow();

// Takes the first message posted to this thread, waiting at most timeoutMs;
// false when none came. waitedMs is how long it waited either way.
bool TakeThreadMessage(DWORD timeoutMs, MSG* msg, DWORD* waitedMs);

// Lets the three reply codes through this process's message filter, so
// that an application at a lower integrity level may post them to this
// thread; returns 0, or the error of the call that failed
// (ERROR_PROC_NOT_FOUND: this Windows has no filter, as before Vista).
DWORD OpenReplyFilter();

// Sends one command to the window and takes the first message posted to
// this thread, also when the send itself failed; both halves are bounded.
ControlExchange SendControlCommand(HWND window, UINT commandCode);

#endif
