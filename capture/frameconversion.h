#pragma once

#include <QDateTime>
#include <QImage>
#include <QString>

#include <opencv2/core.hpp>

struct DecodedPicture;

// What is done to a single picture: conversions between Qt images and OpenCV matrices, and the
// preparation of a frame for recording (scaled to 640 x 480, stamped with location and time).

constexpr int kRecordWidth = 640;
constexpr int kRecordHeight = 480;

// A blue-green-red matrix of the image's size with exactly the bytes QImage::pixel() gives,
// alpha dropped, for every QImage format. A null image gives an empty matrix.
cv::Mat3b QImage2Mat(const QImage& src);

// A Format_RGB888 image of the same size that owns its pixels, from an 8-bit 3-channel BGR matrix.
QImage Mat2QImage(const cv::Mat& src);

// "yyyy-MM-dd HH-mm-ss", the text drawn at the bottom left of every frame.
QString frameStamp(const QDateTime& when);

// Scales src (8-bit, 3 channels, any size) to 640 x 480 and draws the location text at the top
// and the frame stamp of `when` at the bottom. Returns an empty matrix for an empty src.
cv::Mat prepareFrame(const cv::Mat& src, const QString& location, const QDateTime& when);

// The same into `dst`, whose pixels are reused when it already is 640 x 480 blue-green-red:
// for a per-frame work buffer that no other matrix shares.
void prepareFrame(const cv::Mat& src, const QString& location, const QDateTime& when, cv::Mat& dst);

// The recording frame: 640 x 480 in 4:2:0 at video range, as the recording files hold it, in
// an 8-bit matrix of 720 rows of 640 bytes: the Y plane, then U, then V (the layout of
// cv::COLOR_BGR2YUV_I420). The overlay is drawn as prepareFrame() draws it.
// From a decoded camera picture: its planes are scaled as they are, with no colour conversion.
void prepareRecordingFrame(const DecodedPicture& src, const QString& location,
                           const QDateTime& when, cv::Mat& dst);
// From any picture that prepareFrame() takes; an empty src gives an empty dst.
void prepareRecordingFrame(const cv::Mat& src, const QString& location, const QDateTime& when,
                           cv::Mat& dst);

// The rows of a recording frame that the location text (top) and the time (bottom) may cover,
// across the whole width: a change there is the overlay's, not the scene's.
struct OverlayRows {
    cv::Range top, bottom;
};
OverlayRows overlayRows();

// A Format_RGB888 image of a recording frame, for the preview.
QImage recordingFrameToQImage(const cv::Mat& frame);
