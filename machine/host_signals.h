// SIGINT, SIGTERM and SIGHUP on the host, for a machine configured to take
// them as CTRL-C: the first asks the player to stop; a second ends the
// process at once, as a user pressing CTRL-C twice expects.
#pragma once

namespace machine {

// Installs the handlers, keeping those they replace, and forgets any signal
// of an earlier run. Each signal also writes to wakeFd (an eventfd), so that
// a thread sleeping in poll() is woken at once; -1 for none.
void CatchHostSignals(int wakeFd);

// Puts the replaced handlers back and waits for any handler still running on
// another thread: no descriptor is written after this returns.
void ReleaseHostSignals();

// Whether a signal came since the last call. Any thread may ask.
bool TakeHostSignal();

} // namespace machine
