#!/usr/bin/python3 -IS
"""Plays apt-get, dpkg, dpkg-query, sleep, mount, localedef, locale, id and Wine's two loaders
for tests/test_setup.py, each by the name of its link to this file, after the JSON state file
named by SETUP_STATE: the packages absent (every other one is installed, at the version given or
1.0), the foreign architectures, the exit status of each apt-get update in turn (the last one
repeated) and what apt-get install does:
- "ok": installs what it is asked for;
- "preferred": held broken packages, unless pinned to the release above 1000, downgrades allowed;
- "removes": makes room by removing wine64, unless --no-remove forbids it;
- "never": held broken packages whatever it is asked.
Queries are not logged; every other call is, one line to the file "calls" beside the state, a
preferences file by its content."""
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
absent = state["absent"]


def end(code, out="", err=""):
    """Saves the state, writes out and err and exits with code."""
    path.write_text(json.dumps(state))
    sys.stdout.write(out)
    sys.stderr.write(err)
    sys.exit(code)


def install(prefs):
    mode = state["install"]
    preferred = "--allow-downgrades" in args and prefs is not None and PINNED in prefs.read_text()
    if mode == "never" or mode == "preferred" and not preferred:
        end(100, *BROKEN)
    if mode == "removes" and not preferred:
        if "--no-remove" in args:
            end(100, err="E: Packages need to be removed but remove is disabled.\n")
        absent.append("wine64")
    # The packages are the words that are neither options nor an option's value.
    wanted = {a for n, a in enumerate(args[1:], 1)
              if not a.startswith("-") and args[n - 1] not in ("-o", "-t")}
    absent[:] = [p for p in absent if p not in wanted]
    end(0, "Setting up wine32:i386 (8.0~repack-4) ...\n")


# dpkg-query -W -f=FORMAT PACKAGE, dpkg's own queries, locale -a and id -u: not logged.
if name == "dpkg-query" and args[-1] in absent:
    end(1, err=f"dpkg-query: no packages found matching {args[-1]}\n")
if name == "dpkg-query":
    end(0, state["versions"].get(args[-1], "1.0") if "Version" in args[1] else
        "install ok installed")
if name == "dpkg" and args[0] == "--compare-versions":
    os.execv("/usr/bin/dpkg", ["dpkg"] + args)
if name == "dpkg" and args[0] != "--add-architecture":
    end(0, "".join(a + "\n" for a in state["foreign"]))
if name in ("locale", "id"):
    # Of the three locales that scripts/setup makes, one is there already.
    end(0, "C\nC.utf8\nPOSIX\nja_JP.utf8\n" if name == "locale" else "0\n")
words, prefs = [name], None
for a in args:
    if a.startswith("Dir::Etc::Preferences="):
        prefs = Path(a.split("=", 1)[1])
        state["prefs"].append(str(prefs))
        a = "Dir::Etc::Preferences=[" + prefs.read_text().strip().replace("\n", " | ") + "]"
    words.append(a)
with open(path.with_name("calls"), "a") as calls:
    calls.write(" ".join(words) + "\n")
if name in ("wine", "wine64"):
    if ("wine32:i386" if name == "wine" else "wine64") in absent:
        end(127, err="not installed\n")
    end(0, "wine-8.0\n")
if name == "dpkg":
    state["foreign"].append(args[1])
elif name == "apt-get" and args[0] == "update":
    code = state["update"][min(state["updates"], len(state["update"]) - 1)]
    state["updates"] += 1
    end(code, err=state["update_error"] if code else "")
elif name == "apt-get" and args[0] == "install":
    install(prefs)
end(0)
