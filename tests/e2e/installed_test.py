"""The installed pmtu6 as its package leaves it: an ordinary user runs it.

For the package's own test run (autopkgtest): --binary /usr/bin/pmtu6.
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netlab  # noqa: E402
from netlab import AS_NOBODY, needs_namespaces  # noqa: E402

BINARY = None


class InstalledTool(unittest.TestCase):
    @needs_namespaces
    def test_ordinary_user_finds_the_path(self):
        netlab.check_unprivileged_run(self, BINARY, AS_NOBODY, "65534")


if __name__ == "__main__":
    BINARY = netlab.main_binary()
    unittest.main(argv=[sys.argv[0], *netlab.rest_args], verbosity=2)
