#pragma once

#include <atomic>
#include <functional>

// OpenCV's FFmpeg backend opens captures and writers under one process-wide lock, held for the
// whole open: a camera that accepts a connection and never answers holds every other camera's
// open for its full open time-out. (Recordings are written through FFmpeg directly, outside that
// lock.) Every capture open of ours passes this gate first, so that a wait can be given up, by a
// stopped worker, before it has made a connection.
namespace OpenGate {
// Waits until the gate is free; false, without it, as soon as `giveUp` turns true.
bool enter(const std::atomic<bool>& giveUp);
void leave();
} // namespace OpenGate

// Calls that may block on the network for a time-out run on threads that nobody joins: a stop
// never waits for them. Each call owns what it uses (shared ownership) and must not touch a
// worker, a channel or a window.
namespace DetachedCalls {
void start(std::function<void()> call);
// Waits, at most timeoutMs, until no call is left; true if none is. For the end of the process,
// so that no call is still inside the video library while it is torn down.
bool waitForAll(int timeoutMs);
} // namespace DetachedCalls
