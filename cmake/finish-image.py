"""Completes the image that cmake/kestrune.ld packs: the linker fills the resource and relocation
directories only from sections named .rsrc and .reloc, and flags an image without a .reloc
section as having no relocations. This sets the import, resource and relocation directories from
the symbols the linker script defines (read from the link map), clears that flag, clears the
lookup-table field of every import descriptor and computes the checksum again. Fails when a
symbol is missing, the image has no relocations or an import descriptor names no DLL.

The lookup-table fields: the linker script discards the import lookup tables (.idata$4), which
only repeat what the import address table holds until the loader binds it, yet each descriptor's
first field still refers to its table. The linker writes zero there for a discarded section, but
nothing promises that, and any other value would send the loader to bytes that are not a lookup
table; so this writes the zero itself. A descriptor whose lookup-table field is zero makes the
loader read the names and ordinals from the import address table, as it has on every Windows
version. tests/test_image.py (test_imports_without_lookup_tables) checks that every field is zero
and that the imports still read.

usage: finish-image.py IMAGE MAP"""
import re
import struct
import sys

IMPORT, RESOURCE, BASE_RELOCATION = 1, 2, 5
RELOCS_STRIPPED = 0x0001
DIRECTORIES = ((IMPORT, "__import_start__", "__import_end__"),
               (RESOURCE, "__rsrc_start__", "__rsrc_end__"),
               (BASE_RELOCATION, "__reloc_start__", "__reloc_end__"))


def map_symbols(path):
    """{name: address} for the symbols assigned in the linker script, as the map lists them."""
    found = {}
    with open(path) as lines:
        for line in lines:
            m = re.match(r"\s+0x([0-9a-f]+)\s+(__\w+__) = \.", line)
            if m:
                found[m.group(2)] = int(m.group(1), 16)
    return found


def checksum(image, field):
    """The PE checksum: the file's 16-bit words summed with end-around carry, the checksum field
    itself taken as zero, plus the file's length."""
    data = bytes(image[:field]) + b"\0\0\0\0" + bytes(image[field + 4:])
    if len(data) % 2:
        data += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(image)


def finish(image_path, map_path):
    image = bytearray(open(image_path, "rb").read())
    symbols = map_symbols(map_path)
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    optional = pe + 24
    size_optional = struct.unpack_from("<H", image, pe + 20)[0]
    wide = struct.unpack_from("<H", image, optional)[0] == 0x20B
    base = struct.unpack_from("<Q", image, optional + 24)[0] if wide else \
        struct.unpack_from("<I", image, optional + 28)[0]
    directories = optional + (112 if wide else 96)
    for index, start, end in DIRECTORIES:
        if start not in symbols or end not in symbols:
            sys.exit(f"finish-image: {start} or {end} is missing from {map_path}")
        size = symbols[end] - symbols[start]
        if size <= 0:
            sys.exit(f"finish-image: nothing between {start} and {end}")
        struct.pack_into("<II", image, directories + 8 * index, symbols[start] - base, size)
    sections = [struct.unpack_from("<II4xI", image, optional + size_optional + 40 * i + 8)
                for i in range(struct.unpack_from("<H", image, pe + 6)[0])]

    def offset(rva):
        return next(raw + rva - va for size, va, raw in sections if va <= rva < va + size)

    descriptor = offset(symbols["__import_start__"] - base)
    while struct.unpack_from("<5I", image, descriptor) != (0,) * 5:
        if struct.unpack_from("<I", image, descriptor + 12)[0] == 0:
            sys.exit(f"finish-image: an import descriptor at {descriptor:#x} names no DLL")
        struct.pack_into("<I", image, descriptor, 0)
        descriptor += 20
    characteristics = pe + 22
    flags = struct.unpack_from("<H", image, characteristics)[0]
    struct.pack_into("<H", image, characteristics, flags & ~RELOCS_STRIPPED)
    struct.pack_into("<I", image, optional + 64, checksum(image, optional + 64))
    open(image_path, "wb").write(image)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    finish(sys.argv[1], sys.argv[2])
