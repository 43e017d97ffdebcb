// Names that reach us through the ANSI functions. Characters the code page lacks arrive as
// look-alikes ("best fit": a fullwidth backslash becomes '\', a fullwidth dot '.'), so a name we
// did not choose may spell a path to somewhere else; such names are refused, never followed.
// Every scan steps by characters: in the double-byte code pages (Japanese, Chinese, Korean) the
// second byte of a character may be the byte of '\' or '|', and is then neither.
#include "globals.h"

// Whether text, one file name or (isPath) a full path, names what it seems to: no wildcard,
// quote, redirection, slash or control character, no colon but a drive's, no backslash inside a
// name, and no name ending in a dot or a space ("." and ".." among them), which the system would
// strip or resolve to another folder.
bool IsTrustedName(const char *text, bool isPath) {
    for (const char *p = text; *p;) {
        // A lead byte is never one of these, and its second byte is never looked at.
        unsigned char c = *p;
        p = CharNextA(p);
        if (c < ' ' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|' ||
            c == '/' || (c == '\\' && !isPath) || (c == ':' && !(isPath && p == text + 2)))
            return false;
        if ((c == '.' || c == ' ') && (*p == 0 || (isPath && *p == '\\')))
            return false;
    }
    return true;
}

// The length of path's directory part, up to and including its last backslash; 0 without one.
int DirectoryLength(const char *path) {
    int length = 0;
    for (const char *p = path; *p; p = CharNextA(p))
        if (*p == '\\')
            length = p - path + 1;
    return length;
}

// Converts UTF-16 text to a code page without best fit. UTF-8, which Windows 10 and later can be
// set to use as the code page, spells every character but takes neither that flag nor the
// question whether one was lost; systems before Windows 2000 take no such flag at all and are
// asked plainly. Returns what WideCharToMultiByte does, or 0 when a character cannot be spelled.
int ConvertExactly(UINT codePage, const WCHAR *text, int length, char *out, int size) {
    BOOL lossy = FALSE;
    int n =
        WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text, length, out, size, NULL, &lossy);
    if (n == 0)
        n = WideCharToMultiByte(codePage, WC_ERR_INVALID_CHARS, text, length, out, size, NULL,
                                NULL);
    // Windows 95, 98 and Me may refuse a flag they do not know with another error than
    // ERROR_INVALID_FLAGS; only a buffer too small is an answer the plain call would repeat.
    if (n == 0 && GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        n = WideCharToMultiByte(codePage, 0, text, length, out, size, NULL, &lossy);
    return lossy ? 0 : n;
}

// Spells in codePage, into out (size bytes), the path in WidePath, terminated: as it is, or where
// the code page lacks one of its characters (a user name in another script, say), in its short
// form, made of the few characters a FAT directory entry allows. The path must exist for that.
// Returns the length with the terminator, or 0 when not even the short form has an exact
// spelling: best fit would hand over a look-alike, which may name another folder.
int SpellPath(UINT codePage, char *out, int size) {
    int n = ConvertExactly(codePage, WidePath, -1, out, size);
    if (n == 0) {
        // Nothing promises it on Windows 95.
        typedef DWORD(WINAPI * ShortPathName)(LPCWSTR, LPWSTR, DWORD);
        ShortPathName shortPath = (ShortPathName)FindFunction("KERNEL32", "GetShortPathNameW");
        // In place, as the function allows; without short names it gives the long path again.
        DWORD shortLen = shortPath ? shortPath(WidePath, WidePath, MAX_PATH) : 0;
        if (shortLen > 0 && shortLen < MAX_PATH)
            n = ConvertExactly(codePage, WidePath, -1, out, size);
    }
    return n;
}

// Spells in the ANSI code page, into path, the path that a wide call has left in WidePath (see
// SpellPath); result is what that call returned (a length, or non-zero for success), limit what
// path can take. Returns the length, or 0 when the call failed, the path does not fit or has no
// exact spelling. Returns -1 for the stubs of Windows 95, 98 and Me, whose ANSI functions the
// caller then asks instead: those systems convert with their own tables and have no best fit to
// fear.
int SpellExactly(DWORD result, char *path, int limit) {
    if (result == 0)
        return GetLastError() == ERROR_CALL_NOT_IMPLEMENTED ? -1 : 0;
    if (result >= (DWORD)limit)
        return 0;
    int n = SpellPath(CP_ACP, path, limit);
    return n > 0 ? n - 1 : 0;
}

// A function of a loaded system DLL that not every Windows version has, looked up rather than
// imported: an import that is missing stops the image from loading. NULL where there is none.
void *FindFunction(const char *module, const char *name) {
    return (void *)GetProcAddress(GetModuleHandleA(module), name);
}

// Puts our own path in path and returns its length, or -1 when it is not known exactly, was cut
// short or cannot be trusted to name this very file.
int GetOwnPath(char *path) {
    int n = SpellExactly(GetModuleFileNameW(NULL, WidePath, MAX_PATH), path, MAX_PATH);
    if (n < 0)
        n = GetModuleFileNameA(NULL, path, MAX_PATH);
    return n > 0 && n < MAX_PATH && IsTrustedName(path, true) ? n : -1;
}
