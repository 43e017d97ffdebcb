// Times uninstaller runs from inside the Wine sandbox with QueryPerformanceCounter, so that
// Wine's own start-up is not counted. Commands come as arguments, one after another; results are
// printed one per line as "name value".
//   ours EXE DIR            starts EXE, waits for its dialog, presses OK; reports the times from
//                           start to dialog, from OK to exit and from OK to DIR being gone
//   peer EXE DIR            starts "EXE /S"; reports the times from start to exit and from
//                           start to DIR being gone
// After each run it waits until every process started since (cmd.exe, temporary copies) has
// ended (Wine's services aside), and names those still running after 60 s.
#include "../tests/driver/protocol.h"
#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>

static LARGE_INTEGER Frequency;
static std::vector<DWORD> Baseline;

static double Now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart * 1000.0 / Frequency.QuadPart;
}

[[noreturn]] static void Fail(const char *what) {
    printf("error %s %lu\n", what, (unsigned long)GetLastError());
    Leave(2);
}

static void TakeBaseline() {
    Baseline.clear();
    for (auto &p : Processes())
        Baseline.push_back(p.th32ProcessID);
}

// Wine's own services, which it starts on demand and keeps running.
static bool IsService(const wchar_t *name) {
    static const wchar_t *services[] = {L"explorer.exe", L"rpcss.exe",    L"services.exe",
                                        L"svchost.exe",  L"plugplay.exe", L"winedevice.exe"};
    for (const wchar_t *s : services)
        if (!lstrcmpiW(name, s))
            return true;
    return false;
}

// Processes started since the baseline, other than this one and Wine's services.
static std::vector<PROCESSENTRY32W> Newcomers() {
    std::vector<PROCESSENTRY32W> list;
    for (auto &p : Processes()) {
        bool old = p.th32ProcessID == GetCurrentProcessId() || IsService(p.szExeFile);
        for (DWORD b : Baseline)
            old = old || b == p.th32ProcessID;
        if (!old)
            list.push_back(p);
    }
    return list;
}

static void WaitQuiet() {
    double start = Now();
    std::vector<PROCESSENTRY32W> left;
    while (Now() - start < 60000) {
        left = Newcomers();
        if (left.empty())
            break;
        Sleep(20);
    }
    printf("quiet_ms %.1f\n", Now() - start);
    for (auto &p : left) {
        char name[MAX_PATH * 3];
        WideCharToMultiByte(CP_UTF8, 0, p.szExeFile, -1, name, sizeof name, NULL, NULL);
        printf("running %s\n", name);
    }
}

static bool Exists(const wchar_t *path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// Polls until path is gone; returns the time then, or a negative number after 60 s.
static double WaitGone(const wchar_t *path) {
    double start = Now();
    while (Exists(path)) {
        if (Now() - start > 60000)
            return -1;
        Sleep(1);
    }
    return Now();
}

static PROCESS_INFORMATION Start(const wchar_t *exe, const wchar_t *args) {
    std::wstring cmd = L"\"" + std::wstring(exe) + L"\"" + args;
    STARTUPINFOW si = {sizeof si};
    PROCESS_INFORMATION pi;
    if (!CreateProcessW(exe, &cmd[0], NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL, &si, &pi))
        Fail("start");
    return pi;
}

// The uninstaller's dialog once it is visible, or NULL.
static HWND FindDialog(DWORD pid) {
    for (HWND w = NULL; (w = FindWindowExW(NULL, w, NULL, L"Uninstall Tivaldor"));) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (owner == pid && IsWindowVisible(w))
            return w;
    }
    return NULL;
}

// Reports the exit code of a finished run, lets go of it and waits for what it started.
static void EndRun(PROCESS_INFORMATION &pi) {
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    printf("exit %lu\n", (unsigned long)code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    WaitQuiet();
}

static void Ours(const wchar_t *exe, const wchar_t *dir) {
    TakeBaseline();
    double t0 = Now();
    PROCESS_INFORMATION pi = Start(exe, L"");
    HWND dialog = NULL;
    while (!(dialog = FindDialog(pi.dwProcessId))) {
        if (WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0 || Now() - t0 > 30000)
            Fail("no dialog");
        Sleep(1);
    }
    double t1 = Now();
    // Let the first paint finish, as a user would before pressing OK.
    WaitForInputIdle(pi.hProcess, 5000);
    Sleep(100);
    double t2 = Now();
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    if (WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0)
        Fail("still running");
    double t3 = Now();
    double t4 = WaitGone(dir);
    printf("dialog_ms %.3f\n", t1 - t0);
    printf("ok_exit_ms %.3f\n", t3 - t2);
    printf("ok_gone_ms %.3f\n", t4 < 0 ? -1.0 : t4 - t2);
    EndRun(pi);
}

static void Peer(const wchar_t *exe, const wchar_t *dir) {
    TakeBaseline();
    double t0 = Now();
    PROCESS_INFORMATION pi = Start(exe, L" /S");
    if (WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0)
        Fail("still running");
    double t1 = Now();
    double t2 = WaitGone(dir);
    printf("start_exit_ms %.3f\n", t1 - t0);
    printf("start_gone_ms %.3f\n", t2 < 0 ? -1.0 : t2 - t0);
    EndRun(pi);
}

int wmain(int argc, wchar_t **argv) {
    Announce("timer");
    QueryPerformanceFrequency(&Frequency);
    CommandLine arg = {argc, argv, Fail, 0};
    while (const wchar_t *word = arg.Command()) {
        std::wstring cmd = word;
        if (cmd == L"ours") {
            const wchar_t *exe = arg();
            Ours(exe, arg());
        } else if (cmd == L"peer") {
            const wchar_t *exe = arg();
            Peer(exe, arg());
        } else
            Fail("unknown command");
        fflush(stdout);
    }
    Leave(0);
}
