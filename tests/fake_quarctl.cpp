// Stands in for quarctl.exe behind quarctl-session: shows the arguments it
// was given, byte for byte, and ends with a status of its own; or, with
// --sleep, never ends.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char* argv[]) {
    if (argc > 1 && strcmp(argv[1], "--sleep") == 0) Sleep(INFINITE);
    _setmode(_fileno(stdout), _O_BINARY);
    printf("argc=%d\n", argc);
    if (argc > 1) printf("[%s]\n", argv[1]);
    fflush(stdout);
    fputs("to stderr\n", stderr);
    return 7;
}
