#!/usr/bin/env python3
"""Lays out the stub that lld linked, in place, in the fewest file-alignment units:
- A 32-bit image's import lookup tables duplicate its import address tables, which the loader
  reads instead when a descriptor names no lookup table (OriginalFirstThunk 0). Its relocations
  list every absolute address, so the import tables are packed without them and what follows
  moves down, each address to it corrected.
- lld puts base relocations in a last section (.reloc) and merges nothing into it, nor .rsrc
  into anything: each section costs a header and its padding. The loader finds resources and
  relocations through the data directory alone, and no address in the code points at them. A
  32-bit image's resources and relocations go to the end of its code section, and its zeroed
  data, to which only relocated addresses point, after them: one section in the file. A 64-bit
  image (whose code reaches data relative to itself, with no relocation to correct) keeps its
  sections, its relocations moved to the end of the .rsrc section before them.
- lld sizes the headers for a .reloc section header even when it writes none (1,024 bytes with
  its 120-byte DOS program, where 512 hold three section headers): the headers shrink to what
  they need and every section's data moves down with them. No address changes, since the
  sections keep their addresses in memory; only their file offsets move.
Refuses what it cannot account for: sections other than these, relocations other than 32-bit
addresses, import tables with anything else among them."""
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


IMPORTS, IAT = 1, 12  # the data directories' indices of the import descriptors and the IAT
HIGHLOW = 3  # a base relocation of a 32-bit address


def relocation_sites(image, raw, size):
    """The addresses (RVAs) that the base relocation table at file offset raw lists."""
    sites, at = [], raw
    while at < raw + size:
        page, block = struct.unpack_from("<II", image, at)
        for j in range(at + 8, at + block, 2):
            entry = struct.unpack_from("<H", image, j)[0]
            if entry >> 12 == HIGHLOW:
                sites.append(page + (entry & 0xFFF))
            elif entry >> 12:
                raise ValueError(f"relocation of type {entry >> 12}")
        at += block
    return sorted(sites)


def relocation_table(sites):
    """The base relocation table of these addresses: a block per 4 KB page."""
    out, pages = bytearray(), {}
    for rva in sites:
        pages.setdefault(rva & ~0xFFF, []).append(rva & 0xFFF)
    for page, offsets in sorted(pages.items()):
        if len(offsets) % 2:
            offsets.append(None)  # blocks end on a 4-byte boundary; type 0 pads
        out += struct.pack("<II", page, 8 + 2 * len(offsets))
        out += b"".join(struct.pack("<H", 0 if o is None else HIGHLOW << 12 | o)
                        for o in offsets)
    return bytes(out)


def drop_import_lookup(image):
    """The 32-bit image with its import tables packed without lookup tables, the data after
    them moved down and every relocated address corrected; other images as they are."""
    pe, optional, table, directories = header_fields(image)
    if struct.unpack_from("<H", image, optional)[0] != 0x10B:
        return image
    count = struct.unpack_from("<H", image, pe + 6)[0]
    base = struct.unpack_from("<I", image, optional + 28)[0]
    file_align = struct.unpack_from("<I", image, optional + 36)[0]
    dirs = [list(struct.unpack_from("<II", image, directories + 8 * i)) for i in range(16)]
    if not dirs[RELOCATIONS][1] or not dirs[IMPORTS][1]:
        return image
    sections = [section(image, table, i) for i in range(count)]
    home = next(i for i, (_, vsize, rva, _, _) in enumerate(sections)
                if rva <= dirs[IMPORTS][0] < rva + vsize)
    _, vsize, rva, rawsize, raw = sections[home]
    body = bytearray(image[raw:raw + vsize])

    def u32(at):
        return struct.unpack_from("<I", body, at - rva)[0]

    def cstring(at):
        end = body.index(b"\0", at - rva)
        return bytes(body[at - rva:end + 1])

    # Every piece of the import tables, and what each lookup table entry names.
    pieces, libraries, at = [], [], dirs[IMPORTS][0]
    while True:
        lookup, stamp, forward, name, thunks = struct.unpack_from("<5I", body, at - rva)
        pieces.append((at, 20))
        at += 20
        if not (lookup or name or thunks):
            break
        if stamp or forward not in (0, 0xFFFFFFFF) or not lookup:
            raise ValueError("a bound or unusual import descriptor")
        entries = []
        while u32(lookup + 4 * len(entries)):
            entry = u32(lookup + 4 * len(entries))
            if entry != u32(thunks + 4 * len(entries)) or entry >> 31:
                raise ValueError("an import by ordinal or one already bound")
            entries.append((struct.unpack_from("<H", body, entry - rva)[0], cstring(entry + 2)))
            pieces.append((entry, align(2 + len(entries[-1][1]), 2)))
        pieces += [(lookup, 4 * len(entries) + 4), (thunks, 4 * len(entries) + 4)]
        dll = cstring(name)
        pieces.append((name, len(dll)))
        libraries.append((thunks, entries, dll))
    start = min(p for p, _ in pieces)
    end = max(p + n for p, n in pieces)
    covered = bytearray(end - start)
    for p, n in pieces:
        covered[p - start:p - start + n] = b"\1" * n
    # Between pieces only padding: zeros, or the int3 that fills gaps in an executable section.
    if any(body[start - rva + i] not in (0, 0xCC) for i in range(end - start) if not covered[i]):
        raise ValueError("something other than import tables lies among them")
    iat_start = min(thunks for thunks, _, _ in libraries)
    iat_end = max(thunks + 4 * len(e) + 4 for thunks, e, _ in libraries)
    if dirs[IAT] != [iat_start, iat_end - iat_start]:
        raise ValueError("the IAT directory is not the import address tables")

    # Descriptors, then the address tables in their order, then the names.
    libraries.sort()
    packed_iat = start + 20 * (len(libraries) + 1)
    names_at = packed_iat + (iat_end - iat_start)
    new = bytearray()
    thunk_rows, names = bytearray(), bytearray()
    moved_thunks = {}
    for thunks, entries, dll in libraries:
        moved_thunks[thunks] = packed_iat + len(thunk_rows)
        for hint, name in entries:
            # A hint is only where the loader looks first: with any other it searches the
            # DLL's names. So each entry after the first starts on the end of the name before
            # it, an even address still, its hint whatever that end holds.
            overlap = 2 - len(names) % 2 if names else 0
            thunk_rows += struct.pack("<I", names_at + len(names) - overlap)
            names += bytes(1) if overlap == 1 else b"" if overlap else struct.pack("<H", hint)
            names += name
        thunk_rows += bytes(4)
    if len(thunk_rows) != iat_end - iat_start:
        raise ValueError("the import address tables are not one after another")
    dll_names = {}
    for thunks, _, dll in libraries:
        dll_names[thunks] = names_at + len(names)
        names += dll
    for thunks, _, _ in libraries:
        new += struct.pack("<5I", 0, 0, 0, dll_names[thunks], moved_thunks[thunks])
    new += bytes(20) + thunk_rows + names
    # What follows moves down by a multiple of 16, keeping its alignment.
    shift = (end - start - len(new)) // 16 * 16
    new += bytes(end - start - shift - len(new))

    def moved(address):
        if address >= end:
            return address - shift
        if iat_start <= address < iat_end:
            return address - iat_start + packed_iat
        if address >= start:
            raise ValueError(f"an address into the import tables at {address:#x}")
        return address

    reloc_section = next(i for i, (_, vs, r, _, _) in enumerate(sections)
                         if r <= dirs[RELOCATIONS][0] < r + vs)
    if sections[reloc_section][2] != dirs[RELOCATIONS][0]:
        raise ValueError("the relocations share their section")
    _, _, reloc_rva, _, reloc_raw = sections[reloc_section]
    sites = relocation_sites(image, reloc_raw + dirs[RELOCATIONS][0] - reloc_rva,
                             dirs[RELOCATIONS][1])
    values = {}
    for site in sites:
        if start <= site < end:
            raise ValueError(f"a relocation inside the import tables at {site:#x}")
        holder = next((s for s in sections if s[2] <= site < s[2] + s[1]), None)
        if holder is None or site + 4 > holder[2] + holder[1]:
            raise ValueError(f"a relocation outside the sections at {site:#x}")
        value = struct.unpack_from("<I", image, holder[4] + site - holder[2])[0]
        values[site] = value
    body[start - rva:end - rva] = new
    new_sites = []
    for site, value in values.items():
        target = value - base
        inside = rva <= target < rva + vsize or target == rva + vsize
        new_value = base + moved(target) if inside else value
        site = moved(site) if rva <= site < rva + vsize else site
        new_sites.append(site)
        if rva <= site < rva + vsize - shift:
            struct.pack_into("<I", body, site - rva, new_value)
        elif new_value != value:
            raise ValueError("a relocated address outside the packed section changed")
    for i, (d_rva, d_size) in enumerate(dirs):
        if i in (IMPORTS, IAT) or not d_size or not rva <= d_rva < rva + vsize:
            continue
        dirs[i][0] = moved(d_rva)
    dirs[IMPORTS] = [start, 20 * (len(libraries) + 1)]
    dirs[IAT] = [packed_iat, iat_end - iat_start]
    relocations = relocation_table(new_sites)

    # The file again: headers, each section's data in turn, the relocations where they were.
    out = bytearray(image[:struct.unpack_from("<I", image, optional + 60)[0]])
    contents = []
    for i, (name, vs, r, rs, rw) in enumerate(sections):
        data = bytes(body) if i == home else image[rw:rw + min(vs, rs)] if rw else b""
        if i == reloc_section:
            data = relocations
        contents.append((i, len(data) if i in (home, reloc_section) else vs, data))
    for i, virtual, data in contents:
        entry = table + 40 * i
        if data:
            struct.pack_into("<II", out, entry + 16, align(len(data), file_align), len(out))
            out += data + bytes(align(len(data), file_align) - len(data))
        struct.pack_into("<I", out, entry + 8, virtual)
    dirs[RELOCATIONS][1] = len(relocations)
    for i, (d_rva, d_size) in enumerate(dirs):
        struct.pack_into("<II", out, directories + 8 * i, d_rva, d_size)
    struct.pack_into("<I", out, optional + 4, align(len(body), file_align))  # SizeOfCode
    struct.pack_into("<I", out, optional + 16, moved(struct.unpack_from("<I", out, optional + 16)[0]))
    return bytes(out)


RESOURCES = 2  # the data directory's index of the resource tree


def rebase_resources(data, delta):
    """The resource tree's data entries moved by delta; its directories hold offsets within the
    tree and stay as they are."""
    out, pending = bytearray(data), [0]
    while pending:
        at = pending.pop()
        named, numbered = struct.unpack_from("<HH", out, at + 12)
        for k in range(named + numbered):
            child = struct.unpack_from("<I", out, at + 16 + 8 * k + 4)[0]
            if child & 0x80000000:
                pending.append(child & 0x7FFFFFFF)
            else:
                rva = struct.unpack_from("<I", out, child)[0]
                struct.pack_into("<I", out, child, rva + delta)
    return bytes(out)


def merge_sections(image):
    """The 32-bit image's resources and relocations at the end of its code section, and its
    zeroed data after them: one section in the file, whose single padding is all the file
    spends on alignment. Every relocated address into the zeroed data moves with it. Other
    images as they are."""
    pe, optional, table, directories = header_fields(image)
    count = struct.unpack_from("<H", image, pe + 6)[0]
    if struct.unpack_from("<H", image, optional)[0] != 0x10B:
        return image
    names = [section(image, table, i)[0] for i in range(count)]
    if b".reloc" not in names:
        return image
    if names != [b".text", b".data", b".rsrc", b".reloc"]:
        raise ValueError(f"sections {names}, not code, zeroed data, resources, relocations")
    base = struct.unpack_from("<I", image, optional + 28)[0]
    section_align, file_align = struct.unpack_from("<II", image, optional + 32)
    (_, text_vsize, text_rva, _, text_raw), (_, data_vsize, data_rva, data_rawsize, _), \
        (_, rsrc_vsize, rsrc_rva, _, rsrc_raw), (_, _, reloc_rva, _, reloc_raw) = \
        [section(image, table, i) for i in range(count)]
    if data_rawsize:
        raise ValueError("the data section holds more than zeroed data")
    dirs = [list(struct.unpack_from("<II", image, directories + 8 * i)) for i in range(16)]
    if dirs[RESOURCES] != [rsrc_rva, rsrc_vsize] or dirs[RELOCATIONS][0] != reloc_rva:
        raise ValueError("the resources or relocations do not fill their sections")
    resources_at = align(text_vsize, 16)
    relocations_at = align(resources_at + rsrc_vsize, 4)
    vsize = relocations_at + dirs[RELOCATIONS][1]
    new_data_rva = align(text_rva + vsize, section_align)

    body = bytearray(image[text_raw:text_raw + text_vsize])
    body += bytes(resources_at - len(body))
    body += rebase_resources(image[rsrc_raw:rsrc_raw + rsrc_vsize], text_rva + resources_at - rsrc_rva)
    body += bytes(relocations_at - len(body))
    relocations = image[reloc_raw:reloc_raw + dirs[RELOCATIONS][1]]
    body += relocations
    for site in relocation_sites(image, reloc_raw, dirs[RELOCATIONS][1]):
        if not text_rva <= site < text_rva + text_vsize - 3:
            raise ValueError(f"a relocation outside the code section at {site:#x}")
        value = struct.unpack_from("<I", body, site - text_rva)[0] - base
        if data_rva <= value <= data_rva + data_vsize:
            struct.pack_into("<I", body, site - text_rva, base + value - data_rva + new_data_rva)
        elif rsrc_rva <= value < align(reloc_rva + 1, section_align):
            raise ValueError(f"an address into the resources at {site:#x}")
    rawsize = align(vsize, file_align)
    body += bytes(rawsize - vsize)

    headers = struct.unpack_from("<I", image, optional + 60)[0]
    out = bytearray(image[:headers])
    struct.pack_into("<H", out, pe + 6, 2)
    struct.pack_into("<IIII", out, table + 8, vsize, text_rva, rawsize, headers)
    flags = struct.unpack_from("<I", out, table + 36)[0] | 0x40  # holds initialised data too
    struct.pack_into("<I", out, table + 36, flags)
    struct.pack_into("<I", out, table + 40 + 12, new_data_rva)
    out[table + 80:table + 160] = bytes(80)
    for i, (d_rva, d_size) in enumerate(dirs):
        if d_size and data_rva <= d_rva < data_rva + data_vsize:
            raise ValueError(f"data directory {i} in the zeroed data")
    dirs[RESOURCES][0] = text_rva + resources_at
    dirs[RELOCATIONS][0] = text_rva + relocations_at
    for i, (d_rva, d_size) in enumerate(dirs):
        struct.pack_into("<II", out, directories + 8 * i, d_rva, d_size)
    struct.pack_into("<II", out, optional + 4, rawsize, rawsize)  # code, initialised data
    struct.pack_into("<I", out, optional + 56, align(new_data_rva + data_vsize, section_align))
    return bytes(out + body)


def layout(image):
    pe, _, table, _ = header_fields(image)
    count = struct.unpack_from("<H", image, pe + 6)[0]
    image = merge_sections(drop_import_lookup(image))
    if section(image, table, count - 1)[0] == b".reloc":
        image = fold_relocations(image)
    return shrink_headers(image)

def main():
    path = sys.argv[1]
    image = open(path, "rb").read()
    open(path, "wb").write(layout(image))


if __name__ == "__main__":
    main()
