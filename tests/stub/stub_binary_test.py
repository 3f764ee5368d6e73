#!/usr/bin/env python3
"""Checks from the stub's binary what no run under Wine can show (Wine prefers its own built-in
DLLs, so a DLL planted beside the installer is never loaded there): the stub imports only
KnownDLLs, which Windows takes from System32 whatever lies beside the program, and it asks for
SetDefaultDllDirectories by name, to narrow the search of every later DLL to System32. Also its
image flags: no execution of data (NX_COMPAT) and no Terminal Server compatibility layer
(TERMINAL_SERVER_AWARE); and, with --relocations, an address of its own at every start
(DYNAMIC_BASE, relocations not stripped) with relocations that the loader can apply:
well-formed blocks, each naming a pointer inside the image that points into the image, and some
in a 32-bit image (x86-64 code may need none). Without it, a fixed address: neither.
Reads PE32 and PE32+ images."""
import sys

from pe_image import Image

# The KnownDLLs of every Windows the manifest names (7 to 11): those lists' common part.
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "comdlg32.dll", "difxapi.dll", "gdi32.dll", "imagehlp.dll",
    "imm32.dll", "kernel32.dll", "msctf.dll", "msvcrt.dll", "normaliz.dll", "nsi.dll",
    "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll", "setupapi.dll",
    "shell32.dll", "shlwapi.dll", "user32.dll", "wldap32.dll", "ws2_32.dll",
}

def relocation_failures(image, wanted):
    dynamic = bool(image.dll_characteristics & 0x0040)
    try:
        addresses = image.relocations()
    except ValueError as error:
        return [f"relocations: {error}"]
    if not wanted:
        return [] if not dynamic and not addresses else ["relocations or DYNAMIC_BASE, unasked"]
    failures = [] if dynamic else ["DllCharacteristics lacks DYNAMIC_BASE"]
    if image.file_characteristics & 0x0001:
        failures.append("IMAGE_FILE_RELOCS_STRIPPED")
    # 32-bit code holds absolute addresses; x86-64 code may reach everything relative to itself.
    if not addresses and not image.pe32_plus:
        failures.append("no relocations")
    # Each fixup is a pointer within the image (the loader rewrites it in place) whose value
    # is an address of the image at its preferred base.
    for rva in addresses:
        try:
            value = image.pointer_at(rva)
        except ValueError as error:
            failures.append(f"relocation at {rva:#x}: {error}")
            break
        if not image.image_base <= value < image.image_base + image.size_of_image:
            failures.append(f"relocation at {rva:#x} holds {value:#x}, outside the image")
            break
    return failures

def main():
    data = open(sys.argv[1], "rb").read()
    image = Image(data)
    failures = []
    try:
        imports = image.imports()
    except ValueError as error:
        imports = {}
        failures.append(f"imports: {error}")
    dlls = list(imports)
    failures += [f"{dll}: no function imported" for dll, names in imports.items() if not names]
    foreign = [dll for dll in dlls if dll.lower() not in KNOWN_DLLS]
    if foreign:
        failures.append(f"imports DLLs that are no KnownDLLs: {foreign}")
    if b"SetDefaultDllDirectories\0" not in data:
        failures.append("never asks for SetDefaultDllDirectories")
    for flag, name in ((0x0100, "NX_COMPAT"), (0x8000, "TERMINAL_SERVER_AWARE")):
        if not image.dll_characteristics & flag:
            failures.append(f"DllCharacteristics {image.dll_characteristics:#06x} lacks {name}")
    failures += relocation_failures(image, "--relocations" in sys.argv[2:])
    for failure in failures:
        print(f"stub binary: {failure}", file=sys.stderr)
    try:
        relocations = len(image.relocations())
    except ValueError:
        relocations = "malformed"
    print(f"stub binary: imports {sum(map(len, imports.values()))} functions of "
          f"{', '.join(dlls)}; DllCharacteristics "
          f"{image.dll_characteristics:#06x}; {relocations} relocations: "
          f"{'bad' if failures else 'good'}")
    sys.exit(1 if failures else 0)

if __name__ == "__main__":
    main()
