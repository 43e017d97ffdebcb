// Loaded into the uninstaller by a message hook: reads what only its own process can see (the
// dialog's class icon and system menu) and leaves the answer in a window property.
#include <windows.h>

// Bits of the answer stored in the "ProbeResult" property of the dialog.
enum {
    PROBE_DONE = 1,
    PROBE_ICON = 2,
    PROBE_SIZE = 4,
    PROBE_MAXIMIZE = 8,
    PROBE_MOVE = 16,
    PROBE_CLOSE = 32,
    PROBE_MINIMIZE = 64
};

static bool HasItem(HMENU menu, UINT id) {
    return GetMenuState(menu, id, MF_BYCOMMAND) != (UINT)-1;
}

static void Probe() {
    HWND dialog = FindWindowW(NULL, L"Uninstall Tivaldor");
    if (!dialog || GetPropW(dialog, L"ProbeResult"))
        return;
    UINT_PTR result = PROBE_DONE;
    HICON icon = (HICON)GetClassLongPtrW(dialog, GCLP_HICON);
    if (icon) {
        result |= PROBE_ICON;
        ICONINFO info;
        BITMAP bitmap;
        if (GetIconInfo(icon, &info)) {
            if (GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap))
                result |= (UINT_PTR)(bitmap.bmWidth & 0xFF) << 8;
            DeleteObject(info.hbmColor);
            DeleteObject(info.hbmMask);
        }
    }
    HMENU menu = GetSystemMenu(dialog, FALSE);
    if (menu) {
        result |= HasItem(menu, SC_SIZE) ? PROBE_SIZE : 0;
        result |= HasItem(menu, SC_MAXIMIZE) ? PROBE_MAXIMIZE : 0;
        result |= HasItem(menu, SC_MOVE) ? PROBE_MOVE : 0;
        result |= HasItem(menu, SC_CLOSE) ? PROBE_CLOSE : 0;
        result |= HasItem(menu, SC_MINIMIZE) ? PROBE_MINIMIZE : 0;
    }
    SetPropW(dialog, L"ProbeResult", (HANDLE)result);
}

extern "C" __declspec(dllexport) LRESULT CALLBACK
    ProbeHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code >= 0)
        Probe();
    return CallNextHookEx(NULL, code, wParam, lParam);
}
