#include "support/framecode.h"

#include <cmath>

#include <opencv2/imgproc.hpp>

#include "tools/camsim/framecodelayout.h"

namespace {

// Mean grey level of the central sampleShare of the rectangle given in picture fractions.
double sampleMean(const cv::Mat& grey, double left, double right, double top, double bottom) {
    using framecode::sampleShare;
    const double margin = (1.0 - sampleShare) / 2;
    const double w = grey.cols;
    const double h = grey.rows;
    const int x0 = int(std::lround((left + (right - left) * margin) * w));
    const int x1 = int(std::lround((right - (right - left) * margin) * w));
    const int y0 = int(std::lround((top + (bottom - top) * margin) * h));
    const int y1 = int(std::lround((bottom - (bottom - top) * margin) * h));
    if (x1 <= x0 || y1 <= y0)
        return -1;
    return cv::mean(grey(cv::Rect(x0, y0, x1 - x0, y1 - y0)))[0];
}

// 1 white, 0 black, -1 neither.
int classify(double mean) {
    if (mean < 0)
        return -1;
    if (mean < framecode::blackBelow)
        return 0;
    if (mean > framecode::whiteAbove)
        return 1;
    return -1;
}

} // namespace

int readFrameCounter(const cv::Mat& bgr) {
    using namespace framecode;
    if (bgr.empty() || bgr.depth() != CV_8U)
        return -1;
    cv::Mat grey;
    switch (bgr.channels()) {
    case 1:
        grey = bgr;
        break;
    case 3:
        cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
        break;
    case 4:
        cv::cvtColor(bgr, grey, cv::COLOR_BGRA2GRAY);
        break;
    default:
        return -1;
    }
    int counter = 0;
    for (int i = 0; i < cellCount; ++i) {
        const int bit = classify(sampleMean(grey, cellLeft(i), cellRight(i), bitTop, bitBottom));
        const int check =
            classify(sampleMean(grey, cellLeft(i), cellRight(i), checkTop, checkBottom));
        if (bit < 0 || check < 0 || bit == check)
            return -1;
        counter = (counter << 1) | bit;
    }
    return counter;
}
