#pragma once

#include <cstddef>

#include <opencv2/core.hpp>

// A decoded picture. A YCbCr or grey JPEG comes as its planes (full range, as JPEG stores
// them), each at its own size: `cb` and `cr` are empty for grey. Any other kind (CMYK, say)
// comes as blue-green-red in `bgr`, with the planes empty.
struct DecodedPicture {
    cv::Mat y, cb, cr;
    cv::Mat bgr;
};

// libjpeg-turbo at scale eighths/8, in the inverse DCT. A YCbCr or grey picture is read as its
// raw planes into `buffers`, which dst's planes view, anything else straight into blue-green-red:
// the colour conversion then runs in libjpeg's SIMD code, where cv::imdecode would decode to RGB
// and swap every pixel in plain C. Only plain data crosses the setjmp; the matrices are the
// caller's. False when libjpeg gives up on the data.
bool decodeJpeg(const uchar* data, size_t size, int eighths, bool planes, DecodedPicture& dst,
                cv::Mat (&buffers)[3]);
