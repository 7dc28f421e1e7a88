// Giving up privilege once the raw socket is open: nothing after it needs any.
#pragma once

// Sets every user and group id to the real one when started set-uid or
// set-gid and, on Linux, clears all capabilities. Checks that the drop holds;
// if not, stops with a message and exit status 1.
void drop_privileges();
