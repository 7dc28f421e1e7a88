"""The Debian and the RPM package: each builds, lints clean, installs, serves
an ordinary user, and is removed without trace.

The package is installed into a throwaway root: an overlay whose lower layer
is / and whose upper layer is a scratch folder, mounted in a private mount
namespace, with dpkg run inside it by chroot. The machine's own dpkg database
and /usr are never written, also when a test fails: the mount goes with the
namespace and the scratch folder with the test.
"""

import argparse
import glob
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netlab  # noqa: E402
from netlab import AS_NOBODY, Path, link_address as at, needs_namespaces  # noqa: E402

SOURCE = None
TOOLS = ("dpkg-buildpackage", "dh", "lintian", "unshare", "chroot", "getcap")
RPM_TOOLS = ("rpmbuild", "rpmlint", "rpm", "unshare", "chroot", "getcap")
# Mounts the throwaway root at $1/root, then runs the rest of the command line.
MOUNT_ROOT = """set -e
s=$1; shift
mount -t overlay overlay -o "lowerdir=/,upperdir=$s/upper,workdir=$s/work" "$s/root"
mount --rbind /dev "$s/root/dev"
mount -t proc proc "$s/root/proc"
exec "$@"
"""


def clean_copy(source, destination):
    """The files of the tree as a checkout would have them: no build folders."""
    listed = subprocess.run(["git", "-C", source, "ls-files", "-z", "--cached", "--others",
                             "--exclude-standard"], capture_output=True)
    if listed.returncode != 0:  # not a checkout: everything but build output
        shutil.copytree(source, destination, symlinks=True,
                        ignore=shutil.ignore_patterns("build*", "__pycache__", ".git"))
        return
    for name in filter(None, listed.stdout.decode().split("\0")):
        if not os.path.lexists(os.path.join(source, name)):
            continue  # deleted in the working tree, not yet in the index
        os.makedirs(os.path.dirname(os.path.join(destination, name)), exist_ok=True)
        shutil.copy2(os.path.join(source, name), os.path.join(destination, name),
                     follow_symlinks=False)


def machine_state():
    """What the machine's own system says of pmtu6: the test must not change it."""
    query = subprocess.run(["dpkg-query", "-W", "-f", "${db:Status-Abbrev} ${Version}", "pmtu6"],
                           capture_output=True, text=True)
    binary = "/usr/bin/pmtu6"
    return (query.returncode, query.stdout,
            os.lstat(binary).st_mtime_ns if os.path.lexists(binary) else None)


class ThrowawayRoot:
    def __init__(self, scratch):
        self.scratch = scratch
        self.root = os.path.join(scratch, "root")
        for folder in ("upper", "work", "root"):
            os.makedirs(os.path.join(scratch, folder))

    def put(self, name):
        """Places a file in the root, seen there as /pmtu6-test/NAME."""
        os.makedirs(os.path.join(self.scratch, "upper", "pmtu6-test"), exist_ok=True)
        shutil.copy(name, os.path.join(self.scratch, "upper", "pmtu6-test"))
        return os.path.join("/pmtu6-test", os.path.basename(name))

    def left_behind(self):
        """Whatever the root holds, beyond the machine's own files, that is
        named after pmtu6 (a whiteout only hides a file of the machine's)."""
        upper = os.path.join(self.scratch, "upper")
        found = []
        for folder, dirs, files in os.walk(upper):
            if folder == upper:
                dirs.remove("pmtu6-test")  # what put() placed there
            for name in dirs + files:
                full = os.path.join(folder, name)
                if "pmtu6" in name and not stat.S_ISCHR(os.lstat(full).st_mode):
                    found.append(os.path.relpath(full, upper))
        return found

    def run(self, *command, chroot=True, **kw):
        """Runs a command with the root mounted; inside it unless chroot is False."""
        inside = ("chroot", self.root) if chroot else ()
        return subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                               MOUNT_ROOT, "sh", self.scratch, *inside, *command],
                              capture_output=True, text=True, timeout=300, **kw)


class Package(unittest.TestCase):
    def setUp(self):
        netlab.require_tools(*TOOLS)

    def assertRan(self, done, *, stdout=None):
        self.assertEqual(done.returncode, 0, done.stdout[-4000:] + done.stderr[-4000:])
        if stdout is not None:
            self.assertEqual(done.stdout, stdout)

    @needs_namespaces
    def test_build_lint_install_use_purge(self):
        before = machine_state()
        with tempfile.TemporaryDirectory(prefix="pmtu6-package-") as tmp:
            os.chmod(tmp, 0o755)
            tree = os.path.join(tmp, "pmtu6")
            clean_copy(SOURCE, tree)
            self.assertRan(subprocess.run(["dpkg-buildpackage", "-us", "-uc", "-b"], cwd=tree,
                                          capture_output=True, text=True, timeout=1200))
            [deb] = glob.glob(os.path.join(tmp, "pmtu6_*.deb"))
            [changes] = glob.glob(os.path.join(tmp, "pmtu6_*.changes"))

            lint = subprocess.run(["lintian", "--fail-on", "error,warning", changes],
                                  capture_output=True, text=True, timeout=600)
            self.assertRan(lint, stdout="")

            root = ThrowawayRoot(os.path.join(tmp, "scratch"))
            self.assertRan(root.run("dpkg", "-i", root.put(deb)))
            installed = root.run("dpkg", "-L", "pmtu6").stdout.splitlines()
            self.assertIn("/usr/bin/pmtu6", installed)
            self.assertIn("/usr/share/man/man8/pmtu6.8.gz", installed)
            self.assertIn("/usr/share/bash-completion/completions/pmtu6", installed)
            self.assertRan(root.run("getcap", "/usr/bin/pmtu6"),
                           stdout="/usr/bin/pmtu6 cap_net_raw=ep\n")
            self.assertRan(root.run("stat", "-c", "%a %U", "/usr/bin/pmtu6"), stdout="755 root\n")

            with Path([1500, 1280]) as path:
                run = root.run("ip", "netns", "exec", path.client, "chroot", root.root,
                               *AS_NOBODY, "/usr/bin/pmtu6", path.host_address, chroot=False)
                self.assertEqual((run.returncode, run.stdout, run.stderr), (
                    0, f"1280 ({at(1, 2)} 1280, {path.host_address} reached)\n", ""))

            self.assertRan(root.run("dpkg", "--purge", "pmtu6"))
            status = root.run("dpkg-query", "-W", "pmtu6")
            self.assertIn("no packages found matching pmtu6", status.stderr)
            self.assertEqual(root.left_behind(), [])
        self.assertEqual(machine_state(), before)


def versions(source):
    """The version CMake, the Debian changelog and the RPM package give."""
    def first(pattern, name):
        with open(os.path.join(source, name)) as f:
            return re.search(pattern, f.read(), re.M).group(1)
    return (first(r"^project\(pmtu6 VERSION (\S+)", "CMakeLists.txt"),
            first(r"^pmtu6 \(([^)-]+)", "debian/changelog"),
            first(r"^Version:\s*(\S+)", "pmtu6.spec"))


class Rpm(unittest.TestCase):
    def test_versions_agree(self):
        cmake, debian, rpm = versions(SOURCE)
        self.assertEqual((debian, rpm), (cmake, cmake))

    @needs_namespaces
    def test_build_lint_install_use_erase(self):
        netlab.require_tools(*RPM_TOOLS)
        version = versions(SOURCE)[0]
        with tempfile.TemporaryDirectory(prefix="pmtu6-rpm-") as tmp:
            os.chmod(tmp, 0o755)
            # The source tarball as a release has it: the tree under NAME-VERSION/.
            tree = os.path.join(tmp, f"pmtu6-{version}")
            clean_copy(SOURCE, tree)
            tarball = os.path.join(tmp, f"pmtu6-{version}.tar.gz")
            subprocess.run(["tar", "-C", tmp, "-czf", tarball, os.path.basename(tree)], check=True)
            top = os.path.join(tmp, "top")
            # Debian's rpm database knows none of the build's requirements.
            built = subprocess.run(["rpmbuild", "-ta", "--nodeps", "--define", f"_topdir {top}",
                                    tarball], capture_output=True, text=True, timeout=1200)
            Package.assertRan(self, built)
            self.assertIn("100% tests passed", built.stdout)
            [srpm] = glob.glob(os.path.join(top, "SRPMS", "pmtu6-*.src.rpm"))
            [rpm] = glob.glob(os.path.join(top, "RPMS", "*", "pmtu6-*.rpm"))

            lint = subprocess.run(["rpmlint", "-r", os.path.join(tree, "pmtu6.rpmlintrc"),
                                   os.path.join(tree, "pmtu6.spec"), srpm, rpm],
                                  capture_output=True, text=True, timeout=600)
            self.assertIn(" 0 errors, 0 warnings", lint.stdout, lint.stdout + lint.stderr)
            caps = subprocess.run(["rpm", "-qp", "--filecaps", rpm], capture_output=True,
                                  text=True, check=True).stdout
            self.assertIn("/usr/bin/pmtu6\tcap_net_raw=p\n", caps)
            files = subprocess.run(["rpm", "-qpl", rpm], capture_output=True, text=True,
                                   check=True).stdout.split()
            self.assertEqual(sorted(files), sorted([
                "/usr/bin/pmtu6", "/usr/share/bash-completion/completions/pmtu6",
                f"/usr/share/doc/pmtu6-{version}", f"/usr/share/doc/pmtu6-{version}/README.md",
                f"/usr/share/licenses/pmtu6-{version}",
                f"/usr/share/licenses/pmtu6-{version}/LICENSE",
                "/usr/share/man/man8/pmtu6.8"]))

            root = ThrowawayRoot(os.path.join(tmp, "scratch"))
            database = ("--dbpath", "/pmtu6-test/rpmdb")
            Package.assertRan(self, root.run("rpm", *database, "-i", "--nodeps", root.put(rpm)))
            Package.assertRan(self, root.run("getcap", "/usr/bin/pmtu6"),
                              stdout="/usr/bin/pmtu6 cap_net_raw=p\n")
            with Path([1500, 1400]) as path:
                run = root.run("ip", "netns", "exec", path.client, "chroot", root.root,
                               *AS_NOBODY, "/usr/bin/pmtu6", path.host_address, chroot=False)
                self.assertEqual((run.returncode, run.stdout, run.stderr), (
                    0, f"1400 ({at(1, 2)} 1400, {path.host_address} reached)\n", ""))
            Package.assertRan(self, root.run("rpm", *database, "-e", "pmtu6"))
            self.assertEqual(root.left_behind(), [])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    options, rest = parser.parse_known_args()
    SOURCE = os.path.abspath(options.source)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
