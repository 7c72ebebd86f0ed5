#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QImage>
#include <QImageWriter>
#include <QObject>
#include <QSize>
#include <QTimer>
#include <QVector>

// One encoded frame, shared read-only by every client (QByteArray is implicitly shared, so
// handing it to many sockets costs no copy of the picture).
struct EncodedFrame {
    qint64 counter = -1;
    QByteArray jpeg;
    // The whole multipart part: boundary line, part headers, JPEG, trailing CRLF.
    QByteArray part;
    // Offset of the JPEG inside `part`, so that a fault can cut a part in its picture.
    int jpegOffsetInPart = 0;
};

struct FrameSourceOptions {
    QSize size{1280, 720};
    double fps = 25.0;
    int quality = 75;
    // 0: render every frame live; N > 0: pre-render N frames and serve them in a loop.
    int loopFrames = 0;
    // Counter of the first frame; lets tests reach the high bits of the frame code.
    qint64 counterStart = 0;
    // Lossless JPEGs (process 14, RGB): what decoders built on libjpeg 8-bit reject and
    // FFmpeg's decoder reads.
    bool lossless = false;
    // Fresh noise of up to this many levels on every pixel of every frame, as a sensor gives.
    int noise = 0;
    // An object crosses the picture from left to right during each of these seconds of the
    // schedule ([S, S + 1) after start).
    QVector<double> moveAt;
    // The scene alone: no counter, time or frame code, which change every frame as no real scene
    // does (set with noise or passes).
    bool sceneOnly() const { return noise > 0 || !moveAt.isEmpty(); }
};

// Renders and encodes the picture once per tick, however many clients watch it, on an
// absolute schedule (frame n is due at n / fps seconds after start), so that the rate does
// not drift. A late tick skips the frames it missed; the counter is the tick number, so a
// skip shows as a gap, as it would on a real camera.
class FrameSource final : public QObject {
    Q_OBJECT
public:
    static constexpr const char* boundary = "camsimframe";

    explicit FrameSource(const FrameSourceOptions& options, QObject* parent = nullptr);

    // Builds the background (and the loop, if any) and starts the schedule. False with a
    // message when a frame cannot be encoded.
    bool start(QString* error);

    const EncodedFrame& current() const { return m_current; }

signals:
    void frameReady();

private:
    void tick();
    void scheduleNext();
    void buildBackground();
    bool renderFrame(qint64 counter, EncodedFrame* out);
    void drawScene(qint64 counter);

    // The pass in view (index into moveAt, -1: none) and the wall-clock times of its first and
    // last frames, logged when it ends.
    int m_passInView = -1;
    qint64 m_passFirstMs = 0;
    qint64 m_passLastMs = 0;
    quint32 m_noiseSeed = 1;
    FrameSourceOptions m_options;
    qint64 m_periodNs = 40'000'000;
    QElapsedTimer m_clock;
    QTimer m_timer;
    qint64 m_nextTick = 0;
    qint64 m_skippedTicks = 0;
    qint64 m_lateTicks = 0;
    QImage m_background;
    QImage m_canvas;
    QImageWriter m_writer;
    QVector<EncodedFrame> m_loop;
    EncodedFrame m_current;
};
