// Loaded into the uninstaller by a message hook, or from its start by the driver's start-probed:
// reads what only its own process can see (the dialog's class icon and system menu, a message
// box's icon) and leaves the answer in a window property. Switched on by PROBE_CALLS, it logs
// calls of the uninstaller's and, where SWITCHES below asks, plays Windows where Wine differs.
#include <windows.h>
#include <shlobj.h>
#include <stdlib.h>
#include <string.h>

// The switches: variables of the uninstaller's environment, read when the probe hooks the imports
// (PROBE_EARLY: when it is loaded), each on when set. A row: the name after PROBE_, what it does.
// clang-format off
#define SWITCHES(row)                                                                              \
    row(EARLY)   /* the imports hooked at once (set by the driver's start-probed) */               \
    row(CALLS)   /* (a file) the calls logged there; no switch below acts without it */            \
    row(STUBS)   /* the wide calls are stubs, as on Windows 95, 98 and Me */                       \
    row(STRICT)  /* conversions to UTF-8 follow Windows' rules */                                  \
    row(CLOUD)   /* (exposed, disguised) chosen files are a sync client's placeholders */          \
    row(LOAD)    /* (a DLL) loaded by name, as the shell or COM may load one */                    \
    row(NOFLAGS) /* conversions refuse their flags */                                              \
    row(OEMUTF8) /* the OEM code page is UTF-8 */                                                  \
    row(NOSHORT) /* paths have no short form */                                                    \
    row(NOGHOST) /* user32 has no DisableProcessWindowsGhosting (Windows 2000) */                  \
    row(SYSDIR)  /* (fail, long) the system folder is not known */
// clang-format on
#define ENUMERATOR(name) PROBE_##name,
#define VARIABLE(name) L"PROBE_" #name,
enum Switch { SWITCHES(ENUMERATOR) SWITCH_COUNT };
static const wchar_t *const SwitchNames[] = {SWITCHES(VARIABLE)};
static bool On[SWITCH_COUNT];
static wchar_t Value[SWITCH_COUNT][MAX_PATH]; // the text of those that take one

// The answer in the dialog's "ProbeResult" property: bit 0, the probe ran; bit 1, the dialog's
// class has an icon, as wide as bits 8 to 15 say; bits 2 to 6, its system menu has these items.
static const UINT MenuItems[] = {SC_SIZE, SC_MAXIMIZE, SC_MOVE, SC_CLOSE, SC_MINIMIZE};

static void Probe() {
    HWND dialog = FindWindowW(NULL, L"Uninstall Tivaldor");
    if (!dialog || GetPropW(dialog, L"ProbeResult"))
        return;
    HICON icon = (HICON)GetClassLongPtrW(dialog, GCLP_HICON);
    UINT_PTR result = icon ? 3 : 1;
    ICONINFO info;
    BITMAP bitmap;
    if (icon && GetIconInfo(icon, &info)) {
        if (GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap))
            result |= (UINT_PTR)(bitmap.bmWidth & 0xFF) << 8;
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
    }
    HMENU menu = GetSystemMenu(dialog, FALSE);
    for (int i = 0; menu && i < 5; i++)
        if (GetMenuState(menu, MenuItems[i], MF_BYCOMMAND) != (UINT)-1)
            result |= 4 << i;
    SetPropW(dialog, L"ProbeResult", (HANDLE)result);
}

// The icon of a message box, in the "ProbeBox" property of the box: 1 + the index of the
// system icon it shows (warning, error, information, question), 1 + 4 for any other, 1 for none.
static void ProbeBox(HWND box) {
    wchar_t name[32] = L"", title[32] = L"";
    GetClassNameW(box, name, 32);
    GetWindowTextW(box, title, 32);
    if (!box || (GetWindowLongW(box, GWL_STYLE) & WS_CHILD) || lstrcmpW(name, L"#32770") ||
        !lstrcmpW(title, L"Uninstall Tivaldor") || GetPropW(box, L"ProbeBox"))
        return; // no box, the dialog itself, or a box already probed
    static const LPCSTR icons[] = {IDI_WARNING, IDI_ERROR, IDI_INFORMATION, IDI_QUESTION};
    UINT_PTR result = 1;
    for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        if (!GetClassNameW(c, name, 32) || lstrcmpiW(name, L"Static") ||
            (GetWindowLongW(c, GWL_STYLE) & SS_TYPEMASK) != SS_ICON)
            continue;
        HICON icon = (HICON)SendMessageW(c, STM_GETICON, 0, 0);
        UINT_PTR which = 4;
        for (UINT_PTR i = 0; i < 4; i++) // shared icons: one handle per process
            which = icon == LoadIconA(NULL, icons[i]) ? i : which;
        if (icon)
            result = 2 + which;
    }
    SetPropW(box, L"ProbeBox", (HANDLE)result);
}

static HANDLE CallLog = INVALID_HANDLE_VALUE;

static void LogCall(const char *name, long value) {
    char line[64];
    DWORD n = wsprintfA(line, "%s %ld\r\n", name, value), written;
    WriteFile(CallLog, line, n, &written, NULL);
}

// Logs "name text", the text in UTF-8: length characters of it, its terminator counted (-1:
// up to its terminator; 0: none at all).
static void LogWide(const char *name, const wchar_t *text, int length = -1) {
    char line[6 * MAX_PATH + 64];
    int n = wsprintfA(line, "%s ", name);
    n += WideCharToMultiByte(CP_UTF8, 0, text, length, line + n, sizeof line - n - 2, NULL, NULL);
    line[n - 1] = '\r'; // over the terminator
    line[n++] = '\n';
    DWORD written;
    WriteFile(CallLog, line, n, &written, NULL);
}

// The same with text from the ANSI code page, or "(none)" for NULL.
static void LogText(const char *name, const char *text) {
    wchar_t wide[2 * MAX_PATH];
    LogWide(name, wide,
            MultiByteToWideChar(CP_ACP, 0, text ? text : "(none)", -1, wide, 2 * MAX_PATH));
}

// The script's start: its flags, what is started, how and where (the current directory), then the
// result with the new process's id or the error, telling a script that never ran from one
// unstarted.
static BOOL WINAPI LogCreateProcessA(LPCSTR app, LPSTR cmd, LPSECURITY_ATTRIBUTES pa,
                                     LPSECURITY_ATTRIBUTES ta, BOOL inherit, DWORD flags,
                                     LPVOID env, LPCSTR dir, LPSTARTUPINFOA si,
                                     LPPROCESS_INFORMATION pi) {
    LogCall("CreateProcessA", flags);
    LogText("CreateProcessA.application", app);
    LogText("CreateProcessA.command", cmd);
    LogText("CreateProcessA.directory", dir);
    BOOL ok = CreateProcessA(app, cmd, pa, ta, inherit, flags, env, dir, si, pi);
    DWORD error = ok ? 0 : GetLastError();
    char result[64];
    wsprintfA(result, "%d %lu %lu", ok, ok ? pi->dwProcessId : 0, error);
    LogText("CreateProcessA.result", result);
    SetLastError(error);
    return ok;
}

// The script's file as the uninstaller deletes and creates it, logged with the result and the
// error, so that a script that was never written says why ("file." lines, apart from the calls).
static void LogScript(const char *name, LPCSTR path, bool ok) {
    int n = lstrlenA(path);
    if (n < 4 || lstrcmpiA(path + n - 4, ".bat"))
        return;
    DWORD error = ok ? 0 : GetLastError();
    char line[2 * MAX_PATH];
    wsprintfA(line, "%d %lu %s", ok, error, path);
    LogText(name, line);
    SetLastError(error);
}

static BOOL WINAPI LogDeleteFileA(LPCSTR path) {
    BOOL ok = DeleteFileA(path);
    LogScript("file.DeleteFileA", path, ok);
    return ok;
}

static HANDLE WINAPI LogCreateFileA(LPCSTR path, DWORD access, DWORD share,
                                    LPSECURITY_ATTRIBUTES sa, DWORD disposition, DWORD flags,
                                    HANDLE model) {
    HANDLE file = CreateFileA(path, access, share, sa, disposition, flags, model);
    LogScript("file.CreateFileA", path, file != INVALID_HANDLE_VALUE);
    return file;
}

static BOOL WINAPI LogSetPriorityClass(HANDLE process, DWORD priority) {
    LogCall("SetPriorityClass", priority);
    return SetPriorityClass(process, priority);
}

static BOOL WINAPI LogSetThreadPriority(HANDLE thread, int priority) {
    LogCall("SetThreadPriority", priority);
    return SetThreadPriority(thread, priority);
}

static DWORD WINAPI LogResumeThread(HANDLE thread) {
    LogCall("ResumeThread", 0);
    return ResumeThread(thread);
}

// Wine's shell sets the list to NULL when it gives no folder, which would hide a caller that
// goes on with it; the documentation promises nothing, so here it points nowhere instead.
static HRESULT WINAPI SpoilSHGetSpecialFolderLocation(HWND owner, int folder, LPITEMIDLIST *list) {
    HRESULT result = SHGetSpecialFolderLocation(owner, folder, list);
    if (result != S_OK)
        *list = (LPITEMIDLIST)16;
    return result;
}

// With PROBE_STUBS set too, the wide calls the uninstaller makes (its UTF-16 listings among them)
// are stubs, as on Windows 95, 98 and Me: Stub<Call, ...>, for WideCalls[Call], is logged with 0
// and fails with ERROR_CALL_NOT_IMPLEMENTED, returning Failure; SHGetPathFromIDListW is missing.
static const char *const WideCalls[] = {"GetModuleFileNameW", "GetTempPathW", "FindFirstFileW",
                                        "FindNextFileW"};

template <int Call, typename Result, INT_PTR Failure, typename... Arguments>
static Result WINAPI Stub(Arguments...) {
    LogCall(WideCalls[Call], 0);
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return (Result)Failure;
}

static char PlaceholderMode; // as the system chooses, until the program asks

// Windows 10's call that tells the cloud files platform what the process wants to see of a
// sync client's placeholders (2: exposed, as what they are). Wine has none; this plays it.
static char NTAPI StandInSetPlaceholderMode(char mode) {
    LogCall("RtlSetProcessPlaceholderCompatibilityMode", mode);
    char old = PlaceholderMode;
    PlaceholderMode = mode;
    return old;
}

// PROBE_NOSHORT, as on a volume made without short names: GetShortPathNameW logged, the path back.
static DWORD WINAPI LongGetShortPathNameW(LPCWSTR path, LPWSTR out, DWORD size) {
    LogCall("GetShortPathNameW", 0);
    DWORD n = lstrlenW(path);
    if (n >= size)
        return n + 1;
    memmove(out, path, (n + 1) * sizeof *path);
    return n;
}

// The uninstaller's call that keeps Windows from ghosting its dialog, logged with the number of
// windows its thread has by then (none, before the dialog exists); Wine's does nothing.
static FARPROC RealDisableGhosting;

static void WINAPI LogDisableProcessWindowsGhosting() {
    long windows = 0;
    auto count = [](HWND, LPARAM n) CALLBACK -> BOOL { return ++*(long *)n; }; // never 0: go on
    EnumThreadWindows(GetCurrentThreadId(), count, (LPARAM)&windows);
    LogCall("DisableProcessWindowsGhosting", windows);
    ((void(WINAPI *)())(void *)RealDisableGhosting)();
}

// The wait cursor that OK's handling sets: LoadCursorA logged with the system cursor's ID (-1 for
// another), SetCursor with IDC_WAIT's ID where handed that cursor (0 for none, -1 for another).
static HCURSOR WINAPI LogLoadCursorA(HINSTANCE instance, LPCSTR name) {
    LogCall("LoadCursorA", !instance && !HIWORD(name) ? LOWORD(name) : -1);
    return LoadCursorA(instance, name);
}

static HCURSOR WINAPI LogSetCursor(HCURSOR cursor) {
    HCURSOR wait = LoadCursorA(NULL, IDC_WAIT); // shared: one handle per process
    LogCall("SetCursor", !cursor ? 0 : cursor == wait ? LOWORD(IDC_WAIT) : -1);
    return SetCursor(cursor);
}

// The removal's first change: the product's keys, each logged with its name.
static LONG WINAPI LogRegDeleteKeyA(HKEY root, LPCSTR key) {
    LogText("RegDeleteKeyA", key);
    return RegDeleteKeyA(root, key);
}

static HWND WINAPI LogCreateDialogParamA(HINSTANCE instance, LPCSTR name, HWND owner, DLGPROC proc,
                                         LPARAM param) {
    LogCall("CreateDialogParamA", (long)(UINT_PTR)name);
    return CreateDialogParamA(instance, name, owner, proc, param);
}

// With PROBE_SYSDIR set too, GetSystemDirectoryA fails ("fail"), or ("long") names a folder one
// character too long for the buffer, answering with the size it would need, as Windows does.
static UINT WINAPI NoGetSystemDirectoryA(LPSTR, UINT size) {
    LogCall("GetSystemDirectoryA", 0);
    if (!lstrcmpW(Value[PROBE_SYSDIR], L"long"))
        return size + 1;
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

static FARPROC WINAPI ProbeGetProcAddress(HMODULE module, LPCSTR name) {
    if (!HIWORD(name)) // an ordinal
        return GetProcAddress(module, name);
    if (!lstrcmpA(name, "DisableProcessWindowsGhosting")) {
        LogText("GetProcAddress", name);
        RealDisableGhosting = On[PROBE_NOGHOST] ? NULL : GetProcAddress(module, name);
        return RealDisableGhosting ? (FARPROC)(void *)LogDisableProcessWindowsGhosting : NULL;
    }
    if (On[PROBE_STUBS] && !lstrcmpA(name, "SHGetPathFromIDListW")) {
        LogCall("SHGetPathFromIDListW", 0);
        return NULL;
    }
    if (On[PROBE_CLOUD] && !lstrcmpA(name, "RtlSetProcessPlaceholderCompatibilityMode"))
        return (FARPROC)(void *)StandInSetPlaceholderMode;
    if (On[PROBE_NOSHORT] && !lstrcmpA(name, "GetShortPathNameW"))
        return (FARPROC)(void *)LongGetShortPathNameW;
    return GetProcAddress(module, name);
}

// Conversions as Windows makes them where Wine's differ. PROBE_NOFLAGS: every flag refused (and
// logged) as Windows 95, 98 and Me may, with another error than ERROR_INVALID_FLAGS. PROBE_OEMUTF8:
// the OEM code page UTF-8, the ANSI one as it is, as on a Windows with a UTF-8 console only. With
// that or PROBE_STRICT, conversions to UTF-8 follow Windows' rules, which Wine does not enforce:
// no flag but WC_ERR_INVALID_CHARS, and no question whether a character was lost.
static int WINAPI PlayedWideCharToMultiByte(UINT page, DWORD flags, LPCWCH text, int length,
                                            LPSTR out, int size, LPCCH fill, LPBOOL lost) {
    if (On[PROBE_NOFLAGS] && flags) {
        LogCall("WideCharToMultiByte", 0);
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (On[PROBE_OEMUTF8] && page == CP_OEMCP)
        page = CP_UTF8;
    UINT resolved = page == CP_ACP ? GetACP() : page == CP_OEMCP ? GetOEMCP() : page;
    bool badFlags = flags & ~WC_ERR_INVALID_CHARS;
    if ((On[PROBE_STRICT] || On[PROBE_OEMUTF8]) && resolved == CP_UTF8 &&
        (badFlags || fill || lost)) {
        SetLastError(badFlags ? ERROR_INVALID_FLAGS : ERROR_INVALID_PARAMETER);
        return 0;
    }
    return WideCharToMultiByte(page, flags, text, length, out, size, fill, lost);
}

// With PROBE_CLOUD set too, a file or folder named "cloud", hexadecimal digits, perhaps a dot and
// more of them, and a dash is listed (in either listing) with the first digits added to its
// attributes and the second as its reparse tag, as a sync client's placeholders carry theirs;
// "disguised", as Windows 10 shows them to a program that has not asked to see placeholders, until
// it asks. Every path handed to GetClassFile (it reads a file's first bytes) is logged long.
static void MarkCloud(const wchar_t *name, DWORD *attributes, DWORD *tag) {
    if (wcsncmp(name, L"cloud", 5) ||
        (!lstrcmpW(Value[PROBE_CLOUD], L"disguised") && PlaceholderMode != 2))
        return;
    wchar_t *end;
    DWORD bits = wcstoul(name + 5, &end, 16), reparse = 0;
    if (*end == L'.')
        reparse = wcstoul(end + 1, &end, 16);
    if (*end != L'-')
        return;
    *attributes |= bits;
    if (reparse)
        *tag = reparse;
}

static void MarkCloud(const char *name, DWORD *attributes, DWORD *tag) {
    wchar_t wide[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, name, -1, wide, MAX_PATH))
        MarkCloud(wide, attributes, tag);
}

// Cloud<Find>::Listed: Find (FindFirstFileA, FindNextFileA or a wide one), what it finds marked.
template <auto Find> struct Cloud;
template <typename Found, typename From, typename Data, Found(WINAPI *Find)(From, Data *)>
struct Cloud<Find> {
    static Found WINAPI Listed(From from, Data *data) {
        Found found = Find(from, data);
        if (found && (INT_PTR)found != -1) // neither FALSE nor INVALID_HANDLE_VALUE
            MarkCloud(data->cFileName, &data->dwFileAttributes, &data->dwReserved0);
        return found;
    }
};

static HRESULT WINAPI LogGetClassFile(LPCOLESTR path, CLSID *classId) {
    wchar_t longPath[MAX_PATH];
    if (!GetLongPathNameW(path, longPath, MAX_PATH))
        lstrcpynW(longPath, path, MAX_PATH);
    LogWide("GetClassFile", longPath);
    return GetClassFile(path, classId);
}

// Points the main module's imports of these functions at the stand-ins above, once.
static void HookImports() {
    if (CallLog != INVALID_HANDLE_VALUE)
        return;
    for (int i = 0; i < SWITCH_COUNT; i++)
        On[i] = GetEnvironmentVariableW(SwitchNames[i], Value[i], MAX_PATH) > 0;
    if (!On[PROBE_CALLS])
        return;
    if (On[PROBE_LOAD])
        LoadLibraryW(Value[PROBE_LOAD]);
    // Appended to, so that two uninstallers running at once both log (the harness starts afresh).
    CallLog = CreateFileW(Value[PROBE_CALLS], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          NULL, OPEN_ALWAYS, 0, NULL);
    HMODULE self; // stays loaded after the driver unhooks, since the imports now lead here
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       (LPCWSTR)HookImports, &self);
    // Each with the switch that it plays (PROBE_CALLS: always); of two for one call, the first.
    const struct {
        Switch when;
        const char *name;
        void *logger;
    } hooks[] = {
        {PROBE_CALLS, "CreateProcessA", (void *)LogCreateProcessA},
        {PROBE_CALLS, "SetPriorityClass", (void *)LogSetPriorityClass},
        {PROBE_CALLS, "SetThreadPriority", (void *)LogSetThreadPriority},
        {PROBE_CALLS, "ResumeThread", (void *)LogResumeThread},
        {PROBE_CALLS, "DeleteFileA", (void *)LogDeleteFileA},
        {PROBE_CALLS, "CreateFileA", (void *)LogCreateFileA},
        {PROBE_CALLS, "SHGetSpecialFolderLocation", (void *)SpoilSHGetSpecialFolderLocation},
        {PROBE_CALLS, "GetProcAddress", (void *)ProbeGetProcAddress},
        {PROBE_CALLS, "CreateDialogParamA", (void *)LogCreateDialogParamA},
        {PROBE_CALLS, "LoadCursorA", (void *)LogLoadCursorA},
        {PROBE_CALLS, "SetCursor", (void *)LogSetCursor},
        {PROBE_CALLS, "RegDeleteKeyA", (void *)LogRegDeleteKeyA},
        {PROBE_STUBS, WideCalls[0], (void *)Stub<0, DWORD, 0, HMODULE, LPWSTR, DWORD>},
        {PROBE_STUBS, WideCalls[1], (void *)Stub<1, DWORD, 0, DWORD, LPWSTR>},
        {PROBE_STUBS, WideCalls[2],
         (void *)Stub<2, HANDLE, -1, LPCWSTR, LPWIN32_FIND_DATAW>}, // INVALID_HANDLE_VALUE
        {PROBE_STUBS, WideCalls[3], (void *)Stub<3, BOOL, FALSE, HANDLE, LPWIN32_FIND_DATAW>},
        {PROBE_SYSDIR, "GetSystemDirectoryA", (void *)NoGetSystemDirectoryA},
        {PROBE_STRICT, "WideCharToMultiByte", (void *)PlayedWideCharToMultiByte},
        {PROBE_CLOUD, "FindFirstFileA", (void *)Cloud<FindFirstFileA>::Listed},
        {PROBE_CLOUD, "FindNextFileA", (void *)Cloud<FindNextFileA>::Listed},
        {PROBE_CLOUD, "FindFirstFileW", (void *)Cloud<FindFirstFileW>::Listed},
        {PROBE_CLOUD, "FindNextFileW", (void *)Cloud<FindNextFileW>::Listed},
        {PROBE_CLOUD, "GetClassFile", (void *)LogGetClassFile},
        {PROBE_NOFLAGS, "WideCharToMultiByte", (void *)PlayedWideCharToMultiByte},
        {PROBE_OEMUTF8, "WideCharToMultiByte", (void *)PlayedWideCharToMultiByte}};
    BYTE *base = (BYTE *)GetModuleHandleW(NULL);
    IMAGE_NT_HEADERS *nt = (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (IMAGE_IMPORT_DESCRIPTOR *d = (IMAGE_IMPORT_DESCRIPTOR *)(base + dir.VirtualAddress);
         dir.VirtualAddress && d->Name; d++) {
        HMODULE module = GetModuleHandleA((const char *)(base + d->Name));
        for (void **slot = (void **)(base + d->FirstThunk); *slot; slot++)
            for (const auto &hook : hooks) {
                if (!On[hook.when] || *slot != (void *)GetProcAddress(module, hook.name))
                    continue;
                DWORD old;
                VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old);
                *slot = hook.logger;
                VirtualProtect(slot, sizeof *slot, old, &old);
            }
    }
}

extern "C" __declspec(dllexport) LRESULT CALLBACK
    ProbeHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code >= 0) {
        Probe();
        ProbeBox(((MSG *)lParam)->hwnd);
        HookImports();
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}

// Loaded by the driver before the uninstaller's own code runs: its imports are hooked at once.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH && GetEnvironmentVariableW(SwitchNames[PROBE_EARLY], NULL, 0))
        HookImports();
    return TRUE;
}
