// Reference walkers for the sweep benchmark: each walks a folder tree once and reports how long
// the walk alone took (QueryPerformanceCounter), without changing anything.
//   walk list DIR    only lists the tree: FindFirstFileA/FindNextFileA recursion
//   walk calls DIR   also makes the calls each entry needs to be judged: GetClassFile on every
//                    file, IPersistFile::Load and IShellLinkA::GetPath on every shell link
#include "../tests/driver/protocol.h"
#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static bool Calls;
static IShellLinkA *Link;
static IPersistFile *Persist;
static char Path[MAX_PATH];
static long Dirs, Files, Links, Targets[2], ClassFailures, LoadFailures;

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
        name = name ? name + 1 : target;
        Targets[lstrcmpiA(name, "Tivaldor.exe") == 0]++;
    } else
        LoadFailures++;
}

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
        if (isDir && name[0] == '.' && (name[1] == 0 || name[1] == '.'))
            continue;
        int pathLen = len + 1 + lstrlenA(name);
        if (pathLen >= MAX_PATH)
            continue;
        Path[len] = '\\';
        lstrcpyA(Path + len + 1, name);
        if (isDir) {
            Dirs++;
            Walk(pathLen);
        } else {
            Files++;
            if (Calls)
                JudgeFile();
        }
    } while (FindNextFileA(find, &data));
    FindClose(find);
}

int main(int argc, char **argv) {
    Announce("walk");
    if (argc != 3 || (strcmp(argv[1], "list") && strcmp(argv[1], "calls"))) {
        printf("error usage: walk list|calls DIR\n");
        Leave(2);
    }
    Calls = !strcmp(argv[1], "calls");
    CoInitialize(NULL);
    if (CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                         (void **)&Link) != S_OK ||
        Link->QueryInterface(IID_IPersistFile, (void **)&Persist) != S_OK) {
        printf("error shell link\n");
        Leave(2);
    }
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    lstrcpynA(Path, argv[2], MAX_PATH);
    int len = lstrlenA(Path);
    QueryPerformanceCounter(&t0);
    Walk(len);
    QueryPerformanceCounter(&t1);
    printf("walk_ms %.3f\n", (t1.QuadPart - t0.QuadPart) * 1000.0 / f.QuadPart);
    printf("dirs %ld\nfiles %ld\nlinks %ld\nproduct_links %ld\nother_links %ld\n", Dirs, Files,
           Links, Targets[1], Targets[0]);
    printf("class_failures %ld\nload_failures %ld\n", ClassFailures, LoadFailures);
    Persist->Release();
    Link->Release();
    CoUninitialize();
    Leave(0);
}
