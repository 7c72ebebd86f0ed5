#include "capture/capturethread.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <utility>
#include <vector>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <unistd.h>
#endif

#include <QCameraImageCapture>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QStorageInfo>
#include <QtDebug>

#include "recordings/avirepair.h"
#include "recordings/clock.h"
#include "capture/frameconversion.h"
#include "capture/messagelog.h"
#include "capture/mjpegdecode.h"
#include "capture/opengate.h"
#include "recordings/openrecordings.h"
#include "recordings/recordingpaths.h"
#include "capture/recordingwriter.h"

namespace {
constexpr qint64 kFrameIntervalMs = 40;
// How many frame intervals the file may run ahead of or behind the clock before frames are
// dropped or repeated.
constexpr qint64 kTimelineSlackFrames = 4;
// The file system is asked for the real size this often, to notice writes that do not land.
constexpr qint64 kSizeCheckEveryFrames = 25;
// How far the real size may lag the tracked one (buffers of the muxer) before writes count as lost.
constexpr qint64 kSizeLagToleranceBytes = 4 * kIyuvFileBytesPerFrame;
// A file is not begun on a volume with less room than this: it could not hold a frame, and would
// be left empty.
constexpr qint64 kMinFreeToBeginBytes = 1 << 20;
// The open file's data is sent on to the disk this often (in frames).
constexpr qint64 kSyncEveryFrames = 25;

constexpr int kQuickRetries = 5;
constexpr int kQuickRetryMs = 1000;
constexpr int kSlowRetryMs = 5000;
constexpr int kWriterRetryMs = 1000;
constexpr int kWriterOpenGraceMs = 30;
constexpr int kIdlePassMs = 10;
constexpr int kSleepSliceMs = 50;
// How long a stream may send only pictures our decoder cannot read before OpenCV decodes it.
constexpr qint64 kUndecodableForMs = 1000;

std::atomic<qint64> sizeLimitForTests{0};

qint64 fileSizeLimitBytes() {
    const qint64 forTests = sizeLimitForTests.load();
    return forTests > 0 ? forTests : kFileSizeLimitBytes;
}

bool isLocalFile(const QString& url) {
    return url.startsWith(QLatin1String("file:")) || QFileInfo(url).isFile();
}

// Starts writing the data written to `path` so far out to the disk, whoever holds it open,
// without waiting for the disk: a power cut then takes about a second of footage with it rather
// than all the system had not yet written back, and a busy disk never stalls the worker.
void startWriteBack(const QString& path) {
#ifdef Q_OS_LINUX
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        ::close(fd);
    }
#else
    Q_UNUSED(path)
#endif
}
} // namespace

// A recording file opened on a thread of its own, so that a slow disk never holds the frames:
// they go on into the file before meanwhile.
struct PendingWriter {
    QString path;
    std::atomic<bool> abandoned{false}; // set by the worker, under mutex
    std::mutex mutex;
    std::condition_variable ready;
    bool done = false;
    std::unique_ptr<RecordingWriter> writer; // null when the open failed
};

namespace {
std::shared_ptr<PendingWriter> openWriterDetached(RecordingFormat format, const QString& path) {
    auto pending = std::make_shared<PendingWriter>();
    pending->path = path;
    DetachedCalls::start([pending, format] {
        // FFmpeg's muxer or our own, not the video library's writer: no process-wide lock, so a
        // camera whose open hangs never holds a file change.
        std::unique_ptr<RecordingWriter> opened;
        try {
            opened = openRecordingWriter(format, pending->path);
        } catch (const std::exception&) {
            opened.reset();
        }
        std::lock_guard<std::mutex> lock(pending->mutex);
        if (pending->abandoned && opened) {
            // Given up on while it opened: an empty file that nobody will write.
            opened->close();
            QFile::remove(pending->path);
            return;
        }
        pending->writer = std::move(opened);
        pending->done = true;
        pending->ready.notify_one();
    });
    return pending;
}
} // namespace

CaptureThread::CaptureThread(ChannelConfig* channel, const QString& dataDrive,
                             const QString& cameraNumberText)
    : channel(channel)
    , dataDrive(dataDrive)
    , cameraNumberText(cameraNumberText)
    , url(channel->url)
    , cameraType(channel->cameraType)
    , imageCapture(channel->imageCapture)
    , previewLabel(channel->previewLabel)
    , stopButton(channel->stopButton)
    , pacedSource(channel->cameraType == 1 && isLocalFile(channel->url))
    , activity(dataDrive, cameraNumberText.toInt()) {
    sinceStart.start();
    // The cameras are the parallelism: a frame is small, and OpenCV's pool splitting each resize
    // across the cores only adds hand-over and spinning, times eight cameras. Set once, before
    // the first worker runs, so that no worker reads the setting while it changes.
    static std::once_flag sequentialOpenCv;
    std::call_once(sequentialOpenCv, [] { cv::setNumThreads(1); });
    // Made here, in the GUI thread, where this object lives: the stills are then delivered to
    // processImage() in the GUI thread, and the connection ends with this object.
    if (cameraType == 0 && imageCapture)
        connect(imageCapture.data(), &QCameraImageCapture::imageCaptured, this,
                &CaptureThread::processImage);
}

CaptureThread::~CaptureThread() {
    // The window always stops and waits first; this only guards against misuse.
    if (isRunning())
        stop();
    waitForEnd();
}

void CaptureThread::waitForEnd() {
    wait();
    // QThread::wait() orders the worker's last steps before what follows, but through a lock
    // inside Qt that thread sanitizers cannot see; passing this one shows them the same order.
    std::lock_guard<std::mutex> lock(endMutex);
}

void CaptureThread::setFileSizeLimitForTests(qint64 bytes) {
    sizeLimitForTests = bytes;
}

void CaptureThread::stop() {
    channel->running = false;
}

QImage CaptureThread::Mat2QImage(cv::Mat src) {
    return ::Mat2QImage(src);
}

cv::Mat3b CaptureThread::QImage2Mat(QImage src) {
    return ::QImage2Mat(src);
}

void CaptureThread::processImage(int requestId, QImage img) {
    Q_UNUSED(requestId)
    // A still that is not recorded is dropped before the costly conversion; a null one cannot be
    // prepared at all.
    if (img.isNull() || !channel->recording)
        return;
    cv::Mat prepared;
    const QDateTime when = Clock::now();
    prepareRecordingFrame(::QImage2Mat(img), channel->locationCopy(), when, prepared);
    if (!prepared.empty())
        writeOnTimeline(prepared, sinceStart.elapsed(), when);
}

void CaptureThread::run() {
    setFrame(QImage());
    postStopButtonEnabled(false);
    cv::VideoCapture capture;
    if (cameraType == 1 && !pacedSource)
        reader = std::make_unique<PacketReader>(url, false, openCvDecodes, sinceStart);
    else if (cameraType == 1)
        openStream(capture);
    // A network camera's button comes back when its open has ended, in awaitStream().
    stopButtonHeld = reader != nullptr;
    if (!stopButtonHeld)
        postStopButtonEnabled(true);

    QString target; // the file of the current cycle; empty: begin a new cycle
    while (channel->running) {
        try {
            if (target.isEmpty()) {
                // Made at every cycle, recording or not: the tree is there before the first file.
                cycleStart = Clock::now();
                target = RecordingPaths::recordingFile(dataDrive, cameraNumberText, cycleStart);
            }
            if (cameraType == 1)
                runNetworkPass(capture, target);
            else if (cameraType == 0)
                runLocalPass(target);
            else
                msleep(kIdlePassMs);
            checkFileState(target);
        } catch (const std::exception& e) {
            // Whatever broke, the file so far is kept and the source is opened afresh.
            qWarning() << "Camera" << cameraNumberText << "capture error:" << e.what();
            if (cameraType == 1)
                streamBroke(capture, target);
            else
                msleep(kIdlePassMs);
        }
    }
    completeFile();
    dropNextWriter();
    reader.reset(); // a read or open still blocked ends on its own thread
    capture.release();
    std::lock_guard<std::mutex> ended(endMutex); // see waitForEnd()
}

// A local video file, opened and read by the worker itself: its pacing reads the decoded
// picture's position, and a file does not hang.
bool CaptureThread::openStream(cv::VideoCapture& capture) {
    bool opened = false;
    try {
        opened = capture.open(QFile::encodeName(url).toStdString(), cv::CAP_FFMPEG) &&
                 capture.isOpened();
    } catch (const std::exception& e) {
        qWarning() << "Camera" << cameraNumberText << "cannot open" << maskPasswords(url)
                   << e.what();
    }
    if (!opened)
        capture.release();
    rawPackets = false;
    return streamOpened(opened);
}

// Whether the reader's open has ended, and how; waits a moment at most.
bool CaptureThread::awaitStream() {
    const PacketReader::Open open = reader->waitForOpen(kSleepSliceMs);
    if (open == PacketReader::Open::Pending)
        return false;
    if (stopButtonHeld) {
        stopButtonHeld = false;
        postStopButtonEnabled(true);
    }
    streamOpen = open == PacketReader::Open::Opened;
    rawPackets = streamOpen && reader->rawPackets();
    // A camera that let its open run into the time-out held every other camera's opens that
    // long; it is not opened again before it answers at all.
    probeNext = !streamOpen && reader->timedOut();
    if (!streamOpen)
        reader.reset();
    return streamOpened(streamOpen);
}

bool CaptureThread::streamOpened(bool opened) {
    setFrame(QImage()); // the status text stays visible until the first frame replaces it
    sourceOriginMs = -1;
    heldBack.release();
    undecodableSinceMs = -1;
    if (opened) {
        qInfo().noquote() << "Camera" << cameraNumberText << "connected to" << maskPasswords(url);
        openRetries = 0;
        postText(kTextConnected);
        return true;
    }
    nextOpenAtMs =
        sinceStart.elapsed() + (openRetries < kQuickRetries ? kQuickRetryMs : kSlowRetryMs);
    postText(kTextCannotConnect);
    return false;
}

void CaptureThread::runNetworkPass(cv::VideoCapture& capture, QString& target) {
    if (!capture.isOpened() && !streamOpen) {
        if (!reader) {
            const qint64 waitMs = nextOpenAtMs - sinceStart.elapsed();
            if (waitMs > 0) {
                msleep(static_cast<unsigned long>(qMin<qint64>(kSleepSliceMs, waitMs)));
                return;
            }
            ++openRetries;
            if (pacedSource) {
                if (openStream(capture))
                    target.clear(); // each connection records into a file of its own, stamped now
                return;
            }
            reader = std::make_unique<PacketReader>(url, probeNext, openCvDecodes, sinceStart);
        }
        if (awaitStream())
            target.clear();
        return;
    }

    bool got = false;
    if (reader) {
        PacketReader::Packet packet;
        const PacketReader::Result result = reader->next(packet, kSleepSliceMs);
        // The reader also ends when the worker is told to stop: that is no broken stream.
        if (result == PacketReader::Result::Nothing || !channel->running)
            return;
        got = result == PacketReader::Result::Packet;
        incoming = std::move(packet.data);
        incomingAtMs = packet.arrivalMs;
        incomingTime = packet.arrivalTime;
    } else {
        got = capture.read(incoming);
        incomingAtMs = sinceStart.elapsed();
        incomingTime = Clock::now();
    }
    if (!got || incoming.empty()) {
        qWarning() << "Camera" << cameraNumberText << "stream ended or timed out; reconnecting";
        streamBroke(capture, target);
        return;
    }
    if (pacedSource)
        paceToSource(capture);
    // A frame is used once the stream has gone on past it: the last one before a cut is often a
    // torn JPEG, decoded half grey, and must not reach the recording.
    std::swap(incoming, heldBack);
    std::swap(incomingAtMs, heldBackAtMs);
    std::swap(incomingTime, heldBackTime);
    if (incoming.empty())
        return;
    if (rawPackets) {
        // A packet that is no JPEG at all is skipped; the stream itself goes on, unless it sends
        // nothing else.
        if (!decodeMjpegPicture(incoming, decoded)) {
            if (undecodableSinceMs < 0)
                undecodableSinceMs = incomingAtMs;
            else if (incomingAtMs - undecodableSinceMs >= kUndecodableForMs)
                decodeWithOpenCv(capture);
            return;
        }
        undecodableSinceMs = -1;
        prepareRecordingFrame(decoded, channel->locationCopy(), incomingTime, work);
    } else {
        prepareRecordingFrame(incoming, channel->locationCopy(), incomingTime, work);
    }

    const bool recording = channel->recording;
    const bool writable = recording && ensureWriter(target);
    // While recordings fail, the warning stays in the preview label: a live picture over it would
    // hide that nothing is being kept.
    if (!(recording && writerFailing))
        setFrame(recordingFrameToQImage(work));
    if (writable)
        writeOnTimeline(work, incomingAtMs, incomingTime);
}

void CaptureThread::runLocalPass(QString& target) {
    if (channel->recording)
        ensureWriter(target);
    if (imageCapture.isNull()) {
        msleep(kIdlePassMs);
        return;
    }
    const QString still = RecordingPaths::stillFile(dataDrive, cameraNumberText);
    requestStill(still);
    msleep(kIdlePassMs);
    QFile::remove(still);
}

void CaptureThread::streamBroke(cv::VideoCapture& capture, QString& target) {
    completeFile();
    target.clear();
    reader.reset();
    streamOpen = false;
    capture.release();
    heldBack.release();
    setFrame(QImage());
    postText(kTextCannotConnect);
    openRetries = 0;
    nextOpenAtMs = sinceStart.elapsed() + kQuickRetryMs;
}

void CaptureThread::decodeWithOpenCv(cv::VideoCapture& capture) {
    qWarning() << "Camera" << cameraNumberText
               << "sends pictures that the fast decoder cannot read; OpenCV decodes the stream";
    openCvDecodes = true;
    reader = std::make_unique<PacketReader>(url, false, openCvDecodes, sinceStart);
    streamOpen = false; // awaitStream() takes the new connection in the passes that follow
    capture.release();
}

void CaptureThread::paceToSource(cv::VideoCapture& capture) {
    const auto positionMs = static_cast<qint64>(capture.get(cv::CAP_PROP_POS_MSEC));
    if (sourceOriginMs < 0)
        sourceOriginMs = sinceStart.elapsed() - positionMs;
    for (qint64 waitMs = sourceOriginMs + positionMs - sinceStart.elapsed();
         waitMs > 0 && channel->running;
         waitMs = sourceOriginMs + positionMs - sinceStart.elapsed())
        msleep(static_cast<unsigned long>(qMin<qint64>(kSleepSliceMs, waitMs)));
}

void CaptureThread::checkFileState(QString& target) {
    if (!channel->recording) {
        {
            std::lock_guard<std::mutex> lock(writerMutex);
            // A pause must not be filled with repeats when recording resumes into the same file.
            if (writer && framesInFile > 0)
                timelinePaused = true;
            activity.flush();
        }
        if (writerFailing) {
            writerFailing = false;
            postText(kTextConnected);
        }
        return;
    }
    bool full = false;
    bool failed = false;
    QString path;
    qint64 frames = 0;
    {
        std::lock_guard<std::mutex> lock(writerMutex);
        full = fileFull;
        failed = writeFailed;
        path = writerPath;
        frames = framesInFile;
    }
    if (!path.isEmpty() && !failed && frames >= syncedFrames + kSyncEveryFrames) {
        startWriteBack(path);
        syncedFrames = frames;
    }
    if (failed) {
        qWarning() << "Camera" << cameraNumberText << "recording writes do not reach" << path;
        OpenRecordings::reportWriteFailure();
        writerFailing = true;
        nextWriterAttemptAtMs = sinceStart.elapsed() + kWriterRetryMs;
        setFrame(QImage());
        postText(kTextCannotWrite);
    }
    if (failed) {
        completeFile();
        target.clear();
    } else if (full && target == path) {
        target.clear(); // the next file is opened while this one is written on
    }
}

bool CaptureThread::ensureWriter(QString& target) {
    bool writingOn = false; // the file before, full, written on until the next one is open
    {
        std::lock_guard<std::mutex> lock(writerMutex);
        if (writer && writerPath == target)
            return true;
        writingOn = writer != nullptr;
    }
    if (nextWriter && nextWriter->path != target)
        dropNextWriter();
    bool launched = false;
    if (!nextWriter) {
        if (sinceStart.elapsed() < nextWriterAttemptAtMs)
            return writingOn;
        // The file is named as its open begins, not when the cycle began: the name is the only
        // record of when the footage begins, and attempts that failed before (a full drive) or a
        // cycle begun while not recording must not date it back. This also makes the tree again,
        // should it have gone since (a drive unplugged and back).
        cycleStart = Clock::now();
        target = RecordingPaths::recordingFile(dataDrive, cameraNumberText, cycleStart);
        const QStorageInfo volume(QFileInfo(target).absolutePath());
        if (volume.isValid() && volume.bytesAvailable() < kMinFreeToBeginBytes) {
            if (writingOn)
                completeFile();
            return writerFailed(target, false);
        }
        // The format as set now: a change of the setting applies from the next file on.
        nextWriter = openWriterDetached(channel->format, target);
        launched = true;
    }
    std::unique_ptr<RecordingWriter> opened;
    {
        // An open takes milliseconds on a healthy disk: wait that long, so that
        // normally the file changes exactly at its limit.
        std::unique_lock<std::mutex> lock(nextWriter->mutex);
        if (launched)
            nextWriter->ready.wait_for(lock, std::chrono::milliseconds(kWriterOpenGraceMs),
                                       [this] { return nextWriter->done; });
        if (!nextWriter->done)
            return writingOn;
        opened = std::move(nextWriter->writer);
    }
    nextWriter.reset();
    if (writingOn)
        completeFile();
    if (!opened)
        return writerFailed(target, true);

    OpenRecordings::add(target);
    {
        std::lock_guard<std::mutex> lock(writerMutex);
        writer = std::move(opened);
        writerPath = target;
        syncedFrames = 0;
        framesInFile = 0;
        timelinePaused = false;
        fileFull = false;
        writeFailed = false;
        latest.release();
    }
    if (writerFailing) {
        writerFailing = false;
        postText(kTextConnected);
    }
    return true;
}

bool CaptureThread::writerFailed(const QString& target, bool room) {
    qWarning() << "Camera" << cameraNumberText << "cannot write recording" << target
               << (room ? "" : "(no space left)");
    if (room)
        QFile::remove(target); // the next attempt has a name of its own: leave no empty file
    OpenRecordings::reportWriteFailure();
    nextWriterAttemptAtMs = sinceStart.elapsed() + kWriterRetryMs;
    writerFailing = true;
    setFrame(QImage());
    postText(kTextCannotWrite);
    return false;
}

void CaptureThread::dropNextWriter() {
    if (!nextWriter)
        return;
    std::unique_ptr<RecordingWriter> opened;
    {
        std::lock_guard<std::mutex> lock(nextWriter->mutex);
        nextWriter->abandoned = true;
        opened = std::move(nextWriter->writer);
    }
    if (opened) { // opened, never written
        opened->close();
        QFile::remove(nextWriter->path);
    }
    nextWriter.reset();
}

void CaptureThread::writeOnTimeline(cv::Mat& prepared, qint64 atMs, const QDateTime& when) {
    std::lock_guard<std::mutex> lock(writerMutex);
    // A full file is written on until the next one is open (see ensureWriter()).
    if (!writer || writeFailed)
        return;

    const qint64 nowMs = atMs;
    if (framesInFile == 0) {
        timelineOriginMs = nowMs;
    } else if (timelinePaused) {
        timelineOriginMs = nowMs - framesInFile * kFrameIntervalMs;
    }
    timelinePaused = false;

    const auto append = [this](const cv::Mat& frame) {
        if (!writer->write(frame))
            writeFailed = true;
        ++framesInFile;
        const qint64 bytes = writer->trackedBytes();
        if (bytes >= fileSizeLimitBytes())
            fileFull = true;
        if (framesInFile % kSizeCheckEveryFrames == 0 &&
            QFileInfo(writerPath).size() < bytes - kSizeLagToleranceBytes)
            writeFailed = true;
    };

    // Frame n of the file stands for its start + n / 25 s: repeat the latest frame through a gap,
    // drop a frame that comes too early, so that the file plays at the speed of life. Within the
    // slack, a frame keeps its place: network and scheduling jitter must not cost a source frame
    // (dropped as early) and a repeat (filled in as late) each time.
    const qint64 slot = (nowMs - timelineOriginMs) / kFrameIntervalMs;
    if (framesInFile <= slot + kTimelineSlackFrames) {
        while (framesInFile < slot - kTimelineSlackFrames && !writeFailed)
            append(latest);
        if (!writeFailed) {
            append(prepared);
            activity.addFrame(prepared, when, nowMs);
        }
    }
    // No copy: `latest` is only ever read here, so its old pixels can become the caller's buffer.
    std::swap(latest, prepared);
}

void CaptureThread::completeFile() {
    std::unique_ptr<RecordingWriter> closing;
    QString path;
    qint64 frames = 0;
    bool failed = false;
    {
        std::lock_guard<std::mutex> lock(writerMutex);
        closing = std::move(writer);
        path = writerPath;
        frames = framesInFile;
        failed = writeFailed;
        writerPath.clear();
        framesInFile = 0;
        timelinePaused = false;
        fileFull = false;
        writeFailed = false;
        latest.release();
        activity.flush();
    }
    if (!closing)
        return;
    closing->close(); // writes the index: the file is complete
    // Writes that stopped landing (a full drive) leave the file without its end and often with a
    // torn last frame; the muxer writes nothing more once a write failed. Keep the whole frames,
    // and should the drive be too full even for that, let the keeper of disk space try again.
    if (frames > 0 && (failed || AviRepair::isUnfinished(path))) {
        const int kept = AviRepair::finish(path);
        qWarning() << "Camera" << cameraNumberText << "recording" << path << "cut short:" << kept
                   << "of" << frames << "frames kept";
        if (kept >= 0)
            frames = kept;
        else
            OpenRecordings::awaitRepair(path);
    }
    // A file without a single frame (the source gave nothing) holds no footage, only clutter.
    if (frames == 0)
        QFile::remove(path);
    OpenRecordings::remove(path);
}

void CaptureThread::setFrame(const QImage& image) {
    QImage swapped = image;
    {
        QMutexLocker lock(&channel->frameMutex);
        channel->frame.swap(swapped);
    }
    // The previous frame is freed here, outside the lock.
}

void CaptureThread::postText(const char* text) {
    if (text == shownText)
        return;
    shownText = text;
    QMetaObject::invokeMethod(
        this,
        [label = previewLabel, text = QString::fromLatin1(text)] {
            if (label)
                label->setText(text);
        },
        Qt::QueuedConnection);
}

void CaptureThread::postStopButtonEnabled(bool enabled) {
    QMetaObject::invokeMethod(
        this,
        [button = stopButton, enabled] {
            if (button)
                button->setEnabled(enabled);
        },
        Qt::QueuedConnection);
}

void CaptureThread::requestStill(const QString& path) {
    // One request at a time: a busy GUI thread must not pile up a request every 10 ms.
    if (stillRequestPending.exchange(true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this, capture = imageCapture, path] {
            stillRequestPending = false;
            if (!capture)
                return;
            capture->setCaptureDestination(QCameraImageCapture::CaptureToFile);
            capture->capture(path);
        },
        Qt::QueuedConnection);
}

// Compiled with this file, so that linking the worker does not pull in every other moc output.
#include "moc_capturethread.cpp"
