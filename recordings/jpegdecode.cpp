#include "recordings/jpegdecode.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

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

} // namespace

bool decodeJpeg(const uchar* data, size_t size, int eighths, bool planes, DecodedPicture& dst,
                cv::Mat (&buffers)[3]) {
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
            *views[c] = buffers[c](
                cv::Rect(0, 0, int(comp.downsampled_width), int(comp.downsampled_height)));
        }
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}
