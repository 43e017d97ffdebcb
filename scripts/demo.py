#!/usr/bin/env python3
"""Demonstrates the uninstaller in a throwaway Wine sandbox: installs the product, shows the
dialog (saved as a screenshot), presses OK and prints what existed before and what is left."""
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import winebox  # noqa: E402

OUT = winebox.BUILD.parent / "demo"


def show(box, title):
    print(f"--- {title}")
    keys = box.keys()
    for name, present in zip((winebox.UNINSTALL_KEY, winebox.APP_PATHS_KEY), keys):
        print(f"  HKLM\\{name}: {'present' if present else 'gone'}")
    for label, folder in (("install folder", box.host(winebox.INSTALL_DIR)),
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
                         f"{winebox.INSTALL_DIR}\\{target}"]
        commands += ["link", f"{box.win(box.desktop)}\\Notepad.lnk", r"C:\windows\notepad.exe"]
        box.driver(*commands)
        show(box, "before")
        shot = OUT / "dialog.png"
        # The driver waits a moment after the dialog appears; the screenshot is taken then.
        driver = subprocess.Popen([winebox.WINE, str(winebox.DRIVER), "start", str(exe),
                                   "wait-dialog", "sleep", "1500", *map(str, winebox.OK),
                                   "finish", "60"], env=box.env, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True)
        out = []
        for line in driver.stdout:
            out.append(line.strip())
            if line.startswith("dialog"):
                subprocess.run(["sleep", "0.5"])
                subprocess.run(["import", "-display", box.env["DISPLAY"], "-window", "root",
                                "-crop", "800x600+0+0",
                                str(shot)], check=True)
        driver.wait()
        print("--- uninstaller output:", "; ".join(out))
        box.settle()
        show(box, "after")
        print(f"--- screenshot of the dialog: {shot}")
    finally:
        box.close()


if __name__ == "__main__":
    main()
