#include "review/timelinewidget.h"

#include <cmath>

#include <QMouseEvent>
#include <QPainter>

#include "recordings/activity.h"

TimelineWidget::TimelineWidget(QWidget* parent)
    : QWidget(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    setToolTip(tr("Click or drag to play from there; shift-drag to select a span to export"));
}

void TimelineWidget::setDay(qint64 dayStartMs, qint64 dayEndMs) {
    dayStart = dayStartMs;
    dayEnd = qMax(dayStartMs + 1, dayEndMs);
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

void TimelineWidget::setCurrentCamera(int cam) {
    camera = cam;
    update();
}

void TimelineWidget::setPlayTime(qint64 ms) {
    if (ms == playMs)
        return;
    playMs = ms;
    update();
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
    return kLabelWidth + int(double(ms - dayStart) * plotWidth() / double(dayEnd - dayStart));
}

qint64 TimelineWidget::timeAt(int x) const {
    const int clamped = qBound(0, x - kLabelWidth, plotWidth() - 1);
    // The middle of the pixel, so that timeAt(xAt(t)) lands where t was drawn.
    return dayStart + qint64((clamped + 0.5) * double(dayEnd - dayStart) / plotWidth());
}

int TimelineWidget::cameraAt(int y) const {
    const int rowHeight = qMax(1, (height() - kAxisHeight) / Review::kCameras);
    return qBound(1, y / rowHeight + 1, Review::kCameras);
}

void TimelineWidget::buildColumns(Row& row) const {
    // A column covers many seconds of a day: its highest figure keeps a short burst visible.
    const int columns = plotWidth();
    row.columns.fill(Activity::kNone, columns);
    const double secondsPerColumn = double(dayEnd - dayStart) / 1000.0 / columns;
    for (int second = 0; second < row.figures.size(); ++second) {
        const int column = int(second / secondsPerColumn);
        if (column >= columns)
            break;
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
    if (selectEnd > selectStart) {
        const QRect all(kLabelWidth, 0, plotWidth(), height() - kAxisHeight);
        const int left = qMax(all.left(), xAt(selectStart));
        const int right = qMin(all.right(), xAt(selectEnd));
        p.fillRect(QRect(left, 0, qMax(2, right - left), all.height()), QColor(255, 255, 255, 70));
    }
    // Hours along the bottom.
    p.setPen(palette().windowText().color());
    p.setFont(font());
    const int axisTop = height() - kAxisHeight;
    for (int hour = 0; hour <= 24; hour += 2) {
        const int x = xAt(dayStart + hour * 3600000LL);
        p.drawLine(x, axisTop, x, axisTop + 3);
        if (hour < 24)
            p.drawText(QRect(x + 2, axisTop, 40, kAxisHeight), Qt::AlignLeft | Qt::AlignVCenter,
                       QString::number(hour));
    }
    if (playMs >= dayStart && playMs < dayEnd) {
        const QRect r = rowRect(camera);
        p.setPen(QPen(Qt::red, 2));
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
