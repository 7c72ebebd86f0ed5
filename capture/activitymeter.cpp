#include "capture/activitymeter.h"

#include <algorithm>
#include <cmath>

#include "capture/frameconversion.h"

namespace {
// A cell average must differ from the background by more than this (in luma levels of video
// range) to count: well above what per-pixel sensor noise, averaged over 64 pixels and through
// JPEG, leaves (about one level on camsim's noisy picture), well below a person or a car against
// the scene.
constexpr float kChangeLevels = 10.0f;
// How fast the background follows the picture, per frame: lighting that drifts is learnt within
// a second or so; what stands out is learnt much more slowly, so that a passing object leaves no
// trail, while one that stops becomes scene within a few seconds.
constexpr float kLearnRate = 1.0f / 16;
constexpr float kLearnRateChanged = 1.0f / 128;
// A frame this long after the one before is compared with a background that may no longer hold.
constexpr qint64 kFreshStartAfterMs = 2000;

bool overlaps(int row, const cv::Range& rows) {
    const int top = row * ActivityMeter::kCellPixels;
    return top < rows.end && top + ActivityMeter::kCellPixels > rows.start;
}
} // namespace

ActivityMeter::ActivityMeter()
    : rowCounted(kRows, 1)
    , cells(kColumns * kRows, 0.0f)
    , changedBefore(kColumns * kRows, 0)
    , rowSums(kColumns * kCellPixels, 0) {
    const OverlayRows overlay = overlayRows();
    for (int row = 0; row < kRows; ++row) {
        rowCounted[row] = !overlaps(row, overlay.top) && !overlaps(row, overlay.bottom);
        countedCells += rowCounted[row] ? kColumns : 0;
    }
}

void ActivityMeter::averageCells(const cv::Mat& i420) {
    const int width = kColumns * kCellPixels;
    for (int row = 0; row < kRows; ++row) {
        if (!rowCounted[row])
            continue;
        // Column sums of the cell row first (8 x 255 fits 16 bits), then across: plain loops the
        // compiler turns into vector code.
        std::uint16_t* sums = rowSums.data();
        const std::uint8_t* line = i420.ptr<std::uint8_t>(row * kCellPixels);
        for (int x = 0; x < width; ++x)
            sums[x] = line[x];
        for (int y = 1; y < kCellPixels; ++y) {
            line = i420.ptr<std::uint8_t>(row * kCellPixels + y);
            for (int x = 0; x < width; ++x)
                sums[x] = std::uint16_t(sums[x] + line[x]);
        }
        float* out = cells.data() + row * kColumns;
        for (int column = 0; column < kColumns; ++column) {
            unsigned total = 0;
            for (int x = 0; x < kCellPixels; ++x)
                total += sums[column * kCellPixels + x];
            out[column] = float(total) * (1.0f / (kCellPixels * kCellPixels));
        }
    }
}

float ActivityMeter::measure(const cv::Mat& i420, qint64 atMs) {
    if (i420.type() != CV_8UC1 || i420.cols != kColumns * kCellPixels ||
        i420.rows != kRows * kCellPixels * 3 / 2) {
        background.clear();
        return 0.0f;
    }
    averageCells(i420);
    const bool fresh = background.empty() || atMs - lastAtMs > kFreshStartAfterMs;
    lastAtMs = atMs;
    if (fresh) {
        background = cells;
        std::fill(changedBefore.begin(), changedBefore.end(), 0);
        return 0.0f;
    }
    int changed = 0;
    for (int row = 0; row < kRows; ++row) {
        if (!rowCounted[row])
            continue;
        for (int i = row * kColumns; i < (row + 1) * kColumns; ++i) {
            const float difference = cells[i] - background[i];
            const bool stands = std::fabs(difference) > kChangeLevels;
            // Twice in a row: one torn or glitched frame is no activity.
            changed += stands && changedBefore[i];
            changedBefore[i] = stands;
            background[i] += difference * (stands ? kLearnRateChanged : kLearnRate);
        }
    }
    return countedCells > 0 ? 100.0f * float(changed) / float(countedCells) : 0.0f;
}

ActivityRecorder::ActivityRecorder(const QString& dataDrive, int camera)
    : writer(dataDrive, camera) {}

void ActivityRecorder::addFrame(const cv::Mat& i420, const QDateTime& when, qint64 atMs) {
    const float share = meter.measure(i420, atMs);
    const qint64 frameSecond = when.toMSecsSinceEpoch() / 1000;
    if (frameSecond != second) {
        flush();
        second = frameSecond;
        secondTime = when;
        percent = 0;
    }
    percent = std::max(percent, share);
    unwritten = true;
}

void ActivityRecorder::flush() {
    if (unwritten && second >= 0)
        writer.write(secondTime, percent);
    unwritten = false;
}
