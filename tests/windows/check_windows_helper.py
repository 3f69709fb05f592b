#!/usr/bin/env python3
"""Checks the structure of the Windows helper, read straight from its PE file:

  - it exports the data symbol NvOptimusEnablementCuda, a 32-bit 1;
  - it imports KERNEL32.dll and the Universal C Runtime's api-ms-win-crt-*.dll only: no CUDA DLL,
    no mingw-w64 runtime DLL (libstdc++, libgcc, winpthread);
  - its manifest selects the UTF-8 code page, so that arguments arrive in UTF-8;
  - the kernel name the host code registers with the CUDA runtime is the name of the PTX entry;
  - its fat binary passes the Linux build's device-code checks (targets, resources, atomics).

usage: check_windows_helper.py <mavo-edge-gpu-helper.exe> <cuobjdump> <architectures>
"""
import os
import re
import struct
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "device_code"))
import check_device_code  # noqa: E402


class PeImage:
    def __init__(self, path):
        self.data = open(path, "rb").read()
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        sections, optional_size = struct.unpack_from("<2xH12xH", self.data, pe + 4)
        optional = pe + 24
        self.directories = optional + 112  # PE32+: the data directories follow 112 bytes in
        table = optional + optional_size
        self.sections = [struct.unpack_from("<8sIIII", self.data, table + 40 * k)
                         for k in range(sections)]

    def offset(self, rva):
        for _, size, address, raw_size, raw_offset in self.sections:
            if address <= rva < address + max(size, raw_size):
                return raw_offset + rva - address
        raise ValueError(f"RVA {rva:#x} lies in no section")

    def directory(self, index):
        return struct.unpack_from("<II", self.data, self.directories + 8 * index)

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def exports(self):
        rva, _ = self.directory(0)
        if rva == 0:
            return {}
        table = self.offset(rva)
        _, _, count, functions, names, ordinals = struct.unpack_from("<16sIIIIII", self.data,
                                                                     table)[1:7]
        exported = {}
        for k in range(count):
            name = self.text(struct.unpack_from("<I", self.data, self.offset(names) + 4 * k)[0])
            ordinal = struct.unpack_from("<H", self.data, self.offset(ordinals) + 2 * k)[0]
            exported[name] = struct.unpack_from("<I", self.data,
                                                self.offset(functions) + 4 * ordinal)[0]
        return exported

    def imported_dlls(self):
        rva, _ = self.directory(1)
        dlls, entry = [], self.offset(rva)
        while True:
            name = struct.unpack_from("<12xI", self.data, entry)[0]
            if name == 0:
                return dlls
            dlls.append(self.text(name))
            entry += 20


def device_code_problems(image, fatbin, cuobjdump, architectures):
    problems = []
    others = b"".join(image.data[section[4]:section[4] + section[3]]
                      for section in image.sections if section is not fatbin)
    registered = {name.decode() for name in re.findall(rb"_Z\w*edge_mix_kernel\w*", others)}
    with tempfile.NamedTemporaryFile(suffix=".fatbin") as device_code:
        device_code.write(image.data[fatbin[4]:fatbin[4] + fatbin[1]])
        device_code.flush()
        ptx = subprocess.run([cuobjdump, "--dump-ptx", device_code.name], capture_output=True,
                             text=True, check=True).stdout
        entries = set(re.findall(r"\.entry (\w+)\(", ptx))
        print(f"registered: {sorted(registered)}; PTX entries: {sorted(entries)}")
        if len(registered) != 1 or registered != entries:
            problems.append("the registered kernel name is not the PTX entry")
        if check_device_code.main(device_code.name, cuobjdump, architectures) != 0:
            problems.append("device code")
    return problems


def main(helper, cuobjdump, architectures):
    image = PeImage(helper)
    problems = []

    exports = image.exports()
    value = None
    if "NvOptimusEnablementCuda" in exports:
        value = struct.unpack_from("<I", image.data,
                                   image.offset(exports["NvOptimusEnablementCuda"]))[0]
    print(f"exports: {sorted(exports)}; NvOptimusEnablementCuda = {value}")
    if value != 1:
        problems.append("NvOptimusEnablementCuda is not exported with the value 1")

    dlls = image.imported_dlls()
    print(f"imports: {', '.join(dlls)}")
    c_runtime = re.compile(r"api-ms-win-crt-[a-z]+-l1-1-0\.dll")
    unexpected = [dll for dll in dlls if dll != "KERNEL32.dll" and not c_runtime.fullmatch(dll)]
    if unexpected or "KERNEL32.dll" not in dlls:
        problems.append(f"imports other than KERNEL32.dll and the C runtime: {unexpected}")

    resources = b"".join(image.data[section[4]:section[4] + section[3]]
                         for section in image.sections if section[0].startswith(b".rsrc"))
    utf8 = re.search(rb"<activeCodePage[^>]*>UTF-8</activeCodePage>", resources) is not None
    print(f"manifest selects UTF-8: {utf8}")
    if not utf8:
        problems.append("no manifest selecting the UTF-8 code page")

    # The fat binary has a section of its own; the registered name is a string of the host code.
    fatbin = next((section for section in image.sections if section[0] == b".nv_fatb"), None)
    if fatbin is None:
        problems.append("no fat binary")
    else:
        problems += device_code_problems(image, fatbin, cuobjdump, architectures)

    for problem in problems:
        print(f"FAIL {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
