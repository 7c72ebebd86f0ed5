#include "settings/datasettings.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>
#include <QStorageInfo>

#include "settings/settingsfile.h"
#include "settings/textfit.h"
#include "ui_datasettings.h"

namespace {

#ifndef Q_OS_WIN
QString withSlash(const QString& path) {
    return path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
}

// Kernel and memory file systems: recordings there would be refused or gone after a reboot.
bool isRealFileSystem(const QByteArray& type) {
    static const QSet<QByteArray> notReal = {
        "proc",        "sysfs",           "devtmpfs",   "devpts",  "tmpfs",     "ramfs",
        "cgroup",      "cgroup2",         "securityfs", "debugfs", "tracefs",   "pstore",
        "bpf",         "configfs",        "fusectl",    "mqueue",  "hugetlbfs", "autofs",
        "binfmt_misc", "efivarfs",        "rpc_pipefs", "nsfs",    "squashfs",  "iso9660",
        "udf",         "fuse.gvfsd-fuse", "fuse.portal"};
    return !notReal.contains(type);
}
#endif

} // namespace

QStringList writableDrives() {
    QStringList drives;
#ifdef Q_OS_WIN
    for (const QFileInfo& drive : QDir::drives()) {
        if (drive.isWritable())
            drives << drive.filePath();
    }
#else
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        if (!volume.isValid() || !volume.isReady() || volume.isReadOnly() ||
            !isRealFileSystem(volume.fileSystemType()))
            continue;
        // File bind mounts are volumes too; only folders can hold recordings.
        const QFileInfo root(volume.rootPath());
        if (!root.isDir() || !root.isWritable())
            continue;
        const QString path = withSlash(volume.rootPath());
        if (!drives.contains(path))
            drives << path;
    }
    const QString videos = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    if (!videos.isEmpty() && QDir().mkpath(videos) && QFileInfo(videos).isWritable()) {
        const QString path = withSlash(QDir::cleanPath(videos));
        if (!drives.contains(path))
            drives << path;
    }
#endif
    return drives;
}

DataSettings::DataSettings(QWidget* parent)
    : QDialog(parent)
    , ui(new Ui::DataSettingsUi) {
    ui->setupUi(this);
    ui->drivesBox->clear();
    for (const QString& drive : writableDrives()) {
        ui->drivesBox->addItem(drive, drive);
        ui->drivesBox->setItemData(ui->drivesBox->count() - 1, drive, Qt::ToolTipRole);
    }
    // A long path does not fit the box: its tool tip shows it whole.
    auto showWhole = [this] { ui->drivesBox->setToolTip(ui->drivesBox->currentText()); };
    connect(ui->drivesBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this, showWhole);
    showWhole();
    fitFormTexts(this);
}

DataSettings::~DataSettings() {
    delete ui;
}

void DataSettings::selectDrive(QString* drive) {
    if (drive)
        drivePath = *drive;
    const int index = ui->drivesBox->findData(drivePath, Qt::UserRole, Qt::MatchExactly);
    if (index >= 0)
        ui->drivesBox->setCurrentIndex(index);
}

QString* DataSettings::selectedDrive(QString* drive) {
    if (drive)
        *drive = ui->drivesBox->currentData().toString();
    return drive;
}

void DataSettings::setKeepFreeMiB(qint64 mib) {
    const qint64 shown = mib < 0 ? kKeepFreeDefault : qMin<qint64>(mib, ui->keepFreeBox->maximum());
    ui->keepFreeBox->setValue(int(shown));
}

qint64 DataSettings::keepFreeMiB() const {
    return ui->keepFreeBox->value();
}

// The entries of formatBox, in the order of the form.
void DataSettings::setRecordingFormat(RecordingFormat format) {
    ui->formatBox->setCurrentIndex(format == RecordingFormat::Mjpeg ? 1 : 0);
}

RecordingFormat DataSettings::recordingFormat() const {
    return ui->formatBox->currentIndex() == 1 ? RecordingFormat::Mjpeg : RecordingFormat::Iyuv;
}

void DataSettings::done(int r) {
    QDialog::done(r);
}

// Compiled here rather than in the shared moc unit, so that this file links on its own.
#include "moc_datasettings.cpp"
