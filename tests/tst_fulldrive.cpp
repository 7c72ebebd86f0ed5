// ctest-labels: threaded
// The whole recorder on a data drive that really fills up (a small tmpfs, so root only): the
// panel says it cannot write and recovers by itself, and with space to keep the keeper deletes
// the oldest recordings first, so that recording never stops.
#include <QtTest>

#include "recordings/openrecordings.h"
#include "support/recorder.h"

class TestFullDrive : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY(home.isValid() && drive.isValid());
        isolateHome(home.path());
    }
    void fullDriveIsShownAndRecovers();
    void keeperKeepsRecordingOnAFullDrive();

private:
    QTemporaryDir home;
    QTemporaryDir drive; // each test mounts its own volume here
    const QString dataDrive = drive.path() + QLatin1Char('/');
};

void TestFullDrive::fullDriveIsShownAndRecovers() {
    SmallVolume volume;
    MOUNT_SMALL_VOLUME(volume, dataDrive, 32);
    // Room for about ten frames, then every write fails for want of space.
    const QString filler = dataDrive + QStringLiteral("not-a-recording.bin");
    QVERIFY(fillVolume(filler, 5 << 20));
    CamsimProcess camera(kCameraShape);
    QVERIFY2(camera.start(), qPrintable(camera.errorString()));
    auto window = openRecorder(camera.streamUrl(), dataDrive);
    QVERIFY(window);
    ChannelConfig& panel = window->channel(0);
    QTRY_COMPARE_WITH_TIMEOUT(panel.previewLabel->text(), text(kTextCannotWrite), 15000);
    // The warning stays, not hidden behind the live picture, while the drive stays full.
    QTest::qWait(3000);
    QCOMPARE(panel.previewLabel->text(), text(kTextCannotWrite));
    QCOMPARE(panel.statusLabel->text(), text(kTextRecording));

    // Space is back: recording resumes by itself into a new, complete file.
    QVERIFY(QFile::remove(filler));
    QTRY_VERIFY_WITH_TIMEOUT(showsPicture(panel.previewLabel), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(OpenRecordings::snapshot().size(), 1, 5000);
    const QString resumed = *OpenRecordings::snapshot().begin();
    QTest::qWait(1500);
    QVERIFY(showsPicture(panel.previewLabel)); // no warning came back
    QVERIFY2(closeWindow(*window) < kCloseBoundMs, "close took too long");
    window.reset();
    const QStringList files = recordingFiles(dataDrive);
    QVERIFY2(files.contains(resumed), qPrintable(files.join(QLatin1Char(' '))));
    verifyChain(files);
}

void TestFullDrive::keeperKeepsRecordingOnAFullDrive() {
    // Room for several files and a second of writing above the free space kept.
    const int volumeMiB = kSanitized ? 320 : 64;
    const int keepFreeMiB = kSanitized ? 128 : 16;
    SmallVolume volume;
    MOUNT_SMALL_VOLUME(volume, dataDrive, volumeMiB);
    // Files close at every break, so the keeper has closed files to delete (each ~17 MB).
    CamsimProcess camera(kCameraShape + QStringList{"--drop-after", "1.5"});
    QVERIFY2(camera.start(), qPrintable(camera.errorString()));
    auto window = openRecorder(camera.streamUrl(), dataDrive, keepFreeMiB);
    QVERIFY(window);
    ChannelConfig& panel = window->channel(0);
    // Every file seen and the most it ever held; whether the panel ever warned.
    QMap<QString, qint64> largestSize;
    bool cannotWrite = false;
    const auto scan = [&] {
        for (const QString& file : recordingFiles(dataDrive))
            largestSize[file] = qMax(largestSize.value(file), QFileInfo(file).size());
    };
    QTimer watch;
    connect(&watch, &QTimer::timeout, [&] {
        cannotWrite |= panel.previewLabel->text() == text(kTextCannotWrite);
        scan();
    });
    watch.start(100);
    const auto written = [&] {
        qint64 sum = 0;
        for (qint64 size : largestSize)
            sum += size;
        return sum;
    };
    // Twice the volume: the keeper must have made room for at least one volume of recordings.
    QTRY_VERIFY_WITH_TIMEOUT(written() >= 2 * qint64(volumeMiB) << 20, kSanitized ? 240000 : 90000);
    watch.stop();
    QVERIFY(!cannotWrite);
    QCOMPARE(panel.statusLabel->text(), text(kTextRecording));
    QVERIFY2(closeWindow(*window) < kCloseBoundMs, "close took too long");
    window.reset();
    scan(); // the last file, completed by the close
    // The oldest went first: what is left is the newest files seen, in an unbroken run.
    const QStringList left = recordingFiles(dataDrive);
    const QStringList seen = largestSize.keys(); // sorted by path, so by time
    QVERIFY2(!left.isEmpty() && left.size() < seen.size(), "nothing was deleted");
    QCOMPARE(left, seen.mid(seen.size() - left.size()));
    verifyChain(left);
}

QTEST_MAIN(TestFullDrive)
#include "tst_fulldrive.moc"
