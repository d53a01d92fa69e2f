"""The Linux release, its source package and .debs (scripts/package builds them).

The .debs hold the Linux programs: baudset, the window (on Qt 6), and
baudset-cli, the terminal program, which must stay small (Installed-Size
at most 200 KB) and depend on nothing but the C and C++ runtimes. Both are
built from the source package in debian/ by dpkg-buildpackage, as Debian
builds any package: from an export of the checkout (its tracked and new
files) whose debian/changelog gets this release's entry. The amd64
packages and the source package are built on this machine; arm64 and
armhf natively in emulated Debian 12 roots (scripts/debian_root.py, cached
in ~/.cache/baudset), or skipped, saying why, where this machine cannot
run them. Lintian must pass each package. --check builds each from two
exports at different paths. The version is Debian's reading of `git
describe`: v1.2 gives 1.2, three commits later 1.2+3.gHASH; with no tag
yet, 0~COMMITS.gHASH; a changed checkout appends .dirty.
"""
import email.utils
import os
import re
import shutil
import time
from pathlib import Path

import debian_root
from reproducible import ROOT, Failure, Skipped, file_lines, run, sha256

MAINTAINER = "baudset maintainers <maintainers@users.noreply.c-seed-2b56d41b.example>"
# The .debs, all built on Debian 12 (so for it and what came after): this
# machine's architecture with its own tools, the others natively in an
# emulated Debian 12 root of theirs (scripts/debian_root.py).
ARCHES = ("amd64", "arm64", "armhf")
BUILD_RELEASE = 12
TWICE = "two checkouts at different paths, each built by dpkg-buildpackage"
# What no technician installs: debug symbols. Two jobs, as this machine
# has two cores.
BUILD_ENV = {"DEB_BUILD_OPTIONS": "noautodbgsym parallel=2"}
# The binary packages of the source package, each one .deb per architecture.
PACKAGES = ("baudset", "baudset-cli")
GLOBS = tuple(f"{package}_*" for package in PACKAGES)
# The terminal program is for headless boards, whose flash is small and
# whose owners ask what an install pulls in: about twice what it takes
# today, so that a library linked in statically or symbols left in show.
CLI_MAX_INSTALLED_KB = 200
# All it may depend on: the C and C++ runtimes. Qt, X or any GUI library
# would bring a desktop's worth of packages onto a board.
CLI_DEPENDS = {"libc6", "libstdc++6", "libgcc-s1"}


def debian_version(described):
    """Debian's reading of `git describe --tags --long --always --dirty`."""
    dirty = described.endswith("-dirty")
    described = described[:-len("-dirty")] if dirty else described
    tagged = re.fullmatch(r"v?(\d[0-9A-Za-z.+~]*)-(\d+)-g([0-9a-f]+)", described)
    if tagged:
        release, commits, commit = tagged.groups()
        version = release if commits == "0" else f"{release}+{commits}.g{commit}"
    else:
        commits = run(["git", "rev-list", "--count", "HEAD"]).strip()
        version = f"0~{commits}.g{described}"
    return version + (".dirty" if dirty else "")


def file_names(described, arches):
    """The release's files of `arches`; the source package comes with this
    machine's .debs."""
    version = debian_version(described)
    names = {name for arch in arches for name in deb_names(version, arch)}
    if debian_root.host_architecture() in arches:
        names |= {f"baudset_{version}.dsc", f"baudset_{version}.tar.xz"}
    return names


def changelog_entry(version, epoch):
    """The entry dpkg takes the package's version and time stamp from
    (SOURCE_DATE_EPOCH: the last commit's time, as for the zips)."""
    commit = run(["git", "rev-parse", "HEAD"]).strip()
    return (f"baudset ({version}) unstable; urgency=medium\n\n"
            f"  * Release built from commit {commit[:12]}.\n\n"
            f" -- {MAINTAINER}  {email.utils.formatdate(epoch)}\n")


def export_checkout(work, version, epoch):
    """The checkout's files as they are (tracked ones, and new ones git does
    not ignore), without .git and build/, with this release's changelog, in
    `work` under the name dpkg-source gives a source tree (its name is the
    source tarball's top folder)."""
    dest = work / f"baudset-{version}"
    listed = run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"])
    for name in filter(None, listed.split("\0")):
        source = ROOT / name
        if source.is_file() and not source.is_symlink():
            (dest / name).parent.mkdir(parents=True, exist_ok=True)
            # Today's time, not the file's: dpkg clamps every time later
            # than the changelog's to it, and leaves earlier ones as they
            # are, which would differ from one checkout to another.
            shutil.copy(source, dest / name)
    (dest / "debian" / "changelog").write_text(changelog_entry(version, epoch))
    return dest


def lintian(*paths):
    """Lintian's verdict on what dpkg-buildpackage made: not a single tag,
    pedantic and informational ones included."""
    command = ["lintian", "--pedantic", "--info", "--fail-on", "error,warning,info,pedantic"]
    said = run(command + [str(path) for path in paths]).splitlines()
    # Its own remark on being run as root is no verdict on the package.
    return "\n".join(line for line in said if "root privileges" not in line).strip()


def deb_names(version, arch):
    return [f"{package}_{version}_{arch}.deb" for package in PACKAGES]


def deb_field(deb, field):
    return run(["dpkg-deb", "--field", deb, field]).strip()


def installed(deb):
    """What a machine takes on with `deb`, for the report; for baudset-cli,
    which headless boards take, checked: its size and what it depends on."""
    size = int(deb_field(deb, "Installed-Size"))
    if not deb.name.startswith("baudset-cli_"):
        return f"installed: {size} KB"
    depends = deb_field(deb, "Depends")
    if size > CLI_MAX_INSTALLED_KB:
        raise Failure(f"{deb.name}: Installed-Size {size} KB, more than {CLI_MAX_INSTALLED_KB}")
    # Every name in every alternative, without version or architecture.
    names = {re.split(r"[\s(:]", alternative.strip(), maxsplit=1)[0]
             for relation in depends.split(",") for alternative in relation.split("|")}
    if not names or names - CLI_DEPENDS:
        raise Failure(f"{deb.name}: depends on {sorted(names - CLI_DEPENDS) or 'nothing'}, "
                      f"where only {', '.join(sorted(CLI_DEPENDS))} may be: {depends}")
    return f"installed: {size} KB, depends on {depends}"


def result(made, version, arch, seconds, lint=(), source=()):
    """What dpkg-buildpackage made in `made` for `arch`, checked (lintian
    on `lint`, or else the .debs), with its report: the .debs, then the
    source package if it made one."""
    debs = [made / name for name in deb_names(version, arch)]
    notes = {deb.name: installed(deb) for deb in debs}
    lintian_said = lintian(*(lint or debs))
    lines = [f"   built in {seconds:.1f} s by dpkg-buildpackage"] + file_lines(debs + list(source), notes)
    if lintian_said:
        lines.append("   lintian: " + lintian_said.replace("\n", "\n            "))
    # Each package's bytes under its name: baudset, baudset-cli.
    return {"files": debs + list(source), "report": "\n".join(lines),
            "compared": {deb.name.split("_")[0]: deb.read_bytes() for deb in debs}}


def build_host_debs(checkout, version):
    """Source package and this machine's .debs, as a Debian maintainer builds
    them: dpkg-buildpackage in the source tree, results beside it."""
    started = time.monotonic()
    run(["dpkg-buildpackage", "-us", "-uc"], cwd=checkout, env={**os.environ, **BUILD_ENV})
    seconds = time.monotonic() - started
    made, arch = checkout.parent, debian_root.host_architecture()
    return result(made, version, arch, seconds, [made / f"baudset_{version}_{arch}.changes"],
                  [made / f"baudset_{version}.dsc", made / f"baudset_{version}.tar.xz"])


def build_root(arch):
    """The cached Debian root of `arch` with the build dependencies in it
    (made once for each base root and debian/control): (tarball, cache
    folder). Raises Skipped where this machine cannot make or run it."""
    cache = debian_root.cache_folder(BUILD_RELEASE, arch)
    base, why = debian_root.base_tarball(cache, BUILD_RELEASE, arch)
    if base is None:
        raise Skipped(why)
    control = (ROOT / "debian" / "control").read_bytes()
    # Only the source paragraph names what the build needs: a binary
    # package's description changed is no reason to install it all again.
    source = control.split(b"\n\n")[0]
    name = f"build-{debian_root.recipe_hash(os.path.basename(base), sha256(source))}.tar"
    tarball = os.path.join(cache, name)
    with debian_root.cache_lock(cache):
        if os.path.exists(tarball) and debian_root.intact(tarball):
            return tarball, cache
        # Roots made for an earlier debian/control are of no more use.
        for old in Path(cache).glob("build-*.tar*"):
            old.unlink()
        root = Path(debian_root.unpack(base, debian_root.scratch(ROOT / "build")))
        try:
            (root / "tmp" / "deps" / "debian").mkdir(parents=True)
            (root / "tmp" / "deps" / "debian" / "control").write_bytes(control)
            run(debian_root.enter_command(root, cache, [
                "sh", "-c", "apt-get update -qq && apt-get build-dep -y -qq /tmp/deps >/dev/null"]))
            shutil.rmtree(root / "tmp" / "deps")
            debian_root.pack(root, tarball)
        finally:
            shutil.rmtree(root, ignore_errors=True)
    return tarball, cache


def build_foreign_debs(arch, checkouts, version):
    """The .debs of `arch` from each source tree, built natively in an
    emulated Debian root, yielded as each is done. Each tree goes in at its
    own path, so that two builds show whether the path leaks into the
    package."""
    tarball, cache = build_root(arch)
    root = Path(debian_root.unpack(tarball, debian_root.scratch(ROOT / "build")))
    try:
        for checkout in checkouts:
            inside = root / checkout.relative_to("/")
            shutil.copytree(checkout, inside, symlinks=True)
            started = time.monotonic()
            run(debian_root.enter_command(root, cache, [
                "sh", "-c", 'cd "$0" && dpkg-buildpackage -us -uc -B', str(checkout)]),
                env={**os.environ, **BUILD_ENV})
            seconds = time.monotonic() - started
            for name in deb_names(version, arch):
                shutil.copy2(inside.parent / name, checkout.parent / name)
            yield result(checkout.parent, version, arch, seconds)
    finally:
        shutil.rmtree(root, ignore_errors=True)


def build(arch, folders, described, epoch):
    """The .debs of `arch`, each from its own export of the checkout in one
    of the folders; on this machine's architecture the source package too."""
    version = debian_version(described)
    checkouts = [export_checkout(folder, version, epoch) for folder in folders]
    if arch == debian_root.host_architecture():
        for checkout in checkouts:
            yield build_host_debs(checkout, version)
    else:
        yield from build_foreign_debs(arch, checkouts, version)
