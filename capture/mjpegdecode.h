#pragma once

#include <opencv2/core.hpp>

#include "recordings/jpegdecode.h"

// Decoding of one picture of an MJPEG stream read as raw packets (cv::VideoCapture with
// CAP_PROP_FORMAT set to -1). libjpeg scales the picture in its inverse DCT and hands over its
// own luma and chroma planes: no chroma upsampling and no colour conversion at the camera's
// size, where grab + retrieve would do both on every full-size picture (see bench_pipeline).

// Width and height from the JPEG's frame header, or an empty size when there is none.
cv::Size jpegSize(const cv::Mat& packet);

// M of the libjpeg scale M/8 for a picture of `size`: the smallest of 8/8, 4/8, 2/8 and 1/8
// whose output is still at least 640 x 480 both ways, so that the scaling to the recording size
// never has less detail than a full decode would give it. Only these scales have SIMD inverse
// DCTs in libjpeg-turbo: 6/8 of a 1280 x 720 picture costs two and a half times a full decode.
int decodeScaleEighths(cv::Size size);

// Decodes `packet` at decodeScaleEighths() of its size; a few bytes before the picture (a line
// break that some cameras send) are skipped. Returns false, with `dst` empty, for data that
// neither libjpeg nor OpenCV can read. The planes live in buffers of the calling thread, reused
// by its next call: `dst` holds the picture until then.
bool decodeMjpegPicture(const cv::Mat& packet, DecodedPicture& dst);

// The same, always as blue-green-red.
bool decodeMjpegFrame(const cv::Mat& packet, cv::Mat& dst);
