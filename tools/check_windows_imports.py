"""Check that Windows builds of the module load on a machine with nothing but
the interpreter.

    python tools/check_windows_imports.py [--copy-to DIR] FILE...

Each FILE is a module (.pyd) or a wheel (every .pyd in it is checked).  A
module passes when

- every DLL it imports (directly or delay-loaded) is the interpreter's own
  (python3X.dll, python3Xt.dll), a part of the C runtime that the
  interpreter itself ships (the UCRT: api-ms-win-crt-*, ucrtbase.dll; and
  vcruntime140.dll, vcruntime140_1.dll), or a DLL of Windows itself: never
  msvcp140.dll (the C++ library, which python.org's installers do not ship)
  nor a compiler's runtime (libstdc++, libgcc, libwinpthread);
- it exports its init function, PyInit_<name of the module>, and nothing
  else.

With --copy-to, every FILE that passes is copied into DIR (the wheel
workflow uses this as its repair step, so that a wheel that fails never
reaches the release).  Exits 1 if any FILE fails, naming what is wrong.

Reads the PE headers itself: no dependency but the standard library.
"""

import argparse
import os
import re
import shutil
import struct
import sys
import zipfile

# Lower-case names.  Windows' own DLLs are the ones every installation has;
# the list is closed on purpose, so that a new import is looked at first.
ALLOWED = [
    r"python3\d+t?\.dll",
    r"api-ms-win-crt-[a-z0-9-]+\.dll",
    r"ucrtbase\.dll",
    r"vcruntime140(_1)?\.dll",
    r"api-ms-win-core-[a-z0-9-]+\.dll",
    r"(kernel32|kernelbase|ntdll|advapi32|user32|ws2_32|bcrypt|synchronization)\.dll",
]
ALLOWED_RE = re.compile("(%s)$" % "|".join(ALLOWED))


class PEError(Exception):
    pass


class PE:
    """The parts of a PE image that this check reads: its machine, the DLLs
    it imports and the names it exports."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise PEError("not a PE image (no MZ header)")
        pe = self.u32(0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise PEError("not a PE image (no PE signature)")
        self.machine, nsections = struct.unpack_from("<HH", data, pe + 4)
        opt_size = struct.unpack_from("<H", data, pe + 20)[0]
        opt = pe + 24
        magic = struct.unpack_from("<H", data, opt)[0]
        if magic == 0x20B:  # PE32+
            ndirs_at, dirs_at = opt + 108, opt + 112
        elif magic == 0x10B:  # PE32
            ndirs_at, dirs_at = opt + 92, opt + 96
        else:
            raise PEError("unknown optional header magic %#x" % magic)
        ndirs = self.u32(ndirs_at)
        self.dirs = [struct.unpack_from("<II", data, dirs_at + 8 * i) for i in range(ndirs)]
        self.sections = []
        at = opt + opt_size
        for i in range(nsections):
            vsize, vaddr, rsize, raddr = struct.unpack_from("<IIII", data, at + 40 * i + 8)
            self.sections.append((vaddr, max(vsize, rsize), raddr))

    def u32(self, at):
        return struct.unpack_from("<I", self.data, at)[0]

    def offset(self, rva):
        for vaddr, size, raddr in self.sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + raddr
        raise PEError("address %#x is in no section" % rva)

    def string(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii", "replace")

    def directory(self, index):
        return self.dirs[index] if index < len(self.dirs) and self.dirs[index][0] else (0, 0)

    def imports(self):
        """The DLLs named by the import table and the delay-load table."""
        names = []
        for index, size, name_at in ((1, 20, 12), (13, 32, 4)):
            rva = self.directory(index)[0]
            if not rva:
                continue
            at = self.offset(rva)
            while True:
                entry = self.data[at:at + size]
                if len(entry) < size or not any(entry):
                    break
                names.append(self.string(struct.unpack_from("<I", entry, name_at)[0]))
                at += size
        return names

    def exports(self):
        rva = self.directory(0)[0]
        if not rva:
            return []
        at = self.offset(rva)
        count, names_rva = struct.unpack_from("<I", self.data, at + 24)[0], self.u32(at + 32)
        return [self.string(self.u32(self.offset(names_rva) + 4 * i)) for i in range(count)]


def problems(name, data):
    """What is wrong with the module `name` (its file name), whose bytes are `data`."""
    try:
        pe = PE(data)
        imports, exports = pe.imports(), pe.exports()
    except (PEError, struct.error, ValueError, IndexError) as e:
        return ["cannot read it: %s" % e]
    found = []
    stray = [dll for dll in imports if not ALLOWED_RE.match(dll.lower())]
    if stray:
        found.append("imports DLLs that a machine with only the interpreter may lack: %s" % ", ".join(stray))
    if not any(re.match(r"python3\d+t?\.dll$", dll.lower()) for dll in imports):
        found.append("does not import the interpreter's DLL (imports: %s)" % ", ".join(imports))
    init = "PyInit_" + os.path.basename(name).split(".")[0]
    if exports != [init]:
        found.append("exports %s, expected %s alone" % (exports[:10], init))
    return found


def modules(path):
    """(name, bytes) of each module in `path`, a .pyd or a wheel."""
    if path.endswith(".whl"):
        with zipfile.ZipFile(path) as whl:
            found = [(n, whl.read(n)) for n in whl.namelist() if n.lower().endswith(".pyd")]
        if not found:
            return [(path, None)]
        return found
    with open(path, "rb") as f:
        return [(path, f.read())]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--copy-to", metavar="DIR", help="copy every file that passes into DIR")
    parser.add_argument("files", nargs="+", metavar="FILE")
    args = parser.parse_args(argv)
    failed = 0
    for path in args.files:
        passed = True
        for name, data in modules(path):
            found = ["no module (.pyd) in it"] if data is None else problems(name, data)
            if not found:
                pe = PE(data)
                print("ok: %s: imports %s; exports %s" % (name, ", ".join(pe.imports()), ", ".join(pe.exports())))
            for problem in found:
                print("FAILED: %s: %s" % (name, problem))
            passed = passed and not found
        failed += not passed
        if args.copy_to and passed:
            os.makedirs(args.copy_to, exist_ok=True)
            shutil.copy(path, args.copy_to)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
