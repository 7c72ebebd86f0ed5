#pragma once

#include <opencv2/core.hpp>

// Decoding of one picture of an MJPEG stream read as raw packets (cv::VideoCapture with
// CAP_PROP_FORMAT set to -1). Decoding the JPEG directly into blue-green-red, and at half scale
// when the picture is at least twice the recording width, costs well under half of
// grab + retrieve, whose full-size colour conversion dominates (see bench_pipeline).

// Width and height from the JPEG's frame header, or an empty size when there is none.
cv::Size jpegSize(const cv::Mat& packet);

// Decodes `packet` into `dst` (reusing its pixels when the size matches), at half scale when the
// picture is 1280 or more wide. Returns false, with `dst` empty, for data that is not a JPEG.
bool decodeMjpegFrame(const cv::Mat& packet, cv::Mat& dst);
