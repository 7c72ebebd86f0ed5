// ctest-labels: threaded
// The whole recorder (the real main window, offscreen) against failing cameras: nothing recorded
// may be lost, no file may be damaged, nothing may hang, and the panel must say what is happening.
// (tst_fulldrive does the same for a data drive that fills up.)
#include <sys/resource.h>

#include <QUrl>
#include <QtTest>

#include "recordings/openrecordings.h"
#include "support/recorder.h"

namespace {
// Waits on the recorder stretch by this much in a sanitized build.
constexpr int kSlowdown = kSanitized ? 3 : 1;

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

private:
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
    auto window = openRecorder(url.toString(), dataDrive);
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
    auto window = openRecorder(camera.streamUrl(), dataDrive);
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

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
