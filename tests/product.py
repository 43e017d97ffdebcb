"""What the program is, as the tests and the benchmark check it: each fact defined once here."""
from pathlib import PureWindowsPath

# The i686 image's budget in bytes, 19 units of 512 (where its bytes go: docs/maintainers.md).
IMAGE_LIMIT = 9728

# The window title, which app/main.cpp sets: the dialog template's caption is empty.
TITLE = "Uninstall Tivaldor"
# The dialog template's ID (IDD_UNINSTALL) and style in res/uninstall.rc: WS_VISIBLE |
# WS_CLIPCHILDREN | WS_CAPTION | WS_SYSMENU | DS_CENTER | DS_SETFOREGROUND | DS_NOIDLEMSG |
# DS_SETFONT | DS_3DLOOK.
DIALOG_ID = 102
DIALOG_STYLE = 0x12C80B44
# The dialog's three static lines, top to bottom.
DIALOG_TEXTS = ["Click on OK to uninstall the Tivaldor",
                "program. This will remove all files from your", "computer."]

# The version block: the file and product version, then its strings (US English, UTF-16).
VERSION = (1, 5, 0, 0)
PRODUCT_NAME = "Tivaldor Uninstall"
VERSION_STRINGS = {
    "CompanyName": "", "FileDescription": "Uninstalls the Tivaldor program",
    "FileVersion": ", ".join(map(str, VERSION)), "InternalName": "KESTRUNE",
    "OriginalFilename": "KESTRUNE.EXE", "ProductName": PRODUCT_NAME,
    "ProductVersion": ", ".join(map(str, VERSION))}

INSTALL_DIR = r"C:\Program Files\Tivaldor"
PRODUCT_FILES = ("Tivaldor.exe", "Tivaldor.hlp", "Tivaldor.gid", "Tivaldor.cnt")
UNINSTALL_KEY = r"SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Tivaldor"
APP_PATHS_KEY = r"SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\Tivaldor.exe"
# Where the tests install it: the uninstaller, and the two files its shortcuts may point at.
UNINSTALLER = PureWindowsPath(INSTALL_DIR, "KESTRUNE.EXE")
PRODUCT_EXE = PureWindowsPath(INSTALL_DIR, "Tivaldor.exe")
PRODUCT_HLP = PureWindowsPath(INSTALL_DIR, "Tivaldor.hlp")

# How the uninstaller starts its script: created suspended at idle priority, resumed only once
# the uninstaller has raised its own priority (the probe's log of those calls).
CREATE_SUSPENDED, IDLE_PRIORITY_CLASS, HIGH_PRIORITY_CLASS = 0x4, 0x40, 0x80
THREAD_PRIORITY_IDLE, THREAD_PRIORITY_TIME_CRITICAL = -15, 15
STARTED = [("CreateProcessA", CREATE_SUSPENDED | IDLE_PRIORITY_CLASS),
           ("SetThreadPriority", THREAD_PRIORITY_IDLE),
           ("SetThreadPriority", THREAD_PRIORITY_TIME_CRITICAL),
           ("SetPriorityClass", HIGH_PRIORITY_CLASS), ("ResumeThread", 0)]

# What the probe, there from the start, logs of the program's own start: the look-up of the call
# that keeps Windows from ghosting a window that seems hung, the call (with the number of windows
# the program's thread has by then: none), and the dialog's creation (template 102).
GHOSTING_OFF = [("GetProcAddress", "DisableProcessWindowsGhosting"),
                ("DisableProcessWindowsGhosting", 0), ("CreateDialogParamA", 102)]


# What the probe logs of OK's handling up to the removal's first change: the wait cursor (IDC_WAIT)
# loaded and set, once, then the product's keys deleted (the files go after them).
IDC_WAIT = 32514
CONFIRMED = [("LoadCursorA", IDC_WAIT), ("SetCursor", IDC_WAIT), ("RegDeleteKeyA", UNINSTALL_KEY),
             ("RegDeleteKeyA", APP_PATHS_KEY)]


def script(exe, batch, encoding="cp437"):
    """The script's exact bytes for these paths, as the command interpreter must read them in
    the OEM code page (encoding)."""
    def spell(path):
        return str(path).replace("%", "%%").encode(encoding)
    directory = str(PureWindowsPath(exe).parent)
    return (b':Repeat\r\ndel "' + spell(exe) + b'"\r\nif exist "' + spell(exe) +
            b'" goto Repeat\r\nrmdir "' + spell(directory) + b'"\r\ndel "' + spell(batch) +
            b'"\r\n')


def command(batch):
    """How the system folder's cmd.exe starts the script at batch (Windows NT and later): the
    command line, with no AutoRun commands, no delayed expansion and no path, the script named in
    the current directory; and that directory, the script's folder with its backslash."""
    folder = str(PureWindowsPath(batch).parent)
    return r'cmd /d /v:off /s /c ".\Tivaldor.bat"', folder.rstrip("\\") + "\\"


def system_command(batch):
    """How the system starts the script at batch, with no program named (on Windows 95, 98 and Me,
    or without a system folder): the command line, the quoted path alone; and the current
    directory, the root of the current drive."""
    return f'"{batch}"', "\\"
