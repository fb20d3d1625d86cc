#!/usr/bin/env python3
"""Reads Windows kernel images with objdump and refuses what Windows would
not load, or what the hosted platform never ran: an image that is not PE32+
for the native subsystem with DriverEntry as its entry, an import from
outside ntoskrnl.exe, HAL.dll, USBD.SYS and SMCLIB.SYS or of a routine the
platform does not provide, any piece of a C++ runtime, a function without
unwind data, or a section both writable and executable. With --inf, the INF
must install each image and write TransferTimeOut under the registry key
the image reads.

  check_image.py --objdump OBJDUMP --nm NM --def smclib.def \
      --platform libtalvor_kernel.so ... [--inf talvor.inf] \
      -- talvor11.sys talvor10.sys

Prints one line per finding and exits 1 when there is any."""

import argparse
import re
import subprocess
import sys

ALLOWED_DLLS = {"ntoskrnl.exe", "HAL.dll", "USBD.SYS", "SMCLIB.SYS"}

# Imports that are a routine on Windows but come from elsewhere on the
# hosted side, with what provides them there.
# - The DDK's RtlCopyMemory, RtlZeroMemory and RtlMoveMemory are macros
#   over the C library's routines, which ntoskrnl.exe exports; hosted, the
#   C library provides them.
# - ntstrsafe.h's routines are inline in the DDK and format with the
#   kernel's _vsnprintf; hosted they are routines of the kernel library.
HOSTED_ELSEWHERE = {
    "memcpy": None,
    "memmove": None,
    "memset": None,
    "memcmp": None,
    "_vsnprintf": "RtlStringCbPrintfA",
}

# Symbols that only a C++ runtime defines or needs.
CXX_RUNTIME = re.compile(
    r"^(__cxa_|__gxx_personality|_Unwind_|__dynamic_cast|_ZTI|_ZTS|"
    r"_Znw|_Zna|_Zdl|_Zda|_ZSt|__gcc_personality)")


def run(*command):
    return subprocess.run(command, check=True, capture_output=True,
                          text=True).stdout


def def_exports(path):
    names, in_exports = set(), False
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split(";", 1)[0].strip()
            if not line:
                continue
            if line.upper() == "EXPORTS":
                in_exports = True
            elif in_exports:
                names.add(line.split()[0])
    return names


def platform_routines(nm, libraries):
    names = set()
    for library in libraries:
        for line in run(nm, "-D", "--defined-only", library).splitlines():
            fields = line.split()
            if len(fields) == 3:
                names.add(fields[2].split("@")[0])
    return names


class Image:
    def __init__(self, objdump, path):
        self.path = path
        self.private = run(objdump, "-p", path)
        self.headers = run(objdump, "-h", path)
        self.symbols = run(objdump, "-t", path)

    def field(self, name):
        match = re.search(rf"^{name}\s+(\S+)(.*)$", self.private, re.M)
        return (match.group(1), match.group(2).strip()) if match else (None, "")

    def sections(self):
        """(name, vma, size, flags) of each section."""
        lines = self.headers.splitlines()
        result = []
        for i, line in enumerate(lines):
            m = re.match(r"^\s*\d+\s+(\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)", line)
            if m and i + 1 < len(lines):
                flags = {f.strip() for f in lines[i + 1].split(",")}
                result.append((m.group(1), int(m.group(2), 16),
                               int(m.group(3), 16), flags))
        return result

    def imports(self):
        """{dll: [routine, ...]} from the import tables."""
        result, dll = {}, None
        for line in self.private.splitlines():
            m = re.match(r"^\s*DLL Name: (\S+)", line)
            if m:
                dll = m.group(1)
                result.setdefault(dll, [])
                continue
            m = re.match(r"^\s*[0-9a-f]+\s+\d+\s+(\S+)$", line)
            if dll and m:
                result[dll].append(m.group(1))
            elif dll and not line.strip() == "" and "vma:" not in line:
                dll = None
        return result

    def defined_symbols(self):
        """{name: (section index, value, is function)}."""
        result = {}
        for line in self.symbols.splitlines():
            m = re.match(r"^\[\s*\d+\]\(sec\s+(-?\d+)\)\(fl [^)]*\)"
                         r"\(ty\s+([0-9a-f]+)\)\(scl\s+\d+\) \(nx \d\) "
                         r"0x([0-9a-f]+) (\S+)$", line)
            if m:
                result[m.group(4)] = (int(m.group(1)), int(m.group(3), 16),
                                      m.group(2) == "20")
        return result

    def function_table(self):
        """(begin, end) virtual addresses of the .pdata entries."""
        table = self.private.split("The Function Table", 1)
        if len(table) < 2:
            return []
        return [(int(b, 16), int(e, 16)) for b, e in re.findall(
            r"^\s*[0-9a-f]+:\s+([0-9a-f]+) ([0-9a-f]+) [0-9a-f]+$",
            table[1], re.M)]


def registry_keys(path):
    """The absolute registry paths an image holds as UTF-16 strings."""
    with open(path, "rb") as f:
        data = f.read()
    prefix = "\\REGISTRY\\Machine\\".encode("utf-16-le")
    keys, start = [], data.lower().find(prefix.lower())
    while start >= 0:
        end = start
        while end + 1 < len(data) and data[end:end + 2] != b"\0\0":
            end += 2
        keys.append(data[start:end].decode("utf-16-le"))
        start = data.lower().find(prefix.lower(), end)
    return keys


def inf_findings(inf, path):
    """What the INF lacks for the image at path."""
    with open(inf, encoding="utf-8") as f:
        text = f.read()
    findings = []
    name = path.replace("\\", "/").rsplit("/", 1)[-1]
    if not re.search(rf"^ServiceBinary\s*=\s*%12%\\{re.escape(name)}\s*$",
                     text, re.M | re.I):
        findings.append(f"{inf} installs no service for {name}")
    written = {m.group(1).lower() for m in re.finditer(
        r'^HKLM,\s*"([^"]+)",\s*"TransferTimeOut",\s*0x0001000[13]',
        text, re.M)}
    keys = registry_keys(path)
    if not keys:
        findings.append("reads no registry key")
    for key in keys:
        relative = key[len("\\REGISTRY\\Machine\\"):].lower()
        if relative not in written:
            findings.append(f"reads {key}, where {inf} writes no "
                            "TransferTimeOut")
    return findings


def check(image, smclib, platform):
    findings = []
    magic, kind = image.field("Magic")
    if kind != "(PE32+)":
        findings.append(f"not PE32+ (magic {magic})")
    subsystem, name = image.field("Subsystem")
    if subsystem is None or int(subsystem, 16) != 1:
        findings.append(f"subsystem {subsystem} {name}, not native")

    sections = image.sections()
    symbols = image.defined_symbols()
    image_base = int(image.field("ImageBase")[0] or "0", 16)
    entry = int(image.field("AddressOfEntryPoint")[0] or "0", 16)

    def rva(symbol):
        index, value, _ = symbols[symbol]
        return sections[index - 1][2] - image_base + value

    if "DriverEntry" not in symbols:
        findings.append("no DriverEntry")
    elif rva("DriverEntry") != entry:
        findings.append(f"entry point {entry:#x} is not DriverEntry")

    for dll, routines in sorted(image.imports().items()):
        if dll not in ALLOWED_DLLS:
            findings.append(f"imports from {dll}")
            continue
        for routine in routines:
            if dll == "SMCLIB.SYS" and routine not in smclib:
                findings.append(f"imports {routine} from {dll}, "
                                "not in smclib.def")
            if routine in HOSTED_ELSEWHERE:
                hosted = HOSTED_ELSEWHERE[routine]
                if hosted is None or hosted in platform:
                    continue
            if routine not in platform:
                findings.append(f"imports {routine}, which the platform "
                                "does not provide")
            if CXX_RUNTIME.match(routine):
                findings.append(f"imports C++ runtime routine {routine}")

    for symbol in symbols:
        if CXX_RUNTIME.match(symbol):
            findings.append(f"C++ runtime symbol {symbol}")
    # No C runtime runs a driver's static constructors: the list between
    # the markers must be empty (its -1 head and 0 tail only).
    if "___CTOR_LIST__" in symbols and "___DTOR_LIST__" in symbols:
        if rva("___DTOR_LIST__") - rva("___CTOR_LIST__") != 16:
            findings.append("static constructors, which nothing would run")
    exports = re.search(r"Export Address Table\s+([0-9a-f]+)", image.private)
    if exports and int(exports.group(1), 16) != 0:
        findings.append("exports routines")

    for name, size, _, flags in sections:
        if "CODE" in flags and "READONLY" not in flags:
            findings.append(f"section {name} is writable and executable")
    pdata = [s for s in sections if s[0] == ".pdata" and s[1] > 0]
    if not pdata:
        findings.append("no unwind tables (.pdata)")
    table = image.function_table()
    for symbol, (index, value, function) in sorted(symbols.items()):
        if not function or index < 1 or "CODE" not in sections[index - 1][3]:
            continue
        # The linker's import thunks are a lone jump: leaf code.
        if "__imp_" + symbol in symbols:
            continue
        address = sections[index - 1][2] + value
        if not any(begin <= address < end for begin, end in table):
            findings.append(f"no unwind data for {symbol}")
    return findings


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--nm", default="nm")
    parser.add_argument("--def", dest="def_file", required=True)
    parser.add_argument("--platform", nargs="+", required=True)
    parser.add_argument("--inf")
    # The .def lists exactly what the images import: a routine no image
    # imports is a finding too.
    parser.add_argument("--exact-def", action="store_true")
    parser.add_argument("images", nargs="+")
    args = parser.parse_args()

    smclib = def_exports(args.def_file)
    platform = platform_routines(args.nm, args.platform)
    failed = False
    imported = set()
    for path in args.images:
        image = Image(args.objdump, path)
        imported |= set(image.imports().get("SMCLIB.SYS", []))
        findings = check(image, smclib, platform)
        if args.inf:
            findings += inf_findings(args.inf, path)
        for finding in findings:
            print(f"{path}: {finding}")
        failed = failed or bool(findings)
        if not findings:
            print(f"{path}: ok")
    if args.exact_def:
        for routine in sorted(set(smclib) - imported):
            print(f"{args.def_file}: {routine} is imported by no image")
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
