// QUARCTL: controls a running Quarvel for Windows from the command line.
#include <stdio.h>

#include "frontend.h"

int main(int argc, char* argv[]) {
    return RunTool(argc, argv, stdout);
}
