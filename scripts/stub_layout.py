#!/usr/bin/env python3
"""Lays out the stub that lld linked, in place, in the fewest file-alignment units:
- lld puts base relocations in a last section (.reloc) and merges nothing into it, nor .rsrc
  into anything: the section header and the padding of that fourth section would cost 512 to
  1,024 bytes of the file. The loader finds the relocations through the data directory alone
  and only reads them, and no address in the image points at them, so they move as they are
  to the end of the .rsrc section before them.
- lld sizes the headers for a .reloc section header even when it writes none (1,024 bytes with
  its 120-byte DOS program, where 512 hold three section headers): the headers shrink to what
  they need and every section's data moves down with them. No address changes, since the
  sections keep their addresses in memory; only their file offsets move.
Refuses relocations whose section follows anything but .rsrc."""
import struct
import sys

RELOCATIONS = 5  # the data directory's index of the base relocation table


def align(value, to):
    return (value + to - 1) // to * to


def header_fields(image):
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    optional = pe + 24
    table = optional + struct.unpack_from("<H", image, pe + 20)[0]
    magic = struct.unpack_from("<H", image, optional)[0]
    return pe, optional, table, optional + {0x10B: 96, 0x20B: 112}[magic]


def section(image, table, i):
    name, vsize, rva, rawsize, raw = struct.unpack_from("<8sIIII", image, table + 40 * i)
    return name.rstrip(b"\0"), vsize, rva, rawsize, raw


def fold_relocations(image):
    """The image with its .reloc section's contents at the end of the .rsrc section before it."""
    pe, optional, table, directories = header_fields(image)
    count = struct.unpack_from("<H", image, pe + 6)[0]
    section_align, file_align = struct.unpack_from("<II", image, optional + 32)
    if count < 2 or section(image, table, count - 2)[0] != b".rsrc":
        raise ValueError("the sections before .reloc end with no .rsrc")
    _, reloc_vsize, reloc_rva, _, reloc_raw = section(image, table, count - 1)
    _, rsrc_vsize, rsrc_rva, _, rsrc_raw = section(image, table, count - 2)
    dir_rva, dir_size = struct.unpack_from("<II", image, directories + 8 * RELOCATIONS)
    if dir_rva != reloc_rva or dir_size > reloc_vsize:
        raise ValueError("the relocation directory is not the .reloc section")

    at = align(rsrc_vsize, 4)
    vsize = at + dir_size
    rawsize = align(vsize, file_align)
    body = bytearray(image[rsrc_raw:rsrc_raw + rsrc_vsize])
    body += bytes(at - rsrc_vsize) + image[reloc_raw:reloc_raw + dir_size]
    body += bytes(rawsize - len(body))

    out = bytearray(image[:rsrc_raw]) + body
    struct.pack_into("<H", out, pe + 6, count - 1)
    struct.pack_into("<II", out, table + 40 * (count - 2) + 8, vsize, rsrc_rva)
    struct.pack_into("<I", out, table + 40 * (count - 2) + 16, rawsize)
    out[table + 40 * (count - 1):table + 40 * count] = bytes(40)
    struct.pack_into("<II", out, directories + 8 * RELOCATIONS, rsrc_rva + at, dir_size)
    # SizeOfImage ends with the last section now; SizeOfInitializedData sums the raw sizes of
    # the sections that hold initialised data.
    struct.pack_into("<I", out, optional + 56, align(rsrc_rva + vsize, section_align))
    initialised = 0
    for i in range(count - 1):
        _, _, size, _, _, _, _, _, flags = struct.unpack_from("<IIIIIIHHI", out, table + 40 * i + 8)
        if flags & 0x40:
            initialised += size
    struct.pack_into("<I", out, optional + 8, initialised)
    return bytes(out)


def shrink_headers(image):
    """The image with its headers in as few file-alignment units as they need, every section's
    data moved down by what that gives back."""
    pe, optional, table, _ = header_fields(image)
    count = struct.unpack_from("<H", image, pe + 6)[0]
    file_align = struct.unpack_from("<I", image, optional + 36)[0]
    headers = struct.unpack_from("<I", image, optional + 60)[0]
    needed = align(table + 40 * count, file_align)
    if needed >= headers:
        return image
    out = bytearray(image)
    for i in range(count):
        raw_at = table + 40 * i + 20
        raw = struct.unpack_from("<I", out, raw_at)[0]
        if raw:
            struct.pack_into("<I", out, raw_at, raw - (headers - needed))
    struct.pack_into("<I", out, optional + 60, needed)
    return bytes(out[:needed] + out[headers:])


def layout(image):
    pe, _, table, _ = header_fields(image)
    count = struct.unpack_from("<H", image, pe + 6)[0]
    if section(image, table, count - 1)[0] == b".reloc":
        image = fold_relocations(image)
    return shrink_headers(image)


def main():
    path = sys.argv[1]
    image = open(path, "rb").read()
    open(path, "wb").write(layout(image))


if __name__ == "__main__":
    main()
