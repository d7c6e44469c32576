// quarctl-doctor: tells why quarctl can or cannot reach Quarvel, and what
// to do. It looks at each step quarctl takes and sends STATUS at most; it
// never changes the application's state.
#include <stdio.h>
#include <string.h>

#include "../session/bridge.h"
#include "facts.h"
#include "report.h"
#include "verdict.h"

namespace {

const int EXIT_REACHES = 0;
const int EXIT_DOES_NOT_REACH = 1;
const int EXIT_BAD_OPTION = 2;

} // namespace

int main(int argc, char* argv[]) {
    const bool send = argc < 2;
    if (argc > 2 || (argc == 2 && strcmp(argv[1], "--no-send") != 0)) {
        fputs("usage: quarctl-doctor [--no-send]\n", stdout);
        return EXIT_BAD_OPTION;
    }
    Facts facts;
    // quarctl.exe beside this program, as the bridge beside it finds it.
    char tool[MAX_PATH] = "";
    if (!ToolBesideUs(tool, sizeof tool)) tool[0] = '\0';
    facts.folder = GatherFolderFacts(tool);
    facts.way = GatherWayFacts(facts.folder);
    facts.process = GatherProcessFacts();
    facts.mutex = GatherMutexFacts();
    facts.sessions = GatherSessionFacts();
    facts.windows = GatherWindowFacts();
    // Only where quarctl would send: past its mutex and window checks.
    const WindowFacts* target = TakenWindow(facts.windows);
    if (send && facts.mutex.opened && target != NULL) facts.exchange = GatherExchangeFacts(*target);

    // With nothing sent, a found window counts as reached (status 0).
    const Verdict verdict = Diagnose(facts);
    WriteReport(stdout, facts, verdict, send);
    return verdict.toolStatus == 0 ? EXIT_REACHES : EXIT_DOES_NOT_REACH;
}
