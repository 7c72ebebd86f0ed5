#pragma once

#include <cstdint>
#include <vector>

#include <QDateTime>
#include <QString>

#include <opencv2/core.hpp>

#include "recordings/activitywriter.h"

// How much of the picture changed, frame by frame: the luma plane of each recording frame is
// averaged down to cells of 8 x 8 pixels, and a cell counts as changed when it stands out from
// a slowly learnt background by more than sensor noise does, in this frame and the one before.
// The rows of the overlay texts (location, time) are left out.
class ActivityMeter final {
public:
    static constexpr int kCellPixels = 8;
    static constexpr int kColumns = 640 / kCellPixels;
    static constexpr int kRows = 480 / kCellPixels;

    ActivityMeter();

    // The share (0..100 %) of the picture's cells that changed in `i420`, a recording frame
    // (640 x 480 in 4:2:0, as prepareRecordingFrame() makes it) taken at monotonic `atMs`. A
    // frame that follows the one before after a long gap (a pause, a broken stream) begins the
    // background afresh and reads 0; so does a frame of any other shape.
    float measure(const cv::Mat& i420, qint64 atMs);

private:
    void averageCells(const cv::Mat& i420);

    std::vector<std::uint8_t> rowCounted; // per cell row: 0 where the overlay may draw
    int countedCells = 0;
    std::vector<float> cells;      // this frame's cell averages
    std::vector<float> background; // empty until the first frame
    std::vector<std::uint8_t> changedBefore;
    qint64 lastAtMs = 0;
};

// The figures of one camera while it records: each recorded frame is measured, and the figure of
// each second (the largest share of its frames: a passing object marks its second however short
// its pass) is written once the second is over. Repeats that fill the 25 fps timeline are no new
// pictures and are not measured: they change nothing.
class ActivityRecorder final {
public:
    ActivityRecorder(const QString& dataDrive, int camera);

    // `when` is the frame's time of day, as stamped on it.
    void addFrame(const cv::Mat& i420, const QDateTime& when, qint64 atMs);
    // Writes the figure of the second in progress so far, for a pause or a stop.
    void flush();

private:
    ActivityMeter meter;
    ActivityWriter writer;
    qint64 second = -1; // epoch second of the figure being gathered
    QDateTime secondTime;
    float percent = 0;
    bool unwritten = false;
};
