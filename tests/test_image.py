"""Checks of a built uninstaller image: format, hardening, imports, resources and size, all
static (ImageTest); and a copy signed as a publisher would sign it, which must verify and still
run under Wine (SignedCopyTest)."""
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree
from pathlib import Path
from xml.parsers import expat

import pe
from product import (DIALOG_ID, DIALOG_STYLE, DIALOG_TEXTS, IMAGE_LIMIT, PRODUCT_NAME, TITLE,
                     VERSION, VERSION_STRINGS)
from winebox import IDCANCEL, WM_COMMAND, Sandbox, boxes, exit_code

ROOT = Path(__file__).resolve().parent.parent
IMAGE = Path(os.environ.get("KESTRUNE_IMAGE", "build/win32/KESTRUNE.EXE"))
TOOLCHAIN = os.environ.get("KESTRUNE_TOOLCHAIN", str(ROOT / "cmake/i686-w64-mingw32.cmake"))
RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 5, 14, 16, 24
US_ENGLISH = 1033
SCN_EXECUTE, SCN_WRITE = 0x20000000, 0x80000000
RELOCS_STRIPPED = 0x0001
HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT, NO_SEH = 0x0020, 0x0040, 0x0100, 0x0400
REL_ABSOLUTE, REL_HIGHLOW, REL_DIR64 = 0, 3, 10

USER32 = ["CharNextA", "CreateDialogParamA", "DeleteMenu", "DestroyWindow", "DispatchMessageA",
          "GetMessageA", "GetSystemMenu", "IsDialogMessageA", "LoadCursorA", "LoadIconA",
          "MessageBoxA", "PostQuitMessage", "SendDlgItemMessageA", "SetClassLongA", "SetCursor",
          "SetWindowTextA", "ShowWindow", "UpdateWindow"]
KERNEL32 = ["CloseHandle", "CreateFileA", "CreateProcessA", "DeleteFileA", "ExitProcess",
            "FindClose", "FindFirstFileA", "FindFirstFileW", "FindNextFileA", "FindNextFileW",
            "GetCurrentProcess", "GetCurrentThread", "GetLastError", "GetModuleFileNameA",
            "GetModuleFileNameW", "GetModuleHandleA", "GetProcAddress", "GetSystemDirectoryA",
            "GetTempPathA", "GetTempPathW", "MultiByteToWideChar", "RemoveDirectoryA",
            "ResumeThread", "SetFileAttributesA", "SetPriorityClass", "SetThreadPriority", "Sleep",
            "WideCharToMultiByte", "WriteFile", "lstrcmpiA", "lstrcpyA", "lstrlenA"]
IMPORTS = {
    "ADVAPI32.DLL": ["RegDeleteKeyA"],
    "COMCTL32.DLL": [17],
    "KERNEL32.DLL": KERNEL32,
    "OLE32.DLL": ["CoCreateInstance", "CoInitialize", "CoUninitialize", "GetClassFile"],
    "SHELL32.DLL": ["SHGetMalloc", "SHGetPathFromIDListA", "SHGetSpecialFolderLocation"],
    "USER32.DLL": USER32,
}


class ImageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.raw = IMAGE.read_bytes()
        cls.image = pe.Image(cls.raw)
        cls.is32 = cls.image.machine == 0x14C
        cls.res = cls.image.resources()

    def test_headers(self):
        self.assertIn(self.image.machine, (0x14C, 0x8664))
        self.assertEqual(self.image.magic, 0x10B if self.is32 else 0x20B)
        self.assertEqual(self.image.subsystem, 2, "Windows GUI")
        self.assertEqual(self.image.subsystem_version, (4, 0))
        entry_section = [s for s in self.image.sections if s[1] <= self.image.entry < s[1] + s[2]]
        self.assertEqual(len(entry_section), 1)
        self.assertTrue(entry_section[0][5] & 0x20000000, "entry point is not in executable code")

    def test_hardening(self):
        for name, _, _, _, _, flags in self.image.sections:
            self.assertNotEqual(flags & (SCN_WRITE | SCN_EXECUTE), SCN_WRITE | SCN_EXECUTE,
                                f"section {name} is both writable and executable")
        wanted = DYNAMIC_BASE | NX_COMPAT | (NO_SEH if self.is32 else HIGH_ENTROPY_VA)
        self.assertEqual(self.image.dll_characteristics & wanted, wanted)
        self.assertFalse(self.image.characteristics & RELOCS_STRIPPED, "marked unrelocatable")

    def test_relocation_table(self):
        # A randomised base needs every absolute address patched; each entry must name one that
        # points into the image, once, with the width of the machine.
        entries = self.image.relocations()
        kind, width = (REL_HIGHLOW, "<I") if self.is32 else (REL_DIR64, "<Q")
        sites = [rva for t, rva in entries if t != REL_ABSOLUTE]
        self.assertTrue(sites, "no relocations")
        self.assertEqual({t for t, _ in entries} - {REL_ABSOLUTE}, {kind})
        self.assertEqual(len(set(sites)), len(sites), "an address is patched twice")
        top = self.image.image_base + self.image.size_of_image
        for rva in sites:
            value = struct.unpack_from(width, self.raw, self.image.offset(rva))[0]
            self.assertTrue(self.image.image_base <= value < top, f"{rva:#x} -> {value:#x}")

    def test_directories(self):
        # The import directory is exactly the descriptors and their terminator; the resource
        # tree is read through its directory by the other tests.
        rva, size = self.image.directories[1]
        self.assertEqual(size, 20 * (len(IMPORTS) + 1))
        self.assertEqual(self.raw[self.image.offset(rva) + size - 20:self.image.offset(rva) + size],
                         bytes(20))

    def test_imports_without_lookup_tables(self):
        # Every descriptor leaves its lookup table out, so the loader reads the names from the
        # address table, which must therefore hold them.
        at = self.image.offset(self.image.directories[1][0])
        while struct.unpack_from("<I", self.raw, at + 12)[0]:
            self.assertEqual(struct.unpack_from("<I", self.raw, at)[0], 0, f"descriptor {at:#x}")
            at += 20
        self.assertEqual(set(self.image.imports()), set(IMPORTS))

    def test_reproducible(self):
        # Two clean builds elsewhere give this very image, byte for byte.
        digests = []
        with tempfile.TemporaryDirectory() as tmp:
            for n in (1, 2):
                build = Path(tmp) / f"build{n}"
                for command in (["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja",
                                 f"-DCMAKE_TOOLCHAIN_FILE={TOOLCHAIN}",
                                 "-DCMAKE_BUILD_TYPE=MinSizeRel", "-DBUILD_TESTING=OFF"],
                                ["cmake", "--build", str(build), "--target", "kestrune"]):
                    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
                digests.append(hashlib.sha256((build / "KESTRUNE.EXE").read_bytes()).hexdigest())
        self.assertEqual(digests, [hashlib.sha256(self.raw).hexdigest()] * 2)

    def test_size_budget(self):
        # The shipped 32-bit image has a hard budget; its 64-bit twin only a sanity bound.
        self.assertLessEqual(len(self.raw), IMAGE_LIMIT if self.is32 else 12288)
        self.assertEqual(len(self.raw) % self.image.file_alignment, 0)

    def test_imports_exactly(self):
        expected = dict(IMPORTS)
        if not self.is32:
            expected["USER32.DLL"] = sorted(
                n.replace("SetClassLongA", "SetClassLongPtrA") for n in USER32)
        got = {dll: sorted(names, key=str) for dll, names in self.image.imports().items()}
        self.assertEqual(got, {dll: sorted(n, key=str) for dll, n in expected.items()})

    def test_dialog_template(self):
        d = pe.dialog(self.res[(RT_DIALOG, DIALOG_ID, US_ENGLISH)])
        self.assertEqual(d["style"], DIALOG_STYLE)
        self.assertEqual((d["exstyle"], d["rect"], d["menu"], d["cls"], d["title"]),
                         (0, (0, 0, 169, 58), "", "", ""))
        self.assertEqual(d["font"], (8, "MS Sans Serif"))
        rows = [(c["cls"], c["id"], c["text"], c["style"], c["rect"]) for c in d["controls"]]
        child, visible, tab, group = 0x40000000, 0x10000000, 0x00010000, 0x00020000
        self.assertEqual(rows, [
            ("BUTTON", 1, "OK", child | visible | tab | 1, (29, 39, 50, 14)),
            ("BUTTON", 2, "Cancel", child | visible | tab, (89, 39, 50, 14)),
            ("STATIC", 0xFFFF, DIALOG_TEXTS[0], child | visible | group | 1, (0, 4, 167, 8)),
            ("STATIC", 0xFFFF, DIALOG_TEXTS[1], child | visible | group | 1, (4, 15, 161, 8)),
            ("STATIC", 0xFFFF, DIALOG_TEXTS[2], child | visible | group | 1, (11, 25, 146, 8))])

    def test_icon_group(self):
        group = self.res[(RT_GROUP_ICON, 101, US_ENGLISH)]
        reserved, kind, count = struct.unpack_from("<HHH", group)
        self.assertEqual((reserved, kind, count), (0, 1, 2))
        sizes = []
        for i in range(count):
            w, h, colours, _, planes, bits, _, ident = struct.unpack_from("<BBBBHHIH", group,
                                                                          6 + 14 * i)
            image = self.res[(RT_ICON, ident, US_ENGLISH)]
            header = struct.unpack_from("<IiiHH", image)
            self.assertEqual((colours, bits, header[1], header[2], header[4]), (16, 4, w, 2 * h, 4))
            sizes.append((w, h))
        self.assertEqual(sorted(sizes), [(16, 16), (32, 32)])

    def test_icon_is_the_drawn_one(self):
        # The committed icon is what scripts/make-icon.py draws, and the image carries it.
        root = Path(__file__).resolve().parent.parent
        drawn = subprocess.run([sys.executable, str(root / "scripts" / "make-icon.py"),
                                "/dev/stdout"],
                               check=True, stdout=subprocess.PIPE).stdout
        self.assertEqual(drawn, (root / "res" / "appicon.ico").read_bytes())
        count = struct.unpack_from("<H", drawn, 4)[0]
        for i in range(count):
            size, offset = struct.unpack_from("<II", drawn, 6 + 16 * i + 8)
            self.assertIn(drawn[offset:offset + size],
                          [v for k, v in self.res.items() if k[0] == RT_ICON])

    def test_version_block(self):
        key, fixed, children = pe.version(self.res[(RT_VERSION, 1, US_ENGLISH)])
        self.assertEqual(key, "VS_VERSION_INFO")
        (sig, _, fv_ms, fv_ls, pv_ms, pv_ls, mask, flags, os_, kind,
         subtype) = struct.unpack_from("<11I", fixed)
        self.assertEqual(sig, 0xFEEF04BD)
        words = (VERSION[0] << 16 | VERSION[1], VERSION[2] << 16 | VERSION[3])
        self.assertEqual((fv_ms, fv_ls, pv_ms, pv_ls), words * 2)
        self.assertEqual((mask, flags, os_, kind, subtype), (0x3F, 0, 0x4, 1, 0))
        blocks = {c[0]: c for c in children}
        table = blocks["StringFileInfo"][2]
        self.assertEqual([t[0] for t in table], ["040904b0"])
        self.assertEqual({k: v for k, v, _ in table[0][2]}, VERSION_STRINGS)
        translation = blocks["VarFileInfo"][2][0]
        self.assertEqual(translation[0], "Translation")
        self.assertEqual(struct.unpack("<HH", translation[1]), (0x409, 1200))

    def test_manifest(self):
        # Asks for administrator rights and takes comctl32 from the side-by-side store, never
        # from the program's folder, in a form every system that reads it accepts: Windows XP
        # SP2 restarts when one element declares a namespace twice.
        self.assertEqual([k for k in self.res if k[0] == RT_MANIFEST],
                         [(RT_MANIFEST, 1, US_ENGLISH)])
        text = self.res[(RT_MANIFEST, 1, US_ENGLISH)]
        declarations = []

        def start(name, attributes):
            uris = [v for k, v in zip(attributes[::2], attributes[1::2])
                    if k == "xmlns" or k.startswith("xmlns:")]
            self.assertEqual(len(uris), len(set(uris)), f"{name} declares a namespace twice")
            declarations.append((name.rpartition(":")[2], uris))

        parser = expat.ParserCreate()
        parser.ordered_attributes = True
        parser.StartElementHandler = start
        parser.Parse(text, True)
        self.assertIn(("trustInfo", ["urn:schemas-microsoft-com:asm.v3"]), declarations)
        v1, v3 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v3}"
        root = ElementTree.fromstring(text)
        self.assertEqual((root.tag, root.get("manifestVersion")), (v1 + "assembly", "1.0"))
        levels = root.findall(f"{v3}trustInfo/{v3}security/{v3}requestedPrivileges/"
                              f"{v3}requestedExecutionLevel")
        self.assertEqual([(e.get("level"), e.get("uiAccess")) for e in levels],
                         [("requireAdministrator", "false")])
        identities = root.findall(f"{v1}dependency/{v1}dependentAssembly/{v1}assemblyIdentity")
        self.assertEqual([e.attrib for e in identities], [{
            "type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
            "processorArchitecture": "*", "publicKeyToken": "6595b64144ccf1df", "language": "*"}])
        self.assertEqual(len([e for e in root.iter() if e.tag.endswith("dependency")]), 1)
        # Small: no declaration, comment or whitespace between elements.
        self.assertTrue(text.startswith(b"<assembly ") and text.endswith(b"</assembly>"), text)
        self.assertNotIn(b"<!--", text)
        self.assertNotRegex(text, rb">\s+<")


# A certificate authority and a code-signing certificate it issues, made afresh for each run: a
# publisher's certificate comes from an authority in the same way.
OPENSSL_CONFIG = """\
[req]
distinguished_name = name
prompt = no
[name]
CN = Kestrune test
[authority]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign
[signer]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
"""


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


def make_authority(folder, name):
    """A self-signed certificate authority: returns its certificate and its key."""
    cert, key = folder / f"{name}.pem", folder / f"{name}.key"
    openssl("req", "-x509", "-config", "openssl.cnf", "-extensions", "authority", "-newkey",
            "rsa:2048", "-nodes", "-days", "2", "-subj", f"/CN=Kestrune test {name}", "-keyout",
            key.name, "-out", cert.name, cwd=folder)
    return cert, key


def make_signer(folder, authority):
    """A code-signing certificate issued by authority: returns it and its key."""
    cert, key = folder / "signer.pem", folder / "signer.key"
    openssl("req", "-new", "-config", "openssl.cnf", "-newkey", "rsa:2048", "-nodes", "-subj",
            "/CN=Kestrune test publisher", "-keyout", key.name, "-out", "signer.csr", cwd=folder)
    openssl("x509", "-req", "-in", "signer.csr", "-CA", authority[0].name, "-CAkey",
            authority[1].name, "-set_serial", "2", "-days", "2", "-extfile", "openssl.cnf",
            "-extensions", "signer", "-out", cert.name, cwd=folder)
    return cert, key


def osslsigncode(*args):
    """Runs osslsigncode; returns its exit status and output."""
    done = subprocess.run(["osslsigncode", *map(str, args)], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT)
    return done.returncode, done.stdout.decode("utf-8", "replace")


class SignedCopyTest(unittest.TestCase):
    """A publisher signs the built image (Authenticode, here with osslsigncode): the signature
    verifies against the certificate's authority and only that, covers the code, comes off
    again leaving the built bytes, and the signed copy runs as the built image does. The built
    image itself is left as it was."""

    def test_signed_copy(self):
        if not shutil.which("osslsigncode") or not shutil.which("openssl"):
            self.fail("osslsigncode or openssl is missing (scripts/setup installs them)")
        built = IMAGE.read_bytes()
        image = pe.Image(built)
        with tempfile.TemporaryDirectory() as tmp:
            tmp = Path(tmp)
            (tmp / "openssl.cnf").write_text(OPENSSL_CONFIG)
            authority = make_authority(tmp, "authority")
            other = make_authority(tmp, "other")
            cert, key = make_signer(tmp, authority)
            signed = tmp / "signed.exe"
            code, out = osslsigncode("sign", "-certs", cert, "-key", key, "-h", "sha256", "-n",
                                     PRODUCT_NAME, "-in", IMAGE, "-out", signed)
            self.assertEqual(code, 0, out)
            # The same signed copy with one byte of its code changed afterwards.
            tampered = tmp / "tampered.exe"
            data = bytearray(signed.read_bytes())
            data[image.offset(image.entry)] ^= 0xFF
            tampered.write_bytes(data)
            for name, copy, trusted, ok in [
                    ("the signer's authority", signed, authority[0], True),
                    ("another authority", signed, other[0], False),
                    ("code changed after signing", tampered, authority[0], False)]:
                with self.subTest(name):
                    code, out = osslsigncode("verify", "-CAfile", trusted, "-in", copy)
                    self.assertEqual(code == 0, ok, out)
            # Signing only appends the certificate table and names it in the headers: taken off
            # again, the built bytes come back, so size and reproducibility are the built image's.
            unsigned = tmp / "unsigned.exe"
            code, out = osslsigncode("remove-signature", "-in", signed, "-out", unsigned)
            self.assertEqual(code, 0, out)
            self.assertEqual(unsigned.read_bytes(), built, "the signature does not come off")
            self.run_signed(signed)
        self.assertEqual(IMAGE.read_bytes(), built, "signing changed the built image")

    def run_signed(self, signed):
        """Installs the signed copy in a sandbox of its machine's Wine, shows its dialog and
        cancels it: nothing may change."""
        is32 = pe.Image(signed.read_bytes()).machine == 0x14C
        box = Sandbox("SignedCopy", arch=32 if is32 else 64, patience=4 if is32 else 1)
        try:
            exe = box.install(source=signed, keys=False)
            before = box.state()
            out = box.run(exe, "post", WM_COMMAND, IDCANCEL, 0, before=("regadd",),
                          describe=True, after=("regcheck",), timeout=600)
            seen = "\n".join(out)
            self.assertIn(f"title {TITLE}", out, seen)
            self.assertEqual(len([line for line in out if line.startswith("child ")]), 5, seen)
            self.assertEqual((exit_code(out), boxes(out)), (0, []), seen)
            self.assertEqual([line.split()[1] for line in out if line.startswith("key ")],
                             ["1", "1"], seen)
            self.assertEqual(box.state(), before)
        finally:
            box.close()


if __name__ == "__main__":
    if len(sys.argv) > 1:
        IMAGE = Path(sys.argv.pop(1))
    unittest.main()
