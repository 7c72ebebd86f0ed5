// The main window as a user first meets it: its panels, menus and texts, the files that a
// start and close leave behind, and the panels' buttons for each state of a camera.
#include <QAction>
#include <QApplication>
#include <QCameraViewfinder>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include "app/camera.h"
#include "settings/settingsfile.h"
#include "support/windowfixture.h"

namespace {

QString appDataFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Quorlan-Applications/Q7M2/");
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Accepts (or rejects) the next modal dialog as soon as it is shown; gives up after 5 s.
void answerNextDialog(bool accept, QString* seenClass = nullptr, int triesLeft = 500)
{
    QTimer::singleShot(10, [accept, seenClass, triesLeft] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) {
            if (triesLeft > 0)
                answerNextDialog(accept, seenClass, triesLeft - 1);
            return;
        }
        if (seenClass)
            *seenClass = QString::fromLatin1(modal->metaObject()->className());
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            accept ? dialog->accept() : dialog->reject();
    });
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void windowAndMenus();
    void panelLayout_data();
    void panelLayout();
    void aboutBoxOpens();
    void freshStartDefaults();
    void freshStartAndCloseWritesGoldenConfig();
    void buttonsFollowCameraState_data();
    void buttonsFollowCameraState();
    void locationEditsReachTheWorkersCopy();
    void dataSettingsAcceptedWritesSettingsAndClearsManualFlags();
    void dataSettingsRejectedChangesNothing();
    void videoSettingsNeedsOneOfTheEightButtons();

private:
    QTemporaryDir home;
    QTemporaryDir dataDrive;
};

void MainWindowTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    // A home of its own: other window tests run beside this one and use the same file names.
    QVERIFY(home.isValid());
    WindowFixture::isolateHome(home.path());
    QVERIFY(dataDrive.isValid());
}

// Every window records, if at all, into the temporary data drive.
void MainWindowTest::init()
{
    QDir(appDataFolder()).removeRecursively();
    ProgramSettings settings;
    settings.dataDrive = dataDrive.path() + QLatin1Char('/');
    QVERIFY(QDir().mkpath(appDataFolder()));
    QVERIFY(writeSettingsFile(appDataFolder() + QStringLiteral("settings.xml"), settings));
}

void MainWindowTest::cleanup()
{
    QDir(appDataFolder()).removeRecursively();
}

void MainWindowTest::windowAndMenus()
{
    Camera w;
    QCOMPARE(w.objectName(), QStringLiteral("Camera"));
    QCOMPARE(w.windowTitle(), QStringLiteral("IP Surveillance"));
    QCOMPARE(w.size(), QSize(948, 577));

    const QList<QAction*> top = w.menuBar()->actions();
    QCOMPARE(top.size(), 2);
    QCOMPARE(top[0]->text(), QStringLiteral("File"));
    QCOMPARE(top[1]->text(), QStringLiteral("Details"));
    const QList<QAction*> file = top[0]->menu()->actions();
    QCOMPARE(file.size(), 2);
    QCOMPARE(file[0]->objectName(), QStringLiteral("actionSettings"));
    QCOMPARE(file[0]->text(), QStringLiteral("Settings"));
    QCOMPARE(file[1]->objectName(), QStringLiteral("actionExit"));
    QCOMPARE(file[1]->text(), QStringLiteral("Exit"));
    const QList<QAction*> details = top[1]->menu()->actions();
    QCOMPARE(details.size(), 1);
    QCOMPARE(details[0]->objectName(), QStringLiteral("actionAbout"));
    QCOMPARE(details[0]->text(), QStringLiteral("About"));

    // Exit closes the window through its close event, which saves the configuration.
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    file[1]->trigger();
    QTRY_VERIFY(!w.isVisible());
    QVERIFY(QFile::exists(appDataFolder() + QStringLiteral("config.xml")));
}

void MainWindowTest::panelLayout_data()
{
    QTest::addColumn<int>("number");
    for (int n = 1; n <= 8; ++n)
        QTest::addRow("camera %d", n) << n;
}

void MainWindowTest::panelLayout()
{
    QFETCH(int, number);
    Camera w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QString n = QString::number(number);

    auto* box = w.findChild<QGroupBox*>(QStringLiteral("groupBox") + n);
    QVERIFY(box);
    QCOMPARE(box->title(), QStringLiteral("Camera ") + n);
    QCOMPARE(box->size(), QSize(200, 200));
    auto* grid = w.findChild<QGridLayout*>(QStringLiteral("gridLayout_3"));
    QVERIFY(grid);
    int row = -1, column = -1, rowSpan = 0, columnSpan = 0;
    grid->getItemPosition(grid->indexOf(box), &row, &column, &rowSpan, &columnSpan);
    QCOMPARE(row, (number - 1) / 4);
    QCOMPARE(column, (number - 1) % 4);

    auto child = [&](const char* prefix) {
        return box->findChild<QWidget*>(QString::fromLatin1(prefix) + n);
    };
    QCOMPARE(child("viewfinder")->geometry(), QRect(2, 13, 200, 121));
    QCOMPARE(child("preview")->geometry(), QRect(2, 13, 200, 120));
    QCOMPARE(child("preview")->minimumSize(), QSize(200, 120));
    QCOMPARE(child("preview")->maximumSize(), QSize(200, 120));
    QCOMPARE(child("RecordButton")->geometry(), QRect(2, 175, 73, 21));
    QCOMPARE(child("StopButton")->geometry(), QRect(123, 175, 73, 21));
    QCOMPARE(child("setCamera")->geometry(), QRect(3, 136, 73, 23));
    QCOMPARE(child("label")->geometry(), QRect(93, 142, 90, 13));
    QCOMPARE(child("location")->geometry(), QRect(2, 157, 196, 18));
    QVERIFY(qobject_cast<QCameraViewfinder*>(child("viewfinder")));

    QCOMPARE(qobject_cast<QPushButton*>(child("RecordButton"))->text(), QStringLiteral("Record"));
    QCOMPARE(qobject_cast<QPushButton*>(child("StopButton"))->text(), QStringLiteral("Stop"));
    QCOMPARE(qobject_cast<QPushButton*>(child("setCamera"))->text(), QStringLiteral("Set Camera"));
    QCOMPARE(qobject_cast<QLabel*>(child("preview"))->text(), QString());
    QCOMPARE(qobject_cast<QLabel*>(child("label"))->text(), QString());
}

void MainWindowTest::aboutBoxOpens()
{
    Camera w;
    QString shown;
    answerNextDialog(true, &shown);
    w.findChild<QAction*>(QStringLiteral("actionAbout"))->trigger();
    QCOMPARE(shown, QStringLiteral("QMessageBox"));
}

void MainWindowTest::freshStartDefaults()
{
    // Keep the default data drive, but with deletion of old recordings off, so that this test
    // cannot touch a real recording.
    QFile settings(appDataFolder() + QStringLiteral("settings.xml"));
    QVERIFY(settings.open(QIODevice::WriteOnly));
    settings.write("<settings><setting><keepfree>0</keepfree></setting></settings>\n");
    settings.close();

    Camera w;
    for (int i = 0; i < kCameraCount; ++i) {
        ChannelConfig& c = w.channel(i);
        QCOMPARE(c.cameraType, -1);
        QVERIFY(c.url.isEmpty());
        QVERIFY(!c.record);
        QVERIFY(!c.recordOnStart);
        QCOMPARE(c.recordStart, 0u);
        QCOMPARE(c.recordStop, 0u);
        QVERIFY(!c.thread);
        QVERIFY(!c.recording);
    }
    const bool rootWritable = QFileInfo(QDir::rootPath()).isWritable();
    if (rootWritable)
        QCOMPARE(w.currentDataDrive(), QDir::rootPath());
    else
        QVERIFY(w.currentDataDrive().endsWith(QLatin1Char('/')));
    // Nothing is written at start-up.
    QVERIFY(!QFile::exists(appDataFolder() + QStringLiteral("config.xml")));
}

void MainWindowTest::freshStartAndCloseWritesGoldenConfig()
{
    {
        Camera w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.close();
    }
    const QByteArray written = readAll(appDataFolder() + QStringLiteral("config.xml"));
    const QByteArray golden =
        readAll(QStringLiteral(IPS_TEST_DATA_DIR) + QStringLiteral("/config-fresh.xml"));
    QVERIFY(!golden.isEmpty());
    QCOMPARE(written, golden);
}

void MainWindowTest::buttonsFollowCameraState_data()
{
    QTest::addColumn<int>("cameraType");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("boundDevice");
    QTest::addColumn<bool>("recording");
    QTest::addColumn<bool>("recordEnabled");
    QTest::addColumn<bool>("stopEnabled");
    QTest::addColumn<bool>("setCameraEnabled");
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("previewVisible"); // -1: left as it was

    const QString url = QStringLiteral("http://127.0.0.1:9/video.cgi");
    QTest::newRow("not configured") << -1 << QString() << QString() << false << false << false
                                    << true << QString() << -1;
    QTest::newRow("ip camera idle") << 1 << url << QString() << false << true << false << true
                                    << QString() << 1;
    QTest::newRow("ip camera without url") << 1 << QString() << QString() << false << false
                                           << false << true << QString() << 1;
    QTest::newRow("analogue without device")
        << 0 << QString() << QStringLiteral("/dev/video9") << false << false << false << true
        << QString() << 0;
    QTest::newRow("recording") << 1 << url << QString() << true << false << true << false
                               << QStringLiteral("* RECORDING *") << 1;
}

void MainWindowTest::buttonsFollowCameraState()
{
    QFETCH(int, cameraType);
    QFETCH(QString, url);
    QFETCH(QString, boundDevice);
    QFETCH(bool, recording);
    QFETCH(bool, recordEnabled);
    QFETCH(bool, stopEnabled);
    QFETCH(bool, setCameraEnabled);
    QFETCH(QString, status);
    QFETCH(int, previewVisible);

    Camera w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    ChannelConfig& c = w.channel(2);
    c.cameraType = cameraType;
    c.url = url;
    c.boundDevice = boundDevice;
    c.recording = recording;
    QVERIFY(QMetaObject::invokeMethod(&w, "setButtons"));

    QCOMPARE(c.recordButton->isEnabled(), recordEnabled);
    QCOMPARE(c.stopButton->isEnabled(), stopEnabled);
    QCOMPARE(c.setCameraButton->isEnabled(), setCameraEnabled);
    QCOMPARE(c.statusLabel->text(), status);
    if (previewVisible >= 0)
        QCOMPARE(c.previewLabel->isVisible(), previewVisible == 1);
    if (recording) {
        QCOMPARE(c.statusLabel->palette().color(QPalette::Window), QColor(Qt::red));
        QCOMPARE(c.statusLabel->palette().color(QPalette::WindowText), QColor(Qt::white));
        QVERIFY(c.statusLabel->autoFillBackground());
    }
    if (cameraType == 0)
        QVERIFY(c.viewfinder->isVisible());
    c.recording = false; // nothing runs: leave the window to close cleanly
}

void MainWindowTest::locationEditsReachTheWorkersCopy()
{
    Camera w;
    w.channel(4).locationEdit->setText(QStringLiteral("Rückseite & Hof"));
    QCOMPARE(w.channel(4).locationCopy(), QStringLiteral("Rückseite & Hof"));
}

void MainWindowTest::dataSettingsAcceptedWritesSettingsAndClearsManualFlags()
{
    Camera w;
    for (int i = 0; i < kCameraCount; ++i) {
        w.channel(i).manualStart = (i % 2 == 0);
        w.channel(i).manualStop = (i % 2 == 1);
    }
    answerNextDialog(true);
    w.configureDataSettings();

    const QString path = appDataFolder() + QStringLiteral("settings.xml");
    QVERIFY(QFile::exists(path));
    ProgramSettings stored;
    readSettingsFile(path, &stored);
    QCOMPARE(stored.dataDrive, w.currentDataDrive());
    for (int i = 0; i < kCameraCount; ++i) {
        QVERIFY(!w.channel(i).manualStart);
        QVERIFY(!w.channel(i).manualStop);
    }
}

void MainWindowTest::dataSettingsRejectedChangesNothing()
{
    const QString path = appDataFolder() + QStringLiteral("settings.xml");
    QFile::remove(path);
    Camera w;
    const QString before = w.currentDataDrive();
    w.channel(1).manualStop = true;
    answerNextDialog(false);
    w.configureDataSettings();
    QCOMPARE(w.currentDataDrive(), before);
    QVERIFY(w.channel(1).manualStop);
    QVERIFY(!QFile::exists(path));
}

void MainWindowTest::videoSettingsNeedsOneOfTheEightButtons()
{
    Camera w;
    // Called directly, not from a Set Camera button: no dialog opens (else exec() would block
    // until the guard below rejects it).
    QString shownDirect;
    answerNextDialog(false, &shownDirect, 50);
    QVERIFY(QMetaObject::invokeMethod(&w, "configureVideoSettings"));
    QVERIFY(shownDirect.isEmpty());
    QTest::qWait(600); // let the guard expire before the next dialog

    QString shown;

    // From panel 6's button, the dialog opens; cancelling it keeps the manual flags.
    w.channel(5).manualStart = true;
    answerNextDialog(false, &shown);
    w.channel(5).setCameraButton->click();
    QCOMPARE(shown, QStringLiteral("VideoSettings"));
    QVERIFY(w.channel(5).manualStart);
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
