// The removal sequence run when the user presses OK: registry keys, product files, shortcuts.
#include "globals.h"
#include "../res/resource.h"
#include <commctrl.h>

char TargetPath[MAX_PATH];
char SearchPath[MAX_PATH];
IShellLinkA *ShellLink;
// A path in UTF-16: as the system gives it, or as the shell is handed it.
WCHAR WidePath[MAX_PATH];

static const char UninstallKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tivaldor";
static const char ProductExe[] = "Tivaldor.exe";
static const char CantDelete[] = "Can't delete the file named:";

// Where "App Paths\" goes in a copy of UninstallKey: just after "CurrentVersion\".
#define APP_PATHS_AT 42
// Where the three-letter extension of a product file name starts: after "Tivaldor.".
#define EXTENSION_AT 9

// Advances the progress control by one stage.
static void StepProgress() {
    SendDlgItemMessageA(MainDialog, IDC_PROGRESS, PBM_STEPIT, 0, 0);
}

// Deletes the file named by TargetPath; a file that is already gone is no failure.
void DeleteTargetFile() {
    if (!DeleteFileA(TargetPath) && GetLastError() != ERROR_FILE_NOT_FOUND)
        MessageBoxA(MainDialog, TargetPath, CantDelete, MB_OK | MB_ICONWARNING);
}

// Deletes the product's key under Uninstall and its App Paths key.
static void DeleteRegistryKeys() {
    char appPathsKey[sizeof UninstallKey + 8];
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, UninstallKey);
    lstrcpyA(appPathsKey, UninstallKey);
    lstrcpyA(appPathsKey + APP_PATHS_AT, "App Paths\\");
    lstrcpyA(appPathsKey + lstrlenA(appPathsKey), ProductExe);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, appPathsKey);
}

// Fills TargetPath with our own path and returns the length of its directory part, backslash
// included, or -1 when the path cannot be trusted (see GetOwnPath) or the product's names would
// not fit after it.
static int FindInstallDirectory() {
    if (GetOwnPath(TargetPath) < 0)
        return -1;
    int dirLen = DirectoryLength(TargetPath);
    if (dirLen + (int)sizeof ProductExe > MAX_PATH)
        return -1;
    return dirLen;
}

// Puts the path of the desktop folder named by idList in SearchPath and returns its length; 0
// when it is not known exactly. Windows 95 has no wide function to ask and no best fit to fear.
static int GetDesktopPath(LPITEMIDLIST idList) {
    typedef BOOL(WINAPI * WidePathFromIDList)(LPCITEMIDLIST, LPWSTR);
    WidePathFromIDList wide = (WidePathFromIDList)FindFunction("SHELL32", "SHGetPathFromIDListW");
    int n = wide ? SpellExactly(wide(idList, WidePath), SearchPath, MAX_PATH) : -1;
    if (n < 0) {
        SearchPath[0] = 0;
        SHGetPathFromIDListA(idList, SearchPath);
        n = lstrlenA(SearchPath);
    }
    return n;
}

// Deletes the desktop shortcuts to the product's executable and help file. Skipped without a
// word when COM, the shell or the desktop folder is not available.
static void RemoveShortcuts(int dirLen) {
    if (CoInitialize(NULL) != S_OK)
        return;
    IMalloc *allocator;
    if (SHGetMalloc(&allocator) >= 0) {
        LPITEMIDLIST idList;
        if (SHGetSpecialFolderLocation(MainDialog, CSIDL_DESKTOPDIRECTORY, &idList) == S_OK) {
            int folderLen = GetDesktopPath(idList);
            allocator->Free(idList);
            // A drive root ends in a backslash of its own, never in the second byte of a
            // character: the sweep adds its own backslash.
            if (folderLen > 0 && DirectoryLength(SearchPath) == folderLen)
                SearchPath[--folderLen] = 0;
            // An empty path would make the sweep start at the root of the current drive.
            if (folderLen > 0 && CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER,
                                                  IID_IShellLinkA, (void **)&ShellLink) == S_OK) {
                SweepShortcuts(folderLen, SWEEP_KEPT);
                StepProgress();
                lstrcpyA(TargetPath + dirLen + EXTENSION_AT, "hlp");
                SweepShortcuts(folderLen, SWEEP_KEPT);
                StepProgress();
                ShellLink->Release();
            }
        }
        allocator->Release();
    }
    CoUninitialize();
}

// Names the product file with the given extension in TargetPath and deletes it.
static void DeleteProductFile(int dirLen, const char *extension) {
    lstrcpyA(TargetPath + dirLen + EXTENSION_AT, extension);
    DeleteTargetFile();
}

// A sync client's files and folders are shown as what they are only to a program that asks
// (Windows 10 1803 and later): otherwise a file kept only in the cloud may look like a plain one,
// which a look at its first bytes would download. Elsewhere there is nothing to ask.
static void ExposePlaceholders() {
    typedef char(NTAPI * PlaceholderMode)(char);
    PlaceholderMode setMode =
        (PlaceholderMode)FindFunction("NTDLL", "RtlSetProcessPlaceholderCompatibilityMode");
    if (setMode)
        setMode(2); // PHCM_EXPOSE_PLACEHOLDERS
}

// Removes the product, stage by stage; no failure stops a later stage. Without our own path the
// install directory is unknown and nothing can go: the keys stay, so that the product is still
// listed, and the user is told which file could not be deleted.
void RemoveProduct() {
    int dirLen = FindInstallDirectory();
    if (dirLen < 0) {
        MessageBoxA(MainDialog, ProductExe, CantDelete, MB_OK | MB_ICONWARNING);
        return;
    }
    ExposePlaceholders();
    DeleteRegistryKeys();
    lstrcpyA(TargetPath + dirLen, ProductExe);
    DeleteTargetFile();
    StepProgress();
    RemoveShortcuts(dirLen);
    DeleteProductFile(dirLen, "hlp");
    StepProgress();
    DeleteProductFile(dirLen, "gid"); // the help system's by-products: no progress step of its own
    DeleteProductFile(dirLen, "cnt");
    StepProgress();
    LaunchSelfDelete();
    StepProgress();
}
