#include "capture/activitymeter.h"

#include <algorithm>
#include <cmath>

#include <opencv2/core/hal/intrin.hpp>

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
    , changedBefore(kColumns * kRows, 0) {
    const OverlayRows overlay = overlayRows();
    for (int row = 0; row < kRows; ++row) {
        rowCounted[row] = !overlaps(row, overlay.top) && !overlaps(row, overlay.bottom);
        countedCells += rowCounted[row] ? kColumns : 0;
    }
}

void ActivityMeter::averageCells(const cv::Mat& i420) {
    static_assert(kCellPixels == 8 && kColumns % 2 == 0, "two cells per 16 bytes of a line");
    constexpr float kScale = 1.0f / (kCellPixels * kCellPixels);
    for (int row = 0; row < kRows; ++row) {
        if (!rowCounted[row])
            continue;
        const std::uint8_t* lines[kCellPixels];
        for (int y = 0; y < kCellPixels; ++y)
            lines[y] = i420.ptr<std::uint8_t>(row * kCellPixels + y);
        float* out = cells.data() + row * kColumns;
        // Explicit vector code: the compiler leaves these loops scalar at our optimisation level,
        // at eight times the cost. 8 x 255 fits the 16-bit lanes.
        for (int column = 0; column < kColumns; column += 2) {
            const int x = column * kCellPixels;
#if CV_SIMD128
            cv::v_uint16x8 left = cv::v_setzero_u16(), right = cv::v_setzero_u16();
            for (int y = 0; y < kCellPixels; ++y) {
                cv::v_uint16x8 low, high;
                cv::v_expand(cv::v_load(lines[y] + x), low, high);
                left += low;
                right += high;
            }
            out[column] = float(cv::v_reduce_sum(left)) * kScale;
            out[column + 1] = float(cv::v_reduce_sum(right)) * kScale;
#else
            unsigned left = 0, right = 0;
            for (int y = 0; y < kCellPixels; ++y)
                for (int i = 0; i < kCellPixels; ++i) {
                    left += lines[y][x + i];
                    right += lines[y][x + kCellPixels + i];
                }
            out[column] = float(left) * kScale;
            out[column + 1] = float(right) * kScale;
#endif
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
