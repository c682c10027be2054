#pragma once

#include <functional>

namespace pelapp {

// Turns SIGTERM, SIGINT and SIGHUP (kill, a logout, Ctrl+C) into `quit`, run once by the Qt event
// loop on the GUI thread; the handler itself only writes to a pipe. A second of these signals ends
// the process at once with status 128 + its number, so a quit that hangs can still be ended.
// Needs the Qt application object; call once, on the GUI thread, before the event loop starts.
void quitOnSignals(std::function<void()> quit);

// quitOnSignals with the orderly end of the event loop (status 0), as when the last window closes:
// aboutToQuit follows, then PelAppMain::terminate.
void quitOnSignals();

} // namespace pelapp
