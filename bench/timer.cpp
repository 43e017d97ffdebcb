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
static std::vector<PROCESSENTRY32W> Baseline;

static double Now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart * 1000.0 / Frequency.QuadPart;
}

[[noreturn]] static void Fail(const char *what) {
    printf("error %s %lu\n", what, (unsigned long)GetLastError());
    Leave(2);
}

// Processes started since the baseline, other than this one and Wine's own services, which it
// starts on demand and keeps running.
static std::vector<PROCESSENTRY32W> Newcomers() {
    static const wchar_t *services[] = {L"explorer.exe", L"rpcss.exe",    L"services.exe",
                                        L"svchost.exe",  L"plugplay.exe", L"winedevice.exe"};
    std::vector<PROCESSENTRY32W> list;
    for (auto &p : Processes()) {
        bool old = p.th32ProcessID == GetCurrentProcessId();
        for (const wchar_t *s : services)
            old = old || !lstrcmpiW(p.szExeFile, s);
        for (auto &b : Baseline)
            old = old || b.th32ProcessID == p.th32ProcessID;
        if (!old)
            list.push_back(p);
    }
    return list;
}

// Polls until path is gone; returns the time then, or a negative number after 60 s.
static double WaitGone(const wchar_t *path) {
    double start = Now();
    while (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
        if (Now() - start > 60000)
            return -1;
        Sleep(1);
    }
    return Now();
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

// One run of ours (OK pressed in its dialog) or of the peer (silent); then its exit code, and
// the wait for what it started.
static void Run(bool ours, const wchar_t *exe, const wchar_t *dir) {
    Baseline = Processes();
    std::wstring cmd = L"\"" + std::wstring(exe) + (ours ? L"\"" : L"\" /S");
    STARTUPINFOW si = {sizeof si};
    PROCESS_INFORMATION pi;
    double t0 = Now();
    if (!CreateProcessW(exe, &cmd[0], NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL, &si, &pi))
        Fail("start");
    if (ours) {
        HWND dialog = NULL;
        while (!(dialog = FindDialog(pi.dwProcessId))) {
            if (WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0 || Now() - t0 > 30000)
                Fail("no dialog");
            Sleep(1);
        }
        printf("dialog_ms %.3f\n", Now() - t0);
        // Let the first paint finish, as a user would before pressing OK.
        WaitForInputIdle(pi.hProcess, 5000);
        Sleep(100);
        t0 = Now();
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    }
    if (WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0)
        Fail("still running");
    double exited = Now(), gone = WaitGone(dir);
    const char *from = ours ? "ok" : "start";
    printf("%s_exit_ms %.3f\n%s_gone_ms %.3f\n", from, exited - t0, from,
           gone < 0 ? -1 : gone - t0);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    printf("exit %lu\n", (unsigned long)code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    double start = Now();
    std::vector<PROCESSENTRY32W> left;
    while (!(left = Newcomers()).empty() && Now() - start < 60000)
        Sleep(20);
    printf("quiet_ms %.1f\n", Now() - start);
    for (auto &p : left) {
        char name[MAX_PATH * 3];
        WideCharToMultiByte(CP_UTF8, 0, p.szExeFile, -1, name, sizeof name, NULL, NULL);
        printf("running %s\n", name);
    }
}

int wmain(int argc, wchar_t **argv) {
    Announce("timer");
    QueryPerformanceFrequency(&Frequency);
    CommandLine arg = {argc, argv, Fail, 0};
    while (const wchar_t *word = arg.Command()) {
        std::wstring cmd = word;
        if (cmd != L"ours" && cmd != L"peer")
            Fail("unknown command");
        const wchar_t *exe = arg();
        Run(cmd == L"ours", exe, arg());
        fflush(stdout);
    }
    Leave(0);
}
