// Resource and control IDs shared by the resource script and the code.
#pragma once

#define IDI_APPICON 101
#define IDD_UNINSTALL 102

// Progress messages go to this ID; the dialog template holds no such control.
#define IDC_PROGRESS 1000

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
