// Start-up and message loop. No run-time library: the loader enters UninstallMain directly.
#include "../remove/globals.h"
#include "../res/resource.h"
#include <commctrl.h>

HWND MainDialog;
HINSTANCE AppInstance;

// Shows the confirmation dialog, pumps its messages until it is gone, then ends the process.
extern "C" void WINAPI UninstallMain() {
    // We run with administrator rights from a folder that a user may be able to write to: DLLs
    // that the shell and COM load by name come from the system folder only, where the system can
    // be told so (Windows 8 and later, Vista and 7 with the update that adds the call).
    typedef BOOL(WINAPI * SetDllDirectories)(DWORD);
    SetDllDirectories setDirectories =
        (SetDllDirectories)FindFunction("KERNEL32", "SetDefaultDllDirectories");
    if (setDirectories)
        setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // The removal runs within OK's handling and asks for no messages meanwhile: Windows XP and
    // later would call the dialog hung after five seconds of that (an antivirus scanning each
    // desktop file makes a long sweep) and let the user close it, leaving the product half
    // removed.
    typedef void(WINAPI * DisableGhosting)();
    DisableGhosting disableGhosting =
        (DisableGhosting)FindFunction("USER32", "DisableProcessWindowsGhosting");
    if (disableGhosting)
        disableGhosting();
    AppInstance = GetModuleHandleA(NULL);
    InitCommonControls();
    MainDialog =
        CreateDialogParamA(AppInstance, MAKEINTRESOURCEA(IDD_UNINSTALL), NULL, UninstallDlgProc, 0);
    if (!MainDialog) {
        MessageBoxA(NULL, "Can't create window!",
                    "Error during uninstall:", MB_OK | MB_ICONWARNING);
        ExitProcess(0);
    }
    SetWindowTextA(MainDialog, "Uninstall Tivaldor");
    ShowWindow(MainDialog, SW_SHOWDEFAULT);
    UpdateWindow(MainDialog);

    // No TranslateMessage: IsDialogMessageA turns Tab, Enter and Escape into dialog actions.
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0)) {
        if (!IsDialogMessageA(MainDialog, &msg))
            DispatchMessageA(&msg);
    }
    ExitProcess(0);
}
