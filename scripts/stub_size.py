#!/usr/bin/env python3
"""Prints the stub's size by section (code, data, imports, resources) and writes the copy that
is padded with zeros to the fixed stub size (the third argument, the build's kStubSize). Fails
when the stub does not fit, or when less than the optional fourth argument's bytes are free."""
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

def main():
    raw_path, padded_path, limit = sys.argv[1], sys.argv[2], int(sys.argv[3], 0)
    min_free = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    image = open(raw_path, "rb").read()
    rows = list(sections(image))
    kinds = {".text": "code", ".data": "data", ".rdata": "read-only data", ".bss": "zeroed data",
             ".idata": "imports+data", ".rsrc": "resources+imports+data", ".CRT": "runtime tables", ".tls": "tls"}
    print(f"stub {os.path.basename(raw_path)}: {len(image)} of {limit} bytes "
          f"({limit - len(image)} free)")
    print(f"  {'headers':<16}{rows[0][3] if rows else 0:>7} (incl. section table)")
    for name, vsize, rawsize, _ in rows:
        print(f"  {name:<8}{kinds.get(name, ''):<16}{vsize:>7} used {rawsize:>7} in file")
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
