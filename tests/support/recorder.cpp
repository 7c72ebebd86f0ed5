#include "support/recorder.h"

#include <csignal>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QStorageInfo>
#include <QTcpServer>
#include <QStandardPaths>
#include <QTimer>
#include <QtTest>

#include <opencv2/videoio.hpp>

#include "settings/configfile.h"
#include "settings/settingsfile.h"
#include "support/framecode.h"

bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
           file.write(bytes) == bytes.size() && file.flush();
}

void isolateHome(const QString& home) {
    qputenv("HOME", QFile::encodeName(home));
    qunsetenv("XDG_CONFIG_HOME");
    QStandardPaths::setTestModeEnabled(true);
}

QString configFolder(const QString& configHome) {
    const QString home = configHome.isEmpty() ? QStandardPaths::writableLocation(
                                                    QStandardPaths::GenericConfigLocation)
                                              : configHome;
    return home + QStringLiteral("/Quorlan-Applications/Q7M2/");
}

bool writeConfiguration(const QString& folder, const Cameras& cameras, const QString& dataDrive,
                        qint64 keepFreeMiB) {
    ProgramSettings settings;
    settings.dataDrive = dataDrive;
    settings.keepFreeMiB = keepFreeMiB;
    return QDir().mkpath(folder) &&
           writeConfigFile(folder + QStringLiteral("config.xml"), cameras.data(), kCameraCount) &&
           writeSettingsFile(folder + QStringLiteral("settings.xml"), settings);
}

bool startProgram(QProcess& app, const QString& configHome) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::MergedChannels);
    app.start(QStringLiteral(IPS_APP_PATH), QStringList());
    return app.waitForStarted(5000);
}

static QTimer* scheduleTimer(Camera& window) {
    // The window's own timer is its direct child; helpers it owns may keep timers of their own.
    for (QTimer* timer : window.findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (timer->interval() == 1000 && !timer->isSingleShot())
            return timer;
    }
    return nullptr;
}

std::unique_ptr<Camera> openWindow(const Cameras& cameras, const QString& dataDrive,
                                   bool scheduleStopped, qint64 keepFreeMiB) {
    const QString folder = configFolder();
    QDir(folder).removeRecursively();
    if (!writeConfiguration(folder, cameras, dataDrive, keepFreeMiB))
        return nullptr;
    auto window = std::make_unique<Camera>();
    QTimer* timer = scheduleTimer(*window);
    if (!timer)
        return nullptr;
    if (scheduleStopped)
        timer->stop();
    window->show();
    return QTest::qWaitForWindowExposed(window.get()) ? std::move(window) : nullptr;
}

void answerNextDialog(bool accept, std::function<void(QDialog*)> fillIn) {
    auto tries = std::make_shared<int>(1000);
    auto* poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, tries, accept, fillIn] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog && fillIn)
            fillIn(dialog);
        if (dialog)
            accept ? dialog->accept() : dialog->reject();
        if (dialog || --*tries <= 0) {
            poll->stop();
            poll->deleteLater();
        }
    });
    poll->start();
}

qint64 closeWindow(Camera& window) {
    QElapsedTimer closing;
    closing.start();
    window.close();
    return closing.elapsed();
}

QStringList recordingFiles(const QString& dataDrive, int number) {
    const QString pattern = number > 0 ? QStringLiteral("camera-%1-*.avi").arg(number)
                                       : QStringLiteral("*.avi");
    QStringList files;
    QDirIterator it(dataDrive + QStringLiteral("VideoData/videos"), {pattern}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    files.sort();
    return files;
}

void verifyRecording(const QString& path, MediaInfo* infoOut) {
    const MediaInfo info = MediaProbe::probe(path);
    QVERIFY2(info.ok, qPrintable(path + QLatin1Char(' ') + info.error));
    QCOMPARE(info.codec, QStringLiteral("rawvideo"));
    QCOMPARE(info.codecTag, QStringLiteral("IYUV"));
    QCOMPARE(info.pixelFormat, QStringLiteral("yuv420p"));
    QCOMPARE(QSize(info.width, info.height), QSize(640, 480));
    QCOMPARE(info.frameRate, QStringLiteral("25/1"));
    QVERIFY2(info.frameCount > 0, qPrintable(path));
    QCOMPARE(MediaProbe::decodeErrors(path), QString());
    if (infoOut)
        *infoOut = info;
}

QVector<int> recordedCounters(const QString& path) {
    QVector<int> counters;
    cv::VideoCapture file(path.toStdString(), cv::CAP_FFMPEG);
    cv::Mat frame;
    while (file.read(frame))
        counters << readFrameCounter(frame);
    return counters;
}

void verifyChain(const QStringList& files) {
    QVERIFY(!files.isEmpty());
    int previousLast = -1;
    for (const QString& file : files) {
        verifyRecording(file);
        if (QTest::currentTestFailed())
            return;
        const QVector<int> counters = recordedCounters(file);
        QVERIFY2(!counters.isEmpty() && !counters.contains(-1),
                 qPrintable(file + QStringLiteral(" holds a damaged frame")));
        for (int i = 1; i < counters.size(); ++i)
            QVERIFY2(counters.at(i) >= counters.at(i - 1), qPrintable(file + " out of order"));
        QVERIFY2(counters.first() > previousLast,
                 qPrintable(file + " repeats or goes back to " + QString::number(counters.first())));
        previousLast = counters.last();
    }
}

CapturePanel::CapturePanel(int cameraType, const QString& url) {
    channel.cameraType = cameraType;
    channel.url = url;
    channel.previewLabel = &preview;
    channel.stopButton = &stopButton;
    channel.locationEdit = &location;
    location.setText(QStringLiteral("Shop door"));
    channel.setLocation(location.text());
    preview.setText(text(kTextConnecting));
    stopButton.setEnabled(false);
}

CaptureWorker::CaptureWorker(CapturePanel& panel, const QString& dataDrive, bool recording)
    : panel(panel) {
    panel.channel.recording = recording;
    panel.channel.running = true;
    thread = std::make_unique<CaptureThread>(&panel.channel, dataDrive, QStringLiteral("3"));
    panel.channel.thread = thread.get();
    thread->start(QThread::InheritPriority);
}

void CaptureWorker::stop() {
    if (!thread)
        return;
    thread->stop();
    thread->waitForEnd();
    thread.reset();
    panel.channel.thread = nullptr;
}

FakeClock::FakeClock(const QDateTime& start)
    : msecs(start.toMSecsSinceEpoch()) {
    Clock::setSource([this] {
        if (QThread::currentThread() == QCoreApplication::instance()->thread())
            ++guiReadCount;
        return QDateTime::fromMSecsSinceEpoch(msecs);
    });
}

void FakeClock::setTime(int hour, int minute, int second) {
    set(QDateTime(QDateTime::fromMSecsSinceEpoch(msecs).date(), QTime(hour, minute, second)));
}

namespace {
std::mutex logMutex;
QStringList logWarnings;
QtMessageHandler previousHandler = nullptr;

void logHandler(QtMsgType type, const QMessageLogContext& context, const QString& line) {
    if (type == QtWarningMsg || type == QtCriticalMsg) {
        std::lock_guard<std::mutex> lock(logMutex);
        logWarnings.append(line);
    }
    previousHandler(type, context, line);
}
} // namespace

LogCapture::LogCapture() {
    std::lock_guard<std::mutex> lock(logMutex);
    logWarnings.clear();
    previousHandler = qInstallMessageHandler(logHandler);
}

LogCapture::~LogCapture() {
    qInstallMessageHandler(previousHandler);
}

QStringList LogCapture::warnings() {
    std::lock_guard<std::mutex> lock(logMutex);
    return logWarnings;
}

bool SmallVolume::mount(const QString& path, int sizeMiB, QString* why) {
    if (::geteuid() != 0) {
        *why = QStringLiteral("mounting needs root");
        return false;
    }
    QProcess mounter;
    mounter.start(QStringLiteral("mount"), {"-t", "tmpfs", "-o",
                                            QStringLiteral("size=%1m").arg(sizeMiB), "tmpfs", path});
    if (!mounter.waitForFinished(10000) || mounter.exitCode() != 0) {
        *why = QString::fromLocal8Bit(mounter.readAllStandardError()).trimmed();
        return false;
    }
    mounted = path;
    return true;
}

SmallVolume::~SmallVolume() {
    if (!mounted.isEmpty() && QProcess::execute(QStringLiteral("umount"), {mounted}) != 0)
        QProcess::execute(QStringLiteral("umount"), {"-l", mounted});
}

bool fillVolume(const QString& path, qint64 leaveBytes) {
    QFile filler(path);
    const qint64 size = QStorageInfo(QFileInfo(path).absolutePath()).bytesFree() - leaveBytes;
    return filler.open(QIODevice::WriteOnly) && posix_fallocate(filler.handle(), 0, size) == 0;
}

void limitFileSize(rlim_t bytes) {
    std::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails instead of ending the process
    const rlimit limit{bytes, RLIM_INFINITY};
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
}

bool SingleClientCamera::start() {
    QTcpServer probe; // a port nobody listens on at the moment of asking
    probe.listen(QHostAddress::LocalHost, 0);
    url = QStringLiteral("http://127.0.0.1:%1/axis-cgi/mjpg/video.cgi").arg(probe.serverPort());
    probe.close();
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("ffmpeg"),
                  {"-v", "fatal", "-re", "-f", "lavfi", "-i", "testsrc=size=640x480:rate=25", "-c:v",
                   "mjpeg", "-q:v", "5", "-f", "mpjpeg", "-listen", "1", url});
    return process.waitForStarted(5000);
}

SingleClientCamera::~SingleClientCamera() {
    process.kill();
    process.waitForFinished(5000);
}
