#include "support/mediaprobe.h"

#include <QMap>
#include <QProcess>

namespace {
// The program's standard output, or a null text with its complaint in `error`.
QString run(const QString& program, const QStringList& arguments, int timeoutMs, QString* error) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(5000) || !process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        *error = program + QStringLiteral(" did not run in time: ") + process.errorString();
        return QString();
    }
    *error = QString::fromUtf8(process.readAllStandardError()).trimmed();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        if (error->isEmpty())
            *error = program + QStringLiteral(" failed");
        return QString();
    }
    return QString::fromUtf8(process.readAllStandardOutput()) + QStringLiteral("\n");
}
} // namespace

MediaInfo MediaProbe::probe(const QString& path, int timeoutMs) {
    MediaInfo info;
    const QString out =
        run(QStringLiteral("ffprobe"),
            {"-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
             "stream=codec_name,codec_tag_string,codec_tag,pix_fmt,width,height,"
             "r_frame_rate,nb_read_frames,nb_frames,duration",
             "-of", "default=noprint_wrappers=1", path},
            timeoutMs, &info.error);
    QMap<QString, QString> fields;
    for (const QString& line : out.split('\n', Qt::SkipEmptyParts)) {
        const int eq = line.indexOf('=');
        if (eq > 0)
            fields.insert(line.left(eq).trimmed(), line.mid(eq + 1).trimmed());
    }
    info.ok = fields.contains("codec_name");
    info.codec = fields.value("codec_name");
    info.codecTag = fields.value("codec_tag_string");
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
    QString error;
    run(QStringLiteral("ffmpeg"), {"-v", "error", "-i", path, "-f", "null", "-"}, timeoutMs,
        &error);
    return error;
}
