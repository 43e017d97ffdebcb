// Times one uninstaller run from inside the Wine sandbox with QueryPerformanceCounter, so that
// Wine's own start-up is not counted; prints the results one per line as "name value".
//   timer ours EXE DIR   starts EXE, waits for its dialog, presses OK; reports the times from
//                        start to dialog, from OK to exit and from OK to DIR being gone
//   timer peer EXE DIR   starts "EXE /S"; reports the times from start to exit and from start
//                        to DIR being gone
// Then it waits until every process started since (cmd.exe, temporary copies) has ended (Wine's
// services aside), and names those still running after 60 s.
#include "../tests/driver/protocol.h"
#include <string>

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

// Processes started since the baseline (which holds this one), other than Wine's own services,
// which it starts on demand and keeps running.
static std::vector<PROCESSENTRY32W> Newcomers() {
    static const wchar_t *services[] = {L"explorer.exe", L"rpcss.exe",    L"services.exe",
                                        L"svchost.exe",  L"plugplay.exe", L"winedevice.exe"};
    std::vector<PROCESSENTRY32W> list;
    for (auto &p : Processes()) {
        bool old = false;
        for (const wchar_t *s : services)
            old = old || !lstrcmpiW(p.szExeFile, s);
        for (auto &b : Baseline)
            old = old || b.th32ProcessID == p.th32ProcessID;
        if (!old)
            list.push_back(p);
    }
    return list;
}

// Polls done() every pause ms until it holds, for at most limit ms; returns whether it held.
template <class Done> static bool Until(Done done, double limit, DWORD pause) {
    for (double start = Now(); !done(); Sleep(pause))
        if (Now() - start > limit)
            return false;
    return true;
}

int wmain(int argc, wchar_t **argv) {
    Announce("timer");
    QueryPerformanceFrequency(&Frequency);
    CommandLine arg = {argc, argv, Fail, 0};
    const wchar_t *who = arg(), *exe = arg(), *dir = arg();
    bool ours = !lstrcmpW(who, L"ours");
    if ((!ours && lstrcmpW(who, L"peer")) || arg.Peek())
        Fail("usage");
    Baseline = Processes();
    std::wstring cmd = L"\"" + std::wstring(exe) + (ours ? L"\"" : L"\" /S");
    STARTUPINFOW si = {sizeof si};
    PROCESS_INFORMATION pi;
    double t0 = Now();
    if (!CreateProcessW(exe, &cmd[0], NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL, &si, &pi))
        Fail("start");
    if (ours) {
        // Its dialog once it is visible, or its exit.
        HWND dialog = NULL;
        auto shown = [&] {
            for (HWND w = NULL;
                 !dialog && (w = FindWindowExW(NULL, w, NULL, L"Uninstall Tivaldor"));) {
                DWORD owner = 0;
                GetWindowThreadProcessId(w, &owner);
                dialog = owner == pi.dwProcessId && IsWindowVisible(w) ? w : NULL;
            }
            return dialog || WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0;
        };
        if (!Until(shown, 30000, 1) || !dialog)
            Fail("no dialog");
        printf("dialog_ms %.3f\n", Now() - t0);
        // Let the first paint finish, as a user would before pressing OK.
        WaitForInputIdle(pi.hProcess, 5000);
        Sleep(100);
        t0 = Now();
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    }
    if (WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0)
        Fail("still running");
    double exited = Now();
    bool gone = Until([&] { return GetFileAttributesW(dir) == INVALID_FILE_ATTRIBUTES; }, 60000, 1);
    const char *from = ours ? "ok" : "start";
    printf("%s_exit_ms %.3f\n%s_gone_ms %.3f\n", from, exited - t0, from, gone ? Now() - t0 : -1);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    printf("exit %lu\n", (unsigned long)code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    std::vector<PROCESSENTRY32W> left;
    Until([&] { return (left = Newcomers()).empty(); }, 60000, 20);
    for (auto &p : left) {
        char name[MAX_PATH * 3];
        WideCharToMultiByte(CP_UTF8, 0, p.szExeFile, -1, name, sizeof name, NULL, NULL);
        printf("running %s\n", name);
    }
    Leave(0);
}
