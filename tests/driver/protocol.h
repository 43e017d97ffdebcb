// What every Windows-side program of the harness prints first and last (tests/wineproc.py reads
// both): an announce line, before anything can fail, tells "never started" from "failed"; the
// last line carries the status, since Wine's Linux side can still crash after the program has
// ended (its loader asserts while the process tears down).
#pragma once
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

static void Announce(const char *name) {
    printf("%s %lu\n", name, (unsigned long)GetCurrentProcessId());
    fflush(stdout);
}

[[noreturn]] static void Leave(int status) {
    printf("end %d\n", status);
    fflush(stdout);
    exit(status);
}
