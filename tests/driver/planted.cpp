// A DLL that someone could put beside the uninstaller: loaded into a process, it leaves a file
// C:\<its own file name, in lower case>.loaded, so a test can see that it ran. It exports what
// the uninstaller imports from comctl32, so that a process that takes it for comctl32 starts.
#include <windows.h>

// Takes no arguments, so the calling convention does not matter; plain C keeps the name plain.
extern "C" void InitCommonControls() {}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t path[MAX_PATH + 16] = L"C:\\", own[MAX_PATH];
        GetModuleFileNameW(instance, own, MAX_PATH);
        CharLowerW(lstrcatW(lstrcatW(path, wcsrchr(own, L'\\') + 1), L".loaded"));
        CloseHandle(CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    }
    return TRUE;
}
