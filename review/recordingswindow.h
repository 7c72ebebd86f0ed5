#pragma once

#include <array>
#include <functional>

#include <QDate>
#include <QElapsedTimer>
#include <QHash>
#include <QImage>
#include <QWidget>

#include "recordings/clock.h"
#include "recordings/exportjob.h"
#include "review/frameworker.h"
#include "review/indexworker.h"
#include "review/playposition.h"

class QCalendarWidget;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTimeEdit;
class QTimer;
class TimelineWidget;
namespace Review {
class ExportTask;
}

// The Recordings window: browse the footage under a data drive by camera and day, play it, and
// hand a span over as an export. It only reads the recording tree.
//
// Threads: everything here lives in the GUI thread. The recording tree is read by an IndexWorker,
// whose snapshots of a day arrive queued: until the first one of a day, the window says it is
// reading and waits with what needs it (a seek, a pick, an export), never blocking. Frames are
// read by a FrameWorker: the window asks for the frame it wants and shows each that comes back
// unless a newer one came first, so a drive that hangs holds up the picture, never the window.
// An export runs on a thread of its own, inside its ExportTask, with a copy of its request; the
// task reports through queued signals.
class RecordingsWindow final : public QWidget {
    Q_OBJECT
public:
    // `locationOf(camera)` gives the location text of camera 1..8; `clock` the time of day (empty:
    // Clock::now), which picks the day shown first.
    RecordingsWindow(const QString& dataDrive, std::function<QString(int)> locationOf,
                     Clock::Source clock = {}, QWidget* parent = nullptr);
    ~RecordingsWindow() override;

    QString dataDrive() const { return drive; }
    int camera() const { return currentCamera; }
    QDate day() const { return shownDay; }
    // The time being played (milliseconds since the epoch), and the frame on screen: the one
    // asked for once it has been read.
    qint64 playTime() const { return playMs; }
    const Review::FramePosition& shownFrame() const { return shown; }
    bool isPlaying() const;
    double speed() const;

public slots:
    void setCamera(int camera);
    void setDay(const QDate& day);
    // The day the user picks: playback moves to its first footage of the camera.
    void pickDay(const QDate& day);
    // Shows the frame at `ms` (in a gap: the first one after it) and plays on from there.
    void seek(qint64 ms);
    void setPlaying(bool play);
    void stepFrames(int count);
    void stepSeconds(int seconds);
    void jumpToEvent(int direction);
    void setSelection(qint64 startMs, qint64 endMs);
    void startExport();
    void cancelExport();

private:
    void refresh();
    void askForDays();
    void applySnapshot(const Review::DaySnapshot& snapshot);
    // Runs `action` now if `day` has been read, else once it is (in place of any other waiting).
    void whenRead(const QDate& day, std::function<void()> action);
    void gatherFootage();
    void noteDeleted(const QVector<Review::Segment>& before, const QVector<Review::Segment>& now);
    void markFootageDays(const QList<QDate>& days);
    void editSelection();
    void tick();
    void showFrame(const Review::FramePosition& position);
    void showRead(quint64 serial, const Review::FramePosition& position, const QImage& image,
                  const QString& note);
    void forgetFrames();
    void showNothing(const QString& note);
    void anchorClock();
    qint64 dayStartMs(const QDate& day) const;
    void finishExport(const Review::ExportResult& result);
    void buildControls();

    QString drive;
    Review::IndexWorker* indexWorker = nullptr;
    Review::FrameWorker* frameWorker = nullptr;
    std::function<QString(int)> locationOf;
    Clock::Source clock;

    int currentCamera = 1;
    QDate shownDay;
    qint64 playMs = 0;
    Review::FramePosition wanted; // the frame asked for last; invalid when none
    Review::FramePosition shown;  // the frame on screen; invalid when none
    quint64 frameSerial = 0;      // of the frame asked for last
    quint64 answeredSerial = 0;   // of the newest frame read or given up: older ones are dropped
    // The files of each camera, of the days read around the shown one.
    QHash<QDate, std::array<QVector<Review::Segment>, Review::kCameras>> known;
    QVector<Review::Segment> footage; // of the current camera over the known days, by start
    QDate waitingDay;                 // the day `afterRead` waits for
    std::function<void()> afterRead;
    qint64 selectionStartMs = 0; // the span to export; empty when the end is not after the start
    qint64 selectionEndMs = 0;
    QList<QDate> footageDays; // bold in the calendar
    QElapsedTimer wallClock;  // wall time since playback was anchored at anchorPlayMs
    qint64 anchorPlayMs = 0;
    std::array<QVector<float>, Review::kCameras> activity;
    std::array<QString, Review::kCameras> activityStamp; // size and time of the file last read

    QListWidget* cameraList = nullptr;
    QCalendarWidget* calendar = nullptr;
    TimelineWidget* timeline = nullptr;
    QLabel* picture = nullptr;
    QLabel* frameTime = nullptr;
    QLabel* statusLine = nullptr;
    QTimeEdit* timeEdit = nullptr;
    QPushButton* playButton = nullptr;
    QComboBox* speedBox = nullptr;
    QDoubleSpinBox* thresholdBox = nullptr;
    QTimeEdit* startEdit = nullptr;
    QTimeEdit* endEdit = nullptr;
    QLineEdit* folderEdit = nullptr;
    QPushButton* exportButton = nullptr;
    QProgressBar* progressBar = nullptr;
    QPushButton* cancelButton = nullptr;
    QTimer* playTimer = nullptr;
    QTimer* refreshTimer = nullptr;

    Review::ExportTask* exportTask = nullptr; // while an export runs
};
