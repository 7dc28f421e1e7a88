// The state a process may be started in: closed standard descriptors, and a
// reader of standard output that has gone away.
#pragma once

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no socket opened later takes its place and receives what the tool writes.
// Stops with a message and exit status 1 when that fails.
void open_standard_descriptors();

// A write to a pipe whose reader has gone then fails like any other write,
// instead of killing the process.
void ignore_broken_pipe();
