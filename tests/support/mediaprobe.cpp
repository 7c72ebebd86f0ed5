#include "support/mediaprobe.h"

#include <QMap>
#include <QProcess>

namespace {
struct RunResult {
    bool finished = false;
    int exitCode = -1;
    QString out;
    QString err;
};

RunResult run(const QString& program, const QStringList& arguments, int timeoutMs) {
    RunResult result;
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(5000)) {
        result.err = program + QStringLiteral(" did not start: ") + process.errorString();
        return result;
    }
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        result.err = program + QStringLiteral(" timed out");
        return result;
    }
    result.finished = process.exitStatus() == QProcess::NormalExit;
    result.exitCode = process.exitCode();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}
} // namespace

MediaInfo MediaProbe::probe(const QString& path, int timeoutMs) {
    MediaInfo info;
    const RunResult r =
        run(QStringLiteral("ffprobe"),
            {"-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
             "stream=codec_name,codec_tag_string,codec_tag,pix_fmt,width,height,"
             "r_frame_rate,nb_read_frames,nb_frames,duration",
             "-of", "default=noprint_wrappers=1", path},
            timeoutMs);
    QMap<QString, QString> fields;
    for (const QString& line : r.out.split('\n', Qt::SkipEmptyParts)) {
        const int eq = line.indexOf('=');
        if (eq > 0)
            fields.insert(line.left(eq).trimmed(), line.mid(eq + 1).trimmed());
    }
    info.error = r.err.trimmed();
    info.ok = r.finished && r.exitCode == 0 && fields.contains("codec_name");
    info.codec = fields.value("codec_name");
    info.codecTag = fields.value("codec_tag_string");
    info.codecTagHex = fields.value("codec_tag");
    info.pixelFormat = fields.value("pix_fmt");
    info.width = fields.value("width").toInt();
    info.height = fields.value("height").toInt();
    info.frameRate = fields.value("r_frame_rate");
    bool counted = false;
    const qint64 frames = fields.value("nb_read_frames").toLongLong(&counted);
    info.frameCount = counted ? frames : -1;
    const qint64 headerFrames = fields.value("nb_frames").toLongLong(&counted);
    info.headerFrames = counted ? headerFrames : -1;
    bool timed = false;
    const double duration = fields.value("duration").toDouble(&timed);
    info.durationSec = timed ? duration : -1;
    return info;
}

QString MediaProbe::decodeErrors(const QString& path, int timeoutMs) {
    const RunResult r =
        run(QStringLiteral("ffmpeg"), {"-v", "error", "-i", path, "-f", "null", "-"}, timeoutMs);
    if (!r.finished || r.exitCode != 0)
        return r.err.isEmpty() ? QStringLiteral("ffmpeg failed") : r.err.trimmed();
    return r.err.trimmed();
}

bool MediaProbe::runFfmpeg(const QStringList& arguments, int timeoutMs, QString* errorText) {
    const RunResult r =
        run(QStringLiteral("ffmpeg"), QStringList{"-v", "error", "-y"} + arguments, timeoutMs);
    if (errorText)
        *errorText = r.err.trimmed();
    return r.finished && r.exitCode == 0;
}
