#include "capture/frameconversion.h"

#include <algorithm>

#include <QByteArray>
#include <QVector>
#include <QtGlobal>

#include <opencv2/imgproc.hpp>

#include "capture/mjpegdecode.h"

static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN,
              "32-bit QImage pixels are read as the bytes blue, green, red, alpha");

namespace {

// A matrix header over the image's own pixels; valid while `image` is alive and unchanged.
cv::Mat wrap(const QImage& image, int type) {
    return cv::Mat(image.height(), image.width(), type, const_cast<uchar*>(image.constBits()),
                   static_cast<size_t>(image.bytesPerLine()));
}

// QImage::pixel() answers 0 for an index beyond the colour table, while the conversions invent
// grey ramps or black and white for a short table; padding with 0 makes them agree.
QImage withFullColorTable(const QImage& image, int entries) {
    QVector<QRgb> table = image.colorTable();
    if (table.size() >= entries)
        return image;
    table.resize(entries);
    QImage padded = image;
    padded.setColorTable(table);
    return padded;
}

// pixel() of these formats is the stored value truncated or rounded to 8 bits per channel but
// never premultiplied or unpremultiplied; ARGB32_Premultiplied is the 32-bit form that Qt
// converts them to without touching the colour against alpha.
cv::Mat3b viaArgb32(const QImage& image, QImage::Format target) {
    const QImage converted = image.convertToFormat(target);
    cv::Mat3b dst;
    cv::cvtColor(wrap(converted, CV_8UC4), dst, cv::COLOR_BGRA2BGR);
    return dst;
}

// JPEG's planes use the full 0..255 range; OpenCV's 4:2:0 conversion expects video range
// (luma 16..235, chroma 16..240 around 128).
struct VideoRangeTables {
    cv::Mat luma = cv::Mat(1, 256, CV_8U);
    cv::Mat chroma = cv::Mat(1, 256, CV_8U);
    VideoRangeTables() {
        for (int i = 0; i < 256; ++i) {
            luma.at<uchar>(i) = cv::saturate_cast<uchar>(16 + i * 219.0 / 255.0);
            chroma.at<uchar>(i) = cv::saturate_cast<uchar>(128 + (i - 128) * 224.0 / 255.0);
        }
    }
};

constexpr int kOverlayFont = cv::FONT_HERSHEY_COMPLEX_SMALL;
constexpr double kOverlayScale = 0.8;
constexpr int kLocationBaseline = 15;
constexpr int kStampBaseline = 450;

void drawOverlayText(cv::Mat& frame, const QByteArray& text, cv::Point origin) {
    if (text.isEmpty())
        return;
    const cv::Scalar colour(200, 200, 250, 0);
    cv::putText(frame, text.constData(), origin, kOverlayFont, kOverlayScale, colour, 1,
                cv::LINE_AA, false);
}

void drawOverlays(cv::Mat& frame, const QString& location, const QDateTime& when) {
    drawOverlayText(frame, location.toLocal8Bit(), cv::Point(0, kLocationBaseline));
    drawOverlayText(frame, frameStamp(when).toLatin1(), cv::Point(0, kStampBaseline));
}

// The U and V planes of a 4:2:0 matrix (Y, U, V one after the other) of the recording size.
struct YuvPlanes {
    cv::Mat u, v;
    explicit YuvPlanes(cv::Mat& i420)
        : u(i420.rows / 3, i420.cols / 2, CV_8UC1, i420.ptr(i420.rows * 2 / 3))
        , v(u.rows, u.cols, CV_8UC1, u.ptr() + u.total()) {}
};

// The rows a text drawn on `baselineY` may touch, whatever it says (the font's height and depth
// do not depend on the text): even bounds with a margin for the anti-aliasing, so that the strip
// is whole 4:2:0 blocks.
cv::Range stripRows(int baselineY) {
    int baseline = 0;
    const cv::Size box = cv::getTextSize("0", kOverlayFont, kOverlayScale, 1, &baseline);
    return cv::Range(std::max(0, (baselineY - box.height - 2) & ~1),
                     std::min(kRecordHeight, (baselineY + baseline + 4) & ~1));
}

// Draws as drawOverlayText() into a 4:2:0 frame: the few rows around the text are turned into
// blue-green-red, drawn on and turned back, so that the text looks as on a frame prepared in
// blue-green-red, for the cost of a strip.
void drawOverlayTextYuv(cv::Mat& i420, const QByteArray& text, cv::Point origin) {
    if (text.isEmpty())
        return;
    int baseline = 0;
    const cv::Size box =
        cv::getTextSize(text.constData(), kOverlayFont, kOverlayScale, 1, &baseline);
    const cv::Range rowsTouched = stripRows(origin.y);
    const int top = rowsTouched.start;
    const int bottom = rowsTouched.end;
    const int width = std::min(kRecordWidth, (origin.x + box.width + 4) & ~1);
    if (bottom <= top || width <= 0)
        return;
    const int rows = bottom - top;
    thread_local cv::Mat strip, bgr;
    strip.create(rows * 3 / 2, width, CV_8UC1);
    const YuvPlanes frame(i420), part(strip);
    const cv::Rect lumaArea(0, top, width, rows), chromaArea(0, top / 2, width / 2, rows / 2);
    i420(lumaArea).copyTo(strip.rowRange(0, rows));
    frame.u(chromaArea).copyTo(part.u);
    frame.v(chromaArea).copyTo(part.v);
    cv::cvtColor(strip, bgr, cv::COLOR_YUV2BGR_I420);
    drawOverlayText(bgr, text, origin - cv::Point(0, top));
    cv::cvtColor(bgr, strip, cv::COLOR_BGR2YUV_I420);
    strip.rowRange(0, rows).copyTo(i420(lumaArea));
    part.u.copyTo(frame.u(chromaArea));
    part.v.copyTo(frame.v(chromaArea));
}

void drawOverlaysYuv(cv::Mat& i420, const QString& location, const QDateTime& when) {
    drawOverlayTextYuv(i420, location.toLocal8Bit(), cv::Point(0, kLocationBaseline));
    drawOverlayTextYuv(i420, frameStamp(when).toLatin1(), cv::Point(0, kStampBaseline));
}

} // namespace

OverlayRows overlayRows() {
    return {stripRows(kLocationBaseline), stripRows(kStampBaseline)};
}

cv::Mat3b QImage2Mat(const QImage& src) {
    cv::Mat3b dst;
    if (src.isNull())
        return dst;

    switch (src.format()) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
        // pixel() gives these as stored, premultiplied or not.
        cv::cvtColor(wrap(src, CV_8UC4), dst, cv::COLOR_BGRA2BGR);
        return dst;
    case QImage::Format_RGBX8888:
    case QImage::Format_RGBA8888:
    case QImage::Format_RGBA8888_Premultiplied:
        cv::cvtColor(wrap(src, CV_8UC4), dst, cv::COLOR_RGBA2BGR);
        return dst;
    case QImage::Format_RGB888:
        cv::cvtColor(wrap(src, CV_8UC3), dst, cv::COLOR_RGB2BGR);
        return dst;
    case QImage::Format_BGR888:
        wrap(src, CV_8UC3).copyTo(dst);
        return dst;
    case QImage::Format_Grayscale8:
        cv::cvtColor(wrap(src, CV_8UC1), dst, cv::COLOR_GRAY2BGR);
        return dst;
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
        return viaArgb32(withFullColorTable(src, 2), QImage::Format_ARGB32);
    case QImage::Format_Indexed8:
        return viaArgb32(withFullColorTable(src, 256), QImage::Format_ARGB32);
    case QImage::Format_RGBA64:
        // Unpremultiplied 16-bit colour: keep it even where alpha is 0.
        return viaArgb32(src, QImage::Format_ARGB32);
    default:
        return viaArgb32(src, src.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                    : QImage::Format_RGB32);
    }
}

QImage Mat2QImage(const cv::Mat& src) {
    if (src.empty() || src.dims != 2)
        return QImage();
    int code = 0;
    switch (src.type()) {
    case CV_8UC3:
        code = cv::COLOR_BGR2RGB;
        break;
    case CV_8UC4:
        code = cv::COLOR_BGRA2RGB;
        break;
    case CV_8UC1:
        code = cv::COLOR_GRAY2RGB;
        break;
    default:
        return QImage();
    }
    QImage dst(src.cols, src.rows, QImage::Format_RGB888);
    if (dst.isNull())
        return dst;
    // The one copy: the colour conversion writes straight into the image's rows.
    cv::Mat view(dst.height(), dst.width(), CV_8UC3, dst.bits(),
                 static_cast<size_t>(dst.bytesPerLine()));
    cv::cvtColor(src, view, code);
    Q_ASSERT(view.data == dst.bits());
    return dst;
}

QString frameStamp(const QDateTime& when) {
    if (!when.isValid())
        return QString();
    const QDate date = when.date();
    const QTime time = when.time();
    return QString::asprintf("%04d-%02d-%02d %02d-%02d-%02d", date.year(), date.month(), date.day(),
                             time.hour(), time.minute(), time.second());
}

void prepareFrame(const cv::Mat& src, const QString& location, const QDateTime& when,
                  cv::Mat& dst) {
    if (src.empty()) {
        dst.release();
        return;
    }
    const cv::Size recordSize(kRecordWidth, kRecordHeight);
    if (src.type() == CV_8UC3) {
        cv::resize(src, dst, recordSize, 0, 0, cv::INTER_LINEAR);
    } else {
        // Grey or four-channel pictures become blue-green-red after scaling, where it is cheap.
        cv::Mat scaled;
        cv::resize(src, scaled, recordSize, 0, 0, cv::INTER_LINEAR);
        if (scaled.type() == CV_8UC1)
            cv::cvtColor(scaled, dst, cv::COLOR_GRAY2BGR);
        else if (scaled.type() == CV_8UC4)
            cv::cvtColor(scaled, dst, cv::COLOR_BGRA2BGR);
        else {
            dst.release();
            return;
        }
    }
    drawOverlays(dst, location, when);
}

cv::Mat prepareFrame(const cv::Mat& src, const QString& location, const QDateTime& when) {
    cv::Mat dst;
    prepareFrame(src, location, when, dst);
    return dst;
}

void prepareRecordingFrame(const DecodedPicture& src, const QString& location,
                           const QDateTime& when, cv::Mat& dst) {
    if (src.y.empty()) {
        prepareRecordingFrame(src.bgr, location, when, dst);
        return;
    }
    static const VideoRangeTables ranges;
    dst.create(kRecordHeight * 3 / 2, kRecordWidth, CV_8UC1);
    cv::Mat luma = dst.rowRange(0, kRecordHeight);
    cv::Mat chroma = dst.rowRange(kRecordHeight, dst.rows);
    const YuvPlanes planes(dst);
    cv::resize(src.y, luma, luma.size(), 0, 0, cv::INTER_LINEAR);
    if (src.cb.empty()) {
        chroma.setTo(128); // grey
    } else {
        cv::resize(src.cb, planes.u, planes.u.size(), 0, 0, cv::INTER_LINEAR);
        cv::resize(src.cr, planes.v, planes.v.size(), 0, 0, cv::INTER_LINEAR);
    }
    cv::LUT(luma, ranges.luma, luma);
    cv::LUT(chroma, ranges.chroma, chroma);
    drawOverlaysYuv(dst, location, when);
}

void prepareRecordingFrame(const cv::Mat& src, const QString& location, const QDateTime& when,
                           cv::Mat& dst) {
    thread_local cv::Mat bgr;
    prepareFrame(src, location, when, bgr);
    if (bgr.empty())
        dst.release();
    else
        cv::cvtColor(bgr, dst, cv::COLOR_BGR2YUV_I420);
}

QImage recordingFrameToQImage(const cv::Mat& frame) {
    if (frame.type() != CV_8UC1 || frame.cols != kRecordWidth ||
        frame.rows != kRecordHeight * 3 / 2)
        return QImage();
    QImage dst(kRecordWidth, kRecordHeight, QImage::Format_RGB888);
    cv::Mat view(dst.height(), dst.width(), CV_8UC3, dst.bits(),
                 static_cast<size_t>(dst.bytesPerLine()));
    cv::cvtColor(frame, view, cv::COLOR_YUV2RGB_I420);
    return dst;
}
