// ctest-labels: threaded
// The review side's view of the recording tree: which files make the timeline of a day and how
// long each is (gaps, midnight, the file being recorded, torn and foreign files), and the frames
// read back at a time, across file boundaries, in both formats, or reported missing.
#include <sys/stat.h>

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgproc.hpp>

#include "capture/recordingwriter.h"
#include "recordings/recordingindex.h"
#include "recordings/recordingpaths.h"
#include "recordings/recordingreader.h"
#include "support/framecode.h"
#include "support/recorder.h"

using namespace Review;

namespace {
const QDate kDay(2026, 6, 10);

QDateTime at(int dayOffset, const QString& time) {
    return QDateTime(kDay.addDays(dayOffset),
                     QTime::fromString(time, time.size() > 8 ? "HH:mm:ss.zzz" : "HH:mm:ss"));
}

QString pathOf(const QString& drive, int camera, const QDateTime& when) {
    QDir().mkpath(drive);
    return RecordingPaths::recordingFile(drive, QString::number(camera), when);
}

// Records frames carrying the codes firstCode, firstCode + 1, ...; an unfinished file is left
// as a kill leaves it, with `tornBytes` of one more frame.
void record(const QString& path, RecordingFormat format, int firstCode, int frames,
            bool finish = true, int tornBytes = 0) {
    auto writer = openRecordingWriter(format, path);
    QVERIFY(writer);
    cv::Mat bgr(480, 640, CV_8UC3, cv::Scalar(40, 120, 200)), i420;
    qint64 whole = 0;
    for (int i = 0; i < frames + (tornBytes > 0); ++i) {
        whole = writer->trackedBytes();
        drawFrameCounter(bgr, firstCode + i);
        cv::cvtColor(bgr, i420, cv::COLOR_BGR2YUV_I420);
        QVERIFY(writer->write(i420));
    }
    if (tornBytes == 0)
        whole = writer->trackedBytes();
    const QByteArray killed = readBytes(path).left(int(whole + tornBytes));
    writer->close();
    if (!finish)
        QVERIFY(writeBytes(path, killed));
}

QString describe(const Segment& s) {
    const QDateTime start = QDateTime::fromMSecsSinceEpoch(s.startMs);
    return QString("%1 %2 %3 %4")
        .arg(s.camera)
        .arg(kDay.daysTo(start.date()))
        .arg(start.time().toString(start.time().msec() ? "HH:mm:ss.zzz" : "HH:mm:ss"))
        .arg(s.frames);
}
} // namespace

class TestReviewIndex : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QByteArray iyuvHead; // a real IYUV recording's header, up to its first frame
    QString seekDrive;
    std::unique_ptr<RecordingIndex> seekIndex;
    RecordingReader reader; // kept across rows: it switches between files as playback does

    // Sparse IYUV files of `frames` frames and `tornBytes` more, as many as the size makes.
    void fakeIyuv(const QString& path, qint64 frames, qint64 tornBytes = 0) {
        QVERIFY(writeBytes(path, iyuvHead));
        QVERIFY(QFile(path).resize(iyuvHead.size() + frames * kIyuvChunkBytes + tornBytes));
    }

private slots:
    void initTestCase();
    void timeline_data();
    void timeline();
    void liveFile_data();
    void liveFile();
    void seek_data();
    void seek();
    void missing_data();
    void missing();
};

void TestReviewIndex::initTestCase() {
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(dir.isValid());
    const QString one = dir.filePath("one.avi");
    record(one, RecordingFormat::Iyuv, 1, 1);
    const QByteArray bytes = readBytes(one);
    iyuvHead = bytes.left(bytes.indexOf("movi") + 4);
    QVERIFY(iyuvHead.size() > 100 && bytes.mid(iyuvHead.size(), 4) == "00dc");

    // Three files back to back, a gap, and a compact file still being written.
    seekDrive = dir.filePath("seek/");
    record(pathOf(seekDrive, 1, at(0, "12:00:00.000")), RecordingFormat::Iyuv, 100, 5);
    record(pathOf(seekDrive, 1, at(0, "12:00:00.200")), RecordingFormat::Iyuv, 200, 5);
    record(pathOf(seekDrive, 1, at(0, "12:00:00.400")), RecordingFormat::Mjpeg, 300, 5);
    record(pathOf(seekDrive, 1, at(0, "12:00:05.000")), RecordingFormat::Mjpeg, 400, 3, false, 999);
    seekIndex = std::make_unique<RecordingIndex>(seekDrive);
    seekIndex->refreshDay(kDay);
}

void TestReviewIndex::timeline_data() {
    // Files: "camera dayOffset time kind frames [tornBytes] [-]", the timeline's order; "-": left
    // out of it. Foreign names go into the folders of the day and of the day before (%1 that
    // folder's date, %2 the next), with 5 IYUV frames.
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("foreign");
    QTest::addColumn<int>("dayOffset");
    QTest::addColumn<QList<QDate>>("days");
    const QList<QDate> day{kDay}, both{kDay.addDays(-1), kDay};
    QTest::newRow("gaps") << QStringList{"1 0 10:00:00 iyuv 50", "1 0 10:00:02 iyuv 50",
                                         "1 0 10:30:00 iyuv 25", "2 0 11:00:00.040 iyuv 10"}
                          << QStringList() << 0 << day;
    QStringList busy; // enough files for the threads that read a first look
    for (int camera = 1; camera <= kCameras; ++camera)
        for (int minute : {10, 20, 30})
            busy << QString("%1 0 13:%2:00 iyuv %3").arg(camera).arg(minute).arg(camera + minute);
    QTest::newRow("busy") << busy << QStringList() << 0 << day;
    QTest::newRow("midnight, the day")
        << QStringList{"1 -1 23:00:00 iyuv 10 0 -", "1 -1 23:59:50 iyuv 300",
                       "1 0 00:00:02 iyuv 10", "2 -1 23:59:30 iyuv 250 0 -"}
        << QStringList() << 0 << both;
    QTest::newRow("midnight, the day before")
        << QStringList{"1 -1 23:00:00 iyuv 10", "1 -1 23:59:50 iyuv 300",
                       "1 0 00:00:02 iyuv 10 0 -", "2 -1 23:59:30 iyuv 250"}
        << QStringList() << -1 << both;
    QTest::newRow("torn, empty, compact")
        << QStringList{"1 0 09:00:00 iyuv 3 230400",      "1 0 09:01:00 iyuv 0 100 -",
                       "2 0 09:00:00 head 0 0 -",         "3 0 09:00:00 mjpeg-torn 3 500",
                       "4 0 09:00:00 mjpeg-torn 0 500 -", "5 0 08:00:00 mjpeg 6",
                       "6 0 08:00:00 mjpeg-torn 5 0"}
        << QStringList() << 0 << day;
    QTest::newRow("foreign")
        << QStringList{"1 -1 23:59:59 iyuv 50", "1 0 12:00:00 iyuv 5"}
        << QStringList{"camera-9-%1_10-00-00-0000.avi", "camera-1-%1_23-59-59-999.avi",
                       "camera-1-%1_23-59-59-0000.AVI", "camera-1-%1_23-59-59-0000.avi.part",
                       "camera-1-%2_10-00-00-0000.avi", "xcamera-1-%1_10-00-00-0000.avi",
                       "camera-1-%1_25-00-00-0000.avi", "camera-2-%1_10-00-00-0000.avi/",
                       "camera-2-%1_11-00-00-0000.avi|"}
        << 0 << both;
}

void TestReviewIndex::timeline() {
    QFETCH(QStringList, files);
    QFETCH(QStringList, foreign);
    QFETCH(int, dayOffset);
    QFETCH(QList<QDate>, days);
    const QString drive = dir.filePath(QTest::currentDataTag()) + '/';
    QStringList expected;
    for (const QString& file : files) {
        const QStringList f = file.split(' ');
        const QString path = pathOf(drive, f[0].toInt(), at(f[1].toInt(), f[2]));
        const int frames = f[4].toInt(), torn = f.value(5).toInt();
        if (f[3] == "iyuv")
            fakeIyuv(path, frames, torn);
        else if (f[3] == "head")
            QVERIFY(writeBytes(path, iyuvHead.left(100)));
        else
            record(path, RecordingFormat::Mjpeg, 0, frames, f[3] == "mjpeg", torn);
        if (f.last() != "-")
            expected << QStringList{f[0], f[1], f[2], f[4]}.join(' ');
    }
    for (const QDate& folderDay : {kDay.addDays(-1), kDay})
        for (QString name : foreign) {
            name = RecordingPaths::dayFolder(drive, folderDay) +
                   name.replace("%1", folderDay.toString(Qt::ISODate))
                       .replace("%2", folderDay.addDays(1).toString(Qt::ISODate));
            if (name.endsWith('/'))
                QVERIFY(QDir().mkpath(name));
            else if (name.endsWith('|')) // a pipe: opened, it would wait for a writer
                QCOMPARE(::mkfifo(QFile::encodeName(name.chopped(1)).constData(), 0600), 0);
            else
                fakeIyuv(name, 5);
        }

    RecordingIndex index(drive);
    index.refreshDay(kDay.addDays(dayOffset));
    QStringList found;
    for (int camera = 1; camera <= kCameras; ++camera)
        for (const Segment& s : index.segments(camera, kDay.addDays(dayOffset)))
            found << describe(s);
    QCOMPARE(found, expected);
    QCOMPARE(index.daysWithFootage(), days);
    QCOMPARE(index.daysWithFootage(1), days);
    if (!foreign.isEmpty()) // camera 2 has a folder and a pipe named as recordings, no file
        QCOMPARE(index.daysWithFootage(2), QList<QDate>());
}

void TestReviewIndex::liveFile_data() {
    QTest::addColumn<bool>("compact");
    QTest::newRow("iyuv") << false;
    QTest::newRow("compact") << true;
}

// The file being recorded counts up to its last whole frame at every refresh; a deleted file
// leaves the timeline at the next one.
void TestReviewIndex::liveFile() {
    QFETCH(bool, compact);
    const QString drive = dir.filePath(QString("live-%1/").arg(compact));
    const QString path = pathOf(drive, 3, at(0, "15:00:00.000"));
    fakeIyuv(pathOf(drive, 3, at(0, "14:00:00.000")), 4);
    std::unique_ptr<RecordingWriter> writer;
    RecordingIndex index(drive);
    QVector<Segment> segments;
    for (int frames : {2, 7}) {
        if (compact) {
            if (!writer)
                writer = openRecordingWriter(RecordingFormat::Mjpeg, path);
            for (qint64 i = index.segments(3, kDay).value(1).frames; i < frames; ++i)
                QVERIFY(writer->write(cv::Mat(720, 640, CV_8UC1, cv::Scalar(128))));
        } else {
            fakeIyuv(path, frames, 1000);
        }
        index.refreshDay(kDay);
        segments = index.segments(3, kDay);
        QCOMPARE(segments.size(), 2);
        QCOMPARE(segments[1].frames, qint64(frames));
    }
    writer.reset();
    // A folder that kept still a while is not listed again: what changes must show all the same.
    QTest::qWait(2600);
    index.refreshDay(kDay);
    index.refreshDay(kDay);
    QCOMPARE(index.segments(3, kDay).value(1).frames, qint64(7));
    fakeIyuv(pathOf(drive, 3, at(0, "16:00:00")), 3, 10);
    index.refreshDay(kDay);
    QCOMPARE(index.segments(3, kDay).value(2).frames, qint64(3));
    QVERIFY(QFile::remove(path));
    index.refreshDay(kDay);
    QCOMPARE(index.segments(3, kDay).size(), 2);
    Segment next;
    QVERIFY(index.nextSegment(3, segments[0].endMs(), &next));
    QCOMPARE(next.startMs, at(0, "16:00:00").toMSecsSinceEpoch());
}

void TestReviewIndex::seek_data() {
    QTest::addColumn<QString>("time");
    QTest::addColumn<int>("code"); // -1: a gap
    for (const QString row :
         {"12:00:00.000 100", "12:00:00.199 104", "12:00:00.200 200", "12:00:00.239 200",
          "12:00:00.240 201", "12:00:00.399 204", "12:00:00.400 300", "12:00:00.599 304",
          "12:00:00.600 -1", "11:59:59.999 -1", "12:00:05.119 402", "12:00:05.120 -1"})
        QTest::newRow(qPrintable(row)) << row.left(12) << row.mid(13).toInt();
}

void TestReviewIndex::seek() {
    QFETCH(QString, time);
    QFETCH(int, code);
    const qint64 ms = at(0, time).toMSecsSinceEpoch();
    Segment segment;
    qint64 frame = -1;
    QCOMPARE(seekIndex->locate(1, ms, &segment, &frame), code >= 0);
    if (code < 0) {
        Segment next;
        QCOMPARE(seekIndex->nextSegment(1, ms, &next),
                 ms < at(0, "12:00:05.000").toMSecsSinceEpoch());
        QVERIFY(next.startMs > ms || next.path.isEmpty());
        return;
    }
    cv::Mat bgr;
    QString note;
    QCOMPARE(reader.readFrame(segment, frame, &bgr, &note), RecordingReader::Result::Ok);
    QCOMPARE(bgr.type(), CV_8UC3);
    QCOMPARE(bgr.size(), cv::Size(640, 480));
    QCOMPARE(readFrameCounter(bgr), code);
}

void TestReviewIndex::missing_data() {
    QTest::addColumn<bool>("compact");
    QTest::addColumn<QString>("damage");
    for (bool compact : {false, true})
        for (const char* damage : {"deleted", "truncated", "overwritten"})
            QTest::addRow("%s %s", compact ? "compact" : "iyuv", damage)
                << compact << QString(damage);
}

// A frame that is no longer there, whether the reader had the file open or not, is reported
// missing with a note; what is still there reads.
void TestReviewIndex::missing() {
    QFETCH(bool, compact);
    QFETCH(QString, damage);
    const QString drive = dir.filePath(QString("missing-%1-%2/").arg(compact).arg(damage));
    const QString path = pathOf(drive, 2, at(0, "16:00:00.000"));
    record(path, compact ? RecordingFormat::Mjpeg : RecordingFormat::Iyuv, 500, 4);
    RecordingIndex index(drive);
    index.refreshDay(kDay);
    const Segment segment = index.segments(2, kDay).value(0);
    QCOMPARE(segment.frames, qint64(4));
    RecordingReader opened, fresh;
    cv::Mat bgr;
    QCOMPARE(opened.readFrame(segment, 3, &bgr), RecordingReader::Result::Ok);
    const qint64 size = QFileInfo(path).size();
    if (damage == "deleted")
        QVERIFY(QFile::remove(path));
    else if (damage == "truncated")
        QVERIFY(QFile(path).resize(size * 5 / 8));
    else
        QVERIFY(writeBytes(path, QByteArray(int(size), 'x')));
    for (RecordingReader* r : {&opened, &fresh}) {
        QString note;
        QCOMPARE(r->readFrame(segment, 3, &bgr, &note), RecordingReader::Result::Missing);
        QVERIFY(!note.isEmpty());
        if (damage == "truncated") {
            QCOMPARE(r->readFrame(segment, 0, &bgr, &note), RecordingReader::Result::Ok);
            QCOMPARE(readFrameCounter(bgr), 500);
        }
    }
}

QTEST_GUILESS_MAIN(TestReviewIndex)
#include "tst_reviewindex.moc"
