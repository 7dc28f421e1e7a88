"""A whole run of pmtu6 under valgrind: every byte handed to the system is set."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netlab  # noqa: E402
from netlab import Path, link_address as at, needs_namespaces, run_tool  # noqa: E402

BINARY = None
MEMCHECK = ("valgrind", "--quiet", "--error-exitcode=99", "--leak-check=full",
            "--errors-for-leak-kinds=definite")


class Memcheck(unittest.TestCase):
    @needs_namespaces
    def test_narrowing_path(self):
        # A refused probe, a router's Packet Too Big and the host's answer.
        netlab.require_tools("valgrind")
        with Path([1400, 1280]) as path:
            run = run_tool(path, BINARY, path.host_address, prefix=MEMCHECK)
            self.assertEqual(run[:3], (
                f"1280 ({at(1, 1)} 1400, {at(1, 2)} 1280, {path.host_address} reached)\n",
                "", 0))


if __name__ == "__main__":
    BINARY = netlab.main_binary()
    unittest.main(argv=[sys.argv[0], *netlab.rest_args], verbosity=2)
