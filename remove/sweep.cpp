// The shortcut sweep: a depth-first walk of the desktop that deletes shortcuts to the product
// and removes the folders that held nothing else. All levels share one set of static buffers.
#include "globals.h"

// What a sync client's placeholder for a file kept only in the cloud shows in a listing: offline,
// recall on open (0x40000) or recall on data access (0x400000). Windows 95 and NT 4 set none.
#define CLOUD_ATTRIBUTES (FILE_ATTRIBUTE_OFFLINE | 0x40000 | 0x400000)

static WIN32_FIND_DATAA FindData;
static CLSID FileClassId;

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

unsigned char SweepShortcuts(int dirLen, unsigned char inherited) {
    // The folder's path and its "\*.*" pattern must fit; a folder too deep to list is kept.
    if (dirLen + 5 > MAX_PATH)
        return inherited | SWEEP_KEPT;
    lstrcpyA(SearchPath + dirLen, "\\*.*");
    unsigned char result = inherited;
    HANDLE find = FindFirstFileA(SearchPath, &FindData);
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
            // Too long to name, a junction or link that may lead out of the tree, or a file that
            // lives in the cloud, which a look at its first bytes would download: kept.
            if (pathLen >= MAX_PATH ||
                (attributes & (isDir ? FILE_ATTRIBUTE_REPARSE_POINT : CLOUD_ATTRIBUTES))) {
                result |= SWEEP_KEPT;
                continue;
            }
            SearchPath[dirLen] = '\\';
            lstrcpyA(SearchPath + dirLen + 1, name);
            result |= isDir ? SweepShortcuts(pathLen, 0) : SweepFile();
        } while (FindNextFileA(find, &FindData));
        FindClose(find);
    }
    if (result == SWEEP_REMOVED) {
        SearchPath[dirLen] = 0;
        RemoveDirectoryA(SearchPath); // fails, as it should, unless the folder is now empty
    }
    return result;
}
