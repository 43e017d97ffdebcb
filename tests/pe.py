"""Just enough of the PE format to check the uninstaller's image: headers, sections, imports
and resources (dialog template, icon group, version block)."""
import struct


class Image:
    def __init__(self, data):
        self.data = data
        assert data[:2] == b"MZ", "not an MZ image"
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0", "no PE signature"
        (self.machine, count, _, _, _, opt_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        wide = self.magic == 0x20B
        self.entry = struct.unpack_from("<I", data, opt + 16)[0]
        self.base_at = opt + (24 if wide else 28)
        self.image_base = struct.unpack_from("<Q" if wide else "<I", data, self.base_at)[0]
        self.size_of_image = struct.unpack_from("<I", data, opt + 56)[0]
        self.file_alignment = struct.unpack_from("<I", data, opt + 36)[0]
        (self.os_version, _, self.subsystem_version, _, _, _, _,
         self.subsystem, self.dll_characteristics) = struct.unpack_from(
            "<4s4s4sIIIIHH", data, opt + 40)
        self.subsystem_version = struct.unpack("<HH", self.subsystem_version)
        dirs = opt + (112 if wide else 96)
        self.directories = [struct.unpack_from("<II", data, dirs + 8 * i) for i in range(16)]
        self.sections = []
        for i in range(count):
            name, vsize, rva, rawsize, rawptr = struct.unpack_from(
                "<8sIIII", data, opt + opt_size + 40 * i)
            flags = struct.unpack_from("<I", data, opt + opt_size + 40 * i + 36)[0]
            self.sections.append((name.rstrip(b"\0").decode(), rva, vsize, rawptr, rawsize, flags))
        self.wide = wide

    def offset(self, rva):
        for _, start, vsize, rawptr, rawsize, _ in self.sections:
            if start <= rva < start + max(vsize, rawsize):
                assert rva - start < rawsize, "address in uninitialised data"
                return rawptr + rva - start
        raise ValueError(f"address {rva:#x} outside every section")

    def cstring(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("latin-1")

    def imports(self):
        """{dll name (upper case): [function name or ordinal number]}"""
        result = {}
        at = self.offset(self.directories[1][0])
        thunk_size, ordinal_flag = (8, 1 << 63) if self.wide else (4, 1 << 31)
        while True:
            lookup, _, _, name, iat = struct.unpack_from("<IIIII", self.data, at)
            if not name:
                return result
            entries, t = [], self.offset(lookup or iat)
            while True:
                value = struct.unpack_from("<Q" if self.wide else "<I", self.data, t)[0]
                if not value:
                    break
                entries.append(value & 0xFFFF if value & ordinal_flag else self.cstring(value + 2))
                t += thunk_size
            result[self.cstring(name).upper()] = entries
            at += 20

    def relocations(self):
        """[(type, rva)] of every entry of the base relocation table, in order."""
        rva, size = self.directories[5]
        entries, at, end = [], self.offset(rva) if size else 0, (self.offset(rva) + size) if size else 0
        while at < end:
            page, block = struct.unpack_from("<II", self.data, at)
            assert block >= 8 and block % 4 == 0 and at + block <= end, "malformed relocation block"
            for (entry,) in struct.iter_unpack("<H", self.data[at + 8:at + block]):
                entries.append((entry >> 12, page + (entry & 0xFFF)))
            at += block
        return entries

    def resources(self):
        """{(type, name, language): bytes} for every resource, IDs as integers."""
        base_rva = self.directories[2][0]
        base = self.offset(base_rva)
        result = {}
        self.entry_offsets = {}  # (type,) and (type, name) -> file offset of its directory entry

        def walk(at, path):
            named, ids = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + ids):
                ident, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                if ident & 0x80000000:
                    length = struct.unpack_from("<H", self.data, base + (ident & 0x7FFFFFFF))[0]
                    start = base + (ident & 0x7FFFFFFF) + 2
                    ident = self.data[start:start + 2 * length].decode("utf-16-le")
                self.entry_offsets[path + (ident,)] = at + 16 + 8 * i
                if target & 0x80000000:
                    walk(base + (target & 0x7FFFFFFF), path + (ident,))
                else:
                    rva, size = struct.unpack_from("<II", self.data, base + target)
                    result[path + (ident,)] = self.data[self.offset(rva):self.offset(rva) + size]

        walk(base, ())
        return result


def rebased(data, base, missing=()):
    """The image moved to a new preferred base, as a rebasing tool does: every address that its
    relocation table names is adjusted, except at the relocation sites listed in missing."""
    image = Image(data)
    out = bytearray(data)
    width, bits = ("<Q", 64) if image.wide else ("<I", 32)
    for kind, rva in image.relocations():
        if kind and rva not in missing:
            at = image.offset(rva)
            value = struct.unpack_from(width, out, at)[0] + base - image.image_base
            struct.pack_into(width, out, at, value % (1 << bits))
    struct.pack_into(width, out, image.base_at, base)
    return bytes(out)


def _sz_or_ord(data, at):
    """A dialog template's name-or-ordinal field: (value, offset after it)."""
    first = struct.unpack_from("<H", data, at)[0]
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, at + 2)[0], at + 4
    end = at
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[at:end].decode("utf-16-le"), end + 2


def dialog(data):
    """A classic DLGTEMPLATE as a dict, with its controls in order."""
    style, exstyle, count, x, y, cx, cy = struct.unpack_from("<IIHhhhh", data, 0)
    menu, at = _sz_or_ord(data, 18)
    klass, at = _sz_or_ord(data, at)
    title, at = _sz_or_ord(data, at)
    font = None
    if style & 0x40:  # DS_SETFONT
        size = struct.unpack_from("<H", data, at)[0]
        face, at = _sz_or_ord(data, at + 2)
        font = (size, face)
    controls = []
    for _ in range(count):
        at = (at + 3) & ~3
        cstyle, cex, ix, iy, icx, icy, ident = struct.unpack_from("<IIhhhhH", data, at)
        ctl_class, at = _sz_or_ord(data, at + 18)
        text, at = _sz_or_ord(data, at)
        extra = struct.unpack_from("<H", data, at)[0]
        at += 2 + extra
        ctl_class = {0x80: "BUTTON", 0x82: "STATIC"}.get(ctl_class, ctl_class)
        controls.append(dict(cls=ctl_class, id=ident, text=text, style=cstyle, exstyle=cex,
                             rect=(ix, iy, icx, icy)))
    return dict(style=style, exstyle=exstyle, rect=(x, y, cx, cy), menu=menu, cls=klass,
                title=title, font=font, controls=controls)


def version(data):
    """A VS_VERSIONINFO block as nested (key, value, children) tuples."""
    def node(at):
        length, value_length, kind = struct.unpack_from("<HHH", data, at)
        end = at + length
        key_end = at + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[at + 6:key_end].decode("utf-16-le")
        at = (key_end + 2 + 3) & ~3
        if kind == 1:  # text, value_length in characters
            value = data[at:at + 2 * value_length].decode("utf-16-le").rstrip("\0")
            at += 2 * value_length
        else:
            value = data[at:at + value_length]
            at += value_length
        children = []
        at = (at + 3) & ~3
        while at < end:
            child, at = node(at)
            children.append(child)
            at = (at + 3) & ~3
        return (key, value, children), end

    return node(0)[0]
