// The check that a network camera answers before the video library is asked to open it.
#include <atomic>

#include <QElapsedTimer>
#include <QTcpServer>
#include <QtTest>

#include "capture/streamprobe.h"
#include "support/camsimprocess.h"

class StreamProbeTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void answeringCamera_data();
    void answeringCamera();
    void silentCameraTimesOut();
    void refusedConnectionFailsAtOnce();
    void stopEndsTheWait();
    void otherSourcesAreLeftToTheVideoLibrary_data();
    void otherSourcesAreLeftToTheVideoLibrary();
};

void StreamProbeTest::answeringCamera_data()
{
    QTest::addColumn<QStringList>("camsimArgs");
    QTest::addColumn<QString>("userInfo");
    QTest::newRow("open camera") << QStringList{"--width", "320", "--height", "240"} << QString();
    // A 401 is an answer: the open that follows reports the wrong password.
    QTest::newRow("wrong password") << QStringList{"--auth", "admin:secret"}
                                    << QStringLiteral("admin:wrong@");
    QTest::newRow("right password") << QStringList{"--auth", "admin:secret"}
                                    << QStringLiteral("admin:secret@");
}

void StreamProbeTest::answeringCamera()
{
    QFETCH(QStringList, camsimArgs);
    QFETCH(QString, userInfo);
    CamsimProcess camera(camsimArgs);
    QVERIFY2(camera.start(), qPrintable(camera.errorString()));
    QString url = camera.streamUrl();
    url.replace(QStringLiteral("http://"), QStringLiteral("http://") + userInfo);
    std::atomic<bool> keepGoing{true};
    QElapsedTimer timer;
    timer.start();
    QVERIFY(cameraAnswers(url, 5000, keepGoing));
    QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
}

void StreamProbeTest::silentCameraTimesOut()
{
    // The kernel completes the handshake for the listening socket; nothing ever answers, since
    // this thread runs no event loop while it probes.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    const QString url = QStringLiteral("http://127.0.0.1:%1/axis-cgi/mjpg/video.cgi")
                            .arg(silent.serverPort());
    std::atomic<bool> keepGoing{true};
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!cameraAnswers(url, 1000, keepGoing));
    QVERIFY2(timer.elapsed() >= 900 && timer.elapsed() < 3000,
             qPrintable(QString::number(timer.elapsed())));
}

void StreamProbeTest::refusedConnectionFailsAtOnce()
{
    QTcpServer reserve;
    QVERIFY(reserve.listen(QHostAddress::LocalHost));
    const quint16 port = reserve.serverPort();
    reserve.close(); // nothing listens there now
    std::atomic<bool> keepGoing{true};
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!cameraAnswers(QStringLiteral("http://127.0.0.1:%1/video.cgi").arg(port), 5000,
                           keepGoing));
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
}

void StreamProbeTest::stopEndsTheWait()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    std::atomic<bool> keepGoing{false};
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!cameraAnswers(QStringLiteral("rtsp://127.0.0.1:%1/stream").arg(silent.serverPort()),
                           5000, keepGoing));
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
}

void StreamProbeTest::otherSourcesAreLeftToTheVideoLibrary_data()
{
    QTest::addColumn<QString>("url");
    QTest::newRow("local file") << QStringLiteral("/var/recordings/clip.avi");
    QTest::newRow("file url") << QStringLiteral("file:///tmp/clip.avi");
    QTest::newRow("no host") << QStringLiteral("http:///video.cgi");
}

void StreamProbeTest::otherSourcesAreLeftToTheVideoLibrary()
{
    QFETCH(QString, url);
    std::atomic<bool> keepGoing{true};
    QVERIFY(cameraAnswers(url, 100, keepGoing));
}

QTEST_MAIN(StreamProbeTest)
#include "tst_streamprobe.moc"
