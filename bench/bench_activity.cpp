// The activity meter on camsim's noisy scene with a box crossing it at known seconds, prepared as
// the recorder prepares frames (raw MJPEG packets decoded to planes, 640x480 4:2:0 with the two
// texts): prints the meter's time per frame and, second by second, the figure it gives and
// whether the box was in view. Prints figures; it is not a test.
//
// Usage: bench_activity [noise [seconds]] (defaults 20 and 8; the box crosses at 2, 5 and 6 s).
#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QRegularExpression>

#include <opencv2/videoio.hpp>

#include "capture/activitymeter.h"
#include "capture/frameconversion.h"
#include "capture/mjpegdecode.h"
#include "support/camsimprocess.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int noise = argc > 1 ? atoi(argv[1]) : 20;
    const int seconds = argc > 2 ? std::max(3, atoi(argv[2])) : 8;
    CamsimProcess cam({"--fps", "25", "--width", "640", "--height", "480", "--noise",
                       QString::number(noise), "--move-at", "2,5,6"});
    std::vector<std::pair<qint64, qint64>> passes; // wall-clock ms of first and last box frame
    const QRegularExpression passLine(QStringLiteral("from (\\d+) to (\\d+) ms"));
    cam.setLogHandler([&](const QString& line) {
        const QRegularExpressionMatch m = passLine.match(line);
        if (m.hasMatch())
            passes.emplace_back(m.captured(1).toLongLong(), m.captured(2).toLongLong());
    });
    if (!cam.start()) {
        std::fprintf(stderr, "bench_activity: %s\n", qPrintable(cam.errorString()));
        return 2;
    }
    cv::VideoCapture source(cam.streamUrl().toStdString(), cv::CAP_FFMPEG);
    if (!source.isOpened() || !source.set(cv::CAP_PROP_FORMAT, -1))
        return 2;
    std::vector<cv::Mat> frames;
    std::vector<qint64> arrivalMs;
    cv::Mat packet, frame;
    DecodedPicture decoded;
    // Timed as the worker runs it: right after the frame's preparation, its pixels still cached.
    ActivityMeter hotMeter;
    qint64 hotNs = 0;
    QElapsedTimer hotTimer;
    const qint64 startMs = QDateTime::currentMSecsSinceEpoch();
    while (QDateTime::currentMSecsSinceEpoch() - startMs < seconds * 1000 && source.read(packet)) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (!decodeMjpegPicture(packet, decoded))
            continue;
        prepareRecordingFrame(decoded, QStringLiteral("Camera 1 yard"),
                              QDateTime::fromMSecsSinceEpoch(now), frame);
        hotTimer.start();
        hotMeter.measure(frame, now - startMs);
        hotNs += hotTimer.nsecsElapsed();
        frames.push_back(frame.clone());
        arrivalMs.push_back(now);
    }
    QCoreApplication::processEvents(); // the last pass lines
    cam.stop();
    if (frames.empty())
        return 2;

    std::vector<float> shares(frames.size());
    constexpr int kRounds = 20;
    QElapsedTimer timer;
    timer.start();
    for (int round = 0; round < kRounds; ++round) {
        ActivityMeter meter;
        for (size_t i = 0; i < frames.size(); ++i)
            shares[i] = meter.measure(frames[i], arrivalMs[i] - startMs);
    }
    const double usPerFrame = timer.nsecsElapsed() / 1e3 / double(kRounds * frames.size());
    std::printf("%zu frames of camsim 640x480 (noise %d) prepared as recorded; meter per frame: "
                "%.1f us right after preparing, %.1f us on frames read back from memory\n",
                frames.size(), noise, hotNs / 1e3 / double(frames.size()), usPerFrame);

    std::map<qint64, float> figure; // the largest share of each second, as recorded
    for (size_t i = 0; i < frames.size(); ++i) {
        float& f = figure[(arrivalMs[i] - startMs) / 1000];
        f = std::max(f, shares[i]);
    }
    std::printf("second  figure %%  box in view\n");
    for (const auto& [second, percent] : figure) {
        const qint64 from = startMs + second * 1000, to = from + 1000;
        const bool box = std::any_of(passes.begin(), passes.end(), [&](const auto& p) {
            return p.first < to && p.second >= from;
        });
        std::printf("%6lld %9.2f  %s\n", second, double(percent), box ? "yes" : "");
    }
    return 0;
}
