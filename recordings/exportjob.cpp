#include "recordings/exportjob.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <cerrno>
#include <cstdlib>

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QStorageInfo>
#include <QStringList>

#include "recordings/activity.h"
#include "recordings/mp4writer.h"
#include "recordings/openrecordings.h"
#include "recordings/recordingreader.h"

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kFps = int(1000 / Review::kFrameMs);
// Of the 1000 steps of progress: the encoding and the hashing of the sources run side by side,
// the hashing of the video comes last.
constexpr int kEncodeShare = 600;
constexpr int kSourceHashShare = 350;
constexpr int kHashWaitMs = 20;
constexpr qint64 kGapMs = 1000;       // missing footage this long is named in the manifest
constexpr int kExportNice = 10;       // below the recording workers, which run at 0
constexpr qint64 kMinFreeBytes = 1024 * 1024; // an encoder writing on a full drive is stopped
constexpr int kFreeCheckEveryFrames = 100;
constexpr qint64 kHashBlockBytes = 1024 * 1024;
constexpr int kMaxLocationChars = 60;

// Lowers the calling thread's priority for the life of the object. On Linux, nice is a property
// of each thread and a thread created later inherits it: the encoder's threads, started when the
// writer opens, run at the lower priority too. The old priority is put back at the end where the
// system allows (raising it again needs privileges; a thread that cannot stays lower).
class LowerPriority final {
public:
    LowerPriority() {
#ifdef Q_OS_LINUX
        tid = id_t(syscall(SYS_gettid));
        errno = 0;
        const int current = getpriority(PRIO_PROCESS, tid);
        if (errno == 0 && current < kExportNice && setpriority(PRIO_PROCESS, tid, kExportNice) == 0)
            before = current;
#endif
    }
    ~LowerPriority() {
#ifdef Q_OS_LINUX
        if (before != kExportNice)
            setpriority(PRIO_PROCESS, tid, before);
#endif
    }
    LowerPriority(const LowerPriority&) = delete;
    LowerPriority& operator=(const LowerPriority&) = delete;

private:
#ifdef Q_OS_LINUX
    id_t tid = 0;
    int before = kExportNice;
#endif
};

// Registers the source files as open for the life of the object, so that the disk-space keeper
// spares them.
class Registration final {
public:
    explicit Registration(const QVector<Review::Segment>& sources) {
        for (const Review::Segment& s : sources) {
            OpenRecordings::add(s.path);
            paths.append(s.path);
        }
    }
    ~Registration() {
        for (const QString& path : paths)
            OpenRecordings::remove(path);
    }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

private:
    QStringList paths;
};

qint64 floorDiv(qint64 a, qint64 b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

// The frames of a segment that begin within [startMs, endMs): first index and one past the last.
std::pair<qint64, qint64> framesInSpan(const Review::Segment& s, qint64 startMs, qint64 endMs) {
    const qint64 first = std::max<qint64>(0, floorDiv(startMs - s.startMs - 1, Review::kFrameMs) + 1);
    const qint64 end =
        std::min<qint64>(s.frames, floorDiv(endMs - s.startMs - 1, Review::kFrameMs) + 1);
    return {first, std::max(first, end)};
}

QString localTime(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

QString gapLine(qint64 fromMs, qint64 toMs) {
    return QStringLiteral("  %1 to %2 (%3 s)")
        .arg(localTime(fromMs), localTime(toMs), QString::number((toMs - fromMs) / 1000.0, 'f', 1));
}

struct Planned {
    int segment = 0;
    qint64 index = 0;
    qint64 ms = 0;
};

// The frames to export in order, and the stretches of the span without footage. A frame that
// begins before the one kept last (files that overlap after the clock was set back) is left out,
// so that the export runs forward in time.
QVector<Planned> planFrames(const Review::ExportRequest& r, QStringList* gaps, qint64* outOfOrder) {
    QVector<Planned> planned;
    qint64 lastMs = r.startMs - Review::kFrameMs;
    for (int s = 0; s < r.sources.size(); ++s) {
        const auto [first, end] = framesInSpan(r.sources[s], r.startMs, r.endMs);
        for (qint64 i = first; i < end; ++i) {
            const qint64 ms = r.sources[s].startMs + i * Review::kFrameMs;
            if (ms < lastMs + Review::kFrameMs / 2 && !planned.isEmpty()) {
                ++*outOfOrder;
                continue;
            }
            if (ms - (lastMs + Review::kFrameMs) >= kGapMs)
                gaps->append(gapLine(lastMs + Review::kFrameMs, ms));
            planned.append({s, i, ms});
            lastMs = ms;
        }
    }
    if (r.endMs - (lastMs + Review::kFrameMs) >= kGapMs)
        gaps->append(gapLine(lastMs + Review::kFrameMs, r.endMs));
    return planned;
}

bool cancelled(const std::atomic<bool>* cancel) {
    return cancel && cancel->load();
}

// Reports 0..1000 to the callback, each value once.
class Progress final {
public:
    explicit Progress(const std::function<void(int)>& callback) : callback(callback) {}
    void report(int permille) {
        permille = std::clamp(permille, 0, 1000);
        if (permille != last && callback)
            callback(permille);
        last = permille;
    }

private:
    const std::function<void(int)>& callback;
    int last = -1;
};

// SHA-256 of a whole file in lower-case hex; empty when it cannot be read (or when stopped).
QString sha256(const QString& path, const std::function<bool()>& stopped,
               const std::function<void(qint64)>& bytesRead) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray block(kHashBlockBytes, Qt::Uninitialized);
    for (;;) {
        if (stopped())
            return QString();
        const qint64 n = file.read(block.data(), block.size());
        if (n < 0)
            return QString();
        if (n == 0)
            break;
        hash.addData(block.constData(), int(n));
        bytesRead(n);
    }
    return QString::fromLatin1(hash.result().toHex());
}

// Hashes the source files on a thread of its own while the calling thread encodes: on a machine
// with cores to spare, the hashing costs the export no time. The thread is started by the
// export's thread and so inherits its lower priority. The calling thread reads `hashes` only
// after finish(), whose join orders it after every write.
class SourceHasher final {
public:
    SourceHasher(const QStringList& paths, const std::atomic<bool>* cancel)
        : paths(paths), cancel(cancel), totalBytes(sumOfSizes(paths)) {
        worker = std::thread([this] { run(); });
    }
    ~SourceHasher() {
        stop = true;
        if (worker.joinable())
            worker.join();
    }
    SourceHasher(const SourceHasher&) = delete;
    SourceHasher& operator=(const SourceHasher&) = delete;

    // 0..1 of the bytes to hash.
    double share() const { return double(std::min(hashedBytes.load(), totalBytes)) / totalBytes; }
    // Waits for the end, reporting; the hash of each path in order, empty where it failed.
    QStringList finish(const std::function<void()>& report) {
        while (!done)
            report(), std::this_thread::sleep_for(std::chrono::milliseconds(kHashWaitMs));
        worker.join();
        return hashes;
    }

private:
    static qint64 sumOfSizes(const QStringList& paths) {
        qint64 bytes = 1;
        for (const QString& path : paths)
            bytes += QFileInfo(path).size();
        return bytes;
    }
    void run() {
        const auto stopped = [this] { return stop || cancelled(cancel); };
        for (const QString& path : paths)
            hashes << sha256(path, stopped, [this](qint64 n) { hashedBytes += n; });
        done = true;
    }

    const QStringList paths;
    const std::atomic<bool>* cancel;
    const qint64 totalBytes;
    std::atomic<qint64> hashedBytes{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    QStringList hashes;
    std::thread worker;
};

// A base name not taken yet by a video or a manifest in the folder.
QString freeBaseName(const QDir& folder, const QString& base) {
    QString name = base;
    for (int n = 2; folder.exists(name + QStringLiteral(".mp4")) ||
                    folder.exists(name + QStringLiteral(".txt"));
         ++n)
        name = QStringLiteral("%1-%2").arg(base).arg(n);
    return name;
}

QString utcOffset(qint64 ms) {
    const int minutes = QDateTime::fromMSecsSinceEpoch(ms).offsetFromUtc() / 60;
    return QStringLiteral("UTC%1%2:%3")
        .arg(minutes < 0 ? QLatin1Char('-') : QLatin1Char('+'))
        .arg(std::abs(minutes) / 60, 2, 10, QLatin1Char('0'))
        .arg(std::abs(minutes) % 60, 2, 10, QLatin1Char('0'));
}

// Mean and peak of the activity figures of the span's seconds, and how many lie above the
// threshold that marks an event; empty when the span has no figure.
QString activityLine(const Review::ExportRequest& r) {
    double sum = 0;
    float peak = 0;
    qint64 seconds = 0, above = 0;
    QDate day = QDateTime::fromMSecsSinceEpoch(r.startMs).date();
    for (; day.startOfDay().toMSecsSinceEpoch() < r.endMs; day = day.addDays(1)) {
        const qint64 midnightMs = day.startOfDay().toMSecsSinceEpoch();
        const QVector<float> figures = Activity::readDay(r.dataDrive, r.camera, day);
        const qint64 first = std::max<qint64>(0, floorDiv(r.startMs - midnightMs, 1000));
        const qint64 end = std::min<qint64>(figures.size(), floorDiv(r.endMs - midnightMs - 1, 1000) + 1);
        for (qint64 i = first; i < end; ++i) {
            const float figure = figures.at(int(i));
            if (figure == Activity::kNone)
                continue;
            ++seconds;
            sum += figure;
            peak = std::max(peak, figure);
            above += figure > Activity::kDefaultThreshold ? 1 : 0;
        }
    }
    if (seconds == 0)
        return QString();
    return QStringLiteral("Activity (share of the picture that changed, per second): mean %1 %, "
                          "peak %2 %, %3 s above %4 % (over %5 s with figures)")
        .arg(QString::number(sum / seconds, 'f', 1), QString::number(peak, 'f', 1))
        .arg(above)
        .arg(Activity::kDefaultThreshold)
        .arg(seconds);
}

// What runExport() learns on the way, for the manifest.
struct Findings {
    qint64 frames = 0;
    qint64 unreadable = 0;
    QStringList unreadableNotes;
    qint64 outOfOrder = 0;
    QStringList gaps;
    QString activity;
    QStringList sourceLines; // "<sha-256>  <path>"
    QString videoHash;
};

QString manifestText(const Review::ExportRequest& r, const QString& videoName, const Findings& f) {
    QStringList lines;
    lines << QStringLiteral("Recording export") << QString()
          << QStringLiteral("Camera: %1").arg(r.camera)
          << QStringLiteral("Location: %1").arg(r.location)
          << QStringLiteral("From: %1 (local time, %2)").arg(localTime(r.startMs), utcOffset(r.startMs))
          << QStringLiteral("To: %1 (local time, %2)").arg(localTime(r.endMs), utcOffset(r.endMs))
          << QStringLiteral("Frames: %1, %2 s at 25 frames a second, 640x480, H.264 in MP4")
                 .arg(f.frames)
                 .arg(QString::number(f.frames * Review::kFrameMs / 1000.0, 'f', 2));
    lines << QStringLiteral("Frames left out because they could not be read: %1").arg(f.unreadable)
          << f.unreadableNotes;
    if (f.outOfOrder > 0)
        lines << QStringLiteral("Frames left out because their files overlap in time (the clock was "
                                "set back): %1")
                     .arg(f.outOfOrder);
    lines << QStringLiteral("Stretches without footage (left out: the video plays the frames that "
                            "exist one after the other): %1")
                 .arg(f.gaps.isEmpty() ? QStringLiteral("none") : QString::number(f.gaps.size()))
          << f.gaps;
    lines << (f.activity.isEmpty() ? QStringLiteral("Activity: no figures for this span")
                                   : f.activity);
    lines << QString() << QStringLiteral("Video: %1").arg(videoName)
          << QStringLiteral("SHA-256 of the video: %1").arg(f.videoHash) << QString()
          << QStringLiteral("Source recordings, each with its SHA-256:") << f.sourceLines
          << QString()
          << QStringLiteral("To check a file, compute its SHA-256 and compare it with the figure "
                            "above, for instance:")
          << QStringLiteral("  sha256sum \"%1\"   (Linux)").arg(videoName)
          << QStringLiteral("  certutil -hashfile \"%1\" SHA256   (Windows)").arg(videoName);
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

// Encodes the planned frames into `path`; false with `error` set on a failure (a cancel is no
// failure: the caller checks the flag).
bool encode(const Review::ExportRequest& r, const QVector<Planned>& planned, const QString& path,
            const std::atomic<bool>* cancel, const std::function<void(double)>& progress,
            Findings* f, QString* error) {
    Mp4Writer writer;
    QString why;
    if (!writer.open(path, cv::Size(kWidth, kHeight), kFps, &why)) {
        *error = QStringLiteral("Cannot create the video %1: %2")
                     .arg(QDir::toNativeSeparators(path), why);
        return false;
    }
    const QString cannotWrite =
        QStringLiteral("The video could not be written whole into %1 (is the drive full?).")
            .arg(QDir::toNativeSeparators(r.outputFolder));
    Review::RecordingReader reader;
    cv::Mat frame;
    for (int n = 0; n < planned.size() && !cancelled(cancel); ++n) {
        const Review::Segment& s = r.sources[planned[n].segment];
        QString note;
        if (reader.readFrame(s, planned[n].index, &frame, &note) == Review::RecordingReader::Result::Ok &&
            frame.cols == kWidth && frame.rows == kHeight && frame.type() == CV_8UC3) {
            if (!writer.write(frame)) {
                *error = cannotWrite;
                return false;
            }
            ++f->frames;
        } else if (!QFileInfo::exists(s.path)) {
            *error = QStringLiteral("The recording %1 was deleted during the export.")
                         .arg(QDir::toNativeSeparators(s.path));
            return false;
        } else if (++f->unreadable <= 20) {
            f->unreadableNotes << QStringLiteral("  %1 frame %2: %3")
                                      .arg(QFileInfo(s.path).fileName())
                                      .arg(planned[n].index)
                                      .arg(note.isEmpty() ? QStringLiteral("unreadable") : note);
        }
        // An export onto the data drive must not take the recordings' last bytes: it stops
        // short of a full drive.
        if (n % kFreeCheckEveryFrames == 0) {
            const QStorageInfo volume(QFileInfo(path).absolutePath());
            if (volume.isValid() && volume.bytesAvailable() < kMinFreeBytes) {
                *error = QStringLiteral("The drive of %1 is full.")
                             .arg(QDir::toNativeSeparators(r.outputFolder));
                return false;
            }
        }
        progress(double(n + 1) / planned.size());
    }
    if (cancelled(cancel))
        return true;
    if (f->frames == 0) {
        *error = QStringLiteral("No frame of the span could be read.");
        return false;
    }
    if (!writer.finish()) {
        *error = cannotWrite;
        return false;
    }
    return true;
}

// The sources that give frames, in order.
QStringList usedSources(const Review::ExportRequest& r, const QVector<Planned>& planned) {
    QStringList used;
    for (const Planned& p : planned)
        if (used.isEmpty() || used.last() != r.sources[p.segment].path)
            used.append(r.sources[p.segment].path);
    return used;
}

// The manifest's lines of the sources; false with `error` set when one could not be hashed or
// is gone (deleted while it was read: the reader may have held it open).
bool sourceLines(const QStringList& paths, const QStringList& hashes,
                 const QSet<QString>& recordedBefore, Findings* f, QString* error) {
    for (int i = 0; i < paths.size(); ++i) {
        const QString& path = paths[i];
        if (i >= hashes.size() || hashes[i].isEmpty() || !QFileInfo::exists(path)) {
            *error = (QFileInfo::exists(path)
                          ? QStringLiteral("Cannot read the recording %1.")
                          : QStringLiteral("The recording %1 was deleted during the export."))
                         .arg(QDir::toNativeSeparators(path));
            return false;
        }
        f->sourceLines << QStringLiteral("%1  %2%3").arg(
            hashes[i], QDir::toNativeSeparators(path),
            recordedBefore.contains(path)
                ? QStringLiteral("   (was being recorded: the figure is of the file as it was "
                                 "then; it may have grown since)")
                : QString());
    }
    return true;
}

} // namespace

QString Review::exportBaseName(int camera, const QString& location, qint64 startMs, qint64 endMs) {
    // Letters and digits of any script, '-' and '.': nothing that some system reserves (the
    // separators, ':', '*', '?', '"', '<', '>', '|', control characters) or that a shell splits.
    QString place;
    for (const QChar c : location.normalized(QString::NormalizationForm_C)) {
        const bool kept = c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('.');
        if (kept)
            place += c;
        else if (!place.endsWith(QLatin1Char('_')))
            place += QLatin1Char('_');
    }
    place.truncate(kMaxLocationChars);
    // Windows drops trailing dots; leading ones hide a file elsewhere.
    while (place.startsWith(QLatin1Char('_')) || place.startsWith(QLatin1Char('.')))
        place.remove(0, 1);
    while (place.endsWith(QLatin1Char('_')) || place.endsWith(QLatin1Char('.')))
        place.chop(1);
    const QString format = QStringLiteral("yyyy-MM-dd_HH-mm-ss");
    return QStringLiteral("camera-%1%2_%3_to_%4")
        .arg(camera)
        .arg(place.isEmpty() ? QString() : QLatin1Char('_') + place)
        .arg(QDateTime::fromMSecsSinceEpoch(startMs).toString(format),
             QDateTime::fromMSecsSinceEpoch(endMs).toString(format));
}

Review::ExportResult Review::runExport(const ExportRequest& request,
                                       const std::function<void(int)>& progressCallback,
                                       const std::atomic<bool>* cancel) {
    ExportResult result;
    const QString folderName = QDir::toNativeSeparators(request.outputFolder);
    const QFileInfo folderInfo(request.outputFolder);
    if (request.outputFolder.isEmpty() || !folderInfo.isDir()) {
        result.error = (folderInfo.exists() ? QStringLiteral("\"%1\" is not a folder.")
                                            : QStringLiteral("The folder \"%1\" does not exist."))
                           .arg(folderName);
        return result;
    }
    if (!folderInfo.isWritable()) {
        result.error = QStringLiteral("The folder \"%1\" cannot be written to.").arg(folderName);
        return result;
    }
    Findings findings;
    const QVector<Planned> planned = planFrames(request, &findings.gaps, &findings.outOfOrder);
    if (planned.isEmpty()) {
        result.error = QStringLiteral("Camera %1 has no recording between %2 and %3.")
                           .arg(request.camera)
                           .arg(localTime(request.startMs), localTime(request.endMs));
        return result;
    }

    const QSet<QString> recordedBefore = OpenRecordings::snapshot();
    const Registration registration(request.sources);
    const LowerPriority lowerPriority;
    Progress progress(progressCallback);
    progress.report(0);

    const QDir folder(request.outputFolder);
    const QString base = freeBaseName(folder, exportBaseName(request.camera, request.location,
                                                             request.startMs, request.endMs));
    const QString videoPath = folder.filePath(base + QStringLiteral(".mp4"));
    const QString manifestPath = folder.filePath(base + QStringLiteral(".txt"));
    // Hidden where names starting with a dot are: nobody takes a half-written video for one.
    const QString videoPart = folder.filePath(QStringLiteral(".%1.partial.mp4").arg(base));

    const QStringList sources = usedSources(request, planned);
    SourceHasher hasher(sources, cancel);
    double encoded = 0;
    const auto report = [&] {
        progress.report(int(kEncodeShare * encoded + kSourceHashShare * hasher.share()));
    };
    const auto encodeProgress = [&](double share) {
        encoded = share;
        report();
    };
    QString error;
    const bool encodedOk =
        encode(request, planned, videoPart, cancel, encodeProgress, &findings, &error);
    const QStringList hashes = encodedOk ? hasher.finish(report) : QStringList();
    qint64 videoBytes = 1, videoHashed = 0;
    const auto onVideoBytes = [&](qint64 n) {
        videoHashed = std::min(videoHashed + n, videoBytes);
        progress.report(kEncodeShare + kSourceHashShare +
                        int(videoHashed * (1000 - kEncodeShare - kSourceHashShare - 1) / videoBytes));
    };
    if (encodedOk && !cancelled(cancel) &&
        sourceLines(sources, hashes, recordedBefore, &findings, &error)) {
        videoBytes = std::max<qint64>(1, QFileInfo(videoPart).size());
        findings.videoHash = sha256(videoPart, [cancel] { return cancelled(cancel); }, onVideoBytes);
        if (findings.videoHash.isEmpty() && !cancelled(cancel))
            error = QStringLiteral("Cannot read the video back: %1.")
                        .arg(QDir::toNativeSeparators(videoPart));
    }
    if (!error.isEmpty() || cancelled(cancel)) {
        QFile::remove(videoPart);
        result.cancelled = error.isEmpty();
        result.error = error;
        return result;
    }

    if (!request.dataDrive.isEmpty())
        findings.activity = activityLine(request);
    // The manifest is complete under its temporary name before the video takes its own: either
    // both end up under their names or neither does.
    QSaveFile manifest(manifestPath);
    const QByteArray text = manifestText(request, QFileInfo(videoPath).fileName(), findings).toUtf8();
    if (!manifest.open(QIODevice::WriteOnly) || manifest.write(text) != text.size()) {
        QFile::remove(videoPart);
        result.error = QStringLiteral("Cannot write the manifest %1: %2")
                           .arg(QDir::toNativeSeparators(manifestPath), manifest.errorString());
        return result;
    }
    QFile part(videoPart);
    if (!part.rename(videoPath)) {
        QFile::remove(videoPart);
        result.error = QStringLiteral("Cannot name the video %1: %2")
                           .arg(QDir::toNativeSeparators(videoPath), part.errorString());
        return result;
    }
    if (!manifest.commit()) {
        QFile::remove(videoPath);
        result.error = QStringLiteral("Cannot write the manifest %1: %2")
                           .arg(QDir::toNativeSeparators(manifestPath), manifest.errorString());
        return result;
    }
    progress.report(1000);
    result.ok = true;
    result.videoPath = videoPath;
    result.manifestPath = manifestPath;
    result.frames = findings.frames;
    return result;
}
