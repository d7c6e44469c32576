// The benchmark's floor: a program that loads the same system DLLs as
// quarctl.exe, prints one line and exits, so that what quarctl costs beyond
// starting a process can be told apart.
#include <windows.h>

#include <stdio.h>

int main() {
    printf("floor\n");
    // Calls into USER32 so that it is loaded and set up as for quarctl.
    return IsWindow(NULL) ? 1 : 0;
}
