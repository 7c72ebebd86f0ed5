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

#include "capture/activitymeter.h"
#include "capture/channelconfig.h"
#include "capture/mjpegdecode.h"
#include "capture/packetreader.h"
#include "capture/paneltexts.h"

class QCameraImageCapture;
struct PendingWriter;
class QLabel;
class QPushButton;
class RecordingWriter;

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
// - writer, writerPath, frames/latest/timeline, fileFull, writeFailed, activity: both threads,
//   only under writerMutex (never held across a grab or a frame preparation; held across the
//   frame's write and, once a second, the write of one activity byte).
// - channel->running / recording: atomic; channel->frame and location: under frameMutex.
// - stillRequestPending: atomic, set by the worker, cleared in the GUI thread.
// - Nothing here waits for the network or for the video library's open lock: the stream's open
//   and reads run in `reader`, the next file's open in `nextWriter`, each on a thread that holds
//   its own resources and is never joined (see opengate.h).
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
    bool awaitStream();
    bool streamOpened(bool opened);
    void runNetworkPass(cv::VideoCapture& capture, QString& target);
    void runLocalPass(QString& target);
    void streamBroke(cv::VideoCapture& capture, QString& target);
    void decodeWithOpenCv(cv::VideoCapture& capture);
    void paceToSource(cv::VideoCapture& capture);
    void checkFileState(QString& target);
    // Opens a writer when none is open, on a file named at that moment (stored into target).
    bool ensureWriter(QString& target);
    bool writerFailed(const QString& target, bool room);
    void dropNextWriter();
    // Takes the frame's pixels as the new `latest` and hands the previous latest back in
    // `prepared`, for the caller to reuse as its next work buffer. `when` is the time stamped on
    // the frame, `atMs` its monotonic time.
    void writeOnTimeline(cv::Mat& prepared, qint64 atMs, const QDateTime& when);
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
    bool probeNext = false;          // the last open ran into its time-out: ask the camera first
    bool stopButtonHeld = false;     // disabled until the first open has ended
    bool streamOpen = false;         // the reader's stream is open
    qint64 nextOpenAtMs = 0;
    qint64 nextWriterAttemptAtMs = 0;
    bool writerFailing = false;
    qint64 syncedFrames = 0;    // frames of the open file last forced to disk
    qint64 sourceOriginMs = -1; // monotonic time of a paced source's position 0
    // An MJPEG stream is read as JPEG packets and decoded here (scaled in the decoder for large
    // pictures): much cheaper than letting the capture decode and colour-convert every picture
    // at full size. A stream whose pictures our decoder cannot read is left to OpenCV's.
    bool rawPackets = false;
    bool openCvDecodes = false;
    qint64 undecodableSinceMs = -1; // arrival of the first of the packets not decoded in a row
    cv::Mat incoming; // newest packet (rawPackets) or picture read; reused from pass to pass
    cv::Mat heldBack; // the one before, used once the next one has arrived whole
    qint64 incomingAtMs = 0;
    qint64 heldBackAtMs = 0;
    QDateTime incomingTime; // time of day of the arrival, drawn on the frame
    QDateTime heldBackTime;
    // Opens the network stream and reads it, on a thread the worker never waits for.
    std::unique_ptr<PacketReader> reader;
    // The next recording file, being opened on a thread of its own; the file before is written
    // on until it is open.
    std::shared_ptr<PendingWriter> nextWriter;
    DecodedPicture decoded; // picture decoded from a packet
    cv::Mat work;           // the prepared recording frame (4:2:0)
    QDateTime cycleStart;
    QElapsedTimer sinceStart; // monotonic; started in the constructor, read by both threads

    // The open recording file, shared by the loop and processImage().
    // A std::mutex rather than a QMutex: thread sanitizers see every lock of it, contended or not.
    std::mutex writerMutex;
    std::mutex endMutex; // passed at the end of run(), taken by waitForEnd()
    std::unique_ptr<RecordingWriter> writer;
    QString writerPath;
    qint64 framesInFile = 0;
    qint64 timelineOriginMs = 0; // monotonic time that frame 0 of the file stands for
    bool timelinePaused = false;
    cv::Mat latest; // newest prepared frame, repeated to fill a gap in the 25 fps timeline
    bool fileFull = false;
    bool writeFailed = false;
    ActivityRecorder activity; // the figures of what is recorded, never of preview alone
};
