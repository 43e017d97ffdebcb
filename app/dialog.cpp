// The confirmation dialog: OK removes the product, Cancel, Escape and the close box leave.
#include "../remove/globals.h"
#include "../res/resource.h"
#include <commctrl.h>

// Gives the dialog class our icon and trims the system menu to what a fixed-size box needs.
static void SetUpDialog(HWND hwnd) {
    HICON icon = LoadIconA(AppInstance, MAKEINTRESOURCEA(IDI_APPICON));
    if (icon)
        SetClassLongPtrA(hwnd, GCLP_HICON, (LONG_PTR)icon);
    HMENU menu = GetSystemMenu(hwnd, FALSE);
    if (menu) {
        DeleteMenu(menu, SC_SIZE, MF_BYCOMMAND);
        DeleteMenu(menu, SC_MAXIMIZE, MF_BYCOMMAND);
    }
    SendDlgItemMessageA(hwnd, IDC_PROGRESS, PBM_SETSTEP, 16, 0);
}

INT_PTR CALLBACK UninstallDlgProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        SetUpDialog(hwnd);
        return TRUE; // focus goes to the first tab stop, OK
    case WM_COMMAND:
        // Only button clicks (notification code 0) act; other notifications are ignored.
        if (HIWORD(wParam) == 0) {
            if (LOWORD(wParam) == IDOK) {
                // The removal takes no messages until it ends, which with an antivirus scanning
                // each file the sweep opens can take many seconds: the hourglass says that work
                // goes on. It stays over the dialog, whose thread answers no WM_SETCURSOR
                // meanwhile.
                SetCursor(LoadCursorA(NULL, IDC_WAIT));
                RemoveProduct();
                DestroyWindow(hwnd);
            } else if (LOWORD(wParam) == IDCANCEL) {
                DestroyWindow(hwnd);
            }
        }
        return FALSE;
    case WM_CLOSE:
        DestroyWindow(MainDialog);
        return TRUE;
    case WM_DESTROY:
        PostQuitMessage(0);
        return TRUE;
    }
    return FALSE;
}
