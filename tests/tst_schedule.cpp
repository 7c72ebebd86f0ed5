// ctest-labels: threaded
// The main window's one-second schedule, ticked by the test under a clock that it sets: daily
// windows (also across midnight), record on start, the user's Record and Stop holding the rules
// off, cameras without a source, and ticks that must not nest or outlive the close.
#include <QtTest>

#include "recordings/clock.h"
#include "support/recorder.h"

namespace {

constexpr int kOpenTimeoutMs = 30000; // a loaded machine, or a sanitizer build, opens slowly
const QDate kDay(2024, 3, 14);

void tick(Camera& w) {
    QVERIFY(QMetaObject::invokeMethod(&w, "checkRecordingTime"));
}

// Runs `action` and reports whether camera `index` showed the stopping state meanwhile: a posted
// event that the stop's own event processing delivers sees it.
bool stoppedDuring(Camera& w, int index, const std::function<void()>& action) {
    bool sawStopping = false;
    QLabel* status = w.channel(index).statusLabel;
    QMetaObject::invokeMethod(
        &w, [&] { sawStopping = status->text() == text(kTextStopping); }, Qt::QueuedConnection);
    action();
    QCoreApplication::processEvents();
    return sawStopping;
}

} // namespace

class ScheduleTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup() { QDir(drive + QStringLiteral("VideoData")).removeRecursively(); }

    void windowRule_data();
    void windowRule();
    void windowOpensAndCloses_data();
    void windowOpensAndCloses();
    void userHoldsTheRulesOffUntilSettingsAccepted();
    void cameraWithoutSourceNeverClaimsRecording();
    void ticksNeitherNestNorOutliveTheClose();

private:
    // A camera on the stream with this daily window in force.
    void windowed(Cameras& cameras, int index, quint32 start, quint32 stop) {
        onStream(cameras[index], camsim.streamUrl());
        cameras[index].record = true;
        cameras[index].recordStart = start;
        cameras[index].recordStop = stop;
    }
    std::unique_ptr<Camera> open(const Cameras& cameras) { return openWindow(cameras, drive, true); }

    QTemporaryDir home;
    QTemporaryDir dataDrive;
    QString drive;
    CamsimProcess camsim{{"--width", "640", "--height", "480", "--loop", "25"}};
};

void ScheduleTest::initTestCase() {
    QVERIFY(home.isValid() && dataDrive.isValid());
    isolateHome(home.path());
    drive = dataDrive.path() + QLatin1Char('/');
    QVERIFY2(camsim.start(), qPrintable(camsim.errorString()));
}

void ScheduleTest::windowRule_data() {
    QTest::addColumn<uint>("start");
    QTest::addColumn<uint>("stop");
    QTest::addColumn<bool>("record");
    QTest::addColumn<bool>("recordOnStart");
    QTest::addColumn<QTime>("now");
    QTest::addColumn<bool>("records");
    const auto row = [](const char* name, uint start, uint stop, QTime now, bool records) {
        QTest::newRow(name) << start << stop << true << false << now << records;
    };
    row("day, 17:45", 830, 1745, QTime(17, 45), false);
    row("night, midnight", 2200, 600, QTime(0, 0), true);
    row("night, 06:00", 2200, 600, QTime(6, 0), false);
    row("empty, 12:00", 1200, 1200, QTime(12, 0), false);
    QTest::newRow("empty window, record on start too")
        << 0u << 0u << true << true << QTime(12, 0) << false;
    // Without the daily window nothing stops what record on start began.
    QTest::newRow("on start only") << 0u << 0u << false << true << QTime(12, 0) << true;
}

// From idle the rules alone decide, and the next ticks leave the camera as it is: no start and
// stop every second.
void ScheduleTest::windowRule() {
    QFETCH(uint, start);
    QFETCH(uint, stop);
    QFETCH(bool, record);
    QFETCH(bool, recordOnStart);
    QFETCH(QTime, now);
    QFETCH(bool, records);
    FakeClock clock(QDateTime(kDay, now));
    Cameras cameras;
    windowed(cameras, 2, start, stop);
    cameras[2].record = record;
    cameras[2].recordOnStart = recordOnStart;
    auto w = open(cameras);
    QVERIFY(w);
    ChannelConfig& c = w->channel(2);

    tick(*w);
    const QPointer<CaptureThread> worker = c.thread;
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(bool(c.recording), records);
        QCOMPARE(c.statusLabel->text(), records ? text(kTextRecording) : QString());
        QVERIFY(worker); // recording, or running for its preview
        QCOMPARE(c.thread, worker.data());
        QVERIFY(!c.manualStart && !c.manualStop);
        QVERIFY(!stoppedDuring(*w, 2, [&] { tick(*w); }));
    }
}

void ScheduleTest::windowOpensAndCloses_data() {
    QTest::addColumn<uint>("start");
    QTest::addColumn<uint>("stop");
    QTest::addColumn<QDateTime>("closesAt"); // opens at the start time on kDay
    QTest::newRow("day") << 830u << 1745u << QDateTime(kDay, QTime(17, 45));
    QTest::newRow("night, across midnight") << 2200u << 600u << QDateTime(kDay.addDays(1), QTime(6, 0));
}

// The preview runs before the window; the recording has a worker of its own from the window's
// first second to its last, then the preview is back, and the one file holds the window.
void ScheduleTest::windowOpensAndCloses() {
    QFETCH(uint, start);
    QFETCH(uint, stop);
    QFETCH(QDateTime, closesAt);
    const QDateTime opensAt(kDay, QTime(int(start / 100), int(start % 100)));
    FakeClock clock(opensAt.addSecs(-30));
    Cameras cameras;
    windowed(cameras, 2, start, stop);
    auto w = open(cameras);
    QVERIFY(w);
    ChannelConfig& c = w->channel(2);
    QTRY_VERIFY_WITH_TIMEOUT((tick(*w), showsPicture(c.previewLabel)), kOpenTimeoutMs);
    QVERIFY(!c.recording);
    const QPointer<CaptureThread> preview = c.thread;
    QVERIFY(preview);

    clock.set(opensAt);
    tick(*w);
    QVERIFY(c.recording);
    QVERIFY(preview.isNull());
    const QPointer<CaptureThread> recorder = c.thread;
    QTRY_VERIFY_WITH_TIMEOUT(!recordingFiles(drive, 3).isEmpty(), kOpenTimeoutMs);
    QList<QDateTime> inside{closesAt.addSecs(-1)};
    if (closesAt.date() != kDay)
        inside.prepend(QDateTime(closesAt.date(), QTime(0, 0))); // the one recording goes on
    for (const QDateTime& when : inside) {
        clock.set(when);
        tick(*w);
        QVERIFY(recorder);
        QCOMPARE(c.thread, recorder.data());
    }
    clock.set(closesAt);
    QVERIFY(stoppedDuring(*w, 2, [&] { tick(*w); }));
    QVERIFY(!c.recording);
    QVERIFY(recorder.isNull());
    QCOMPARE(c.statusLabel->text(), QString());
    QVERIFY(!c.manualStop); // the schedule's own stop leaves the camera to the schedule
    QVERIFY(c.thread);      // and the preview is back on the same tick
    const QStringList files = recordingFiles(drive, 3);
    const QString name = "/camera-3-" + opensAt.toString("yyyy-MM-dd_HH-mm-ss") + "-0000.avi";
    QVERIFY2(files.size() == 1 && files.first().endsWith(name), qPrintable(files.join(' ')));
    verifyRecording(files.first());
}

// Record outside the window and Stop inside it hold until the user accepts a settings dialog;
// a rejected one changes nothing.
void ScheduleTest::userHoldsTheRulesOffUntilSettingsAccepted() {
    FakeClock clock(QDateTime(kDay, QTime(18, 0)));
    Cameras cameras;
    windowed(cameras, 3, 830, 1745);
    windowed(cameras, 5, 830, 1745);
    auto w = open(cameras);
    QVERIFY(w);
    ChannelConfig& three = w->channel(3);
    ChannelConfig& five = w->channel(5);
    tick(*w);
    QVERIFY(!three.recording);
    three.recordButton->click();
    QVERIFY(three.recording && three.manualStart);

    clock.setTime(10, 0);
    tick(*w);
    QVERIFY(five.recording);
    QTRY_VERIFY_WITH_TIMEOUT(five.stopButton->isEnabled(), kOpenTimeoutMs);
    five.stopButton->click();
    QVERIFY(!five.recording && five.manualStop);

    clock.setTime(18, 0);
    for (int i = 0; i < 3; ++i) {
        tick(*w);
        QVERIFY(three.recording); // outside its window, yet recording: the user asked for it
    }
    clock.setTime(10, 0);
    tick(*w);
    QVERIFY(!five.recording); // inside its window, yet stopped
    QVERIFY(five.thread);     // with its preview back

    answerNextDialog(false); // a rejected dialog changes nothing
    w->configureDataSettings();
    tick(*w);
    QVERIFY(!five.recording && five.manualStop);

    answerNextDialog(true);
    five.setCameraButton->click();
    QCOMPARE(five.url, camsim.streamUrl());
    tick(*w);
    QVERIFY(five.recording);
    QVERIFY(three.recording);

    clock.setTime(18, 0);
    answerNextDialog(true);
    w->configureDataSettings(); // hands every camera back to the schedule
    QVERIFY(stoppedDuring(*w, 3, [&] { tick(*w); }));
    QVERIFY(!three.recording && !three.manualStart);
}

// Cameras without a source (an IP camera without url, a url on a camera not configured, a local
// device that is absent), also once a settings dialog was accepted, never claim to record.
void ScheduleTest::cameraWithoutSourceNeverClaimsRecording() {
    FakeClock clock(QDateTime(kDay, QTime(12, 0)));
    Cameras cameras;
    for (int i : {5, 6, 7}) {
        windowed(cameras, i, 0, 2359);
        cameras[i].recordOnStart = true;
    }
    cameras[5].url.clear();
    cameras[6].cameraType = -1;
    cameras[7].cameraType = 0;
    cameras[7].url.clear();
    auto w = open(cameras);
    QVERIFY(w);
    for (int round = 0; round < 3; ++round) {
        if (round == 1) { // the dialog keeps the empty url and stores its empty device entry
            answerNextDialog(true);
            w->channel(5).setCameraButton->click();
            QVERIFY(w->channel(5).record && w->channel(5).url.isEmpty());
        }
        tick(*w);
        for (int i : {5, 6, 7}) {
            ChannelConfig& c = w->channel(i);
            QCOMPARE(c.statusLabel->text(), QString());
            QVERIFY2(!c.recording && !c.thread && !c.recordButton->isEnabled(),
                     qPrintable(QString::number(i + 1)));
        }
    }
}

// A tick delivered while a tick processes events does nothing; a close delivered then ends the
// tick, and nothing is started behind it, not even by a tick still queued.
void ScheduleTest::ticksNeitherNestNorOutliveTheClose() {
    FakeClock clock(QDateTime(kDay, QTime(12, 0)));
    Cameras cameras;
    onStream(cameras[0], camsim.streamUrl());
    onStream(cameras[1], camsim.streamUrl());
    windowed(cameras, 2, 0, 2359);
    auto w = open(cameras);
    QVERIFY(w);
    // Ticks until the first camera's picture is shown: from then on each tick processes events.
    QTRY_VERIFY_WITH_TIMEOUT((tick(*w), showsPicture(w->channel(0).previewLabel)),
                             kOpenTimeoutMs);
    QVERIFY(w->channel(2).recording);

    clock.resetGuiReads();
    for (int i = 0; i < 3; ++i)
        QMetaObject::invokeMethod(w.get(), "checkRecordingTime", Qt::QueuedConnection);
    bool deliveredInsideTick = false;
    QMetaObject::invokeMethod(
        w.get(), [&] { deliveredInsideTick = true; }, Qt::QueuedConnection);
    tick(*w);
    QVERIFY(deliveredInsideTick); // the queued ticks came before this, inside the first tick
    QCOMPARE(clock.guiReads(), 1);
    QCoreApplication::processEvents();
    QCOMPARE(clock.guiReads(), 1); // and none of them was left for later
    tick(*w);
    QCOMPARE(clock.guiReads(), 2); // the guard was released

    QMetaObject::invokeMethod(w.get(), "close", Qt::QueuedConnection);
    tick(*w);
    QVERIFY(!w->isVisible());
    tick(*w);
    for (int i = 0; i < kCameraCount; ++i) {
        QVERIFY2(!w->channel(i).thread, qPrintable(QString::number(i + 1)));
        QVERIFY(!w->channel(i).recording);
    }
}

QTEST_MAIN(ScheduleTest)
#include "tst_schedule.moc"
