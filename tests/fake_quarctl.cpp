// Stands in for quarctl.exe behind quarctl-session: shows the arguments it
// was given, byte for byte, and ends with status 1; with --sleep it never
// ends, with sleep:MS it ends after MS milliseconds, with --flood it writes
// without end, as a hostile writer to its output would, with --job... it
// says whether it runs in a job, and with exit:HEX it ends with that status.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char* argv[]) {
    if (argc > 1 && strcmp(argv[1], "--sleep") == 0) Sleep(INFINITE);
    if (argc > 1 && strncmp(argv[1], "exit:", 5) == 0) return static_cast<int>(strtoul(argv[1] + 5, NULL, 16));
    if (argc > 1 && strncmp(argv[1], "sleep:", 6) == 0) Sleep(strtoul(argv[1] + 6, NULL, 10));
    if (argc > 1 && strcmp(argv[1], "--flood") == 0) {
        static char block[4096];
        memset(block, 'x', sizeof block);
        DWORD written = 0;
        while (WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), block, sizeof block, &written, NULL)) {
        }
        return 1;
    }
    _setmode(_fileno(stdout), _O_BINARY);
    printf("argc=%d\n", argc);
    if (argc > 1) printf("[%s]\n", argv[1]);
    BOOL inJob = FALSE;
    if (argc > 1 && strncmp(argv[1], "--job", 5) == 0 && IsProcessInJob(GetCurrentProcess(), NULL, &inJob)) {
        printf("in a job: %s\n", inJob ? "yes" : "no");
    }
    fflush(stdout);
    fputs("to stderr\n", stderr);
    return 1;
}
