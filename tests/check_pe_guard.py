#!/usr/bin/env python3
"""The bridge DLL as built keeps its fault guard reachable on real Windows.

A toolchain or linker change can silently disable a frame-based handler
without changing what Wine does, so the headers are read here:
  - DllCharacteristics lacks NO_SEH (with it, Windows calls no handler of
    the image at all);
  - on 32-bit, a safe-handler table, where there is one, lists the guard's
    handler (Windows calls no handler that such a table leaves out);
  - on 64-bit, the unwind entry of the guard's trampoline names the guard's
    handler as its exception handler.
The guard's two symbols are found in the image's symbol table.

  check_pe_guard.py <dll>
"""
import struct
import sys

NO_SEH = 0x0400
UNW_FLAG_EHANDLER = 0x1
UNW_FLAG_CHAININFO = 0x4


def fail(text):
    print("FAIL: " + text, file=sys.stderr)
    sys.exit(1)


class Image:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            fail(path + " is not a PE image")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            fail(path + " has no PE signature")
        (self.machine, sections, _, self.symbols_at, self.symbol_count, optional_size,
         _) = struct.unpack_from("<HHIIIHH", d, pe + 4)
        opt = pe + 24
        magic = struct.unpack_from("<H", d, opt)[0]
        if magic not in (0x10B, 0x20B):
            fail("unknown optional header magic %#x" % magic)
        self.wide = magic == 0x20B
        self.image_base = (struct.unpack_from("<Q", d, opt + 24)[0] if self.wide else
                           struct.unpack_from("<I", d, opt + 28)[0])
        self.dll_characteristics = struct.unpack_from("<H", d, opt + 70)[0]
        directories = opt + (112 if self.wide else 96)
        count = struct.unpack_from("<I", d, directories - 4)[0]
        self.directories = [struct.unpack_from("<II", d, directories + 8 * i)
                            for i in range(count)]
        self.sections = []
        table = opt + optional_size
        for i in range(sections):
            name, vsize, va, raw_size, raw_at = struct.unpack_from("<8sIIII", d, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), va, max(vsize, raw_size), raw_at))

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def at(self, rva):
        """The file offset of an address relative to the image base."""
        for _, va, size, raw_at in self.sections:
            if va <= rva < va + size:
                return raw_at + rva - va
        fail("address %#x lies in no section" % rva)

    def symbol(self, *names):
        """The address (relative to the image base) of the first of names found."""
        d = self.data
        if self.symbols_at == 0:
            fail("the image has no symbol table (stripped?): the guard cannot be found")
        strings = self.symbols_at + 18 * self.symbol_count
        i = 0
        while i < self.symbol_count:
            at = self.symbols_at + 18 * i
            raw, value, section, _, _, aux = struct.unpack_from("<8sIhHBB", d, at)
            if raw[:4] == b"\0\0\0\0":
                offset = struct.unpack_from("<I", raw, 4)[0]
                name = d[strings + offset:d.index(b"\0", strings + offset)].decode()
            else:
                name = raw.rstrip(b"\0").decode()
            if name in names and section > 0:
                return self.sections[section - 1][1] + value
            i += 1 + aux
        fail("no symbol " + " or ".join(names) + " in the image")


def check_32(image):
    handler = image.symbol("_JwGuardHandler")
    config_rva, config_size = image.directory(10)
    if config_rva == 0:
        return "no load configuration: every handler of the image may run"
    config = image.at(config_rva)
    size = struct.unpack_from("<I", image.data, config)[0]
    if size < 0x48:
        return "a load configuration without a safe-handler table"
    table_va, count = struct.unpack_from("<II", image.data, config + 0x40)
    if table_va == 0 or count == 0:
        return "no safe-handler table: every handler of the image may run"
    table = image.at(table_va - image.image_base)
    handlers = struct.unpack_from("<%dI" % count, image.data, table)
    if handler not in handlers:
        fail("the safe-handler table (%d entries) leaves out the guard's handler at %#x"
             % (count, handler))
    return "the safe-handler table lists the guard's handler"


def check_64(image):
    trampoline = image.symbol("JwGuardedCall")
    handler = image.symbol("JwGuardHandler")
    pdata_rva, pdata_size = image.directory(3)
    if pdata_rva == 0:
        fail("no exception directory: the trampoline has no unwind information")
    pdata = image.at(pdata_rva)
    for i in range(pdata_size // 12):
        begin, end, unwind = struct.unpack_from("<III", image.data, pdata + 12 * i)
        if begin <= trampoline < end:
            break
    else:
        fail("no unwind entry covers the trampoline at %#x" % trampoline)
    info = image.at(unwind)
    flags = image.data[info] >> 3
    codes = image.data[info + 2]
    if flags & UNW_FLAG_CHAININFO or not flags & UNW_FLAG_EHANDLER:
        fail("the trampoline's unwind entry names no exception handler (flags %#x)" % flags)
    named = struct.unpack_from("<I", image.data, info + 4 + 2 * (codes + (codes & 1)))[0]
    if named != handler:
        fail("the trampoline's unwind entry names %#x, not the guard's handler at %#x"
             % (named, handler))
    return "the trampoline's unwind entry names the guard's handler"


def main():
    if len(sys.argv) != 2:
        fail("usage: check_pe_guard.py <dll>")
    image = Image(sys.argv[1])
    if image.dll_characteristics & NO_SEH:
        fail("DllCharacteristics %#06x has NO_SEH: Windows would call no handler of the image"
             % image.dll_characteristics)
    if image.machine == 0x14C:
        said = check_32(image)
    elif image.machine == 0x8664:
        said = check_64(image)
    else:
        fail("unknown machine %#x" % image.machine)
    print("guard reachable: no NO_SEH flag; " + said)


if __name__ == "__main__":
    main()
