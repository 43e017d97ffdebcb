// Self-deletion: a running program cannot delete its own file, so a hidden batch script retries
// the deletion until we have exited, then removes the install directory and itself.
#include "globals.h"

// The script's lines are the interpreter's own commands (del, if, goto, rmdir) and start nothing
// by name: it runs in the temporary folder, where anyone may have put a program (keep it so).
static const char ScriptStart[] = ":Repeat\r\ndel \"";
static const char ScriptLoop[] = "\"\r\nif exist \"";
static const char ScriptRmdir[] = "\" goto Repeat\r\nrmdir \"";
// Ends line 4 and starts line 5; its first three characters end line 5, and its last alone is
// the current directory of a script that the system starts.
static const char ScriptDel[] = "\"\r\ndel \"\\";
// The interpreter's command line: no AutoRun commands of the user's, no delayed expansion (which
// would eat every '!'), and the script by its name in the current directory, its folder. No path
// is parsed as a command, so no folder's name can break it: not with spaces, '&', '(', ')', '^'
// or '!', nor with a variable's name between two '%', which the interpreter would expand there.
// The ".\" lets no search path find another file. Its last quote and terminator also close the
// path where the system starts the script, quoted alone.
static const char CommandLine[] = "cmd /d /v:off /s /c \".\\Tivaldor.bat\"";

// A path in the OEM code page: up to three bytes for each of its UTF-16 characters, where that
// code page is UTF-8 (and the ANSI one may spell the same path in one byte a character).
static char OemBuffer[3 * MAX_PATH];
// The script's text: its literals, the script's own name and four paths, each of which may
// double in length when its '%' signs are escaped.
static char Script[sizeof ScriptStart + sizeof ScriptLoop + sizeof ScriptRmdir +
                   2 * sizeof ScriptDel + sizeof "\\Tivaldor.bat" + 4 * 2 * sizeof OemBuffer];
static int ScriptLen;
// The script's start-up record, filled in when it is started: zeroes cost no bytes in the image.
static STARTUPINFOA Startup;
static PROCESS_INFORMATION ScriptProcess;

// Appends len bytes of text to the script.
static void Append(const char *text, int len) {
    for (int i = 0; i < len; i++)
        Script[ScriptLen++] = text[i];
}

// Appends len bytes of path as the command interpreter must read it: in the OEM code page, with
// each '%' doubled. Where that code page lacks one of its characters (OEM code page 437 has
// no a with a tilde, which ANSI code page 1252 has), the path's short form is taken, which it
// spells. Fails when not even that is spelled exactly: a '?' in a character's place would be a
// wildcard to del. The path must exist.
static bool AppendPath(const char *path, int len) {
    WidePath[MultiByteToWideChar(CP_ACP, 0, path, len, WidePath, MAX_PATH - 1)] = 0;
    int oemLen = SpellPath(CP_OEMCP, OemBuffer, sizeof OemBuffer) - 1;
    // Byte by byte: no double-byte code page has '%' as the second byte of a character.
    for (int i = 0; i < oemLen; i++) {
        if (OemBuffer[i] == '%')
            Script[ScriptLen++] = '%';
        Script[ScriptLen++] = OemBuffer[i];
    }
    return oemLen > 0 || len == 0;
}

// Builds the script text in Script from our own path in SearchPath (m characters) and the
// script's path in TargetPath, whose folder takes its first n characters.
static bool BuildScript(int m, int n) {
    int k = DirectoryLength(SearchPath);
    if (k > 0)
        k--; // the directory without its last backslash
    ScriptLen = 0;
    Append(ScriptStart, sizeof ScriptStart - 1);
    bool ok = AppendPath(SearchPath, m);
    Append(ScriptLoop, sizeof ScriptLoop - 1);
    ok &= AppendPath(SearchPath, m);
    Append(ScriptRmdir, sizeof ScriptRmdir - 1);
    ok &= AppendPath(SearchPath, k);
    Append(ScriptDel, sizeof ScriptDel - 2);
    // The script does not exist yet and has no short form: its folder's is asked for, and its
    // name, "\Tivaldor.bat", is spelled alike in every code page.
    ok &= AppendPath(TargetPath, n - 1);
    Append(TargetPath + n - 1, sizeof "\\Tivaldor.bat" - 1);
    Append(ScriptDel, 3);
    return ok;
}

void LaunchSelfDelete() {
    // The script's path: the temporary directory plus "Tivaldor.bat", all within MAX_PATH.
    int n = SpellExactly(GetTempPathW(MAX_PATH - 13, WidePath), TargetPath, MAX_PATH - 13);
    // Windows 95, 98 and Me, whose wide calls are stubs, have no cmd.exe to start it with.
    bool windows9x = n < 0;
    if (windows9x)
        n = GetTempPathA(MAX_PATH - 13, TargetPath);
    if (n <= 0 || n >= MAX_PATH - 13 || !IsTrustedName(TargetPath, true))
        return;
    lstrcpyA(TargetPath + n, "Tivaldor.exe");
    lstrcpyA(TargetPath + n + 9, "bat");

    int m = GetOwnPath(SearchPath);
    if (m <= 0 || !BuildScript(m, n))
        return;

    // A file of that name that someone else made keeps its owner's rights, or is a link to
    // another file: it goes, and the script is a new file of ours or is not written at all.
    // One that another copy of us has just written and started may still be open in its
    // interpreter, which keeps the name taken until it lets go: then the name is waited for,
    // two seconds at most, and this copy's script, the same text, does the whole job.
    bool deleted = DeleteFileA(TargetPath);
    HANDLE file;
    for (int wait = 0; (file = CreateFileA(TargetPath, GENERIC_WRITE, 0, NULL, CREATE_NEW,
                                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                                           NULL)) == INVALID_HANDLE_VALUE;
         wait++) {
        if (!deleted || wait == 40)
            return;
        Sleep(50);
    }
    DWORD written;
    WriteFile(file, Script, ScriptLen, &written, NULL);
    CloseHandle(file);

    // A read-only file would keep the script retrying forever; the file goes in any case.
    SetFileAttributesA(SearchPath, FILE_ATTRIBUTE_NORMAL);

    // The system folder's cmd.exe, started by name (in SearchPath, free now) with switches of our
    // own: the system, starting the script itself, would let cmd.exe run the user's AutoRun
    // commands first and take the user's choice of delayed expansion. Its current directory is
    // the temporary folder with its backslash (at a drive's root "C:\", as "C:" would be that
    // drive's current directory). That opens no door where every user may write (C:\Windows\Temp,
    // ours when we run as SYSTEM): the script starts nothing by name, and cmd.exe's DLLs are in
    // its own folder, the system folder, which the loader searches before the current directory.
    // Where the system folder is not known, and on Windows 95, 98 and Me, the system starts the
    // script: the path alone, quoted, so that a path with spaces cannot start some other program,
    // in the root of the current drive.
    const char *interpreter = NULL, *directory = ScriptDel + sizeof ScriptDel - 2;
    int from = sizeof CommandLine - 2, quotes = 1, named = n + sizeof "Tivaldor.bat" - 1;
    UINT k = windows9x ? 0 : GetSystemDirectoryA(SearchPath, MAX_PATH - 8);
    if (k > 0 && k < MAX_PATH - 8) {
        lstrcpyA(SearchPath + k, "\\cmd.exe");
        interpreter = SearchPath;
        from = quotes = named = 0;
        TargetPath[n] = 0;
        directory = TargetPath;
    }
    ScriptLen = 0;
    Append(CommandLine + from, sizeof CommandLine - 1 - from);
    Append(TargetPath, named);
    Append(CommandLine + sizeof CommandLine - 1 - quotes, quotes + 1); // with its terminator

    // The script's console window stays hidden (SW_HIDE is 0).
    Startup.cb = sizeof Startup;
    Startup.dwFlags = STARTF_USESHOWWINDOW;
    if (!CreateProcessA(interpreter, Script, NULL, NULL, FALSE,
                        CREATE_SUSPENDED | IDLE_PRIORITY_CLASS, NULL, directory, &Startup,
                        &ScriptProcess))
        return;
    // The script idles while we finish at top priority, so it rarely retries for long.
    SetThreadPriority(ScriptProcess.hThread, THREAD_PRIORITY_IDLE);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    CloseHandle(ScriptProcess.hProcess);
    ResumeThread(ScriptProcess.hThread);
    CloseHandle(ScriptProcess.hThread);
}
