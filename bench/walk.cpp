// The reference walker for the sweep benchmark: walks a folder tree once, making the calls each
// entry needs to be judged (GetClassFile on every file, IPersistFile::Load and
// IShellLinkA::GetPath on every shell link), deletes nothing, and reports how long the walk alone
// took (QueryPerformanceCounter) and what it saw, one "name value" a line.
//   walk DIR
#include "../tests/driver/protocol.h"
#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <stdio.h>
#include <string.h>

static IShellLinkA *Link;
static IPersistFile *Persist;
static char Path[MAX_PATH];
static long Dirs, Files, Links, ProductLinks, ClassFailures, LoadFailures;

static void JudgeFile() {
    WCHAR wide[MAX_PATH];
    CLSID clsid;
    MultiByteToWideChar(CP_ACP, 0, Path, -1, wide, MAX_PATH);
    HRESULT hr = GetClassFile(wide, &clsid);
    if (hr != S_OK && hr != MK_E_INVALIDEXTENSION)
        ClassFailures++;
    if (hr != S_OK || !IsEqualCLSID(clsid, CLSID_ShellLink))
        return;
    Links++;
    char target[MAX_PATH];
    WIN32_FIND_DATAA data;
    if (Persist->Load(wide, STGM_READ) == S_OK &&
        Link->GetPath(target, MAX_PATH, &data, SLGP_UNCPRIORITY) == S_OK) {
        const char *name = strrchr(target, '\\');
        ProductLinks += lstrcmpiA(name ? name + 1 : target, "Tivaldor.exe") == 0;
    } else
        LoadFailures++;
}

// Walks the folder Path names, len characters long.
static void Walk(int len) {
    if (len + 5 > MAX_PATH)
        return;
    lstrcpyA(Path + len, "\\*.*");
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(Path, &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        const char *name = data.cFileName;
        bool isDir = data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
        int pathLen = len + 1 + lstrlenA(name);
        if ((isDir && name[0] == '.' && (name[1] == 0 || name[1] == '.')) || pathLen >= MAX_PATH)
            continue;
        lstrcpyA(Path + len + 1, name);
        Path[len] = '\\';
        if (isDir) {
            Dirs++;
            Walk(pathLen);
        } else {
            Files++;
            JudgeFile();
        }
    } while (FindNextFileA(find, &data));
    FindClose(find);
}

int main(int argc, char **argv) {
    Announce("walk");
    CoInitialize(NULL);
    if (argc != 2 ||
        CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                         (void **)&Link) != S_OK ||
        Link->QueryInterface(IID_IPersistFile, (void **)&Persist) != S_OK) {
        printf("error %s\n", argc != 2 ? "usage: walk DIR" : "shell link");
        Leave(2);
    }
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    lstrcpynA(Path, argv[1], MAX_PATH);
    QueryPerformanceCounter(&t0);
    Walk(lstrlenA(Path));
    QueryPerformanceCounter(&t1);
    printf("walk_ms %.3f\ndirs %ld\nfiles %ld\nlinks %ld\nproduct_links %ld\n",
           (t1.QuadPart - t0.QuadPart) * 1000.0 / f.QuadPart, Dirs, Files, Links, ProductLinks);
    printf("class_failures %ld\nload_failures %ld\n", ClassFailures, LoadFailures);
    Persist->Release();
    Link->Release();
    CoUninitialize();
    Leave(0);
}
