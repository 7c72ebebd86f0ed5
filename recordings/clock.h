#pragma once

#include <functional>

#include <QDateTime>

// The one source of the time of day for stamps, file names, folders and the schedule.
// Production reads the wall clock; tests install a fake before any worker starts.
namespace Clock {
using Source = std::function<QDateTime()>;

QDateTime now();
// An empty source restores the wall clock.
void setSource(Source source);
} // namespace Clock
