// Names that reach us through the ANSI functions. Characters the code page lacks arrive as
// look-alikes ("best fit": a fullwidth backslash becomes '\', a fullwidth dot '.'), so a name we
// did not choose may spell a path to somewhere else; such names are refused, never followed.
#include "globals.h"

// Whether text, one file name or (isPath) a full path, names what it seems to: no wildcard,
// quote, redirection, slash or control character, no colon but a drive's, no backslash inside a
// name, and no name ending in a dot or a space ("." and ".." among them), which the system would
// strip or resolve to another folder.
bool IsTrustedName(const char *text, bool isPath) {
    for (int i = 0; text[i]; i++) {
        unsigned char c = text[i];
        char next = text[i + 1];
        if (c < ' ' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|' ||
            c == '/' || (c == '\\' && !isPath) || (c == ':' && !(isPath && i == 1)))
            return false;
        if ((c == '.' || c == ' ') && (next == 0 || (isPath && next == '\\')))
            return false;
    }
    return true;
}

// Puts our own path in path and returns its length, or -1 when it was cut short or cannot be
// trusted to name this very file.
int GetOwnPath(char *path) {
    DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
    return n < MAX_PATH && IsTrustedName(path, true) ? (int)n : -1;
}
