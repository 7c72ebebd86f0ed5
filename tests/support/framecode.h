#pragma once

#include <opencv2/core.hpp>

// Reads the frame counter that camsim draws into every frame (layout and rules in
// tools/camsim/framecodelayout.h: 24 cells across the full width in the vertical middle, most
// significant bit at the left, each cell a bit part over its complement).
// `bgr` is an 8-bit BGR (or grey, or BGRA) frame of any size, for instance a recorded 640x480
// frame with the recorder's overlay. Returns the counter modulo 2^24, or -1 when the band is
// missing or any cell is not clearly black over white or white over black.
int readFrameCounter(const cv::Mat& bgr);

// Draws `counter` into an 8-bit BGR frame as camsim does, for tests that write recordings of
// their own.
void drawFrameCounter(cv::Mat& bgr, int counter);
