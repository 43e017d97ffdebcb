"""The shipped image's format, hardening, imports, resources and size, all static (ImageTest); and
a copy signed as a publisher signs it, which must verify and run under Wine (SignedCopyTest)."""
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
from xml.dom import minidom

import pefile

import pe
from product import (DIALOG_ID, DIALOG_STYLE, DIALOG_TEXTS, IMAGE_LIMIT, PRODUCT_NAME, TITLE,
                     VERSION, VERSION_STRINGS)
from scenarios import SandboxTest
from winebox import EXE, IDCANCEL, WM_COMMAND

ROOT = Path(__file__).resolve().parent.parent
IMAGE = Path(os.environ.get("KESTRUNE_IMAGE", EXE))
TOOLCHAIN = os.environ.get("KESTRUNE_TOOLCHAIN", str(ROOT / "cmake/i686-w64-mingw32.cmake"))
RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 5, 14, 16, 24
US_ENGLISH = 1033
REL_ABSOLUTE, REL_HIGHLOW = 0, 3

# Every function the image imports, by DLL: by name, or a number for an ordinal.
IMPORTS = {
    "ADVAPI32.DLL": ["RegDeleteKeyA"],
    "COMCTL32.DLL": [17],
    "KERNEL32.DLL": """CloseHandle CreateFileA CreateProcessA DeleteFileA ExitProcess FindClose
        FindFirstFileA FindFirstFileW FindNextFileA FindNextFileW GetCurrentProcess GetCurrentThread
        GetLastError GetModuleFileNameA GetModuleFileNameW GetModuleHandleA GetProcAddress
        GetSystemDirectoryA GetTempPathA GetTempPathW MultiByteToWideChar RemoveDirectoryA
        ResumeThread SetFileAttributesA SetPriorityClass SetThreadPriority Sleep
        WideCharToMultiByte WriteFile lstrcmpiA lstrcpyA lstrlenA""".split(),
    "OLE32.DLL": "CoCreateInstance CoInitialize CoUninitialize GetClassFile".split(),
    "SHELL32.DLL": "SHGetMalloc SHGetPathFromIDListA SHGetSpecialFolderLocation".split(),
    "USER32.DLL": """CharNextA CreateDialogParamA DeleteMenu DestroyWindow DispatchMessageA
        GetMessageA GetSystemMenu IsDialogMessageA LoadCursorA LoadIconA MessageBoxA
        PostQuitMessage SendDlgItemMessageA SetClassLongA SetCursor SetWindowTextA ShowWindow
        UpdateWindow""".split(),
}


class ImageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.raw = IMAGE.read_bytes()
        cls.image = pefile.PE(data=cls.raw)
        cls.optional = cls.image.OPTIONAL_HEADER
        cls.res = pe.resources(cls.image)

    def test_headers(self):
        self.assertEqual(self.image.get_warnings(), [], "pefile warns about the image")
        optional = self.optional
        self.assertEqual((self.image.FILE_HEADER.Machine, optional.Magic, optional.Subsystem,
                          optional.MajorSubsystemVersion, optional.MinorSubsystemVersion),
                         (0x14C, 0x10B, 2, 4, 0), "i386, PE32, Windows GUI subsystem 4.0")
        entry = optional.AddressOfEntryPoint
        self.assertEqual([s.IMAGE_SCN_MEM_EXECUTE for s in self.image.sections
                          if s.VirtualAddress <= entry < s.VirtualAddress + s.Misc_VirtualSize],
                         [True], "entry point is not in executable code, in one section")
        self.assertTrue(self.image.verify_checksum(), "the header's checksum is wrong")

    def test_hardening(self):
        self.assertEqual([s.Name.rstrip(b"\0").decode() for s in self.image.sections
                          if s.IMAGE_SCN_MEM_WRITE and s.IMAGE_SCN_MEM_EXECUTE], [],
                         "sections both writable and executable")
        for flag in ("DYNAMIC_BASE", "NX_COMPAT", "NO_SEH"):
            self.assertTrue(getattr(self.optional, "IMAGE_DLLCHARACTERISTICS_" + flag), flag)
        self.assertFalse(self.image.FILE_HEADER.IMAGE_FILE_RELOCS_STRIPPED,
                         "marked unrelocatable")

    def test_relocation_table(self):
        # A randomised base needs every absolute address patched; each entry must name one that
        # points into the image, once, as a 32-bit address.
        blocks = self.image.DIRECTORY_ENTRY_BASERELOC
        sizes = [block.struct.SizeOfBlock for block in blocks]
        self.assertEqual((sum(sizes), [s for s in sizes if s < 8 or s % 4]),
                         (self.optional.DATA_DIRECTORY[5].Size, []), "malformed relocation block")
        entries = [entry for block in blocks for entry in block.entries]
        sites = [e.rva for e in entries if e.type != REL_ABSOLUTE]
        self.assertTrue(sites, "no relocations")
        self.assertEqual({e.type for e in entries} - {REL_ABSOLUTE}, {REL_HIGHLOW})
        self.assertEqual(len(set(sites)), len(sites), "an address is patched twice")
        base, size = self.optional.ImageBase, self.optional.SizeOfImage
        values = ((rva, self.image.get_dword_at_rva(rva)) for rva in sites)
        self.assertEqual([f"{rva:#x} -> {value:#x}" for rva, value in values
                          if not base <= value < base + size], [], "outside the image")

    def test_imports_without_lookup_tables(self):
        # The import directory is exactly the descriptors and their terminator. Every descriptor
        # leaves its lookup table out, so the loader reads the names from the address table,
        # which must therefore hold them: exactly IMPORTS.
        directory = self.optional.DATA_DIRECTORY[1]
        self.assertEqual(directory.Size, 20 * (len(IMPORTS) + 1))
        self.assertEqual(self.image.get_data(directory.VirtualAddress + directory.Size - 20, 20),
                         bytes(20))
        imported = {}
        for dll in self.image.DIRECTORY_ENTRY_IMPORT:
            self.assertEqual(dll.struct.OriginalFirstThunk, 0,
                             f"{dll.dll} descriptor {dll.struct.get_file_offset():#x}")
            imported[dll.dll.decode().upper()] = sorted((i.name.decode() if i.name else i.ordinal
                                                         for i in dll.imports), key=str)
        self.assertEqual(imported, {dll: sorted(names, key=str) for dll, names in IMPORTS.items()})

    def test_reproducible(self):
        # Two clean builds elsewhere give this very image, byte for byte.
        tmp, digests = Path(self.enterContext(tempfile.TemporaryDirectory())), []
        for build in (tmp / "build1", tmp / "build2"):
            for command in (["cmake", "-S", ROOT, "-B", build, "-G", "Ninja",
                             f"-DCMAKE_TOOLCHAIN_FILE={TOOLCHAIN}", "-DCMAKE_BUILD_TYPE=MinSizeRel",
                             "-DBUILD_TESTING=OFF"],
                            ["cmake", "--build", build, "--target", "kestrune"]):
                subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
            digests.append(hashlib.sha256((build / "KESTRUNE.EXE").read_bytes()).hexdigest())
        self.assertEqual(digests, [hashlib.sha256(self.raw).hexdigest()] * 2)

    def test_size_budget(self):
        self.assertLessEqual(len(self.raw), IMAGE_LIMIT)
        self.assertEqual(len(self.raw) % self.optional.FileAlignment, 0)

    def test_dialog_template(self):
        header, controls = pe.dialog(self.res[(RT_DIALOG, DIALOG_ID, US_ENGLISH)])
        self.assertEqual(header, dict(style=DIALOG_STYLE, exstyle=0, rect=(0, 0, 169, 58), menu="",
                                      cls="", title="", font=(8, "MS Sans Serif")))
        child, visible, tab, group = 0x40000000, 0x10000000, 0x00010000, 0x00020000
        self.assertEqual(controls, [
            ("BUTTON", 1, "OK", child | visible | tab | 1, (29, 39, 50, 14)),
            ("BUTTON", 2, "Cancel", child | visible | tab, (89, 39, 50, 14)),
            ("STATIC", 0xFFFF, DIALOG_TEXTS[0], child | visible | group | 1, (0, 4, 167, 8)),
            ("STATIC", 0xFFFF, DIALOG_TEXTS[1], child | visible | group | 1, (4, 15, 161, 8)),
            ("STATIC", 0xFFFF, DIALOG_TEXTS[2], child | visible | group | 1, (11, 25, 146, 8))])

    def test_icon_group(self):
        group = self.res[(RT_GROUP_ICON, 101, US_ENGLISH)]
        self.assertEqual(struct.unpack_from("<HHH", group), (0, 1, 2))
        sizes = []
        for w, h, colours, _, _, bits, _, ident in struct.iter_unpack("<BBBBHHIH", group[6:]):
            header = struct.unpack_from("<IiiHH", self.res[(RT_ICON, ident, US_ENGLISH)])
            self.assertEqual((colours, bits, header[1], header[2], header[4]), (16, 4, w, 2 * h, 4))
            sizes.append((w, h))
        self.assertEqual(sorted(sizes), [(16, 16), (32, 32)])

    def test_icon_is_the_drawn_one(self):
        # The committed icon is what scripts/make-icon.py draws, and the image carries it.
        drawn = subprocess.check_output([sys.executable, ROOT / "scripts/make-icon.py",
                                         "/dev/stdout"])
        self.assertEqual(drawn, (ROOT / "res" / "appicon.ico").read_bytes())
        carried = [data for key, data in self.res.items() if key[0] == RT_ICON]
        for i in range(struct.unpack_from("<H", drawn, 4)[0]):
            size, offset = struct.unpack_from("<II", drawn, 6 + 16 * i + 8)
            self.assertIn(drawn[offset:offset + size], carried, f"icon {i}")

    def test_version_block(self):
        self.assertIn((RT_VERSION, 1, US_ENGLISH), self.res)
        [info], [fixed], [blocks] = (self.image.VS_VERSIONINFO, self.image.VS_FIXEDFILEINFO,
                                     self.image.FileInfo)
        self.assertEqual(info.Key, b"VS_VERSION_INFO")
        self.assertEqual(fixed.Signature, 0xFEEF04BD)
        words = (VERSION[0] << 16 | VERSION[1], VERSION[2] << 16 | VERSION[3])
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS,
                          fixed.ProductVersionLS), words * 2)
        self.assertEqual((fixed.FileFlagsMask, fixed.FileFlags, fixed.FileOS, fixed.FileType,
                          fixed.FileSubtype), (0x3F, 0, 0x4, 1, 0))
        blocks = {block.Key: block for block in blocks}
        tables = blocks[b"StringFileInfo"].StringTable
        self.assertEqual([table.LangID for table in tables], [b"040904b0"])
        self.assertEqual({k.decode(): v.decode() for k, v in tables[0].entries.items()},
                         VERSION_STRINGS)
        # US English (0x409) in UTF-16 (code page 1200, 0x4b0).
        self.assertEqual([var.entry for var in blocks[b"VarFileInfo"].Var],
                         [{b"Translation": "0x0409 0x04b0"}])

    def test_manifest(self):
        # Asks for administrator rights and takes comctl32 from the side-by-side store, never
        # from the program's folder, in a form every system that reads it accepts: Windows XP
        # SP2 restarts when one element declares a namespace twice.
        self.assertEqual([k for k in self.res if k[0] == RT_MANIFEST],
                         [(RT_MANIFEST, 1, US_ENGLISH)])
        text = self.res[(RT_MANIFEST, 1, US_ENGLISH)]
        declarations = [(e.localName, [v for k, v in e.attributes.items()
                                       if k == "xmlns" or k.startswith("xmlns:")])
                        for e in minidom.parseString(text).getElementsByTagName("*")]
        self.assertEqual([name for name, uris in declarations if len(uris) > len(set(uris))], [],
                         "elements that declare a namespace twice")
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
# publisher's certificate comes from an authority in the same way. Their extensions:
AUTHORITY = ("basicConstraints=critical,CA:TRUE", "keyUsage=critical,keyCertSign")
SIGNER = ("basicConstraints=CA:FALSE", "keyUsage=critical,digitalSignature",
          "extendedKeyUsage=codeSigning")


def certificate(folder, name, extensions, issuer=None):
    """A new key and a certificate for it with those extensions (and no others from a system
    configuration), self-signed or issued by issuer, a pair as this returns: (certificate, key)."""
    cert, key = folder / f"{name}.pem", folder / f"{name}.key"
    subprocess.run(["openssl", "req", "-x509", "-config", "/dev/null",
                    *(option for extension in extensions for option in ("-addext", extension)),
                    "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                    f"/CN=Kestrune test {name}", "-keyout", key, "-out", cert,
                    *(("-CA", issuer[0], "-CAkey", issuer[1]) if issuer else ())],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return cert, key


class SignedCopyTest(SandboxTest):
    """A publisher signs the built image (Authenticode, here with osslsigncode): the signature
    verifies against the certificate's authority and only that, covers the code, comes off again
    leaving the built bytes, and the signed copy runs as the built image does. The built image
    itself is left as it was."""

    def osslsigncode(self, *args, ok=True):
        """Runs osslsigncode, which must succeed, or with ok False fail."""
        done = subprocess.run(["osslsigncode", *map(str, args)], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT)
        self.assertEqual(done.returncode == 0, ok, f"osslsigncode {args[0]} exited "
                         f"{done.returncode}:\n{done.stdout.decode('utf-8', 'replace')}")

    def test_signed_copy(self):
        if not shutil.which("osslsigncode") or not shutil.which("openssl"):
            self.fail("osslsigncode or openssl is missing (scripts/setup installs them)")
        built = IMAGE.read_bytes()
        image = pefile.PE(data=built)
        tmp = Path(self.enterContext(tempfile.TemporaryDirectory()))
        authority = certificate(tmp, "authority", AUTHORITY)
        other = certificate(tmp, "other", AUTHORITY)
        cert, key = certificate(tmp, "publisher", SIGNER, issuer=authority)
        signed = tmp / "signed.exe"
        self.osslsigncode("sign", "-certs", cert, "-key", key, "-h", "sha256", "-n", PRODUCT_NAME,
                          "-in", IMAGE, "-out", signed)
        # The same signed copy with one byte of its code changed afterwards.
        tampered = tmp / "tampered.exe"
        data = bytearray(signed.read_bytes())
        data[image.get_offset_from_rva(image.OPTIONAL_HEADER.AddressOfEntryPoint)] ^= 0xFF
        tampered.write_bytes(data)
        for name, copy, trusted, ok in [
                ("the signer's authority", signed, authority[0], True),
                ("another authority", signed, other[0], False),
                ("code changed after signing", tampered, authority[0], False)]:
            with self.subTest(name):
                self.osslsigncode("verify", "-CAfile", trusted, "-in", copy, ok=ok)
        # Signing only appends the certificate table and names it in the headers: taken off
        # again, the built bytes come back, so size and reproducibility are the built image's.
        unsigned = tmp / "unsigned.exe"
        self.osslsigncode("remove-signature", "-in", signed, "-out", unsigned)
        self.assertEqual(unsigned.read_bytes(), built, "the signature does not come off")
        self.run_signed(signed)
        self.assertEqual(IMAGE.read_bytes(), built, "signing changed the built image")

    def run_signed(self, signed):
        """Installs the signed copy in a sandbox of 64-bit Wine, which starts it as 64-bit
        Windows starts a 32-bit program, shows its dialog and cancels it: nothing may change."""
        exe = self.box.install(source=signed, keys=False)
        before = self.box.state()
        out = self.box.run(exe, "describe", "post", WM_COMMAND, IDCANCEL, 0, before=("regadd",),
                           after=("regcheck",), timeout=600)
        seen = "\n".join(out)
        self.assertIn(f"title {TITLE}", out, seen)
        self.assertEqual(len([line for line in out if line.startswith("child ")]), 5, seen)
        self.assert_ended(out, keys=(True, True))
        self.assertEqual(self.box.state(), before)


if __name__ == "__main__":
    unittest.main()
