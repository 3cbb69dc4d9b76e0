#!/usr/bin/python3
"""Checks what the Windows programs carry beside their code.

    check_pe.py TEVGEN_EXE TEVGEN_COM VERSION

For each: the subsystem (tevgen.exe a GUI program, tevgen.com a console
one) and its version (10.0, the manifest's Windows 10), terminal-server
awareness, address-space layout randomisation (with its relocations, 64-bit
addresses included) and data execution prevention, only system DLLs
imported, the version information Explorer shows (each program its own
description), the manifest's settings, the icon in every size Windows
shows at common scalings, no debug information and no link timestamp.
Needs Debian's python3-pefile. scripts/check-release.sh runs it on the
programs in the release zip.
"""
import os
import sys

try:
    import pefile
except ImportError:
    pefile = None

RT_ICON_GROUP = 14
ICON_SIZES = [16, 20, 24, 32, 40, 48, 64, 256]  # 100% to 250% and more
TERMINAL_SERVER_AWARE = 0x8000
# What an older linker might not set by default; the build asks for each.
HARDENING = {
    0x0020: "high-entropy (64-bit) address randomisation",
    0x0040: "address-space layout randomisation (dynamic base)",
    0x0100: "data execution prevention (NX compatible)",
}
RELOCS_STRIPPED = 0x0001
# Linked statically (the C++ runtime, threads, the stack protector's
# libssp): nothing but what every Windows has.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"}
DESCRIPTIONS = {
    "tevgen.exe": "tevgen: writes the clip-art catalogue tev.xml",
    "tevgen.com": "tevgen for cmd and PowerShell (console companion)",
}
RT_MANIFEST = 24
GUI, CONSOLE = 2, 3
MANIFEST_SETTINGS = [
    'level="asInvoker"',
    '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}',  # Windows 10 and 11
    '<longPathAware xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">true</longPathAware>',
    '<activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings">UTF-8</activeCodePage>',
    '>PerMonitorV2</dpiAwareness>',
]


def resources(pe, type_id):
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id == type_id:
            for name in entry.directory.entries:
                for language in name.directory.entries:
                    rva = language.data.struct.OffsetToData
                    yield pe.get_data(rva, language.data.struct.Size)


def version_strings(pe):
    strings = {}
    for info in getattr(pe, "FileInfo", [[]])[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                for key, value in table.entries.items():
                    strings[key.decode()] = value.decode()
    return strings


def check_program(path, file_name, subsystem, version):
    problems = []
    pe = pefile.PE(path)
    header = pe.OPTIONAL_HEADER
    if header.Subsystem != subsystem:
        problems.append(f"subsystem {header.Subsystem}, not {subsystem}")
    version_found = (header.MajorSubsystemVersion, header.MinorSubsystemVersion)
    if version_found != (10, 0):
        problems.append(f"subsystem version {version_found}, not (10, 0)")
    if not header.DllCharacteristics & TERMINAL_SERVER_AWARE:
        problems.append("not terminal-server aware")
    for flag, what in HARDENING.items():
        if not header.DllCharacteristics & flag:
            problems.append(f"no {what}")
    # Without relocations a dynamic base cannot move.
    if (pe.FILE_HEADER.Characteristics & RELOCS_STRIPPED or
            not getattr(pe, "DIRECTORY_ENTRY_BASERELOC", None)):
        problems.append("no relocations, so no address randomisation")
    strings = version_strings(pe)
    expected = {
        "FileVersion": version,
        "ProductVersion": version,
        "ProductName": "tevgen",
        "OriginalFilename": file_name,
        "CompanyName": "tevgen developers",
        "FileDescription": DESCRIPTIONS[file_name],
    }
    for key, value in expected.items():
        if strings.get(key) != value:
            problems.append(f"{key} is {strings.get(key)!r}, not {value!r}")
    manifests = [m.decode("utf-8") for m in resources(pe, RT_MANIFEST)]
    if len(manifests) != 1:
        problems.append(f"{len(manifests)} manifests")
    for setting in MANIFEST_SETTINGS:
        if not any(setting in m for m in manifests):
            problems.append(f"the manifest lacks {setting}")
    groups = list(resources(pe, RT_ICON_GROUP))
    # GRPICONDIR: 6 bytes, then 14 per image (width, height; 0 means 256).
    sizes = sorted(
        (g[6 + 14 * i] or 256) for g in groups[:1]
        for i in range(int.from_bytes(g[4:6], "little")))
    if sizes != ICON_SIZES:
        problems.append(f"icon sizes {sizes}, not {ICON_SIZES}")
    imported = {i.dll.decode().lower() for i in pe.DIRECTORY_ENTRY_IMPORT}
    if not imported <= SYSTEM_DLLS:
        problems.append(f"imports {sorted(imported - SYSTEM_DLLS)}")
    if any(s.Name.rstrip(b"\0").startswith(b".debug") for s in pe.sections):
        problems.append("debug information")
    if pe.FILE_HEADER.TimeDateStamp != 0:
        problems.append("a link timestamp")
    return problems


def main():
    exe, com, version = sys.argv[1:4]
    missing = [p for p in (exe, com) if not os.path.exists(p)]
    if missing or pefile is None:
        why = f"no Windows build at {missing[0]}" if missing else "no pefile"
        if "TEVGEN_REQUIRE_WINDOWS" in os.environ:
            print(why)
            return 1
        print(f"skipped: {why}")
        return 77
    failed = 0
    for path, file_name, subsystem in ((exe, "tevgen.exe", GUI),
                                       (com, "tevgen.com", CONSOLE)):
        problems = check_program(path, file_name, subsystem, version)
        for problem in problems:
            print(f"{file_name}: {problem}")
        failed += bool(problems)
    print(f"{2 - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
