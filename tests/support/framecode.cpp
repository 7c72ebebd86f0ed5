#include "support/framecode.h"

#include <cmath>

#include <opencv2/imgproc.hpp>

#include "tools/camsim/framecodelayout.h"

namespace {
// 1 white, 0 black, -1 neither: the mean grey level of the central sampleShare of the rectangle
// given in picture fractions.
int sample(const cv::Mat& grey, double left, double right, double top, double bottom) {
    using namespace framecode;
    const double margin = (1.0 - sampleShare) / 2;
    const cv::Rect rect(cv::Point(int(std::lround((left + (right - left) * margin) * grey.cols)),
                                  int(std::lround((top + (bottom - top) * margin) * grey.rows))),
                        cv::Point(int(std::lround((right - (right - left) * margin) * grey.cols)),
                                  int(std::lround((bottom - (bottom - top) * margin) * grey.rows))));
    if (rect.empty())
        return -1;
    const double mean = cv::mean(grey(rect))[0];
    return mean < blackBelow ? 0 : mean > whiteAbove ? 1 : -1;
}
} // namespace

int readFrameCounter(const cv::Mat& bgr) {
    using namespace framecode;
    if (bgr.empty() || bgr.depth() != CV_8U || bgr.channels() == 2 || bgr.channels() > 4)
        return -1;
    cv::Mat grey = bgr;
    if (bgr.channels() > 1)
        cv::cvtColor(bgr, grey, bgr.channels() == 3 ? cv::COLOR_BGR2GRAY : cv::COLOR_BGRA2GRAY);
    int counter = 0;
    for (int i = 0; i < cellCount; ++i) {
        const int bit = sample(grey, cellLeft(i), cellRight(i), bitTop, bitBottom);
        const int check = sample(grey, cellLeft(i), cellRight(i), checkTop, checkBottom);
        if (bit < 0 || check < 0 || bit == check)
            return -1;
        counter = (counter << 1) | bit;
    }
    return counter;
}

void drawFrameCounter(cv::Mat& bgr, int counter) {
    using namespace framecode;
    const auto at = [](double share, int side) { return int(std::floor(share * side)); };
    for (int i = 0; i < cellCount; ++i) {
        const bool bit = (unsigned(counter) >> (cellCount - 1 - i)) & 1u;
        const int left = at(cellLeft(i), bgr.cols);
        const int right = at(cellRight(i), bgr.cols);
        const cv::Scalar white(255, 255, 255), black(0, 0, 0);
        bgr(cv::Range(at(bitTop, bgr.rows), at(bitBottom, bgr.rows)), cv::Range(left, right))
            .setTo(bit ? white : black);
        bgr(cv::Range(at(checkTop, bgr.rows), at(checkBottom, bgr.rows)), cv::Range(left, right))
            .setTo(bit ? black : white);
    }
}
