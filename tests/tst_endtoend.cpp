// ctest-labels: threaded
// The window as a user runs it, on the simulated camera and the real one-second schedule: preview,
// Record, Stop and close, with the recordings checked by ffprobe and ffmpeg.
#include <filesystem>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include "app/camera.h"
#include "capture/capturethread.h"
#include "capture/frameconversion.h"
#include "support/camsimprocess.h"
#include "support/capturerig.h"
#include "support/framecode.h"
#include "support/windowfixture.h"

namespace {

const QString kRecording = QStringLiteral("* RECORDING *");
const QString kStopping = QStringLiteral("* STOPPING... *");
constexpr int kOpenTimeoutMs = 60000; // eight streams on a loaded machine open slowly
constexpr qint64 kFrameBytes = 640 * 480 * 3 / 2;
// Bounds on a close are hang detectors, not benchmarks. A sanitized build runs the workers several
// times slower, and a worker finishes the pass it is in before it sees the stop.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr qint64 kCloseBoundMs = 60000;
#else
constexpr qint64 kCloseBoundMs = 15000;
#endif

int previewCounter(const QLabel* preview) {
    const QPixmap pixmap = preview->pixmap(Qt::ReturnByValue);
    return pixmap.isNull() ? -1 : readFrameCounter(QImage2Mat(pixmap.toImage()));
}

std::filesystem::file_time_type lastWriteTime(const QString& path) {
    return std::filesystem::last_write_time(QFile::encodeName(path).toStdString());
}

qint64 newestRecordingSize(const QString& drive, int number) {
    const QStringList files = WindowFixture::recordings(drive, number);
    return files.isEmpty() ? 0 : QFileInfo(files.last()).size();
}

} // namespace

class EndToEndTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();

    void previewRecordStopAndClose();
    void closeWhileEightCamerasRecord();
    void closeWithEightStalledPreviews();
    void closeWithSilentCameras();

private:
    QString drive() const { return dataDrive.path() + QLatin1Char('/'); }
    QTemporaryDir home;
    QTemporaryDir dataDrive;
};

void EndToEndTest::initTestCase() {
    QVERIFY(home.isValid());
    WindowFixture::isolateHome(home.path());
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(dataDrive.isValid());
}

void EndToEndTest::cleanup() {
    WindowFixture::removeFiles();
    QDir(drive() + QStringLiteral("VideoData")).removeRecursively();
}

void EndToEndTest::previewRecordStopAndClose() {
    CamsimProcess camsim({"--width", "800", "--height", "600", "--loop", "50"});
    QVERIFY2(camsim.start(), qPrintable(camsim.errorString()));
    WindowFixture::Cameras cameras;
    cameras[2].cameraType = 1;
    cameras[2].url = camsim.streamUrl();
    cameras[2].location = QStringLiteral("Shop door");
    QVERIFY(WindowFixture::writeFiles(drive(), cameras));

    const QString configPath = WindowFixture::appDataFolder() + QStringLiteral("config.xml");
    {
        Camera w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        ChannelConfig& c = w.channel(2);
        QCOMPARE(c.locationEdit->text(), QStringLiteral("Shop door"));

        // The schedule's first ticks start the camera and paint its live picture.
        QTRY_VERIFY_WITH_TIMEOUT(c.thread, 5000);
        QVERIFY(!c.recording);
        QTRY_VERIFY_WITH_TIMEOUT(previewCounter(c.previewLabel) >= 0, kOpenTimeoutMs);
        QCOMPARE(c.previewLabel->pixmap(Qt::ReturnByValue).size(), QSize(200, 120));
        const int firstCounter = previewCounter(c.previewLabel);
        QTRY_VERIFY_WITH_TIMEOUT(previewCounter(c.previewLabel) >= 0 &&
                                     previewCounter(c.previewLabel) != firstCounter,
                                 5000);
        QVERIFY(WindowFixture::recordings(drive(), 3).isEmpty()); // a preview records nothing

        // Record.
        auto* record = w.findChild<QPushButton*>(QStringLiteral("RecordButton3"));
        auto* stop = w.findChild<QPushButton*>(QStringLiteral("StopButton3"));
        QVERIFY(record && stop);
        const QDate day = QDate::currentDate();
        record->click();
        QCOMPARE(c.statusLabel->text(), kRecording);
        QTRY_VERIFY_WITH_TIMEOUT(stop->isEnabled(), kOpenTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(newestRecordingSize(drive(), 3) > 25 * kFrameBytes,
                                 kOpenTimeoutMs);
        const QStringList files = WindowFixture::recordings(drive(), 3);
        QVERIFY2(files.size() == 1, qPrintable(files.join(QLatin1Char(' '))));
        const QString relative = QDir(drive()).relativeFilePath(files.first());
        const QRegularExpression layout(QStringLiteral(
            R"(^VideoData/videos/(\d{4}/\d{2}/\d{2})/camera-3-\d{4}-\d{2}-\d{2}_\d{2}-\d{2}-\d{2}-\d{4}\.avi$)"));
        const auto match = layout.match(relative);
        QVERIFY2(match.hasMatch(), qPrintable(relative));
        const QString folderDay = match.captured(1);
        QVERIFY2(folderDay == day.toString(QStringLiteral("yyyy/MM/dd")) ||
                     folderDay == QDate::currentDate().toString(QStringLiteral("yyyy/MM/dd")),
                 qPrintable(relative));

        // Stop: the stopping state shows while the file is completed, then the panel is idle.
        QString statusWhileStopping;
        QMetaObject::invokeMethod(
            &w, [&] { statusWhileStopping = c.statusLabel->text(); }, Qt::QueuedConnection);
        stop->click();
        QCOMPARE(statusWhileStopping, kStopping);
        QCOMPARE(c.statusLabel->text(), QString());
        QVERIFY(!c.recording);
        QVERIFY(c.manualStop);
        QVERIFY(!c.thread);
        verifyRecording(files.first());
        if (QTest::currentTestFailed())
            return;

        // The next tick brings the preview back, without recording.
        QTRY_VERIFY_WITH_TIMEOUT(c.thread, 5000);
        QVERIFY(!c.recording);
        QCOMPARE(c.statusLabel->text(), QString());

        // Record again and close while recording, with a location typed just before.
        record->click();
        QTRY_VERIFY_WITH_TIMEOUT(stop->isEnabled(), kOpenTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(WindowFixture::recordings(drive(), 3).size() == 2 &&
                                     newestRecordingSize(drive(), 3) > 10 * kFrameBytes,
                                 kOpenTimeoutMs);
        c.locationEdit->setText(QStringLiteral("Back office"));
        QTimer* schedule = WindowFixture::scheduleTimer(w);
        QVERIFY(schedule);
        QVERIFY(w.close());

        for (int i = 0; i < kCameraCount; ++i)
            QVERIFY2(!w.channel(i).thread, qPrintable(QString::number(i + 1)));
        const QString last = WindowFixture::recordings(drive(), 3).last();
        // config.xml was saved before the recording was completed (its index written last). File
        // times tick in steps of a few milliseconds, so the two may be equal.
        QVERIFY(lastWriteTime(configPath) <= lastWriteTime(last));
        verifyRecording(last);
        if (QTest::currentTestFailed())
            return;
        // The closed window's schedule starts nothing any more.
        QSignalSpy ticks(schedule, &QTimer::timeout);
        QVERIFY(!ticks.wait(1500));
        for (int i = 0; i < kCameraCount; ++i)
            QVERIFY2(!w.channel(i).thread, qPrintable(QString::number(i + 1)));
    }
    QFile config(configPath);
    QVERIFY(config.open(QIODevice::ReadOnly));
    const QByteArray saved = config.readAll();
    QVERIFY(saved.contains("<location>Back office</location>"));
    QVERIFY(saved.contains(camsim.streamUrl().toUtf8().replace("&", "&amp;")));
}

void EndToEndTest::closeWhileEightCamerasRecord() {
    CamsimProcess camsim({"--width", "640", "--height", "480", "--fps", "10", "--loop", "20"});
    QVERIFY2(camsim.start(), qPrintable(camsim.errorString()));
    WindowFixture::Cameras cameras;
    for (ChannelConfig& c : cameras) {
        c.cameraType = 1;
        c.url = camsim.streamUrl();
        c.recordOnStart = true;
    }
    QVERIFY(WindowFixture::writeFiles(drive(), cameras));

    Camera w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    for (int i = 0; i < kCameraCount; ++i) {
        ChannelConfig& c = w.channel(i);
        QTRY_VERIFY_WITH_TIMEOUT(c.recording && c.stopButton->isEnabled(), kOpenTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(newestRecordingSize(drive(), i + 1) > 25 * kFrameBytes,
                                 kOpenTimeoutMs);
    }

    QElapsedTimer closing;
    closing.start();
    QVERIFY(w.close());
    const qint64 closeMs = closing.elapsed();
    qInfo("close with eight recording cameras took %lld ms", closeMs);
    QVERIFY2(closeMs < kCloseBoundMs, qPrintable(QString::number(closeMs)));

    for (int i = 0; i < kCameraCount; ++i) {
        QVERIFY(!w.channel(i).thread);
        QVERIFY(!w.channel(i).recording);
        const QStringList files = WindowFixture::recordings(drive(), i + 1);
        QVERIFY2(!files.isEmpty(), qPrintable(QString::number(i + 1)));
        for (const QString& file : files) {
            verifyRecording(file);
            if (QTest::currentTestFailed())
                return;
        }
    }
}

// Workers blocked on streams gone silent are all told to stop before any is waited for: the close
// takes about one read time-out (5 s).
void EndToEndTest::closeWithEightStalledPreviews() {
    CamsimProcess camsim(
        {"--width", "320", "--height", "240", "--fps", "10", "--loop", "10", "--stall-after", "2"});
    QVERIFY2(camsim.start(), qPrintable(camsim.errorString()));
    WindowFixture::Cameras cameras;
    for (ChannelConfig& c : cameras) {
        c.cameraType = 1;
        c.url = camsim.streamUrl();
    }
    QVERIFY(WindowFixture::writeFiles(drive(), cameras));

    Camera w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    for (int i = 0; i < kCameraCount; ++i)
        QTRY_VERIFY_WITH_TIMEOUT(previewCounter(w.channel(i).previewLabel) >= 0, kOpenTimeoutMs);
    // Each connection goes silent 2 s after it began; give every worker time to block on it.
    QTest::qWait(3000);

    QElapsedTimer closing;
    closing.start();
    QVERIFY(w.close());
    const qint64 closeMs = closing.elapsed();
    qInfo("close with eight stalled preview cameras took %lld ms", closeMs);
    QVERIFY2(closeMs < kCloseBoundMs, qPrintable(QString::number(closeMs)));
    for (int i = 0; i < kCameraCount; ++i)
        QVERIFY(!w.channel(i).thread);
}

// Cameras that accept a connection and never answer: the workers do not wait for their opens, so
// the close does not either.
void EndToEndTest::closeWithSilentCameras() {
    QTcpServer silent; // accepts and says nothing
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    WindowFixture::Cameras cameras;
    for (int i = 0; i < 4; ++i) {
        cameras[i].cameraType = 1;
        cameras[i].url = QStringLiteral("http://127.0.0.1:%1/video.mjpg").arg(silent.serverPort());
    }
    QVERIFY(WindowFixture::writeFiles(drive(), cameras));

    Camera w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    for (int i = 0; i < 4; ++i)
        QTRY_VERIFY_WITH_TIMEOUT(w.channel(i).thread, 5000);
    QTest::qWait(1000); // every worker is in its open by now

    QElapsedTimer closing;
    closing.start();
    QVERIFY(w.close());
    const qint64 closeMs = closing.elapsed();
    qInfo("close with four silent cameras took %lld ms", closeMs);
    for (int i = 0; i < kCameraCount; ++i)
        QVERIFY(!w.channel(i).thread);
    QVERIFY2(closeMs < 9000, qPrintable(QString::number(closeMs)));
}

QTEST_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
