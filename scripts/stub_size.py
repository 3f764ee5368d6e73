#!/usr/bin/env python3
"""Prints the stub's size by section (code, data, imports, resources) and the base relocations
wherever they lie, and writes the copy that is padded with zeros to the fixed stub size (the
third argument, the build's kStubSize). Fails when the stub does not fit, or when less than the
optional fourth argument's bytes are free."""
import os
import struct
import sys

def sections(image):
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    count = struct.unpack_from("<H", image, pe + 6)[0]
    optional = struct.unpack_from("<H", image, pe + 20)[0]
    table = pe + 24 + optional
    for i in range(count):
        name, vsize, _, rawsize, _ = struct.unpack_from("<8sIIII", image, table + 40 * i)
        yield name.rstrip(b"\0").decode(), vsize, rawsize, table + 40 * count

def relocations(image):
    """The base relocation directory's size, its number of addresses, and the section it is in."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    optional = pe + 24
    directories = optional + {0x10B: 96, 0x20B: 112}[struct.unpack_from("<H", image, optional)[0]]
    rva, size = struct.unpack_from("<II", image, directories + 8 * 5)
    if size == 0:
        return 0, 0, None
    count = struct.unpack_from("<H", image, pe + 6)[0]
    table = optional + struct.unpack_from("<H", image, pe + 20)[0]
    for i in range(count):
        name, vsize, vaddr, _, raw = struct.unpack_from("<8sIIII", image, table + 40 * i)
        if vaddr <= rva < vaddr + vsize:
            at, end, addresses = raw + rva - vaddr, raw + rva - vaddr + size, 0
            while at < end:
                block = struct.unpack_from("<I", image, at + 4)[0]
                addresses += sum(1 for j in range(at + 8, at + block, 2)
                                 if struct.unpack_from("<H", image, j)[0] >> 12)
                at += block
            return size, addresses, name.rstrip(b"\0").decode()
    return size, 0, "no section"

def main():
    raw_path, padded_path, limit = sys.argv[1], sys.argv[2], int(sys.argv[3], 0)
    min_free = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    image = open(raw_path, "rb").read()
    rows = list(sections(image))
    # The stub's sections (installer/CMakeLists.txt): code with read-only data and imports;
    # zeroed data; resources, with the relocations after them when the stub has any.
    reloc_size, addresses, reloc_section = relocations(image)
    kinds = {".text": "code+imports", ".data": "zeroed data", ".bss": "zeroed data",
             ".rdata": "read-only data", ".idata": "imports", ".reloc": "relocations",
             ".rsrc": "resources+relocations" if reloc_section == ".rsrc" else "resources"}
    print(f"stub {os.path.basename(raw_path)}: {len(image)} of {limit} bytes "
          f"({limit - len(image)} free)")
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    headers = struct.unpack_from("<I", image, pe + 24 + 60)[0]
    print(f"  {'headers':<30}{rows[0][3] if rows else 0:>7} used {headers:>7} in file")
    for name, vsize, rawsize, _ in rows:
        print(f"  {name:<8}{kinds.get(name, ''):<22}{vsize:>7} used {rawsize:>7} in file")
    if reloc_section:
        print(f"  {'relocations, in ' + reloc_section:<30}{reloc_size:>7} ({addresses} addresses)")
    else:
        print(f"  {'relocations':<30}{0:>7} (none: the stub has a fixed address)")
    if len(image) > limit:
        print(f"stub_size: the stub is {len(image) - limit} bytes over {limit}", file=sys.stderr)
        sys.exit(1)
    if limit - len(image) < min_free:
        print(f"stub_size: {limit - len(image)} bytes free, fewer than the {min_free} required",
              file=sys.stderr)
        sys.exit(1)
    open(padded_path, "wb").write(image + b"\0" * (limit - len(image)))

if __name__ == "__main__":
    main()
