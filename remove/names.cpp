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

// Puts our own path in path and returns its length, or -1 when it was cut short or cannot be
// trusted to name this very file.
int GetOwnPath(char *path) {
    DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
    return n < MAX_PATH && IsTrustedName(path, true) ? (int)n : -1;
}
