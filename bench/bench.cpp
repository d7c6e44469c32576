// Measures quarctl.exe against the stand-in server: the round trip against
// a floor program, through quarctl-session, and how fast each kind of
// failure is told. Prints
// medians and ratios; it judges nothing and always exits 0.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "../session/launch.h"
#include "../session/service.h"
#include "../session/sessions.h"
#include "../tests/process.h"

namespace {

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double RunFloor() {
    return RunProgram(SiblingPath("floor.exe"), "floor", 30000).elapsedMs;
}

const char RUNNING[] = "Quavel is running.\r\n\r\n";

double RunQuarctl(const char* keyword, const std::string& expected) {
    const ProcessResult run = RunTool({keyword}, 30000);
    if (run.out != expected) printf("  unexpected output: %s", run.out.c_str());
    return run.elapsedMs;
}

// quarctl-session STATUS: quarctl run through the bridge, in this session.
double RunBridge() {
    const ProcessResult run = RunProgram(SiblingPath("quarctl-session.exe"), "quarctl-session STATUS", 30000);
    if (run.out != RUNNING) printf("  unexpected output: %s", run.out.c_str());
    return run.elapsedMs;
}

// A bridge whose job keeps it from the user's session: a copy of this
// program, on the token path inside a job that forbids breakaway, whose
// request the QuarctlSession service serves, its start included.
double RunViaService() {
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, MAX_PATH);
    const ProcessResult run = RunProgram(self, "quarctl_bench --routed", 30000);
    if (run.out != RUNNING) printf("  unexpected output: %s", run.out.c_str());
    return run.elapsedMs;
}

// Runs quarctl against a fresh stand-in each time, with the floor beside it.
struct FailureCase {
    const char* name;
    const char* standInOptions; // NULL: no stand-in at all
    const char* keyword;
    const char* expected;
    int runs;
    double targetOverFloorMs; // target over the floor's median, or
    double targetTotalMs;     // a target on the time itself
};

} // namespace

int main(int argc, char* argv[]) {
    if (argc > 1 && strcmp(argv[1], "--routed") == 0) {
        char tool[MAX_PATH];
        snprintf(tool, sizeof tool, "%s", ToolPath().c_str());
        const RunOptions options = {false, true, GetTickCount(), TOOL_BOUND_MS, NULL, NULL};
        return RunRouted(tool, "STATUS", OwnSession(), true, GetStdHandle(STD_OUTPUT_HANDLE), options);
    }
    const long pairs = argc > 1 ? strtol(argv[1], NULL, 10) : 40;
    printf("quarctl benchmark (%d-bit) under this machine's Windows or Wine; times in ms, medians\n\n",
           static_cast<int>(8 * sizeof(void*)));

    // Paired runs, interleaved, alternating which goes first, so that drift
    // in the machine's load falls on both alike.
    std::vector<double> floorTimes;
    std::vector<double> roundTrips;
    std::vector<double> ratios;
    std::vector<double> doctorTimes;
    std::vector<double> bridgeTimes;
    std::vector<double> bridgeRatios;
    std::vector<double> routedTimes;
    std::vector<double> routedRatios;
    {
        // For the routed runs, from the bridge beside this program.
        RegisteredService service(SiblingPath("quarctl-session.exe"));
        if (!service.ok()) printf("  the QuarctlSession service could not be registered: error %lu\n", GetLastError());
        // No request log: the stand-in answers as promptly as it can.
        StandIn server("--running", false);
        if (!server.ready()) {
            printf("the stand-in did not start\n");
            return 0;
        }
        // Warm-up, unmeasured: a Wine session that has just started goes on
        // starting its services for a while.
        for (int i = 0; i < 10; ++i) {
            RunFloor();
            RunQuarctl("STATUS", RUNNING);
        }
        for (long i = 0; i < pairs; ++i) {
            double floorMs = 0;
            double quarctlMs = 0;
            if (i % 2 == 0) {
                floorMs = RunFloor();
                quarctlMs = RunQuarctl("STATUS", RUNNING);
            } else {
                quarctlMs = RunQuarctl("STATUS", RUNNING);
                floorMs = RunFloor();
            }
            floorTimes.push_back(floorMs);
            roundTrips.push_back(quarctlMs);
            ratios.push_back(quarctlMs / floorMs);
            // The diagnostics program, looking without sending, after each pair.
            doctorTimes.push_back(RunProgram(SiblingPath("quarctl-doctor.exe"), "quarctl-doctor --no-send", 30000)
                                      .elapsedMs);
            // The bridge, paired with a run of its own of quarctl.
            const double bridgeMs = RunBridge();
            const double directMs = RunQuarctl("STATUS", RUNNING);
            bridgeTimes.push_back(bridgeMs);
            bridgeRatios.push_back(bridgeMs / directMs);
            // Through the service, paired the same way.
            const double routedMs = RunViaService();
            const double againMs = RunQuarctl("STATUS", RUNNING);
            routedTimes.push_back(routedMs);
            routedRatios.push_back(routedMs / againMs);
        }
    }
    const double floorMs = Median(floorTimes);
    printf("round trip, %ld interleaved pairs\n", pairs);
    printf("  floor (start, desktop, print, exit)  %8.1f\n", floorMs);
    printf("  quarctl STATUS, server running       %8.1f\n", Median(roundTrips));
    printf("  median ratio quarctl / floor         %8.3f   target <= 1.05\n", Median(ratios));
    printf("  quarctl-doctor --no-send             %8.1f   %.1f over the floor\n", Median(doctorTimes),
           Median(doctorTimes) - floorMs);
    printf("  quarctl-session STATUS               %8.1f\n", Median(bridgeTimes));
    printf("  median ratio quarctl-session / quarctl %6.3f   target <= 2.2 (one process start more)\n",
           Median(bridgeRatios));
    printf("  through the service, its start included %5.1f\n", Median(routedTimes));
    printf("  median ratio routed / quarctl        %8.3f   target <= 4 (the service's start and its pipe)\n\n",
           Median(routedRatios));

    const FailureCase failures[] = {
        {"no application", NULL, "STATUS", "QUARCTL: Quarvel is NOT running.\r\n\r\n", 15, 50, 0},
        {"window gone (mutex held, no window)", "--windows 0", "STATUS",
         "QUARCTL: Fatal Error: Unable to find Quarvel main window.\r\n\r\n", 15, 200, 0},
        {"dies while handling the request", "--die", "STOP", "QUARCTL: Quarvel is not responding.\r\n\r\n", 5, 0,
         5500},
        {"hung application", "--hang", "STOP", "QUARCTL: Quarvel is not responding.\r\n\r\n", 3, 0, 5500},
        {"silent application", "--silent", "STOP", "QUARCTL: No reply from Quarvel.\r\n\r\n", 3, 0, 5500},
    };
    printf("how fast each failure is told\n");
    printf("  %-38s %8s %8s %10s   %s\n", "case", "floor", "quarctl", "difference", "target");
    for (const FailureCase& failure : failures) {
        std::vector<double> times;
        std::vector<double> floors;
        for (int i = 0; i < failure.runs; ++i) {
            std::unique_ptr<StandIn> server;
            if (failure.standInOptions != NULL) server = std::make_unique<StandIn>(failure.standInOptions);
            // Alternating which goes first, as a stand-in that has just
            // started slows whatever runs right after it.
            if (i % 2 == 0) floors.push_back(RunFloor());
            times.push_back(RunQuarctl(failure.keyword, failure.expected));
            if (i % 2 != 0) floors.push_back(RunFloor());
        }
        const double median = Median(times);
        const double floorMedian = Median(floors);
        char target[64];
        if (failure.targetOverFloorMs > 0) {
            snprintf(target, sizeof target, "difference <= %.0f", failure.targetOverFloorMs);
        } else {
            snprintf(target, sizeof target, "quarctl <= %.0f", failure.targetTotalMs);
        }
        printf("  %-38s %8.1f %8.1f %10.1f   %s\n", failure.name, floorMedian, median, median - floorMedian, target);
    }
    printf("\nreproduce with: scripts/bench.sh\n");
    return 0;
}
