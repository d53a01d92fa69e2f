"""An archive with an index caught mid-sync: install-deps installs the rest and names what it may pass over, with
apt's reason, and stops at anything else; scripts/test then leaves out, and names, the tests that need it."""
import fcntl, hashlib, os, runpy, shutil, subprocess, tempfile, unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
ARCH = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()


class InstallDeps(unittest.TestCase):
    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.tmp)
        self.tmp.chmod(0o755)  # apt reads the archive as its own user

    def tree(self, name, script, fakes):  # a copy of the script, and fakes: path -> shell text
        for path in "build/linux", "build/windows", "bin", "scripts":
            (self.tmp / name / path).mkdir(parents=True)
        for copied in script, "apt_update.py":
            shutil.copy(ROOT / "scripts" / copied, self.tmp / name / "scripts")
        for path, text in fakes.items():
            (self.tmp / name / path).write_text("#!/bin/sh\n" + text)
            (self.tmp / name / path).chmod(0o755)
        return self.tmp / name

    def suite(self, name, package, synced=True):
        control = f"Package: {package}\nVersion: 1\nArchitecture: all\nMaintainer: t <t@t.org>\nDescription: t\n"
        (self.tmp / package / "DEBIAN").mkdir(parents=True)
        (self.tmp / package / "DEBIAN/control").write_text(control)
        deb = self.tmp / f"{package}.deb"
        subprocess.run(["dpkg-deb", "-b", self.tmp / package, deb], check=True, capture_output=True)
        index = self.tmp / "dists" / name / f"main/binary-{ARCH}/Packages"
        index.parent.mkdir(parents=True)
        index.write_text(control + f"Filename: {deb.name}\nSize: {deb.stat().st_size}\n"
                         f"SHA256: {hashlib.sha256(deb.read_bytes()).hexdigest()}\n")
        data = index.read_bytes()
        (index.parents[2] / "Release").write_text(
            f"Suite: {name}\nSHA256:\n {hashlib.sha256(data).hexdigest()} {len(data)} main/binary-{ARCH}/Packages\n")
        index.write_bytes(data if synced else data + b"Package: half-synced\n")
        return f"deb [trusted=yes arch={ARCH}] file:{self.tmp} {name} main\n"

    @unittest.skipUnless(os.geteuid() == 0, "install-deps goes through sudo for any other user")
    def test_installs_the_rest_and_names_the_missing_with_apts_reason(self):
        (self.tmp / "sources").write_text(self.suite("good", "openbox") + self.suite("mid-sync", "stress-ng", False))
        runs = []
        # Side by side, each with an apt state of its own: stress-ng passed over, not, and a held dpkg lock.
        for tree, options in (self.tmp / "plain", ["--pass-over", "stress-ng"]), (self.tmp / "strict", []), \
                (self.tmp / "locked", ["--pass-over", "stress-ng"]):
            self.tree(tree.name, "install-deps", {"bin/dpkg": 'case "$*" in *--unpack*) echo "$@" >>"$0.log" ;;\n'
                                                  '*--configure*) ;; *) exec dpkg "$@" ;; esac\n'})
            (tree / "status").touch()
            (tree / "apt.conf").write_text("".join(f'Dir::{key} "{value}";\n' for key, value in {
                "Etc::Parts": tree / "none", "Etc::SourceParts": tree / "none", "Etc::SourceList": self.tmp / "sources",
                "State": tree, "State::status": tree / "status", "Cache": tree, "Log": tree,
                "Bin::dpkg": tree / "bin/dpkg"}.items()))
            if tree.name == "locked":  # held as apt and dpkg take it
                lock = open(tree / "lock-frontend", "w")
                self.addCleanup(lock.close)
                fcntl.lockf(lock, fcntl.LOCK_EX)
            runs.append(subprocess.Popen([tree / "scripts/install-deps", *options, "wm", "stress"],
                                         env=dict(os.environ, APT_CONFIG=str(tree / "apt.conf")),
                                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True))
        outputs = [run.communicate()[0] for run in runs]
        output = "".join(outputs)
        self.assertEqual([run.returncode for run in runs], [0, 1, 1], output)
        self.assertEqual(output.count("apt-get update failed"), 9, output)  # three tries each
        self.assertIn(f"E: Could not get lock {self.tmp}/locked/lock-frontend", outputs[2])
        self.assertIn(f"{self.tmp}/openbox.deb", (self.tmp / "plain/bin/dpkg.log").read_text())
        self.assertEqual((self.tmp / "plain/build/install-deps/missing").read_text(),
                         "stress-ng\tE: Unable to locate package stress-ng (after apt-get update: E: Failed to fetch "
                         f"file:{self.tmp}/dists/mid-sync/main/binary-{ARCH}/Packages  Hash Sum mismatch)\n")

    def test_a_program_the_kernel_will_not_execute_makes_its_package_missing(self):
        refused_by_kernel = runpy.run_path(str(ROOT / "scripts/install-deps"))["refused_by_kernel"]
        loader = self.tmp / "loader"  # an i386 program's header that no kernel takes for one it runs
        loader.write_bytes(b"\x7fELF\x01\x01\x01" + bytes(57))
        loader.chmod(0o755)
        runs = {"wine32:i386": ("32-bit x86 code", [str(loader), "--version"]), "wine64": ("x86-64 code", ["true"]),
                "wine": ("anything", [str(self.tmp / "not-installed")]), "xvfb": ("anything", ["false"])}
        self.assertEqual(refused_by_kernel(["wine32:i386", "wine64", "wine", "xvfb", "openbox"], runs),
                         {"wine32:i386": f"installed, but this kernel runs no 32-bit x86 code ({loader}: "
                                         "Exec format error)"})

    def test_the_steps_leave_out_the_tests_that_need_it(self):
        fake = 'echo "${0##*/} $*" >>"$LOG"; echo "| CPU, port closed |"\n'  # the last: the bench's table
        missing = "mkdir -p build/install-deps; printf 'wine32:i386\\tE: No wine32\\n' >build/install-deps/missing\n"
        tree = self.tree("test", "test", {"scripts/install-deps": fake + missing, **{path: fake for path in (
            "scripts/fuzz", "scripts/package", "scripts/bench", "bin/cmake", "bin/ctest", "bin/gcovr",
            "bin/powerpc64le-linux-gnu-g++")}})
        env = dict(os.environ, LOG=str(tree / "log"), PATH=f"{tree}/bin:{os.environ['PATH']}")
        fast = subprocess.run([tree / "scripts/test"], env=env, capture_output=True, text=True)
        self.assertEqual(fast.returncode, 0, fast.stderr)
        self.assertEqual(fast.stdout.splitlines()[-2], "| windows: end_to_end_win32 "
                         "(not run: wine32:i386: E: No wine32) | 0 |")
        self.assertIn("ctest --preset windows -LE release -E ^end_to_end_win32$\n", (tree / "log").read_text())
        release = subprocess.run([tree / "scripts/test", "--release"], env=env, capture_output=True, text=True)
        self.assertNotEqual(release.returncode, 0)
        self.assertIn("--release runs every test, and wine32:i386 could not be installed", release.stderr)
        installs = [line for line in (tree / "log").read_text().splitlines() if line.startswith("install-deps")]
        self.assertEqual([line.split(" native")[0] for line in installs],  # the fast tier alone passes over
                         ["install-deps --pass-over wine32:i386 --pass-over qemu-system-x86", "install-deps"])
        # Both tiers run the terminal programs' tables, which reach a device through ser2net too.
        groups = runpy.run_path(str(ROOT / "scripts/install-deps"))["GROUPS"]
        for line in installs:
            self.assertTrue(any("ser2net" in groups.get(word, "").split() for word in line.split()), line)
