#!/usr/bin/env python3
"""Checks from the stub's binary what no run under Wine can show (Wine prefers its own built-in
DLLs, so a DLL planted beside the installer is never loaded there): the stub imports only
KnownDLLs, which Windows takes from System32 whatever lies beside the program, and it asks for
SetDefaultDllDirectories by name, to narrow the search of every later DLL to System32. Also its
image flags: no execution of data (NX_COMPAT) and no Terminal Server compatibility layer
(TERMINAL_SERVER_AWARE). Reads PE32 and PE32+ images."""
import struct
import sys

# The KnownDLLs of every Windows the manifest names (7 to 11): those lists' common part.
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "comdlg32.dll", "difxapi.dll", "gdi32.dll", "imagehlp.dll",
    "imm32.dll", "kernel32.dll", "msctf.dll", "msvcrt.dll", "normaliz.dll", "nsi.dll",
    "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll", "setupapi.dll",
    "shell32.dll", "shlwapi.dll", "user32.dll", "wldap32.dll", "ws2_32.dll",
}

class Image:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.sections = struct.unpack_from("<H", data, pe + 6)[0]
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        # The data directories follow the optional header's fixed part: 96 bytes in PE32
        # (magic 0x10B), 112 in PE32+ (0x20B).
        self.directories = optional + {0x10B: 96, 0x20B: 112}[magic]
        self.table = optional + struct.unpack_from("<H", data, pe + 20)[0]
        self.dll_characteristics = struct.unpack_from("<H", data, optional + 70)[0]

    def directory(self, index):
        return struct.unpack_from("<II", self.data, self.directories + 8 * index)

    def offset(self, rva):
        for i in range(self.sections):
            vsize, vaddr, rawsize, raw = struct.unpack_from("<IIII", self.data, self.table + 40 * i + 8)
            if vaddr <= rva < vaddr + max(vsize, rawsize):
                return raw + rva - vaddr
        raise ValueError(f"RVA {rva:#x} outside every section")

    def string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imported_dlls(self):
        rva, _ = self.directory(1)
        names = []
        at = self.offset(rva)
        while True:
            lookup, _, _, name, first = struct.unpack_from("<IIIII", self.data, at)
            if lookup == 0 and name == 0 and first == 0:
                return names
            names.append(self.string(name))
            at += 20

def main():
    data = open(sys.argv[1], "rb").read()
    image = Image(data)
    failures = []
    dlls = image.imported_dlls()
    foreign = [dll for dll in dlls if dll.lower() not in KNOWN_DLLS]
    if foreign:
        failures.append(f"imports DLLs that are no KnownDLLs: {foreign}")
    if b"SetDefaultDllDirectories\0" not in data:
        failures.append("never asks for SetDefaultDllDirectories")
    for flag, name in ((0x0100, "NX_COMPAT"), (0x8000, "TERMINAL_SERVER_AWARE")):
        if not image.dll_characteristics & flag:
            failures.append(f"DllCharacteristics {image.dll_characteristics:#06x} lacks {name}")
    for failure in failures:
        print(f"stub binary: {failure}", file=sys.stderr)
    print(f"stub binary: imports {', '.join(dlls)}; DllCharacteristics "
          f"{image.dll_characteristics:#06x}: {'bad' if failures else 'good'}")
    sys.exit(1 if failures else 0)

if __name__ == "__main__":
    main()
