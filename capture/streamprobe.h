#pragma once

#include <atomic>

#include <QString>

// Whether the network camera behind `url` answers at all: it accepts a connection and sends
// something back to a request (any status, a 401 included) within timeoutMs.
//
// The video library opens one stream at a time for the whole process, so a camera that is
// unplugged or hung would hold every other camera's (re)connection for the whole open time-out.
// Asking first, outside that lock, keeps a dead camera from delaying the live ones.
//
// URLs that are not http, https or rtsp (local files, for one) count as answering. Returns early,
// with false, once `keepGoing` turns false.
bool cameraAnswers(const QString& url, int timeoutMs, const std::atomic<bool>& keepGoing);
