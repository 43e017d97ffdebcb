"""What the program is, as the tests and the benchmark check it: each fact defined once here."""
from pathlib import PureWindowsPath

# The i686 image's budget in bytes, 19 units of 512 (where its bytes go: docs/maintainers.md).
IMAGE_LIMIT = 9728

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


def script(exe, batch, encoding="cp437"):
    """The script's exact bytes for these paths, as the command interpreter must read them in
    the OEM code page (encoding)."""
    def spell(path):
        return str(path).replace("%", "%%").encode(encoding)
    directory = str(PureWindowsPath(exe).parent)
    return (b':Repeat\r\ndel "' + spell(exe) + b'"\r\nif exist "' + spell(exe) +
            b'" goto Repeat\r\nrmdir "' + spell(directory) + b'"\r\ndel "' + spell(batch) +
            b'"\r\n')
