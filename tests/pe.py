"""What pefile leaves to us in the uninstaller's image: its resources as one table, the dialog
template, and the image moved to another base as a rebasing tool writes it."""
import struct

import pefile


def resources(image):
    """{(type, name, language): bytes} for every resource of a pefile.PE, IDs as integers."""
    def key(entry):
        return entry.id if entry.name is None else str(entry.name)

    return {(key(kind), key(name), key(lang)):
            image.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
            for kind in image.DIRECTORY_ENTRY_RESOURCE.entries
            for name in kind.directory.entries for lang in name.directory.entries}


def rebased(data, base, relocate=True):
    """The image with a new preferred base and every address its relocation table names moved
    with it; without relocate, those addresses still point where the image was."""
    # Imports left unread: pefile would write their relocated addresses back into the import
    # address table, which must hold the names the loader looks up.
    image = pefile.PE(data=data, fast_load=True)
    if relocate:
        image.relocate_image(base)
    image.OPTIONAL_HEADER.ImageBase = base
    return bytes(image.write())


def _sz_or_ord(data, at):
    """A dialog template's name-or-ordinal field: (value, offset after it)."""
    if data[at:at + 2] == b"\xff\xff":
        return struct.unpack_from("<H", data, at + 2)[0], at + 4
    end = next(end for end in range(at, len(data), 2) if data[end:end + 2] == b"\0\0")
    return data[at:end].decode("utf-16-le"), end + 2


def dialog(data):
    """A DLGTEMPLATE: its header as a dict, its controls as (class, ID, text, style, rect)."""
    style, exstyle, count, *rect = struct.unpack_from("<IIHhhhh", data)
    menu, at = _sz_or_ord(data, 18)
    klass, at = _sz_or_ord(data, at)
    title, at = _sz_or_ord(data, at)
    font = None
    if style & 0x40:  # DS_SETFONT: a point size and a face name
        face, end = _sz_or_ord(data, at + 2)
        font, at = (struct.unpack_from("<H", data, at)[0], face), end
    controls = []
    for _ in range(count):
        at = (at + 3) & ~3
        cstyle, _, *crect, ident = struct.unpack_from("<IIhhhhH", data, at)
        ctl_class, at = _sz_or_ord(data, at + 18)
        text, at = _sz_or_ord(data, at)
        at += 2 + struct.unpack_from("<H", data, at)[0]  # past the creation data
        controls.append(({0x80: "BUTTON", 0x82: "STATIC"}.get(ctl_class, ctl_class), ident, text,
                         cstyle, tuple(crect)))
    return dict(style=style, exstyle=exstyle, rect=tuple(rect), menu=menu, cls=klass,
                title=title, font=font), controls
