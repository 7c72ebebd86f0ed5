#pragma once

#include <atomic>

#include <QString>

// Whether the network camera behind `url` answers at all: it accepts a connection and sends
// something back to a request (any status, a 401 included) within timeoutMs.
//
// The video library opens one stream at a time for the whole process, so a hung camera would
// hold every other camera's open for the whole open time-out. Asked, outside that lock, before a
// camera whose last open ran into its time-out is opened again; never before a camera that
// answered, which may serve one client only.
//
// URLs that are not http, https or rtsp (local files, for one) count as answering. Returns early,
// with false, once `giveUp` turns true.
bool cameraAnswers(const QString& url, int timeoutMs, const std::atomic<bool>& giveUp);
