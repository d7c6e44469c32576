#include "frontend.h"

#include "../serverlink/serverlink.h"

namespace {

struct ReplyText {
    UINT replyCode;
    const char* text; // NULL marks an unused slot
};

struct CommandRow {
    const char* keyword;
    UINT commandCode;
    ReplyText replies[2];
};

// Tested in this order; a reply a row does not list prints nothing.
const CommandRow CommandTable[] = {
    {"STOP",
     CMD_STOP,
     {{REPLY_ACCEPTED, "Quavel is stopping.\n\n"}, {REPLY_STOPPED, "Quavel is already stopped.\n\n"}}},
    {"START",
     CMD_START,
     {{REPLY_ACCEPTED, "Quavel is starting.\n\n"}, {REPLY_RUNNING, "Quavel is already running.\n\n"}}},
    {"STATUS",
     CMD_STATUS,
     {{REPLY_RUNNING, "Quavel is running.\n\n"}, {REPLY_STOPPED, "Quavel is not running.\n\n"}}},
    {"CLOSE", CMD_CLOSE, {{REPLY_ACCEPTED, "Quavel is closing down.\n\n"}, {0, NULL}}},
};

const char* const UsageText[] = {
    "\nQUARCTL 1.1\n",
    "A utility to control Quarvel for Windows.\n",
    "Syntax is: QUARCTL [START|STOP|STATUS|CLOSE]\n",
    "\n",
};

const int EXIT_REACHED = 0;
const int EXIT_UNREACHED = 1;

// Writes one fixed text as it stands.
void WriteText(FILE* out, const char* text) {
    fprintf(out, "%s", text);
}

// Writes a failure message with the empty line that follows every message.
int Fail(FILE* out, const char* message) {
    fprintf(out, "%s\n\n", message);
    return EXIT_UNREACHED;
}

// The row whose keyword equals word, ignoring case, or NULL.
const CommandRow* FindCommandRow(const char* word) {
    for (const CommandRow& row : CommandTable) {
        if (lstrcmpiA(word, row.keyword) == 0) return &row;
    }
    return NULL;
}

// The row's text for a reply code, or NULL when the row lists none.
const char* RowText(const CommandRow& row, UINT replyCode) {
    for (const ReplyText& reply : row.replies) {
        if (reply.text != NULL && reply.replyCode == replyCode) return reply.text;
    }
    return NULL;
}

} // namespace

const char MSG_NOT_RUNNING[] = "QUARCTL: Quarvel is NOT running.";
const char MSG_NO_WINDOW[] = "QUARCTL: Fatal Error: Unable to find Quarvel main window.";
const char MSG_NOT_RESPONDING[] = "QUARCTL: Quarvel is not responding.";
const char MSG_NO_REPLY[] = "QUARCTL: No reply from Quarvel.";

const char* OutcomeText(const char* keyword, unsigned int replyCode) {
    const CommandRow* row = FindCommandRow(keyword);
    return row == NULL ? NULL : RowText(*row, replyCode);
}

int RunTool(int argc, char* argv[], FILE* out) {
    // A count of 0 (an empty command line) has no argv[1] to read either.
    if (argc < 2) {
        for (const char* piece : UsageText) WriteText(out, piece);
        return EXIT_REACHED;
    }
    // The server is looked for before the word is, so an unknown word can
    // still fail for want of a server.
    if (!ProbeServerMutex()) return Fail(out, MSG_NOT_RUNNING);
    HWND window = FindServerWindow();
    if (window == NULL) return Fail(out, MSG_NO_WINDOW);

    const CommandRow* row = FindCommandRow(argv[1]);
    if (row == NULL) return EXIT_REACHED;

    const ControlExchange exchange = SendControlCommand(window, row->commandCode);
    switch (exchange.outcome) {
    case ExchangeOutcome::NotResponding:
        return Fail(out, MSG_NOT_RESPONDING);
    case ExchangeOutcome::NoReply:
        return Fail(out, MSG_NO_REPLY);
    case ExchangeOutcome::Replied:
        break;
    }
    const char* text = RowText(*row, exchange.replyCode);
    if (text != NULL) WriteText(out, text);
    return EXIT_REACHED;
}
