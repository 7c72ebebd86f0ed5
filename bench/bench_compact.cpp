// Compact recordings against IYUV on the same frames: camsim's test pattern with its sensor noise,
// read and prepared as the recorder does (raw MJPEG packets decoded to planes, 640x480 4:2:0 with
// the two texts), written through both writers. Prints bytes per frame, the size ratio, the PSNR of the
// compact frames against the IYUV recording (whole frame, and the bands of the burned-in texts)
// and the encoder's time per frame, for a few JPEG qualities. Prints figures; it is not a test.
//
// Usage: bench_compact [frames [png]]: with `png`, the two text bands of the first frame at each
// quality are stacked under those of IYUV into that image, to look at.
#include <cstdio>
#include <vector>

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "capture/frameconversion.h"
#include "capture/mjpegaviwriter.h"
#include "capture/mjpegdecode.h"
#include "capture/recordingwriter.h"
#include "support/camsimprocess.h"

namespace {
std::vector<cv::Mat> readBack(const QString& path) {
    std::vector<cv::Mat> frames;
    cv::VideoCapture capture(path.toStdString(), cv::CAP_FFMPEG);
    for (cv::Mat f; capture.read(f);)
        frames.push_back(f.clone());
    return frames;
}

// Mean PSNR over the frames, within `rows` of each (the whole frame when empty).
double meanPsnr(const std::vector<cv::Mat>& a, const std::vector<cv::Mat>& b, cv::Range rows) {
    double sum = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        sum += cv::PSNR(a[i].rowRange(rows), b[i].rowRange(rows));
    return a.empty() ? 0 : sum / double(std::min(a.size(), b.size()));
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(10, atoi(argv[1])) : 100;
    CamsimProcess cam({"--fps", "25", "--width", "1280", "--height", "720", "--loop", "100"});
    if (!cam.start(120000)) {
        std::fprintf(stderr, "bench_compact: %s\n", qPrintable(cam.errorString()));
        return 2;
    }
    cv::VideoCapture source(cam.streamUrl().toStdString(), cv::CAP_FFMPEG);
    if (!source.isOpened() || !source.set(cv::CAP_PROP_FORMAT, -1))
        return 2;
    std::vector<cv::Mat> prepared;
    cv::Mat packet, frame;
    DecodedPicture decoded;
    const QDateTime when = QDateTime::currentDateTime();
    while (int(prepared.size()) < count && source.read(packet)) {
        if (!decodeMjpegPicture(packet, decoded))
            continue;
        prepareRecordingFrame(decoded, QStringLiteral("Camera 1 shop floor"),
                              when.addSecs(qint64(prepared.size()) / 25), frame);
        prepared.push_back(frame.clone());
    }

    QTemporaryDir dir;
    const QString iyuvPath = dir.filePath(QStringLiteral("iyuv.avi"));
    auto iyuv = openRecordingWriter(RecordingFormat::Iyuv, iyuvPath);
    for (const cv::Mat& f : prepared)
        iyuv->write(f);
    iyuv->close();
    const std::vector<cv::Mat> reference = readBack(iyuvPath);
    const double iyuvPerFrame = double(QFileInfo(iyuvPath).size()) / double(reference.size());
    std::printf("%zu frames of camsim 1280x720 (noise) prepared to 640x480; IYUV %.0f bytes per "
                "frame\n",
                reference.size(), iyuvPerFrame);
    std::vector<cv::Mat> bands{reference[0].rowRange(0, 24), reference[0].rowRange(432, 462)};
    std::printf("quality  bytes/frame  IYUV/compact  PSNR dB (frame, text bands)  encode ms/frame\n");
    for (int quality : {70, 75, 80, kCompactJpegQuality, 90}) {
        const QString path = dir.filePath(QStringLiteral("q%1.avi").arg(quality));
        MjpegAviWriter writer(quality);
        if (!writer.open(path))
            return 2;
        QElapsedTimer timer;
        timer.start();
        for (const cv::Mat& f : prepared)
            writer.write(f);
        const double ms = timer.nsecsElapsed() / 1e6 / double(prepared.size());
        writer.close();
        const std::vector<cv::Mat> compact = readBack(path);
        bands.push_back(compact[0].rowRange(0, 24));
        bands.push_back(compact[0].rowRange(432, 462));
        const double perFrame = double(QFileInfo(path).size()) / double(compact.size());
        const double text = (meanPsnr(compact, reference, cv::Range(0, 24)) +
                             meanPsnr(compact, reference, cv::Range(432, 462))) / 2;
        std::printf("%5d%s %12.0f %13.1f %12.2f %8.2f %16.2f\n", quality,
                    quality == kCompactJpegQuality ? "*" : " ", perFrame, iyuvPerFrame / perFrame,
                    meanPsnr(compact, reference, cv::Range::all()), text, ms);
    }
    std::printf("* the recorder's quality\n");
    if (argc > 2) {
        cv::Mat stacked;
        cv::vconcat(bands, stacked);
        cv::imwrite(argv[2], stacked);
    }
    return 0;
}
