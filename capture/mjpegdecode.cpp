#include "capture/mjpegdecode.h"

#include <opencv2/imgcodecs.hpp>

#include "capture/frameconversion.h"

cv::Size jpegSize(const cv::Mat& packet) {
    if (packet.empty() || packet.depth() != CV_8U || !packet.isContinuous())
        return cv::Size();
    const uchar* data = packet.ptr();
    const size_t size = packet.total() * packet.elemSize();
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return cv::Size();
    // Walk the marker segments up to the frame header; every step moves forward.
    size_t pos = 2;
    while (pos + 4 <= size) {
        if (data[pos] != 0xFF)
            return cv::Size();
        const uchar marker = data[pos + 1];
        if (marker == 0xFF) { // fill byte
            ++pos;
            continue;
        }
        const size_t length = size_t(data[pos + 2]) << 8 | data[pos + 3];
        const bool frameHeader =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frameHeader) {
            if (length < 7 || pos + 9 > size)
                return cv::Size();
            const int height = data[pos + 5] << 8 | data[pos + 6];
            const int width = data[pos + 7] << 8 | data[pos + 8];
            return cv::Size(width, height);
        }
        if (marker == 0xD9 || marker == 0xDA || length < 2) // end of image or scan before a header
            return cv::Size();
        pos += 2 + length;
    }
    return cv::Size();
}

bool decodeMjpegFrame(const cv::Mat& packet, cv::Mat& dst) {
    const cv::Size size = jpegSize(packet);
    if (size.empty()) {
        dst.release();
        return false;
    }
    const int flags =
        size.width >= 2 * kRecordWidth ? cv::IMREAD_REDUCED_COLOR_2 : cv::IMREAD_COLOR;
    try {
        cv::imdecode(packet, flags, &dst);
    } catch (const cv::Exception&) {
        dst.release();
    }
    return !dst.empty();
}
