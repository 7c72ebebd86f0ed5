// The camera simulator, driven as the recorder and its tests drive it: a real process serving
// real HTTP on 127.0.0.1, read by OpenCV, ffprobe and raw sockets.

#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QtTest>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "support/camsimprocess.h"
#include "support/framecode.h"

namespace {

struct HttpReply {
    QByteArray status; // e.g. "HTTP/1.0 200 OK"
    QByteArray headers;
    QByteArray body;
    bool closedByServer = false;
};

// Sends one raw request and collects the reply until the server closes or `readMs` passes.
HttpReply rawGet(quint16 port, const QByteArray& path, const QByteArray& extraHeaders = {},
                 int readMs = 3000) {
    HttpReply reply;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(3000))
        return reply;
    socket.write("GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n");
    QByteArray data;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < readMs) {
        if (socket.state() != QAbstractSocket::ConnectedState) {
            reply.closedByServer = true;
            break;
        }
        socket.waitForReadyRead(int(qMax<qint64>(1, readMs - timer.elapsed())));
        data += socket.readAll();
    }
    data += socket.readAll();
    const int headEnd = data.indexOf("\r\n\r\n");
    const QByteArray head = headEnd < 0 ? data : data.left(headEnd);
    reply.status = head.left(head.indexOf("\r\n"));
    reply.headers = head.mid(reply.status.size() + 2);
    reply.body = headEnd < 0 ? QByteArray() : data.mid(headEnd + 4);
    return reply;
}

QByteArray headerValue(const QByteArray& headers, const QByteArray& name) {
    for (const QByteArray& line : headers.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower())
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

struct Part {
    int contentLength = -1;
    int bytesPresent = 0;
};

// Splits a multipart body into its parts, noting how much of each picture arrived.
QVector<Part> splitParts(const QByteArray& body) {
    QVector<Part> parts;
    int pos = 0;
    while ((pos = body.indexOf("Content-Length: ", pos)) >= 0) {
        const int lineEnd = body.indexOf("\r\n", pos);
        const int dataStart = body.indexOf("\r\n\r\n", pos);
        if (lineEnd < 0 || dataStart < 0)
            break;
        Part part;
        part.contentLength = body.mid(pos + 16, lineEnd - pos - 16).toInt();
        part.bytesPresent = qMin(part.contentLength, body.size() - (dataStart + 4));
        parts.append(part);
        pos = dataStart + 4 + part.bytesPresent;
    }
    return parts;
}

cv::Mat matFromJpeg(const QByteArray& jpeg) {
    const QImage image = QImage::fromData(jpeg, "JPEG").convertToFormat(QImage::Format_RGB888);
    if (image.isNull())
        return {};
    cv::Mat bgr;
    cv::cvtColor(cv::Mat(image.height(), image.width(), CV_8UC3,
                         const_cast<uchar*>(image.constBits()), size_t(image.bytesPerLine())),
                 bgr, cv::COLOR_RGB2BGR);
    return bgr;
}

bool canConnect(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(1000);
}

} // namespace

class TestCamsim final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void streamPlaysInOpenCv_data();
    void streamPlaysInOpenCv();
    void loopWrapsCounter();
    void snapshotAndNotFound();
    void frameCodeSurvivesRecording_data();
    void frameCodeSurvivesRecording();
    void frameCodeRejectsOtherPictures();
    void basicAuthentication();
    void dropAfterClosesEachConnection_data();
    void dropAfterClosesEachConnection();
    void stallKeepsConnectionOpenWithoutData();
    void downAfterRefusesThenListensAgain();
    void refuseClosesWithoutResponse();
    void ffprobeReadsStream();
    void rejectsBadOptions();
};

void TestCamsim::streamPlaysInOpenCv_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<double>("fps");
    QTest::newRow("defaults") << QStringList{} << 1280 << 720 << 25.0;
    QTest::newRow("fractional rate, small frame")
        << QStringList{"--width", "640", "--height", "360", "--fps", "12.5"} << 640 << 360 << 12.5;
}

void TestCamsim::streamPlaysInOpenCv() {
    QFETCH(QStringList, arguments);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(double, fps);
    CamsimProcess camsim(arguments);
    QVERIFY2(camsim.start(), qPrintable(camsim.errorString()));

    cv::VideoCapture capture(camsim.streamUrl().toStdString(), cv::CAP_FFMPEG);
    QVERIFY(capture.isOpened());
    cv::Mat frame;
    // Frames buffered while the stream was being opened arrive in a burst; pace from here.
    for (int i = 0; i < 3; ++i)
        QVERIFY(capture.read(frame));
    QElapsedTimer timer;
    timer.start();
    QVector<int> counters;
    while (timer.elapsed() < 3000) {
        QVERIFY(capture.read(frame));
        QCOMPARE(frame.cols, width);
        QCOMPARE(frame.rows, height);
        const int counter = readFrameCounter(frame);
        QVERIFY2(counter >= 0, "frame counter unreadable");
        counters.append(counter);
    }
    const double seconds = timer.elapsed() / 1000.0;
    QVERIFY(counters.size() > 10);
    int consecutive = 0;
    for (int i = 1; i < counters.size(); ++i) {
        QVERIFY2(counters[i] > counters[i - 1],
                 qPrintable(QStringLiteral("counter went from %1 to %2")
                                .arg(counters[i - 1])
                                .arg(counters[i])));
        consecutive += counters[i] == counters[i - 1] + 1;
    }
    // A busy test machine may make the simulator skip a tick now and then; no more than that.
    QVERIFY2(
        consecutive >= (counters.size() - 1) * 9 / 10,
        qPrintable(
            QStringLiteral("%1 of %2 steps were +1").arg(consecutive).arg(counters.size() - 1)));
    const double countedRate = (counters.size() - 1) / seconds;
    const double tickRate = (counters.last() - counters.first()) / seconds;
    qInfo("%d frames in %.2f s: %.2f received/s, counter advanced %.2f/s (nominal %.2f)",
          int(counters.size()), seconds, countedRate, tickRate, fps);
    QVERIFY2(qAbs(tickRate - fps) < fps * 0.1, "counter does not advance at the nominal rate");
    QVERIFY2(qAbs(countedRate - fps) < fps * 0.2, "frames do not arrive at the nominal rate");
}

void TestCamsim::loopWrapsCounter() {
    CamsimProcess camsim({"--loop", "10", "--width", "320", "--height", "240"});
    QVERIFY2(camsim.start(), qPrintable(camsim.errorString()));
    cv::VideoCapture capture(camsim.streamUrl().toStdString(), cv::CAP_FFMPEG);
    QVERIFY(capture.isOpened());
    cv::Mat frame;
    QVector<int> counters;
    for (int i = 0; i < 30; ++i) {
        QVERIFY(capture.read(frame));
        counters.append(readFrameCounter(frame));
    }
    int wraps = 0;
    for (int i = 0; i < counters.size(); ++i) {
        QVERIFY2(counters[i] >= 0 && counters[i] < 10, qPrintable(QString::number(counters[i])));
        if (i > 0) {
            QVERIFY(counters[i] != counters[i - 1]);
            wraps += counters[i] < counters[i - 1];
        }
    }
    QVERIFY(wraps >= 2);
}

void TestCamsim::snapshotAndNotFound() {
    CamsimProcess camsim({"--width", "800", "--height", "600", "--counter-start", "1000"});
    QVERIFY2(camsim.start(), qPrintable(camsim.errorString()));

    const HttpReply snapshot = rawGet(camsim.port(), "/snapshot.jpg");
    QCOMPARE(snapshot.status, QByteArray("HTTP/1.0 200 OK"));
    QCOMPARE(headerValue(snapshot.headers, "Content-Type"), QByteArray("image/jpeg"));
    QCOMPARE(headerValue(snapshot.headers, "Content-Length").toInt(), snapshot.body.size());
    QVERIFY(snapshot.closedByServer);
    const cv::Mat picture = matFromJpeg(snapshot.body);
    QCOMPARE(picture.cols, 800);
    QCOMPARE(picture.rows, 600);
    QVERIFY(readFrameCounter(picture) >= 1000);

    for (const QByteArray path : {"/", "/axis-cgi/mjpg/other.cgi", "/snapshot.jpgx"}) {
        const HttpReply missing = rawGet(camsim.port(), path);
        QVERIFY2(missing.status.startsWith("HTTP/1.0 404"), path.constData());
        QVERIFY(missing.closedByServer);
    }
}

void TestCamsim::frameCodeSurvivesRecording_data() {
    QTest::addColumn<int>("counterStart");
    QTest::newRow("low bits") << 5;
    QTest::newRow("high bits") << 0xAAAAA0;
    QTest::newRow("all ones") << 0xFFFFF0;
}

void TestCamsim::frameCodeSurvivesRecording() {
    QFETCH(int, counterStart);
    CamsimProcess camsim({"--counter-start", QString::number(counterStart)});
    QVERIFY2(camsim.start(), qPrintable(camsim.errorString()));
    const cv::Mat original = matFromJpeg(rawGet(camsim.port(), "/snapshot.jpg").body);
    QVERIFY(!original.empty());
    const int counter = readFrameCounter(original);
    QVERIFY(counter >= counterStart && counter < counterStart + 10 * 25);

    // What the recorder does to a frame: stretch to 640x480, stamp top and bottom lines.
    cv::Mat recorded;
    cv::resize(original, recorded, cv::Size(640, 480), 0, 0, cv::INTER_LINEAR);
    cv::putText(recorded, "Back door, shop 12 - a long location text that fills the line",
                cv::Point(0, 15), cv::FONT_HERSHEY_COMPLEX_SMALL, 0.8, cv::Scalar(200, 200, 250, 0),
                1, cv::LINE_AA);
    cv::putText(recorded, "2024-03-07 09-05-03", cv::Point(0, 450), cv::FONT_HERSHEY_COMPLEX_SMALL,
                0.8, cv::Scalar(200, 200, 250, 0), 1, cv::LINE_AA);
    QCOMPARE(readFrameCounter(recorded), counter);

    // ...and a lossy round trip on the way to a viewer.
    cv::Mat rgb;
    cv::cvtColor(recorded, rgb, cv::COLOR_BGR2RGB);
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(QImage(rgb.data, rgb.cols, rgb.rows, int(rgb.step), QImage::Format_RGB888)
                .save(&buffer, "JPEG", 30));
    QCOMPARE(readFrameCounter(matFromJpeg(jpeg)), counter);

    cv::Mat tiny;
    cv::resize(original, tiny, cv::Size(160, 90), 0, 0, cv::INTER_AREA);
    QCOMPARE(readFrameCounter(tiny), counter);
}

void TestCamsim::frameCodeRejectsOtherPictures() {
    QCOMPARE(readFrameCounter(cv::Mat()), -1);
    QCOMPARE(readFrameCounter(cv::Mat(480, 640, CV_8UC3, cv::Scalar(0, 0, 0))), -1);
    QCOMPARE(readFrameCounter(cv::Mat(480, 640, CV_8UC3, cv::Scalar(255, 255, 255))), -1);
    cv::Mat noise(480, 640, CV_8UC3);
    cv::randu(noise, 0, 256);
    QCOMPARE(readFrameCounter(noise), -1);
    // Stripes in the right place but with the check part not the complement.
    cv::Mat stripes(480, 640, CV_8UC3, cv::Scalar(0, 0, 0));
    stripes(cv::Rect(0, 200, 320, 80)).setTo(cv::Scalar(255, 255, 255));
    QCOMPARE(readFrameCounter(stripes), -1);
}

void TestCamsim::basicAuthentication() {
    CamsimProcess camsim({"--auth", "admin:s3cret", "--width", "320", "--height", "240"});
    QVERIFY2(camsim.start(), qPrintable(camsim.errorString()));

    const HttpReply anonymous = rawGet(camsim.port(), "/axis-cgi/mjpg/video.cgi");
    QVERIFY2(anonymous.status.startsWith("HTTP/1.0 401"), anonymous.status.constData());
    QVERIFY(headerValue(anonymous.headers, "WWW-Authenticate").startsWith("Basic realm="));
    QVERIFY(anonymous.closedByServer);

    const HttpReply wrong =
        rawGet(camsim.port(), "/snapshot.jpg",
               "Authorization: Basic " + QByteArray("admin:guess").toBase64() + "\r\n");
    QVERIFY(wrong.status.startsWith("HTTP/1.0 401"));

    const HttpReply right =
        rawGet(camsim.port(), "/snapshot.jpg",
               "Authorization: Basic " + QByteArray("admin:s3cret").toBase64() + "\r\n");
    QCOMPARE(right.status, QByteArray("HTTP/1.0 200 OK"));
    QVERIFY(!matFromJpeg(right.body).empty());

    // A user puts the credentials in the stream URL.
    const QString url = camsim.streamUrl().replace("http://", "http://admin:s3cret@");
    cv::VideoCapture capture(url.toStdString(), cv::CAP_FFMPEG);
    QVERIFY(capture.isOpened());
    cv::Mat frame;
    QVERIFY(capture.read(frame));
    QCOMPARE(frame.cols, 320);
}

void TestCamsim::dropAfterClosesEachConnection_data() {
    QTest::addColumn<bool>("midFrame");
    QTest::newRow("between parts") << false;
    QTest::newRow("mid-frame") << true;
}

void TestCamsim::dropAfterClosesEachConnection() {
    QFETCH(bool, midFrame);
    QStringList arguments{"--drop-after", "1", "--width", "320", "--height", "240"};
    if (midFrame)
        arguments << "--drop-mid-frame";
    CamsimProcess camsim(arguments);
    QVERIFY2(camsim.start(), qPrintable(camsim.errorString()));

    for (int connection = 0; connection < 2; ++connection) {
        QElapsedTimer timer;
        timer.start();
        const HttpReply reply = rawGet(camsim.port(), "/axis-cgi/mjpg/video.cgi", {}, 6000);
        QCOMPARE(reply.status, QByteArray("HTTP/1.0 200 OK"));
        QVERIFY2(reply.closedByServer, "connection was not dropped");
        QVERIFY2(timer.elapsed() >= 900 && timer.elapsed() < 4000,
                 qPrintable(QString::number(timer.elapsed())));
        const QVector<Part> parts = splitParts(reply.body);
        QVERIFY2(parts.size() >= 10, qPrintable(QString::number(parts.size())));
        for (int i = 0; i < parts.size() - 1; ++i)
            QCOMPARE(parts[i].bytesPresent, parts[i].contentLength);
        if (midFrame)
            QVERIFY2(parts.last().bytesPresent < parts.last().contentLength,
                     "last part is complete");
        else
            QCOMPARE(parts.last().bytesPresent, parts.last().contentLength);
    }
}

void TestCamsim::stallKeepsConnectionOpenWithoutData() {
    CamsimProcess camsim({"--stall-after", "1", "--width", "320", "--height", "240"});
    QVERIFY2(camsim.start(), qPrintable(camsim.errorString()));
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, camsim.port());
    QVERIFY(socket.waitForConnected(3000));
    socket.write("GET /axis-cgi/mjpg/video.cgi HTTP/1.0\r\n\r\n");
    QByteArray received;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 1800) {
        socket.waitForReadyRead(100);
        received += socket.readAll();
    }
    QVERIFY(splitParts(received).size() >= 10);
    const int sizeAtStall = received.size();
    while (timer.elapsed() < 3300) {
        socket.waitForReadyRead(100);
        received += socket.readAll();
    }
    QCOMPARE(received.size(), sizeAtStall);
    QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
}

void TestCamsim::downAfterRefusesThenListensAgain() {
    CamsimProcess camsim(
        {"--down-after", "1.5", "--down-for", "2", "--width", "320", "--height", "240"});
    QElapsedTimer sinceStart;
    sinceStart.start();
    QVERIFY2(camsim.start(), qPrintable(camsim.errorString()));
    const quint16 port = camsim.port();

    // A viewer connected before the reboot loses its connection at the reboot...
    const HttpReply before = rawGet(port, "/axis-cgi/mjpg/video.cgi", {}, 6000);
    QCOMPARE(before.status, QByteArray("HTTP/1.0 200 OK"));
    QVERIFY(before.closedByServer);
    QVERIFY(splitParts(before.body).size() >= 10);

    // ...is refused while the camera is down...
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(!socket.waitForConnected(1000));
    QCOMPARE(socket.error(), QAbstractSocket::ConnectionRefusedError);

    // ...and is served again on the same port once it is back.
    QTRY_VERIFY_WITH_TIMEOUT(canConnect(port), 6000);
    QVERIFY(sinceStart.elapsed() >= 3000);
    const HttpReply after = rawGet(port, "/axis-cgi/mjpg/video.cgi", {}, 500);
    QCOMPARE(after.status, QByteArray("HTTP/1.0 200 OK"));
    QVERIFY(!splitParts(after.body).isEmpty());
}

void TestCamsim::refuseClosesWithoutResponse() {
    CamsimProcess camsim({"--refuse", "--width", "320", "--height", "240"});
    QVERIFY2(camsim.start(), qPrintable(camsim.errorString()));
    const HttpReply reply = rawGet(camsim.port(), "/axis-cgi/mjpg/video.cgi");
    QVERIFY(reply.closedByServer);
    QVERIFY(reply.status.isEmpty());
    QVERIFY(reply.body.isEmpty());
}

void TestCamsim::ffprobeReadsStream() {
    CamsimProcess camsim({"--width", "640", "--height", "360"});
    QVERIFY2(camsim.start(), qPrintable(camsim.errorString()));
    QProcess ffprobe;
    ffprobe.start("ffprobe",
                  {"-v", "error", "-f", "mpjpeg", "-show_entries", "stream=codec_name,width,height",
                   "-of", "csv=p=0", "-i", camsim.streamUrl()});
    QVERIFY2(ffprobe.waitForStarted(5000), "ffprobe is not installed");
    if (!ffprobe.waitForFinished(20000)) {
        ffprobe.kill();
        ffprobe.waitForFinished();
        QFAIL("ffprobe did not finish");
    }
    QCOMPARE(ffprobe.exitCode(), 0);
    QCOMPARE(ffprobe.readAllStandardOutput().trimmed(), QByteArray("mjpeg,640,360"));
}

void TestCamsim::rejectsBadOptions() {
    for (const QStringList& arguments :
         {QStringList{"--fps", "0"}, QStringList{"--width", "10"}, QStringList{"--quality", "x"},
          QStringList{"--drop-mid-frame"}, QStringList{"--auth", "nocolon"}}) {
        QProcess process;
        process.start(IPS_CAMSIM_PATH, arguments);
        QVERIFY(process.waitForFinished(5000));
        QVERIFY2(process.exitCode() != 0, qPrintable(arguments.join(' ')));
        QVERIFY(process.readAllStandardOutput().isEmpty());
    }
    QProcess help;
    help.start(IPS_CAMSIM_PATH, {"--help"});
    QVERIFY(help.waitForFinished(5000));
    QCOMPARE(help.exitCode(), 0);
    const QByteArray text = help.readAllStandardOutput();
    for (const char* option : {"--port", "--fps", "--loop", "--drop-after", "--down-for", "--auth",
                               "/snapshot.jpg", "24 cells"})
        QVERIFY2(text.contains(option), option);
}

QTEST_GUILESS_MAIN(TestCamsim)
#include "tst_camsim.moc"
