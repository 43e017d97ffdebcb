// The shortcut sweep: a depth-first walk of the desktop that deletes shortcuts to the product
// and removes the folders that held nothing else. All levels share one set of static buffers.
#include "globals.h"

// What a sync client's placeholder for a file kept only in the cloud shows in a listing: offline,
// recall on open or recall on data access. Windows 95 and NT 4 set none.
#define RECALL_ON_OPEN 0x40000
#define CLOUD_ATTRIBUTES (FILE_ATTRIBUTE_OFFLINE | RECALL_ON_OPEN | 0x400000)
// The reparse tags of a sync client's files and folders (0x9000001A with any of 16 flag values).
#define CLOUD_TAG 0x9000001A
#define CLOUD_TAG_MASK 0xFFFF0FFF

static WIN32_FIND_DATAA FindData;
static WIN32_FIND_DATAW WideData;
static CLSID FileClassId;
// Windows 95, 98 and Me list folders only in ANSI: their FindFirstFileW is a stub. Learned from
// the first listing, so that every other folder is listed in one call.
static bool AnsiListing;

// Compares two class IDs in full, without pulling memcmp from a run-time library.
static bool SameClassId(const CLSID &a, const CLSID &b) {
    const DWORD *x = (const DWORD *)&a, *y = (const DWORD *)&b;
    return x[0] == y[0] && x[1] == y[1] && x[2] == y[2] && x[3] == y[3];
}

// Examines the file named by SearchPath: a shell link whose target is TargetPath is deleted and
// counts as removed; anything else counts as kept.
static unsigned char SweepFile() {
    MultiByteToWideChar(CP_ACP, 0, SearchPath, -1, WidePath, MAX_PATH);
    if (GetClassFile(WidePath, &FileClassId) != S_OK || !SameClassId(FileClassId, CLSID_ShellLink))
        return SWEEP_KEPT;
    IPersistFile *persist;
    if (ShellLink->QueryInterface(IID_IPersistFile, (void **)&persist) != S_OK)
        return SWEEP_KEPT;
    unsigned char result = SWEEP_KEPT;
    char *target = (char *)WidePath; // the wide path is no longer needed once the link is loaded
    if (persist->Load(WidePath, STGM_READ) == S_OK &&
        ShellLink->GetPath(target, sizeof WidePath, &FindData, SLGP_UNCPRIORITY) == S_OK &&
        lstrcmpiA(target, TargetPath) == 0) {
        result = SWEEP_REMOVED;
        DeleteFileA(SearchPath);
    }
    persist->Release();
    return result;
}

// Moves an entry of the UTF-16 listing into FindData, its name spelled exactly in the ANSI code
// page: the long name, else the short one from the same record. A name with neither is spelled
// "?", as the ANSI listing would, and the walk keeps what it names.
static void SpellEntry() {
    FindData.dwFileAttributes = WideData.dwFileAttributes;
    FindData.dwReserved0 = WideData.dwReserved0;
    char *name = FindData.cFileName;
    if (!ConvertExactly(CP_ACP, WideData.cFileName, -1, name, MAX_PATH) &&
        ConvertExactly(CP_ACP, WideData.cAlternateFileName, -1, name, MAX_PATH) <= 1)
        lstrcpyA(name, "?");
}

// Lists the folder whose pattern is in SearchPath: on Windows NT and later in UTF-16, so that
// no name comes by best fit. Returns the listing's handle, its first entry in FindData.
static HANDLE FindFirstEntry() {
    if (!AnsiListing) {
        MultiByteToWideChar(CP_ACP, 0, SearchPath, -1, WidePath, MAX_PATH);
        HANDLE find = FindFirstFileW(WidePath, &WideData);
        if (find != INVALID_HANDLE_VALUE)
            SpellEntry();
        if (find != INVALID_HANDLE_VALUE || GetLastError() != ERROR_CALL_NOT_IMPLEMENTED)
            return find;
        AnsiListing = true;
    }
    return FindFirstFileA(SearchPath, &FindData);
}

// The listing's next entry in FindData; false after the last.
static bool FindNextEntry(HANDLE find) {
    if (AnsiListing)
        return FindNextFileA(find, &FindData);
    if (!FindNextFileW(find, &WideData))
        return false;
    SpellEntry();
    return true;
}

unsigned char SweepShortcuts(int dirLen, unsigned char inherited) {
    // The folder's path and its "\*.*" pattern must fit; a folder too deep to list is kept.
    if (dirLen + 5 > MAX_PATH)
        return inherited | SWEEP_KEPT;
    lstrcpyA(SearchPath + dirLen, "\\*.*");
    unsigned char result = inherited;
    HANDLE find = FindFirstEntry();
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const char *name = FindData.cFileName;
            int nameLen = lstrlenA(name);
            DWORD attributes = FindData.dwFileAttributes;
            bool isDir = attributes & FILE_ATTRIBUTE_DIRECTORY;
            if (isDir && name[0] == '.' && (name[1] == 0 || name[1] == '.'))
                continue; // the folder itself and its parent
            if (!IsTrustedName(name, false)) {
                result |= SWEEP_KEPT; // best fit may have made it a path out of the tree
                continue;
            }
            int pathLen = dirLen + 1 + nameLen;
            // Kept unread: what is too long to name; a file that lives in the cloud, which a
            // look at its first bytes would download; a folder whose listing would be fetched
            // from the cloud, and a junction or link that may lead out of the tree. A sync
            // client's own folders are reparse points too, and are entered.
            bool unread = isDir ? (attributes & RECALL_ON_OPEN) ||
                                      ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                                       (FindData.dwReserved0 & CLOUD_TAG_MASK) != CLOUD_TAG)
                                : attributes & CLOUD_ATTRIBUTES;
            if (pathLen >= MAX_PATH || unread) {
                result |= SWEEP_KEPT;
                continue;
            }
            SearchPath[dirLen] = '\\';
            lstrcpyA(SearchPath + dirLen + 1, name);
            result |= isDir ? SweepShortcuts(pathLen, 0) : SweepFile();
        } while (FindNextEntry(find));
        FindClose(find);
    }
    if (result == SWEEP_REMOVED) {
        SearchPath[dirLen] = 0;
        RemoveDirectoryA(SearchPath); // fails, as it should, unless the folder is now empty
    }
    return result;
}
