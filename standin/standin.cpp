// A stand-in for the Quarvel for Windows server: holds the server's mutex,
// owns frame windows of its class and answers control requests, with fault
// modes for testing clients against a hung, dying or misbehaving server.
#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../serverlink/serverlink.h"

namespace {

const char USAGE[] =
    "Quarvel stand-in: answers QUARCTL requests like the real server.\n"
    "\n"
    "Usage: standin [options]\n"
    "  --running           start with the activity running (default: stopped)\n"
    "  --no-mutex          do not create the server mutex\n"
    "  --sync-only-mutex   create the mutex granting only SYNCHRONIZE\n"
    "  --no-access-mutex   create the mutex granting no access at all\n"
    "  --global-mutex      create the mutex in the global namespace only\n"
    "  --wrong-object      create an event, not a mutex, under the mutex's name\n"
    "  --keep-mutex MS     on closing down, hold the mutex MS more after the\n"
    "                      windows are gone\n"
    "  --windows N         create N frame windows (default 1, 0 for none)\n"
    "  --top K             put frame window K (1..N) on top of the Z-order\n"
    "  --above N           put N top-level windows of another class above them\n"
    "  --message-only      make the frame windows message-only windows\n"
    "  --child             make the frame windows children of a top-level window\n"
    "                      of another class\n"
    "  --class NAME        register the frame windows under class NAME\n"
    "  --desktop NAME      create the frame windows on a new desktop NAME\n"
    "  --reply CODE[,CODE...]  answer the requests in turn with these codes, the\n"
    "                      last one for all further requests, changing nothing\n"
    "  --silent            take requests but never answer\n"
    "  --late MS           answer MS milliseconds after the send has returned\n"
    "  --linger MS         wait MS before the send returns, after answering\n"
    "                      (with --late, before setting the answer's timer)\n"
    "  --stray CODE        post message CODE to the client before the answer\n"
    "  --hang              never return from handling a request\n"
    "  --hung              hang in another message before taking requests;\n"
    "                      ready once hung\n"
    "  --close-hangs       answer CLOSE, then hang in the next message\n"
    "  --die               end the process while handling a request\n"
    "  --answer-then-die   answer, then end the process while handling it\n"
    "  --answer-false      answer, then return FALSE from the handler\n"
    "  --log FILE          append a line to FILE for each request received\n"
    "  --ready EVENT       set the named event EVENT once ready, or with EVENT\n"
    "                      '-' print the line \"ready\" on standard output\n"
    "  --help              show this text\n"
    "\n"
    "CODE is a number, decimal or 0x-prefixed hex. The stand-in runs until it\n"
    "is sent CLOSE or its window is closed.\n";

struct Options {
    bool running = false;
    bool noMutex = false;
    bool syncOnlyMutex = false;
    bool noAccessMutex = false;
    bool globalMutex = false;
    bool wrongObject = false;
    unsigned long keepMutexMs = 0;
    const char* desktop = NULL;
    unsigned long windows = 1;
    unsigned long top = 0;
    unsigned long above = 0;
    bool messageOnly = false;
    bool child = false;
    const char* className = SERVER_WINDOW_CLASS;
    std::vector<UINT> replies; // fixed answers, in turn; empty: answer as the server does
    bool silent = false;
    unsigned long lateMs = 0;
    unsigned long lingerMs = 0;
    bool stray = false;
    unsigned long strayCode = 0;
    bool hang = false;
    bool hung = false;
    bool closeHangs = false;
    bool die = false;
    bool answerThenDie = false;
    bool answerFalse = false;
    const char* logPath = NULL;
    const char* readyEvent = NULL;
};

struct PendingReply {
    DWORD thread;
    UINT code;
    WPARAM wParam;
    LPARAM lParam;
};

const UINT WM_APP_SHUTDOWN = WM_APP + 1;
const UINT WM_APP_HANG = WM_APP + 2;

Options options;
std::vector<HWND> frames;
std::vector<PendingReply> pending; // late replies, indexed by timer id - 1
size_t answered = 0;               // requests answered from --reply's list

void SignalReady();

// Appends one line to the log, closing the file at once so that a line
// survives a process that dies right after.
void LogLine(const char* format, ...) { // NOLINT(cert-dcl50-cpp): printf-style on purpose
    if (options.logPath == NULL) return;
    FILE* log = fopen(options.logPath, "a");
    if (log == NULL) return;
    va_list args;
    va_start(args, format);
    vfprintf(log, format, args);
    va_end(args);
    fputc('\n', log);
    fclose(log);
}

// Sets the option arg names if it takes no value; false if it names none.
bool SetFlag(const char* arg) {
    const struct {
        const char* name;
        bool* target;
    } flags[] = {
        {"--running", &options.running}, {"--no-mutex", &options.noMutex}, {"--sync-only-mutex", &options.syncOnlyMutex},
        {"--no-access-mutex", &options.noAccessMutex},
        {"--silent", &options.silent},   {"--hang", &options.hang},         {"--die", &options.die},
        {"--message-only", &options.messageOnly}, {"--child", &options.child},
        {"--answer-then-die", &options.answerThenDie}, {"--answer-false", &options.answerFalse},
        {"--global-mutex", &options.globalMutex}, {"--wrong-object", &options.wrongObject},
        {"--hung", &options.hung}, {"--close-hangs", &options.closeHangs},
    };
    for (const auto& flag : flags) {
        if (strcmp(arg, flag.name) == 0) {
            *flag.target = true;
            return true;
        }
    }
    return false;
}

// Sets the option arg names to value; false if it names none that takes a
// value, or the value does not fit.
bool SetValue(const char* arg, const char* value) {
    const struct {
        const char* name;
        const char** target;
    } texts[] = {{"--class", &options.className}, {"--log", &options.logPath}, {"--ready", &options.readyEvent},
                 {"--desktop", &options.desktop}};
    for (const auto& text : texts) {
        if (strcmp(arg, text.name) == 0) {
            *text.target = value;
            return true;
        }
    }
    if (strcmp(arg, "--reply") == 0) {
        options.replies.clear();
        for (const char* code = value;; ++code) {
            char* end = NULL;
            const unsigned long number = strtoul(code, &end, 0);
            if (end == code || number > 0xFFFF || (*end != ',' && *end != '\0')) return false;
            options.replies.push_back(static_cast<UINT>(number));
            if (*end == '\0') return true;
            code = end;
        }
    }
    const struct {
        const char* name;
        unsigned long* target;
        unsigned long max;
        bool* given;
    } numbers[] = {
        {"--windows", &options.windows, 16, NULL},          {"--top", &options.top, 16, NULL},
        {"--above", &options.above, 16, NULL},
        {"--late", &options.lateMs, 600000, NULL},
        {"--linger", &options.lingerMs, 600000, NULL},      {"--keep-mutex", &options.keepMutexMs, 600000, NULL},
        {"--stray", &options.strayCode, 0xFFFF, &options.stray},
    };
    for (const auto& number : numbers) {
        if (strcmp(arg, number.name) != 0) continue;
        char* end = NULL;
        *number.target = strtoul(value, &end, 0);
        if (end == value || *end != '\0' || *number.target > number.max) return false;
        if (number.given != NULL) *number.given = true;
        return true;
    }
    return false;
}

// Parses the command line into options; false with a message on error.
bool ParseOptions(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0) {
            fputs(USAGE, stdout);
            exit(0);
        }
        if (SetFlag(argv[i])) continue;
        if (i + 1 < argc && SetValue(argv[i], argv[i + 1])) {
            ++i;
            continue;
        }
        fprintf(stderr, "standin: bad option or value: %s\n\n%s", argv[i], USAGE);
        return false;
    }
    if (options.top > options.windows) {
        fputs("standin: --top names a window that is not created\n", stderr);
        return false;
    }
    if (options.hung && options.windows == 0) {
        fputs("standin: --hung needs a frame window to hang in\n", stderr);
        return false;
    }
    if (options.messageOnly && options.child) {
        fputs("standin: --message-only and --child exclude each other\n", stderr);
        return false;
    }
    return true;
}

// Applies a command to the activity and returns the reply the real server
// gives for it, or 0 for a command code it does not know.
UINT CarryOut(UINT command, HWND window) {
    switch (command) {
    case CMD_START:
        if (options.running) return REPLY_RUNNING;
        options.running = true;
        return REPLY_ACCEPTED;
    case CMD_STOP:
        if (!options.running) return REPLY_STOPPED;
        options.running = false;
        return REPLY_ACCEPTED;
    case CMD_STATUS:
        return options.running ? REPLY_RUNNING : REPLY_STOPPED;
    case CMD_CLOSE:
        // Shut down, or hang, once this request has been answered and handled.
        PostMessageA(window, options.closeHangs ? WM_APP_HANG : WM_APP_SHUTDOWN, 0, 0);
        return REPLY_ACCEPTED;
    default:
        return 0;
    }
}

void PostReply(const PendingReply& reply) {
    if (!PostThreadMessageA(reply.thread, reply.code, reply.wParam, reply.lParam)) {
        LogLine("post failed thread=%lu code=0x%04X error=%lu", static_cast<unsigned long>(reply.thread),
                reply.code, GetLastError());
    }
}

// Posts the reply, now or later, and returns what the handler returns.
LRESULT Answer(HWND window, const PendingReply& reply) {
    if (options.stray) PostThreadMessageA(reply.thread, static_cast<UINT>(options.strayCode), 0, 0);
    if (options.lateMs > 0) {
        // The timer starts as the handler returns, so the answer comes
        // lateMs after the send has returned, whatever the linger.
        if (options.lingerMs > 0) Sleep(options.lingerMs);
        pending.push_back(reply);
        SetTimer(window, pending.size(), static_cast<UINT>(options.lateMs), NULL);
    } else {
        PostReply(reply);
        if (options.answerThenDie) ExitProcess(3);
        if (options.lingerMs > 0) Sleep(options.lingerMs);
    }
    return options.answerFalse ? FALSE : TRUE;
}

LRESULT HandleCopyData(HWND window, WPARAM wParam, const COPYDATASTRUCT* envelope) {
    const LONG_PTR index = GetWindowLongPtrA(window, GWLP_USERDATA);
    if (envelope == NULL || envelope->dwData != 0 || envelope->cbData != sizeof(ControlRequest) ||
        envelope->lpData == NULL) {
        LogLine("rejected wParam=%llu dwData=%llu cbData=%lu lpData=%s window=%ld",
                static_cast<unsigned long long>(wParam),
                envelope ? static_cast<unsigned long long>(envelope->dwData) : 0ULL,
                envelope ? static_cast<unsigned long>(envelope->cbData) : 0UL,
                envelope && envelope->lpData ? "set" : "null", static_cast<long>(index));
        return FALSE;
    }
    ControlRequest request;
    memcpy(&request, envelope->lpData, sizeof request);
    // The bytes as they came, so that a test can check the layout itself.
    char bytes[2 * sizeof request + 1];
    for (size_t i = 0; i < sizeof request; ++i) {
        snprintf(bytes + 2 * i, 3, "%02X", static_cast<const unsigned char*>(envelope->lpData)[i]);
    }
    LogLine("request wParam=%llu dwData=%llu cbData=%lu thread=%lu command=0x%04lX window=%ld bytes=%s",
            static_cast<unsigned long long>(wParam), static_cast<unsigned long long>(envelope->dwData),
            static_cast<unsigned long>(envelope->cbData), static_cast<unsigned long>(request.ReplyThreadId),
            static_cast<unsigned long>(request.CommandCode), static_cast<long>(index), bytes);

    if (options.die) ExitProcess(3);
    if (options.hang) {
        for (;;) Sleep(INFINITE);
    }
    if (options.silent) return TRUE;

    const UINT code = options.replies.empty() ? CarryOut(request.CommandCode, window)
                                              : options.replies[std::min(answered++, options.replies.size() - 1)];
    if (code == 0) return FALSE;
    // Free parameters: a client must look at the identifier alone.
    return Answer(window, {request.ReplyThreadId, code, request.CommandCode, index});
}

LRESULT CALLBACK FrameProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COPYDATA:
        // NOLINTNEXTLINE(performance-no-int-to-ptr): the envelope travels in lParam
        return HandleCopyData(window, wParam, reinterpret_cast<const COPYDATASTRUCT*>(lParam));
    case WM_TIMER:
        KillTimer(window, wParam);
        if (wParam >= 1 && wParam <= pending.size()) PostReply(pending[wParam - 1]);
        return 0;
    case WM_APP_HANG:
        // Hung in a message other than a request: the window manager marks
        // the window hung some 5 s later.
        if (options.hung) SignalReady();
        for (;;) Sleep(INFINITE);
    case WM_CLOSE:
    case WM_APP_SHUTDOWN:
        for (HWND frame : frames) DestroyWindow(frame);
        frames.clear();
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

// Creates the server mutex, unowned; NULL with a message on failure.
HANDLE CreateServerMutex() {
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, NULL, FALSE};
    // Everyone may wait on it but nobody may open it with full access; or,
    // with an empty DACL, nobody may open it at all.
    const char* dacl = options.noAccessMutex ? "D:" : options.syncOnlyMutex ? "D:(A;;0x00100000;;;WD)" : NULL;
    if (dacl != NULL &&
        !ConvertStringSecurityDescriptorToSecurityDescriptorA(dacl, SDDL_REVISION_1, &attributes.lpSecurityDescriptor,
                                                              NULL)) {
        fprintf(stderr, "standin: security descriptor: error %lu\n", GetLastError());
        return NULL;
    }
    const std::string name = std::string(options.globalMutex ? "Global\\" : "") + SERVER_MUTEX_NAME;
    // Another kind of object under the name makes every open of the mutex fail.
    HANDLE mutex = options.wrongObject ? CreateEventA(&attributes, TRUE, FALSE, name.c_str())
                                       : CreateMutexA(&attributes, FALSE, name.c_str());
    const DWORD error = GetLastError();
    LocalFree(attributes.lpSecurityDescriptor);
    if (mutex == NULL) {
        fprintf(stderr, "standin: cannot create the mutex: error %lu\n", error);
    } else if (error == ERROR_ALREADY_EXISTS) {
        fputs("standin: a server is already running\n", stderr);
        CloseHandle(mutex);
        mutex = NULL;
    }
    return mutex;
}

// A class of the windows that are not frame windows.
const char OTHER_CLASS[] = "StandInOtherClass";

bool RegisterWindowClass(HINSTANCE instance, const char* name, WNDPROC procedure) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = name;
    if (RegisterClassA(&windowClass) == 0) {
        fprintf(stderr, "standin: cannot register class %s: error %lu\n", name, GetLastError());
        return false;
    }
    return true;
}

// A top-level window of the other class; NULL with a message on failure.
HWND CreateOtherWindow(HINSTANCE instance) {
    HWND window = CreateWindowExA(0, OTHER_CLASS, "Not the frame", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                  320, 120, NULL, NULL, instance, NULL);
    if (window == NULL) fprintf(stderr, "standin: cannot create a window: error %lu\n", GetLastError());
    return window;
}

// Moves a window to the top of the Z-order; false with a message on failure.
bool RaiseWindow(HWND window) {
    if (SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE)) return true;
    fprintf(stderr, "standin: cannot reorder the windows: error %lu\n", GetLastError());
    return false;
}

bool CreateFrames(HINSTANCE instance) {
    if (options.windows > 0 && !RegisterWindowClass(instance, options.className, FrameProc)) return false;
    if ((options.child || options.above > 0) && !RegisterWindowClass(instance, OTHER_CLASS, DefWindowProcA)) {
        return false;
    }
    // Frame windows that are no top-level windows: a client must not take them.
    HWND parent = NULL;
    DWORD style = WS_OVERLAPPEDWINDOW;
    if (options.messageOnly) parent = HWND_MESSAGE;
    if (options.child) {
        parent = CreateOtherWindow(instance);
        if (parent == NULL) return false;
        style = WS_CHILD;
    }
    for (unsigned long i = 1; i <= options.windows; ++i) {
        HWND frame = CreateWindowExA(0, options.className, "Quarvel stand-in", style, CW_USEDEFAULT, CW_USEDEFAULT,
                                     320, 120, parent, NULL, instance, NULL);
        if (frame == NULL) {
            fprintf(stderr, "standin: cannot create a window: error %lu\n", GetLastError());
            return false;
        }
        SetWindowLongPtrA(frame, GWLP_USERDATA, static_cast<LONG_PTR>(i));
        frames.push_back(frame);
    }
    if (options.top > 0 && !RaiseWindow(frames[options.top - 1])) return false;
    for (unsigned long i = 0; i < options.above; ++i) {
        HWND other = CreateOtherWindow(instance);
        if (other == NULL || !RaiseWindow(other)) return false;
    }
    return true;
}

// Moves this thread to a new desktop of the window station, where its
// windows then go; false with a message on failure.
bool EnterDesktop(const char* name) {
    // Before any window: a thread that has one cannot change desktops.
    HDESK desktop = CreateDesktopA(name, NULL, NULL, 0, GENERIC_ALL, NULL);
    if (desktop == NULL || !SetThreadDesktop(desktop)) {
        fprintf(stderr, "standin: cannot enter desktop %s: error %lu\n", name, GetLastError());
        return false;
    }
    return true;
}

void SignalReady() {
    if (options.readyEvent == NULL) return;
    if (strcmp(options.readyEvent, "-") == 0) {
        puts("ready");
        fflush(stdout);
        return;
    }
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, options.readyEvent);
    if (event == NULL || !SetEvent(event)) {
        fprintf(stderr, "standin: cannot signal %s: error %lu\n", options.readyEvent, GetLastError());
    }
    if (event != NULL) CloseHandle(event);
}

} // namespace

int main(int argc, char* argv[]) {
    if (!ParseOptions(argc, argv)) return 2;
    HANDLE mutex = NULL;
    if (!options.noMutex) {
        mutex = CreateServerMutex();
        if (mutex == NULL) return 1;
    }
    if (options.desktop != NULL && !EnterDesktop(options.desktop)) return 1;
    if (!CreateFrames(GetModuleHandleA(NULL))) return 1;
    if (options.hung) {
        PostMessageA(frames[0], WM_APP_HANG, 0, 0);
    } else {
        SignalReady();
    }

    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    // Closing down as an application may: windows first, the mutex later.
    if (options.keepMutexMs > 0) Sleep(options.keepMutexMs);
    if (mutex != NULL) CloseHandle(mutex);
    return 0;
}
