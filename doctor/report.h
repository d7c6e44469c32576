// quarctl-doctor's report: the facts of each step, then the verdict, as
// plain text.
#ifndef QUARCTL_DOCTOR_REPORT_H
#define QUARCTL_DOCTOR_REPORT_H

#include <stdio.h>

#include "facts.h"
#include "verdict.h"

// Writes the whole report; sent tells whether the exchange was tried.
void WriteReport(FILE* out, const Facts& facts, const Verdict& verdict, bool sent);

#endif
