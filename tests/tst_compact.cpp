// ctest-labels: threaded
// Compact (MJPEG) recordings: what ffprobe says of them, what a kill, a full drive and the repair
// leave of them, and a change of format while recording.
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "recordings/avirepair.h"
#include "recordings/diskspacekeeper.h"
#include "capture/mjpegaviwriter.h"
#include "settings/settingsfile.h"
#include "support/recorder.h"

namespace {
// ffprobe and a full ffmpeg decode: mjpeg 640x480 at 25/1, `frames` frames (-1: any), all clean.
void verifyCompact(const QString& path, qint64 frames = -1) {
    const MediaInfo info = MediaProbe::probe(path);
    QVERIFY2(info.ok, qPrintable(path + info.error));
    QCOMPARE(info.codec, QStringLiteral("mjpeg"));
    QCOMPARE(QSize(info.width, info.height), QSize(640, 480));
    QCOMPARE(info.frameRate, QStringLiteral("25/1"));
    QVERIFY(info.frameCount > 0);
    QCOMPARE(info.headerFrames, info.frameCount);
    if (frames >= 0)
        QCOMPARE(info.frameCount, frames);
    QCOMPARE(MediaProbe::decodeErrors(path), QString());
}
} // namespace

class TestCompact : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void cutFile_data() {
        QTest::addColumn<bool>("fullDrive");
        QTest::newRow("killed at a random point") << false;
        QTest::newRow("writes failing at a random size") << true;
    }
    void cutFile();
    void settingKeptOnlyWhenNotDefault();
    void switchWhileRecording();
};

void TestCompact::cutFile() {
    QFETCH(bool, fullDrive);
    const QString drive = dir.path() + QStringLiteral("/cut/");
    const QString path = drive + QStringLiteral("VideoData/videos/2020/01/02/camera-3-"
                                                "2020-01-02_03-04-05-0006.avi");
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QRandomGenerator random(20261207);
    for (int round = 0; round < 3; ++round) {
        MjpegAviWriter writer;
        QVERIFY(writer.open(path));
        QVector<qint64> ends; // of every frame written whole
        cv::Mat first;        // as the IYUV file would give it back
        const qint64 cut = 224 + random.bounded(30 * 9000);
        if (fullDrive)
            limitFileSize(rlim_t(cut));
        for (int i = 0; i < 30; ++i) {
            cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(i * 8, 128, 64));
            cv::randu(frame(cv::Rect(0, 100, 640, 40)), 0, 255);
            cv::putText(frame, std::to_string(i), {20, 300}, cv::FONT_HERSHEY_SIMPLEX, 4, {0});
            cv::cvtColor(frame, frame, cv::COLOR_BGR2YUV_I420);
            if (i == 0)
                cv::cvtColor(frame, first, cv::COLOR_YUV2BGR_I420);
            if (!writer.write(frame))
                break;
            ends << writer.trackedBytes();
        }
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        const QByteArray beforeClose = file.readAll();
        writer.close();
        limitFileSize(RLIM_INFINITY);
        // What a kill before the close leaves: no index, no counts, a torn frame.
        if (!fullDrive)
            QVERIFY(file.resize(0) && file.write(beforeClose.left(int(cut))) > 0 && file.flush());
        const qint64 size = file.size();
        file.close();
        const int whole = int(std::count_if(ends.begin(), ends.end(),
                                            [size](qint64 end) { return end <= size; }));
        if (fullDrive) // no frame counted as written that did not land whole
            QCOMPARE(ends.size(), whole);
        QVERIFY(AviRepair::isUnfinished(path));
        // The start-up repair of the keeper: a file that holds no whole frame goes.
        QCOMPARE(DiskSpace::finishLeftovers(drive, QStringLiteral("9999"), {}), 1);
        if (whole == 0)
            QVERIFY(!QFile::exists(path));
        else
            verifyCompact(path, whole);
        cv::Mat decoded; // the planes' places, the range and the colours kept
        QVERIFY(whole == 0 || cv::VideoCapture(path.toStdString()).read(decoded));
        QVERIFY2(whole == 0 || cv::PSNR(decoded, first) > 30, qPrintable(path));
    }
}

void TestCompact::settingKeptOnlyWhenNotDefault() {
    const QString path = dir.filePath(QStringLiteral("settings.xml"));
    for (RecordingFormat format : {RecordingFormat::Mjpeg, RecordingFormat::Iyuv}) {
        ProgramSettings written;
        written.format = format;
        QVERIFY(writeSettingsFile(path, written));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll().contains("<format>"), format != RecordingFormat::Iyuv);
        ProgramSettings read;
        readSettingsFile(path, &read);
        QCOMPARE(read.format == RecordingFormat::Mjpeg, format == RecordingFormat::Mjpeg);
    }
}

void TestCompact::switchWhileRecording() {
    const QString drive = dir.path() + QStringLiteral("/switch/");
    QVERIFY(QDir().mkpath(drive));
    CamsimProcess camera({"--fps", "25", "--width", "1280", "--height", "720"});
    QVERIFY2(camera.start(), qPrintable(camera.errorString()));
    constexpr qint64 kLimit = 1 << 20; // some 24 compact frames, 2 IYUV frames
    CaptureThread::setFileSizeLimitForTests(kLimit);
    CapturePanel panel(1, camera.streamUrl());
    panel.channel.format = RecordingFormat::Mjpeg;
    {
        CaptureWorker worker(panel, drive, true);
        QTRY_VERIFY_WITH_TIMEOUT(recordingFiles(drive).size() >= 2, 30000);
        panel.channel.format = RecordingFormat::Iyuv;
        const int begun = recordingFiles(drive).size();
        QTRY_VERIFY_WITH_TIMEOUT(recordingFiles(drive).size() >= begun + 2, 30000);
        worker.stop();
    }
    CaptureThread::setFileSizeLimitForTests(0);
    const QStringList files = recordingFiles(drive);
    // Compact files up to the switch, each closed at the size limit (the one running at the
    // switch is not cut), then IYUV.
    int compact = 0;
    while (compact < files.size() && MediaProbe::probe(files[compact]).codec == "mjpeg")
        verifyCompact(files[compact++]);
    QVERIFY2(compact >= 2, qPrintable(files.join(' ')));
    for (int i = 0; i < compact; ++i)
        QVERIFY(QFileInfo(files[i]).size() >= kLimit);
    for (int i = compact; i < files.size() - 1; ++i)
        verifyRecording(files[i]);
    QVERIFY(compact < files.size() - 1);
    for (int counter : recordedCounters(files.first()))
        QVERIFY(counter >= 0); // camsim's frame counters come through the JPEG whole
}

QTEST_MAIN(TestCompact)
#include "tst_compact.moc"
