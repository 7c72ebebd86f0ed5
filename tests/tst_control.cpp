// ctest-labels: threaded
// The Record and Stop control of the main window: what each panel shows and allows in each state
// of its camera, and the order in which workers are stopped, replaced and started.
#include <atomic>

#include <QCameraViewfinder>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "app/camera.h"
#include "capture/capturethread.h"
#include "support/windowfixture.h"

namespace {

const QString kRecording = QStringLiteral("* RECORDING *");
const QString kStopping = QStringLiteral("* STOPPING... *");
const QString kConnecting = QStringLiteral("CONNECTING TO SITE...");
const QString kConnected = QStringLiteral("CONNECTED");
constexpr int kOpenTimeoutMs = 30000; // a loaded machine, or a sanitizer build, opens slowly

// Records what a widget looked like at each event of one type, as it happened.
class EventLog final : public QObject {
public:
    EventLog(QWidget* widget, QEvent::Type type, std::function<QString()> snapshot)
        : type(type)
        , snapshot(std::move(snapshot)) {
        widget->installEventFilter(this);
    }
    QStringList seen;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == type)
            seen << snapshot();
        return false;
    }

private:
    QEvent::Type type;
    std::function<QString()> snapshot;
};

} // namespace

class ControlTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();

    void panelStates_data();
    void panelStates();
    void stopShowsStoppingBeforeTheWait();
    void startCameraReplacesRunningWorker_data();
    void startCameraReplacesRunningWorker();
    void recordOnePanelWhileAnotherRecords();
    void stopCameraWithoutWorkerRefreshesButtons();
    void startCameraWithoutSourceDoesNothing_data();
    void startCameraWithoutSourceDoesNothing();

private:
    WindowTestEnvironment env;
};

void ControlTest::initTestCase() {
    QString error;
    QVERIFY2(env.setUp(&error), qPrintable(error));
}

void ControlTest::cleanup() {
    WindowFixture::removeFiles();
}

enum class Action { None, StartCamera, StartRecording, StartRecordingOpened, StopRecording };
Q_DECLARE_METATYPE(Action)

// The Record / Stop / Set Camera table, reached through the real operations.
void ControlTest::panelStates_data() {
    QTest::addColumn<int>("cameraType");
    QTest::addColumn<bool>("stream");
    QTest::addColumn<Action>("action");
    QTest::addColumn<bool>("recordEnabled");
    QTest::addColumn<bool>("stopEnabled");
    QTest::addColumn<bool>("setCameraEnabled");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("preview"); // null: not checked

    QTest::newRow("not configured")
        << -1 << false << Action::None << false << false << true << QString() << QString("");
    QTest::newRow("ip camera without url")
        << 1 << false << Action::None << false << false << true << QString() << QString("");
    QTest::newRow("analogue camera, device absent")
        << 0 << false << Action::None << false << false << true << QString() << QString();
    QTest::newRow("ip camera idle")
        << 1 << true << Action::None << true << false << true << QString() << QString("");
    QTest::newRow("connecting to record") << 1 << true << Action::StartRecording << false << false
                                          << false << kRecording << kConnecting;
    QTest::newRow("recording") << 1 << true << Action::StartRecordingOpened << false << true
                               << false << kRecording << kConnected;
    QTest::newRow("stopped by hand")
        << 1 << true << Action::StopRecording << true << false << true << QString() << QString();
}

void ControlTest::panelStates() {
    QFETCH(int, cameraType);
    QFETCH(bool, stream);
    QFETCH(Action, action);
    QFETCH(bool, recordEnabled);
    QFETCH(bool, stopEnabled);
    QFETCH(bool, setCameraEnabled);
    QFETCH(QString, status);
    QFETCH(QString, preview);

    WindowFixture::Cameras cameras;
    cameras[5].cameraType = cameraType;
    cameras[5].deviceName = QStringLiteral("/dev/no-such-camera");
    if (stream)
        env.streamOn(cameras, 5);
    auto w = env.openWindow(cameras);
    QVERIFY(w);
    ChannelConfig& c = w->channel(5);

    switch (action) {
    case Action::None:
        break;
    case Action::StartCamera:
        w->startCamera(5);
        break;
    case Action::StartRecording:
        c.recordButton->click();
        break;
    case Action::StartRecordingOpened:
        c.recordButton->click();
        QTRY_VERIFY_WITH_TIMEOUT(c.stopButton->isEnabled(), kOpenTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(c.previewLabel->text(), kConnected, kOpenTimeoutMs);
        break;
    case Action::StopRecording:
        c.recordButton->click();
        QTRY_VERIFY_WITH_TIMEOUT(c.stopButton->isEnabled(), kOpenTimeoutMs);
        c.stopButton->click();
        QVERIFY(c.manualStop);
        QVERIFY(!c.thread);
        break;
    }

    QCOMPARE(c.recordButton->isEnabled(), recordEnabled);
    QCOMPARE(c.stopButton->isEnabled(), stopEnabled);
    QCOMPARE(c.setCameraButton->isEnabled(), setCameraEnabled);
    QCOMPARE(c.statusLabel->text(), status);
    const QPalette palette = c.statusLabel->palette();
    QCOMPARE(palette.color(QPalette::Window), QColor(status.isEmpty() ? Qt::transparent : Qt::red));
    QCOMPARE(palette.color(QPalette::WindowText),
             QColor(status.isEmpty() ? Qt::transparent : Qt::white));
    if (!preview.isNull())
        QCOMPARE(c.previewLabel->text(), preview);
    // The picture of an IP camera is its preview label, of a local one the viewfinder.
    if (cameraType == 1)
        QVERIFY(c.previewLabel->isVisible() && !c.viewfinder->isVisible());
    if (cameraType == 0)
        QVERIFY(c.viewfinder->isVisible() && !c.previewLabel->isVisible());
    // The neighbours are untouched by this panel's state.
    QVERIFY(!w->channel(4).recordButton->isEnabled());
    QVERIFY(w->channel(4).setCameraButton->isEnabled());
}

void ControlTest::stopShowsStoppingBeforeTheWait() {
    WindowFixture::Cameras cameras;
    env.streamOn(cameras, 3);
    env.streamOn(cameras, 6);
    auto w = env.openWindow(cameras);
    QVERIFY(w);
    ChannelConfig& c = w->channel(3);
    ChannelConfig& other = w->channel(6);
    c.recordButton->click();
    QTRY_VERIFY_WITH_TIMEOUT(c.stopButton->isEnabled(), kOpenTimeoutMs);
    other.recordButton->click();
    QTRY_VERIFY_WITH_TIMEOUT(other.stopButton->isEnabled(), kOpenTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!WindowFixture::recordings(env.drive(), 4).isEmpty(), kOpenTimeoutMs);

    const QPointer<CaptureThread> worker = c.thread;
    const auto describe = [&] {
        return QStringLiteral("%1|%2|%3|worker %4|record %5 stop %6 set %7")
            .arg(c.statusLabel->text(), c.statusLabel->palette().color(QPalette::WindowText).name(),
                 c.statusLabel->palette().color(QPalette::Window).name(),
                 QLatin1String(worker && worker->isRunning() ? "running" : "gone"))
            .arg(c.recordButton->isEnabled())
            .arg(c.stopButton->isEnabled())
            .arg(c.setCameraButton->isEnabled());
    };
    EventLog paints(c.statusLabel, QEvent::Paint, describe);
    QString duringEvents;
    bool otherStopEnabled = false;
    QMetaObject::invokeMethod(
        w.get(),
        [&] {
            duringEvents = describe();
            otherStopEnabled = other.stopButton->isEnabled();
        },
        Qt::QueuedConnection);

    c.stopButton->click();

    // While the events were processed the label said so, and the worker still ran.
    const QString stopping = kStopping + QStringLiteral("|#ffffff|#0000ff|worker running|");
    QCOMPARE(duringEvents, stopping + QStringLiteral("record 0 stop 1 set 0"));
    QVERIFY(otherStopEnabled); // other panels' Stop go disabled only for the wait itself
    QVERIFY2(paints.seen.filter(stopping).size() > 0, qPrintable(paints.seen.join('\n')));

    // Then idle, under manual control; the other panel records on.
    QVERIFY(worker.isNull());
    QVERIFY(!c.thread);
    QVERIFY(!c.recording);
    QVERIFY(!c.running);
    QVERIFY(c.manualStop);
    QCOMPARE(c.statusLabel->text(), QString());
    QVERIFY(c.recordButton->isEnabled());
    QVERIFY(!c.stopButton->isEnabled());
    QVERIFY(other.recording);
    QVERIFY(other.stopButton->isEnabled());
    QCOMPARE(other.statusLabel->text(), kRecording);
}

void ControlTest::startCameraReplacesRunningWorker_data() {
    QTest::addColumn<bool>("recording");
    QTest::newRow("preview only") << false;
    QTest::newRow("recording") << true;
}

void ControlTest::startCameraReplacesRunningWorker() {
    QFETCH(bool, recording);
    WindowFixture::Cameras cameras;
    env.streamOn(cameras, 1);
    auto w = env.openWindow(cameras);
    QVERIFY(w);
    ChannelConfig& c = w->channel(1);
    const QString drive = env.drive();
    const int filesBefore = WindowFixture::recordings(drive, 2).size();

    if (recording)
        c.recordButton->click();
    else
        w->startCamera(1);
    QTRY_COMPARE_WITH_TIMEOUT(c.previewLabel->text(), kConnected, kOpenTimeoutMs);
    if (recording)
        QTRY_COMPARE_WITH_TIMEOUT(WindowFixture::recordings(drive, 2).size(), filesBefore + 1,
                                  kOpenTimeoutMs);

    CaptureThread* old = c.thread;
    QVERIFY(old);
    std::atomic<bool> oldFinished{false};
    connect(
        old, &QThread::finished, old, [&] { oldFinished = true; }, Qt::DirectConnection);
    bool destroyed = false;
    bool finishedBeforeDelete = false;
    CaptureThread* recordAtDelete = nullptr;
    bool runningAtDelete = true;
    connect(old, &QObject::destroyed, [&] {
        destroyed = true;
        finishedBeforeDelete = oldFinished;
        recordAtDelete = c.thread;
        runningAtDelete = c.running;
    });

    w->startCamera(1);

    QVERIFY(destroyed);
    QVERIFY(finishedBeforeDelete);
    // The record still named the old worker when it went: no second worker existed beside it.
    QCOMPARE(recordAtDelete, old);
    QVERIFY(!runningAtDelete);
    QVERIFY(c.thread);
    QVERIFY(c.running);
    QCOMPARE(bool(c.recording), recording);
    QCOMPARE(c.previewLabel->text(), kConnecting);
    QTRY_COMPARE_WITH_TIMEOUT(c.previewLabel->text(), kConnected, kOpenTimeoutMs);
    if (recording) {
        // The new worker records into a file of its own.
        QTRY_COMPARE_WITH_TIMEOUT(WindowFixture::recordings(drive, 2).size(), filesBefore + 2,
                                  kOpenTimeoutMs);
        QCOMPARE(c.statusLabel->text(), kRecording);
    } else {
        QCOMPARE(WindowFixture::recordings(drive, 2).size(), filesBefore);
        QCOMPARE(c.statusLabel->text(), QString());
    }
}

void ControlTest::recordOnePanelWhileAnotherRecords() {
    WindowFixture::Cameras cameras;
    env.streamOn(cameras, 1);
    env.streamOn(cameras, 4);
    auto w = env.openWindow(cameras);
    QVERIFY(w);
    ChannelConfig& two = w->channel(1);
    ChannelConfig& five = w->channel(4);
    five.recordButton->click();
    QTRY_VERIFY_WITH_TIMEOUT(five.stopButton->isEnabled(), kOpenTimeoutMs);
    const QPointer<CaptureThread> fiveWorker = five.thread;

    EventLog fiveStop(five.stopButton, QEvent::EnabledChange,
                      [&] { return QString::number(five.stopButton->isEnabled()); });
    EventLog fiveRecord(five.recordButton, QEvent::EnabledChange,
                        [&] { return QString::number(five.recordButton->isEnabled()); });
    two.recordButton->click();

    // Every panel's buttons went off while the new worker started, then came back as before.
    QCOMPARE(fiveStop.seen, QStringList({"0", "1"}));
    QCOMPARE(fiveRecord.seen, QStringList());
    QVERIFY(five.stopButton->isEnabled());
    QVERIFY(!fiveWorker.isNull()); // five's worker was left alone
    QCOMPARE(five.thread, fiveWorker.data());
    QCOMPARE(five.statusLabel->text(), kRecording);

    QCOMPARE(two.statusLabel->text(), kRecording);
    QVERIFY(two.recording);
    QVERIFY(two.manualStart);
    QVERIFY(!two.stopButton->isEnabled());
    QVERIFY(!two.recordButton->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(two.stopButton->isEnabled(), kOpenTimeoutMs);
    QCOMPARE(two.previewLabel->text(), kConnected);
    QVERIFY(five.stopButton->isEnabled());
}

void ControlTest::stopCameraWithoutWorkerRefreshesButtons() {
    WindowFixture::Cameras cameras;
    env.streamOn(cameras, 0);
    auto w = env.openWindow(cameras);
    QVERIFY(w);
    // Panels left out of step by hand: stopCamera brings every panel back in line.
    w->channel(0).recordButton->setEnabled(false);
    w->channel(0).stopButton->setEnabled(true);
    w->channel(6).setCameraButton->setEnabled(false);
    w->channel(6).statusLabel->setText(QStringLiteral("stale"));

    w->stopCamera(5);

    QVERIFY(!w->channel(5).thread);
    QVERIFY(!w->channel(5).recording);
    QVERIFY(w->channel(0).recordButton->isEnabled());
    QVERIFY(!w->channel(0).stopButton->isEnabled());
    QVERIFY(w->channel(6).setCameraButton->isEnabled());
    QCOMPARE(w->channel(6).statusLabel->text(), QString());
}

void ControlTest::startCameraWithoutSourceDoesNothing_data() {
    QTest::addColumn<int>("cameraType");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("boundDevice");
    QTest::newRow("ip camera without url") << 1 << QString() << QString();
    QTest::newRow("not configured") << -1 << QString() << QString();
    // What the camera settings dialog leaves for a panel without a local device.
    QTest::newRow("ip camera without url, device text 0") << 1 << QString() << QStringLiteral("0");
    QTest::newRow("not configured, with a url") << -1 << env.streamUrl() << QString();
}

void ControlTest::startCameraWithoutSourceDoesNothing() {
    QFETCH(int, cameraType);
    QFETCH(QString, url);
    QFETCH(QString, boundDevice);
    WindowFixture::Cameras cameras;
    cameras[2].cameraType = cameraType;
    cameras[2].url = url;
    auto w = env.openWindow(cameras);
    QVERIFY(w);
    ChannelConfig& c = w->channel(2);
    c.boundDevice = boundDevice;
    QMetaObject::invokeMethod(w.get(), "setButtons");
    QVERIFY(!c.recordButton->isEnabled());            // nothing to record from
    w->channel(7).setCameraButton->setEnabled(false); // shows whether the panels were refreshed

    w->startCamera(2);

    QVERIFY(!c.thread);
    QVERIFY(!c.running);
    QCOMPARE(c.previewLabel->text(), QString());
    QVERIFY(!w->channel(7).setCameraButton->isEnabled());
}

QTEST_MAIN(ControlTest)
#include "tst_control.moc"
