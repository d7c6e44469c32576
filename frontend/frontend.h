// The command front end: reads the keyword, drives the server link and
// turns its answer into one sentence and an exit status.
#ifndef QUARCTL_FRONTEND_H
#define QUARCTL_FRONTEND_H

// <stdio.h>, not <cstdio>: with mingw, libstdc++'s headers swap msvcrt's
// printf for a bulky replacement.
#include <stdio.h>

// The failure sentences, each printed with an empty line after it.
extern const char MSG_NOT_RUNNING[];
extern const char MSG_NO_WINDOW[];
extern const char MSG_NOT_RESPONDING[];
extern const char MSG_NO_REPLY[];

// What the tool prints when the server answers keyword's request with
// replyCode, empty line included; NULL when it prints nothing.
const char* OutcomeText(const char* keyword, unsigned int replyCode);

// Runs the tool for one command line, writing all text to out; returns the
// exit status, 0 when the server was reached or usage was shown, else 1.
int RunTool(int argc, char* argv[], FILE* out);

#endif
