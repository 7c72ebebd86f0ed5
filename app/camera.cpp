#include "app/camera.h"

#include <QCamera>
#include <QCameraImageCapture>
#include <QCameraInfo>
#include <QCameraViewfinder>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>

#include "app/schedulewindow.h"
#include "capture/appdatafolder.h"
#include "capture/capturethread.h"
#include "recordings/clock.h"
#include "recordings/diskspacekeeper.h"
#include "review/recordingswindow.h"
#include "capture/paneltexts.h"
#include "settings/configfile.h"
#include "settings/datasettings.h"
#include "settings/settingsfile.h"
#include "settings/textfit.h"
#include "settings/videosettings.h"
#include "ui_camera.h"

namespace {

void paintStatus(QLabel* label, const QString& text, const QColor& textColour,
                 const QColor& background)
{
    QPalette palette;
    palette.setBrush(QPalette::All, QPalette::WindowText, QBrush(textColour));
    palette.setBrush(QPalette::All, QPalette::Window, QBrush(background));
    label->setAutoFillBackground(true);
    label->setPalette(palette);
    label->setText(text);
}

// Whether the panel has something to capture from: the stream URL of an IP camera, the bound
// device of a local one. A device name alone proves nothing: the camera settings dialog stores the
// text "0" for a panel without one. A camera that is not configured has no source.
bool hasSource(const ChannelConfig& c, const QCamera* device)
{
    if (c.cameraType == 1)
        return !c.url.isEmpty();
    if (c.cameraType == 0)
        return device != nullptr;
    return false;
}

// Tells the panel's worker to stop, waits until it has ended (its file completed), deletes it.
void endWorker(ChannelConfig& c)
{
    c.thread->stop();
    c.thread->waitForEnd();
    delete c.thread;
    c.thread = nullptr;
}

// Where recordings go when nothing else is configured: the file-system root where the user may
// write there (as on Windows), else the user's Videos folder.
QString defaultDataDrive(const QString& rootPath)
{
#ifdef Q_OS_WIN
    return rootPath;
#else
    if (QFileInfo(rootPath).isWritable())
        return rootPath;
    QString videos = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    QDir().mkpath(videos);
    if (!videos.endsWith(QLatin1Char('/')))
        videos += QLatin1Char('/');
    return videos;
#endif
}

// The panel's children are placed by hand inside the fixed 200 x 200 group box. Each step reads
// the sizes as the previous steps left them.
void arrangePanel(QGroupBox* box, ChannelConfig& c)
{
    const int boxWidth = box->width();
    const int boxHeight = box->height();
    QWidget* viewfinder = c.viewfinder;
    QLabel* preview = c.previewLabel;
    QPushButton* record = c.recordButton;
    QPushButton* stop = c.stopButton;
    QPushButton* settings = c.setCameraButton;
    QLabel* status = c.statusLabel;
    QLineEdit* location = c.locationEdit;

    const int pictureHeight =
        boxHeight - record->height() - settings->height() - location->height() - 13;
    viewfinder->setGeometry(2, 13, boxWidth, pictureHeight);
    preview->setGeometry(2, 13, 200, pictureHeight);
    preview->setFixedSize(200, 120);
    record->setGeometry(2, boxHeight - record->height() - 2, record->width() - 2,
                        record->height() - 2);
    stop->setGeometry(boxWidth - stop->width() - 2, boxHeight - stop->height() - 2,
                      stop->width() - 2, stop->height() - 2);
    settings->setGeometry(3, boxHeight - record->height() - location->height() - settings->height(),
                          settings->width() - 2, settings->height());
    status->setGeometry(settings->width() + 20,
                        boxHeight - settings->height() - record->height() - location->height() +
                            status->height() / 2,
                        status->width() - 2, status->height());
    status->setMinimumWidth(90);
    status->setMaximumWidth(90);
    location->setGeometry(2, boxHeight - location->height() - stop->height() - 2, boxWidth - 4,
                          location->height() - 2);
    preview->setText(QString());
}

} // namespace

Camera::Camera(QWidget* parent)
    : QMainWindow(parent)
    , ui(new Ui::Camera)
    , rootPath(QDir::rootPath())
    , separator(QStringLiteral("/"))
{
    dataDrive = defaultDataDrive(rootPath);
    ui->setupUi(this);

    QGroupBox* boxes[kCameraCount] = {ui->groupBox1, ui->groupBox2, ui->groupBox3, ui->groupBox4,
                                      ui->groupBox5, ui->groupBox6, ui->groupBox7, ui->groupBox8};
    for (int i = 0; i < kCameraCount; ++i) {
        const QString n = QString::number(i + 1);
        QGroupBox* box = boxes[i];
        ChannelConfig& c = channels[i];
        c.locationEdit = box->findChild<QLineEdit*>(QStringLiteral("location") + n);
        c.viewfinder = box->findChild<QCameraViewfinder*>(QStringLiteral("viewfinder") + n);
        c.statusLabel = box->findChild<QLabel*>(QStringLiteral("label") + n);
        c.previewLabel = box->findChild<QLabel*>(QStringLiteral("preview") + n);
        c.recordButton = box->findChild<QPushButton*>(QStringLiteral("RecordButton") + n);
        c.stopButton = box->findChild<QPushButton*>(QStringLiteral("StopButton") + n);
        c.setCameraButton = box->findChild<QPushButton*>(QStringLiteral("setCamera") + n);
        groupBoxes[i] = box;
    }
    for (int i = 0; i < kCameraCount; ++i) {
        ChannelConfig& c = channels[i];
        arrangePanel(groupBoxes[i], c);
        connect(c.setCameraButton, SIGNAL(clicked()), this, SLOT(configureVideoSettings()));
        // The worker draws the location on every frame but must not read a widget: keep its
        // copy in the record current.
        connect(c.locationEdit, &QLineEdit::textChanged, this,
                [&c](const QString& text) { c.setLocation(text); });
    }
    connect(ui->actionSettings, SIGNAL(triggered()), this, SLOT(configureDataSettings()));
    connect(ui->actionRecordings, &QAction::triggered, this, &Camera::openRecordings);
    fitFormTexts(this);
    for (ChannelConfig& c : channels) {
        // The texts these labels take on later must fit as well.
        fitTexts(c.statusLabel, {kTextRecording, kTextStopping});
        fitTexts(c.previewLabel,
                 {kTextConnecting, kTextConnected, kTextCannotConnect, kTextCannotWrite});
    }

    initCameras();
    configSettings();
    configCameras();
    setButtons();

    diskSpaceKeeper = new DiskSpaceKeeper(this);
    diskSpaceKeeper->setDataDrive(dataDrive);
    diskSpaceKeeper->setKeepFreeMiB(keepFreeMiB);
    diskSpaceKeeper->start();

    configTimer();
}

Camera::~Camera()
{
    // It asks the records for location texts: gone before they are.
    delete recordingsWindow;
    // A record must never be destroyed under a running worker, whatever path led here.
    stopAllWorkers();
    for (int i = 0; i < kCameraCount; ++i) {
        delete channels[i].imageCapture;
        channels[i].imageCapture = nullptr;
        if (cameras[i]) {
            cameras[i]->stop();
            delete cameras[i];
            cameras[i] = nullptr;
        }
    }
    delete ui;
}

void Camera::closeEvent(QCloseEvent* event)
{
    // From here on no tick may start a worker behind the stops below.
    closed = true;
    scheduleTimer->stop();
    if (recordingsWindow)
        recordingsWindow->close();
    writeConfig();
    // Tell every worker to stop before waiting for any, so that stalled streams time out in
    // parallel and the close takes one read time-out at most, not one per camera.
    for (ChannelConfig& c : channels) {
        if (c.thread)
            c.thread->stop();
    }
    stopCameras();
    stopAllWorkers();
    event->accept();
}

void Camera::stopAllWorkers()
{
    for (ChannelConfig& c : channels) {
        if (c.thread)
            c.thread->stop();
    }
    for (ChannelConfig& c : channels) {
        if (c.thread) {
            c.thread->waitForEnd();
            delete c.thread;
            c.thread = nullptr;
        }
    }
}

void Camera::initCameras()
{
    for (int i = 0; i < kCameraCount; ++i) {
        ChannelConfig& c = channels[i];
        cameras[i] = nullptr;
        c.cameraType = -1;
        c.url.clear();
        c.boundDevice.clear();
        c.deviceName.clear();
        c.thread = nullptr;
        c.imageCapture = nullptr;
        c.recordStart = 0;
        c.recordStop = 0;
        c.manualStop = false;
        c.manualStart = false;
        c.recording = false;
        c.running = false;
    }
}

QCamera* Camera::setCamera(QString deviceName, int x)
{
    ChannelConfig& target = channels[x];
    QCamera* bound = nullptr;
    if (target.cameraType == 0 || target.cameraType == 1) {
        // A device serves one panel only: release it from every panel that names it.
        for (int k = 0; k < kCameraCount; ++k) {
            ChannelConfig& c = channels[k];
            if (c.deviceName != deviceName)
                continue;
            if (c.running) {
                c.running = false;
                if (c.thread) {
                    c.thread->waitForEnd();
                    delete c.thread;
                    c.thread = nullptr;
                }
                delete c.imageCapture;
                c.imageCapture = nullptr;
            }
            if (cameras[k]) {
                cameras[k]->stop();
                delete cameras[k];
                cameras[k] = nullptr;
                delete c.imageCapture;
                c.imageCapture = nullptr;
                c.boundDevice.clear();
            }
        }
    }
    if (target.cameraType == 0) {
        target.viewfinder->show();
        target.previewLabel->hide();
        const QList<QCameraInfo> devices = QCameraInfo::availableCameras(QCamera::UnspecifiedPosition);
        for (const QCameraInfo& info : devices) {
            if (info.deviceName() != deviceName)
                continue;
            target.boundDevice = deviceName;
            delete bound;
            delete target.imageCapture;
            bound = new QCamera(info);
            target.imageCapture = new QCameraImageCapture(bound);
            bound->setViewfinder(target.viewfinder);
            target.viewfinder->show();
            bound->start();
        }
        cameras[x] = bound;
    } else if (target.cameraType == 1) {
        target.viewfinder->hide();
        target.previewLabel->show();
        target.url = deviceName;
    }
    setButtons();
    return bound;
}

void Camera::configureVideoSettings()
{
    int index = -1;
    for (int i = 0; i < kCameraCount; ++i) {
        if (sender() == channels[i].setCameraButton)
            index = i;
    }
    if (index < 0)
        return;
    ChannelConfig& c = channels[index];
    auto* dialog = new VideoSettings(nullptr);
    dialog->loadConfig(&c);
    // The dialog stores into the record as it is accepted.
    const int oldType = c.cameraType;
    const QString oldUrl = c.url;
    if (dialog->exec() != QDialog::Accepted) {
        delete dialog;
        return;
    }
    dialog->storeConfig(&c);
    const QList<QCameraInfo> devices = QCameraInfo::availableCameras();
    for (const QCameraInfo& info : devices) {
        if (info.deviceName() == c.boundDevice)
            setCamera(info.deviceName(), index);
    }
    // The dialog is offered only while the panel does not record, so a worker here runs the
    // preview of the old source. Left running, the next Record would write the old stream; ended,
    // the next tick starts a worker on the new source, if there is one.
    const bool sourceChanged = c.cameraType != oldType || c.url != oldUrl;
    if (c.thread && (sourceChanged || !hasSource(c, cameras[index]))) {
        endWorker(c);
        c.previewLabel->clear();
    }
    c.manualStart = false;
    c.manualStop = false;
    delete dialog;
    setButtons();
}

void Camera::configureDataSettings()
{
    auto* dialog = new DataSettings(nullptr);
    QString drive = dataDrive;
    dialog->selectDrive(&drive);
    dialog->setKeepFreeMiB(keepFreeMiB);
    dialog->setRecordingFormat(recordingFormat);
    if (dialog->exec() == QDialog::Accepted) {
        dialog->selectedDrive(&dataDrive);
        keepFreeMiB = dialog->keepFreeMiB();
        recordingFormat = dialog->recordingFormat();
        writeSettings();
        diskSpaceKeeper->setDataDrive(dataDrive);
        diskSpaceKeeper->setKeepFreeMiB(keepFreeMiB);
        for (ChannelConfig& c : channels) {
            c.format = recordingFormat; // running workers take it for their next file
            c.manualStart = false;
            c.manualStop = false;
        }
    }
    delete dialog;
}

void Camera::openRecordings()
{
    // A data drive changed in the settings since it was opened gets a window of its own.
    if (recordingsWindow && recordingsWindow->dataDrive() != dataDrive)
        delete recordingsWindow;
    if (!recordingsWindow) {
        // Not a child: it must not stay above the camera panels, and it is deleted before the
        // records it reads the locations from (see the destructor).
        recordingsWindow = new RecordingsWindow(dataDrive, [this](int camera) {
            return channels[camera - 1].locationCopy();
        });
        recordingsWindow->setAttribute(Qt::WA_DeleteOnClose);
    }
    recordingsWindow->show();
    recordingsWindow->raise();
    recordingsWindow->activateWindow();
}

void Camera::on_actionAbout_triggered()
{
    auto* box = new QMessageBox;
    box->setText(tr("IP Surveillance\n\nRecords up to eight network or local cameras."));
    box->exec();
    delete box;
}

// ---- Starting and stopping cameras and recordings ----

void Camera::startRecording(int i)
{
    // Nothing could be recorded: the panel must not claim a recording, nor lock its buttons.
    if (!hasSource(channels[i], cameras[i]))
        return;
    for (ChannelConfig& c : channels) {
        c.recordButton->setEnabled(false);
        c.stopButton->setEnabled(false);
    }
    // A worker that runs for the preview would see `recording` before it is replaced and begin
    // a file of its own, named from when it started: end it first.
    if (channels[i].thread)
        endWorker(channels[i]);
    channels[i].recording = true;
    startCamera(i);
    channels[i].manualStart = true;
    setButtons();
    // The worker enables Stop again once its source is open or has failed to open.
    channels[i].stopButton->setEnabled(false);
}

void Camera::stopRecording(int i)
{
    ChannelConfig& c = channels[i];
    // A worker enables Stop once its source is open, also when it only runs the preview. There
    // Stop has no recording to end, and must not take the camera off its schedule.
    if (!c.recording) {
        setButtons();
        return;
    }
    c.recordButton->setEnabled(false);
    c.stopButton->setEnabled(true);
    c.setCameraButton->setEnabled(false);
    paintStatus(c.statusLabel, QString::fromLatin1(kTextStopping), Qt::white, Qt::blue);
    // Let the stopping state be painted before the window blocks on the worker.
    QCoreApplication::processEvents();
    for (ChannelConfig& other : channels)
        other.stopButton->setEnabled(false);
    c.recording = false;
    stopCamera(i);
    c.manualStop = true;
    setButtons();
}

void Camera::startCamera(int cam)
{
    ChannelConfig& c = channels[cam];
    if (!hasSource(c, cameras[cam]))
        return;
    if (c.thread)
        endWorker(c);
    c.previewLabel->setText(QString::fromLatin1(kTextConnecting));
    c.running = true;
    startRecordingThread(cam);
    setButtons();
}

void Camera::stopCamera(int cam)
{
    ChannelConfig& c = channels[cam];
    if (c.thread) {
        endWorker(c);
        c.recording = false;
    }
    setButtons();
}

void Camera::startRecordingThread(int x)
{
    ChannelConfig& c = channels[x];
    if (c.thread)
        return;
    c.format = recordingFormat;
    c.thread = new CaptureThread(&c, dataDrive, QString::number(x + 1));
    c.thread->start(QThread::InheritPriority);
}

void Camera::stopCameras()
{
    for (ChannelConfig& c : channels) {
        c.recordButton->setEnabled(false);
        c.stopButton->setEnabled(true);
        c.setCameraButton->setEnabled(false);
    }
    for (int i = 0; i < kCameraCount; ++i) {
        if (channels[i].recording)
            stopCamera(i);
    }
}

void Camera::setButtons()
{
    for (int i = 0; i < kCameraCount; ++i) {
        ChannelConfig& c = channels[i];
        if (c.recording) {
            paintStatus(c.statusLabel, QString::fromLatin1(kTextRecording), Qt::white, Qt::red);
            c.setCameraButton->setEnabled(false);
            c.recordButton->setEnabled(false);
            c.stopButton->setEnabled(true);
        } else {
            c.recordButton->setEnabled(true);
            c.stopButton->setEnabled(false);
            c.setCameraButton->setEnabled(true);
            paintStatus(c.statusLabel, QString(), Qt::transparent, Qt::transparent);
        }
        if (c.cameraType == 0) {
            if (!cameras[i])
                c.recordButton->setEnabled(false);
            c.viewfinder->show();
            c.previewLabel->hide();
        } else if (c.cameraType == 1) {
            c.viewfinder->hide();
            c.previewLabel->show();
        }
        if (!hasSource(c, cameras[i]))
            c.recordButton->setEnabled(false);
    }
}

void Camera::on_RecordButton1_clicked() { startRecording(0); }
void Camera::on_RecordButton2_clicked() { startRecording(1); }
void Camera::on_RecordButton3_clicked() { startRecording(2); }
void Camera::on_RecordButton4_clicked() { startRecording(3); }
void Camera::on_RecordButton5_clicked() { startRecording(4); }
void Camera::on_RecordButton6_clicked() { startRecording(5); }
void Camera::on_RecordButton7_clicked() { startRecording(6); }
void Camera::on_RecordButton8_clicked() { startRecording(7); }
void Camera::on_StopButton1_clicked() { stopRecording(0); }
void Camera::on_StopButton2_clicked() { stopRecording(1); }
void Camera::on_StopButton3_clicked() { stopRecording(2); }
void Camera::on_StopButton4_clicked() { stopRecording(3); }
void Camera::on_StopButton5_clicked() { stopRecording(4); }
void Camera::on_StopButton6_clicked() { stopRecording(5); }
void Camera::on_StopButton7_clicked() { stopRecording(6); }
void Camera::on_StopButton8_clicked() { stopRecording(7); }

// ---- The one-second schedule ----

void Camera::configTimer()
{
    scheduleBusy = false;
    scheduleTimer = new QTimer(this);
    connect(scheduleTimer, SIGNAL(timeout()), this, SLOT(checkRecordingTime()));
    scheduleTimer->start(1000);
}

void Camera::checkRecordingTime()
{
    if (scheduleBusy || closed)
        return;
    scheduleBusy = true;

    const quint32 now = hhmmOf(Clock::now().time());
    // Events processed during a stop or a preview may close the window: after that, no camera
    // is started.
    for (int i = 0; i < kCameraCount && !closed; ++i) {
        ChannelConfig& c = channels[i];
        // A camera without a source cannot record: the rules leave it alone rather than let
        // its panel claim a recording that nothing writes.
        if (hasSource(c, cameras[i]) && !c.manualStart && !c.manualStop) {
            // startRecording sets `recording` itself, once the preview's worker has ended.
            if (c.recordOnStart && !c.running) {
                startRecording(i);
                c.manualStart = false;
            }
            const bool inWindow = windowContains(c.recordStart, c.recordStop, now);
            if (inWindow && c.record && !c.recording) {
                startRecording(i);
                c.manualStart = false;
            }
            // stopRecording clears `recording` itself, after the stopping state is shown.
            if (!inWindow && c.record && c.recording) {
                stopRecording(i);
                c.manualStop = false;
            }
        }
        if (closed)
            break;
        if (c.cameraType != 1)
            continue;
        if (!c.thread) {
            startCamera(i);
            continue;
        }
        QImage latest;
        {
            QMutexLocker lock(&c.frameMutex);
            latest = c.frame; // shallow copy; the worker replaces, never edits, the image
        }
        if (latest.isNull())
            continue;
        c.previewLabel->setPixmap(QPixmap::fromImage(
            latest.scaled(200, 120, Qt::IgnoreAspectRatio, Qt::FastTransformation)));
        c.previewLabel->show();
        QCoreApplication::processEvents();
    }

    scheduleBusy = false;
}

// ---- Files ----

QString Camera::createDataFolder()
{
    return applicationDataFolder();
}

void Camera::configCameras()
{
    initCameras();
    readConfigFile(QStringLiteral("%1config.xml").arg(createDataFolder()), channels.data(),
                   kCameraCount);
    for (int i = 0; i < kCameraCount; ++i) {
        if (channels[i].cameraType != 0)
            continue;
        const QList<QCameraInfo> devices = QCameraInfo::availableCameras();
        for (const QCameraInfo& info : devices) {
            if (info.deviceName() == channels[i].deviceName)
                setCamera(info.deviceName(), i);
        }
    }
}

void Camera::writeConfig()
{
    writeConfigFile(QStringLiteral("%1config.xml").arg(createDataFolder()), channels.data(),
                    kCameraCount);
}

void Camera::configSettings()
{
    ProgramSettings settings;
    settings.dataDrive = dataDrive;
    settings.keepFreeMiB = keepFreeMiB;
    settings.format = recordingFormat;
    readSettingsFile(QStringLiteral("%1settings.xml").arg(createDataFolder()), &settings);
    dataDrive = settings.dataDrive;
    keepFreeMiB = settings.keepFreeMiB;
    recordingFormat = settings.format;
}

void Camera::writeSettings()
{
    ProgramSettings settings;
    settings.dataDrive = dataDrive;
    settings.keepFreeMiB = keepFreeMiB;
    settings.format = recordingFormat;
    writeSettingsFile(QStringLiteral("%1settings.xml").arg(createDataFolder()), settings);
}
