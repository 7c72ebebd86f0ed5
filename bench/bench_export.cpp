// Export benchmark: records camsim cameras with the real recorder window, then exports a span of
// camera 1 to H.264, once with nothing recording and once while every camera records again.
// Prints the export's speed as a multiple of real time and whether the recording workers kept
// their 25 fps meanwhile (camsim's frame counters read back from their files). Prints figures;
// it is not a test.
//
// Usage: bench_export [--cameras N] [--span S] [--keep]
// Each camera is a camsim stream (1280x720, 25 fps, a pre-rendered --loop of 250 frames, so that
// the simulators cost next to nothing). "expected" counts 25 frames a second from the Record
// press, so the second or so a camera takes to connect shows as the difference.

#include <algorithm>
#include <cstdio>
#include <memory>
#include <unistd.h>
#include <vector>

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include "recordings/exporttask.h"
#include "recordings/recordingindex.h"

#include "benchsupport.h"
#include "support/recorder.h"

namespace {

constexpr int kLoopFrames = 250;

void runEventsFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

std::unique_ptr<Camera> startRecording(const std::vector<std::unique_ptr<CamsimProcess>>& cams,
                                       const QString& dataDrive) {
    QDir().mkpath(dataDrive); // the recorder makes the folders below a data drive, not the drive
    Cameras cameras;
    for (size_t i = 0; i < cams.size(); ++i) {
        onStream(cameras[i], cams[i]->streamUrl(), true);
        cameras[i].location = QStringLiteral("Camera %1 loading bay").arg(i + 1);
    }
    return openWindow(cameras, dataDrive);
}

// Camera 1's files of today and yesterday, oldest first, as the Recordings window sees them.
QVector<Review::Segment> cameraSegments(const QString& dataDrive) {
    Review::RecordingIndex index(dataDrive);
    QVector<Review::Segment> all;
    for (const QDate& day : {QDate::currentDate().addDays(-1), QDate::currentDate()}) {
        index.refreshDay(day);
        for (const Review::Segment& s : index.segments(1, day))
            if (all.isEmpty() || s.startMs > all.last().startMs)
                all.append(s);
    }
    return all;
}

struct Timed {
    Review::ExportResult result;
    double wallS = 0;
    double cpuS = 0;
};

// Runs the export on its own thread, as the window does, and waits for its end.
Timed exportSpan(const Review::ExportRequest& request) {
    Timed t;
    Review::ExportTask task(request);
    QEventLoop loop;
    QObject::connect(&task, &Review::ExportTask::finished, &loop,
                     [&](const Review::ExportResult& result) {
                         t.result = result;
                         loop.quit();
                     });
    const double cpu0 = processCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    task.start();
    loop.exec();
    t.wallS = wall.elapsed() / 1000.0;
    t.cpuS = processCpuSeconds() - cpu0;
    return t;
}

void printExport(const char* when, const Timed& t, double spanS, double target) {
    if (!t.result.ok) {
        std::printf("export %s FAILED: %s\n", when, qPrintable(t.result.error));
        return;
    }
    std::printf("export %s: %lld frames (%.1f s of footage) in %.1f s: %.2fx real time (target "
                ">= %gx); CPU %.1f s of this process meanwhile\n",
                when, t.result.frames, spanS, t.wallS, spanS / t.wallS, target, t.cpuS);
}

// Source frames that reached each camera's files, and the frames in them against 25 a second for
// as long as the window recorded (less the moment a camera takes to connect).
void printRecording(const char* when, const QString& dataDrive, int cameras, double recordedS) {
    double worst = 1.0;
    for (int c = 1; c <= cameras; ++c) {
        const QStringList files = recordingFiles(dataDrive, c);
        const Coverage cov = frameCoverage(files, kLoopFrames);
        worst = std::min(worst, cov.share());
        std::printf("  %s camera %d: %lld of %lld source frames recorded (%.2f %%); %lld frames in "
                    "%lld files of %.0f expected; %lld unreadable\n",
                    when, c, cov.distinct, cov.spanned, 100.0 * cov.share(), cov.framesRead,
                    qint64(files.size()), recordedS * 25, cov.unreadable);
    }
    std::printf("  %s worst camera: %.2f %% of the source frames\n", when, 100.0 * worst);
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QTemporaryDir root(QDir::tempPath() + QStringLiteral("/bench_export-XXXXXX"));
    if (!root.isValid())
        return 2;
    isolateHome(root.filePath(QStringLiteral("home")));
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions({{"cameras", "Cameras recording, 1 to 8 (default 8).", "N"},
                       {"span", "Seconds of camera 1 to export (default 60).", "S"},
                       {"keep", "Keep the temporary folder."}});
    parser.process(app);
    const int cameraCount =
        parser.isSet("cameras") ? std::clamp(parser.value("cameras").toInt(), 1, kCameraCount) : 8;
    const int spanS = parser.isSet("span") ? std::max(5, parser.value("span").toInt()) : 60;
    if (parser.isSet("keep")) {
        root.setAutoRemove(false);
        std::printf("keeping %s\n", qPrintable(root.path()));
    }
    std::printf("bench_export: %d camera(s) at 1280x720 25 fps, a span of %d s, %ld cores\n",
                cameraCount, spanS, sysconf(_SC_NPROCESSORS_ONLN));
    std::fflush(stdout);

    std::vector<std::unique_ptr<CamsimProcess>> cams;
    for (int i = 0; i < cameraCount; ++i) {
        cams.push_back(std::make_unique<CamsimProcess>(
            QStringList{"--fps", "25", "--width", "1280", "--height", "720", "--loop",
                        QString::number(kLoopFrames)}));
        if (!cams.back()->start(120000)) {
            std::fprintf(stderr, "bench_export: %s\n", qPrintable(cams.back()->errorString()));
            return 2;
        }
    }

    // 1. The footage: every camera records for the span and a few seconds more.
    const QString footage = root.filePath(QStringLiteral("footage")) + QLatin1Char('/');
    QElapsedTimer recording;
    double aloneS = 0;
    {
        const auto window = startRecording(cams, footage);
        if (!window)
            return 2;
        recording.start();
        runEventsFor((spanS + 10) * 1000);
        closeWindow(*window);
        aloneS = recording.elapsed() / 1000.0;
    }
    const QVector<Review::Segment> segments = cameraSegments(footage);
    if (segments.isEmpty()) {
        std::fprintf(stderr, "bench_export: camera 1 recorded nothing\n");
        return 2;
    }
    Review::ExportRequest request;
    request.camera = 1;
    request.location = QStringLiteral("Camera 1 loading bay");
    request.startMs = segments.first().startMs + 2000;
    request.endMs = std::min(request.startMs + spanS * 1000, segments.last().endMs());
    request.sources = segments;
    request.dataDrive = footage;
    request.outputFolder = root.filePath(QStringLiteral("idle"));
    QDir().mkpath(request.outputFolder);
    std::printf("\nrecording without an export (%d files of camera 1)\n", int(segments.size()));
    printRecording("alone ", footage, cameraCount, aloneS);

    // 2. The export with nothing recording.
    const Timed idle = exportSpan(request);
    const double footageS = idle.result.frames * Review::kFrameMs / 1000.0;
    std::printf("\n");
    printExport("with nothing recording", idle, footageS, 4);
    if (idle.result.ok) {
        const MediaInfo info = MediaProbe::probe(idle.result.videoPath);
        std::printf("  ffprobe: %s %dx%d at %s, %lld frames; %lld bytes\n", qPrintable(info.codec),
                    info.width, info.height, qPrintable(info.frameRate), info.frameCount,
                    QFileInfo(idle.result.videoPath).size());
    }

    // 3. The same export while every camera records into a data drive of its own.
    const QString busy = root.filePath(QStringLiteral("busy")) + QLatin1Char('/');
    request.outputFolder = root.filePath(QStringLiteral("loaded"));
    QDir().mkpath(request.outputFolder);
    Timed loaded;
    double busyS = 0;
    {
        const auto window = startRecording(cams, busy);
        if (!window)
            return 2;
        recording.start();
        runEventsFor(3000); // the workers settle at 25 fps first
        loaded = exportSpan(request);
        runEventsFor(2000);
        closeWindow(*window);
        busyS = recording.elapsed() / 1000.0;
    }
    for (auto& c : cams)
        c->stop();
    printExport(QStringLiteral("while %1 cameras record").arg(cameraCount).toUtf8().constData(),
                loaded, footageS, 2);
    std::printf("\nrecording during the export (3 s before it, 2 s after)\n");
    printRecording("export", busy, cameraCount, busyS);
    return idle.result.ok && loaded.result.ok ? 0 : 1;
}
