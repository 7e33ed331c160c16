// Ctrl-C and SIGTERM as a request to stop, for the commands that run until
// told to (poll, scan, demo): they check StopRequested() between two
// transactions and end in order, the driver ended and the tools stopped.
#pragma once

namespace zelhost {

// From now on SIGINT and SIGTERM set the request instead of ending zelhost.
void CatchStopSignals();

bool StopRequested();
// Sets or clears the request from within zelhost.
void SetStopRequested(bool stop);

} // namespace zelhost
