#!/usr/bin/env python3
"""Checks the stub's process manifest: the resource of type 24, id 1 is well-formed XML that asks
for administrator rights, names Windows 7 to 11 as supported, and changes nothing else (no
common-controls 6 dependency, no DPI awareness)."""
import struct
import sys
import xml.etree.ElementTree as ElementTree

SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # Windows 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # Windows 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # Windows 10 and 11
}

def resource(image, type_id, name_id):
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    sections = struct.unpack_from("<H", image, pe + 6)[0]
    optional = pe + 24
    table = optional + struct.unpack_from("<H", image, pe + 20)[0]
    # The data directories follow 96 bytes of PE32 fields, or 112 of PE32+ (a 64-bit build).
    directories = optional + (112 if struct.unpack_from("<H", image, optional)[0] == 0x20B else 96)
    rsrc_rva = struct.unpack_from("<I", image, directories + 2 * 8)[0]  # data directory 2
    def offset(rva):
        for i in range(sections):
            vsize, vaddr, _, raw = struct.unpack_from("<IIII", image, table + 40 * i + 8)
            if vaddr <= rva < vaddr + max(vsize, 1):
                return raw + rva - vaddr
        raise ValueError(f"RVA {rva:#x} outside every section")
    base = offset(rsrc_rva)
    def entries(directory):
        named, ids = struct.unpack_from("<HH", image, base + directory + 12)
        for i in range(named + ids):
            yield struct.unpack_from("<II", image, base + directory + 16 + 8 * i)
    def child(directory, wanted):
        for name, target in entries(directory):
            if wanted is None or name == wanted:
                return target & 0x7FFFFFFF
        raise KeyError(wanted)
    language = child(child(child(0, type_id), name_id), None)
    data_rva, size = struct.unpack_from("<II", image, base + language)
    return image[offset(data_rva):offset(data_rva) + size]

def main():
    manifest = resource(open(sys.argv[1], "rb").read(), 24, 1)
    root = ElementTree.fromstring(manifest)
    ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
          "c": "urn:schemas-microsoft-com:compatibility.v1"}
    levels = [e.get("level") for e in root.iter("{%s}requestedExecutionLevel" % ns["v3"])]
    supported = {e.get("Id") for e in root.iter("{%s}supportedOS" % ns["c"])}
    others = [e.tag for e in root.iter() if e.tag.split("}")[-1] in ("dependency", "dpiAware", "dpiAwareness")]
    failures = []
    if levels != ["requireAdministrator"]:
        failures.append(f"requestedExecutionLevel is {levels}, not requireAdministrator")
    if supported != SUPPORTED_OS:
        failures.append(f"supportedOS is {sorted(supported)}")
    if others:
        failures.append(f"unexpected elements {others}")
    for failure in failures:
        print(f"stub manifest: {failure}", file=sys.stderr)
    print(f"stub manifest: {len(manifest)} bytes, {'bad' if failures else 'good'}")
    sys.exit(1 if failures else 0)

if __name__ == "__main__":
    main()
