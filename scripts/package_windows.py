"""The Windows release, its zips (scripts/package builds them).

Each zip holds one folder, baudset-<version>-<arch>/, with baudset.exe (the
window), baudset-cli.exe (the console program), the usage text
(docs/usage.txt) and SHA256SUMS, which `sha256sum -c SHA256SUMS` checks
inside the unpacked folder. <version> is `git describe --always --dirty`,
as it is; baudset-cli.exe --version prints it. Every build starts from a
fresh configure of the `windows` or `windows-i686` preset in a temporary
directory, with warnings as errors: a release never comes from a build
tree with old state in it. Both programs come from that one build.
The zip is reproducible as well: entries in sorted order, all with the time
of the last commit (or SOURCE_DATE_EPOCH), fixed permissions, no extra
fields. --check builds each zip in two fresh build folders.
"""
import re
import tempfile
import time
import zipfile
from pathlib import Path

from reproducible import ROOT, Failure, file_lines, run, sha256

ARCHES = {
    # arch: (configure preset, objdump, file format objdump reports)
    "win64": ("windows", "x86_64-w64-mingw32-objdump", "pei-x86-64"),
    "win32": ("windows-i686", "i686-w64-mingw32-objdump", "pei-i386"),
}
TWICE = "two fresh builds and packages in different directories"
GLOBS = ("baudset-*.zip",)

# What the program may import: DLLs that every Windows since 7 has. Anything
# else (libstdc++-6.dll, libwinpthread-1.dll, ...) would be missing on the
# technician's machine.
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll", "advapi32.dll",
    "comctl32.dll", "comdlg32.dll", "shell32.dll", "ole32.dll", "oleaut32.dll",
    "setupapi.dll", "cfgmgr32.dll", "ws2_32.dll", "winmm.dll", "version.dll",
    "shlwapi.dll", "uxtheme.dll",
}

# The programs in each zip, and the PE subsystem each must have (objdump
# -p's Subsystem line): the window opens no console; the console program
# writes to the one it was started from, and only for a console program
# does cmd.exe's prompt wait and set %ERRORLEVEL%.
PROGRAMS = {
    "baudset.exe": ("00000002", "Windows GUI"),
    "baudset-cli.exe": ("00000003", "Windows CUI"),
}

USAGE = ROOT / "docs" / "usage.txt"


def file_names(version, arches):
    """The release's files of `arches`."""
    return {f"baudset-{version}-{arch}.zip" for arch in arches}


def compile_programs(arch, work, version):
    """A fresh release build of the programs: {name: bytes}, and the report's
    lines on it (the seconds it took, each program's DLLs)."""
    preset, objdump, file_format = ARCHES[arch]
    binary_dir = work / f"build-{arch}"
    started = time.monotonic()
    # The release's version, not debian/changelog's: the checkout's changelog
    # has a placeholder, and the zip's name says `git describe`.
    run(["cmake", "--preset", preset, "-B", binary_dir, "-DCMAKE_COMPILE_WARNING_AS_ERROR=ON",
         f"-DBAUDSET_VERSION={version}"])
    output = run(["cmake", "--build", binary_dir, "--target",
                  *(name.removesuffix(".exe") for name in PROGRAMS), "-j2"])
    seconds = time.monotonic() - started
    # -Werror covers the compiler; the linker's warnings are caught here.
    warnings = [line for line in output.splitlines() if re.search(r"\bwarning\b", line, re.I)]
    if warnings:
        raise Failure(f"{arch}: the build printed warnings:\n" + "\n".join(warnings))

    exes, lines = {}, [f"   built in {seconds:.1f} s"]
    for name, subsystem in PROGRAMS.items():
        exe = binary_dir / name
        header = run([objdump, "-f", exe])
        if f"file format {file_format}" not in header:
            raise Failure(f"{arch}: {exe} is not {file_format}:\n{header}")
        private = run([objdump, "-p", exe])
        found = re.search(r"^Subsystem\s+(\S+)\s+\((.*)\)", private, re.M)
        if found is None or found.groups() != subsystem:
            raise Failure(f"{arch}: {name} has subsystem {found and ' '.join(found.groups())}, "
                          f"not {' '.join(subsystem)}")
        imports = re.findall(r"DLL Name: (\S+)", private)
        foreign = sorted(dll for dll in imports if dll.lower() not in SYSTEM_DLLS)
        if not imports or foreign:
            raise Failure(f"{arch}: {name} imports DLLs that Windows does not have: {foreign or 'none at all'}")
        data = exes[name] = exe.read_bytes()
        lines.append(f"   {name} {len(data)} bytes, sha256 {sha256(data)}, imports {' '.join(imports)}")
    return exes, lines


def usage_text():
    data = USAGE.read_bytes()
    # Notepad on Windows 7 shows LF-only text as one long line and guesses
    # the encoding of a file without BOM from the machine's code page.
    if not data.startswith(b"\xef\xbb\xbf"):
        raise Failure(f"{USAGE.relative_to(ROOT)} must start with a UTF-8 BOM")
    if data.count(b"\n") != data.count(b"\r\n") or data.count(b"\r") != data.count(b"\r\n"):
        raise Failure(f"{USAGE.relative_to(ROOT)} must have CRLF line ends only")
    try:
        data[3:].decode("utf-8")
    except UnicodeDecodeError as error:
        raise Failure(f"{USAGE.relative_to(ROOT)} is not UTF-8: {error}")
    return data


def zip_time(epoch):
    # Zip keeps MS-DOS times, in steps of two seconds.
    stamp = time.gmtime(epoch)[:6]
    return stamp[:5] + (stamp[5] - stamp[5] % 2,)


def write_zip(path, folder, files, epoch):
    stamp = zip_time(epoch)

    def entry(name, mode):
        info = zipfile.ZipInfo(name, date_time=stamp)
        info.create_system = 3  # Unix, so that the permissions below are read
        info.external_attr = mode << 16
        return info

    with zipfile.ZipFile(path, "w") as archive:
        directory = entry(f"{folder}/", 0o40755)
        directory.external_attr |= 0x10  # MS-DOS directory flag
        archive.writestr(directory, b"")
        for name in sorted(files):
            info = entry(f"{folder}/{name}", 0o100755 if name.endswith(".exe") else 0o100644)
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, files[name], compresslevel=9)


def verify_zip(path, folder, files, epoch):
    """Unpacks the zip as a technician would and checks it with sha256sum."""
    with zipfile.ZipFile(path) as archive:
        names = archive.namelist()
        expected = [f"{folder}/"] + [f"{folder}/{name}" for name in sorted(files)]
        if names != expected:
            raise Failure(f"{path.name}: entries {names}, expected {expected}")
        stamp = zip_time(epoch)
        for info in archive.infolist():
            if info.date_time != stamp:
                raise Failure(f"{path.name}: {info.filename} has time {info.date_time}, not {stamp}")
        with tempfile.TemporaryDirectory(prefix="baudset-unpack-") as unpack:
            archive.extractall(unpack)
            for name, data in files.items():
                if (Path(unpack) / folder / name).read_bytes() != data:
                    raise Failure(f"{path.name}: {name} does not unpack to what was packed")
            run(["sha256sum", "--strict", "-c", "SHA256SUMS"], cwd=Path(unpack) / folder)


def build(arch, folders, version, epoch):
    """The zip of `arch`, built and packed in each folder."""
    for work in folders:
        exes, lines = compile_programs(arch, work, version)
        listed = {**exes, "usage.txt": usage_text()}
        sums = "".join(f"{sha256(data)}  {name}\n" for name, data in sorted(listed.items()))
        files = {**listed, "SHA256SUMS": sums.encode("ascii")}
        folder = f"baudset-{version}-{arch}"
        zip_path = work / f"{folder}.zip"
        write_zip(zip_path, folder, files, epoch)
        verify_zip(zip_path, folder, files, epoch)
        yield {"files": [zip_path], "compared": {**exes, zip_path.name: zip_path.read_bytes()},
               "report": "\n".join(lines + file_lines([zip_path]))}
