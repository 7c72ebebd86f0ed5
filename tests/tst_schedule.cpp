// ctest-labels: threaded
// The one-second schedule of the main window, ticked by the test under a clock that it sets: daily
// windows (also across midnight), record on start, manual control, the upkeep of IP cameras'
// workers, and ticks that must not nest.
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "app/camera.h"
#include "capture/capturethread.h"
#include "capture/clock.h"
#include "support/windowfixture.h"

namespace {

const QString kRecording = QStringLiteral("* RECORDING *");
const QString kStopping = QStringLiteral("* STOPPING... *");
constexpr int kOpenTimeoutMs = 30000;
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
        &w, [&] { sawStopping = status->text() == kStopping; }, Qt::QueuedConnection);
    action();
    QCoreApplication::processEvents();
    return sawStopping;
}

} // namespace

class ScheduleTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();

    void windowRule_data();
    void windowRule();
    void dayWindowOpensAndCloses();
    void nightWindowRecordsAcrossMidnight();
    void emptyWindow_data();
    void emptyWindow();
    void recordOnStartKeepsItsWorker();
    void manualStartHoldsTheRulesOff();
    void manualStopHoldsTheRulesOffUntilSettingsAccepted();
    void upkeepRestartsIpCamerasForPreviewOnly();
    void cameraWithoutSourceNeverClaimsRecording_data();
    void cameraWithoutSourceNeverClaimsRecording();
    void tickDuringTickDoesNothing();
    void closeDuringTickStartsNothing();

private:
    // A camera on the stream with this daily window in force.
    void windowed(WindowFixture::Cameras& cameras, int index, quint32 start, quint32 stop) {
        env.streamOn(cameras, index);
        cameras[index].record = true;
        cameras[index].recordStart = start;
        cameras[index].recordStop = stop;
    }

    WindowTestEnvironment env;
};

void ScheduleTest::initTestCase() {
    QString error;
    QVERIFY2(env.setUp(&error), qPrintable(error));
}

void ScheduleTest::cleanup() {
    WindowFixture::removeFiles();
    Clock::setSource({}); // in case a test left early with its clock still installed
}

void ScheduleTest::windowRule_data() {
    QTest::addColumn<uint>("start");
    QTest::addColumn<uint>("stop");
    QTest::addColumn<QTime>("now");
    QTest::addColumn<bool>("records");

    QTest::newRow("day, 08:29") << 830u << 1745u << QTime(8, 29, 59) << false;
    QTest::newRow("day, 08:30") << 830u << 1745u << QTime(8, 30) << true;
    QTest::newRow("day, 17:44") << 830u << 1745u << QTime(17, 44, 59) << true;
    QTest::newRow("day, 17:45") << 830u << 1745u << QTime(17, 45) << false;
    QTest::newRow("day, midnight") << 830u << 1745u << QTime(0, 0) << false;
    QTest::newRow("night, 21:59") << 2200u << 600u << QTime(21, 59, 59) << false;
    QTest::newRow("night, 22:00") << 2200u << 600u << QTime(22, 0) << true;
    QTest::newRow("night, 23:00") << 2200u << 600u << QTime(23, 0) << true;
    QTest::newRow("night, midnight") << 2200u << 600u << QTime(0, 0) << true;
    QTest::newRow("night, 05:59") << 2200u << 600u << QTime(5, 59, 59) << true;
    QTest::newRow("night, 06:00") << 2200u << 600u << QTime(6, 0) << false;
    QTest::newRow("empty, 00:00") << 0u << 0u << QTime(0, 0) << false;
    QTest::newRow("empty, 12:00") << 1200u << 1200u << QTime(12, 0) << false;
}

// One tick from idle: the window rule alone decides.
void ScheduleTest::windowRule() {
    QFETCH(uint, start);
    QFETCH(uint, stop);
    QFETCH(QTime, now);
    QFETCH(bool, records);
    FakeClock clock(QDateTime(kDay, now));
    WindowFixture::Cameras cameras;
    windowed(cameras, 2, start, stop);
    auto w = env.openWindow(cameras);
    QVERIFY(w);
    ChannelConfig& c = w->channel(2);

    tick(*w);

    QCOMPARE(bool(c.recording), records);
    QCOMPARE(c.statusLabel->text(), records ? kRecording : QString());
    QVERIFY(!c.manualStart); // a schedule start is no manual one
    QVERIFY(!c.manualStop);
    QVERIFY(c.thread); // recording, or running for its preview
    QVERIFY(c.running);
}

void ScheduleTest::dayWindowOpensAndCloses() {
    FakeClock clock(QDateTime(kDay, QTime(8, 29, 30)));
    WindowFixture::Cameras cameras;
    windowed(cameras, 2, 830, 1745);
    auto w = env.openWindow(cameras);
    QVERIFY(w);
    ChannelConfig& c = w->channel(2);

    // The preview runs, frame after frame, when the window opens.
    QTRY_VERIFY_WITH_TIMEOUT((tick(*w), !c.previewLabel->pixmap(Qt::ReturnByValue).isNull()),
                             kOpenTimeoutMs);
    QVERIFY(!c.recording);
    const QPointer<CaptureThread> preview = c.thread;
    QVERIFY(preview);

    clock.setTime(8, 30);
    tick(*w);
    QVERIFY(c.recording);
    QVERIFY(preview.isNull()); // the recording has a worker of its own, from its first frame
    const QPointer<CaptureThread> recorder = c.thread;
    QVERIFY(recorder);
    QTRY_VERIFY_WITH_TIMEOUT(c.stopButton->isEnabled(), kOpenTimeoutMs);
    const QString drive = env.drive();
    QTRY_VERIFY_WITH_TIMEOUT(!WindowFixture::recordings(drive, 3).isEmpty(), kOpenTimeoutMs);

    clock.setTime(17, 44, 59);
    tick(*w);
    QVERIFY(c.recording);
    QCOMPARE(c.thread, recorder.data());
    QVERIFY(recorder);

    clock.setTime(17, 45);
    QVERIFY(stoppedDuring(*w, 2, [&] { tick(*w); }));
    QVERIFY(!c.recording);
    QVERIFY(recorder.isNull());
    QCOMPARE(c.statusLabel->text(), QString());
    QVERIFY(!c.manualStop); // the schedule's own stop leaves the camera to the schedule
    QVERIFY(c.thread);      // and the preview is back on the same tick
    QVERIFY(c.running);
    // One file, begun when the window opened: the preview worker wrote nothing meanwhile.
    const QStringList files = WindowFixture::recordings(drive, 3);
    QVERIFY2(files.size() == 1 && files.first().endsWith("camera-3-2024-03-14_08-30-00-0000.avi"),
             qPrintable(files.join(' ')));
}

void ScheduleTest::nightWindowRecordsAcrossMidnight() {
    FakeClock clock(QDateTime(kDay, QTime(21, 59)));
    WindowFixture::Cameras cameras;
    windowed(cameras, 6, 2200, 600);
    auto w = env.openWindow(cameras);
    QVERIFY(w);
    ChannelConfig& c = w->channel(6);

    tick(*w);
    QVERIFY(!c.recording);
    clock.set(QDateTime(kDay, QTime(23, 0)));
    tick(*w);
    QVERIFY(c.recording);
    const QPointer<CaptureThread> recorder = c.thread;
    for (const QTime t : {QTime(23, 59, 59), QTime(0, 0), QTime(5, 59, 59)}) {
        clock.set(QDateTime(kDay.addDays(1), t));
        tick(*w);
        QVERIFY(c.recording);
        QVERIFY(recorder); // the one recording goes on through midnight
        QCOMPARE(c.thread, recorder.data());
    }
    clock.set(QDateTime(kDay.addDays(1), QTime(6, 0)));
    tick(*w);
    QVERIFY(!c.recording);
    QVERIFY(recorder.isNull());
    QVERIFY(!c.manualStop);
}

void ScheduleTest::emptyWindow_data() {
    QTest::addColumn<bool>("record");
    QTest::addColumn<bool>("recordOnStart");
    QTest::addColumn<uint>("bounds"); // start == stop
    QTest::addColumn<bool>("startedThenStopped");
    QTest::addColumn<bool>("recordsAfter");

    QTest::newRow("never configured, record + on start") << true << true << 0u << true << false;
    QTest::newRow("12:00 to 12:00, record + on start") << true << true << 1200u << true << false;
    QTest::newRow("record only") << true << false << 1200u << false << false;
    // Without the daily window nothing stops what record on start began.
    QTest::newRow("on start only") << false << true << 0u << false << true;
}

void ScheduleTest::emptyWindow() {
    QFETCH(bool, record);
    QFETCH(bool, recordOnStart);
    QFETCH(uint, bounds);
    QFETCH(bool, startedThenStopped);
    QFETCH(bool, recordsAfter);
    FakeClock clock(QDateTime(kDay, QTime(12, 0)));
    WindowFixture::Cameras cameras;
    windowed(cameras, 0, bounds, bounds);
    cameras[0].record = record;
    cameras[0].recordOnStart = recordOnStart;
    auto w = env.openWindow(cameras);
    QVERIFY(w);
    ChannelConfig& c = w->channel(0);

    QCOMPARE(stoppedDuring(*w, 0, [&] { tick(*w); }), startedThenStopped);
    QCOMPARE(bool(c.recording), recordsAfter);
    QCOMPARE(c.statusLabel->text(), recordsAfter ? kRecording : QString());
    QVERIFY(!c.manualStart);
    QVERIFY(!c.manualStop);
    QVERIFY(c.thread);

    // The next ticks leave the camera as it is: no start and stop every second.
    const QPointer<CaptureThread> worker = c.thread;
    for (int i = 0; i < 3; ++i) {
        clock.setTime(12, 0, 10 * (i + 1));
        QVERIFY(!stoppedDuring(*w, 0, [&] { tick(*w); }));
    }
    QVERIFY(worker);
    QCOMPARE(c.thread, worker.data());
    QCOMPARE(bool(c.recording), recordsAfter);
}

void ScheduleTest::recordOnStartKeepsItsWorker() {
    FakeClock clock(QDateTime(kDay, QTime(3, 0)));
    WindowFixture::Cameras cameras;
    env.streamOn(cameras, 4);
    cameras[4].recordOnStart = true;
    auto w = env.openWindow(cameras);
    QVERIFY(w);
    ChannelConfig& c = w->channel(4);

    tick(*w);
    QVERIFY(c.recording);
    QVERIFY(!c.manualStart);
    QCOMPARE(c.statusLabel->text(), kRecording);
    const QPointer<CaptureThread> worker = c.thread;
    QVERIFY(worker);
    QTRY_VERIFY_WITH_TIMEOUT(c.stopButton->isEnabled(), kOpenTimeoutMs);
    for (int i = 0; i < 3; ++i)
        tick(*w);
    QCOMPARE(c.thread, worker.data());

    // Stopped by hand it stays stopped; the preview comes back.
    c.stopButton->click();
    QVERIFY(c.manualStop);
    tick(*w);
    QVERIFY(!c.recording);
    QVERIFY(c.thread);
    QCOMPARE(c.statusLabel->text(), QString());
}

void ScheduleTest::manualStartHoldsTheRulesOff() {
    FakeClock clock(QDateTime(kDay, QTime(18, 0)));
    WindowFixture::Cameras cameras;
    windowed(cameras, 3, 830, 1745);
    auto w = env.openWindow(cameras);
    QVERIFY(w);
    ChannelConfig& c = w->channel(3);
    tick(*w);
    QVERIFY(!c.recording);

    c.recordButton->click();
    QVERIFY(c.recording);
    QVERIFY(c.manualStart);
    for (int i = 0; i < 3; ++i) {
        tick(*w); // outside its window, yet recording: the user asked for it
        QVERIFY(c.recording);
    }

    // What accepting the Data Settings dialog does to every camera.
    for (int i = 0; i < kCameraCount; ++i) {
        w->channel(i).manualStart = false;
        w->channel(i).manualStop = false;
    }
    QVERIFY(stoppedDuring(*w, 3, [&] { tick(*w); }));
    QVERIFY(!c.recording);
    QVERIFY(!c.manualStop);
}

void ScheduleTest::manualStopHoldsTheRulesOffUntilSettingsAccepted() {
    FakeClock clock(QDateTime(kDay, QTime(10, 0)));
    WindowFixture::Cameras cameras;
    windowed(cameras, 5, 830, 1745);
    auto w = env.openWindow(cameras);
    QVERIFY(w);
    ChannelConfig& c = w->channel(5);
    tick(*w);
    QVERIFY(c.recording);
    QTRY_VERIFY_WITH_TIMEOUT(c.stopButton->isEnabled(), kOpenTimeoutMs);

    c.stopButton->click();
    QVERIFY(!c.recording);
    QVERIFY(c.manualStop);
    for (int i = 0; i < 3; ++i) {
        tick(*w); // inside its window, yet stopped: the user asked for it
        QVERIFY(!c.recording);
    }

    // A rejected dialog changes nothing; an accepted one hands the camera back.
    WindowFixture::answerNextDialog(false);
    c.setCameraButton->click();
    QVERIFY(c.manualStop);
    tick(*w);
    QVERIFY(!c.recording);

    WindowFixture::answerNextDialog(true);
    c.setCameraButton->click();
    QVERIFY(!c.manualStop);
    QVERIFY(!c.manualStart);
    QCOMPARE(c.url, env.streamUrl());
    tick(*w);
    QVERIFY(c.recording);
    QCOMPARE(c.statusLabel->text(), kRecording);
}

void ScheduleTest::upkeepRestartsIpCamerasForPreviewOnly() {
    FakeClock clock(QDateTime(kDay, QTime(12, 0)));
    WindowFixture::Cameras cameras;
    env.streamOn(cameras, 0);
    cameras[1].cameraType = 0; // local camera, its device absent
    cameras[2].cameraType = -1;
    cameras[2].url = env.streamUrl(); // a stray url on a camera that is not configured
    auto w = env.openWindow(cameras);
    QVERIFY(w);
    ChannelConfig& ip = w->channel(0);

    tick(*w);
    QVERIFY(ip.thread);
    QVERIFY(!ip.recording);

    ip.recordButton->click();
    QTRY_VERIFY_WITH_TIMEOUT(ip.stopButton->isEnabled(), kOpenTimeoutMs);
    ip.stopButton->click();
    QVERIFY(!ip.thread);

    tick(*w);
    QVERIFY(ip.thread);
    QVERIFY(ip.running);
    QVERIFY(!ip.recording);
    QVERIFY(ip.manualStop); // preview only: the user's stop still holds
    QCOMPARE(ip.statusLabel->text(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(ip.previewLabel->text(), QStringLiteral("CONNECTED"), kOpenTimeoutMs);

    // Its worker enables Stop once the stream is open; pressed, it leaves the preview and the
    // schedule alone.
    QTRY_VERIFY_WITH_TIMEOUT(ip.stopButton->isEnabled(), kOpenTimeoutMs);
    ip.manualStop = false;
    const QPointer<CaptureThread> preview = ip.thread;
    ip.stopButton->click();
    QVERIFY(!ip.manualStop);
    QVERIFY(preview);
    QCOMPARE(ip.thread, preview.data());
    QVERIFY(!ip.stopButton->isEnabled());

    for (int i = 0; i < 3; ++i)
        tick(*w);
    for (int i = 1; i < kCameraCount; ++i) {
        QVERIFY2(!w->channel(i).thread, qPrintable(QString::number(i + 1)));
        QVERIFY(!w->channel(i).running);
    }
}

void ScheduleTest::cameraWithoutSourceNeverClaimsRecording_data() {
    QTest::addColumn<int>("cameraType");
    QTest::addColumn<bool>("withUrl");
    QTest::addColumn<bool>("settingsAccepted");
    QTest::newRow("ip camera without url") << 1 << false << false;
    QTest::newRow("ip camera without url, settings accepted") << 1 << false << true;
    QTest::newRow("not configured, with a url") << -1 << true << false;
    QTest::newRow("local camera, device absent") << 0 << false << false;
}

void ScheduleTest::cameraWithoutSourceNeverClaimsRecording() {
    QFETCH(int, cameraType);
    QFETCH(bool, withUrl);
    QFETCH(bool, settingsAccepted);
    FakeClock clock(QDateTime(kDay, QTime(12, 0)));
    WindowFixture::Cameras cameras;
    windowed(cameras, 7, 0, 2359);
    cameras[7].cameraType = cameraType;
    cameras[7].recordOnStart = true;
    if (!withUrl)
        cameras[7].url.clear();
    auto w = env.openWindow(cameras);
    QVERIFY(w);
    ChannelConfig& c = w->channel(7);
    if (settingsAccepted) {
        // The dialog keeps the empty url and stores its empty device entry.
        WindowFixture::answerNextDialog(true);
        c.setCameraButton->click();
        QVERIFY(c.record);
        QVERIFY(c.recordOnStart);
        QVERIFY(c.url.isEmpty());
    }

    for (int i = 0; i < 3; ++i) {
        tick(*w);
        QCOMPARE(c.statusLabel->text(), QString());
        QVERIFY(!c.recording);
        QVERIFY(!c.thread);
        QVERIFY(!c.recordButton->isEnabled());
    }
}

void ScheduleTest::tickDuringTickDoesNothing() {
    FakeClock clock(QDateTime(kDay, QTime(12, 0)));
    WindowFixture::Cameras cameras;
    env.streamOn(cameras, 0);
    env.streamOn(cameras, 1);
    auto w = env.openWindow(cameras);
    QVERIFY(w);
    QLabel* preview = w->channel(0).previewLabel;
    // Ticks until the first camera's picture is shown: from then on each tick processes events.
    QTRY_VERIFY_WITH_TIMEOUT((tick(*w), !preview->pixmap(Qt::ReturnByValue).isNull()),
                             kOpenTimeoutMs);

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
}

// A close delivered while a tick processes events ends the tick: nothing is started behind it.
void ScheduleTest::closeDuringTickStartsNothing() {
    FakeClock clock(QDateTime(kDay, QTime(12, 0)));
    WindowFixture::Cameras cameras;
    env.streamOn(cameras, 0);
    env.streamOn(cameras, 1);
    windowed(cameras, 2, 0, 2359);
    auto w = env.openWindow(cameras);
    QVERIFY(w);
    QLabel* preview = w->channel(0).previewLabel;
    QTRY_VERIFY_WITH_TIMEOUT((tick(*w), !preview->pixmap(Qt::ReturnByValue).isNull()),
                             kOpenTimeoutMs);
    QVERIFY(w->channel(1).thread);
    QVERIFY(w->channel(2).recording);

    QMetaObject::invokeMethod(w.get(), "close", Qt::QueuedConnection);
    tick(*w);

    QVERIFY(!w->isVisible());
    for (int i = 0; i < kCameraCount; ++i) {
        QVERIFY2(!w->channel(i).thread, qPrintable(QString::number(i + 1)));
        QVERIFY(!w->channel(i).recording);
    }
    tick(*w); // a tick still queued when the window closed
    for (int i = 0; i < kCameraCount; ++i)
        QVERIFY2(!w->channel(i).thread, qPrintable(QString::number(i + 1)));
}

QTEST_MAIN(ScheduleTest)
#include "tst_schedule.moc"
