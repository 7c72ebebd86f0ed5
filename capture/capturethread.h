#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include <QDateTime>
#include <QElapsedTimer>
#include <QImage>
#include <QPointer>
#include <QString>
#include <QThread>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "app/channelconfig.h"
#include "capture/packetreader.h"
#include "capture/paneltexts.h"

class QCameraImageCapture;
class QLabel;
class QPushButton;

constexpr qint64 kFileSizeLimitBytes = 209715200; // 200 MiB per recording file

// The worker of one camera channel. It opens the source, keeps the channel's latest prepared
// frame in the record and, while the channel records, writes the chain of recording files.
//
// Threads:
// - Constructor, destructor, processImage(): the GUI thread (the object lives there, so the
//   image capture's stills arrive through an automatic connection in the GUI thread).
// - run() and everything it calls: the worker thread.
// - url, cameraType, imageCapture, previewLabel, stopButton, dataDrive, cameraNumberText: set
//   in the constructor, read-only afterwards. The widget pointers are only dereferenced in
//   lambdas posted to the GUI thread.
// - writer, writerPath, frames/latest/timeline, fileFull, writeFailed: both threads, only under
//   writerMutex (never held across a grab or a frame preparation).
// - channel->running / recording: atomic; channel->frame and location: under frameMutex.
// - stillRequestPending: atomic, set by the worker, cleared in the GUI thread.
class CaptureThread final : public QThread {
    Q_OBJECT
public:
    CaptureThread(ChannelConfig* channel, const QString& dataDrive,
                  const QString& cameraNumberText);
    ~CaptureThread() override;

    // For tests only: closes recording files at `bytes` instead of kFileSizeLimitBytes so that
    // the file chain can be checked in seconds. A value <= 0 restores the real limit.
    static void setFileSizeLimitForTests(qint64 bytes);

    // QThread::wait() for a worker that has been told to stop, in a form that thread sanitizers
    // can follow. Use it instead of wait().
    void waitForEnd();

signals:
    int UpdateView(int c, QImage i);

public slots:
    void stop();
    void processImage(int requestId, QImage img);
    QImage Mat2QImage(cv::Mat src);
    cv::Mat3b QImage2Mat(QImage src);

protected:
    void run() override;

private:
    bool openStream(cv::VideoCapture& capture);
    void runNetworkPass(cv::VideoCapture& capture, QString& target);
    void runLocalPass(const QString& target);
    void streamBroke(cv::VideoCapture& capture, QString& target);
    void paceToSource(cv::VideoCapture& capture);
    void checkFileState(QString& target);
    bool ensureWriter(const QString& target);
    // Takes the frame's pixels as the new `latest` and hands the previous latest back in
    // `prepared`, for the caller to reuse as its next work buffer.
    void writeOnTimeline(cv::Mat& prepared, qint64 atMs);
    void completeFile();
    void pauseTimeline();
    void setFrame(const QImage& image);
    void postText(const char* text);
    void postStopButtonEnabled(bool enabled);
    void requestStill(const QString& path);

    ChannelConfig* channel;
    QString dataDrive;
    QString cameraNumberText;
    // Settings the worker was started with; the GUI may edit the record meanwhile.
    const QString url;
    const int cameraType;
    const QPointer<QCameraImageCapture> imageCapture;
    const QPointer<QLabel> previewLabel;
    const QPointer<QPushButton> stopButton;
    // A local video file is read as fast as it decodes; it is paced to its own timestamps.
    const bool pacedSource;

    std::atomic<bool> stillRequestPending{false};

    // Worker only.
    const char* shownText = nullptr; // last status text posted, to post each change once
    int openRetries = 0;             // since the last success; sets the back-off
    qint64 nextOpenAtMs = 0;
    qint64 nextWriterAttemptAtMs = 0;
    bool writerFailing = false;
    qint64 syncedFrames = 0;    // frames of the open file last forced to disk
    qint64 sourceOriginMs = -1; // monotonic time of a paced source's position 0
    // An MJPEG stream is read as JPEG packets and decoded here (half scale for large pictures):
    // much cheaper than letting the capture decode and colour-convert every picture at full size.
    bool rawPackets = false;
    cv::Mat incoming; // newest packet (rawPackets) or picture read; reused from pass to pass
    cv::Mat heldBack; // the one before, used once the next one has arrived whole
    qint64 incomingAtMs = 0;
    qint64 heldBackAtMs = 0;
    std::unique_ptr<PacketReader> reader; // reads the raw packets while the stream is open
    cv::Mat decoded;                      // picture decoded from a packet
    cv::Mat work;                         // the prepared 640 x 480 frame
    QDateTime cycleStart;
    QElapsedTimer sinceStart; // monotonic; started in the constructor, read by both threads

    // The open recording file, shared by the loop and processImage().
    // A std::mutex rather than a QMutex: thread sanitizers see every lock of it, contended or not.
    std::mutex writerMutex;
    std::mutex endMutex; // passed at the end of run(), taken by waitForEnd()
    std::unique_ptr<cv::VideoWriter> writer;
    QString writerPath;
    qint64 framesInFile = 0;
    qint64 timelineOriginMs = 0; // monotonic time that frame 0 of the file stands for
    bool timelinePaused = false;
    cv::Mat latest; // newest prepared frame, repeated to fill a gap in the 25 fps timeline
    bool fileFull = false;
    bool writeFailed = false;
};
