// How quickly the Recordings window shows recorded frames, on a tree of IYUV and compact files of
// 18 s each: the time a seek takes to put its frame on screen (read off the GUI thread and posted
// back), and the time the seek call holds the GUI thread; at 16x the frames shown per second of
// wall time, the play-time rate and the CPU the window uses. Prints figures; it is not a test.
//
// Usage: bench_reviewwindow [seconds [png]]: footage per format, default 72 s; with `png`, the window
// with some activity figures is saved into that image, to look at.
//
// bench_reviewwindow tree <folder>: on the full tree of eight cameras that `bench_review <folder>`
// builds (some 38,000 files a day), the longest time the GUI thread stands still while a new
// window opens the tree's last day and seeks into it, and the time until that frame is on screen;
// with the files in the page cache, and out of it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>

#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>

#include "benchsupport.h"
#include "capture/frameconversion.h"
#include "capture/recordingwriter.h"
#include "recordings/activitywriter.h"
#include "recordings/recordingindex.h"
#include "recordings/recordingpaths.h"
#include "review/recordingswindow.h"
#include "review/timelinewidget.h"

namespace {
constexpr int kFileFrames = 450; // 18 s

// Camera `camera` records from `start` for `seconds`, in files of 18 s back to back.
void record(const QString& drive, int camera, RecordingFormat format, const QDateTime& start,
            int seconds) {
    cv::Mat picture(kRecordHeight, kRecordWidth, CV_8UC3), frame;
    cv::RNG rng(camera);
    for (int first = 0; first < seconds * 25; first += kFileFrames) {
        const QDateTime fileStart = start.addMSecs(first * 40LL);
        const auto writer = openRecordingWriter(
            format, RecordingPaths::recordingFile(drive, QString::number(camera), fileStart));
        for (int i = 0; writer && i < kFileFrames && first + i < seconds * 25; ++i) {
            rng.fill(picture, cv::RNG::UNIFORM, 0, 256); // noise: the worst case for JPEG
            prepareRecordingFrame(picture, QStringLiteral("Bench"), fileStart.addMSecs(i * 40LL),
                                  frame);
            writer->write(frame);
        }
        if (writer)
            writer->close();
    }
}

void runEventsFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

int onTree(const QString& drive) {
    const QList<QDate> days = Review::RecordingIndex(drive).daysWithFootage();
    if (days.isEmpty()) {
        std::fprintf(stderr, "bench_reviewwindow: no recordings under %s\n", qPrintable(drive));
        return 2;
    }
    const QDate day = days.last();
    const QStringList files = aviFiles(RecordingPaths::dayFolder(drive, day));
    for (const char* cache : {"in the page cache", "in the page cache", "out of the page cache"}) {
        if (QByteArray(cache).startsWith("out"))
            evictFromPageCache(files);
        // A timer of 1 ms in the GUI thread: the longest gap between its ticks is the longest
        // time the camera panels of the main window would have stood still.
        QElapsedTimer sinceTick, sinceOpen;
        qint64 longestNs = 0;
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            longestNs = std::max(longestNs, sinceTick.nsecsElapsed());
            sinceTick.restart();
        });
        std::unique_ptr<RecordingsWindow> window;
        QTimer::singleShot(0, [&] {
            sinceOpen.start();
            window = std::make_unique<RecordingsWindow>(drive, [](int) { return QString(); });
            window->show();
            window->setDay(day);
            window->seek(QDateTime(day, QTime(12, 0)).toMSecsSinceEpoch());
        });
        ticker.start(1);
        sinceTick.start();
        while (!(window && window->shownFrame().valid()) &&
               (!sinceOpen.isValid() || sinceOpen.elapsed() < 60000))
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const double shownMs = sinceOpen.nsecsElapsed() / 1e6;
        runEventsFor(500); // what follows the frame (the timeline drawn) counts too
        std::printf("%d files of %s, %s: frame on screen after %.0f ms, longest GUI-thread stall "
                    "%.1f ms\n",
                    int(files.size()), qPrintable(day.toString(Qt::ISODate)), cache, shownMs,
                    longestNs / 1e6);
    }
    return 0;
}

void measure(RecordingsWindow& window, int camera, const QDateTime& start, int seconds,
             const char* name) {
    window.setCamera(camera);
    std::mt19937 random(7);
    std::vector<double> seekMs, callMs;
    const auto* picture = window.findChild<QLabel*>(QStringLiteral("picture"));
    for (int i = 0; i < 200; ++i) {
        const qint64 at = start.toMSecsSinceEpoch() + qint64(random() % (seconds * 1000));
        const qint64 before = picture->pixmap(Qt::ReturnByValue).cacheKey();
        QElapsedTimer timer;
        timer.start();
        window.seek(at);
        callMs.push_back(timer.nsecsElapsed() / 1e6);
        while (picture->pixmap(Qt::ReturnByValue).cacheKey() == before && timer.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        seekMs.push_back(timer.nsecsElapsed() / 1e6);
    }
    for (auto* figures : {&seekMs, &callMs})
        std::sort(figures->begin(), figures->end());
    std::printf("%-8s seek to a random second: on screen after median %.2f ms, 95th %.2f ms, max "
                "%.2f ms; the call median %.2f ms, 95th %.2f ms\n",
                name, seekMs[seekMs.size() / 2], seekMs[seekMs.size() * 95 / 100], seekMs.back(),
                callMs[callMs.size() / 2], callMs[callMs.size() * 95 / 100]);

    window.findChild<QComboBox*>(QStringLiteral("speedBox"))->setCurrentText(QStringLiteral("16x"));
    window.seek(start.toMSecsSinceEpoch());
    // A frame is shown when the picture is painted anew.
    struct PaintCounter final : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            paints += event->type() == QEvent::Paint;
            return false;
        }
    } counter;
    window.findChild<QLabel*>(QStringLiteral("picture"))->installEventFilter(&counter);
    const double cpuBefore = processCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    window.setPlaying(true);
    const qint64 from = window.playTime();
    runEventsFor(std::min(4000, seconds * 1000 / 16 - 500));
    window.setPlaying(false);
    const int shown = counter.paints;
    const double wallS = wall.elapsed() / 1000.0;
    std::printf("%-8s 16x for %.1f s: %.1f frames shown a second (25 wanted), play time %.2fx the "
                "wall clock, CPU %.0f %% of a core\n",
                name, wallS, shown / wallS, (window.playTime() - from) / 1000.0 / wallS,
                100 * (processCpuSeconds() - cpuBefore) / wallS);
}
} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc > 2 && QByteArray(argv[1]) == "tree")
        return onTree(QDir(QString::fromLocal8Bit(argv[2])).absolutePath() + QLatin1Char('/'));
    const int seconds = argc > 1 ? std::max(20, atoi(argv[1])) : 72;
    QTemporaryDir data;
    const QString drive = data.path() + QLatin1Char('/');
    const QDateTime start(QDate::currentDate(), QTime(0, 30));
    record(drive, 1, RecordingFormat::Iyuv, start, seconds);
    record(drive, 2, RecordingFormat::Mjpeg, start, seconds);
    RecordingsWindow window(drive,
                            [](int camera) { return QStringLiteral("Bench %1").arg(camera); });
    window.show();
    window.seek(start.toMSecsSinceEpoch());
    for (int waited = 0; !window.shownFrame().valid() && waited < 10000; waited += 10)
        runEventsFor(10); // the day is read off the GUI thread
    if (argc > 2) {
        ActivityWriter activity(drive, 1);
        for (int s = 0; s < seconds; ++s)
            activity.write(start.addSecs(s), float(50 + 50 * std::sin(s / 5.0)));
        activity.close();
        window.setSelection(start.addSecs(5).toMSecsSinceEpoch(),
                            start.addSecs(15).toMSecsSinceEpoch());
        window.seek(start.addSecs(10).toMSecsSinceEpoch());
        runEventsFor(2500); // the next refresh reads the figures
        window.grab().save(QString::fromLocal8Bit(argv[2]));
        window.findChild<TimelineWidget*>()->setView(start.addSecs(-120).toMSecsSinceEpoch(),
                                                     600000);
        window.grab().save(QString::fromLocal8Bit(argv[2]).replace(".png", "-zoomed.png"));
    }
    measure(window, 1, start, seconds, "IYUV");
    measure(window, 2, start, seconds, "compact");
    return 0;
}
