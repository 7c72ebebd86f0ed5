// ctest-labels: threaded
// The whole recorder (the real main window, offscreen) against failing cameras and a failing
// data drive: nothing recorded may be lost, no file may be damaged, nothing may crash or hang,
// and the panel must say what is happening.
#include <memory>

#include <unistd.h>

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QtTest>

#include "app/camera.h"
#include "capture/capturethread.h"
#include "capture/openrecordings.h"
#include "support/camsimprocess.h"
#include "support/capturerig.h"
#include "support/mediaprobe.h"
#include "support/recorderwindow.h"
#include "support/smallvolume.h"

namespace {
const QString kRecording = QStringLiteral("* RECORDING *");
const QString kConnected = QString::fromLatin1(kTextConnected);
const QString kCannotConnect = QString::fromLatin1(kTextCannotConnect);
const QString kCannotWrite = QString::fromLatin1(kTextCannotWrite);
const QStringList kCameraShape{"--fps", "25", "--width", "640", "--height", "480"};
// A sanitized build runs our code several times slower: the recorder falls behind the camera
// and pads its 25 fps timeline, so its files run longer than the camera's connections.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
// Waits on the recorder stretch by this much there.
constexpr int kSlowdown = kSanitized ? 3 : 1;
// A close waits for the workers; a stalled read ends within its 5 s time-out.
constexpr qint64 kCloseBoundMs = 7000;

// Times, on the test's clock, of the stream requests camsim logs with --verbose.
class RequestLog final {
public:
    explicit RequestLog(CamsimProcess& camera, const QString& marker) {
        clock.start();
        camera.setLogHandler([this, marker](const QString& line) {
            if (line.contains(marker))
                times << clock.elapsed();
            if (line.contains(QStringLiteral("up again")))
                upAgainMs = clock.elapsed();
        });
    }
    QElapsedTimer clock;
    QList<qint64> times;
    qint64 upAgainMs = -1;
};

QString describeTimes(const QList<qint64>& times) {
    QStringList parts;
    for (qint64 t : times)
        parts << QString::number(t);
    return parts.join(QLatin1Char(' '));
}

// Closes the window as a user would and reports how long that took.
qint64 closeWindow(Camera& window) {
    QElapsedTimer closing;
    closing.start();
    window.close();
    return closing.elapsed();
}

// Every file passes the format checks, and the camsim frame counters show that no damaged frame
// reached a file, each file keeps the source's order, and no frame appears twice across files.
void verifyChain(const QStringList& files) {
    int previousLast = -1;
    for (const QString& file : files) {
        verifyRecording(file);
        if (QTest::currentTestFailed())
            return;
        const QVector<int> counters = recordedCounters(file);
        QVERIFY2(!counters.isEmpty(), qPrintable(file));
        QVERIFY2(!counters.contains(-1),
                 qPrintable(file + QStringLiteral(" holds a damaged frame")));
        for (int i = 1; i < counters.size(); ++i)
            QVERIFY2(counters.at(i) >= counters.at(i - 1), qPrintable(file));
        QVERIFY2(counters.first() > previousLast,
                 qPrintable(QStringLiteral("%1 starts at frame %2, the file before ended at %3")
                                .arg(file)
                                .arg(counters.first())
                                .arg(previousLast)));
        previousLast = counters.last();
    }
}
} // namespace

class TestFaults : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void streamBreaks_data();
    void streamBreaks();
    void refusedConnectionBacksOff();
    void authentication_data();
    void authentication();
    void fullDriveIsShownAndRecovers();
    void keeperKeepsRecordingOnAFullDrive();

private:
    // Writes the configuration and opens the window, which starts recording on its own.
    std::unique_ptr<Camera> openRecorder(const QStringList& urls, const QString& drive,
                                         qint64 keepFreeMiB);

    QTemporaryDir home;
    std::unique_ptr<QTemporaryDir> tempDir;
    QString dataDrive;
};

void TestFaults::initTestCase() {
    // The test-mode configuration folder lies under the home folder, which other test programs
    // running at the same time use too: this one gets a home of its own.
    QVERIFY(home.isValid());
    qputenv("HOME", QFile::encodeName(home.path()));
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty(), "needs ffmpeg");
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("ffprobe")).isEmpty(), "needs ffprobe");
}

void TestFaults::init() {
    tempDir = std::make_unique<QTemporaryDir>();
    QVERIFY(tempDir->isValid());
    dataDrive = tempDir->path() + QStringLiteral("/drive/");
    QVERIFY(QDir().mkpath(dataDrive));
}

void TestFaults::cleanup() {
    QDir(recorderConfigFolder(
             QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)))
        .removeRecursively();
    tempDir.reset();
}

std::unique_ptr<Camera> TestFaults::openRecorder(const QStringList& urls, const QString& drive,
                                                 qint64 keepFreeMiB) {
    const QString folder = recorderConfigFolder(
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
    if (!writeRecorderFiles(folder, urls, drive, keepFreeMiB))
        return nullptr;
    auto window = std::make_unique<Camera>();
    window->show();
    return window;
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
    // Down for 30 s: tries at 1, 2, 3, 4, 5 s, then every 5 s; back within 5 s of its return.
    QTest::newRow("camera down for 30 s")
        << QStringList{"--down-after", "3", "--down-for", "30"} << 6000 << 29000 << 37000;
}

void TestFaults::streamBreaks() {
    QFETCH(QStringList, faults);
    QFETCH(int, breakWithinMs);
    QFETCH(int, reconnectMinMs);
    QFETCH(int, reconnectMaxMs);

    CamsimProcess camera(kCameraShape + faults + QStringList{"--verbose"});
    RequestLog requests(camera, QStringLiteral("GET /axis-cgi/mjpg/video.cgi"));
    QVERIFY2(camera.start(), qPrintable(camera.errorString()));
    auto window = openRecorder({camera.streamUrl()}, dataDrive, 0);
    QVERIFY(window);
    ChannelConfig& panel = window->channel(0);
    LabelHistory preview(panel.previewLabel);

    QTRY_COMPARE_WITH_TIMEOUT(panel.statusLabel->text(), kRecording, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(OpenRecordings::snapshot().size(), 1, 10000);
    const QString firstFile = *OpenRecordings::snapshot().begin();
    QTRY_VERIFY_WITH_TIMEOUT(preview.shownAt(kCannotConnect) >= 0, breakWithinMs * kSlowdown);
    const qint64 brokeAtMs = requests.clock.elapsed();

    // At the break the footage so far is a complete file already, while the panel says why
    // nothing comes, with no stale picture over it, and stays armed for recording.
    QCOMPARE(panel.previewLabel->text(), kCannotConnect);
    QVERIFY(!showsPicture(panel.previewLabel));
    QCOMPARE(panel.statusLabel->text(), kRecording);
    QVERIFY(!OpenRecordings::snapshot().contains(firstFile));
    verifyRecording(firstFile);
    if (QTest::currentTestFailed())
        return;

    const int requestsBefore = requests.times.size();
    QTRY_VERIFY_WITH_TIMEOUT(requests.times.size() > requestsBefore,
                             reconnectMaxMs * kSlowdown + 2000);
    const qint64 reconnectMs = requests.times.at(requestsBefore) - brokeAtMs;
    qInfo("break after %lld ms of streaming, next request %lld ms later; requests at %s ms",
          brokeAtMs - requests.times.value(0), reconnectMs,
          qPrintable(describeTimes(requests.times)));
    QVERIFY2(reconnectMs >= reconnectMinMs && reconnectMs <= reconnectMaxMs * kSlowdown,
             qPrintable(QString::number(reconnectMs)));
    if (requests.upAgainMs >= 0) {
        const qint64 afterReturnMs = requests.times.at(requestsBefore) - requests.upAgainMs;
        QVERIFY2(afterReturnMs >= 0 && afterReturnMs <= 5500,
                 qPrintable(QString::number(afterReturnMs)));
    }

    // A new file, with pictures in the panel again.
    QTRY_VERIFY_WITH_TIMEOUT(!OpenRecordings::snapshot().isEmpty() &&
                                 !OpenRecordings::snapshot().contains(firstFile),
                             5000);
    QTRY_VERIFY_WITH_TIMEOUT(preview.shownAt(kConnected, brokeAtMs) >= 0, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(showsPicture(panel.previewLabel), 5000);
    QCOMPARE(panel.statusLabel->text(), kRecording);
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
    auto window = openRecorder({camera.streamUrl()}, dataDrive, 0);
    QVERIFY(window);
    ChannelConfig& panel = window->channel(0);

    QTRY_COMPARE_WITH_TIMEOUT(panel.previewLabel->text(), kCannotConnect, 5000);
    QCOMPARE(panel.statusLabel->text(), kRecording);
    QTRY_VERIFY(panel.stopButton->isEnabled()); // the user can give up on it
    QTRY_VERIFY_WITH_TIMEOUT(attempts.times.size() >= 7, 15000);
    qInfo("connection attempts at %s ms", qPrintable(describeTimes(attempts.times)));
    for (int i = 1; i < 6; ++i) {
        const qint64 gapMs = attempts.times.at(i) - attempts.times.at(i - 1);
        QVERIFY2(gapMs >= 800 && gapMs <= 1800, qPrintable(describeTimes(attempts.times)));
    }
    const qint64 slowGapMs = attempts.times.at(6) - attempts.times.at(5);
    QVERIFY2(slowGapMs >= 4500 && slowGapMs <= 6000, qPrintable(describeTimes(attempts.times)));
    QCOMPARE(panel.previewLabel->text(), kCannotConnect);

    const qint64 closeMs = closeWindow(*window);
    QVERIFY2(closeMs < 2000, qPrintable(QString::number(closeMs)));
    // Closed is closed: the schedule, still ticking until the window is gone, starts nothing.
    QTest::qWait(1500);
    QVERIFY(!panel.thread);
    QVERIFY(!panel.running);
    QCOMPARE(recordingFiles(dataDrive), QStringList()); // nothing seen, nothing kept
}

void TestFaults::authentication_data() {
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("admitted");
    QTest::newRow("no credentials in the URL") << QString() << QString() << false;
    QTest::newRow("wrong password") << QStringLiteral("admin") << QStringLiteral("guess") << false;
    QTest::newRow("right credentials")
        << QStringLiteral("admin") << QStringLiteral("s3cret") << true;
}

void TestFaults::authentication() {
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(bool, admitted);
    CamsimProcess camera(kCameraShape + QStringList{"--auth", "admin:s3cret", "--verbose"});
    RequestLog requests(camera, QStringLiteral("GET /axis-cgi/mjpg/video.cgi"));
    QVERIFY2(camera.start(), qPrintable(camera.errorString()));
    QUrl url(camera.streamUrl());
    if (!user.isEmpty()) {
        url.setUserName(user);
        url.setPassword(password);
    }
    auto window = openRecorder({url.toString()}, dataDrive, 0);
    QVERIFY(window);
    ChannelConfig& panel = window->channel(0);
    LabelHistory preview(panel.previewLabel);

    if (admitted) {
        QTRY_COMPARE_WITH_TIMEOUT(OpenRecordings::snapshot().size(), 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(showsPicture(panel.previewLabel), 5000);
        QTest::qWait(1500);
        QCOMPARE(preview.shownAt(kCannotConnect), -1);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(panel.previewLabel->text(), kCannotConnect, 5000);
        // Turned away, the recorder keeps asking at its back-off rate.
        QTRY_VERIFY_WITH_TIMEOUT(requests.times.size() >= 3, 5000);
        QCOMPARE(preview.shownAt(kConnected), -1);
        QVERIFY(OpenRecordings::snapshot().isEmpty());
    }
    QCOMPARE(panel.statusLabel->text(), kRecording);
    QVERIFY2(closeWindow(*window) < kCloseBoundMs, "close took too long");
    window.reset();

    const QStringList files = recordingFiles(dataDrive);
    if (!admitted) {
        QCOMPARE(files, QStringList());
        return;
    }
    QCOMPARE(files.size(), 1);
    verifyChain(files);
}

void TestFaults::fullDriveIsShownAndRecovers() {
    QString why;
    SmallVolume volume;
    if (!volume.mount(dataDrive, 32, &why))
        QSKIP(qPrintable(why));
    // Room for about ten frames, then every write fails for want of space.
    const QString filler = dataDrive + QStringLiteral("not-a-recording.bin");
    QVERIFY(fillVolume(filler, 5 << 20));

    CamsimProcess camera(kCameraShape);
    QVERIFY2(camera.start(), qPrintable(camera.errorString()));
    auto window = openRecorder({camera.streamUrl()}, dataDrive, 0);
    QVERIFY(window);
    ChannelConfig& panel = window->channel(0);
    LabelHistory preview(panel.previewLabel);

    QTRY_VERIFY_WITH_TIMEOUT(preview.shownAt(kCannotWrite) >= 0, 15000);
    QCOMPARE(panel.statusLabel->text(), kRecording);
    // The warning stays, not hidden behind the live picture, while the drive stays full.
    QTest::qWait(3000);
    QCOMPARE(panel.previewLabel->text(), kCannotWrite);
    QCOMPARE(panel.statusLabel->text(), kRecording);

    // Space is back: recording resumes by itself into a new, complete file.
    const qint64 spaceBackAtMs = preview.elapsedMs();
    QVERIFY(QFile::remove(filler));
    QTRY_VERIFY_WITH_TIMEOUT(preview.shownAt(kConnected, spaceBackAtMs) >= 0, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(showsPicture(panel.previewLabel), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(OpenRecordings::snapshot().size(), 1, 5000);
    const QString resumed = *OpenRecordings::snapshot().begin();
    QTest::qWait(1500);
    QCOMPARE(preview.shownAt(kCannotWrite, spaceBackAtMs + 2000), -1);
    qInfo("preview: %s", qPrintable(preview.describe()));

    QVERIFY2(closeWindow(*window) < kCloseBoundMs, "close took too long");
    window.reset();
    const QStringList files = recordingFiles(dataDrive);
    QVERIFY2(files.contains(resumed), qPrintable(files.join(QLatin1Char(' '))));
    for (const QString& file : files)
        qInfo("%s: %lld bytes", qPrintable(QFileInfo(file).fileName()), QFileInfo(file).size());
    verifyChain(files);
}

void TestFaults::keeperKeepsRecordingOnAFullDrive() {
    // Room for several files and a second of writing above the free space kept.
    const int volumeMiB = kSanitized ? 320 : 64;
    const int keepFreeMiB = kSanitized ? 128 : 16;
    QString why;
    SmallVolume volume;
    if (!volume.mount(dataDrive, volumeMiB, &why))
        QSKIP(qPrintable(why));
    // Files close at every break, so the keeper has closed files to delete (each ~17 MB).
    CamsimProcess camera(kCameraShape + QStringList{"--drop-after", "1.5"});
    QVERIFY2(camera.start(), qPrintable(camera.errorString()));
    auto window = openRecorder({camera.streamUrl()}, dataDrive, keepFreeMiB);
    QVERIFY(window);
    ChannelConfig& panel = window->channel(0);
    LabelHistory preview(panel.previewLabel);

    // Every file seen and the most it ever held.
    QMap<QString, qint64> largestSize;
    const auto scan = [&] {
        for (const QString& file : recordingFiles(dataDrive))
            largestSize[file] = qMax(largestSize.value(file), QFileInfo(file).size());
    };
    QTimer watch;
    connect(&watch, &QTimer::timeout, scan);
    watch.start(100);
    const auto written = [&] {
        qint64 sum = 0;
        for (qint64 size : largestSize)
            sum += size;
        return sum;
    };
    const qint64 target = 3 * qint64(volumeMiB) << 20;
    QTRY_VERIFY_WITH_TIMEOUT(written() >= target, kSanitized ? 240000 : 90000);
    watch.stop();
    qInfo("%lld MiB written onto a %d MiB volume in %d files", written() >> 20, volumeMiB,
          int(largestSize.size()));
    QCOMPARE(preview.shownAt(kCannotWrite), -1);
    QCOMPARE(panel.statusLabel->text(), kRecording);

    QVERIFY2(closeWindow(*window) < kCloseBoundMs, "close took too long");
    window.reset();
    scan(); // the last file, completed by the close
    // The oldest went first: what is left is the newest files seen, in an unbroken run.
    const QStringList left = recordingFiles(dataDrive);
    const QStringList seen = largestSize.keys(); // sorted by path, so by time
    QVERIFY(!left.isEmpty());
    QVERIFY2(left.size() < seen.size(), "nothing was deleted");
    QCOMPARE(left, seen.mid(seen.size() - left.size()));
    verifyChain(left);
}

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
