// Asking a kit tool that runs as a child process to stop cleanly. On POSIX
// that is SIGINT or SIGTERM. A Windows process without a console of its own
// cannot be sent either, so there the tool watches a named event that
// carries its process id, and RequestStop sets it.
#pragma once

namespace testkit {

// Starts watching for stop requests (POSIX: handlers for SIGINT and SIGTERM;
// Windows: the process's stop event and the console's Ctrl+C); false when
// the watch cannot be set up.
bool WatchStopRequests();
// True once a stop request has come.
bool StopRequested();

#if defined(_WIN32)
// Sets the stop event of process nPid; false when that process watches none.
bool RequestStop(unsigned long nPid);
#endif

} // namespace testkit
