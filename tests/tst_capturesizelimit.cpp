// ctest-labels: threaded;slow
#include <memory>

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "capture/capturethread.h"
#include "capture/openrecordings.h"
#include "support/camsimprocess.h"
#include "support/capturerig.h"

// The real 200 MiB split: some 18 s of recording, so it runs apart from the quick suite.
class TestCaptureSizeLimit : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void fileClosesAtTwoHundredMebibytes();
};

void TestCaptureSizeLimit::fileClosesAtTwoHundredMebibytes() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString dataDrive = dir.path() + QLatin1Char('/');
    CamsimProcess camera({"--fps", "25", "--width", "640", "--height", "480"});
    QVERIFY2(camera.start(), qPrintable(camera.errorString()));
    CapturePanel panel(1, camera.streamUrl());
    CaptureWorker worker(panel, dataDrive, true);

    QTRY_VERIFY_WITH_TIMEOUT(recordingFiles(dataDrive).size() >= 2, 60000);
    // The first file is complete and off the open list while the worker records on.
    QTRY_VERIFY(!OpenRecordings::snapshot().contains(recordingFiles(dataDrive).first()));
    worker.stop();

    const QStringList files = recordingFiles(dataDrive);
    const qint64 size = QFileInfo(files.first()).size();
    const qint64 frameBytes = 640 * 480 * 3 / 2 + 8;
    qInfo("first file: %lld bytes", size);
    QVERIFY2(size >= kFileSizeLimitBytes, qPrintable(QString::number(size)));
    QVERIFY2(size < kFileSizeLimitBytes + 2 * frameBytes, qPrintable(QString::number(size)));
    MediaInfo info;
    verifyRecording(files.first(), &info);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(info.frameCount, (kFileSizeLimitBytes + frameBytes - 1) / frameBytes);
    verifyRecording(files.at(1));
}

QTEST_MAIN(TestCaptureSizeLimit)
#include "tst_capturesizelimit.moc"
