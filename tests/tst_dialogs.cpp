#include <memory>

#include <QCameraInfo>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include "app/channelconfig.h"
#include "settings/datasettings.h"
#include "settings/settingsfile.h"
#include "settings/videosettings.h"

namespace {

template <typename T> T* child(QWidget* dialog, const char* name) {
    T* widget = dialog->findChild<T*>(QLatin1String(name));
    if (!widget)
        qWarning("missing widget %s", name);
    return widget;
}

void pressLater(QDialog* dialog, QDialogButtonBox::StandardButton which) {
    QTimer::singleShot(0, dialog, [dialog, which] {
        child<QDialogButtonBox>(dialog, "buttonBox")->button(which)->click();
    });
}

} // namespace

class TestDialogs final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void videoForm();
    void videoTimes_data();
    void videoTimes();
    void videoAlwaysOffersUrl_data();
    void videoAlwaysOffersUrl();
    void videoUncheckingUrlChoosesAnalogue();
    void videoEmptyDeviceStoresZero();
    void videoRecordEnablesGroup();
    void videoAcceptStores();
    void videoCancelChangesNothing();

    void dataForm();
    void drivesAreWritableFolders();
    void selectDrive();
    void selectedDriveReturnsPointer();
    void keepFreeBox_data();
    void keepFreeBox();
    void dataCancelAndAccept();

private:
    QTemporaryDir home;
};

void TestDialogs::initTestCase() {
    QStandardPaths::setTestModeEnabled(true);
    // writableDrives() makes the user's Videos folder; keep that away from the real home.
    QVERIFY(home.isValid());
    qputenv("HOME", QFile::encodeName(home.path()));
    qunsetenv("XDG_CONFIG_HOME");
}

void TestDialogs::videoForm() {
    VideoSettings dialog;
    QCOMPARE(dialog.objectName(), QStringLiteral("VideoSettingsUi"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Camera Settings"));
    QCOMPARE(dialog.size(), QSize(561, 463));
    auto* grid = child<QGridLayout>(&dialog, "gridLayout_4");
    QVERIFY(grid);
    const struct {
        const char* name;
        int row, column, columnSpan;
    } places[] = {{"cameraBox", 0, 2, 1},     {"record", 3, 1, 1},    {"recordonstart", 3, 0, 1},
                  {"groupBox", 4, 0, 3},      {"buttonBox", 5, 1, 1}, {"radioButton", 0, 0, 1},
                  {"radioButton_2", 1, 0, 1}, {"lineEdit", 1, 1, 2}};
    for (const auto& place : places) {
        QWidget* widget = child<QWidget>(&dialog, place.name);
        QVERIFY(widget);
        int row = -1, column = -1, rowSpan = 0, columnSpan = 0;
        grid->getItemPosition(grid->indexOf(widget), &row, &column, &rowSpan, &columnSpan);
        QCOMPARE(row, place.row);
        QCOMPARE(column, place.column);
        QCOMPARE(columnSpan, place.columnSpan);
    }
    const struct {
        const char* name;
        QRect geometry;
    } fixed[] = {{"label_2", {30, 50, 47, 13}},  {"hhstart", {100, 50, 74, 22}},
                 {"mmstart", {200, 50, 74, 22}}, {"label_3", {30, 130, 47, 13}},
                 {"hhend", {100, 120, 74, 22}},  {"mmend", {200, 120, 74, 22}}};
    auto* group = child<QGroupBox>(&dialog, "groupBox");
    for (const auto& widget : fixed) {
        QWidget* w = child<QWidget>(group, widget.name);
        QVERIFY(w);
        QCOMPARE(w->parentWidget(), group);
        QCOMPARE(w->geometry(), widget.geometry);
    }
    QCOMPARE(group->title(), QStringLiteral("Record Settings"));
    QCOMPARE(child<QLabel>(&dialog, "label_2")->text(), QStringLiteral("Start:"));
    QCOMPARE(child<QLabel>(&dialog, "label_3")->text(), QStringLiteral("End:"));
    QCOMPARE(child<QCheckBox>(&dialog, "record")->text(), QStringLiteral("Record?"));
    QCOMPARE(child<QCheckBox>(&dialog, "recordonstart")->text(),
             QStringLiteral("Record on start?"));
    auto* analogue = child<QRadioButton>(&dialog, "radioButton");
    auto* ip = child<QRadioButton>(&dialog, "radioButton_2");
    QCOMPARE(analogue->text(), QStringLiteral("Analogue Camera:   "));
    QCOMPARE(ip->text(), QStringLiteral("IP Camera URL:"));
    QVERIFY(!analogue->isEnabled());
    QVERIFY(!analogue->autoExclusive());
    QVERIFY(!ip->autoExclusive());
    QVERIFY(!child<QComboBox>(&dialog, "cameraBox")->isEnabled());
    auto* buttons = child<QDialogButtonBox>(&dialog, "buttonBox");
    QCOMPARE(buttons->standardButtons(), QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QVERIFY(buttons->centerButtons());
}

void TestDialogs::videoTimes_data() {
    QTest::addColumn<uint>("start");
    QTest::addColumn<uint>("stop");
    QTest::addColumn<QStringList>("shown"); // hhstart, mmstart, hhend, mmend
    QTest::addColumn<uint>("storedStart");
    QTest::addColumn<uint>("storedStop");

    QTest::newRow("830-1745") << 830u << 1745u
                              << QStringList{QStringLiteral("8"), QStringLiteral("30"),
                                             QStringLiteral("17"), QStringLiteral("45")}
                              << 830u << 1745u;
    QTest::newRow("0-0") << 0u << 0u
                         << QStringList{QStringLiteral("0"), QStringLiteral("0"),
                                        QStringLiteral("0"), QStringLiteral("0")}
                         << 0u << 0u;
    QTest::newRow("2460 is no time") << 2460u << 2359u
                                     << QStringList{QStringLiteral("0"), QStringLiteral("0"),
                                                    QStringLiteral("23"), QStringLiteral("59")}
                                     << 0u << 2359u;
}

void TestDialogs::videoTimes() {
    QFETCH(uint, start);
    QFETCH(uint, stop);
    QFETCH(QStringList, shown);
    ChannelConfig config;
    config.recordStart = start;
    config.recordStop = stop;
    VideoSettings dialog;
    dialog.loadConfig(&config);
    const char* boxes[] = {"hhstart", "mmstart", "hhend", "mmend"};
    for (int i = 0; i < 4; ++i)
        QCOMPARE(child<QComboBox>(&dialog, boxes[i])->currentText(), shown.at(i));
    QCOMPARE(child<QComboBox>(&dialog, "hhstart")->count(), 24);
    QCOMPARE(child<QComboBox>(&dialog, "mmend")->count(), 60);
    QCOMPARE(child<QComboBox>(&dialog, "mmend")->itemData(59), QVariant(0));

    QCOMPARE(dialog.storeConfig(&config), &config);
    QTEST(config.recordStart, "storedStart");
    QTEST(config.recordStop, "storedStop");
}

void TestDialogs::videoAlwaysOffersUrl_data() {
    QTest::addColumn<int>("cameraType");
    QTest::newRow("analogue") << 0;
    QTest::newRow("ip") << 1;
    QTest::newRow("not configured") << -1;
}

void TestDialogs::videoAlwaysOffersUrl() {
    QFETCH(int, cameraType);
    ChannelConfig config;
    config.cameraType = cameraType;
    config.url = QStringLiteral("http://10.0.0.9/video.cgi?a=1&b=2");
    VideoSettings dialog;
    dialog.loadConfig(&config);
    QVERIFY(child<QRadioButton>(&dialog, "radioButton_2")->isChecked());
    QVERIFY(!child<QRadioButton>(&dialog, "radioButton")->isChecked());
    QVERIFY(child<QRadioButton>(&dialog, "radioButton")->isHidden());
    QVERIFY(child<QComboBox>(&dialog, "cameraBox")->isHidden());
    QCOMPARE(child<QLineEdit>(&dialog, "lineEdit")->text(), config.url);
    dialog.storeConfig(&config);
    QCOMPARE(config.cameraType, 1);
    QCOMPARE(config.url, QStringLiteral("http://10.0.0.9/video.cgi?a=1&b=2"));
}

void TestDialogs::videoUncheckingUrlChoosesAnalogue() {
    ChannelConfig config;
    config.cameraType = 1;
    VideoSettings dialog;
    dialog.loadConfig(&config);
    auto* ip = child<QRadioButton>(&dialog, "radioButton_2");
    ip->setChecked(false); // the buttons are not auto-exclusive, so this can happen
    QVERIFY(child<QRadioButton>(&dialog, "radioButton")->isChecked());
    dialog.storeConfig(&config);
    QCOMPARE(config.cameraType, 0);
    ip->setChecked(true);
    QVERIFY(!child<QRadioButton>(&dialog, "radioButton")->isChecked());
}

void TestDialogs::videoEmptyDeviceStoresZero() {
    ChannelConfig config;
    config.boundDevice = QStringLiteral("no such device");
    config.deviceName = QStringLiteral("no such device");
    VideoSettings dialog;
    dialog.loadConfig(&config);
    auto* devices = child<QComboBox>(&dialog, "cameraBox");
    QCOMPARE(devices->count(), 1 + QCameraInfo::availableCameras().size());
    QCOMPARE(devices->currentIndex(), 0);
    QCOMPARE(devices->itemText(0), QString());
    dialog.storeConfig(&config);
    QCOMPARE(config.deviceName, QStringLiteral("0"));
    QCOMPARE(config.boundDevice, QStringLiteral("0"));
}

void TestDialogs::videoRecordEnablesGroup() {
    ChannelConfig config;
    VideoSettings dialog;
    dialog.loadConfig(&config);
    auto* record = child<QCheckBox>(&dialog, "record");
    auto* group = child<QGroupBox>(&dialog, "groupBox");
    QVERIFY(!record->isChecked());
    QVERIFY(!group->isEnabled());
    record->click();
    QVERIFY(group->isEnabled());
    record->click();
    QVERIFY(!group->isEnabled());

    config.record = true;
    config.recordOnStart = true;
    VideoSettings second;
    second.loadConfig(&config);
    QVERIFY(child<QGroupBox>(&second, "groupBox")->isEnabled());
    QVERIFY(child<QCheckBox>(&second, "recordonstart")->isChecked());
    child<QCheckBox>(&second, "record")->click();
    child<QCheckBox>(&second, "recordonstart")->click();
    second.storeConfig(&config);
    QVERIFY(!config.record);
    QVERIFY(!config.recordOnStart);
}

void TestDialogs::videoAcceptStores() {
    ChannelConfig other;
    ChannelConfig config;
    config.cameraType = -1;
    VideoSettings dialog;
    dialog.loadConfig(&config);
    QCOMPARE(VideoSettings::currentConfig, &config);
    child<QLineEdit>(&dialog, "lineEdit")->setText(QStringLiteral("rtsp://cam/1"));
    child<QComboBox>(&dialog, "hhstart")->setCurrentIndex(7);
    child<QComboBox>(&dialog, "mmstart")->setCurrentIndex(5);
    child<QComboBox>(&dialog, "hhend")->setCurrentIndex(18);
    child<QComboBox>(&dialog, "mmend")->setCurrentIndex(30);
    child<QCheckBox>(&dialog, "record")->click();
    pressLater(&dialog, QDialogButtonBox::Ok);
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    QCOMPARE(config.url, QStringLiteral("rtsp://cam/1"));
    QCOMPARE(config.cameraType, 1);
    QCOMPARE(config.recordStart, 705u);
    QCOMPARE(config.recordStop, 1830u);
    QVERIFY(config.record);
    QCOMPARE(other.url, QString()); // only the loaded record changes
}

void TestDialogs::videoCancelChangesNothing() {
    ChannelConfig config;
    config.cameraType = 0;
    config.url = QStringLiteral("http://old/");
    config.recordStart = 830;
    config.manualStart = true;
    config.manualStop = true;
    config.deviceName = QStringLiteral("dev");
    VideoSettings dialog;
    dialog.loadConfig(&config);
    child<QLineEdit>(&dialog, "lineEdit")->setText(QStringLiteral("http://new/"));
    child<QComboBox>(&dialog, "hhstart")->setCurrentIndex(3);
    child<QCheckBox>(&dialog, "record")->click();
    pressLater(&dialog, QDialogButtonBox::Cancel);
    QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    dialog.done(0);
    QCOMPARE(config.url, QStringLiteral("http://old/"));
    QCOMPARE(config.cameraType, 0);
    QCOMPARE(config.recordStart, 830u);
    QVERIFY(!config.record);
    QCOMPARE(config.deviceName, QStringLiteral("dev"));
    QVERIFY(config.manualStart);
    QVERIFY(config.manualStop);
}

void TestDialogs::dataForm() {
    DataSettings dialog;
    QCOMPARE(dialog.objectName(), QStringLiteral("Dialog"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Data Settings"));
    QCOMPARE(dialog.size(), QSize(400, 300));
    QCOMPARE(child<QWidget>(&dialog, "buttonBox")->geometry(), QRect(30, 240, 341, 32));
    QCOMPARE(child<QWidget>(&dialog, "drivesBox")->geometry(), QRect(160, 40, 211, 22));
    QCOMPARE(child<QWidget>(&dialog, "label1")->geometry(), QRect(80, 40, 61, 16));
    QCOMPARE(child<QLabel>(&dialog, "label1")->text(), QStringLiteral("Data Drive:"));
    QCOMPARE(child<QLabel>(&dialog, "label2")->text(), QStringLiteral("Keep free (MiB):"));
    // The added field sits in free space: it covers none of the original widgets.
    const QRect added = child<QWidget>(&dialog, "label2")
                            ->geometry()
                            .united(child<QWidget>(&dialog, "keepFreeBox")->geometry());
    for (const char* name : {"buttonBox", "drivesBox", "label1"})
        QVERIFY(!added.intersects(child<QWidget>(&dialog, name)->geometry()));
    QVERIFY(QRect(0, 0, 400, 300).contains(added));
}

void TestDialogs::drivesAreWritableFolders() {
    const QStringList drives = writableDrives();
    QCOMPARE(QStringList(drives).removeDuplicates(), 0);
    QVERIFY(!drives.isEmpty());
    for (const QString& drive : drives) {
        QVERIFY2(drive.endsWith(QLatin1Char('/')), qPrintable(drive));
        QVERIFY2(QFileInfo(drive).isDir() && QFileInfo(drive).isWritable(), qPrintable(drive));
    }
    const QString videos = QDir(home.path()).filePath(QStringLiteral("Videos")) + QLatin1Char('/');
    QCOMPARE(drives.last(), videos);
    QVERIFY(QFileInfo(videos).isDir());
    // Read-only and memory volumes are not offered.
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        if (volume.isReadOnly() || volume.fileSystemType() == "tmpfs") {
            QString root = volume.rootPath();
            if (!root.endsWith(QLatin1Char('/')))
                root += QLatin1Char('/');
            QVERIFY2(!drives.contains(root), qPrintable(root));
        }
    }

    DataSettings dialog;
    auto* box = child<QComboBox>(&dialog, "drivesBox");
    QCOMPARE(box->count(), drives.size());
    for (int i = 0; i < box->count(); ++i) {
        QCOMPARE(box->itemText(i), drives.at(i));
        QCOMPARE(box->itemData(i).toString(), drives.at(i));
    }
}

void TestDialogs::selectDrive() {
    DataSettings dialog;
    auto* box = child<QComboBox>(&dialog, "drivesBox");
    QVERIFY(box->count() > 0);
    QString last = box->itemText(box->count() - 1);
    dialog.selectDrive(&last);
    QCOMPARE(box->currentIndex(), box->count() - 1);

    DataSettings fresh;
    QString missing = QStringLiteral("Q:/");
    fresh.selectDrive(&missing);
    QCOMPARE(child<QComboBox>(&fresh, "drivesBox")->currentIndex(), 0);
    QString chosen;
    fresh.selectedDrive(&chosen);
    QCOMPARE(chosen, writableDrives().first());

    // The default data drive is the file-system root; where it can be written it is offered.
    if (QFileInfo(QDir::rootPath()).isWritable()) {
        DataSettings rooted;
        QString root = QDir::rootPath();
        rooted.selectDrive(&root);
        QString selected;
        QCOMPARE(*rooted.selectedDrive(&selected), QDir::rootPath());
    }
}

void TestDialogs::selectedDriveReturnsPointer() {
    DataSettings dialog;
    QString drive = QStringLiteral("stale");
    QCOMPARE(dialog.selectedDrive(&drive), &drive);
    QCOMPARE(drive, child<QComboBox>(&dialog, "drivesBox")->currentData().toString());
    child<QComboBox>(&dialog, "drivesBox")->clear();
    dialog.selectedDrive(&drive);
    QCOMPARE(drive, QString()); // an empty list gives an empty path
    QCOMPARE(dialog.selectedDrive(nullptr), nullptr);
}

void TestDialogs::keepFreeBox_data() {
    QTest::addColumn<qint64>("set");
    QTest::addColumn<qint64>("got");
    QTest::addColumn<QString>("text");

    QTest::newRow("default") << kKeepFreeDefault << kKeepFreeDefault << QStringLiteral("Default");
    QTest::newRow("off") << qint64(0) << qint64(0) << QStringLiteral("0");
    QTest::newRow("MiB") << qint64(20480) << qint64(20480) << QStringLiteral("20480");
    QTest::newRow("other negative") << qint64(-50) << kKeepFreeDefault << QStringLiteral("Default");
    QTest::newRow("beyond the box")
        << (qint64(1) << 40) << qint64(2147483647) << QStringLiteral("2147483647");
}

void TestDialogs::keepFreeBox() {
    QFETCH(qint64, set);
    DataSettings dialog;
    QCOMPARE(dialog.keepFreeMiB(), kKeepFreeDefault);
    dialog.setKeepFreeMiB(set);
    QTEST(dialog.keepFreeMiB(), "got");
    QTEST(child<QSpinBox>(&dialog, "keepFreeBox")->text(), "text");
}

void TestDialogs::dataCancelAndAccept() {
    DataSettings dialog;
    pressLater(&dialog, QDialogButtonBox::Cancel);
    QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    pressLater(&dialog, QDialogButtonBox::Ok);
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    dialog.done(5);
    QCOMPARE(dialog.result(), 5); // passed on unchanged
}

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
