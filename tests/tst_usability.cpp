// ctest-labels: threaded
// Around the recording: a panel whose source is changed, texts that must fit, passwords kept out
// of the log, the log file, and damaged configuration files that must not be lost.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QStyle>
#include <QtTest>

#include "capture/messagelog.h"
#include "settings/configfile.h"
#include "settings/datasettings.h"
#include "settings/settingsfile.h"
#include "settings/videosettings.h"
#include "support/recorder.h"

class UsabilityTest : public QObject {
    Q_OBJECT
    QTemporaryDir home, dataDrive;
    CamsimProcess camsim{kCameraShape};
    QString drive() const { return dataDrive.path() + QLatin1Char('/'); }

private slots:
    void initTestCase() {
        QVERIFY(home.isValid() && dataDrive.isValid());
        isolateHome(home.path());
        QVERIFY2(camsim.start(), qPrintable(camsim.errorString()));
    }

    void setCameraEndsOldPreview_data() {
        QTest::addColumn<QString>("newUrl");
        QTest::newRow("url cleared") << QString();
        QTest::newRow("url changed") << camsim.streamUrl() + "&other=1";
    }
    // Left running, the old preview would record the old stream at the next Record.
    void setCameraEndsOldPreview() {
        QFETCH(QString, newUrl);
        Cameras cameras;
        onStream(cameras[0], camsim.streamUrl());
        auto window = openWindow(cameras, drive(), true);
        QVERIFY(window);
        ChannelConfig& c = window->channel(0);
        QMetaObject::invokeMethod(window.get(), "checkRecordingTime");
        QTRY_COMPARE_WITH_TIMEOUT(c.previewLabel->text(), QString(kTextConnected), 30000);
        const QPointer<CaptureThread> preview = c.thread;
        answerNextDialog(true, [newUrl](QDialog* dialog) {
            dialog->findChild<QLineEdit*>("lineEdit")->setText(newUrl);
        });
        c.setCameraButton->click();
        QVERIFY2(preview.isNull(), "the preview of the old source still runs");
        QVERIFY(c.setCameraButton->isEnabled() && !c.stopButton->isEnabled());
        QCOMPARE(c.recordButton->isEnabled(), !newUrl.isEmpty());
        QMetaObject::invokeMethod(window.get(), "checkRecordingTime");
        QCOMPARE(c.thread != nullptr, !newUrl.isEmpty());
        window->startRecording(0); // without a source: changes nothing
        QCOMPARE(c.recording, !newUrl.isEmpty());
        QVERIFY(c.setCameraButton->isEnabled() == newUrl.isEmpty());
    }

    void textsFit_data() {
        QTest::addColumn<int>("form");
        QTest::newRow("main window") << 0;
        QTest::newRow("camera settings") << 1;
        QTest::newRow("data settings") << 2;
    }
    // Each text a label or button can show, in the font in use, clears the widget's frame.
    void textsFit() {
        QFETCH(int, form);
        ChannelConfig record;
        auto* video = form == 1 ? new VideoSettings : nullptr;
        std::unique_ptr<QWidget> shown(video);
        if (form == 0)
            shown = openWindow({}, drive(), true);
        else if (form == 2)
            shown = std::make_unique<DataSettings>();
        else
            video->loadConfig(&record);
        shown->show();
        QVERIFY(QTest::qWaitForWindowExposed(shown.get()));
        for (QWidget* w : shown->findChildren<QWidget*>()) {
            auto* label = qobject_cast<QLabel*>(w);
            auto* button = qobject_cast<QAbstractButton*>(w);
            if (!w->isVisibleTo(shown.get()) || (!label && !button))
                continue;
            QStringList texts{label ? label->text() : button->text()};
            if (form == 0 && w->objectName().startsWith("label"))
                texts << kTextRecording << kTextStopping;
            if (w->objectName().startsWith("preview"))
                texts << kTextConnecting << kTextConnected << kTextCannotConnect
                      << kTextCannotWrite;
            const bool box = qobject_cast<QCheckBox*>(w) || qobject_cast<QRadioButton*>(w);
            const int frame = !button ? 0
                              : box   ? w->style()->pixelMetric(QStyle::PM_IndicatorWidth) +
                                          w->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing)
                                    : 2 * w->style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
            for (const QString& text : texts)
                QVERIFY2(QFontMetrics(w->font()).horizontalAdvance(text) <=
                             w->contentsRect().width() - frame,
                         qPrintable(w->objectName() + ": " + text));
        }
        if (form == 2) {
            auto* drives = shown->findChild<QComboBox*>("drivesBox");
            QCOMPARE(drives->toolTip(), drives->currentData().toString());
        }
    }

    // A worker's connect reaches the file stamped, with its password masked, and goes on to the
    // handler before (stderr) masked too; the files stay bounded.
    void logFileKeepsMaskedStampedLines() {
        QTemporaryDir folder;
        FakeClock clock(QDateTime(QDate(2026, 12, 7), QTime(3, 0, 1, 250)));
        static QStringList passedOn;
        const auto restore =
            qScopeGuard([before = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&,
                                                            const QString& m) { passedOn << m; })] {
                qInstallMessageHandler(before);
            });
        auto log = std::make_unique<MessageLogFile>(folder.path(), 2000, 2);
        CapturePanel panel(1, camsim.streamUrl().replace("://", "://viewer:pa55@word@"));
        CaptureWorker worker(panel, drive(), false);
        QTRY_COMPARE_WITH_TIMEOUT(panel.preview.text(), QString(kTextConnected), 30000);
        worker.stop();
        const QString line = " connected to " + camsim.streamUrl().replace("://", "://viewer:***@");
        const QString path = log->filePath();
        const QString text = readBytes(path);
        QVERIFY2(text.startsWith("2026-12-07 03:00:01.250 I Camera ") && text.contains(line + "\n"),
                 qPrintable(text));
        QVERIFY(passedOn.first().endsWith(line));
        for (int i = 0; i < 100; ++i)
            qInfo("line %03d %s", i, QByteArray(60, 'x').constData());
        log.reset();
        qInfo("after");
        QCOMPARE(passedOn.last(), QStringLiteral("after")); // the handler before is back
        QVERIFY(readBytes(path).contains("line 099") && !QFile::exists(path + ".3"));
        for (const QString& name : {path, path + ".1", path + ".2"})
            QVERIFY2(QFileInfo(name).size() > 0 && QFileInfo(name).size() <= 2000,
                     qPrintable(name));
    }

    void unreadableFileIsKept_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("openTag"); // empty: cut short instead
        QTest::newRow("config.xml cut short") << "config.xml" << QByteArray();
        QTest::newRow("config.xml tag left open") << "config.xml" << QByteArray("</location>");
        QTest::newRow("settings.xml cut short") << "settings.xml" << QByteArray();
        QTest::newRow("settings.xml tag left open") << "settings.xml" << QByteArray("</datadrive>");
    }
    // Kept whole beside it, also after the next save, and only once however often it is read.
    void unreadableFileIsKept() {
        QFETCH(QString, name);
        QFETCH(QByteArray, openTag);
        QTemporaryDir folder;
        const QString path = folder.filePath(name);
        const bool config = name == "config.xml";
        std::array<ChannelConfig, kCameraCount> channels;
        ProgramSettings settings;
        channels[0].location = QStringLiteral("Shop door");
        settings.dataDrive = QStringLiteral("D:/");
        QVERIFY(config ? writeConfigFile(path, channels.data(), kCameraCount)
                       : writeSettingsFile(path, settings));
        QByteArray damaged = readBytes(path);
        QVERIFY(openTag.isEmpty() || damaged.contains(openTag));
        openTag.isEmpty() ? damaged.chop(damaged.size() / 2) : void(damaged.replace(openTag, ""));
        FakeClock clock(QDateTime(QDate(2026, 12, 7), QTime(4, 55)));
        const QString kept = path + ".unreadable-2026-12-07_04-55-00";
        for (int time = 0; time < 2; ++time) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(damaged) == damaged.size());
            file.close();
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression("kept as " + QRegularExpression::escape(kept)));
            if (config)
                readConfigFile(path, channels.data(), kCameraCount);
            else
                readSettingsFile(path, &settings);
            QVERIFY(config ? writeConfigFile(path, channels.data(), kCameraCount)
                           : writeSettingsFile(path, settings));
            QCOMPARE(readBytes(kept), damaged);
            QVERIFY(readBytes(path) != damaged);
            clock.setTime(5, 0);
        }
        QCOMPARE(QDir(folder.path()).entryList({name + ".unreadable-*"}).size(), 1);
    }
};

QTEST_MAIN(UsabilityTest)
#include "tst_usability.moc"
