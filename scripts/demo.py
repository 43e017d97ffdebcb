#!/usr/bin/env python3
"""Demonstrates the uninstaller in a throwaway Wine sandbox: installs the product, shows the
dialog (saved as a screenshot), presses OK and prints what existed before and what is left."""
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import product  # noqa: E402
import winebox  # noqa: E402

OUT = winebox.BUILD.parent / "demo"
# Wine's own fonts (Debian's fonts-wine). Debian 12's Wine does not find them where the package
# puts them, and without Marlett the caption buttons come out as letters ("r" for the close box).
# Installed in the sandbox's C:\windows\Fonts, where Windows keeps them too.
WINE_FONTS = Path("/usr/share/wine/fonts")
FRAME_FONTS = ("marlett.ttf", "tahoma.ttf", "tahomabd.ttf")


def show(box, title):
    print(f"--- {title}")
    # The uninstaller is a 32-bit program: on 64-bit Windows its keys are in the 32-bit view.
    views = {view: box.keys(view) for view in (32, 64)}
    for i, name in enumerate((product.UNINSTALL_KEY, product.APP_PATHS_KEY)):
        print(f"  HKLM\\{name}: " + ", ".join(
            f"{view}-bit view {'present' if keys[i] else 'gone'}" for view, keys in views.items()))
    for label, folder in (("install folder", box.host(product.INSTALL_DIR)),
                          ("desktop", box.desktop), ("temporary folder", box.temp)):
        entries = sorted(p.relative_to(folder).as_posix() + ("/" if p.is_dir() else "")
                         for p in folder.rglob("*")) if folder.exists() else None
        print(f"  {label} {box.win(folder)}: " +
              ("(gone)" if entries is None else ", ".join(entries) or "(empty)"))


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    if not winebox.PRISTINE.is_dir():
        print("Preparing a Wine prefix (once)...")
        winebox.make_pristine()
    box = winebox.Sandbox("demo")
    try:
        fonts = box.prefix / "drive_c" / "windows" / "Fonts"
        for name in FRAME_FONTS:
            if (WINE_FONTS / name).is_file():
                shutil.copy(WINE_FONTS / name, fonts / name)
            else:
                print(f"Note: no {WINE_FONTS / name} (Debian package fonts-wine); the "
                      "screenshot's caption buttons will show letters")
        exe = box.install()
        (box.desktop / "Tivaldor").mkdir()
        (box.desktop / "Notes").mkdir()
        (box.desktop / "Notes" / "todo.txt").write_text("keep me")
        links = {"Tivaldor.lnk": "Tivaldor.exe", r"Tivaldor\Tivaldor.lnk": "Tivaldor.exe",
                 r"Tivaldor\Tivaldor Help.lnk": "Tivaldor.hlp",
                 r"Notes\Tivaldor.lnk": "Tivaldor.exe"}
        commands = []
        for link, target in links.items():
            commands += ["link", f"{box.win(box.desktop)}\\{link}",
                         f"{product.INSTALL_DIR}\\{target}"]
        commands += ["link", f"{box.win(box.desktop)}\\Notepad.lnk", r"C:\windows\notepad.exe"]
        box.driver(*commands)
        show(box, "before")
        shot = OUT / "dialog.png"
        # Once the dialog is up and drawn as the active window, the driver waits a moment; the
        # screenshot is taken then.
        driver = subprocess.Popen([box.loader, str(box.driver_exe), "start", str(exe),
                                   "wait-dialog", "activate", "sleep", "1500",
                                   *map(str, winebox.OK),
                                   "finish", "60"], env=box.env, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True)
        out = []
        for line in driver.stdout:
            out.append(line.strip())
            if line.startswith("active"):
                subprocess.run(["sleep", "0.5"])
                subprocess.run(["import", "-display", box.env["DISPLAY"], "-window", "root",
                                "-crop", "800x600+0+0",
                                str(shot)], check=True)
        driver.wait()
        if "active 1" not in out:
            print("Note: the dialog was not the foreground window when the screenshot was taken")
        print("--- uninstaller output:", "; ".join(out))
        box.settle()
        show(box, "after")
        print(f"--- screenshot of the dialog: {shot}")
    finally:
        box.close()


if __name__ == "__main__":
    main()
