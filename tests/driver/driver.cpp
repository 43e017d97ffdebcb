// Drives the uninstaller from inside the Wine sandbox: starts it, reads its dialog, presses its
// buttons, answers its message boxes, and sets up what the tests need (keys, links, attributes).
// Commands come as arguments, one after another; results are printed one per line.
#include "protocol.h"
#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

static const wchar_t UninstallKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tivaldor";
static const wchar_t AppPathsKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Tivaldor.exe";

static PROCESS_INFORMATION Child;
static HWND Dialog;
// Uninstallers started before the current one and not finished yet, with their dialogs.
static std::vector<std::pair<PROCESS_INFORMATION, HWND>> Earlier;
static HANDLE Held = INVALID_HANDLE_VALUE;
static std::vector<HWND> SeenBoxes;
// Multiplies the built-in waits; raised where Wine itself runs under emulation.
static int Patience = 1;

static void Print(const char *tag, const std::wstring &text) {
    char buffer[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, buffer, sizeof buffer, NULL, NULL);
    printf("%s %s\n", tag, n > 0 ? buffer : "");
    fflush(stdout);
}

[[noreturn]] static void Fail(const char *what) {
    printf("error %s\n", what);
    fflush(stdout);
    if (Child.hProcess)
        TerminateProcess(Child.hProcess, 99);
    Leave(2);
}

static std::wstring Text(HWND hwnd) {
    wchar_t buffer[1024] = L"";
    GetWindowTextW(hwnd, buffer, 1024);
    return buffer;
}

static std::wstring ClassOf(HWND hwnd) {
    wchar_t buffer[256] = L"";
    GetClassNameW(hwnd, buffer, 256);
    return buffer;
}

static DWORD ProcessOf(HWND hwnd) {
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    return pid;
}

static BOOL CALLBACK CollectWindow(HWND hwnd, LPARAM list) {
    if (ProcessOf(hwnd) == Child.dwProcessId && IsWindowVisible(hwnd))
        ((std::vector<HWND> *)list)->push_back(hwnd);
    return TRUE;
}

// The visible top-level windows of the uninstaller.
static std::vector<HWND> TopWindows() {
    std::vector<HWND> list;
    EnumWindows(CollectWindow, (LPARAM)&list);
    return list;
}

static std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> list;
    for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        list.push_back(c);
    return list;
}

// Whether the uninstaller has exited; one that "finish" has reported has.
static bool Exited(DWORD wait) {
    return !Child.hProcess || WaitForSingleObject(Child.hProcess, wait) == WAIT_OBJECT_0;
}

// The path of probe.dll, beside the driver.
static std::wstring ProbePath() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(NULL, path, MAX_PATH);
    lstrcpyW(wcsrchr(path, L'\\') + 1, L"probe.dll");
    return path;
}

static void Start(const wchar_t *exe, DWORD flags = 0) {
    if (Child.hProcess)
        Earlier.push_back({Child, Dialog});
    Dialog = NULL;
    std::wstring cmd = L"\"" + std::wstring(exe) + L"\"";
    STARTUPINFOW si = {sizeof si};
    if (!CreateProcessW(exe, &cmd[0], NULL, NULL, FALSE, DETACHED_PROCESS | flags, NULL, NULL, &si,
                        &Child)) {
        printf("lasterror %lu\n", (unsigned long)GetLastError());
        Fail("start");
    }
}

// Starts the uninstaller with the probe loaded before any code of its own runs, which the
// message hook cannot do: as its debugger, with a breakpoint over the first byte of its entry
// point. Once its own thread stops there, its imports are bound and the loader has let go of its
// lock (which it still holds at its own first breakpoint, where a thread loading a DLL waits for
// it forever); that thread is held, the byte put back, and a thread of ours loads the probe
// (PROBE_EARLY, in the uninstaller's environment alone, has the probe hook the imports at once).
// Then the debugger lets go and the uninstaller runs on from its entry point.
static void StartProbed(const wchar_t *exe) {
    SetEnvironmentVariableW(L"PROBE_EARLY", L"1");
    Start(exe, DEBUG_ONLY_THIS_PROCESS);
    SetEnvironmentVariableW(L"PROBE_EARLY", NULL);
    std::wstring path = ProbePath();
    SIZE_T bytes = (path.size() + 1) * sizeof path[0], done;
    // The system DLLs lie at the same address in every process of a prefix; checked all the same.
    FARPROC load = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW");
    BYTE mine[64], theirs[64], first = 0, breakpoint = 0xCC;
    memcpy(mine, (void *)load, sizeof mine);
    BYTE *entry = NULL;
    HANDLE loader = NULL;
    DWORD loaderId = 0, old;
    for (bool loaded = false; !loaded;) {
        DEBUG_EVENT event;
        if (!WaitForDebugEvent(&event, 60000 * Patience))
            Fail("probed start: no debug event");
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT: {
            CloseHandle(event.u.CreateProcessInfo.hFile);
            BYTE *base = (BYTE *)event.u.CreateProcessInfo.lpBaseOfImage;
            IMAGE_DOS_HEADER dos;
            IMAGE_NT_HEADERS nt;
            if (!ReadProcessMemory(Child.hProcess, base, &dos, sizeof dos, &done) ||
                !ReadProcessMemory(Child.hProcess, base + dos.e_lfanew, &nt, sizeof nt, &done))
                Fail("probed start: headers");
            entry = base + nt.OptionalHeader.AddressOfEntryPoint;
            if (!VirtualProtectEx(Child.hProcess, entry, 1, PAGE_EXECUTE_READWRITE, &old) ||
                !ReadProcessMemory(Child.hProcess, entry, &first, 1, &done) ||
                !WriteProcessMemory(Child.hProcess, entry, &breakpoint, 1, &done))
                Fail("probed start: breakpoint");
            VirtualProtectEx(Child.hProcess, entry, 1, old, &old);
            FlushInstructionCache(Child.hProcess, entry, 1);
            break;
        }
        case LOAD_DLL_DEBUG_EVENT:
            CloseHandle(event.u.LoadDll.hFile);
            break;
        case EXCEPTION_DEBUG_EVENT: {
            EXCEPTION_RECORD &record = event.u.Exception.ExceptionRecord;
            if (record.ExceptionCode != EXCEPTION_BREAKPOINT) {
                status = DBG_EXCEPTION_NOT_HANDLED;
                break;
            }
            // Wine names the breakpoint's own address; 32-bit Wine under QEMU's emulator the
            // address after it.
            if ((record.ExceptionAddress != entry && record.ExceptionAddress != entry + 1) ||
                loader)
                break; // the loader's own breakpoint
            // At the entry point: the byte back, the instruction pointer back onto it.
            CONTEXT context;
            context.ContextFlags = CONTEXT_CONTROL;
            if (!VirtualProtectEx(Child.hProcess, entry, 1, PAGE_EXECUTE_READWRITE, &old) ||
                !WriteProcessMemory(Child.hProcess, entry, &first, 1, &done) ||
                !VirtualProtectEx(Child.hProcess, entry, 1, old, &old) ||
                !FlushInstructionCache(Child.hProcess, entry, 1) ||
                !GetThreadContext(Child.hThread, &context))
                Fail("probed start: entry point");
#ifdef _WIN64
            context.Rip = (DWORD64)entry;
#else
            context.Eip = (DWORD)entry;
#endif
            if (!SetThreadContext(Child.hThread, &context) ||
                SuspendThread(Child.hThread) == (DWORD)-1)
                Fail("probed start: entry point");
            void *remote = VirtualAllocEx(Child.hProcess, NULL, bytes, MEM_COMMIT | MEM_RESERVE,
                                          PAGE_READWRITE);
            if (!remote ||
                !WriteProcessMemory(Child.hProcess, remote, path.c_str(), bytes, &done) ||
                !ReadProcessMemory(Child.hProcess, (void *)load, theirs, sizeof theirs, &done) ||
                memcmp(mine, theirs, sizeof mine))
                Fail("probed start: no LoadLibraryW at ours");
            loader = CreateRemoteThread(Child.hProcess, NULL, 0,
                                        (LPTHREAD_START_ROUTINE)(void *)load, remote, 0, &loaderId);
            if (!loader)
                Fail("probed start: remote thread");
            break;
        }
        case EXIT_THREAD_DEBUG_EVENT:
            loaded = loader && event.dwThreadId == loaderId;
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            Fail("probed start: the uninstaller ended");
        }
        if (!ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status))
            Fail("probed start: continue");
    }
    DWORD module = 0;
    GetExitCodeThread(loader, &module);
    CloseHandle(loader);
    DebugSetProcessKillOnExit(FALSE);
    if (!DebugActiveProcessStop(Child.dwProcessId))
        Fail("probed start: detach");
    ResumeThread(Child.hThread);
    if (!module)
        Fail("probed start: probe.dll not loaded");
}

static void WaitDialog() {
    for (int i = 0; i < 600 * Patience; i++) {
        for (HWND hwnd : TopWindows()) {
            if (Text(hwnd) == L"Uninstall Tivaldor") {
                Dialog = hwnd;
                Sleep(200); // let WM_INITDIALOG and the first paint finish
                Print("dialog", L"");
                return;
            }
        }
        if (Exited(50))
            break;
    }
    Fail("no dialog");
}

// Wine 8 leaves the caption of a program's first window drawn inactive although that window is
// the foreground one (under the virtual desktop, however the program was started): the window
// was already active in its thread when it became the foreground window, so it is not told
// again. Handing the foreground to the desktop and back draws it as Windows shows it.
static void Activate() {
    SetForegroundWindow(GetDesktopWindow());
    Sleep(200);
    SetForegroundWindow(Dialog);
    Sleep(200);
    printf("active %d\n", GetForegroundWindow() == Dialog);
}

// Asks the probe library, hooked into the thread of window, for what it leaves in property.
static UINT_PTR RunProbe(HWND window = Dialog, const wchar_t *property = L"ProbeResult") {
    HMODULE probe = LoadLibraryW(ProbePath().c_str());
    HOOKPROC proc = probe ? (HOOKPROC)GetProcAddress(probe, "ProbeHook") : NULL;
    DWORD thread = GetWindowThreadProcessId(window, NULL);
    HHOOK hook = proc ? SetWindowsHookExW(WH_GETMESSAGE, proc, probe, thread) : NULL;
    if (!hook)
        Fail("probe hook");
    UINT_PTR result = 0;
    for (int i = 0; i < 100 * Patience && !result; i++) {
        PostMessageW(window, WM_NULL, 0, 0);
        Sleep(50);
        result = (UINT_PTR)GetPropW(window, property);
    }
    UnhookWindowsHookEx(hook);
    return result;
}

static void Describe() {
    Print("title", Text(Dialog));
    wchar_t line[1400];
    for (HWND c : Children(Dialog)) {
        swprintf(line, 1400, L"%ls %d %08lx %ls", ClassOf(c).c_str(), GetDlgCtrlID(c),
                 (unsigned long)GetWindowLongW(c, GWL_STYLE), Text(c).c_str());
        Print("child", line);
    }
    swprintf(line, 1400, L"%08lx", (unsigned long)GetWindowLongW(Dialog, GWL_STYLE));
    Print("style", line);
    GUITHREADINFO gui = {sizeof gui};
    GetGUIThreadInfo(GetWindowThreadProcessId(Dialog, NULL), &gui);
    swprintf(line, 1400, L"%d", gui.hwndFocus ? GetDlgCtrlID(gui.hwndFocus) : 0);
    Print("focus", line);
    swprintf(line, 1400, L"%lu", (unsigned long)RunProbe());
    Print("probe", line);
}

static void PressKey(UINT vk) {
    GUITHREADINFO gui = {sizeof gui};
    GetGUIThreadInfo(GetWindowThreadProcessId(Dialog, NULL), &gui);
    HWND target = gui.hwndFocus ? gui.hwndFocus : Dialog;
    PostMessageW(target, WM_KEYDOWN, vk, 1);
    PostMessageW(target, WM_KEYUP, vk, 0xC0000001);
}

// Reports and dismisses every message box until the uninstaller exits.
static void Finish(int seconds) {
    if (!Child.hProcess)
        return; // none started since the last "finish"
    for (int i = 0; i < seconds * 20; i++) {
        for (HWND hwnd : TopWindows()) {
            if (hwnd == Dialog || ClassOf(hwnd) != L"#32770")
                continue;
            bool seen = false;
            for (HWND s : SeenBoxes)
                seen = seen || s == hwnd;
            if (seen)
                continue;
            SeenBoxes.push_back(hwnd);
            std::wstring text, buttons;
            for (HWND c : Children(hwnd)) {
                if (ClassOf(c) == L"Static" && !Text(c).empty())
                    text = Text(c);
                if (ClassOf(c) == L"Button" && IsWindowVisible(c))
                    buttons += (buttons.empty() ? L"" : L"+") + Text(c);
            }
            // Then the icon, which only the box's own process can name, and the buttons.
            static const wchar_t *icons[] = {L"?",           L"none",     L"warning", L"error",
                                             L"information", L"question", L"other"};
            UINT_PTR icon = RunProbe(hwnd, L"ProbeBox");
            Print("box",
                  Text(hwnd) + L"\t" + text + L"\t" + icons[icon < 7 ? icon : 0] + L"\t" + buttons);
            PostMessageW(hwnd, WM_COMMAND, IDOK, 0);
        }
        if (Exited(50)) {
            DWORD code = 0;
            GetExitCodeProcess(Child.hProcess, &code);
            printf("exit %lu\n", (unsigned long)code);
            fflush(stdout);
            // Reported once: an uninstaller started later does not make it one to finish again.
            CloseHandle(Child.hProcess);
            CloseHandle(Child.hThread);
            Child = {};
            return;
        }
    }
    Fail("still running");
}

static void MakeLink(const wchar_t *link, const wchar_t *target) {
    IShellLinkW *shellLink;
    IPersistFile *file;
    if (CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                         (void **)&shellLink) != S_OK)
        Fail("shell link");
    shellLink->SetPath(target);
    if (shellLink->QueryInterface(IID_IPersistFile, (void **)&file) != S_OK ||
        file->Save(link, TRUE) != S_OK)
        Fail("save link");
    file->Release();
    shellLink->Release();
}

// Points the user's desktop folder at path, in both of the shell's settings for it.
static void SetDesktop(const wchar_t *path) {
    static const wchar_t *keys[] = {
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders"};
    for (int i = 0; i < 2; i++) {
        HKEY key;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, keys[i], 0, NULL, 0, KEY_SET_VALUE, NULL, &key,
                            NULL) != ERROR_SUCCESS)
            Fail("set-desktop");
        RegSetValueExW(key, L"Desktop", 0, i ? REG_SZ : REG_EXPAND_SZ, (const BYTE *)path,
                       (lstrlenW(path) + 1) * sizeof *path);
        RegCloseKey(key);
    }
}

// The desktop folder as the uninstaller finds it.
static void PrintDesktop() {
    LPITEMIDLIST list;
    wchar_t path[MAX_PATH] = L"";
    if (SHGetSpecialFolderLocation(NULL, CSIDL_DESKTOPDIRECTORY, &list) == S_OK) {
        SHGetPathFromIDListW(list, path);
        CoTaskMemFree(list);
    }
    Print("desktop", path);
}

static void Attrib(const wchar_t *path, const wchar_t *flags) {
    DWORD a = GetFileAttributesW(path);
    if (a == INVALID_FILE_ATTRIBUTES)
        Fail("attrib");
    for (const wchar_t *f = flags; *f; f++)
        a |= *f == 'r'   ? FILE_ATTRIBUTE_READONLY
             : *f == 'h' ? FILE_ATTRIBUTE_HIDDEN
             : *f == 's' ? FILE_ATTRIBUTE_SYSTEM
                         : 0;
    if (!SetFileAttributesW(path, a & ~FILE_ATTRIBUTE_NORMAL))
        Fail("attrib");
}

static void RegAdd() {
    for (const wchar_t *name : {UninstallKey, AppPathsKey}) {
        HKEY key;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, name, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key,
                            NULL) != ERROR_SUCCESS)
            Fail("regadd");
        RegSetValueExW(key, L"DisplayName", 0, REG_SZ, (const BYTE *)L"Tivaldor", 18);
        RegCloseKey(key);
    }
}

static void RegCheck() {
    for (const wchar_t *name : {UninstallKey, AppPathsKey}) {
        HKEY key;
        bool present = RegOpenKeyExW(HKEY_LOCAL_MACHINE, name, 0, KEY_READ, &key) == 0;
        if (present)
            RegCloseKey(key);
        Print(present ? "key 1" : "key 0", name);
    }
}

// The uninstallers and batch scripts (cmd.exe) still running in the sandbox.
static std::vector<DWORD> Leftovers() {
    std::vector<DWORD> list;
    for (const PROCESSENTRY32W &entry : Processes())
        if ((!lstrcmpiW(entry.szExeFile, L"kestrune.exe") ||
             !lstrcmpiW(entry.szExeFile, L"cmd.exe")) &&
            entry.th32ProcessID != GetCurrentProcessId())
            list.push_back(entry.th32ProcessID);
    return list;
}

// Waits until no uninstaller or script runs any more; prints whether that happened in time.
static void WaitIdle(int seconds) {
    bool idle = false;
    for (int i = 0; i < seconds * 10 && !idle; i++) {
        idle = Leftovers().empty();
        if (!idle)
            Sleep(100);
    }
    printf("idle %d\n", idle);
}

// Ends leftovers of an earlier test and deletes the product's keys. An uninstaller ended while
// it starts its script leaves a script that the first look did not see: look until none is left.
static void Cleanup() {
    std::vector<DWORD> left = Leftovers();
    for (int round = 0; !left.empty(); round++, left = Leftovers()) {
        if (round == 20 * Patience)
            Fail("cleanup: uninstaller or script still running");
        for (DWORD pid : left) {
            HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
            if (process) {
                printf("ended %lu\n", (unsigned long)pid);
                TerminateProcess(process, 1);
                WaitForSingleObject(process, 5000);
                CloseHandle(process);
            }
        }
        Sleep(20);
    }
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, UninstallKey);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, AppPathsKey);
}

static unsigned long Number(const wchar_t *text) {
    return wcstoul(text, NULL, 0);
}

// The command language, one command after another as arguments; what each prints, one line a
// result (the harness, tests/winebox.py, reads these lines):
//   start EXE                 starts the uninstaller EXE (again: the earlier one is kept for
//                             post-all and finish)        "started EXE"
//   wait-dialog               waits for its dialog         "dialog"
//   activate                  hands it the foreground      "active 0|1"
//   describe                  its title, controls, style, focus and the probe's answer (loading
//                             the probe)                   "title T", "child CLASS ID STYLE T"...,
//                                                          "style S", "focus ID", "probe BITS"
//   post MSG W L              posts a message to the dialog
//   post-all MSG W L          posts it to every dialog started
//   key VK                    presses and releases a key in the focused control
//   sleep MS                  waits
//   alive                     whether the uninstaller still runs   "alive 0|1"
//   finish SECONDS            reports and dismisses message boxes until every uninstaller started
//                             has exited                   "box CAPTION\tTEXT\tICON\tBUTTONS"...,
//                                                          "exit CODE" for each
//   hold PATH / release       holds a file open for reading (no delete sharing), lets go
//   wait-gone PATH SECONDS    waits for a file to go       "gone 0|1 PATH"
//   link LINK TARGET          saves a shell link
//   set-desktop PATH          points the user's desktop folder there
//   desktop                   the desktop as the shell gives it    "desktop PATH"
//   attrib PATH FLAGS         adds attributes: r, h, s
//   regadd / regcheck         writes the product's two keys / says which exist
//                                                          "key 0|1 NAME" for each
//   copy FROM TO, mkdir PATH  copies a file, makes a folder
//   setenv NAME VALUE         sets a variable for the uninstaller started next
//   cleanup                   ends leftover uninstallers and scripts, deletes the keys
//                                                          "ended PID"...
//   wait-idle SECONDS         waits until none runs        "idle 0|1"
//   codepages                 the ANSI and OEM code pages  "codepages ACP OEMCP"
// The first line is "driver PID", the last "end STATUS"; a failure prints "error WHAT" and ends
// with a status other than 0.
int wmain(int argc, wchar_t **argv) {
    Announce("driver");
    CoInitialize(NULL);
    if (const wchar_t *p = _wgetenv(L"DRIVER_PATIENCE"))
        Patience = _wtoi(p) > 0 ? _wtoi(p) : 1;
    CommandLine arg = {argc, argv, Fail, 0};
    while (const wchar_t *word = arg.Command()) {
        std::wstring cmd = word;
        if (cmd == L"start" || cmd == L"start-probed") {
            const wchar_t *exe = arg();
            if (cmd == L"start")
                Start(exe);
            else
                StartProbed(exe);
            Print("started", exe);
        } else if (cmd == L"wait-dialog")
            WaitDialog();
        else if (cmd == L"activate")
            Activate();
        else if (cmd == L"describe")
            Describe();
        else if (cmd == L"post") {
            UINT msg = Number(arg());
            WPARAM w = Number(arg());
            PostMessageW(Dialog, msg, w, Number(arg()));
        } else if (cmd == L"key")
            PressKey(Number(arg()));
        else if (cmd == L"sleep")
            Sleep(Number(arg()));
        else if (cmd == L"alive")
            printf("alive %d\n", !Exited(0));
        else if (cmd == L"post-all") { // to every dialog started, newest first
            UINT msg = Number(arg());
            WPARAM w = Number(arg());
            LPARAM l = Number(arg());
            PostMessageW(Dialog, msg, w, l);
            for (auto &earlier : Earlier)
                PostMessageW(earlier.second, msg, w, l);
        } else if (cmd == L"finish") { // every uninstaller started, newest first
            int seconds = Number(arg());
            Finish(seconds);
            while (!Earlier.empty()) {
                Child = Earlier.back().first;
                Dialog = Earlier.back().second;
                Earlier.pop_back();
                Finish(seconds);
            }
        } else if (cmd == L"hold") {
            Held = CreateFileW(arg(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
            if (Held == INVALID_HANDLE_VALUE)
                Fail("hold");
        } else if (cmd == L"release") {
            CloseHandle(Held);
            Held = INVALID_HANDLE_VALUE;
        } else if (cmd == L"wait-gone") {
            const wchar_t *path = arg();
            DWORD seconds = Number(arg());
            bool gone = false;
            for (DWORD t = 0; t < seconds * 10 && !gone; t++) {
                gone = GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES;
                if (!gone)
                    Sleep(100);
            }
            Print(gone ? "gone 1" : "gone 0", path);
        } else if (cmd == L"link") {
            const wchar_t *link = arg();
            MakeLink(link, arg());
        } else if (cmd == L"set-desktop")
            SetDesktop(arg());
        else if (cmd == L"desktop")
            PrintDesktop();
        else if (cmd == L"attrib") {
            const wchar_t *path = arg();
            Attrib(path, arg());
        } else if (cmd == L"regadd")
            RegAdd();
        else if (cmd == L"regcheck")
            RegCheck();
        else if (cmd == L"copy") {
            const wchar_t *from = arg();
            if (!CopyFileW(from, arg(), FALSE))
                Fail("copy");
        } else if (cmd == L"setenv") {
            const wchar_t *name = arg();
            SetEnvironmentVariableW(name, arg()); // inherited by the uninstaller started next
        } else if (cmd == L"mkdir") {
            if (!CreateDirectoryW(arg(), NULL))
                Fail("mkdir");
        } else if (cmd == L"cleanup")
            Cleanup();
        else if (cmd == L"wait-idle")
            WaitIdle(Number(arg()));
        else if (cmd == L"codepages")
            printf("codepages %u %u\n", GetACP(), GetOEMCP());
        else
            Fail("unknown command");
        fflush(stdout);
    }
    Leave(0);
}
