#pragma once

#include <QDate>
#include <QString>
#include <QVector>

// Activity figures: for each second of recording, how much of the picture changed, 0 to 100 %.
// Kept per camera and day beside the videos:
//   <dataDrive>VideoData/activity/YYYY/MM/DD/camera-<N>.activity
namespace Activity {

constexpr float kNone = -1.0f; // no figure for that second (nothing recorded)
constexpr double kDefaultThreshold = 2.0; // percent

QString dayFile(const QString& dataDrive, int camera, const QDate& day);

// The figures of one camera's day: one per second from local midnight (86,400, or what the day
// holds across a clock change), each 0..100 or kNone. Never hangs or fails on a damaged file.
QVector<float> readDay(const QString& dataDrive, int camera, const QDate& day);

// Events are runs of seconds whose figure is above `thresholdPercent`. Returns the first second
// of the first event that begins after `fromSecond` (direction +1), or of the last event that
// begins before `fromSecond` (direction -1); -1 when there is none.
int findEvent(const QVector<float>& figures, int fromSecond, double thresholdPercent, int direction);

} // namespace Activity
