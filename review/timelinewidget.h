#pragma once

#include <array>

#include <QVector>
#include <QWidget>

#include "recordings/recordingindex.h"

// One day of every camera at a glance: a row per camera, footage drawn over the gaps, and over
// it the activity of each pixel column (the highest figure of the seconds that column covers).
// A click or drag seeks; a shift-drag selects a span to export; the wheel zooms in down to ten
// minutes, where a pixel is about a second.
class TimelineWidget final : public QWidget {
    Q_OBJECT
public:
    explicit TimelineWidget(QWidget* parent = nullptr);

    // The day shown, local midnight to the next one (a clock change makes it 23 or 25 hours).
    void setDay(qint64 dayStartMs, qint64 dayEndMs);
    void setSegments(int camera, const QVector<Review::Segment>& segments);
    // Per second from dayStartMs, 0..100 or Activity::kNone.
    void setActivity(int camera, const QVector<float>& figures);
    void setCurrentCamera(int camera);
    void setPlayTime(qint64 ms);
    // Zooms to `spanMs` (10 minutes to the whole day) from `startMs`, kept within the day.
    void setView(qint64 startMs, qint64 spanMs);
    // An empty span (start >= end) clears the selection.
    void setSelection(qint64 startMs, qint64 endMs);
    // A line over the rows, such as that the day is still being read; empty: none.
    void setNote(const QString& text);
    QString note() const { return noteText; }

    // Where things are drawn, for the window and its tests.
    QRect rowRect(int camera) const;
    int xAt(qint64 ms) const;
    qint64 timeAt(int x) const;

    QSize sizeHint() const override { return {960, 8 * 24 + kAxisHeight}; }
    QSize minimumSizeHint() const override { return {400, 8 * 12 + kAxisHeight}; }

signals:
    void seekRequested(int camera, qint64 ms);
    void selectionChanged(qint64 startMs, qint64 endMs);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    static constexpr int kLabelWidth = 22;
    static constexpr int kAxisHeight = 16;
    static constexpr qint64 kMinimumViewMs = 10 * 60000;

    struct Row {
        QVector<Review::Segment> segments;
        QVector<float> figures;
        QVector<float> columns; // figures reduced to one per pixel column; empty: to be rebuilt
    };
    void buildColumns(Row& row) const;
    int cameraAt(int y) const;
    int plotWidth() const { return qMax(1, width() - kLabelWidth); }

    std::array<Row, Review::kCameras> rows;
    qint64 dayStart = 0;
    qint64 dayEnd = 1;
    qint64 viewStart = 0; // the part of the day shown, all of it unless zoomed in
    qint64 viewEnd = 1;
    int camera = 1;
    qint64 playMs = -1;
    qint64 selectStart = 0;
    qint64 selectEnd = 0;
    qint64 selectAnchor = -1; // during a shift-drag, the time it began at
    QString noteText;
};
