#pragma once

#include <QDateTime>
#include <QString>

// Where recordings and temporary stills go under a data drive:
//   <dataDrive>VideoData/videos/YYYY/MM/DD/camera-<N>-<file stamp>.avi
//   <dataDrive>VideoData/tmp/<N>.jpg
namespace RecordingPaths {

// "yyyy-MM-dd_HH-mm-ss-0zzz": the milliseconds take four digits, 0000 to 0999.
QString fileStamp(const QDateTime& when);

// <dataDrive>VideoData/videos/ and the folder of `day` under it, ending in "/", whether they
// exist or not (readers of the tree make nothing).
QString videosFolder(const QString& dataDrive);
QString dayFolder(const QString& dataDrive, const QDate& day);

// Makes VideoData/videos/YYYY/MM/DD/ level by level under dataDrive (failures are left to the
// writer to report) and returns the day folder, ending in "/".
QString makeDayFolder(const QString& dataDrive, const QDate& day);

// Makes the day folder of `when` and returns the path of the recording file begun at `when`.
QString recordingFile(const QString& dataDrive, const QString& cameraNumberText,
                      const QDateTime& when);

// Makes VideoData/tmp/ and returns the temporary still path of a local camera.
QString stillFile(const QString& dataDrive, const QString& cameraNumberText);

} // namespace RecordingPaths
