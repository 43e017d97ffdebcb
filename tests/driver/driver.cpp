// Drives the uninstaller from inside the Wine sandbox: starts it, reads its dialog, presses its
// buttons, answers its message boxes and sets up what the tests need, as Commands below says.
#include "protocol.h" // and with it windows.h, tlhelp32.h, stdio.h, stdlib.h, vector
#include <shlobj.h>
#include <shobjidl.h>
#include <string.h>
#include <string>
#include <utility>

// The product's keys below HKEY_LOCAL_MACHINE.
static const wchar_t *const Keys[] = {
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tivaldor",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Tivaldor.exe"};

static PROCESS_INFORMATION Child;
static HWND Dialog;
// Uninstallers started before the current one and not finished yet, with their dialogs.
static std::vector<std::pair<PROCESS_INFORMATION, HWND>> Earlier;
static HANDLE Held = INVALID_HANDLE_VALUE;
// Multiplies the built-in waits; raised where Wine itself runs under emulation.
static int Patience = 1;
// A command's arguments, as many as its entry in Commands names (a missing optional one NULL).
typedef const wchar_t *const *Words;

static void Print(const char *tag, const std::wstring &text) {
    char buffer[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, buffer, sizeof buffer, NULL, NULL);
    printf("%s %s\n", tag, n > 0 ? buffer : "");
    fflush(stdout);
}

[[noreturn]] static void Fail(const char *what) {
    printf("error %s\n", what);
    fflush(stdout);
    TerminateProcess(Child.hProcess, 99); // where none runs, a null handle, which does nothing
    Leave(2);
}

static void Must(bool ok, const char *what) {
    if (!ok)
        Fail(what);
}

// A window's text, or what another call of the same form gives (GetClassNameW).
static std::wstring Text(HWND hwnd, int(WINAPI *get)(HWND, LPWSTR, int) = GetWindowTextW) {
    wchar_t buffer[1024] = L"";
    get(hwnd, buffer, 1024);
    return buffer;
}

// The child windows of parent; with none, the visible top-level windows of the uninstaller.
static std::vector<HWND> Windows(HWND parent = NULL) {
    std::vector<HWND> list;
    for (HWND w = NULL; (w = FindWindowExW(parent, w, NULL, NULL));) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (parent || (pid == Child.dwProcessId && IsWindowVisible(w)))
            list.push_back(w);
    }
    return list;
}

// Whether the uninstaller has exited; one that "finish" has reported has.
static bool Exited() {
    return !Child.hProcess || WaitForSingleObject(Child.hProcess, 0) == WAIT_OBJECT_0;
}

static std::wstring ProbePath() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(NULL, path, MAX_PATH);
    lstrcpyW(wcsrchr(path, L'\\') + 1, L"probe.dll");
    return path;
}

static const wchar_t *Start(const wchar_t *exe, DWORD flags = 0) {
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
    return exe;
}

// Writes two bytes at address in the uninstaller's code; the two there before into was, if asked.
static bool Poke(BYTE *address, const BYTE *bytes, BYTE *was = NULL) {
    DWORD old;
    SIZE_T done;
    return VirtualProtectEx(Child.hProcess, address, 2, PAGE_EXECUTE_READWRITE, &old) &&
           (!was || ReadProcessMemory(Child.hProcess, address, was, 2, &done)) &&
           WriteProcessMemory(Child.hProcess, address, bytes, 2, &done) &&
           VirtualProtectEx(Child.hProcess, address, 2, old, &old) &&
           FlushInstructionCache(Child.hProcess, address, 2);
}

// Whether done() came true within the seconds, asked every tenth of a second.
template <class Done> static bool Within(DWORD seconds, Done done) {
    bool yes = false;
    for (DWORD i = 0; i < seconds * 10 && !(yes = done()); i++)
        Sleep(100);
    return yes;
}

// Starts the uninstaller with the probe loaded before any code of its own runs, which the message
// hook cannot do. Started suspended, its thread names the entry point it will run (in Eax); a jump
// onto itself written there holds the thread once the loader has bound the imports and let go of
// its lock, and a thread of ours loads the probe (PROBE_EARLY, in the uninstaller's environment
// alone, has it hook the imports at once). Then the bytes go back and the uninstaller runs on.
static const wchar_t *StartProbed(const wchar_t *exe) {
    SetEnvironmentVariableW(L"PROBE_EARLY", L"1");
    Start(exe, CREATE_SUSPENDED);
    SetEnvironmentVariableW(L"PROBE_EARLY", NULL);
    CONTEXT context = {CONTEXT_INTEGER | CONTEXT_CONTROL}; // the flags come first
    Must(GetThreadContext(Child.hThread, &context), "probed start: entry point");
    BYTE *entry = (BYTE *)context.Eax, first[2], spin[2] = {0xEB, 0xFE}; // jmp $
    Must(Poke(entry, spin, first) && ResumeThread(Child.hThread) != (DWORD)-1,
         "probed start: entry point");
    auto there = [&] {
        Must(!Exited(), "probed start: the uninstaller ended");
        Must(SuspendThread(Child.hThread) != (DWORD)-1 && GetThreadContext(Child.hThread, &context),
             "probed start: suspend");
        if (context.Eip != (DWORD)entry)
            ResumeThread(Child.hThread);
        return context.Eip == (DWORD)entry;
    };
    Must(Within(60 * Patience, there), "probed start: never at its entry point");
    Must(Poke(entry, first), "probed start: entry point");
    std::wstring path = ProbePath();
    SIZE_T bytes = (path.size() + 1) * sizeof path[0], done;
    // The system DLLs lie at the same address in every process of a prefix; checked all the same.
    FARPROC load = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW");
    BYTE theirs[64];
    void *remote =
        VirtualAllocEx(Child.hProcess, NULL, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    Must(remote && WriteProcessMemory(Child.hProcess, remote, path.c_str(), bytes, &done) &&
             ReadProcessMemory(Child.hProcess, (void *)load, theirs, sizeof theirs, &done) &&
             !memcmp((void *)load, theirs, sizeof theirs),
         "probed start: no LoadLibraryW at ours");
    HANDLE loader = CreateRemoteThread(Child.hProcess, NULL, 0,
                                       (LPTHREAD_START_ROUTINE)(void *)load, remote, 0, NULL);
    DWORD module = 0;
    Must(loader && WaitForSingleObject(loader, 60000 * Patience) == WAIT_OBJECT_0 &&
             GetExitCodeThread(loader, &module),
         "probed start: remote thread");
    CloseHandle(loader);
    ResumeThread(Child.hThread);
    Must(module, "probed start: probe.dll not loaded");
    return exe;
}

static void WaitDialog() {
    auto shown = [] {
        for (HWND hwnd : Windows())
            Dialog = Text(hwnd) == L"Uninstall Tivaldor" ? hwnd : Dialog;
        return Dialog || Exited();
    };
    Must(Within(30 * Patience, shown) && Dialog, "no dialog");
    Sleep(200); // let WM_INITDIALOG and the first paint finish
    Print("dialog", L"");
}

// Under the virtual desktop, Wine 8 draws a program's first window with an inactive caption
// although it is the foreground one: active in its thread before it became the foreground window,
// it is not told again. Handing the foreground to the desktop and back draws it as Windows does.
static void Activate() {
    for (HWND window : {GetDesktopWindow(), Dialog}) {
        SetForegroundWindow(window);
        Sleep(200);
    }
    printf("active %d\n", GetForegroundWindow() == Dialog);
}

// Asks the probe library, hooked into the thread of window, for what it leaves in property.
static UINT_PTR RunProbe(HWND window = Dialog, const wchar_t *property = L"ProbeResult") {
    HMODULE probe = LoadLibraryW(ProbePath().c_str());
    HOOKPROC proc = probe ? (HOOKPROC)GetProcAddress(probe, "ProbeHook") : NULL;
    DWORD thread = GetWindowThreadProcessId(window, NULL);
    HHOOK hook = proc ? SetWindowsHookExW(WH_GETMESSAGE, proc, probe, thread) : NULL;
    Must(hook, "probe hook");
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
    for (HWND c : Windows(Dialog)) {
        swprintf(line, 1400, L"%ls %d %08lx %ls", Text(c, GetClassNameW).c_str(), GetDlgCtrlID(c),
                 (unsigned long)GetWindowLongW(c, GWL_STYLE), Text(c).c_str());
        Print("child", line);
    }
    printf("style %08lx\n", (unsigned long)GetWindowLongW(Dialog, GWL_STYLE));
    GUITHREADINFO gui = {sizeof gui};
    GetGUIThreadInfo(GetWindowThreadProcessId(Dialog, NULL), &gui);
    printf("focus %d\n", gui.hwndFocus ? GetDlgCtrlID(gui.hwndFocus) : 0);
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
    auto exited = [] {
        for (HWND hwnd : Windows()) {
            if (hwnd == Dialog || Text(hwnd, GetClassNameW) != L"#32770" ||
                GetPropW(hwnd, L"ProbeBox")) // reported already: the probe has marked it
                continue;
            std::wstring text, buttons;
            for (HWND c : Windows(hwnd)) {
                if (Text(c, GetClassNameW) == L"Static" && !Text(c).empty())
                    text = Text(c);
                if (Text(c, GetClassNameW) == L"Button" && IsWindowVisible(c))
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
        return Exited();
    };
    Must(Within(seconds, exited), "still running");
    DWORD code = 0;
    GetExitCodeProcess(Child.hProcess, &code);
    printf("exit %lu\n", (unsigned long)code);
    fflush(stdout);
    // Reported once: an uninstaller started later does not make it one to finish again.
    CloseHandle(Child.hProcess);
    CloseHandle(Child.hThread);
    Child = {};
}

static void MakeLink(const wchar_t *link, const wchar_t *target) {
    IShellLinkW *shellLink;
    IPersistFile *file;
    Must(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                          (void **)&shellLink) == S_OK,
         "shell link");
    shellLink->SetPath(target);
    Must(shellLink->QueryInterface(IID_IPersistFile, (void **)&file) == S_OK &&
             file->Save(link, TRUE) == S_OK,
         "save link");
    file->Release();
    shellLink->Release();
}

// Points the user's desktop folder at path, in both of the shell's settings for it.
static void SetDesktop(const wchar_t *path) {
    std::wstring folders = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\";
    DWORD size = (lstrlenW(path) + 1) * sizeof *path;
    Must(!RegSetKeyValueW(HKEY_CURRENT_USER, (folders + L"User Shell Folders").c_str(), L"Desktop",
                          REG_EXPAND_SZ, path, size) &&
             !RegSetKeyValueW(HKEY_CURRENT_USER, (folders + L"Shell Folders").c_str(), L"Desktop",
                              REG_SZ, path, size),
         "set-desktop");
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
    Must(a != INVALID_FILE_ATTRIBUTES, "attrib");
    for (const wchar_t *f = flags; *f; f++) // FILE_ATTRIBUTE_READONLY, _HIDDEN, _SYSTEM
        a |= *f == 'r' ? 1 : *f == 'h' ? 2 : *f == 's' ? 4 : 0;
    Must(SetFileAttributesW(path, a & ~FILE_ATTRIBUTE_NORMAL), "attrib");
}

// Writes the product's keys in the registry view a word names, "32" or "64" (KEY_WOW64_32KEY,
// KEY_WOW64_64KEY; none, the driver's own), or where !add, says which exist there.
static void RegKeys(const wchar_t *word, bool add) {
    Must(!word || !lstrcmpW(word, L"32") || !lstrcmpW(word, L"64"), "registry view: 32 or 64");
    REGSAM view = !word ? 0 : word[0] == L'3' ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    for (const wchar_t *name : Keys) {
        HKEY key;
        LSTATUS status = add ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, name, 0, NULL, 0,
                                               KEY_ALL_ACCESS | view, NULL, &key, NULL)
                             : RegOpenKeyExW(HKEY_LOCAL_MACHINE, name, 0, KEY_READ | view, &key);
        Must(!add || !status, "regadd");
        if (add)
            RegSetValueExW(key, L"DisplayName", 0, REG_SZ, (const BYTE *)L"Tivaldor", 18);
        else
            Print(status ? "key 0" : "key 1", name);
        if (!status)
            RegCloseKey(key);
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

// Ends what an earlier test left running and deletes the product's keys in both registry views;
// looks until none is left, as an uninstaller ended while starting its script leaves a new one.
static void Cleanup() {
    std::vector<DWORD> left = Leftovers();
    for (int round = 0; !left.empty(); round++, left = Leftovers()) {
        Must(round < 20 * Patience, "cleanup: uninstaller or script still running");
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
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
        for (const wchar_t *name : Keys)
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, name, view, 0);
}

static unsigned long Number(const wchar_t *text) {
    return wcstoul(text, NULL, 0);
}

// A file opened for reading with the sharing given; failing says what.
static HANDLE Open(const wchar_t *path, DWORD share, DWORD disposition, const char *what) {
    HANDLE file = CreateFileW(path, GENERIC_READ, share, NULL, disposition, 0, NULL);
    Must(file != INVALID_HANDLE_VALUE, what);
    return file;
}

// Holds a file open (made, empty, where there is none) as a command interpreter holds the script
// it runs, sharing reading, writing and deleting, and lets go of it after ms in a thread of the
// timer queue while the driver goes on (into "finish", say), or when the driver ends, if sooner.
static void ShareHold(const wchar_t *path, DWORD ms) {
    HANDLE timer, file = Open(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              OPEN_ALWAYS, "share-hold");
    auto letGo = [](void *file, BOOLEAN) CALLBACK { CloseHandle(file); };
    Must(CreateTimerQueueTimer(&timer, NULL, letGo, file, ms, 0, WT_EXECUTEONLYONCE),
         "share-hold: timer");
}

// Every uninstaller started, newest first.
static void FinishAll(int seconds) {
    for (Earlier.push_back({Child, Dialog}); !Earlier.empty(); Earlier.pop_back()) {
        Child = Earlier.back().first;
        Dialog = Earlier.back().second;
        Finish(seconds);
    }
}

// Posts a message to the dialog and, where all, to every dialog started, newest first.
static void Post(Words a, bool all) {
    PostMessageW(Dialog, Number(a[0]), Number(a[1]), Number(a[2]));
    for (auto &earlier : all ? Earlier : std::vector<std::pair<PROCESS_INFORMATION, HWND>>())
        PostMessageW(earlier.second, Number(a[0]), Number(a[1]), Number(a[2]));
}

static void WaitGone(const wchar_t *path, DWORD seconds) {
    auto gone = [=] { return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES; };
    Print(Within(seconds, gone) ? "gone 1" : "gone 0", path);
}

static void Usage();

// The commands, one after another as arguments, each with the arguments its entry names ("[...]":
// optional, taken where the next word is no command) and, in quotes, the lines it prints for
// tests/winebox.py; a failure prints "error WHAT" and ends with a status other than 0.
static const struct Command {
    const wchar_t *name;
    const char *args;
    void (*run)(Words);
    const char *help;
} Commands[] = {
    {L"start", "EXE", [](Words a) { Print("started", Start(a[0])); },
     "starts the uninstaller (again: the earlier kept for post-all and finish)   \"started EXE\""},
    {L"start-probed", "EXE", [](Words a) { Print("started", StartProbed(a[0])); },
     "the same, with the probe in it before its own code runs   \"started EXE\""},
    {L"wait-dialog", "", [](Words) { WaitDialog(); }, "waits for its dialog   \"dialog\""},
    {L"activate", "", [](Words) { Activate(); }, "hands it the foreground   \"active 0|1\""},
    {L"describe", "", [](Words) { Describe(); },
     "its title, controls, style and focus   \"title T\", \"child CLASS ID STYLE T\"..., "
     "\"style S\", \"focus ID\""},
    {L"probe", "", [](Words) { printf("probe %lu\n", (unsigned long)RunProbe()); },
     "loads the probe into the dialog's thread   \"probe BITS\", what it saw there"},
    {L"post", "MSG W L", [](Words a) { Post(a, false); }, "posts a message to the dialog"},
    {L"post-all", "MSG W L", [](Words a) { Post(a, true); }, "to every dialog, newest first"},
    {L"key", "VK", [](Words a) { PressKey(Number(a[0])); }, "types a key into the focused control"},
    {L"sleep", "MS", [](Words a) { Sleep(Number(a[0])); }, "waits"},
    {L"alive", "", [](Words) { printf("alive %d\n", !Exited()); }, "if it runs   \"alive 0|1\""},
    {L"finish", "SECONDS", [](Words a) { FinishAll(Number(a[0])); },
     "reports and dismisses message boxes until every uninstaller started has exited, newest "
     "first   \"box CAPTION\\tTEXT\\tICON\\tBUTTONS\"..., \"exit CODE\" for each"},
    {L"hold", "PATH", [](Words a) { Held = Open(a[0], FILE_SHARE_READ, OPEN_EXISTING, "hold"); },
     "holds a file open for reading (no delete sharing)"},
    {L"release", "", [](Words) { CloseHandle(std::exchange(Held, INVALID_HANDLE_VALUE)); },
     "lets go of it"},
    {L"share-hold", "PATH MS", [](Words a) { ShareHold(a[0], Number(a[1])); },
     "holds a file open as a command interpreter holds its script (made if absent; reading, "
     "writing and deleting shared), lets go of it after MS milliseconds"},
    {L"wait-gone", "PATH SECONDS", [](Words a) { WaitGone(a[0], Number(a[1])); },
     "waits for a file to go   \"gone 0|1 PATH\""},
    {L"link", "LINK TARGET", [](Words a) { MakeLink(a[0], a[1]); }, "saves a shell link"},
    {L"set-desktop", "PATH", [](Words a) { SetDesktop(a[0]); }, "sets the desktop folder"},
    {L"desktop", "", [](Words) { PrintDesktop(); }, "as the shell gives it   \"desktop PATH\""},
    {L"attrib", "PATH FLAGS", [](Words a) { Attrib(a[0], a[1]); }, "adds attributes: r, h, s"},
    {L"regadd", "[32|64]", [](Words a) { RegKeys(a[0], true); },
     "writes the product's keys, in the 32-bit or 64-bit registry view (none: the driver's own)"},
    {L"regcheck", "[32|64]", [](Words a) { RegKeys(a[0], false); },
     "says which exist there   \"key 0|1 NAME\" for each"},
    {L"copy", "FROM TO", [](Words a) { Must(CopyFileW(a[0], a[1], FALSE), "copy"); }, "copies"},
    {L"mkdir", "PATH", [](Words a) { Must(CreateDirectoryW(a[0], NULL), "mkdir"); },
     "makes a folder"},
    {L"setenv", "NAME VALUE", [](Words a) { SetEnvironmentVariableW(a[0], a[1]); },
     "sets a variable for the uninstaller started next"},
    {L"cleanup", "", [](Words) { Cleanup(); },
     "ends leftover uninstallers and scripts, deletes the keys in both views   \"ended PID\"..."},
    {L"wait-idle", "SECONDS",
     [](Words a) { printf("idle %d\n", Within(Number(a[0]), [] { return Leftovers().empty(); })); },
     "waits until none runs   \"idle 0|1\""},
    {L"codepages", "", [](Words) { printf("codepages %u %u\n", GetACP(), GetOEMCP()); },
     "the ANSI and OEM code pages   \"codepages ACP OEMCP\""},
    {L"help", "", [](Words) { Usage(); }, "this list"},
};

static const Command *Find(const wchar_t *word) {
    for (const Command &c : Commands)
        if (word && !lstrcmpW(word, c.name))
            return &c;
    return NULL;
}

static void Usage() {
    printf("usage: driver.exe COMMAND [ARGUMENT]... [COMMAND [ARGUMENT]...]...\n");
    for (const Command &c : Commands)
        printf("  %ls%s%s: %s\n", c.name, *c.args ? " " : "", c.args, c.help);
}

int wmain(int argc, wchar_t **argv) {
    Announce("driver");
    CoInitialize(NULL);
    if (const wchar_t *p = _wgetenv(L"DRIVER_PATIENCE"))
        Patience = _wtoi(p) > 0 ? _wtoi(p) : 1;
    CommandLine arg = {argc, argv, Fail, 0};
    while (arg.Peek()) {
        const Command *c = Find(arg());
        if (!c) {
            Usage();
            Fail("unknown command");
        }
        // One word for each of the command's arguments; an optional one ("[...]") only where a
        // word is left that names no command.
        const wchar_t *a[3] = {};
        int n = 0;
        for (const char *w = c->args; *w; w += strcspn(w, " "), w += *w == ' ')
            a[n++] = *w != '[' || (arg.Peek() && !Find(arg.Peek())) ? arg() : NULL;
        c->run(a);
        fflush(stdout);
    }
    Leave(0);
}
