// The benchmark's floor: a program that loads the same system DLLs as
// quarctl.exe, attaches to the desktop as any program that walks the
// top-level windows must, prints one line and exits, so that what quarctl
// costs beyond that can be told apart.
#include <windows.h>

#include <stdio.h>

int main() {
    printf("floor\n");
    // Under Wine the first GetDesktopWindow of a process sets up its
    // desktop, a cost that Windows has paid before any program starts.
    return GetDesktopWindow() == NULL ? 1 : 0;
}
