// State shared by the dialog and the removal engine: a few static buffers instead of a heap.
#pragma once

#include <windows.h>
// <shobjidl.h> names the link coclass ShellLink; that name is our global's.
#define ShellLink ShellLinkCoclass
#include <shlobj.h>
#undef ShellLink

// <windows.h> maps SearchPath to SearchPathA; here it is our buffer.
#undef SearchPath

// Bits of a sweep result.
#define SWEEP_REMOVED 0x01 // a matching shortcut was deleted in this folder or below
#define SWEEP_KEPT 0x80    // something else stays in this folder or below

extern HWND MainDialog;
extern HINSTANCE AppInstance;
extern char TargetPath[MAX_PATH];
extern char SearchPath[MAX_PATH];
extern IShellLinkA *ShellLink;
extern WCHAR WidePath[MAX_PATH];

INT_PTR CALLBACK UninstallDlgProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
void RemoveProduct();
void DeleteTargetFile();
unsigned char SweepShortcuts(int dirLen, unsigned char inherited);
void LaunchSelfDelete();
bool IsTrustedName(const char *text, bool isPath);
int DirectoryLength(const char *path);
int ConvertExactly(UINT codePage, const WCHAR *text, int length, char *out, int size);
int SpellPath(UINT codePage, char *out, int size);
int SpellExactly(DWORD result, char *path, int limit);
int GetOwnPath(char *path);
void *FindFunction(const char *module, const char *name);
