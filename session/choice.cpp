#include "choice.h"

#include <stdlib.h>
#include <string.h>

bool ParseBridgeArguments(int argc, char* argv[], BridgeArguments* arguments) {
    arguments->sessionGiven = false;
    arguments->session = 0;
    arguments->keyword = NULL;
    arguments->badValue = NULL;
    int next = 1;
    if (argc > 1 && strcmp(argv[1], "--session") == 0) {
        const char* value = argc > 2 ? argv[2] : "";
        // Decimal digits only: strtoul alone would take "-1", " 2" or "0x2".
        char* end = NULL;
        const unsigned long id = strtoul(value, &end, 10);
        if (value[0] < '0' || value[0] > '9' || *end != '\0' || strlen(value) > 10 || id > 0xFFFFFFFEul) {
            arguments->badValue = value;
            return false;
        }
        arguments->sessionGiven = true;
        arguments->session = static_cast<DWORD>(id);
        next = 3;
    }
    if (argc > next) arguments->keyword = argv[next];
    return true;
}

namespace {

const SessionCandidate* FindCandidate(const SessionCandidate* candidates, int count, DWORD id) {
    for (int i = 0; i < count; ++i) {
        if (candidates[i].id == id) return &candidates[i];
    }
    return NULL;
}

} // namespace

SessionChoice ChooseSession(const SessionCandidate* candidates, int count, DWORD consoleSession, DWORD ownSession,
                            const BridgeArguments& arguments) {
    if (arguments.sessionGiven) {
        const bool known = FindCandidate(candidates, count, arguments.session) != NULL;
        return {known ? ChoiceKind::Run : ChoiceKind::NoSuchSession, arguments.session};
    }
    int holders = 0;
    DWORD holder = ownSession;
    for (int i = 0; i < count; ++i) {
        if (!candidates[i].holdsMutex) continue;
        ++holders;
        holder = candidates[i].id;
    }
    if (holders <= 1) return {ChoiceKind::Run, holder};
    const SessionCandidate* console = FindCandidate(candidates, count, consoleSession);
    if (console != NULL && console->holdsMutex) return {ChoiceKind::Run, consoleSession};
    return {ChoiceKind::Several, 0};
}

size_t QuoteArgument(const char* argument, char* out) {
    size_t length = 0;
    out[length++] = '"';
    size_t backslashes = 0;
    for (const char* c = argument; *c != '\0'; ++c) {
        if (*c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a quote follows them: then each is
        // doubled, and the quote escaped by one more.
        const size_t copies = *c == '"' ? backslashes * 2 + 1 : backslashes;
        for (size_t i = 0; i < copies; ++i) out[length++] = '\\';
        backslashes = 0;
        out[length++] = *c;
    }
    // Before the closing quote, too.
    for (size_t i = 0; i < backslashes * 2; ++i) out[length++] = '\\';
    out[length++] = '"';
    out[length] = '\0';
    return length;
}

const char* TokenAdvice(DWORD error) {
    switch (error) {
    case ERROR_PRIVILEGE_NOT_HELD:
        return "Run quarctl-session as LocalSystem, from a service or a task that runs as SYSTEM: only it may take "
               "the token of session %lu's user.";
    case ERROR_NO_TOKEN:
        return "No user is logged on in session %lu: log on there, or name another session with --session.";
    default:
        return "Act on that error, then try again.";
    }
}
