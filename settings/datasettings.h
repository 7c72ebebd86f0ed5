#pragma once

#include <QDialog>
#include <QStringList>

#include "capture/channelconfig.h"

namespace Ui {
class DataSettingsUi;
}

// The places the user can choose as data drive, each ending in "/". On Windows the writable
// drives in the order Qt lists them; elsewhere the roots of the mounted real file systems that
// the user can write, then the user's Videos folder (made if missing).
QStringList writableDrives();

// Chooses the data drive from writableDrives() and the free space to keep for the deletion of
// old recordings.
class DataSettings final : public QDialog {
    Q_OBJECT

public:
    explicit DataSettings(QWidget* parent = nullptr);
    ~DataSettings() override;

    // Makes the entry of *drive current; without a match the first entry stays current.
    void selectDrive(QString* drive);
    // Copies the current entry's path (empty without entries) into *drive and returns drive.
    QString* selectedDrive(QString* drive);

    // kKeepFreeDefault (-1) is shown as "Default", 0 means never delete.
    void setKeepFreeMiB(qint64 mib);
    qint64 keepFreeMiB() const;

    // Format of the files begun after the dialog is accepted.
    void setRecordingFormat(RecordingFormat format);
    RecordingFormat recordingFormat() const;

    void done(int r) override;

private:
    Ui::DataSettingsUi* ui = nullptr;
    QString drivePath;
};
