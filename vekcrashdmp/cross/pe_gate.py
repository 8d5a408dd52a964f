#!/usr/bin/python3
"""Checks a linked kernel driver image before it counts as built.

Each fault found is printed as one line, "pe_gate: IMAGE: problem", and the
exit status is 1 when there is any. The checks are the ones whose failure
shows up only on a real machine, usually as a load failure or as a second
bug check inside the crash path:

  - imports only from ntoskrnl.exe and HAL.dll (nothing else is loaded for
    a boot driver, and delay loading does not exist in the kernel);
  - with --exports, each imported name (routine or data) is one the
    module exports on the oldest Windows the image is for, as an import
    library made from a real export table lists it (mingw-w64's x64
    libntoskrnl.a, whose nm shows routines as T and data as I __imp_): a
    name missing there fails the whole load with 0xC0000263 on a real
    machine. Names a later version exports (--later-exports) are reported
    with that version: such a routine must be looked up at run time;
  - native subsystem, with the subsystem and operating system versions
    both the oldest Windows the image is for (--windows-version);
  - a correct PE checksum (lld-link writes 0);
  - no section both writable and executable;
  - unwind data (.pdata) for every function that changes the stack pointer,
    or the kernel cannot unwind through it when it dispatches an exception
    or walks the stack; functions come from the PDB, which must belong to
    this very image;
  - each __C_specific_handler scope table still holds its guarded ranges,
    and every function named with --guarded has one;
  - every data symbol named with --read-only lies in a section that is not
    writable;
  - the code reachable from a function named with --restricted (the bug
    check report) calls no imported routine other than those named with
    --restricted-import. Reachable means through direct calls and jumps,
    including the linker's import thunks; calls through a pointer are not
    followed.
"""

import argparse
import bisect
import os
import re
import shutil
import struct
import subprocess
import sys
import uuid

import pefile

ALLOWED_IMPORT_DLLS = ("ntoskrnl.exe", "hal.dll")
IMAGE_SUBSYSTEM_NATIVE = 1
# Windows 7 and Server 2008 R2.
OLDEST_WINDOWS = "6.1"
# nm of a GNU import library: "0000000000000000 T Name" for a routine's
# thunk, "0000000000000000 I __imp_Name" for every import slot (data has
# only the slot).
NM_ROUTINE = re.compile(r"^[0-9a-fA-F]*\s+T\s+(\S+)$")
NM_IMPORT_SLOT = re.compile(r"^[0-9a-fA-F]*\s+I\s+__imp_(\S+)$")
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
IMAGE_DEBUG_TYPE_CODEVIEW = 2
DWORD_SIZE = 4
# "RSDS", the PDB's GUID, then its age (a NUL-terminated path follows).
CODEVIEW_PDB70_SIGNATURE = b"RSDS"
GUID_SIZE = 16
CODEVIEW_HEADER_SIZE = len(CODEVIEW_PDB70_SIGNATURE) + GUID_SIZE + DWORD_SIZE

RUNTIME_FUNCTION_SIZE = 12
UNWIND_INFO_HEADER_SIZE = 4
UNWIND_CODE_SIZE = 2
UNWIND_FLAGS_SHIFT = 3
UNW_FLAG_EHANDLER = 0x1
UNW_FLAG_UHANDLER = 0x2
UNW_FLAG_CHAININFO = 0x4
# After the unwind codes: the handler's RVA, then its data, which for
# __C_specific_handler is a record count and that many scope records.
HANDLER_FIELD_SIZE = DWORD_SIZE
SCOPE_COUNT_SIZE = DWORD_SIZE
SCOPE_RECORD_SIZE = 16
C_SPECIFIC_HANDLER = "__C_specific_handler"

# The linker reaches an imported routine through "jmp qword ptr [rip+disp32]".
IMPORT_THUNK_OPCODE = b"\xff\x25"
IMPORT_THUNK_LENGTH = 6

# Instructions that move the stack pointer; a function containing any of them
# (or writing rsp directly) needs unwind data.
STACK_MNEMONICS = frozenset(
    ("call", "push", "pushfq", "pushq", "pop", "popfq", "popq", "enter", "leave"))
STACK_READING_MNEMONICS = frozenset(("cmp", "test"))

PROC_RECORD = re.compile(r"\|\s+S_[GL]PROC32(?:_ID)?\s+\[size = \d+\]\s+`(.*)`\s*$")
PROC_ADDRESS = re.compile(r"addr = (\d+):(\d+), code size = (\d+)")
DATA_RECORD = re.compile(r"\|\s+S_[GL]DATA32\s+\[size = \d+\]\s+`(.*)`\s*$")
DATA_ADDRESS = re.compile(r"addr = (\d+):(\d+)\s*$")
# "call 0x140001470 <.text+0x470>" and "call qword ptr [rip + 9476]  # 0x140003528".
DIRECT_TARGET = re.compile(r"^0x([0-9a-f]+)\b")
MEMORY_TARGET = re.compile(r"qword ptr \[rip [+-] \d+\]\s+# 0x([0-9a-f]+)")
BRANCH_MNEMONICS = frozenset(("call", "jmp"))
PDB_GUID = re.compile(r"^\s*GUID:\s*\{([0-9A-Fa-f-]+)\}\s*$", re.MULTILINE)
PDB_AGE = re.compile(r"^\s*Age:\s*(\d+)\s*$", re.MULTILINE)
DISASSEMBLY_LINE = re.compile(r"^\s*([0-9a-f]+):\s+(\S+)[ \t]*(.*)$")


class GateError(Exception):
    """A check could not be carried out at all."""


class Function:
    def __init__(self, name, start, size):
        self.name = name
        self.start = start
        self.end = start + size


class RuntimeFunction:
    def __init__(self, begin, end, unwind):
        self.begin = begin
        self.end = end
        self.unwind = unwind


class Gate:
    def __init__(self, image, pdb, pdbutil, objdump):
        self.image = image
        self.pdb = pdb
        self.pdbutil = pdbutil
        self.objdump = objdump
        self.problems = []
        self.symbol_text = None
        self.pe = pefile.PE(image, fast_load=True)
        self.pe.parse_data_directories(directories=[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"],
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DEBUG"],
        ])
        self.image_base = self.pe.OPTIONAL_HEADER.ImageBase
        self.instructions = None

    def problem(self, text):
        self.problems.append(text)

    # -- image headers -----------------------------------------------------

    def check_imports(self):
        directory = self.directory("IMAGE_DIRECTORY_ENTRY_IMPORT")
        entries = getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", [])
        if directory.Size != 0 and not entries:
            self.problem("import directory cannot be read")
        for entry in entries:
            dll = entry.dll.decode("ascii", "replace")
            if dll.lower() not in ALLOWED_IMPORT_DLLS:
                names = ", ".join(sorted(
                    imp.name.decode("ascii", "replace") for imp in entry.imports if imp.name))
                self.problem(f"imports from {dll} ({names}); a driver may import only from "
                             "ntoskrnl.exe and HAL.dll")
        for entry in getattr(self.pe, "DIRECTORY_ENTRY_DELAY_IMPORT", []):
            dll = entry.dll.decode("ascii", "replace")
            self.problem(f"delay-loads {dll}; the kernel has no delay loading")

    def check_exports(self, exports, later):
        """exports: {dll: set of names}; later: {name: (version, page)}."""
        for entry in getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", []):
            dll = entry.dll.decode("ascii", "replace").lower()
            if dll not in exports:
                continue
            for imp in entry.imports:
                if not imp.name:
                    self.problem(f"imports ordinal {imp.ordinal} from {dll}; the kernel binds "
                                 "drivers by name")
                    continue
                name = imp.name.decode("ascii", "replace")
                if name in exports[dll]:
                    continue
                if name in later:
                    version, page = later[name]
                    self.problem(f"imports {name} from {dll}, first exported by Windows "
                                 f"{version} ({page}): the image does not load on older "
                                 "kernels; look it up at run time")
                else:
                    self.problem(f"imports {name} from {dll}, which no x64 kernel exports "
                                 "(not in its import library): the loader refuses the image "
                                 "with 0xC0000263")

    def check_subsystem(self, windows_version):
        header = self.pe.OPTIONAL_HEADER
        subsystem = header.Subsystem
        if subsystem != IMAGE_SUBSYSTEM_NATIVE:
            self.problem(f"subsystem is {subsystem}, not native ({IMAGE_SUBSYSTEM_NATIVE})")
        # The fields state the oldest Windows the image is for.
        for field, version in (
                ("subsystem", (header.MajorSubsystemVersion, header.MinorSubsystemVersion)),
                ("operating system", (header.MajorOperatingSystemVersion,
                                      header.MinorOperatingSystemVersion))):
            if version != windows_version:
                self.problem(f"{field} version is {version[0]}.{version[1]}, not "
                             f"{windows_version[0]}.{windows_version[1]}, the oldest Windows "
                             "the image is for")

    def check_checksum(self):
        stored = self.pe.OPTIONAL_HEADER.CheckSum
        computed = self.pe.generate_checksum()
        if stored == 0:
            self.problem(f"PE checksum is not set (0; should be {computed:#x})")
        elif stored != computed:
            self.problem(f"PE checksum {stored:#x} is wrong (should be {computed:#x})")

    def check_sections(self):
        both = IMAGE_SCN_MEM_WRITE | IMAGE_SCN_MEM_EXECUTE
        for section in self.pe.sections:
            if section.Characteristics & both == both:
                name = section.Name.rstrip(b"\0").decode("ascii", "replace")
                self.problem(f"section {name} is both writable and executable")

    # -- unwind data -------------------------------------------------------

    def directory(self, name):
        return self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[name]]

    def dword(self, rva):
        data = self.pe.get_data(rva, DWORD_SIZE)
        if len(data) != DWORD_SIZE:
            raise GateError(f"no data at RVA {rva:#x}")
        return struct.unpack("<I", data)[0]

    def read_runtime_functions(self):
        """The .pdata entries; malformed ones are reported and left out."""
        directory = self.directory("IMAGE_DIRECTORY_ENTRY_EXCEPTION")
        count = directory.Size // RUNTIME_FUNCTION_SIZE
        data = self.pe.get_data(directory.VirtualAddress, count * RUNTIME_FUNCTION_SIZE) \
            if count else b""
        if len(data) != count * RUNTIME_FUNCTION_SIZE:
            self.problem("exception directory runs past the image")
            return []
        entries = []
        malformed = []
        for index in range(count):
            begin, end, unwind = struct.unpack_from("<III", data, index * RUNTIME_FUNCTION_SIZE)
            if begin >= end or unwind == 0:
                malformed.append(index)
            else:
                entries.append(RuntimeFunction(begin, end, unwind))
        if malformed:
            self.problem(f"exception directory has {len(malformed)} malformed entries "
                         f"(first: entry {malformed[0]})")
        if any(a.begin > b.begin for a, b in zip(entries, entries[1:])):
            # The kernel binary-searches the table.
            self.problem("exception directory is not sorted by address")
            entries.sort(key=lambda entry: entry.begin)
        return entries

    def read_functions(self):
        """Functions with their code ranges, from the PDB's procedure records."""
        if not os.path.isfile(self.pdb):
            raise GateError(f"PDB {self.pdb} not found")
        summary = run_tool([self.pdbutil, "dump", "-summary", self.pdb])
        self.check_pdb_identity(summary)

        symbols = run_tool([self.pdbutil, "dump", "-symbols", self.pdb])
        self.symbol_text = symbols
        functions = {}
        lines = symbols.splitlines()
        for index, line in enumerate(lines):
            record = PROC_RECORD.search(line)
            if not record or index + 1 >= len(lines):
                continue
            address = PROC_ADDRESS.search(lines[index + 1])
            if not address:
                raise GateError(f"cannot read the procedure record of {record.group(1)}")
            section, offset, size = (int(value) for value in address.groups())
            if not 1 <= section <= len(self.pe.sections):
                raise GateError(f"{record.group(1)} lies in unknown section {section}")
            start = self.pe.sections[section - 1].VirtualAddress + offset
            # Identical functions folded by the linker share one address.
            functions.setdefault(start, Function(record.group(1), start, size))
        if not functions:
            raise GateError(f"PDB {self.pdb} lists no functions (compiled without -g?)")
        return sorted(functions.values(), key=lambda function: function.start)

    def check_pdb_identity(self, summary):
        """The PDB must be the one this image was linked with: a stale one
        gives wrong function addresses and every later check would be moot."""
        record = None
        for entry in getattr(self.pe, "DIRECTORY_ENTRY_DEBUG", []):
            if entry.struct.Type != IMAGE_DEBUG_TYPE_CODEVIEW:
                continue
            data = bytes(self.pe.get_data(entry.struct.AddressOfRawData, CODEVIEW_HEADER_SIZE))
            if len(data) == CODEVIEW_HEADER_SIZE and data.startswith(CODEVIEW_PDB70_SIGNATURE):
                record = data
        if record is None:
            raise GateError("image has no CodeView debug record")
        guid_offset = len(CODEVIEW_PDB70_SIGNATURE)
        image_guid = uuid.UUID(bytes_le=record[guid_offset:guid_offset + GUID_SIZE])
        image_age = struct.unpack_from("<I", record, guid_offset + GUID_SIZE)[0]
        guid = PDB_GUID.search(summary)
        age = PDB_AGE.search(summary)
        if not guid or not age:
            raise GateError(f"cannot read the GUID and age of {self.pdb}")
        if uuid.UUID(guid.group(1)) != image_guid or int(age.group(1)) != image_age:
            raise GateError(f"PDB {self.pdb} does not match the image (the image names "
                            f"{{{str(image_guid).upper()}}} age {image_age})")

    def disassemble(self, functions):
        """(rva, mnemonic, operands) of every instruction of the functions,
        each disassembled from its own start: a sweep of the whole section
        loses the instruction boundaries after data in it (the compiler
        places jump tables in .text) and may find them again only past the
        next function's start."""
        if self.instructions is not None:
            return self.instructions
        instructions = []
        for function in sorted(functions, key=lambda function: function.start):
            text = run_tool([self.objdump, "-d", "--no-show-raw-insn", "-M", "intel",
                             f"--start-address={self.image_base + function.start:#x}",
                             f"--stop-address={self.image_base + function.end:#x}",
                             self.image])
            for line in text.splitlines():
                match = DISASSEMBLY_LINE.match(line)
                if match:
                    instructions.append((int(match.group(1), 16) - self.image_base,
                                         match.group(2), match.group(3)))
        instructions.sort()
        self.instructions = instructions
        return instructions

    def check_unwind_coverage(self, functions, runtime_functions):
        begins = [entry.begin for entry in runtime_functions]
        uncovered = [function for function in functions
                     if covering_entry(runtime_functions, begins, function.start) is None]
        if not uncovered:
            return
        instructions = self.disassemble(functions)
        addresses = [instruction[0] for instruction in instructions]
        for function in uncovered:
            low = bisect.bisect_left(addresses, function.start)
            high = bisect.bisect_left(addresses, function.end)
            if low == high or addresses[low] != function.start:
                self.problem(f"{function.name}: cannot disassemble it at RVA "
                             f"{function.start:#x} to tell whether it is a leaf")
                continue
            changer = next((instruction for instruction in instructions[low:high]
                            if moves_stack(instruction[1], instruction[2])), None)
            if changer is not None:
                self.problem(f"{function.name}: non-leaf function at RVA {function.start:#x} "
                             f"has no unwind data (.pdata entry); it has "
                             f"'{changer[1]} {changer[2]}' at {changer[0]:#x}")

    def import_slots(self):
        slots = {}
        for entry in getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", []):
            for imp in entry.imports:
                if imp.name:
                    slots[imp.address - self.image_base] = imp.name.decode("ascii", "replace")
        return slots

    def imported_routine_at(self, rva, slots):
        """Name of the import a thunk at rva jumps to, or None."""
        code = self.pe.get_data(rva, IMPORT_THUNK_LENGTH)
        if len(code) != IMPORT_THUNK_LENGTH or not code.startswith(IMPORT_THUNK_OPCODE):
            return None
        displacement = struct.unpack_from("<i", code, len(IMPORT_THUNK_OPCODE))[0]
        return slots.get(rva + IMPORT_THUNK_LENGTH + displacement)

    def check_scope_tables(self, functions, runtime_functions):
        """Returns {start of the .pdata entry: scope record count} for the
        entries whose handler is __C_specific_handler."""
        slots = self.import_slots()
        by_start = {function.start: function for function in functions}
        scope_counts = {}
        for entry in runtime_functions:
            header = self.pe.get_data(entry.unwind, UNWIND_INFO_HEADER_SIZE)
            if len(header) != UNWIND_INFO_HEADER_SIZE:
                self.problem(f"unwind data of the function at RVA {entry.begin:#x} lies "
                             "outside the image")
                continue
            flags = header[0] >> UNWIND_FLAGS_SHIFT
            code_count = header[2]
            if flags & UNW_FLAG_CHAININFO or not flags & (UNW_FLAG_EHANDLER | UNW_FLAG_UHANDLER):
                continue
            # The unwind codes are padded to an even count.
            handler_field = (entry.unwind + UNWIND_INFO_HEADER_SIZE
                             + UNWIND_CODE_SIZE * (code_count + (code_count & 1)))
            handler = self.dword(handler_field)
            if self.imported_routine_at(handler, slots) != C_SPECIFIC_HANDLER:
                continue
            owner = by_start.get(entry.begin)
            name = owner.name if owner else f"function at RVA {entry.begin:#x}"
            table = handler_field + HANDLER_FIELD_SIZE
            count = self.dword(table)
            scope_counts[entry.begin] = count
            if count == 0:
                self.problem(f"{name}: __try scope table is empty; the guard was dropped")
                continue
            records = self.pe.get_data(table + SCOPE_COUNT_SIZE, count * SCOPE_RECORD_SIZE)
            if len(records) != count * SCOPE_RECORD_SIZE:
                self.problem(f"{name}: __try scope table of {count} records runs past the image")
                continue
            for index in range(count):
                begin, end, _, _ = struct.unpack_from("<IIII", records, index * SCOPE_RECORD_SIZE)
                if not entry.begin <= begin < end <= entry.end:
                    self.problem(f"{name}: __try scope {index} guards [{begin:#x}, {end:#x}), "
                                 f"not a range inside the function [{entry.begin:#x}, "
                                 f"{entry.end:#x})")
        return scope_counts

    def check_guarded(self, names, functions, runtime_functions, scope_counts):
        begins = [entry.begin for entry in runtime_functions]
        for name in names:
            matches = [function for function in functions
                       if function.name == name or function.name.endswith("::" + name)]
            if not matches:
                self.problem(f"guarded function {name} is not in the PDB")
                continue
            for function in matches:
                entry = covering_entry(runtime_functions, begins, function.start)
                # An empty table has been reported already.
                if entry is None or entry.begin not in scope_counts:
                    self.problem(f"{function.name}: must be guarded but has no __try scope "
                                 f"table ({C_SPECIFIC_HANDLER})")

    # -- named data and the report path --------------------------------------

    def data_symbols(self):
        """{name: RVA} of the data symbols in the PDB: those of the modules
        (file-local data) and the global ones."""
        symbols = {}
        text = self.symbol_text + run_tool([self.pdbutil, "dump", "-globals", self.pdb])
        lines = text.splitlines()
        for index, line in enumerate(lines):
            record = DATA_RECORD.search(line)
            if not record or index + 1 >= len(lines):
                continue
            address = DATA_ADDRESS.search(lines[index + 1])
            if not address:
                raise GateError(f"cannot read the data record of {record.group(1)}")
            section, offset = (int(value) for value in address.groups())
            if 1 <= section <= len(self.pe.sections):
                symbols[record.group(1)] = self.pe.sections[section - 1].VirtualAddress + offset
        return symbols

    def check_read_only(self, names):
        symbols = self.data_symbols()
        for name in names:
            matches = {symbol: rva for symbol, rva in symbols.items()
                       if symbol == name or symbol.endswith("::" + name)}
            if not matches:
                self.problem(f"read-only data {name} is not in the PDB")
                continue
            for symbol, rva in matches.items():
                section = self.pe.get_section_by_rva(rva)
                if section is None or section.Characteristics & IMAGE_SCN_MEM_WRITE:
                    where = section.Name.rstrip(b"\0").decode("ascii", "replace") \
                        if section else "no section"
                    self.problem(f"{symbol}: must be read-only data but lies in writable "
                                 f"{where} at RVA {rva:#x}")

    def check_restricted(self, roots, allowed, functions):
        """Walks the direct calls from each root and reports every import
        reached that is not allowed, with the chain of calls to it."""
        instructions = self.disassemble(functions)
        addresses = [instruction[0] for instruction in instructions]
        by_start = {function.start: function for function in functions}
        starts = [function.start for function in functions]
        slots = self.import_slots()

        def containing(rva):
            index = bisect.bisect_right(starts, rva) - 1
            if index >= 0 and rva < functions[index].end:
                return functions[index]
            return None

        def branch_targets(function):
            """(kind, value) per branch leaving the function: ("function",
            Function) or ("import", name)."""
            low = bisect.bisect_left(addresses, function.start)
            high = bisect.bisect_left(addresses, function.end)
            for _, mnemonic, operands in instructions[low:high]:
                if mnemonic not in BRANCH_MNEMONICS:
                    continue
                memory = MEMORY_TARGET.search(operands)
                if memory:
                    name = slots.get(int(memory.group(1), 16) - self.image_base)
                    if name:
                        yield "import", name
                    continue
                direct = DIRECT_TARGET.match(operands)
                if not direct:
                    continue
                target = int(direct.group(1), 16) - self.image_base
                if function.start <= target < function.end:
                    continue
                name = self.imported_routine_at(target, slots)
                if name:
                    yield "import", name
                    continue
                callee = by_start.get(target) or containing(target)
                if callee:
                    yield "function", callee

        for root in roots:
            matches = [function for function in functions
                       if function.name == root or function.name.endswith("::" + root)]
            if not matches:
                self.problem(f"restricted function {root} is not in the PDB")
                continue
            for start in matches:
                chain = {start.start: None}
                pending = [start]
                reported = set()
                while pending:
                    function = pending.pop()
                    for kind, value in branch_targets(function):
                        if kind == "function":
                            if value.start not in chain:
                                chain[value.start] = function
                                pending.append(value)
                            continue
                        if value in allowed or value in reported:
                            continue
                        reported.add(value)
                        path = []
                        caller = function
                        while caller is not None:
                            path.insert(0, caller.name)
                            caller = chain[caller.start]
                        self.problem(f"{start.name}: calls kernel routine {value} "
                                     f"(through {' -> '.join(path)}); allowed there: "
                                     f"{', '.join(sorted(allowed)) or 'none'}")

    def run(self, guarded, read_only=(), restricted=(), restricted_imports=(), exports=None,
            later=None, windows_version=(6, 1)):
        self.check_imports()
        if exports:
            self.check_exports(exports, later or {})
        self.check_subsystem(windows_version)
        self.check_checksum()
        self.check_sections()
        runtime_functions = self.read_runtime_functions()
        try:
            functions = self.read_functions()
        except GateError as error:
            self.problem(str(error))
            return
        self.check_unwind_coverage(functions, runtime_functions)
        scope_counts = self.check_scope_tables(functions, runtime_functions)
        self.check_guarded(guarded, functions, runtime_functions, scope_counts)
        self.check_read_only(read_only)
        if restricted:
            self.check_restricted(restricted, set(restricted_imports), functions)
        self.summary = (f"{len(functions)} functions, {len(runtime_functions)} unwind entries, "
                        f"{sum(scope_counts.values())} __try scopes")
        if exports:
            entries = getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", [])
            checked = sum(len(entry.imports) for entry in entries
                          if entry.dll.decode("ascii", "replace").lower() in exports)
            self.summary += f", {checked} imports found in the export lists"


def covering_entry(runtime_functions, begins, rva):
    index = bisect.bisect_right(begins, rva) - 1
    if index >= 0 and rva < runtime_functions[index].end:
        return runtime_functions[index]
    return None


def moves_stack(mnemonic, operands):
    if mnemonic in STACK_MNEMONICS:
        return True
    destination = operands.split(",", 1)[0].strip()
    return destination == "rsp" and mnemonic not in STACK_READING_MNEMONICS


def run_tool(command):
    try:
        result = subprocess.run(command, capture_output=True, text=True, check=False)
    except OSError as error:
        raise GateError(f"cannot run {command[0]}: {error}") from error
    if result.returncode != 0:
        detail = (result.stderr.strip().splitlines() or ["no message"])[-1]
        raise GateError(f"{os.path.basename(command[0])} failed: {detail}")
    return result.stdout


def read_import_library(nm, library):
    """Every name an import library lets a module import: routines and data."""
    names = set()
    for line in run_tool([nm, library]).splitlines():
        match = NM_ROUTINE.match(line.strip()) or NM_IMPORT_SLOT.match(line.strip())
        if match:
            names.add(match.group(1))
    if not names:
        raise GateError(f"{library} lists no exports")
    return names


def read_later_exports(path):
    """{name: (first version, reference page)}: lines "Name 6.2 URL", # comments."""
    later = {}
    with open(path, encoding="utf-8") as listing:
        for number, line in enumerate(listing, 1):
            fields = line.split("#", 1)[0].split()
            if not fields:
                continue
            if len(fields) != 3 or not re.fullmatch(r"\d+\.\d+", fields[1]):
                raise GateError(f"{path}:{number}: expected 'Name VERSION PAGE'")
            later[fields[0]] = (fields[1], fields[2])
    return later


def parse_version(text):
    match = re.fullmatch(r"(\d+)\.(\d+)", text)
    if not match:
        raise argparse.ArgumentTypeError(f"'{text}' is no MAJOR.MINOR version")
    return int(match.group(1)), int(match.group(2))


def find_tool(names):
    for name in names:
        path = shutil.which(name)
        if path:
            return path
    return names[-1]


def main(argv):
    parser = argparse.ArgumentParser(description="Check a driver image before release.")
    parser.add_argument("image")
    parser.add_argument("--pdb", help="the image's PDB (default: beside the image)")
    parser.add_argument("--guarded", action="append", default=[], metavar="NAME",
                        help="a function that must keep a __try guard (repeatable)")
    parser.add_argument("--read-only", action="append", default=[], metavar="NAME",
                        help="a data symbol that must lie in a read-only section (repeatable)")
    parser.add_argument("--restricted", action="append", default=[], metavar="NAME",
                        help="a function whose reachable code may call only the imports "
                             "named with --restricted-import (repeatable)")
    parser.add_argument("--restricted-import", action="append", default=[], metavar="NAME",
                        help="an imported routine the restricted code may call (repeatable)")
    parser.add_argument("--exports", action="append", default=[], metavar="DLL=LIBRARY",
                        help="check every import from DLL against the import library made "
                             "from its real export table (repeatable)")
    parser.add_argument("--later-exports", metavar="FILE",
                        help="routines first exported by later versions: Name VERSION PAGE")
    parser.add_argument("--windows-version", type=parse_version, default=OLDEST_WINDOWS,
                        metavar="MAJOR.MINOR",
                        help=f"the oldest Windows the image is for (default {OLDEST_WINDOWS})")
    parser.add_argument("--nm", default=find_tool(["nm", "llvm-nm-14", "llvm-nm"]))
    parser.add_argument("--pdbutil", default=find_tool(["llvm-pdbutil-14", "llvm-pdbutil"]))
    parser.add_argument("--objdump", default=find_tool(["llvm-objdump-14", "llvm-objdump"]))
    args = parser.parse_args(argv[1:])
    pdb = args.pdb or os.path.splitext(args.image)[0] + ".pdb"

    label = f"pe_gate: {args.image}"
    try:
        exports = {}
        for option in args.exports:
            dll, separator, library = option.partition("=")
            if not separator or not dll or not library:
                raise GateError(f"--exports {option}: expected DLL=LIBRARY")
            exports[dll.lower()] = read_import_library(args.nm, library)
        later = read_later_exports(args.later_exports) if args.later_exports else {}
        gate = Gate(args.image, pdb, args.pdbutil, args.objdump)
        gate.run(args.guarded, args.read_only, args.restricted, args.restricted_import,
                 exports, later, args.windows_version)
    except (OSError, pefile.PEFormatError, GateError) as error:
        print(f"{label}: {error}")
        return 1
    for problem in gate.problems:
        print(f"{label}: {problem}")
    if gate.problems:
        return 1
    print(f"{label}: ok ({gate.summary})")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
