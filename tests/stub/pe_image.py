"""Reads a Windows image's headers for the stub's checks: sections, data directories, imports
and resources, of PE32 and PE32+ images alike."""
import struct

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
        self.file_characteristics = struct.unpack_from("<H", data, pe + 22)[0]
        self.pe32_plus = magic == 0x20B
        self.image_base = struct.unpack_from("<Q" if self.pe32_plus else "<I", data,
                                             optional + (24 if self.pe32_plus else 28))[0]
        self.size_of_image = struct.unpack_from("<I", data, optional + 56)[0]

    def directory(self, index):
        return struct.unpack_from("<II", self.data, self.directories + 8 * index)

    def offset(self, rva):
        for i in range(self.sections):
            vsize, vaddr, rawsize, raw = struct.unpack_from("<IIII", self.data, self.table + 40 * i + 8)
            if vaddr <= rva < vaddr + max(vsize, rawsize):
                return raw + rva - vaddr
        raise ValueError(f"RVA {rva:#x} outside every section")

    def relocations(self):
        """The addresses that the base relocation directory names, after checking its blocks:
        each covers one 4 KB page, holds whole entries, and names only the image's own
        pointer-sized fixups (HIGHLOW in PE32, DIR64 in PE32+) or padding. Raises ValueError."""
        rva, size = self.directory(5)
        if size == 0:
            return []
        at, end = self.offset(rva), self.offset(rva) + size
        if end > len(self.data):
            raise ValueError("the relocation directory runs past the file")
        fixup = 10 if self.pe32_plus else 3
        addresses = []
        while at < end:
            page, block = struct.unpack_from("<II", self.data, at)
            if page % 4096 or block < 8 or block % 4 or at + block > end:
                raise ValueError(f"malformed relocation block at page {page:#x}, size {block}")
            for i in range(8, block, 2):
                entry = struct.unpack_from("<H", self.data, at + i)[0]
                if entry >> 12 == fixup:
                    addresses.append(page + (entry & 0xFFF))
                elif entry >> 12 != 0:
                    raise ValueError(f"relocation of type {entry >> 12} at {page:#x}")
            at += block
        return addresses

    def pointer_at(self, rva):
        return struct.unpack_from("<Q" if self.pe32_plus else "<I", self.data, self.offset(rva))[0]

    def string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """Each imported DLL's functions, by name. The loader reads the names from a
        descriptor's lookup table, or from its address table where it names none."""
        rva, _ = self.directory(1)
        found = {}
        at = self.offset(rva)
        step, ordinal = (8, 1 << 63) if self.pe32_plus else (4, 1 << 31)
        while True:
            lookup, _, _, name, first = struct.unpack_from("<IIIII", self.data, at)
            if lookup == 0 and name == 0 and first == 0:
                return found
            functions, entry = [], self.offset(lookup or first)
            while thunk := struct.unpack_from("<Q" if self.pe32_plus else "<I", self.data, entry)[0]:
                if thunk & ordinal:
                    raise ValueError(f"{self.string(name)} imported by ordinal")
                functions.append(self.string(thunk + 2))
                entry += step
            found[self.string(name)] = functions
            at += 20

    def resource(self, type_id, name_id):
        """The bytes of resource `type_id`/`name_id`, in its first language."""
        base = self.offset(self.directory(2)[0])
        def child(directory, wanted):
            named, ids = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                if wanted is None or name == wanted:
                    return target & 0x7FFFFFFF
            raise KeyError(wanted)
        language = child(child(child(0, type_id), name_id), None)
        data_rva, size = struct.unpack_from("<II", self.data, base + language)
        return self.data[self.offset(data_rva):self.offset(data_rva) + size]
