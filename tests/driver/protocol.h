// What the harness's Windows-side programs share. Each prints an announce line first, before
// anything can fail, which tells "never started" from "failed", and its status last, since Wine's
// Linux side can still crash after the program has ended (its loader asserts while the process
// tears down); tests/wineproc.py reads both.
#pragma once
#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>
#include <vector>

static void Announce(const char *name) {
    printf("%s %lu\n", name, (unsigned long)GetCurrentProcessId());
    fflush(stdout);
}

[[noreturn]] static void Leave(int status) {
    printf("end %d\n", status);
    fflush(stdout);
    exit(status);
}

// A program's command line, read a word at a time: the object called gives the next one.
struct CommandLine {
    int count;
    wchar_t **words;
    void (*fail)(const char *what); // does not return
    int at;

    // The next word, not taken; NULL after the last.
    const wchar_t *Peek() const {
        return at + 1 < count ? words[at + 1] : NULL;
    }

    // The next word, taken; fails where there is none.
    const wchar_t *operator()() {
        if (at + 1 >= count)
            fail("missing argument");
        return words[++at];
    }
};

inline std::vector<PROCESSENTRY32W> Processes() {
    std::vector<PROCESSENTRY32W> list;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {sizeof entry};
    for (BOOL ok = Process32FirstW(snapshot, &entry); ok; ok = Process32NextW(snapshot, &entry))
        list.push_back(entry);
    CloseHandle(snapshot);
    return list;
}
