"""Installing pmtu6, its manual page, and running it without a root shell."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netlab  # noqa: E402
from netlab import AS_NOBODY, needs_namespaces  # noqa: E402

BINARY = BUILD = SOURCE = None


def installed(destdir, *options):
    """Configures, builds and installs into destdir; returns the prefix there."""
    build = os.path.join(destdir, "build")
    subprocess.run(["cmake", "-S", SOURCE, "-B", build, "-DBUILD_TESTING=OFF", *options],
                   check=True, capture_output=True)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", "pmtu6"],
                   check=True, capture_output=True)
    return install(build, destdir)


def install(build, destdir):
    subprocess.run(["cmake", "--install", build, "--prefix", "/opt/pmtu6"], check=True,
                   capture_output=True, env={**os.environ, "DESTDIR": os.path.join(destdir, "d")})
    return os.path.join(destdir, "d", "opt", "pmtu6")


class Manual(unittest.TestCase):
    def test_page_renders_without_warnings(self):
        netlab.require_tools("mandoc")
        page = os.path.join(SOURCE, "man", "pmtu6.8")
        done = subprocess.run(["mandoc", "-Tlint", "-Wwarning", page],
                              capture_output=True, text=True)
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, "", ""))


class Install(unittest.TestCase):
    def test_install_to_a_staging_prefix(self):
        with tempfile.TemporaryDirectory() as tmp:
            prefix = install(BUILD, tmp)
            tool = os.path.join(prefix, "bin", "pmtu6")
            self.assertTrue(os.access(tool, os.X_OK))
            self.assertTrue(os.path.isfile(os.path.join(prefix, "share/man/man8/pmtu6.8")))
            self.assertTrue(os.path.isfile(
                os.path.join(prefix, "share/bash-completion/completions/pmtu6")))
            done = subprocess.run([tool], capture_output=True, text=True)
            self.assertEqual((done.returncode, done.stderr), (1, f"Usage: {tool} <host>\n"))

    def test_configure_without_googletest(self):
        with tempfile.TemporaryDirectory() as tmp:
            done = subprocess.run(["cmake", "-S", SOURCE, "-B", tmp,
                                   "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON"],
                                  capture_output=True, text=True)
            self.assertIn("GoogleTest not found", done.stdout)
            subprocess.run(["cmake", "--build", tmp, "-j2", "--target", "pmtu6"], check=True,
                           capture_output=True)


class Completion(unittest.TestCase):
    def test_completes_the_host_from_known_hosts(self):
        library = "/usr/share/bash-completion/bash_completion"
        if not os.path.exists(library):  # the bash-completion package
            netlab.require_tools(library)
        script = (f"source {library}; source {SOURCE}/completion/pmtu6; HOSTFILE=$1; "
                  'COMP_WORDS=(pmtu6 "$2"); COMP_CWORD=$3; COMP_LINE="pmtu6 $2"; '
                  'COMP_POINT=${#COMP_LINE}; _pmtu6; printf "%s\\n" "${COMPREPLY[@]}"')
        with tempfile.NamedTemporaryFile("w", suffix=".hosts") as hosts:
            hosts.write("2001:db8::5 pmtu6-test-host\n")
            hosts.flush()
            for word, operand, expected in [("pmtu6-te", "1", "pmtu6-test-host\n"),
                                            ("pmtu6-te", "2", "\n")]:
                with self.subTest(operand=operand):
                    done = subprocess.run(["bash", "-c", script, "bash", hosts.name, word,
                                           operand], capture_output=True, text=True)
                    self.assertEqual((done.stdout, done.stderr), (expected, ""))


class Privileges(unittest.TestCase):
    @needs_namespaces
    def test_unprivileged_ways_to_run(self):
        with tempfile.TemporaryDirectory() as tmp:
            os.chmod(tmp, 0o755)

            def copy(name, mode, capability=False):
                path = shutil.copy(BINARY, os.path.join(tmp, name))
                os.chown(path, 0, 0)
                if capability:
                    subprocess.run(["setcap", "cap_net_raw+ep", path], check=True)
                os.chmod(path, mode)
                return path

            with_capability = os.path.join(installed(tmp, "-DPMTU6_SETCAP=ON"), "bin", "pmtu6")
            getcap = subprocess.run(["getcap", with_capability], capture_output=True, text=True)
            self.assertIn("cap_net_raw=ep", getcap.stdout)
            nobody = "65534"  # nobody's uid, nogroup's gid
            # the install is built with the defaults, which confine
            for name, binary, prefix, ids, confined in [
                    ("root", BINARY, (), "0", None),
                    ("set-uid root copy, as nobody", copy("u", 0o4755), AS_NOBODY, nobody, None),
                    ("set-uid and set-gid root copy, as nobody", copy("ug", 0o6755), AS_NOBODY,
                     nobody, None),
                    ("set-gid root copy with cap_net_raw, as nobody",
                     copy("gc", 0o2755, capability=True), AS_NOBODY, nobody, None),
                    ("cap_net_raw install, as nobody", with_capability, AS_NOBODY, nobody, True)]:
                with self.subTest(name):
                    netlab.check_unprivileged_run(self, binary, prefix, ids, confined)


class Demo(unittest.TestCase):
    @needs_namespaces
    def test_demo_runs_and_cleans_up(self):
        before = netlab.ip("netns", "list").stdout
        done = subprocess.run([sys.executable, os.path.join(SOURCE, "demo", "run"),
                               "--binary", BINARY], capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("1280 (2001:db8:1::1 1400, 2001:db8:1::2 1280, 2001:db8:2::2 reached)",
                      done.stdout)
        self.assertEqual(netlab.ip("netns", "list").stdout, before)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--source", required=True)
    options, rest = parser.parse_known_args()
    BUILD, SOURCE = os.path.abspath(options.build_dir), os.path.abspath(options.source)
    sys.argv[1:] = rest
    BINARY = netlab.main_binary()
    unittest.main(argv=[sys.argv[0], *netlab.rest_args], verbosity=2)
