"""Plays apt-get, dpkg, sleep, mount, localedef and Wine's two loaders for tests/test_setup.py,
which links each name to a copy of this file and runs it with python -IS: the name it was started
by says which program it plays.

It plays them after the JSON state file named by SETUP_STATE: which packages are installed (and
their versions), the foreign architectures, the exit status of each apt-get update in turn (the
last one repeated) and what apt-get install does:
- "ok": installs what it is asked for;
- "preferred": held broken packages, unless the release is pinned above 1000 with downgrades
  allowed;
- "removes": makes room by removing wine64, unless --no-remove forbids it;
- "never": held broken packages whatever it is asked.
Queries are not logged; every other call is, one line to the file "calls" beside the state, a
preferences file by its content. The file "installed" beside it lists the installed packages
and their versions for the dpkg-query played in shell."""
import json
import os
import sys
from pathlib import Path

PINNED = "Pin: release n=bookworm\nPin-Priority: 1001\n"
BROKEN = ("The following packages have unmet dependencies:\n libwine:i386 : Depends: "
          "libgstreamer-plugins-base1.0-0:i386 but it is not going to be installed\n",
          "E: Unable to correct problems, you have held broken packages.\n")

name, args = Path(sys.argv[0]).name, sys.argv[1:]
path = Path(os.environ["SETUP_STATE"])
state = json.loads(path.read_text())
installed = state["installed"]


def log(words):
    with open(path.with_name("calls"), "a") as calls:
        calls.write(" ".join(words) + "\n")


def end(code, out="", err=""):
    """Saves the state, writes out and err and exits with code."""
    path.write_text(json.dumps(state))
    path.with_name("installed").write_text(
        "".join(f"{p} {state['versions'].get(p, '1.0')}\n" for p in installed))
    sys.stdout.write(out)
    sys.stderr.write(err)
    sys.exit(code)


def wine():
    log([name] + args)
    if ("wine32:i386" if name == "wine" else "wine64") in installed:
        end(0, "wine-8.0\n")
    end(127, err="not installed\n")


def update():
    codes = state["update"]
    code = codes[min(state["updates"], len(codes) - 1)]
    state["updates"] += 1
    end(code, err=state["update_error"] if code else "")


def install(prefs):
    mode = state["install"]
    preferred = "--allow-downgrades" in args and prefs is not None and PINNED in prefs.read_text()
    if mode == "never" or mode == "preferred" and not preferred:
        end(100, *BROKEN)
    if mode == "removes" and not preferred:
        if "--no-remove" in args:
            end(100, err="E: Packages need to be removed but remove is disabled.\n")
        installed.remove("wine64")
    # The packages are the words that are neither options nor an option's value.
    installed.extend(a for n, a in enumerate(args[1:], 1)
                     if not a.startswith("-") and args[n - 1] not in ("-o", "-t"))
    end(0, "Setting up wine32:i386 (8.0~repack-4) ...\n")


def main():
    if name == "dpkg" and args[0] == "--compare-versions":
        os.execv("/usr/bin/dpkg", ["dpkg"] + args)
    if name == "dpkg" and args[0] == "--print-foreign-architectures":
        end(0, "".join(a + "\n" for a in state["foreign"]))
    if name in ("wine", "wine64"):
        wine()
    words, prefs = [name], None
    for a in args:
        if a.startswith("Dir::Etc::Preferences="):
            prefs = Path(a.split("=", 1)[1])
            state["prefs"].append(str(prefs))
            a = "Dir::Etc::Preferences=[" + prefs.read_text().strip().replace("\n", " | ") + "]"
        words.append(a)
    log(words)
    if name == "dpkg" and args[0] == "--add-architecture":
        state["foreign"].append(args[1])
    elif name == "apt-get" and args[0] == "update":
        update()
    elif name == "apt-get" and args[0] == "install":
        install(prefs)
    end(0)


if __name__ == "__main__":
    main()
