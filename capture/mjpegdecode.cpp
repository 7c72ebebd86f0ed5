#include "capture/mjpegdecode.h"

#include <csetjmp>
#include <cstdio>

#include <opencv2/imgcodecs.hpp>

#include <jpeglib.h>

#include "capture/frameconversion.h"

namespace {

// A picture larger than this is no camera's; its header is damaged.
constexpr size_t kMaxDecodedPixels = size_t(8192) * 8192;

struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf bail;
};

[[noreturn]] void bailOut(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->bail, 1);
}

// A torn frame's "premature end of data" and the like are expected now and then; not printed.
void ignoreMessage(j_common_ptr, int) {}

// libjpeg-turbo straight into blue-green-red, scaled by 1/denominator in the DCT: the colour
// conversion runs in its SIMD code, where cv::imdecode would decode to RGB and swap every pixel
// in plain C. Only plain data crosses the setjmp; `dst` is the caller's. False when libjpeg
// gives up on the data.
bool decodeWithLibjpeg(const uchar* data, size_t size, unsigned denominator, cv::Mat& dst) {
    jpeg_decompress_struct info;
    JpegErrors errors;
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = bailOut;
    errors.manager.emit_message = ignoreMessage;
    if (setjmp(errors.bail)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_EXT_BGR;
    info.scale_num = 1;
    info.scale_denom = denominator;
    jpeg_calc_output_dimensions(&info);
    if (size_t(info.output_width) * info.output_height > kMaxDecodedPixels) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_start_decompress(&info);
    dst.create(int(info.output_height), int(info.output_width), CV_8UC3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = dst.ptr(int(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
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

bool decodeMjpegFrame(const cv::Mat& packet, cv::Mat& dst) {
    const cv::Size size = jpegSize(packet);
    if (size.empty()) {
        dst.release();
        return false;
    }
    const bool half = size.width >= 2 * kRecordWidth;
    try {
        if (decodeWithLibjpeg(packet.ptr(), packet.total() * packet.elemSize(), half ? 2 : 1, dst))
            return true;
        // What libjpeg cannot turn into blue-green-red directly (CMYK, say) OpenCV may still read.
        cv::imdecode(packet, half ? cv::IMREAD_REDUCED_COLOR_2 : cv::IMREAD_COLOR, &dst);
    } catch (const cv::Exception&) {
        dst.release();
    }
    return !dst.empty();
}
