#include "capture/mjpegdecode.h"

#include <algorithm>
#include <cstring>

#include <opencv2/imgcodecs.hpp>

#include "capture/frameconversion.h"
#include "recordings/jpegdecode.h"

namespace {

// Cameras put a line break or padding before the picture now and then; a JPEG further in than
// this is not what the part holds.
constexpr size_t kMaxBytesBeforeImage = 64;

// Where the picture starts in `packet` (0 normally), or -1 when it holds none near its start.
long imageStart(const cv::Mat& packet) {
    if (packet.empty() || packet.depth() != CV_8U || !packet.isContinuous())
        return -1;
    const uchar* data = packet.ptr();
    const size_t size = packet.total() * packet.elemSize();
    for (size_t i = 0; i + 2 < size && i <= kMaxBytesBeforeImage; ++i) {
        if (data[i] == 0xFF && data[i + 1] == 0xD8 && data[i + 2] == 0xFF)
            return long(i);
    }
    return -1;
}

bool decode(const cv::Mat& packet, bool planes, DecodedPicture& dst) {
    thread_local cv::Mat buffers[3]; // the planes' pixels, reused from picture to picture
    const long start = imageStart(packet);
    const cv::Mat image = start < 0 ? cv::Mat() : packet.reshape(1, 1).colRange(int(start), int(packet.total()));
    const cv::Size size = jpegSize(image);
    if (!size.empty()) {
        try {
            if (decodeJpeg(image.ptr(), image.total(), decodeScaleEighths(size), planes, dst,
                           buffers))
                return true;
            // What libjpeg cannot turn into blue-green-red directly (CMYK, say) OpenCV may read.
            dst.y.release();
            dst.cb.release();
            dst.cr.release();
            cv::imdecode(image, cv::IMREAD_COLOR, &dst.bgr);
            if (!dst.bgr.empty())
                return true;
        } catch (const cv::Exception&) {
        }
    }
    dst = DecodedPicture();
    return false;
}

} // namespace

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

int decodeScaleEighths(cv::Size size) {
    // libjpeg's output is ceil(side * M / 8).
    for (int eighths = 1; eighths < 8; eighths *= 2) {
        if ((size.width * eighths + 7) / 8 >= kRecordWidth &&
            (size.height * eighths + 7) / 8 >= kRecordHeight)
            return eighths;
    }
    return 8;
}

bool decodeMjpegPicture(const cv::Mat& packet, DecodedPicture& dst) {
    return decode(packet, true, dst);
}

bool decodeMjpegFrame(const cv::Mat& packet, cv::Mat& dst) {
    DecodedPicture picture;
    picture.bgr = dst;
    const bool ok = decode(packet, false, picture);
    dst = picture.bgr;
    return ok;
}
