// ctest-labels: threaded
#include <QCryptographicHash>
#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "capture/frameconversion.h"
#include "capture/recordingwriter.h"
#include "recordings/activitywriter.h"
#include "recordings/diskspacekeeper.h"
#include "recordings/exporttask.h"
#include "recordings/openrecordings.h"
#include "recordings/recordingpaths.h"
#include "support/framecode.h"
#include "support/recorder.h"

using Review::Segment;

namespace {
const QString kLocation = QStringLiteral("Gate 3 / Süd");

// A recording of camera 1 begun at `start`: a moving disc and camsim's code `firstCode + i` on
// frame i, stamped by the recorder's own overlay.
Segment writeSource(const QString& drive, const QDateTime& start, int firstCode, int frames) {
    Segment s{RecordingPaths::recordingFile(drive, QStringLiteral("1"), start), 1,
              start.toMSecsSinceEpoch(), frames, Review::FileFormat::Iyuv};
    const auto writer = openRecordingWriter(RecordingFormat::Iyuv, s.path);
    cv::Mat picture(kRecordHeight, kRecordWidth, CV_8UC3), frame;
    for (int i = 0; writer && i < frames; ++i) {
        picture = cv::Scalar(60, 120, 180);
        cv::circle(picture, {((firstCode + i) * 9) % kRecordWidth, 100}, 40, {255, 255, 255}, -1);
        drawFrameCounter(picture, firstCode + i);
        prepareRecordingFrame(picture, kLocation, start.addMSecs(i * Review::kFrameMs), frame);
        writer->write(frame);
    }
    if (writer)
        writer->close();
    return s;
}

QString sha256(const QString& path) {
    return QCryptographicHash::hash(readBytes(path), QCryptographicHash::Sha256).toHex();
}

QVector<cv::Mat> decodeAll(const QString& path) {
    QVector<cv::Mat> frames;
    cv::VideoCapture capture(path.toStdString(), cv::CAP_FFMPEG);
    for (cv::Mat frame; capture.read(frame);)
        frames.append(frame.clone());
    return frames;
}
} // namespace

class TestExport final : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> drive, out;
    Segment first, second, later; // `later` lies after the span and is no source
    Review::ExportRequest request;

private slots:
    void initTestCase() { isolateHome(QDir::tempPath() + QStringLiteral("/tst_export_home")); }

    // Two files 2 s apart; the span runs from frame 10 of the first to frame 30 of the second.
    void init() {
        drive = std::make_unique<QTemporaryDir>();
        out = std::make_unique<QTemporaryDir>();
        const QDateTime start(QDate(2026, 3, 4), QTime(10, 0));
        first = writeSource(drive->path() + '/', start, 0, 40);
        second = writeSource(drive->path() + '/', start.addMSecs(3600), 1000, 40);
        later = writeSource(drive->path() + '/', start.addSecs(10), 2000, 40);
        request = {1, kLocation, first.startMs + 400, second.startMs + 1200,
                   {first, second}, drive->path() + '/', out->path()};
    }

    void baseName_data() {
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("expected");
        QTest::newRow("separators") << "Gate 3 / Süd" << "camera-1_Gate_3_Süd_2026-03-04_10-00-00_to_2026-03-04_10-01-00";
        QTest::newRow("reserved") << "a:b*c?\"<>|\\d\t" << "camera-1_a_b_c_d_2026-03-04_10-00-00_to_2026-03-04_10-01-00";
        QTest::newRow("dots only") << " .. " << "camera-1_2026-03-04_10-00-00_to_2026-03-04_10-01-00";
    }
    void baseName() {
        QFETCH(QString, location);
        QFETCH(QString, expected);
        const qint64 startMs = QDateTime(QDate(2026, 3, 4), QTime(10, 0)).toMSecsSinceEpoch();
        QCOMPARE(Review::exportBaseName(1, location, startMs, startMs + 60000), expected);
    }

    // Through the window's wrapper: the frames of both files in order, gap left out, as H.264.
    void crossesFiles() {
        OpenRecordings::add(second.path); // as the worker still recording it
        ActivityWriter activity(request.dataDrive, 1); // seconds 0..4 lie in the span, 5 not
        for (const auto& [second, percent] : {std::pair{0, 1.0f}, {1, 10.0f}, {3, 4.0f}, {4, 0.5f}, {5, 50.0f}})
            QVERIFY(activity.write(QDateTime::fromMSecsSinceEpoch(first.startMs).addSecs(second), percent));
        activity.close();
        Review::ExportTask task(request);
        QSignalSpy progress(&task, &Review::ExportTask::progress);
        QSignalSpy finished(&task, &Review::ExportTask::finished);
        task.start();
        QVERIFY(finished.wait(120000));
        const auto result = finished.first().first().value<Review::ExportResult>();
        QVERIFY2(result.ok, qPrintable(result.error));
        QVERIFY(OpenRecordings::snapshot() == QSet<QString>{second.path});
        OpenRecordings::remove(second.path);
        QCOMPARE(progress.last().first().toInt(), 1000);

        const MediaInfo info = MediaProbe::probe(result.videoPath);
        QCOMPARE(info.codec, QStringLiteral("h264"));
        QCOMPARE(QSize(info.width, info.height), QSize(640, 480));
        QCOMPARE(info.frameRate, QStringLiteral("25/1"));
        QCOMPARE(info.frameCount, 60);
        QCOMPARE(result.frames, 60);

        const QVector<cv::Mat> exported = decodeAll(result.videoPath);
        const QVector<cv::Mat> a = decodeAll(first.path), b = decodeAll(second.path);
        QCOMPARE(exported.size(), 60);
        for (int i = 0; i < exported.size(); ++i) {
            const cv::Mat& source = i < 30 ? a[10 + i] : b[i - 30];
            QCOMPARE(readFrameCounter(exported[i]), readFrameCounter(source));
            QVERIFY2(cv::PSNR(exported[i], source) > 30, qPrintable(QString::number(i)));
        }

        const QString manifest = QString::fromUtf8(readBytes(result.manifestPath));
        for (const QString& path : {first.path, second.path, result.videoPath})
            QVERIFY2(manifest.contains(sha256(path)), qPrintable(path));
        QVERIFY(manifest.contains(kLocation));
        QVERIFY(manifest.contains(QStringLiteral("mean 3.9 %, peak 10.0 %, 2 s above 2 % (over 4 s")));
        QVERIFY(manifest.contains(QStringLiteral("10:00:01.600 to 2026-03-04 10:00:03.600")));
        QCOMPARE(QDir(out->path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
    }

    // Cancelled while the keeper runs short of space: it deletes a recording, never a source.
    void cancelSparesSources() {
        const qint64 laterBytes = QFileInfo(later.path).size();
        std::atomic<bool> cancel{false};
        DiskSpace::Outcome outcome;
        const auto result = Review::runExport(
            request,
            [&](int permille) {
                if (permille < 300 || cancel)
                    return;
                outcome = DiskSpace::freeSpace(
                    request.dataDrive, laterBytes,
                    [](const QString&) { return DiskSpace::Usage{true, qint64(1) << 40, 0}; },
                    OpenRecordings::snapshot);
                cancel = true;
            },
            &cancel);
        QVERIFY(result.cancelled && !result.ok);
        QCOMPARE(outcome.deleted.size(), 1);
        QCOMPARE(outcome.deleted.first().path, later.path);
        QVERIFY(QFile::exists(first.path) && QFile::exists(second.path));
        QVERIFY(OpenRecordings::snapshot().isEmpty());
        QCOMPARE(QDir(out->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());
    }

    void failures_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("says");
        QTest::newRow("folder is a file") << 0 << "is not a folder";
        QTest::newRow("span in the gap") << 1 << "has no recording";
        QTest::newRow("source deleted") << 2 << "was deleted during the export";
        QTest::newRow("drive full") << 3 << "could not be written whole";
    }
    void failures() {
        QFETCH(int, fault);
        QFETCH(QString, says);
        std::function<void(int)> progress;
        if (fault == 0)
            QVERIFY(writeBytes(request.outputFolder = out->filePath("file"), "x"));
        if (fault == 1)
            request.startMs = first.endMs() + 100, request.endMs = second.startMs;
        if (fault == 2)
            progress = [this](int permille) { if (permille > 300) QFile::remove(second.path); };
        if (fault == 3)
            limitFileSize(4096);
        const auto result = Review::runExport(request, progress, nullptr);
        limitFileSize(RLIM_INFINITY);
        QVERIFY(!result.ok && !result.cancelled);
        QVERIFY2(result.error.contains(says), qPrintable(result.error));
        QVERIFY(OpenRecordings::snapshot().isEmpty());
        QStringList left = QDir(out->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        left.removeAll(QStringLiteral("file"));
        QCOMPARE(left, QStringList());
    }
};

QTEST_MAIN(TestExport)
#include "tst_export.moc"
