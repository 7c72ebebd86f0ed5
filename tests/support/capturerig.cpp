#include "support/capturerig.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QtTest>

#include <opencv2/videoio.hpp>

#include "support/framecode.h"

CapturePanel::CapturePanel(int cameraType, const QString& url) {
    channel.cameraType = cameraType;
    channel.url = url;
    channel.previewLabel = &preview;
    channel.stopButton = &stopButton;
    channel.locationEdit = &location;
    location.setText(QStringLiteral("Shop door"));
    channel.setLocation(location.text());
    preview.setText(QStringLiteral("CONNECTING TO SITE..."));
    stopButton.setEnabled(false);
}

bool CapturePanel::hasFrame() {
    QMutexLocker lock(&channel.frameMutex);
    return !channel.frame.isNull();
}

QImage CapturePanel::frameCopy() {
    QMutexLocker lock(&channel.frameMutex);
    return channel.frame;
}

CaptureWorker::CaptureWorker(CapturePanel& panel, const QString& dataDrive, bool recording)
    : panel(panel) {
    panel.channel.recording = recording;
    panel.channel.running = true;
    thread = std::make_unique<CaptureThread>(&panel.channel, dataDrive, QStringLiteral("3"));
    panel.channel.thread = thread.get();
    thread->start(QThread::InheritPriority);
}

CaptureWorker::~CaptureWorker() {
    stop();
}

qint64 CaptureWorker::stop() {
    if (!thread)
        return 0;
    QElapsedTimer timer;
    timer.start();
    thread->stop();
    thread->waitForEnd();
    const qint64 elapsedMs = timer.elapsed();
    thread.reset();
    panel.channel.thread = nullptr;
    return elapsedMs;
}

QStringList recordingFiles(const QString& dataDrive) {
    QStringList files;
    QDirIterator it(dataDrive + QStringLiteral("VideoData/videos"), {QStringLiteral("*.avi")},
                    QDir::Files, QDirIterator::Subdirectories);
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
    QCOMPARE(info.codecTagHex, QStringLiteral("0x56555949"));
    QCOMPARE(info.pixelFormat, QStringLiteral("yuv420p"));
    QCOMPARE(info.width, 640);
    QCOMPARE(info.height, 480);
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
