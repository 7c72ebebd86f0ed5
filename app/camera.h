#pragma once

#include <array>

#include <QMainWindow>
#include <QPointer>
#include <QString>

#include "capture/channelconfig.h"

class DiskSpaceKeeper;
class QCamera;
class QCloseEvent;
class QGroupBox;
class QTimer;
class RecordingsWindow;

namespace Ui {
class Camera;
}

constexpr int kCameraCount = 8;

// The main window: eight camera panels, their records, the control slots and the one-second
// recording schedule.
class Camera final : public QMainWindow {
    Q_OBJECT
public:
    explicit Camera(QWidget* parent = nullptr);
    ~Camera() override;

    // Read-only access for tests and tools.
    ChannelConfig& channel(int index) { return channels[index]; }
    const QString& currentDataDrive() const { return dataDrive; }

public slots:
    void configureDataSettings();
    void startCamera(int cam);
    void stopCamera(int cam);
    void startRecording(int i);
    void stopRecording(int i);
    void configTimer();
    // Shows the Recordings window on the current data drive, raising it when it is open.
    void openRecordings();

protected:
    void closeEvent(QCloseEvent* event) override;

private slots:
    void initCameras();
    QCamera* setCamera(QString deviceName, int x);
    void configureVideoSettings();
    void startRecordingThread(int x);
    void stopCameras();
    void setButtons();
    void checkRecordingTime();
    void configCameras();
    void writeConfig();
    void configSettings();
    void writeSettings();
    QString createDataFolder();
    void on_actionAbout_triggered();

    void on_RecordButton1_clicked();
    void on_RecordButton2_clicked();
    void on_RecordButton3_clicked();
    void on_RecordButton4_clicked();
    void on_RecordButton5_clicked();
    void on_RecordButton6_clicked();
    void on_RecordButton7_clicked();
    void on_RecordButton8_clicked();
    void on_StopButton1_clicked();
    void on_StopButton2_clicked();
    void on_StopButton3_clicked();
    void on_StopButton4_clicked();
    void on_StopButton5_clicked();
    void on_StopButton6_clicked();
    void on_StopButton7_clicked();
    void on_StopButton8_clicked();

private:
    // Stops every worker that is left, all at once, and waits for each.
    void stopAllWorkers();

    Ui::Camera* ui = nullptr;
    std::array<QCamera*, kCameraCount> cameras{};
    std::array<QGroupBox*, kCameraCount> groupBoxes{};
    QString rootPath;
    QString dataDrive;
    QString separator;
    std::array<ChannelConfig, kCameraCount> channels;
    QTimer* scheduleTimer = nullptr;
    bool scheduleBusy = false;
    bool closed = false; // set by closeEvent: no tick starts a worker afterwards
    qint64 keepFreeMiB = -1; // free space kept on the data drive's volume; -1 the default rule
    RecordingFormat recordingFormat = RecordingFormat::Iyuv; // of the files begun from now on
    DiskSpaceKeeper* diskSpaceKeeper = nullptr;
    QPointer<RecordingsWindow> recordingsWindow; // deletes itself when closed
};
