"""What scripts/package's parts (package_windows, package_debian) share:
running tools, and building a release once, or twice to show that it comes
out byte for byte the same. A part's build(arch, folders, version, epoch)
yields, as each folder's build ends, {"files": the release's files,
"compared": {name: bytes that must not differ}, "report": text}.
"""
import hashlib
import shutil
import subprocess
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


class Failure(Exception):
    pass


class Skipped(Exception):
    """A package this machine cannot build; says why."""


def run(cmd, cwd=ROOT, env=None):
    result = subprocess.run(cmd, cwd=cwd, text=True, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, env=env)
    if result.returncode != 0:
        raise Failure(f"{' '.join(map(str, cmd))} failed:\n{result.stdout}")
    return result.stdout


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def file_lines(paths, notes=None):
    """Each file's size and hash, for a report; `notes` under the file of
    that name."""
    lines = []
    for path in paths:
        data = path.read_bytes()
        lines.append(f"   {path.name} {len(data)} bytes, sha256 {sha256(data)}")
        if path.name in (notes or {}):
            lines.append(f"      {notes[path.name]}")
    return lines


def release(part, arches, out_dir, version, epoch):
    """One build of each of `arches`, its files copied to `out_dir`."""
    for arch in arches:
        with tempfile.TemporaryDirectory(prefix=f"baudset-release-{arch}-") as work:
            try:
                for result in part.build(arch, [Path(work)], version, epoch):
                    copies = [shutil.copy2(path, out_dir / path.name) for path in result["files"]]
                    print(f"== {arch}: " + ", ".join(str(copy.relative_to(ROOT)) for copy in copies))
                    print(result["report"])
            except Skipped as why:
                print(f"== {arch}: SKIPPED: {why}")


def twice(part, arches, keep, version, epoch):
    """Builds each of `arches` twice, at paths of different lengths and
    depths, so that a path or a time that leaks into a file shows; says
    whether all came out the same. The first build's files go to `keep`."""
    same = True
    for arch in arches:
        print(f"== {arch}: {part.TWICE}")
        with tempfile.TemporaryDirectory(prefix="baudset-repro-a-") as first, \
                tempfile.TemporaryDirectory(prefix="baudset-repro-second-") as second:
            folders = [Path(first), Path(second) / "deeper" / "still"]
            folders[1].mkdir(parents=True)
            results = []
            try:
                for folder, result in zip(folders, part.build(arch, folders, version, epoch)):
                    print(f"   in {folder}:\n{result['report']}")
                    results.append(result)
            except Skipped as why:
                print(f"   SKIPPED: {why}")
                continue
            for path in results[0]["files"]:
                shutil.copy2(path, keep / path.name)
        same = compare(*(result["compared"] for result in results)) and same
    return same


def compare(a, b):
    differ = [what for what in a if a[what] != b[what]]
    for what in differ:
        offsets = [i for i, (x, y) in enumerate(zip(a[what], b[what])) if x != y]
        print(f"   DIFFERENT {what}: sizes "
              f"{len(a[what])} and {len(b[what])}, {len(offsets)} bytes differ, first at "
              f"{', '.join(hex(i) for i in offsets[:8])}")
    if not differ:
        print("   identical")
    return not differ
