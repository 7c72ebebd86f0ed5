#pragma once

#include <atomic>
#include <functional>

// OpenCV's FFmpeg backend opens captures and writers under one process-wide lock, held for the
// whole open: a camera that accepts a connection and never answers holds every other camera's
// open, and the next recording file's, for its full open time-out. Every such open of ours passes
// this gate first, so that the order is ours: a writer (a local file, opened in milliseconds)
// goes before any capture that waits, and a wait can be given up before it has made a
// connection or a file.
namespace OpenGate {
enum class Kind { Writer, Capture };

// Waits until the gate is free; false, without it, as soon as `giveUp` turns true.
bool enter(Kind kind, const std::atomic<bool>& giveUp);
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
