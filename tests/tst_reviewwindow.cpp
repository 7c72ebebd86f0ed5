// ctest-labels: threaded
// The Recordings window on a small real tree: camera 1 has three files back to back from 10:00,
// a gap, one more file at 10:15, and two around midnight. Every frame carries a code that names its
// file and index.
#include <QAction>
#include <QCalendarWidget>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QSemaphore>
#include <QTimeEdit>
#include <QtTest>

#include "capture/frameconversion.h"
#include "capture/recordingwriter.h"
#include "recordings/activitywriter.h"
#include "recordings/recordingpaths.h"
#include "review/recordingswindow.h"
#include "review/timelinewidget.h"
#include "support/framecode.h"
#include "support/recorder.h"

namespace {
const QDate kDay(2026, 3, 4);
struct File {
    int startS; // seconds after 10:00
    int frames;
    int firstCode;
};
const File kFiles[] = {{0, 125, 0},     {5, 125, 1000},    {10, 125, 2000},
                       {900, 50, 3000}, {50398, 75, 4000}, /* next day */ {50401, 25, 5000}};
qint64 at(double secondsAfterTen) {
    return QDateTime(kDay, QTime(10, 0)).toMSecsSinceEpoch() + qint64(secondsAfterTen * 1000);
}
int codeAt(qint64 ms) { // the code of the frame on screen at `ms`, -1 in a gap
    for (const File& f : kFiles) {
        const qint64 frame = (ms - at(f.startS)) / 40;
        if (ms >= at(f.startS) && frame < f.frames)
            return f.firstCode + int(frame);
    }
    return -1;
}
} // namespace

class ReviewWindowTest final : public QObject {
    Q_OBJECT
    QTemporaryDir home, data;
    std::unique_ptr<FakeClock> clock;
    std::unique_ptr<Camera> main;
    RecordingsWindow* window = nullptr;
    QString drive() const { return data.path() + '/'; }
    QString path(const File& f) const {
        return RecordingPaths::recordingFile(drive(), "1",
                                             QDateTime::fromMSecsSinceEpoch(at(f.startS)));
    }
    int shownCode() const {
        const auto* picture = window->findChild<QLabel*>("picture");
        return readFrameCounter(QImage2Mat(picture->pixmap(Qt::ReturnByValue).toImage()));
    }
    void key(int k) { // with its modifiers
        QTest::keyClick(window, Qt::Key(k & ~Qt::KeyboardModifierMask),
                        Qt::KeyboardModifiers(k & Qt::KeyboardModifierMask));
    }

private slots:
    void initTestCase() {
        isolateHome(home.path());
        clock = std::make_unique<FakeClock>(QDateTime(kDay, QTime(12, 0)));
        cv::Mat picture(kRecordHeight, kRecordWidth, CV_8UC3), frame;
        for (const File& f : kFiles) {
            const auto writer = openRecordingWriter(RecordingFormat::Mjpeg, path(f));
            QVERIFY(writer);
            for (int i = 0; i < f.frames; ++i) {
                picture = cv::Scalar(40, 90, 160);
                drawFrameCounter(picture, f.firstCode + i);
                prepareRecordingFrame(picture, "Gate",
                                      QDateTime::fromMSecsSinceEpoch(at(f.startS) + i * 40), frame);
                QVERIFY(writer->write(frame));
            }
            writer->close();
        }
        ActivityWriter activity(drive(), 1); // events at 10:00:03 and 10:00:13; 1 % is none
        for (const auto& [second, percent] : {std::pair{3, 5.f}, {13, 50.f}, {902, 1.f}})
            QVERIFY(activity.write(QDateTime::fromMSecsSinceEpoch(at(second)), percent));
        activity.close();
        main = openWindow({}, drive(), true);
        QVERIFY(main);
        main->channel(0).locationEdit->setText("Gate");
        QApplication::setActiveWindow(main.get());
        QTest::keyClick(main.get(), Qt::Key_R, Qt::ControlModifier);
        for (QWidget* w : QApplication::topLevelWidgets())
            window = window ? window : qobject_cast<RecordingsWindow*>(w);
        QVERIFY2(window, "Ctrl+R opened no Recordings window");
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QTRY_VERIFY(window->findChild<TimelineWidget*>("timeline")->note().isEmpty()); // day read
        QApplication::setActiveWindow(window);
        main->findChild<QAction*>("actionRecordings")->trigger(); // again: the same window
        const QWidgetList all = QApplication::topLevelWidgets();
        QCOMPARE(std::count_if(all.begin(), all.end(),
                               [](QWidget* w) { return qobject_cast<RecordingsWindow*>(w); }),
                 1);
    }
    void cleanupTestCase() { main.reset(); }

    void timelineShowsFootageAndGap() {
        QVERIFY(window->findChild<QListWidget*>("cameraList")->item(0)->text().contains("Gate"));
        const auto* calendar = window->findChild<QCalendarWidget*>("calendar");
        QCOMPARE(calendar->dateTextFormat(kDay).fontWeight(), int(QFont::Bold));
        QCOMPARE(calendar->dateTextFormat(kDay.addDays(-1)).fontWeight(), int(QFont::Normal));
        auto* timeline = window->findChild<TimelineWidget*>("timeline");
        const QImage image = timeline->grab().toImage();
        const QRect row = timeline->rowRect(1);
        const QColor footage = image.pixelColor(timeline->xAt(at(5)), row.top() + 2);
        QCOMPARE(image.pixelColor(timeline->xAt(at(902)), row.top() + 2), footage);
        QVERIFY(image.pixelColor(timeline->xAt(at(480)), row.top() + 2) != footage); // the gap
        QVERIFY(image.pixelColor(timeline->xAt(at(5)), timeline->rowRect(2).top() + 2) != footage);
        QVERIFY(image.pixelColor(timeline->xAt(at(13)), row.bottom() - 2) != footage); // activity
    }

    void seekShowsTheFrame() {
        auto* timeline = window->findChild<TimelineWidget*>("timeline");
        QTest::mouseClick(timeline, Qt::LeftButton, {},
                          {timeline->xAt(at(3)), timeline->rowRect(1).center().y()});
        QCOMPARE(window->camera(), 1);
        QVERIFY(qAbs(window->playTime() - at(3)) < 100000); // within the clicked pixel
        QTRY_COMPARE(shownCode(), codeAt(window->playTime()));
        QVERIFY(shownCode() >= 0);
        auto* time = window->findChild<QTimeEdit*>("timeEdit");
        time->setTime(QTime(10, 0, 7));
        QTest::keyClick(time, Qt::Key_Return);
        QTRY_COMPARE(shownCode(), 1050);
    }

    void keysStep_data() {
        QTest::addColumn<double>("from");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("code");
        QTest::newRow("Right, over a file") << 4.0 << int(Qt::Key_Right) << 2100;
        QTest::newRow("Left, back over a file") << 14.0 << int(Qt::Key_Left) << 100;
        QTest::newRow("Right, over the gap") << 14.0 << int(Qt::Key_Right) << 3000;
        QTest::newRow("Left, back over the gap") << 900.0 << int(Qt::Key_Left) << 2124;
        QTest::newRow(". over the seam") << 4.96 << int(Qt::Key_Period) << 1000;
        QTest::newRow(", back over the seam") << 5.0 << int(Qt::Key_Comma) << 124;
        QTest::newRow("next event") << 0.0 << int(Qt::CTRL + Qt::Key_Right) << 75;
        QTest::newRow("the event after") << 3.0 << int(Qt::CTRL + Qt::Key_Right) << 2075;
        QTest::newRow("none above 2 %") << 13.0 << int(Qt::CTRL + Qt::Key_Right) << 2075;
        QTest::newRow("previous event") << 13.0 << int(Qt::CTRL + Qt::Key_Left) << 75;
    }
    void keysStep() {
        QFETCH(double, from);
        QFETCH(int, key);
        QFETCH(int, code);
        window->seek(at(from));
        QTRY_COMPARE(shownCode(), codeAt(at(from)));
        this->key(key);
        QTRY_COMPARE(shownCode(), code);
        QCOMPARE(codeAt(window->playTime()), code);
    }

    void playsAtFourTimesTheWallClock() {
        window->seek(at(0));
        window->findChild<QComboBox*>("speedBox")->setCurrentText("4x");
        QElapsedTimer wall;
        wall.start();
        key(Qt::Key_Space);
        QTRY_VERIFY(window->playTime() >= at(8));
        const double rate = double(window->playTime() - at(0)) / wall.elapsed();
        key(Qt::Key_Space);
        QVERIFY2(rate > 3 && rate < 5, qPrintable(QString::number(rate)));
        QTRY_COMPARE(shownCode(), codeAt(window->playTime()));
    }

    void deletedFileWhilePlaying() { // the file on screen, before the index notices
        window->seek(at(11));
        window->setPlaying(true);
        QVERIFY(QFile::remove(path(kFiles[2])));
        QTRY_VERIFY_WITH_TIMEOUT(
            window->findChild<QLabel*>("statusLine")->text().contains("deleted"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(shownCode() >= 3000, 10000); // played on over the lost file
        window->setPlaying(false);
    }

    void exportsTheSpan_data() {
        QTest::addColumn<QTime>("start");
        QTest::addColumn<QTime>("end"); // before the start: on the next day
        QTest::addColumn<int>("frames");
        QTest::newRow("a span") << QTime(10, 0, 1) << QTime(10, 0, 7) << 150;
        QTest::newRow("the last second") << QTime(23, 59, 59) << QTime(0, 0) << 25;
        QTest::newRow("past midnight") << QTime(23, 59, 59) << QTime(0, 0, 2) << 75;
    }
    void exportsTheSpan() {
        QFETCH(QTime, start);
        QFETCH(QTime, end);
        QTemporaryDir out;
        // The spans are times of the shown day: playing before may have run on into the next.
        window->seek(at(0));
        QTRY_COMPARE(shownCode(), 0);
        window->findChild<QTimeEdit*>("startEdit")->setTime(start);
        window->findChild<QTimeEdit*>("endEdit")->setTime(end);
        window->findChild<QLineEdit*>("folderEdit")->setText(out.path());
        window->findChild<QPushButton*>("exportButton")->click();
        QTRY_VERIFY_WITH_TIMEOUT(
            window->findChild<QLabel*>("statusLine")->text().contains("Exported to " + out.path()),
            60000);
        const QStringList videos = QDir(out.path()).entryList({"*.mp4"});
        QCOMPARE(videos.size(), 1);
        const MediaInfo info = MediaProbe::probe(out.filePath(videos[0]));
        QVERIFY2(info.ok, qPrintable(info.error));
        QCOMPARE(info.codec, QString("h264"));
        QTEST(int(info.frameCount), "frames");
    }

    void staysResponsiveWhileTheDriveHangs() { // last: it closes the window
        struct Gate {
            QSemaphore open;
            std::atomic<int> entered{0};
            std::atomic<bool> timedOut{false};
            void pass() {
                ++entered;
                if (!timedOut && !open.tryAcquire(1, 8000))
                    timedOut = true; // the window waited for the drive: hang no more
            }
        };
        // The reading threads may outlive this test.
        const auto gate = std::make_shared<Gate>(), frames = std::make_shared<Gate>();
        window->findChild<Review::FrameWorker*>()->setBeforeRead(
            [frames](const Review::FramePosition&) { frames->pass(); });
        window->seek(at(3));
        QTRY_COMPARE(frames->entered.load(), 1);
        window->seek(at(7)); // while the read of the first hangs: given up for the next
        window->seek(at(8));
        QCOMPARE(window->playTime(), at(8));
        QTRY_COMPARE(window->findChild<QLabel*>("statusLine")->text(), "Waiting for the drive...");
        frames->open.release(2); // the hung read, then the newest
        QTRY_COMPARE(shownCode(), codeAt(at(8)));
        QCOMPARE(frames->entered.load(), 2);
        window->seek(at(9)); // hangs until the window has closed
        QTRY_COMPARE(frames->entered.load(), 3);
        window->findChild<Review::IndexWorker*>()->setBeforeRead(
            [gate](const QDate&) { gate->pass(); });
        const auto* timeline = window->findChild<TimelineWidget*>("timeline");
        window->pickDay(kDay.addDays(-1));
        QCOMPARE(timeline->note(), QString("Reading recordings..."));
        QTRY_COMPARE(gate->entered.load(), 1);
        gate->open.release();
        QTRY_VERIFY(window->findChild<QLabel*>("statusLine")->text().contains("No footage"));
        QVERIFY(timeline->note().isEmpty());
        QTRY_COMPARE(gate->entered.load(), 2); // the next refresh hangs: close meanwhile
        const QPointer<RecordingsWindow> closing(window);
        window->close();
        QTRY_VERIFY(!closing);
        QVERIFY(!gate->timedOut && !frames->timedOut);
        gate->open.release(2);
        frames->open.release(2);
    }
};

QTEST_MAIN(ReviewWindowTest)
#include "tst_reviewwindow.moc"
