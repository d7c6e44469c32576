#include "report.h"

#include "../session/service.h"

namespace {

// The system's text for a Win32 error, without its line end.
std::string ErrorText(DWORD error) {
    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0, text,
                                  sizeof text, NULL);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' ')) --length;
    return length == 0 ? std::string("no text for it") : std::string(text, length);
}

void WriteError(FILE* out, const char* what, DWORD error) {
    fprintf(out, "  %s: error %lu: %s\n", what, error, ErrorText(error).c_str());
}

// USER handles are 32 bits wide also in 64-bit processes.
unsigned long HandleValue(HWND window) {
    return static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(window));
}

const char* ReplyName(UINT code) {
    switch (code) {
    case REPLY_ACCEPTED:
        return "REPLY_ACCEPTED";
    case REPLY_STOPPED:
        return "REPLY_STOPPED";
    case REPLY_RUNNING:
        return "REPLY_RUNNING";
    default:
        return "not a reply code";
    }
}

const char* YesNo(bool value) {
    return value ? "yes" : "no";
}

// One window: handle, process, image, session, and whether it is hung.
void WriteWindow(FILE* out, const WindowFacts& window) {
    fprintf(out, "0x%08lX, process %lu (%s), ", HandleValue(window.window), window.processId,
            window.image.empty() ? "image path not readable" : window.image.c_str());
    if (window.sessionKnown) {
        fprintf(out, "session %lu, ", window.session);
    } else {
        fputs("session unknown, ", out);
    }
    fputs(window.hung ? "hung" : "responding", out);
}

void WriteProcess(FILE* out, const ProcessFacts& process) {
    fputs("This process\n", out);
    fprintf(out, "  Architecture: %s%s\n", process.is64Bit ? "64-bit" : "32-bit",
            process.wow64 ? ", under WOW64 on 64-bit Windows" : "");
    fprintf(out, "  Session: %lu\n", process.session);
    fprintf(out, "  Window station and desktop: %s\\%s\n", process.windowStation.c_str(), process.desktop.c_str());
    fprintf(out, "  Token: %s integrity, %s\n", IntegrityName(process.integrity),
            !process.elevationKnown ? "elevation unknown" : process.elevated ? "elevated" : "not elevated");
}

// The folder check's verdict, on lines that start with indent.
void WriteFolderVerdict(FILE* out, const FolderFacts& facts, const char* indent) {
    if (facts.toolError != 0) {
        fputs(indent, out);
        WriteError(out, "No quarctl.exe to check there", facts.toolError);
    } else if (facts.check.error != 0) {
        const std::string what = std::string("The security of ") + facts.check.object + " could not be read";
        fputs(indent, out);
        WriteError(out, what.c_str(), facts.check.error);
    } else if (facts.check.safe) {
        fprintf(out, "%s  A LocalSystem caller would accept it: only SYSTEM, Administrators and TrustedInstaller can "
                     "change quarctl.exe, %s and the folder\n",
                indent, facts.bridge.substr(facts.bridge.rfind('\\') + 1).c_str());
    } else {
        fprintf(out, "%s  A LocalSystem caller would refuse it: %s can be changed by %s\n", indent,
                facts.check.object, facts.check.account);
    }
}

void WriteFolder(FILE* out, const FolderFacts& facts) {
    fprintf(out, "\nFolder %s, as quarctl-session checks it when it runs as a service\n", facts.folder.c_str());
    WriteFolderVerdict(out, facts, "");
}

void WriteJob(FILE* out, const JobFacts& job) {
    if (!job.inJob) {
        fputs("  Job: none\n", out);
    } else if (!job.limitsKnown) {
        fputs("  Job: this process runs in one whose limits could not be read\n", out);
    } else {
        const char* breakaway = (job.limitFlags & JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK) != 0
                                    ? "lets every process leave it (JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK)"
                                : (job.limitFlags & JOB_OBJECT_LIMIT_BREAKAWAY_OK) != 0
                                    ? "allows breakaway (JOB_OBJECT_LIMIT_BREAKAWAY_OK)"
                                    : "forbids breakaway: Windows keeps its processes in its session";
        fprintf(out, "  Job: this process runs in one that %s (limits 0x%08lX)\n", breakaway, job.limitFlags);
    }
}

// The installed service's access list, privileges and program folder.
void WriteServiceSecurity(FILE* out, const WayFacts& way) {
    if (way.accessError != 0) {
        WriteError(out, "Its access list could not be read", way.accessError);
    } else {
        fprintf(out, "  Its access list: %s\n", way.access.c_str());
        if (way.accessFlagged.empty()) {
            fputs("  Only SYSTEM and Administrators may start it, change its configuration or its access list\n",
                  out);
        } else {
            fprintf(out, "  Unsafe: %s may start it, change its configuration or its access list; what to do: "
                         "sc.exe sdset %s \"%s\"\n",
                    way.accessFlagged.c_str(), SERVICE_NAME, SERVICE_SDDL);
        }
    }
    if (way.privilegesError != 0) {
        WriteError(out, "Its required privileges could not be read", way.privilegesError);
    } else {
        std::string list;
        for (const std::string& privilege : way.privileges) list += (list.empty() ? "" : ", ") + privilege;
        fprintf(out, "  Its required privileges: %s\n",
                list.empty() ? "none declared, so it holds every privilege of LocalSystem" : list.c_str());
    }
    if (way.programFolder.folder.empty()) {
        fputs("  Its program's folder: none can be read from that command line\n", out);
    } else {
        fprintf(out, "  Its program's folder, %s:\n", way.programFolder.folder.c_str());
        WriteFolderVerdict(out, way.programFolder, "  ");
    }
}

// How quarctl-session would reach another session's user from here.
void WriteWay(FILE* out, const WayFacts& way) {
    fputs("\nWay to other sessions, as quarctl-session takes it from here\n", out);
    WriteJob(out, way.job);
    fprintf(out, "  Account: %s\n",
            way.localSystem ? "LocalSystem, which may take a session user's token"
                            : "not LocalSystem: without SeTcbPrivilege it may not take a session user's token");
    const bool installed = way.serviceError == 0;
    if (way.serviceError == ERROR_SERVICE_DOES_NOT_EXIST) {
        fprintf(out, "  Service %s: not installed\n", SERVICE_NAME);
    } else if (!installed) {
        WriteError(out, "Service QuarctlSession: its configuration could not be read", way.serviceError);
    } else {
        const char* start = way.startType == SERVICE_DEMAND_START ? "on demand"
                            : way.startType == SERVICE_AUTO_START ? "automatically"
                            : way.startType == SERVICE_DISABLED   ? "never (disabled)"
                                                                  : "otherwise";
        fprintf(out, "  Service %s: starts %s, as %s, with %s\n", SERVICE_NAME, start, way.account.c_str(),
                way.command.c_str());
        fprintf(out, "  That is %sthe bridge beside this program (%s --service)\n",
                ServiceRunsBridge(way.command, way.bridge) ? "" : "not ", way.bridge.c_str());
        WriteServiceSecurity(out, way);
    }
    switch (WayFromHere(way)) {
    case Route::Direct:
        fputs("  Route: quarctl-session starts quarctl as the session's user from here\n", out);
        return;
    case Route::Breakaway:
        fputs("  Route: quarctl-session starts quarctl as the session's user, outside this process's job\n", out);
        return;
    case Route::Service:
        fprintf(out, "  Route: quarctl-session hands the request to the %s service, which starts quarctl\n",
                SERVICE_NAME);
        return;
    case Route::Refuse:
        break;
    }
    fprintf(out, "  Route: none: only the %s service could start quarctl in another session from here\n",
            SERVICE_NAME);
    if (installed && way.startType == SERVICE_DISABLED) {
        fprintf(out, "  What to do: from an elevated prompt: sc.exe config %s start= demand\n", SERVICE_NAME);
        return;
    }
    char advice[2 * MAX_PATH + 640];
    InstallAdvice(way.bridge.c_str(), way.ownFolder.check, way.ownFolder.toolError, advice, sizeof advice);
    fprintf(out, "  What to do: %s\n", advice);
}

void WriteMutex(FILE* out, const MutexFacts& mutex) {
    fprintf(out, "\nMutex \"%s\"\n", SERVER_MUTEX_NAME);
    if (mutex.opened) {
        fputs("  OpenMutexA with MUTEX_ALL_ACCESS: opened\n", out);
        return;
    }
    WriteError(out, "OpenMutexA with MUTEX_ALL_ACCESS", mutex.error);
    if (mutex.error == ERROR_ACCESS_DENIED) {
        fprintf(out, "  With SYNCHRONIZE alone: %s\n",
                mutex.existsForSync ? "opened: the mutex exists, but refuses full access" : "refused as well");
    } else if (mutex.error == ERROR_INVALID_HANDLE) {
        fputs("  The name belongs to another kind of object, not a mutex.\n", out);
    }
    fprintf(out, "  In the global namespace (Global\\%s): %s\n", SERVER_MUTEX_NAME,
            mutex.globalExists ? "exists" : "none");
}

void WriteSessions(FILE* out, const SessionSearchFacts& facts, DWORD ownSession) {
    fprintf(out, "\nSessions (Session\\<N>\\%s, as quarctl-session looks for it)\n", SERVER_MUTEX_NAME);
    if (facts.sessions.empty()) fputs("  none could be listed\n", out);
    for (const SessionFacts& session : facts.sessions) {
        fprintf(out, "  session %lu (%s, %s%s): %s%s%s\n", session.id,
                session.state.empty() ? "state unknown" : session.state.c_str(),
                session.user.empty() ? "no user" : "user ", session.user.c_str(),
                session.holdsMutex ? "holds the mutex" : "no mutex", session.id == ownSession ? "; this process" : "",
                session.id == facts.console ? "; the console's" : "");
    }
}

void WriteWindows(FILE* out, const WindowSearchFacts& windows) {
    fprintf(out, "\nFrame windows (class \"%s\", top of the Z-order first)\n", SERVER_WINDOW_CLASS);
    if (windows.frames.empty()) fputs("  none among the top-level windows\n", out);
    for (const WindowFacts& frame : windows.frames) {
        fputs("  ", out);
        WriteWindow(out, frame);
        fputs(frame.window == windows.taken ? "  <- quarctl takes this one\n" : "\n", out);
    }
    for (const NearMiss& miss : windows.nearMisses) {
        switch (miss.kind) {
        case NearMissKind::MessageOnly:
            fputs("  Near miss: a message-only window ", out);
            break;
        case NearMissKind::Child:
            fprintf(out, "  Near miss: a child of a top-level window of class \"%s\": ", miss.where.c_str());
            break;
        case NearMissKind::OtherDesktop:
            fprintf(out, "  Near miss: on desktop \"%s\": ", miss.where.c_str());
            break;
        }
        WriteWindow(out, miss.owner);
        fputs("\n", out);
    }
}

// The reply's way back: whether the reply codes pass this process's
// message filter, which matters where this process outranks the
// application, as an elevated one does.
void WriteReplyFilter(FILE* out, DWORD filterError, const Facts& facts) {
    if (filterError == 0) {
        fputs("  Reply filter: quarctl lets the reply codes (0x047F, 0x0480, 0x0481) through this process's message "
              "filter, and that worked here\n",
              out);
    } else if (filterError == ERROR_PROC_NOT_FOUND) {
        fputs("  Reply filter: none on this Windows (before Vista), so replies pass\n", out);
    } else {
        WriteError(out, "Reply filter: quarctl lets the reply codes through this process's message filter, and that "
                        "failed here: ChangeWindowMessageFilter",
                   filterError);
    }
    const WindowFacts* app = TakenWindow(facts.windows);
    if (app != NULL && WeOutrankApp(facts.process, *app)) {
        fprintf(out, "  This process outranks the application (%s over %s): its replies pass only where that filter "
                     "lets them\n",
                IntegrityName(facts.process.integrity), IntegrityName(app->integrity));
    }
}

void WriteExchange(FILE* out, const Facts& all, bool sent) {
    const ExchangeFacts& facts = all.exchange;
    fputs("\nExchange: one STATUS request\n", out);
    if (!sent) {
        fputs("  not tried (--no-send)\n", out);
        return;
    }
    if (!facts.attempted) {
        fputs("  not tried: quarctl would not get this far\n", out);
        return;
    }
    const ControlExchange& exchange = facts.exchange;
    WriteReplyFilter(out, exchange.filterError, all);
    if (exchange.outcome == ExchangeOutcome::NotResponding) {
        fprintf(out, "  Send failed after %lu ms\n", exchange.sendMs);
        WriteError(out, "SendMessageTimeoutA", exchange.sendError);
        fprintf(out, "  Afterwards: window exists: %s; process: %s; hung: %s\n", YesNo(facts.windowExists),
                !facts.processKnown ? "unknown" : facts.processAlive ? "alive" : "ended", YesNo(facts.hung));
        return;
    }
    if (exchange.sendError != 0) {
        fprintf(out, "  Send failed after %lu ms, but a reply was already queued\n", exchange.sendMs);
        WriteError(out, "SendMessageTimeoutA", exchange.sendError);
    } else {
        fprintf(out, "  Delivered in %lu ms\n", exchange.sendMs);
    }
    if (exchange.outcome == ExchangeOutcome::Replied) {
        fprintf(out, "  Reply: %s (0x%04X), %lu ms after the send returned\n", ReplyName(exchange.replyCode),
                exchange.replyCode, exchange.replyMs);
    } else if (facts.lateReply) {
        fprintf(out, "  No reply in time; a late one came: %s (0x%04X), %lu ms after the send returned\n",
                ReplyName(facts.lateCode), facts.lateCode, facts.lateMs);
    } else {
        fprintf(out, "  No reply, not even %lu ms after the send returned\n", facts.lateMs);
    }
}

void WriteVerdict(FILE* out, const Verdict& verdict) {
    fputs("\nVerdict\n", out);
    if (verdict.known) {
        if (verdict.sentence.empty()) {
            fprintf(out, "  quarctl STATUS prints nothing and exits with status %d\n", verdict.toolStatus);
        } else {
            fprintf(out, "  quarctl STATUS prints \"%s\" and exits with status %d\n", verdict.sentence.c_str(),
                    verdict.toolStatus);
        }
    } else {
        fputs("  quarctl STATUS finds the window and sends its request there\n", out);
    }
    fprintf(out, "  Cause: %s\n", verdict.cause.c_str());
    fprintf(out, "  What to do: %s\n", verdict.advice.c_str());
}

} // namespace

void WriteReport(FILE* out, const Facts& facts, const Verdict& verdict, bool sent) {
    fputs("quarctl-doctor 1.1: what quarctl STATUS meets at each step\n\n", out);
    WriteProcess(out, facts.process);
    WriteFolder(out, facts.folder);
    WriteWay(out, facts.way);
    WriteMutex(out, facts.mutex);
    WriteSessions(out, facts.sessions, facts.process.session);
    WriteWindows(out, facts.windows);
    WriteExchange(out, facts, sent);
    WriteVerdict(out, verdict);
}
