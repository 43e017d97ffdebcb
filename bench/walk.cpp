// The reference walker for the sweep benchmark: walks a folder tree once, making the calls each
// entry needs to be judged (GetClassFile on every file, IPersistFile::Load and
// IShellLinkA::GetPath on every shell link), deletes nothing, and reports how long the walk alone
// took (QueryPerformanceCounter) and what it saw, one "name value" a line.
//   walk DIR
#include "../tests/driver/protocol.h"
#include <shlobj.h>
#include <shobjidl.h>
#include <string.h>
#include <string>

static IShellLinkA *Link;
static IPersistFile *Persist;
static long Dirs, Files, Links, ProductLinks, ClassFailures, LoadFailures;

static void JudgeFile(const char *path) {
    WCHAR wide[MAX_PATH];
    CLSID clsid;
    HRESULT hr = MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH)
                     ? GetClassFile(wide, &clsid)
                     : E_INVALIDARG; // too long a path
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

static void Walk(const std::string &dir) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((dir + "\\*.*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        std::string name = data.cFileName, path = dir + "\\" + name;
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            Files++;
            JudgeFile(path.c_str());
        } else if (name != "." && name != "..") {
            Dirs++;
            Walk(path);
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
    QueryPerformanceCounter(&t0);
    Walk(argv[1]);
    QueryPerformanceCounter(&t1);
    printf("walk_ms %.3f\ndirs %ld\nfiles %ld\nlinks %ld\nproduct_links %ld\n",
           (t1.QuadPart - t0.QuadPart) * 1000.0 / f.QuadPart, Dirs, Files, Links, ProductLinks);
    printf("class_failures %ld\nload_failures %ld\n", ClassFailures, LoadFailures);
    Leave(0); // the process's end releases the shell link and COM
}
