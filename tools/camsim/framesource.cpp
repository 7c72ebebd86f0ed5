#include "framesource.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include <QBuffer>
#include <QDateTime>
#include <QPainter>

#include "framecodelayout.h"

namespace {

// Large seven-segment text, drawn with rectangles only, so that the simulator needs no fonts
// (it runs headless on machines that may have none) and stays legible after scaling.
class SegmentText final {
public:
    explicit SegmentText(qreal digitHeight)
        : m_h(digitHeight)
        , m_w(digitHeight * 0.55) {}

    qreal width(const QString& text) const {
        qreal total = 0;
        for (QChar c : text)
            total += advance(c);
        return total;
    }

    void draw(QPainter& p, QPointF topLeft, const QString& text, const QColor& colour) const {
        qreal x = topLeft.x();
        for (QChar c : text) {
            drawChar(p, x, topLeft.y(), c, colour);
            x += advance(c);
        }
    }

private:
    bool narrow(QChar c) const { return c == ':' || c == '.'; }
    qreal advance(QChar c) const { return narrow(c) ? m_w * 0.5 : m_w * 1.25; }

    void drawChar(QPainter& p, qreal x, qreal y, QChar c, const QColor& colour) const {
        const qreal t = m_w * 0.2;
        const qreal hh = m_h / 2;
        if (c == ':' || c == '.') {
            const qreal cx = x + (m_w * 0.5 - t) / 2;
            if (c == ':')
                p.fillRect(QRectF(cx, y + m_h * 0.3 - t / 2, t, t), colour);
            p.fillRect(QRectF(cx, y + (c == ':' ? m_h * 0.7 - t / 2 : m_h - t), t, t), colour);
            return;
        }
        // Segments a..g: top, top right, bottom right, bottom, bottom left, top left, middle.
        static const unsigned char digitSegments[10] = {0x3f, 0x06, 0x5b, 0x4f, 0x66,
                                                        0x6d, 0x7d, 0x07, 0x7f, 0x6f};
        unsigned segments = 0;
        if (c.isDigit())
            segments = digitSegments[c.digitValue()];
        else if (c == '-')
            segments = 0x40;
        const QRectF rects[7] = {
            {x + t, y, m_w - 2 * t, t},                     // a
            {x + m_w - t, y + t, t, hh - 1.5 * t},          // b
            {x + m_w - t, y + hh + t / 2, t, hh - 1.5 * t}, // c
            {x + t, y + m_h - t, m_w - 2 * t, t},           // d
            {x, y + hh + t / 2, t, hh - 1.5 * t},           // e
            {x, y + t, t, hh - 1.5 * t},                    // f
            {x + t, y + hh - t / 2, m_w - 2 * t, t},        // g
        };
        for (int i = 0; i < 7; ++i)
            if (segments & (1u << i))
                p.fillRect(rects[i], colour);
    }

    qreal m_h;
    qreal m_w;
};

// Draws `text` centred horizontally in the band [top, top + height) on a dark backing plate,
// shrinking the digits when the picture is too narrow for them.
void drawCaption(QPainter& p, const QSize& size, qreal top, qreal height, const QString& text,
                 const QColor& colour) {
    qreal digitHeight = height * 0.8;
    SegmentText probe(digitHeight);
    const qreal maxWidth = size.width() * 0.92;
    if (probe.width(text) > maxWidth)
        digitHeight *= maxWidth / probe.width(text);
    const SegmentText seg(digitHeight);
    const qreal w = seg.width(text);
    const QPointF origin((size.width() - w) / 2, top + (height - digitHeight) / 2);
    p.fillRect(QRectF(origin.x() - digitHeight * 0.15, origin.y() - digitHeight * 0.1,
                      w + digitHeight * 0.3, digitHeight * 1.2),
               QColor(0, 0, 0, 170));
    seg.draw(p, origin, text, colour);
}

void drawFrameCode(QPainter& p, const QSize& size, quint32 counter) {
    using namespace framecode;
    const qreal w = size.width();
    const qreal h = size.height();
    for (int i = 0; i < cellCount; ++i) {
        const bool bit = (counter >> (cellCount - 1 - i)) & 1u;
        const qreal left = std::floor(cellLeft(i) * w);
        const qreal right = std::floor(cellRight(i) * w);
        const QColor on = Qt::white;
        const QColor off = Qt::black;
        p.fillRect(QRectF(left, std::floor(bitTop * h), right - left,
                          std::floor(bitBottom * h) - std::floor(bitTop * h)),
                   bit ? on : off);
        p.fillRect(QRectF(left, std::floor(checkTop * h), right - left,
                          std::floor(checkBottom * h) - std::floor(checkTop * h)),
                   bit ? off : on);
    }
}

// A lossless JPEG (predictor 1, the standard DC Huffman table) of the RGB picture.
QByteArray encodeLossless(const QImage& image) {
    static const uchar bits[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
    quint16 codes[12];
    int lengths[12];
    for (int length = 1, code = 0, k = 0; length <= 16; ++length, code <<= 1)
        for (int i = 0; i < bits[length - 1]; ++i, ++k, ++code) {
            codes[k] = quint16(code);
            lengths[k] = length;
        }
    const int w = image.width();
    const int h = image.height();
    QByteArray out("\xFF\xD8\xFF\xC3\x00\x11\x08", 7);
    out.append(char(h >> 8)).append(char(h)).append(char(w >> 8)).append(char(w)).append('\x03');
    out.append("R\x11\x00" "G\x11\x00" "B\x11\x00", 9);
    out.append("\xFF\xC4\x00\x1F\x00", 5).append(reinterpret_cast<const char*>(bits), 16);
    for (char v = 0; v < 12; ++v)
        out.append(v);
    out.append("\xFF\xDA\x00\x0C\x03R\x00" "G\x00" "B\x00" "\x01\x00\x00", 14);
    quint32 acc = 0;
    int filled = 0;
    const auto put = [&](quint32 value, int count) {
        acc = (acc << count) | (value & ((1u << count) - 1));
        for (filled += count; filled >= 8; filled -= 8) {
            const char byte = char(acc >> (filled - 8));
            out.append(byte);
            if (byte == '\xFF')
                out.append('\0');
        }
    };
    for (int y = 0; y < h; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        const auto* above = y > 0 ? reinterpret_cast<const QRgb*>(image.constScanLine(y - 1)) : line;
        for (int x = 0; x < w; ++x) {
            const QRgb pred = x > 0 ? line[x - 1] : y > 0 ? above[0] : qRgb(128, 128, 128);
            for (int shift : {16, 8, 0}) {
                const int diff = int((line[x] >> shift) & 0xFF) - int((pred >> shift) & 0xFF);
                int category = 0;
                while ((std::abs(diff) >> category) != 0)
                    ++category;
                put(codes[category], lengths[category]);
                if (category > 0)
                    put(quint32(diff < 0 ? diff - 1 : diff), category);
            }
        }
    }
    if (filled > 0)
        put(0xFF, 8 - filled); // pad with ones
    return out.append("\xFF\xD9", 2);
}

} // namespace

FrameSource::FrameSource(const FrameSourceOptions& options, QObject* parent)
    : QObject(parent)
    , m_options(options) {
    m_periodNs = qint64(std::llround(1e9 / m_options.fps));
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &FrameSource::tick);
    m_writer.setFormat("jpeg");
    m_writer.setQuality(m_options.quality);
}

bool FrameSource::start(QString* error) {
    buildBackground();
    m_canvas = QImage(m_options.size, QImage::Format_RGB32);
    if (m_options.loopFrames > 0) {
        m_loop.resize(m_options.loopFrames);
        for (int i = 0; i < m_options.loopFrames; ++i) {
            if (!renderFrame(m_options.counterStart + i, &m_loop[i])) {
                *error = QStringLiteral("cannot encode JPEG: %1").arg(m_writer.errorString());
                return false;
            }
        }
        m_current = m_loop.first();
    } else if (!renderFrame(m_options.counterStart, &m_current)) {
        *error = QStringLiteral("cannot encode JPEG: %1").arg(m_writer.errorString());
        return false;
    }
    m_clock.start();
    m_nextTick = 1;
    scheduleNext();
    return true;
}

void FrameSource::scheduleNext() {
    const qint64 dueNs = m_nextTick * m_periodNs;
    const qint64 waitNs = dueNs - m_clock.nsecsElapsed();
    // Round up: waking early would find the frame not yet due.
    m_timer.start(int(qMax<qint64>(0, (waitNs + 999'999) / 1'000'000)));
}

void FrameSource::tick() {
    const qint64 dueTick = m_clock.nsecsElapsed() / m_periodNs;
    if (dueTick < m_nextTick) { // woke a little early
        scheduleNext();
        return;
    }
    if (dueTick > m_nextTick) {
        m_skippedTicks += dueTick - m_nextTick;
        ++m_lateTicks;
        if (m_lateTicks <= 5 || m_lateTicks % 100 == 0) // sparingly: a loaded machine is late often
            qWarning("camsim: running late, %lld frame(s) skipped so far", m_skippedTicks);
    }
    const qint64 counter = m_options.counterStart + dueTick;
    m_nextTick = dueTick + 1;
    if (!m_loop.isEmpty()) {
        m_current = m_loop.at(int(dueTick % m_loop.size()));
    } else if (!renderFrame(counter, &m_current)) {
        qWarning("camsim: cannot encode frame %lld: %s", counter,
                 qPrintable(m_writer.errorString()));
    }
    scheduleNext();
    emit frameReady();
}

void FrameSource::drawScene(qint64 counter) {
    const QSize size = m_options.size;
    const double t = double(counter - m_options.counterStart) / m_options.fps;
    int pass = -1;
    for (int i = 0; i < m_options.moveAt.size() && pass < 0; ++i)
        if (t >= m_options.moveAt[i] && t < m_options.moveAt[i] + 1)
            pass = i;
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    if (pass != m_passInView && m_passInView >= 0)
        std::fprintf(stderr, "camsim: object pass at %g s shown from %lld to %lld ms since epoch\n",
                     m_options.moveAt[m_passInView], m_passFirstMs, m_passLastMs);
    if (pass >= 0 && pass != m_passInView)
        m_passFirstMs = nowMs;
    m_passLastMs = nowMs;
    m_passInView = pass;
    if (pass >= 0) {
        // A dark box a sixth of the width wide, from just off the left edge to just off the right.
        const int w = size.width() / 6;
        const int h = size.height() / 3;
        const double progress = t - m_options.moveAt[pass];
        const int x = int(-w + progress * (size.width() + w));
        QPainter(&m_canvas).fillRect(x, (size.height() - h) / 2, w, h, QColor(25, 25, 35));
    }
    const int amplitude = m_options.noise;
    if (amplitude <= 0)
        return;
    for (int y = 0; y < size.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(m_canvas.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            m_noiseSeed = m_noiseSeed * 1664525u + 1013904223u;
            const int n = int((m_noiseSeed >> 16) % unsigned(2 * amplitude + 1)) - amplitude;
            const QRgb c = line[x];
            line[x] = qRgb(qBound(0, qRed(c) + n, 255), qBound(0, qGreen(c) + n, 255),
                           qBound(0, qBlue(c) + n, 255));
        }
    }
}

void FrameSource::buildBackground() {
    // A still "scene": soft gradients and blocks, plus fixed sensor-like noise. The noise is
    // what gives the JPEG a realistic size; it is made once, so live rendering stays cheap.
    const QSize size = m_options.size;
    m_background = QImage(size, QImage::Format_RGB32);
    {
        QPainter p(&m_background);
        QLinearGradient sky(0, 0, 0, size.height());
        sky.setColorAt(0, QColor(70, 110, 160));
        sky.setColorAt(0.55, QColor(150, 160, 150));
        sky.setColorAt(1, QColor(90, 80, 60));
        p.fillRect(m_background.rect(), sky);
        quint32 seed = 12345;
        auto next = [&seed] {
            seed = seed * 1664525u + 1013904223u;
            return seed >> 8;
        };
        for (int i = 0; i < 60; ++i) {
            const int w = int(next() % quint32(qMax(2, size.width() / 6))) + 4;
            const int h = int(next() % quint32(qMax(2, size.height() / 3))) + 4;
            const int x = int(next() % quint32(size.width()));
            const int y = int(next() % quint32(size.height()));
            p.fillRect(
                x, y, w, h,
                QColor(int(next() % 200) + 30, int(next() % 200) + 30, int(next() % 200) + 30));
        }
    }
    quint32 seed = 987654321;
    constexpr int noiseAmplitude = 7;
    for (int y = 0; y < size.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(m_background.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int n = int((seed >> 16) % (2 * noiseAmplitude + 1)) - noiseAmplitude;
            const QRgb c = line[x];
            line[x] = qRgb(qBound(0, qRed(c) + n, 255), qBound(0, qGreen(c) + n, 255),
                           qBound(0, qBlue(c) + n, 255));
        }
    }
}

bool FrameSource::renderFrame(qint64 counter, EncodedFrame* out) {
    const QSize size = m_options.size;
    memcpy(m_canvas.bits(), m_background.constBits(), size_t(m_background.sizeInBytes()));
    if (m_options.sceneOnly()) {
        drawScene(counter);
    } else {
        QPainter p(&m_canvas);
        const qreal h = size.height();
        drawCaption(p, size, 0.12 * h, 0.26 * h, QString::number(counter), QColor(255, 230, 0));
        drawFrameCode(p, size, quint32(counter) & framecode::counterMask);
        drawCaption(p, size, 0.62 * h, 0.18 * h,
                    QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")), Qt::white);
    }
    QByteArray jpeg;
    if (m_options.lossless) {
        jpeg = encodeLossless(m_canvas);
    } else {
        jpeg.reserve(256 * 1024);
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::WriteOnly);
        m_writer.setDevice(&buffer);
        const bool ok = m_writer.write(m_canvas);
        m_writer.setDevice(nullptr);
        if (!ok)
            return false;
    }
    QByteArray part;
    part.reserve(jpeg.size() + 128);
    part.append("--").append(boundary).append("\r\nContent-Type: image/jpeg\r\nContent-Length: ");
    part.append(QByteArray::number(jpeg.size())).append("\r\n\r\n");
    out->jpegOffsetInPart = part.size();
    part.append(jpeg).append("\r\n");
    out->counter = counter;
    out->jpeg = jpeg;
    out->part = part;
    return true;
}
