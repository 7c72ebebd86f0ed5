// The Data Settings dialog: the drives it offers and the free space to keep it stores. (The
// schedule suite answers both dialogs as a user would.)
#include <QStorageInfo>
#include <QtTest>

#include "settings/datasettings.h"
#include "settings/settingsfile.h"
#include "support/recorder.h"

class TestDialogs final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void drivesAreWritableFolders();
    void keepFreeBox();

private:
    QTemporaryDir home;
};

void TestDialogs::initTestCase() {
    // writableDrives() makes the user's Videos folder; keep that away from the real home.
    QVERIFY(home.isValid());
    isolateHome(home.path());
}

// Only writable folders, never a read-only or memory volume, the user's Videos folder last (made
// when missing); the drive in use is the one selected.
void TestDialogs::drivesAreWritableFolders() {
    const QStringList drives = writableDrives();
    QVERIFY(!drives.isEmpty());
    QCOMPARE(QStringList(drives).removeDuplicates(), 0);
    for (const QString& drive : drives)
        QVERIFY2(drive.endsWith('/') && QFileInfo(drive).isDir() && QFileInfo(drive).isWritable(),
                 qPrintable(drive));
    QCOMPARE(drives.last(), home.path() + QStringLiteral("/Videos/"));
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        const QString root = volume.rootPath() + (volume.rootPath().endsWith('/') ? "" : "/");
        if (volume.isReadOnly() || volume.fileSystemType() == "tmpfs")
            QVERIFY2(!drives.contains(root), qPrintable(root));
    }
    DataSettings dialog;
    QString drive = drives.last();
    dialog.selectDrive(&drive);
    drive.clear();
    QCOMPARE(*dialog.selectedDrive(&drive), drives.last());
}

// The box keeps what settings.xml may hold: the default rule, off, or MiB up to what it can show.
void TestDialogs::keepFreeBox() {
    const QList<QPair<qint64, qint64>> setAndGot{{kKeepFreeDefault, kKeepFreeDefault},
                                                 {0, 0},
                                                 {20480, 20480},
                                                 {-50, kKeepFreeDefault},
                                                 {qint64(1) << 40, 2147483647}};
    for (const auto& [set, got] : setAndGot) {
        DataSettings dialog;
        QCOMPARE(dialog.keepFreeMiB(), kKeepFreeDefault);
        dialog.setKeepFreeMiB(set);
        QCOMPARE(dialog.keepFreeMiB(), got);
    }
}

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
