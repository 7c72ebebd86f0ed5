// ctest-labels: threaded
// The whole recorder (the real main window, offscreen) against failing cameras and a failing
// data drive: nothing recorded may be lost, no file may be damaged, nothing may hang, and the
// panel must say what is happening.
#include <fcntl.h>
#include <sys/resource.h>

#include <QStorageInfo>
#include <QUrl>
#include <QtTest>

#include "capture/openrecordings.h"
#include "support/recorder.h"

namespace {
const QStringList kCameraShape{"--fps", "25", "--width", "640", "--height", "480"};
// Waits on the recorder stretch by this much in a sanitized build.
constexpr int kSlowdown = kSanitized ? 3 : 1;
// A close waits for the workers; a stalled read ends within its 5 s time-out.
constexpr qint64 kCloseBoundMs = 7000;

// Times, on the test's clock, of the log lines of camsim (--verbose) that contain `marker`.
struct RequestLog {
    RequestLog(CamsimProcess& camera, const QString& marker) {
        clock.start();
        camera.setLogHandler([this, marker](const QString& line) {
            if (line.contains(marker))
                times << clock.elapsed();
            if (line.contains(QStringLiteral("up again")))
                upAgainMs = clock.elapsed();
        });
    }
    QString describe() const {
        QString text;
        for (qint64 t : times)
            text += QString::number(t) + QLatin1Char(' ');
        return text;
    }
    QElapsedTimer clock;
    QList<qint64> times;
    qint64 upAgainMs = -1;
};

// A file that is no recording, taking all but `leaveBytes` of the volume.
bool fillVolume(const QString& path, qint64 leaveBytes) {
    QFile filler(path);
    const qint64 size = QStorageInfo(QFileInfo(path).absolutePath()).bytesFree() - leaveBytes;
    return filler.open(QIODevice::WriteOnly) && posix_fallocate(filler.handle(), 0, size) == 0;
}
} // namespace

class TestFaults : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup() { tempDir.reset(); }

    void streamBreaks_data();
    void streamBreaks();
    void refusedConnectionBacksOff();
    void fullDriveIsShownAndRecovers();
    void keeperKeepsRecordingOnAFullDrive();

private:
    std::unique_ptr<Camera> openRecorder(const QString& url, qint64 keepFreeMiB = 0) {
        Cameras cameras;
        onStream(cameras[0], url, true);
        return openWindow(cameras, dataDrive, false, keepFreeMiB);
    }

    QTemporaryDir home;
    std::unique_ptr<QTemporaryDir> tempDir;
    QString dataDrive;
};

void TestFaults::initTestCase() {
    QVERIFY(home.isValid());
    isolateHome(home.path());
}

void TestFaults::init() {
    tempDir = std::make_unique<QTemporaryDir>();
    QVERIFY(tempDir->isValid());
    dataDrive = tempDir->path() + QStringLiteral("/drive/");
    QVERIFY(QDir().mkpath(dataDrive));
}

void TestFaults::streamBreaks_data() {
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<int>("breakWithinMs");  // from the first frame recorded
    QTest::addColumn<int>("reconnectMinMs"); // from the break shown to the next request
    QTest::addColumn<int>("reconnectMaxMs");
    // The worker tries again 1 s after a break; five quick tries, then every 5 s.
    QTest::newRow("dropped connection") << QStringList{"--drop-after", "2"} << 6000 << 700 << 2500;
    QTest::newRow("cut inside a frame")
        << QStringList{"--drop-after", "2", "--drop-mid-frame"} << 6000 << 700 << 2500;
    // Noticed after the 5 s read time-out.
    QTest::newRow("stalled stream") << QStringList{"--stall-after", "2"} << 11000 << 700 << 2500;
    // Down for 8 s: refused at 1, 2, 3, 4, 5 s, then asked again at 10 s.
    QTest::newRow("camera down for 8 s")
        << QStringList{"--down-after", "3", "--down-for", "8"} << 6000 << 7000 << 12000;
}

void TestFaults::streamBreaks() {
    QFETCH(QStringList, faults);
    QFETCH(int, breakWithinMs);
    QFETCH(int, reconnectMinMs);
    QFETCH(int, reconnectMaxMs);
    // A camera that asks for the credentials typed into the stream's URL.
    CamsimProcess camera(kCameraShape + faults + QStringList{"--verbose", "--auth", "admin:s3cret"});
    RequestLog requests(camera, QStringLiteral("GET /axis-cgi/mjpg/video.cgi"));
    QVERIFY2(camera.start(), qPrintable(camera.errorString()));
    QUrl url(camera.streamUrl());
    url.setUserInfo(QStringLiteral("admin:s3cret"));
    auto window = openRecorder(url.toString());
    QVERIFY(window);
    ChannelConfig& panel = window->channel(0);
    QTRY_COMPARE_WITH_TIMEOUT(panel.statusLabel->text(), text(kTextRecording), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(OpenRecordings::snapshot().size(), 1, 10000);
    const QString firstFile = *OpenRecordings::snapshot().begin();
    QTRY_COMPARE_WITH_TIMEOUT(panel.previewLabel->text(), text(kTextCannotConnect),
                              breakWithinMs * kSlowdown);
    const qint64 brokeAtMs = requests.clock.elapsed();

    // At the break the footage so far is a complete file already, while the panel says why
    // nothing comes, with no stale picture over it, and stays armed for recording.
    QVERIFY(!showsPicture(panel.previewLabel));
    QCOMPARE(panel.statusLabel->text(), text(kTextRecording));
    QVERIFY(!OpenRecordings::snapshot().contains(firstFile));
    verifyRecording(firstFile);
    if (QTest::currentTestFailed())
        return;

    const int requestsBefore = requests.times.size();
    QTRY_VERIFY_WITH_TIMEOUT(requests.times.size() > requestsBefore,
                             reconnectMaxMs * kSlowdown + 2000);
    const qint64 reconnectMs = requests.times.at(requestsBefore) - brokeAtMs;
    QVERIFY2(reconnectMs >= reconnectMinMs && reconnectMs <= reconnectMaxMs * kSlowdown,
             qPrintable(QStringLiteral("%1 ms; requests at %2").arg(reconnectMs).arg(requests.describe())));
    if (requests.upAgainMs >= 0) {
        const qint64 afterReturnMs = requests.times.at(requestsBefore) - requests.upAgainMs;
        QVERIFY2(afterReturnMs >= 0 && afterReturnMs <= 5500,
                 qPrintable(QString::number(afterReturnMs)));
    }

    // A new file, with pictures in the panel again.
    QTRY_VERIFY_WITH_TIMEOUT(!OpenRecordings::snapshot().isEmpty() &&
                                 !OpenRecordings::snapshot().contains(firstFile),
                             5000);
    QTRY_VERIFY_WITH_TIMEOUT(showsPicture(panel.previewLabel), 5000);
    QTest::qWait(1000);
    const qint64 closeMs = closeWindow(*window);
    QVERIFY2(closeMs < kCloseBoundMs, qPrintable(QString::number(closeMs)));
    window.reset();
    QVERIFY(OpenRecordings::snapshot().isEmpty());
    const QStringList files = recordingFiles(dataDrive);
    QVERIFY2(files.size() >= 2, qPrintable(files.join(QLatin1Char(' '))));
    QCOMPARE(files.first(), firstFile);
    verifyChain(files);
}

void TestFaults::refusedConnectionBacksOff() {
    CamsimProcess camera(kCameraShape + QStringList{"--refuse", "--verbose"});
    RequestLog attempts(camera, QStringLiteral("refusing a connection"));
    QVERIFY2(camera.start(), qPrintable(camera.errorString()));
    auto window = openRecorder(camera.streamUrl());
    QVERIFY(window);
    ChannelConfig& panel = window->channel(0);

    QTRY_COMPARE_WITH_TIMEOUT(panel.previewLabel->text(), text(kTextCannotConnect), 5000);
    QCOMPARE(panel.statusLabel->text(), text(kTextRecording));
    QTRY_VERIFY(panel.stopButton->isEnabled()); // the user can give up on it
    // Five retries a second apart, then one every five seconds, waiting without a busy loop.
    const auto cpuSeconds = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    };
    const double cpuBefore = cpuSeconds();
    const qint64 wallBefore = attempts.clock.elapsed();
    QTRY_VERIFY_WITH_TIMEOUT(attempts.times.size() >= 7, 15000);
    const double cpuShare = (cpuSeconds() - cpuBefore) * 1000 / (attempts.clock.elapsed() - wallBefore);
    QVERIFY2(cpuShare < (kSanitized ? 0.3 : 0.1), qPrintable(QString::number(cpuShare)));
    for (int i = 1; i < 6; ++i) {
        const qint64 gapMs = attempts.times.at(i) - attempts.times.at(i - 1);
        QVERIFY2(gapMs >= 800 && gapMs <= 1800, qPrintable(attempts.describe()));
    }
    const qint64 slowGapMs = attempts.times.at(6) - attempts.times.at(5);
    QVERIFY2(slowGapMs >= 4500 && slowGapMs <= 6000, qPrintable(attempts.describe()));

    const qint64 closeMs = closeWindow(*window);
    QVERIFY2(closeMs < 2000, qPrintable(QString::number(closeMs)));
    // Closed is closed: the schedule, still ticking until the window is gone, starts nothing.
    QTest::qWait(1500);
    QVERIFY(!panel.thread);
    QCOMPARE(recordingFiles(dataDrive), QStringList()); // nothing seen, nothing kept
}

void TestFaults::fullDriveIsShownAndRecovers() {
    SmallVolume volume;
    MOUNT_SMALL_VOLUME(volume, dataDrive, 32);
    // Room for about ten frames, then every write fails for want of space.
    const QString filler = dataDrive + QStringLiteral("not-a-recording.bin");
    QVERIFY(fillVolume(filler, 5 << 20));
    CamsimProcess camera(kCameraShape);
    QVERIFY2(camera.start(), qPrintable(camera.errorString()));
    auto window = openRecorder(camera.streamUrl());
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

void TestFaults::keeperKeepsRecordingOnAFullDrive() {
    // Room for several files and a second of writing above the free space kept.
    const int volumeMiB = kSanitized ? 320 : 64;
    const int keepFreeMiB = kSanitized ? 128 : 16;
    SmallVolume volume;
    MOUNT_SMALL_VOLUME(volume, dataDrive, volumeMiB);
    // Files close at every break, so the keeper has closed files to delete (each ~17 MB).
    CamsimProcess camera(kCameraShape + QStringList{"--drop-after", "1.5"});
    QVERIFY2(camera.start(), qPrintable(camera.errorString()));
    auto window = openRecorder(camera.streamUrl(), keepFreeMiB);
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

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
