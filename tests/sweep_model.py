"""The desktop sweep's outcome table and a small model of it. The table's rows are trees of
files and folders, each with what must be left of it, written out by hand; the model computes
what is left of any tree, for the random trees, and must agree with every row."""
import copy
import re
import struct
from typing import NamedTuple

from product import PRODUCT_EXE, PRODUCT_HLP

EXE_TARGET, HLP_TARGET = str(PRODUCT_EXE), str(PRODUCT_HLP)
TARGETS = {"exe": EXE_TARGET, "hlp": HLP_TARGET, "case": EXE_TARGET.upper(),
           "other": r"C:\windows\notepad.exe", "near": EXE_TARGET + ".bak"}
# Links whose target is stored with an environment variable, as installers write them on
# Windows: the expanded path in the link's location and the unexpanded one in an EXP_SZ block.
# Wine cannot make these (IShellLinkDataList::AddDataBlock is not implemented, SetPath takes the
# variable as a relative name), so they are written byte by byte. Wine 8 reads only the expanded
# path and gives it for SLGP_RAWPATH too; Windows gives the stored one for that flag.
ENV_TARGETS = {"envexe": (EXE_TARGET, r"%ProgramFiles%\Tivaldor\Tivaldor.exe"),
               "envother": (r"C:\windows\Tivaldor.exe", r"%SystemRoot%\Tivaldor.exe")}
REMOVED, KEPT = 0x01, 0x80
# The probe (PROBE_CLOUD) lists a name "cloud<hex>[.<hex>]-..." with those attribute bits and
# that reparse tag, as a sync client lists its placeholders; a file with any of the recall bits
# lives only in the cloud. "disguised" hides them until the program asks to see placeholders.
CLOUD_NAME = re.compile(r"cloud([0-9a-f]+)(?:\.([0-9a-f]+))?-")
OFFLINE, RECALL_ON_OPEN, RECALL_ON_DATA_ACCESS, UNPINNED = 0x1000, 0x40000, 0x400000, 0x100000
REPARSE_POINT, CLOUD_TAG = 0x400, 0x9000001A
# Reparse tags: a sync client's (any of 16 flag values in bits 12-15), a mount point (junction)
# and a projected file system's.
SYNCED, SYNCED_PINNED, MOUNT_POINT, PROJECTED = 0x9000001A, 0x9000701A, 0xA0000003, 0x9000001C
# Characters the ANSI code page lacks; its "best fit" lists them as '\', '.', 'F', 's' and '?'.
FW_BACKSLASH, FW_DOT, FW_F, FW_S, SNOWMAN = "\uff3c", "\uff0e", "\uff26", "\uff53", "\u2603"
# A name in a script that neither code page 1252 nor 932 has at all (Hindi).
DEVANAGARI = "\u0939\u093f\u0928\u094d\u0926\u0940"
# A name that code page 1252 spells and the OEM code page 437, the script's, does not.
NOT_OEM = "Jo\u00e3o\u00d8"
# Names in scripts that code page 1252 lacks, one with a look-alike in it: best fit spells
# "D\u0101rbi" as "Darbi" and "Tivald\u014dr" as "Tivaldor".
DARBI, TIVALDOR = "D\u0101rbi", "Tivald\u014dr"


def env_link(expanded, stored):
    """The bytes of a shell link to expanded whose target is stored as the string stored."""
    flags = 0x02 | 0x80 | 0x200  # HasLinkInfo, IsUnicode, HasExpString
    shell_link = bytes.fromhex("0114020000000000c000000000000046")
    header = struct.pack("<I16sII24xIiI12x", 0x4C, shell_link, flags, 0x20, 0, 0, 1)
    volume = struct.pack("<IIII", 0x11, 3, 0, 0x10) + b"\0"  # a fixed disk, empty label
    path = expanded.encode("cp1252") + b"\0"
    at = 0x1C + len(volume)
    info = struct.pack("<7I", at + len(path) + 1, 0x1C, 1, 0x1C, at, 0, at + len(path))
    block = struct.pack("<II260s520s", 0x314, 0xA0000001, stored.encode("cp1252"),
                        stored.encode("utf-16-le"))
    return header + info + volume + path + b"\0" + block + b"\0" * 4


# A tree is a dict: name -> dict (a folder) or (kind, attributes) (a file). File kinds are the
# keys of TARGETS and ENV_TARGETS (shortcuts), "file" (some other file) and "fakelnk" (not a
# link, named .lnk).

def cloud_marks(name):
    """The attributes and reparse tag the probe lists a name with."""
    marks = CLOUD_NAME.match(name)
    return (int(marks[1], 16), int(marks[2] or "0", 16)) if marks else (0, 0)


def in_cloud(name):
    """Whether a file so named is listed as one that reading would download."""
    return bool(cloud_marks(name)[0] & (OFFLINE | RECALL_ON_OPEN | RECALL_ON_DATA_ACCESS))


def entered(name):
    """Whether a folder so named is listed as one the sweep may enter: not one whose listing
    would be fetched from the cloud, nor a reparse point other than a sync client's folder."""
    bits, tag = cloud_marks(name)
    return not (bits & RECALL_ON_OPEN or bits & REPARSE_POINT and tag & 0xFFFF0FFF != CLOUD_TAG)


def examined(tree, prefix=""):
    """The files whose first bytes the sweeps read: every file but the placeholders, in every
    folder they enter."""
    paths = set()
    for name, node in tree.items():
        if isinstance(node, dict):
            if not name.startswith("..") and entered(name):
                paths |= examined(node, prefix + name + "/")
        elif not in_cloud(name):
            paths.add(prefix + name)
    return paths


def model(tree):
    """The tree left after the two sweeps, computed from the outcome table."""
    def sweep(folder, matching, top):
        result = KEPT if top else 0
        for name in list(folder):
            node = folder[name]
            if isinstance(node, dict):
                if name.startswith(".."):
                    continue
                if not entered(name):
                    result |= KEPT
                    continue
                result |= sweep(node, matching, False)
                if node.get("\0removed"):
                    del folder[name]
            elif in_cloud(name):
                result |= KEPT
            elif node[0] in matching:
                result |= REMOVED
                if "r" not in node[1]:
                    del folder[name]
            else:
                result |= KEPT
        if result == REMOVED and not folder:
            folder["\0removed"] = True
        return result

    left = copy.deepcopy(tree)
    sweep(left, ("exe", "case", "envexe"), True)
    sweep(left, ("hlp",), True)
    return left


def flatten(tree, prefix=""):
    paths = set()
    for name, node in tree.items():
        path = prefix + name
        paths.add(path + "/" if isinstance(node, dict) else path)
        if isinstance(node, dict):
            paths |= flatten(node, path + "/")
    return paths


def random_tree(rng, depth=0):
    """A random tree of links of every kind, other files and folders, some of them placeholders
    or reparse points as a sync client lists them."""
    kinds = ["exe", "exe", "hlp", "case", "other", "file", "fakelnk", "near", "envexe", "envother"]
    folder = {}
    for i in range(rng.randint(0, 4)):
        cloud = rng.choice(["", "", "", "", "", "", "cloud400000-", "cloud1000-", "cloud100000-",
                            "cloud400.9000001a-", "cloud400400.9000601a-", "cloud40400.9000001a-",
                            "cloud400.a0000003-"])
        if depth < 3 and rng.random() < 0.35:
            folder[f"{cloud}d{depth}{i}"] = random_tree(rng, depth + 1)
        else:
            kind = rng.choice(kinds)
            attrs = rng.choice(["", "", "", "", "h", "r"])
            name = f"{cloud}f{depth}{i}" + ("" if kind == "file" else ".lnk")
            folder[name] = (kind, attrs)
    return folder


class Row(NamedTuple):
    """A row of the outcome table: a desktop tree and what must be left of it (folders end in
    '/')."""
    tree: dict
    left: set


PLAIN = ("exe", "")
# Unpinned alone is a file kept on the disk; a folder in the cloud lists only names. A sync
# client's folders and files as reparse points with its tags: hydrated files are read,
# cloud-only ones are not; its folders are entered unless their listing is still in the cloud.
# Other reparse points are not entered.
OUTCOMES = {
    "top-level links": Row({"a.lnk": PLAIN, "b.lnk": ("hlp", ""), "c.lnk": ("other", "")},
                           {"c.lnk"}),
    "folder of one matching link": Row({"F": {"a.lnk": PLAIN}}, set()),
    "chain removed bottom-up": Row({"A": {"B": {"C": {"a.lnk": PLAIN}}}}, set()),
    "links to both files": Row({"F": {"a.lnk": PLAIN, "b.lnk": ("hlp", "")}}, set()),
    "matching link beside empty folder": Row({"F": {"a.lnk": PLAIN, "E": {}}}, {"F/", "F/E/"}),
    "target differs in case": Row({"F": {"a.lnk": ("case", "")}}, set()),
    "near miss is kept": Row({"F": {"a.lnk": ("near", "")}}, {"F/", "F/a.lnk"}),
    "fake .lnk keeps folder": Row({"F": {"a.lnk": PLAIN, "x.lnk": ("fakelnk", "")}},
                                  {"F/", "F/x.lnk"}),
    "other file keeps folder": Row({"F": {"a.lnk": PLAIN, "x.txt": ("file", "")}},
                                   {"F/", "F/x.txt"}),
    "hidden matching link": Row({"F": {"a.lnk": ("exe", "h")}, "b.lnk": ("exe", "hs")}, set()),
    "hidden other file": Row({"F": {"a.lnk": PLAIN, "x.txt": ("file", "h")}}, {"F/", "F/x.txt"}),
    "read-only matching link": Row({"P": {"F": {"a.lnk": ("exe", "r")}}},
                                   {"P/", "P/F/", "P/F/a.lnk"}),
    "two-dot folder not entered": Row({"F": {"a.lnk": PLAIN, "..x": {"b.lnk": PLAIN}},
                                       "..y": {"c.lnk": PLAIN}},
                                      {"F/", "F/..x/", "F/..x/b.lnk", "..y/", "..y/c.lnk"}),
    "empty desktop stays": Row({}, set()),
    "empty folders stay": Row({"E": {"D": {}}}, {"E/", "E/D/"}),
    "stored variables": Row({"F": {"a.lnk": ("envexe", "")}, "G": {"a.lnk": ("envother", "")},
                             "b.lnk": ("envexe", ""), "c.lnk": ("envother", "")},
                            {"G/", "G/a.lnk", "c.lnk"}),
    "drive root": Row({"a.lnk": PLAIN, "b.lnk": ("other", ""), "F": {"a.lnk": PLAIN}},
                      {"b.lnk"}),
    "drive root emptied": Row({"a.lnk": PLAIN, "F": {"G": {"a.lnk": ("hlp", "")}}}, set()),
    "cloud placeholders": Row({
        "plain.lnk": PLAIN, "cloud501000-a.lnk": PLAIN, "cloud40000-b.lnk": PLAIN,
        "cloud1000-c.lnk": PLAIN, "F": {"cloud400000-d.lnk": ("hlp", "")},
        "cloud100000-e.lnk": PLAIN, "cloud501000-G": {"a.lnk": PLAIN}},
        {"cloud501000-a.lnk", "cloud40000-b.lnk", "cloud1000-c.lnk", "F/",
         "F/cloud400000-d.lnk"}),
    "cloud folders": Row({
        "cloud400.9000001a-h.lnk": PLAIN,
        "cloud400.9000701a-A": {"cloud400.9000001a-h.lnk": PLAIN},
        "cloud400.9000001a-B": {"cloud400400.9000001a-x.lnk": PLAIN},
        "cloud40400.9000001a-R": {"a.lnk": PLAIN},
        "cloud400.a0000003-M": {"a.lnk": PLAIN},
        "cloud400.9000001c-P": {"a.lnk": PLAIN},
        "cloud400.9000001a-C": {"D": {"cloud401000.9000001a-x.lnk": ("hlp", "")},
                                "E": {"a.lnk": ("hlp", "")}}},
        {"cloud400.9000001a-B/", "cloud400.9000001a-B/cloud400400.9000001a-x.lnk",
         "cloud40400.9000001a-R/", "cloud40400.9000001a-R/a.lnk",
         "cloud400.a0000003-M/", "cloud400.a0000003-M/a.lnk",
         "cloud400.9000001c-P/", "cloud400.9000001c-P/a.lnk",
         "cloud400.9000001a-C/", "cloud400.9000001a-C/D/",
         "cloud400.9000001a-C/D/cloud401000.9000001a-x.lnk"}),
}

# Names that the ANSI code page (1252 or 932) cannot spell, or spells as another name beside
# them: listed in UTF-16, they are reached by their exact or short names.
SCRIPT_ROWS = {
    "names in another script": Row({
        DEVANAGARI: {"a.lnk": PLAIN},
        DEVANAGARI + "2": {"a.lnk": PLAIN, "n.txt": ("file", "")},
        DEVANAGARI + ".lnk": ("hlp", ""), DEVANAGARI + "o.lnk": ("other", ""),
        DEVANAGARI + ".txt": ("file", "")},
        {DEVANAGARI + "2/", DEVANAGARI + "2/n.txt", DEVANAGARI + "o.lnk",
         DEVANAGARI + ".txt"}),
    "names best fit turns into others": Row({
        DARBI: {"a.lnk": PLAIN}, "Darbi": {"a.lnk": PLAIN, "n.txt": ("file", "")},
        TIVALDOR + ".lnk": PLAIN, "Tivaldor.lnk": ("other", "")},
        {"Darbi/", "Darbi/n.txt", "Tivaldor.lnk"}),
}
