// The front end's decisions: which calls it makes, in which order, what it
// prints and which status it returns, for each answer of the server link.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "../frontend/frontend.h"
#include "fake_serverlink.h"

namespace {

const char USAGE[] =
    "\nQUARCTL 1.1\n"
    "A utility to control Quarvel for Windows.\n"
    "Syntax is: QUARCTL [START|STOP|STATUS|CLOSE]\n"
    "\n";

struct ToolRun {
    std::string output;
    int status;
};

// Runs the front end with the given arguments after the program name
// (none at all, not even argv[0], when withProgram is false).
ToolRun RunWith(std::vector<std::string> args, bool withProgram = true) {
    if (withProgram) args.insert(args.begin(), "quarctl");
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(NULL);

    // In the temporary folder: msvcrt's tmpfile() writes to the root of the
    // drive, which Windows may refuse to a user without rights there.
    char folder[MAX_PATH];
    char path[MAX_PATH];
    FILE* out = NULL;
    if (GetTempPathA(MAX_PATH, folder) == 0 || GetTempFileNameA(folder, "qct", 0, path) == 0 ||
        (out = fopen(path, "w+bD")) == NULL) {
        ADD_FAILURE() << "no temporary file";
        return {"", -1};
    }
    const int status = RunTool(static_cast<int>(args.size()), argv.data(), out);
    std::string output(static_cast<size_t>(ftell(out)), '\0');
    rewind(out);
    if (!output.empty()) {
        EXPECT_EQ(fread(output.data(), 1, output.size(), out), output.size());
    }
    fclose(out);
    return {output, status};
}

class FrontEnd : public ::testing::Test {
protected:
    void SetUp() override { fakeLink = FakeServerLink(); }
};

TEST_F(FrontEnd, UsageWithoutArgumentTouchesNoServer) {
    fakeLink.mutexExists = false;
    for (bool withProgram : {true, false}) {
        const ToolRun run = RunWith({}, withProgram);
        EXPECT_EQ(run.output, USAGE);
        EXPECT_EQ(run.status, 0);
    }
    EXPECT_EQ(fakeLink.calls, "");
}

TEST_F(FrontEnd, MissingServerIsReportedBeforeTheWordIsRead) {
    struct Case {
        bool mutexExists;
        bool windowExists;
        const char* calls;
        const char* output;
    };
    const Case cases[] = {
        {false, true, "mutex", "QUARCTL: Quarvel is NOT running.\n\n"},
        {true, false, "mutex window", "QUARCTL: Fatal Error: Unable to find Quarvel main window.\n\n"},
    };
    for (const Case& c : cases) {
        for (const char* word : {"STATUS", "bogus"}) {
            SCOPED_TRACE(std::string(c.calls) + " / " + word);
            fakeLink = FakeServerLink();
            fakeLink.mutexExists = c.mutexExists;
            if (!c.windowExists) fakeLink.window = NULL;
            const ToolRun run = RunWith({word});
            EXPECT_EQ(run.output, c.output);
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(fakeLink.calls, c.calls);
        }
    }
}

// Each keyword against each reply: the sentence, or nothing for a reply the
// keyword does not list. The status is 0 whatever the reply.
TEST_F(FrontEnd, EveryKeywordWithEveryReply) {
    const UINT replies[] = {REPLY_ACCEPTED, REPLY_STOPPED, REPLY_RUNNING, WM_QUIT, 0};
    struct Row {
        const char* keyword;
        const char* calls;
        const char* outputs[5]; // for each of replies[]
    };
    const Row rows[] = {
        {"STOP", "mutex window send:0x0608",
         {"Quavel is stopping.\n\n", "Quavel is already stopped.\n\n", "", "", ""}},
        {"START", "mutex window send:0x0609",
         {"Quavel is starting.\n\n", "", "Quavel is already running.\n\n", "", ""}},
        {"STATUS", "mutex window send:0x060B",
         {"", "Quavel is not running.\n\n", "Quavel is running.\n\n", "", ""}},
        {"CLOSE", "mutex window send:0x060A", {"Quavel is closing down.\n\n", "", "", "", ""}},
    };
    for (const Row& row : rows) {
        for (size_t i = 0; i < sizeof replies / sizeof replies[0]; ++i) {
            SCOPED_TRACE(std::string(row.keyword) + " answered " + std::to_string(replies[i]));
            fakeLink = FakeServerLink();
            fakeLink.exchange = {ExchangeOutcome::Replied, replies[i]};
            const ToolRun run = RunWith({row.keyword});
            EXPECT_EQ(run.output, row.outputs[i]);
            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(fakeLink.calls, row.calls);
        }
    }
}

TEST_F(FrontEnd, OnlyTheFirstArgumentCountsInAnyLetterCase) {
    fakeLink.exchange = {ExchangeOutcome::Replied, REPLY_RUNNING};
    const std::vector<std::vector<std::string>> commandLines = {
        {"status"}, {"Status"}, {"sTaTuS"}, {"STATUS", "extra"}, {"status", "STOP", "CLOSE"}};
    for (const auto& args : commandLines) {
        SCOPED_TRACE(args[0] + " +" + std::to_string(args.size() - 1));
        fakeLink.calls.clear();
        const ToolRun run = RunWith(args);
        EXPECT_EQ(run.output, "Quavel is running.\n\n");
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(fakeLink.calls, "mutex window send:0x060B");
    }
}

TEST_F(FrontEnd, UnrecognisedWordsSendNothing) {
    for (const char* word : {"", " STOP", "STOP ", "STOPX", "STA", "/?", "-h", "ST\xC3\x96P"}) {
        SCOPED_TRACE(word);
        fakeLink.calls.clear();
        const ToolRun run = RunWith({word, "STOP"});
        EXPECT_EQ(run.output, "");
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(fakeLink.calls, "mutex window");
    }
}

TEST_F(FrontEnd, FailedExchangeIsReportedWithStatusOne) {
    struct Case {
        ExchangeOutcome outcome;
        const char* output;
    };
    const Case cases[] = {
        {ExchangeOutcome::NotResponding, "QUARCTL: Quarvel is not responding.\n\n"},
        {ExchangeOutcome::NoReply, "QUARCTL: No reply from Quarvel.\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        // A reply code left over must not be read after a failure.
        fakeLink.exchange = {c.outcome, REPLY_ACCEPTED};
        const ToolRun run = RunWith({"START"});
        EXPECT_EQ(run.output, c.output);
        EXPECT_EQ(run.status, 1);
    }
}

} // namespace
