#include "capture/mjpegdecode.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <opencv2/imgcodecs.hpp>

#include <jpeglib.h>

#include "capture/frameconversion.h"

namespace {

// A picture larger than this is no camera's; its header is damaged.
constexpr size_t kMaxDecodedPixels = size_t(8192) * 8192;
// Cameras put a line break or padding before the picture now and then; a JPEG further in than
// this is not what the part holds.
constexpr size_t kMaxBytesBeforeImage = 64;

struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf bail;
};

[[noreturn]] void bailOut(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->bail, 1);
}

// A torn frame's "premature end of data" and the like are expected now and then; not printed.
void ignoreMessage(j_common_ptr, int) {}

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

// libjpeg-turbo at scale eighths/8, in the inverse DCT. A YCbCr or grey picture is read as its
// raw planes into `dst.buffers`, anything else straight into blue-green-red: the colour
// conversion then runs in libjpeg's SIMD code, where cv::imdecode would decode to RGB and swap
// every pixel in plain C. Only plain data crosses the setjmp; the matrices are the caller's.
// False when libjpeg gives up on the data.
bool decodeWithLibjpeg(const uchar* data, size_t size, int eighths, bool planes,
                       DecodedPicture& dst, cv::Mat (&buffers)[3]) {
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
    planes = planes && ((info.jpeg_color_space == JCS_YCbCr && info.num_components == 3) ||
                        (info.jpeg_color_space == JCS_GRAYSCALE && info.num_components == 1));
    info.raw_data_out = planes ? TRUE : FALSE;
    info.out_color_space = planes ? info.jpeg_color_space : JCS_EXT_BGR;
    info.scale_num = unsigned(eighths);
    info.scale_denom = 8;
    jpeg_calc_output_dimensions(&info);
    if (size_t(info.output_width) * info.output_height > kMaxDecodedPixels) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_start_decompress(&info);
    cv::Mat* const views[3] = {&dst.y, &dst.cb, &dst.cr};
    if (!planes) {
        for (cv::Mat* view : views)
            view->release();
        dst.bgr.create(int(info.output_height), int(info.output_width), CV_8UC3);
        while (info.output_scanline < info.output_height) {
            JSAMPROW row = dst.bgr.ptr(int(info.output_scanline));
            jpeg_read_scanlines(&info, &row, 1);
        }
    } else {
        dst.bgr.release();
        // One call of jpeg_read_raw_data decodes one row of MCUs: v_samp_factor block rows of
        // each component, each block DCT_scaled_size samples high and wide.
        int blockRows[3] = {};
        JSAMPROW rows[3][4 * 16] = {};
        JSAMPARRAY rowSets[3] = {rows[0], rows[1], rows[2]};
        for (int c = 0; c < info.num_components; ++c) {
            const jpeg_component_info& comp = info.comp_info[c];
            blockRows[c] = comp.v_samp_factor * comp.DCT_scaled_size;
            buffers[c].create(int(info.total_iMCU_rows) * blockRows[c],
                              int(comp.width_in_blocks) * comp.DCT_scaled_size, CV_8UC1);
        }
        const int linesPerCall = info.max_v_samp_factor * info.min_DCT_scaled_size;
        for (JDIMENSION mcuRow = 0; info.output_scanline < info.output_height; ++mcuRow) {
            for (int c = 0; c < info.num_components; ++c)
                for (int r = 0; r < blockRows[c]; ++r)
                    rows[c][r] = buffers[c].ptr(int(mcuRow) * blockRows[c] + r);
            if (jpeg_read_raw_data(&info, rowSets, JDIMENSION(linesPerCall)) == 0)
                break; // suspended: no more data in memory
        }
        for (int c = 0; c < 3; ++c) {
            if (c >= info.num_components) {
                views[c]->release();
                continue;
            }
            const jpeg_component_info& comp = info.comp_info[c];
            *views[c] = buffers[c](cv::Rect(0, 0, int(comp.downsampled_width),
                                            int(comp.downsampled_height)));
        }
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

bool decode(const cv::Mat& packet, bool planes, DecodedPicture& dst) {
    thread_local cv::Mat buffers[3]; // the planes' pixels, reused from picture to picture
    const long start = imageStart(packet);
    const cv::Mat image = start < 0 ? cv::Mat() : packet.reshape(1, 1).colRange(int(start), int(packet.total()));
    const cv::Size size = jpegSize(image);
    if (!size.empty()) {
        try {
            if (decodeWithLibjpeg(image.ptr(), image.total(), decodeScaleEighths(size), planes,
                                  dst, buffers))
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
