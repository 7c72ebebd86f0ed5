#include "review/timelinewidget.h"

#include <cmath>

#include <QDateTime>
#include <QMouseEvent>
#include <QPainter>

#include "recordings/activity.h"

TimelineWidget::TimelineWidget(QWidget* parent)
    : QWidget(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    setToolTip(tr("Click or drag to play from there; shift-drag to select a span to export; "
                  "the wheel zooms"));
    setMinimumHeight(Review::kCameras * 18 + kAxisHeight);
}

void TimelineWidget::setDay(qint64 dayStartMs, qint64 dayEndMs) {
    dayStart = viewStart = dayStartMs;
    dayEnd = viewEnd = qMax(dayStartMs + 1, dayEndMs);
    for (Row& row : rows)
        row.columns.clear();
    update();
}

void TimelineWidget::setSegments(int cam, const QVector<Review::Segment>& segments) {
    if (cam < 1 || cam > Review::kCameras)
        return;
    rows[cam - 1].segments = segments;
    update();
}

void TimelineWidget::setActivity(int cam, const QVector<float>& figures) {
    if (cam < 1 || cam > Review::kCameras)
        return;
    rows[cam - 1].figures = figures;
    rows[cam - 1].columns.clear();
    update();
}

void TimelineWidget::setNote(const QString& text) {
    if (text == noteText)
        return;
    noteText = text;
    update();
}

void TimelineWidget::setCurrentCamera(int cam) {
    camera = cam;
    update();
}

void TimelineWidget::setPlayTime(qint64 ms) {
    if (ms == playMs)
        return;
    playMs = ms;
    // Zoomed in, the view pages along with playback.
    if (ms >= dayStart && ms < dayEnd && (ms < viewStart || ms >= viewEnd))
        setView(ms - (viewEnd - viewStart) / 10, viewEnd - viewStart);
    update();
}

void TimelineWidget::setView(qint64 startMs, qint64 spanMs) {
    spanMs = qBound(kMinimumViewMs, spanMs, dayEnd - dayStart);
    viewStart = qBound(dayStart, startMs, dayEnd - spanMs);
    viewEnd = viewStart + spanMs;
    for (Row& row : rows)
        row.columns.clear();
    update();
}

void TimelineWidget::wheelEvent(QWheelEvent* event) {
    const int steps = event->angleDelta().y() / 120;
    if (steps == 0)
        return;
    // The time under the pointer stays where it is.
    const int x = int(event->position().x());
    const qint64 anchor = timeAt(x);
    const double share = double(x - kLabelWidth) / plotWidth();
    const qint64 span = qint64((viewEnd - viewStart) * std::pow(0.5, steps));
    const qint64 clamped = qBound(kMinimumViewMs, span, dayEnd - dayStart);
    setView(anchor - qint64(share * clamped), clamped);
}

void TimelineWidget::setSelection(qint64 startMs, qint64 endMs) {
    selectStart = startMs;
    selectEnd = endMs;
    update();
}

QRect TimelineWidget::rowRect(int cam) const {
    const int rowHeight = (height() - kAxisHeight) / Review::kCameras;
    return QRect(kLabelWidth, (cam - 1) * rowHeight, plotWidth(), rowHeight);
}

int TimelineWidget::xAt(qint64 ms) const {
    return kLabelWidth + int(double(ms - viewStart) * plotWidth() / double(viewEnd - viewStart));
}

qint64 TimelineWidget::timeAt(int x) const {
    const int clamped = qBound(0, x - kLabelWidth, plotWidth() - 1);
    // The middle of the pixel, so that timeAt(xAt(t)) lands where t was drawn.
    return viewStart + qint64((clamped + 0.5) * double(viewEnd - viewStart) / plotWidth());
}

int TimelineWidget::cameraAt(int y) const {
    const int rowHeight = qMax(1, (height() - kAxisHeight) / Review::kCameras);
    return qBound(1, y / rowHeight + 1, Review::kCameras);
}

void TimelineWidget::buildColumns(Row& row) const {
    // A column covers many seconds of a day: its highest figure keeps a short burst visible.
    const int columns = plotWidth();
    row.columns.fill(Activity::kNone, columns);
    const double secondsPerColumn = double(viewEnd - viewStart) / 1000.0 / columns;
    const double firstSecond = double(viewStart - dayStart) / 1000.0;
    for (int second = qMax(0, int(firstSecond)); second < row.figures.size(); ++second) {
        const int column = int((second - firstSecond) / secondsPerColumn);
        if (column >= columns)
            break;
        if (column >= 0)
            row.columns[column] = qMax(row.columns[column], row.figures[second]);
    }
}

void TimelineWidget::resizeEvent(QResizeEvent* event) {
    for (Row& row : rows)
        row.columns.clear();
    QWidget::resizeEvent(event);
}

void TimelineWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().window());
    const QColor gap(70, 70, 70);
    const QColor footage(90, 150, 220);
    for (int cam = 1; cam <= Review::kCameras; ++cam) {
        Row& row = rows[cam - 1];
        const QRect r = rowRect(cam).adjusted(0, 1, 0, -1);
        p.fillRect(r, gap);
        for (const Review::Segment& s : row.segments) {
            const int left = qMax(r.left(), xAt(s.startMs));
            const int right = qMin(r.right(), xAt(s.endMs()));
            // A file shorter than a pixel still shows.
            if (right >= r.left() && left <= r.right())
                p.fillRect(QRect(left, r.top(), qMax(1, right - left), r.height()), footage);
        }
        if (row.columns.isEmpty() && !row.figures.isEmpty())
            buildColumns(row);
        for (int i = 0; i < row.columns.size(); ++i) {
            const float figure = row.columns[i];
            if (figure <= 0)
                continue;
            // Most figures are a few percent: a square root keeps them visible next to 100 %.
            const double share = std::sqrt(qMin(100.0f, figure) / 100.0);
            const int h = qMax(1, int(share * r.height()));
            p.fillRect(QRect(r.left() + i, r.bottom() - h + 1, 1, h),
                       QColor::fromHsv(int(60 * (1 - share)), 255, 255));
        }
        p.setPen(cam == camera ? palette().highlight().color() : palette().windowText().color());
        QFont font = p.font();
        font.setBold(cam == camera);
        p.setFont(font);
        p.drawText(QRect(0, r.top(), kLabelWidth, r.height()), Qt::AlignCenter,
                   QString::number(cam));
    }
    if (!noteText.isEmpty()) {
        p.setPen(Qt::white);
        p.drawText(QRect(kLabelWidth, 0, plotWidth(), height() - kAxisHeight), Qt::AlignCenter,
                   noteText);
    }
    const int selectLeft = qMax(kLabelWidth, xAt(selectStart));
    const int selectRight = qMin(width() - 1, xAt(selectEnd));
    if (selectEnd > selectStart && selectRight >= kLabelWidth && selectLeft < width())
        p.fillRect(QRect(selectLeft, 0, qMax(2, selectRight - selectLeft), height() - kAxisHeight),
                   QColor(255, 255, 255, 70));
    // Times of day along the bottom, as dense as their labels allow.
    p.setPen(palette().windowText().color());
    p.setFont(font());
    const int axisTop = height() - kAxisHeight;
    const qint64 minute = 60000;
    qint64 step = 120 * minute;
    for (qint64 candidate : {minute, 5 * minute, 10 * minute, 30 * minute, 60 * minute}) {
        if (xAt(viewStart + candidate) - xAt(viewStart) >= 50) {
            step = candidate;
            break;
        }
    }
    for (qint64 t = dayStart + (viewStart - dayStart + step - 1) / step * step; t < viewEnd;
         t += step) {
        const int x = xAt(t);
        p.drawLine(x, axisTop, x, height() - 1); // a full-height tick: a short one reads as a quote mark
        p.drawText(QRect(x + 2, axisTop, 50, kAxisHeight), Qt::AlignLeft | Qt::AlignVCenter,
                   QDateTime::fromMSecsSinceEpoch(t).toString(QStringLiteral("HH:mm")));
    }
    if (playMs >= viewStart && playMs < viewEnd) {
        const QRect r = rowRect(camera);
        p.setPen(QPen(Qt::white, 2)); // apart from the red of high activity
        p.drawLine(xAt(playMs), r.top(), xAt(playMs), r.bottom());
    }
}

void TimelineWidget::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    const qint64 ms = timeAt(event->pos().x());
    if (event->modifiers() & Qt::ShiftModifier) {
        selectAnchor = ms;
        setSelection(ms, ms);
        return;
    }
    selectAnchor = -1;
    emit seekRequested(cameraAt(event->pos().y()), ms);
}

void TimelineWidget::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton))
        return;
    const qint64 ms = timeAt(event->pos().x());
    if (selectAnchor >= 0)
        setSelection(qMin(selectAnchor, ms), qMax(selectAnchor, ms));
    else
        emit seekRequested(camera, ms);
}

void TimelineWidget::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || selectAnchor < 0)
        return;
    selectAnchor = -1;
    emit selectionChanged(selectStart, selectEnd);
}
