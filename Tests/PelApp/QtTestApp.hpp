#pragma once

namespace pelapptest {

// Runs what the event loop has queued: the model relay's coalesced refreshes and deferred deletes.
void flushUi();

} // namespace pelapptest
