// Child processes for the end-to-end tests: the tool run to its end with
// its output captured, and the stand-in server kept running meanwhile.
#ifndef QUARCTL_TEST_PROCESS_H
#define QUARCTL_TEST_PROCESS_H

#include <windows.h>

#include <string>
#include <vector>

// Path of a program that lies beside the running test program.
std::string SiblingPath(const char* fileName);

// One of the programs under test: in the folder QUARCTL_TEST_PROGRAMS names,
// as for the other architecture's programs, else beside the test program.
std::string ProgramBeside(const char* fileName);

// The quarctl.exe under test: the one named by QUARCTL_TEST_TOOL, else
// ProgramBeside's.
std::string ToolPath();

// The standin.exe the tests start: the one named by QUARCTL_TEST_STANDIN, as
// for the other architecture's, else the one beside the test program.
std::string StandInPath();

// True in the x86 lane, where each start of a 32-bit program is emulated
// and costs tens of seconds (QUARCTL_TEST_EMULATED).
bool Emulated();

// text as a console program in text mode writes it: each LF as CR LF.
std::string Crlf(const std::string& text);

// One argument quoted so that the C runtime splits it back unchanged.
std::string QuoteArgument(const std::string& argument);

struct ProcessResult {
    std::string out;  // standard output, bytes as written
    std::string err;  // standard error
    DWORD status = 0; // exit status
    bool timedOut = false;
    double elapsedMs = 0; // from the start to the end of the process
};

// Runs program with a raw command line and waits at most timeoutMs, in a
// job that has jobLimits (0 or a JOB_OBJECT_LIMIT_*BREAKAWAY_OK) besides
// ending its processes with the test program.
ProcessResult RunProgram(const std::string& program, const std::string& commandLine, DWORD timeoutMs,
                         DWORD jobLimits = 0);

// Runs quarctl.exe with the given arguments, each quoted.
ProcessResult RunTool(const std::vector<std::string>& arguments, DWORD timeoutMs = 30000);

// Runs quarctl-doctor.exe, as ProgramBeside finds it, with the given arguments.
ProcessResult RunDoctor(const std::vector<std::string>& arguments, DWORD timeoutMs = 30000);

// Runs program, named argv0 on its command line, with the arguments each quoted.
ProcessResult RunWithArguments(const std::string& program, const std::string& argv0,
                               const std::vector<std::string>& arguments, DWORD timeoutMs = 30000,
                               DWORD jobLimits = 0);

// Runs quarctl.exe once for each keyword, all at the same time.
std::vector<ProcessResult> RunToolsAtOnce(const std::vector<std::string>& keywords);

// A running stand-in server, ended when the object goes.
class StandIn {
public:
    // Starts the stand-in with the given options and waits until it is
    // ready; without logRequests it writes no log, as for a benchmark.
    explicit StandIn(const std::string& options, bool logRequests = true);
    ~StandIn();
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    bool ready() const { return ready_; }
    // Waits for the stand-in to end by itself; its exit status, or -1.
    long WaitForExit(DWORD timeoutMs) const;
    // The lines the stand-in logged, one per request.
    std::vector<std::string> Log() const;

private:
    PROCESS_INFORMATION process_ = {};
    std::string logPath_;
    bool ready_ = false;
};

// The QuarctlSession service in the prefix, run from bridge, as the MSI
// registers it; deleted with the object, once its process has ended: it
// stops by itself once it has answered, within a few seconds.
class RegisteredService {
public:
    explicit RegisteredService(const std::string& bridge);
    ~RegisteredService();
    RegisteredService(const RegisteredService&) = delete;
    RegisteredService& operator=(const RegisteredService&) = delete;
    bool ok() const { return service_ != NULL; }
    SC_HANDLE handle() const { return service_; }

private:
    SC_HANDLE manager_;
    SC_HANDLE service_ = NULL;
};

// How many quarctl.exe, quarctl-doctor.exe, quarctl-session.exe and
// standin.exe processes are running now.
int CountToolProcesses();

#endif
