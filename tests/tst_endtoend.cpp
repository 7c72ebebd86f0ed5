// ctest-labels: threaded
// The window as a user runs it, on the simulated camera and the real one-second schedule: preview,
// Record, Stop and close, with the recordings checked by ffprobe and ffmpeg; and closes that
// eight cameras, recording or stalled, cannot hold for long.
#include <QtTest>

#include "capture/frameconversion.h"
#include "support/framecode.h"
#include "support/recorder.h"

namespace {

constexpr int kOpenTimeoutMs = 60000; // eight streams on a loaded machine open slowly
// Bounds on a close are hang detectors, not benchmarks (bench/ prints the times). A sanitized
// build runs the workers several times slower, and a worker ends the pass it is in first.
constexpr qint64 kEightCamerasCloseMs = kSanitized ? 60000 : 15000;

int previewCounter(const QLabel* preview) {
    const QPixmap pixmap = preview->pixmap(Qt::ReturnByValue);
    return pixmap.isNull() ? -1 : readFrameCounter(QImage2Mat(pixmap.toImage()));
}

qint64 newestRecordingSize(const QString& drive, int number) {
    const QStringList files = recordingFiles(drive, number);
    return files.isEmpty() ? 0 : QFileInfo(files.last()).size();
}

} // namespace

class EndToEndTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup() { QDir(drive + QStringLiteral("VideoData")).removeRecursively(); }

    void previewRecordStopAndClose();
    void closeWithEightCameras_data();
    void closeWithEightCameras();

private:
    QTemporaryDir home;
    QTemporaryDir dataDrive;
    QString drive;
};

void EndToEndTest::initTestCase() {
    QVERIFY(home.isValid() && dataDrive.isValid());
    isolateHome(home.path());
    drive = dataDrive.path() + QLatin1Char('/');
}

void EndToEndTest::previewRecordStopAndClose() {
    CamsimProcess camsim({"--width", "800", "--height", "600", "--loop", "50"});
    QVERIFY2(camsim.start(), qPrintable(camsim.errorString()));
    Cameras cameras;
    onStream(cameras[2], camsim.streamUrl());
    cameras[2].location = QStringLiteral("Shop door");
    const QString configPath = configFolder() + QStringLiteral("config.xml");
    auto w = openWindow(cameras, drive);
    QVERIFY(w);
    ChannelConfig& c = w->channel(2);
    QCOMPARE(c.locationEdit->text(), QStringLiteral("Shop door"));

    // The schedule's first ticks start the camera and paint its live picture, frame after frame.
    QTRY_VERIFY_WITH_TIMEOUT(previewCounter(c.previewLabel) >= 0, kOpenTimeoutMs);
    const int firstCounter = previewCounter(c.previewLabel);
    QTRY_VERIFY_WITH_TIMEOUT(previewCounter(c.previewLabel) >= 0 &&
                                 previewCounter(c.previewLabel) != firstCounter,
                             5000);
    QVERIFY(!c.recording);
    QVERIFY(recordingFiles(drive).isEmpty()); // a preview records nothing

    c.recordButton->click();
    QCOMPARE(c.statusLabel->text(), text(kTextRecording));
    QTRY_VERIFY_WITH_TIMEOUT(c.stopButton->isEnabled(), kOpenTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(newestRecordingSize(drive, 3) > 25 * kIyuvFrameBytes, kOpenTimeoutMs);
    const QStringList files = recordingFiles(drive, 3);
    QCOMPARE(files.size(), 1);

    // Stop: the stopping state shows while the file is completed, then the panel is idle.
    QString statusWhileStopping;
    QMetaObject::invokeMethod(
        w.get(), [&] { statusWhileStopping = c.statusLabel->text(); }, Qt::QueuedConnection);
    c.stopButton->click();
    QCOMPARE(statusWhileStopping, text(kTextStopping));
    QCOMPARE(c.statusLabel->text(), QString());
    QVERIFY(!c.recording && !c.thread);
    verifyRecording(files.first());
    // The next tick brings the preview back, without recording.
    QTRY_VERIFY_WITH_TIMEOUT(c.thread, 5000);
    QVERIFY(!c.recording);

    // Record again and close while recording, with a location typed just before.
    c.recordButton->click();
    QTRY_VERIFY_WITH_TIMEOUT(recordingFiles(drive).size() == 2 &&
                                 newestRecordingSize(drive, 3) > 10 * kIyuvFrameBytes,
                             kOpenTimeoutMs);
    c.locationEdit->setText(QStringLiteral("Back office"));
    QVERIFY(w->close());
    for (int i = 0; i < kCameraCount; ++i)
        QVERIFY2(!w->channel(i).thread, qPrintable(QString::number(i + 1)));
    for (const QString& file : recordingFiles(drive))
        verifyRecording(file);
    const QByteArray saved = readBytes(configPath);
    QVERIFY(saved.contains("<location>Back office</location>"));
    QVERIFY(saved.contains(camsim.streamUrl().toUtf8().replace("&", "&amp;")));
}

void EndToEndTest::closeWithEightCameras_data() {
    QTest::addColumn<QStringList>("camera");
    QTest::addColumn<bool>("recording");
    QTest::newRow("recording") << QStringList{"--width", "640", "--height", "480"} << true;
    // Workers blocked on streams gone silent are all told to stop before any is waited for: the
    // close takes about one read time-out (5 s), not one per camera.
    QTest::newRow("stalled previews")
        << QStringList{"--width", "320", "--height", "240", "--stall-after", "2"} << false;
}

// The close ends every worker within a bound, and each recording it completed is whole.
void EndToEndTest::closeWithEightCameras() {
    QFETCH(QStringList, camera);
    QFETCH(bool, recording);
    CamsimProcess camsim(camera + QStringList{"--fps", "10", "--loop", "20"});
    QVERIFY2(camsim.start(), qPrintable(camsim.errorString()));
    Cameras cameras;
    for (ChannelConfig& c : cameras)
        onStream(c, camsim.streamUrl(), recording);
    auto w = openWindow(cameras, drive);
    QVERIFY(w);
    for (int i = 0; i < kCameraCount; ++i) {
        QTRY_VERIFY_WITH_TIMEOUT(recording ? newestRecordingSize(drive, i + 1) > 25 * kIyuvFrameBytes
                                           : previewCounter(w->channel(i).previewLabel) >= 0,
                                 kOpenTimeoutMs);
    }
    if (!recording)
        QTest::qWait(3000); // each connection goes silent 2 s after it began
    const qint64 closeMs = closeWindow(*w);
    QVERIFY2(closeMs < kEightCamerasCloseMs, qPrintable(QString::number(closeMs)));
    for (int i = 0; i < kCameraCount; ++i)
        QVERIFY(!w->channel(i).thread && !w->channel(i).recording);
    for (const QString& file : recordingFiles(drive))
        verifyRecording(file);
    QCOMPARE(recordingFiles(drive).isEmpty(), !recording);
}

QTEST_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
