#include <memory>

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "settings/settingsfile.h"

namespace {

// Counts warnings while it lives.
class WarningCounter final {
public:
    WarningCounter() { previous = qInstallMessageHandler(&WarningCounter::handle); }
    ~WarningCounter() {
        qInstallMessageHandler(previous);
        warnings.clear();
    }
    static inline QStringList warnings;

private:
    static void handle(QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtWarningMsg)
            warnings << message;
    }
    QtMessageHandler previous = nullptr;
};

void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

QByteArray readBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestSettingsFile final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() {
        dirHolder = std::make_unique<QTemporaryDir>();
        QVERIFY(dirHolder->isValid());
        path = dirHolder->filePath(QStringLiteral("settings.xml"));
    }

    void missingFileChangesNothing();
    void dataDrive_data();
    void dataDrive();
    void keepFree_data();
    void keepFree();
    void roundTrip_data();
    void roundTrip();
    void defaultWritesPlainFormat();
    void damagedFileKeepsEarlierValue();
    void unopenableFileIsLogged();
    void unwritableFolderFails();

private:
    std::unique_ptr<QTemporaryDir> dirHolder;
    QString path;
};

void TestSettingsFile::missingFileChangesNothing() {
    ProgramSettings settings;
    settings.dataDrive = QDir::rootPath();
    readSettingsFile(path, &settings);
    QCOMPARE(settings.dataDrive, QDir::rootPath());
    QCOMPARE(settings.keepFreeMiB, kKeepFreeDefault);
    QVERIFY(!QFile::exists(path)); // reading creates nothing
}

void TestSettingsFile::dataDrive_data() {
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<QString>("dataDrive");

    QTest::newRow("plain") << QByteArray("<settings><setting><datadrive>E:/</datadrive>"
                                         "</setting></settings>")
                           << QStringLiteral("E:/");
    QTest::newRow("other root name")
        << QByteArray("<?xml version=\"1.0\"?><prefs><datadrive>/media/usb/</datadrive></prefs>")
        << QStringLiteral("/media/usb/");
    QTest::newRow("last one wins, any depth")
        << QByteArray("<settings><datadrive>E:/</datadrive><a><b><datadrive>F:/</datadrive>"
                      "</b></a></settings>")
        << QStringLiteral("F:/");
    QTest::newRow("empty") << QByteArray("<settings><setting><datadrive/></setting></settings>")
                           << QString();
    QTest::newRow("no element") << QByteArray("<settings><setting/></settings>")
                                << QStringLiteral("/");
    QTest::newRow("escaped") << QByteArray("<s><datadrive>/mnt/a &amp; b/</datadrive></s>")
                             << QStringLiteral("/mnt/a & b/");
}

void TestSettingsFile::dataDrive() {
    QFETCH(QByteArray, xml);
    writeBytes(path, xml);
    ProgramSettings settings;
    settings.dataDrive = QStringLiteral("/");
    readSettingsFile(path, &settings);
    QTEST(settings.dataDrive, "dataDrive");
}

void TestSettingsFile::keepFree_data() {
    QTest::addColumn<QByteArray>("element");
    QTest::addColumn<qint64>("keepFreeMiB");

    QTest::newRow("missing") << QByteArray() << kKeepFreeDefault;
    QTest::newRow("off") << QByteArray("<keepfree>0</keepfree>") << qint64(0);
    QTest::newRow("MiB") << QByteArray("<keepfree>20480</keepfree>") << qint64(20480);
    QTest::newRow("beyond 32 bits")
        << QByteArray("<keepfree>5000000000</keepfree>") << qint64(5000000000);
    QTest::newRow("explicit default") << QByteArray("<keepfree>-1</keepfree>") << kKeepFreeDefault;
    QTest::newRow("letters") << QByteArray("<keepfree>lots</keepfree>") << kKeepFreeDefault;
    QTest::newRow("empty") << QByteArray("<keepfree></keepfree>") << kKeepFreeDefault;
    QTest::newRow("negative") << QByteArray("<keepfree>-300</keepfree>") << kKeepFreeDefault;
    QTest::newRow("outside setting")
        << QByteArray("</setting><keepfree>7</keepfree><setting>") << qint64(7);
}

void TestSettingsFile::keepFree() {
    QFETCH(QByteArray, element);
    writeBytes(path,
               "<settings><setting><datadrive>E:/</datadrive>" + element + "</setting></settings>");
    ProgramSettings settings;
    readSettingsFile(path, &settings);
    QTEST(settings.keepFreeMiB, "keepFreeMiB");
    QCOMPARE(settings.dataDrive, QStringLiteral("E:/"));
}

void TestSettingsFile::roundTrip_data() {
    QTest::addColumn<QString>("dataDrive");
    QTest::addColumn<qint64>("keepFreeMiB");

    QTest::newRow("drive, default") << QStringLiteral("D:/") << kKeepFreeDefault;
    QTest::newRow("empty, off") << QString() << qint64(0);
    QTest::newRow("odd path") << QStringLiteral("/media/Vidéos <&> \"x\"/") << qint64(4096);
    // A file may carry one as "&#13;"; a save must not turn it into a line feed.
    QTest::newRow("carriage return") << QStringLiteral("/media/a\rb\r\n/\r") << qint64(1);
}

void TestSettingsFile::roundTrip() {
    ProgramSettings out;
    QFETCH(QString, dataDrive);
    QFETCH(qint64, keepFreeMiB);
    out.dataDrive = dataDrive;
    out.keepFreeMiB = keepFreeMiB;
    QVERIFY(writeSettingsFile(path, out));

    ProgramSettings in;
    in.dataDrive = QStringLiteral("unchanged");
    in.keepFreeMiB = 1;
    readSettingsFile(path, &in);
    QCOMPARE(in.dataDrive, dataDrive);
    // A file without the element leaves the reader's value alone; a fresh reader holds -1.
    QCOMPARE(in.keepFreeMiB, keepFreeMiB == kKeepFreeDefault ? qint64(1) : keepFreeMiB);
}

void TestSettingsFile::defaultWritesPlainFormat() {
    ProgramSettings settings;
    settings.dataDrive = QStringLiteral("D:/");
    QVERIFY(writeSettingsFile(path, settings));
    QCOMPARE(readBytes(path), readBytes(QStringLiteral(IPS_TEST_DATA_DIR "/settings-plain.xml")));

    settings.keepFreeMiB = 0;
    QVERIFY(writeSettingsFile(path, settings));
    QVERIFY(readBytes(path).contains("        <datadrive>D:/</datadrive>\n"
                                     "        <keepfree>0</keepfree>\n    </setting>"));
}

void TestSettingsFile::damagedFileKeepsEarlierValue() {
    writeBytes(path, "<settings>\n<datadrive>E:/</datadrive>\n<datadrive>F:");
    ProgramSettings settings;
    WarningCounter counter;
    readSettingsFile(path, &settings);
    QCOMPARE(settings.dataDrive, QStringLiteral("E:/"));
    QCOMPARE(WarningCounter::warnings.size(), 1);
    QVERIFY(WarningCounter::warnings.first().contains(path));
    QVERIFY(WarningCounter::warnings.first().contains(QStringLiteral("line 3")));
}

void TestSettingsFile::unopenableFileIsLogged() {
    QVERIFY(QDir().mkpath(path));
    QTest::ignoreMessage(QtDebugMsg,
                         QRegularExpression(QStringLiteral("^Error: Cannot read file %1 .+")
                                                .arg(QRegularExpression::escape(path))));
    ProgramSettings settings;
    settings.dataDrive = QStringLiteral("/");
    readSettingsFile(path, &settings);
    QCOMPARE(settings.dataDrive, QStringLiteral("/"));
}

void TestSettingsFile::unwritableFolderFails() {
    const QString blocker = dirHolder->filePath(QStringLiteral("file"));
    writeBytes(blocker, "x");
    const QString target = blocker + QStringLiteral("/settings.xml");
    WarningCounter counter;
    QVERIFY(!writeSettingsFile(target, ProgramSettings{}));
    QCOMPARE(WarningCounter::warnings.size(), 1);
    QVERIFY(WarningCounter::warnings.first().contains(target));
}

QTEST_GUILESS_MAIN(TestSettingsFile)
#include "tst_settingsfile.moc"
