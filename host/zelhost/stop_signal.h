// Ctrl-C and SIGTERM as a request to stop, for the commands that run until
// told to (poll, scan, demo): they check StopRequested() between two
// transactions and end in order, the driver ended and the tools stopped.
#pragma once

namespace zelhost {

// From now on SIGINT and SIGTERM set the request instead of ending zelhost,
// and the first of them prints `notice` on stderr at once (a literal: it is
// written from the signal handler), so that the user sees the stop was taken
// while the current transaction runs to its end.
void CatchStopSignals(const char* notice = "zelhost: stopping after the current read\n");
// The notice from now on (e.g. with the progress line's erasure in front).
void SetStopNotice(const char* notice);

bool StopRequested();
// Sets or clears the request from within zelhost.
void SetStopRequested(bool stop);

} // namespace zelhost
