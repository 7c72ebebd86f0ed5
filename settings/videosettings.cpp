#include "settings/videosettings.h"

#include <QCameraInfo>

#include "capture/channelconfig.h"
#include "settings/textfit.h"
#include "ui_videosettings.h"

ChannelConfig* VideoSettings::currentConfig = nullptr;

namespace {

// Fills a time list with 0 .. count-1 and makes `current` current; a value outside the list
// leaves the first entry current.
void fillTimeBox(QComboBox* box, int count, quint32 current) {
    for (int v = 0; v < count; ++v) {
        box->addItem(QString::number(v), 0);
        if (quint32(v) == current)
            box->setCurrentIndex(v);
    }
}

} // namespace

VideoSettings::VideoSettings(QWidget* parent)
    : QDialog(parent)
    , ui(new Ui::VideoSettingsUi) {
    ui->setupUi(this);
    fitFormTexts(this);
}

VideoSettings::~VideoSettings() {
    delete ui;
}

void VideoSettings::loadConfig(ChannelConfig* config) {
    currentConfig = config;
    if (!config)
        return;

    ui->cameraBox->clear();
    ui->cameraBox->addItem(QString(), 0);
    for (const QCameraInfo& info : QCameraInfo::availableCameras()) {
        ui->cameraBox->addItem(info.description(), info.deviceName());
        if (info.deviceName() == config->boundDevice)
            ui->cameraBox->setCurrentIndex(ui->cameraBox->count() - 1);
    }
    ui->cameraBox->hide();
    ui->radioButton->hide();

    ui->hhstart->clear();
    ui->hhend->clear();
    ui->mmstart->clear();
    ui->mmend->clear();
    fillTimeBox(ui->hhstart, 24, config->recordStart / 100);
    fillTimeBox(ui->hhend, 24, config->recordStop / 100);
    fillTimeBox(ui->mmstart, 60, config->recordStart % 100);
    fillTimeBox(ui->mmend, 60, config->recordStop % 100);

    if (config->cameraType == 0) {
        ui->radioButton->setChecked(true);
        ui->radioButton_2->setChecked(false);
    } else if (config->cameraType == 1) {
        ui->radioButton_2->setChecked(true);
        ui->radioButton->setChecked(false);
    }
    // The analogue choice is hidden: the dialog always offers the stream URL.
    ui->radioButton_2->setChecked(true);
    ui->radioButton->setChecked(false);

    ui->lineEdit->setText(config->url);

    ui->record->setChecked(config->record);
    ui->groupBox->setEnabled(config->record);
    ui->recordonstart->setChecked(config->recordOnStart);
}

ChannelConfig* VideoSettings::storeConfig(ChannelConfig* config) {
    if (!config)
        return config;

    // The empty first entry holds the integer 0, which gives the text "0".
    const QString device = ui->cameraBox->currentData().toString();
    config->deviceName = device;
    config->boundDevice = device;

    config->record = ui->record->checkState() == Qt::Checked;
    config->recordOnStart = ui->recordonstart->checkState() == Qt::Checked;

    bool okStartHour = false;
    bool okStartMinute = false;
    bool okStopHour = false;
    bool okStopMinute = false;
    const quint32 startHour = ui->hhstart->currentText().toUInt(&okStartHour);
    const quint32 startMinute = ui->mmstart->currentText().toUInt(&okStartMinute);
    const quint32 stopHour = ui->hhend->currentText().toUInt(&okStopHour);
    const quint32 stopMinute = ui->mmend->currentText().toUInt(&okStopMinute);
    if (okStartHour && okStartMinute && okStopHour && okStopMinute) {
        config->recordStart = startHour * 100 + startMinute;
        config->recordStop = stopHour * 100 + stopMinute;
    }

    config->cameraType = ui->radioButton->isChecked() ? 0 : 1;
    config->url = ui->lineEdit->text();
    return config;
}

void VideoSettings::done(int r) {
    if (r == QDialog::Accepted) {
        storeConfig(currentConfig);
        QDialog::done(QDialog::Accepted);
    } else {
        QDialog::done(r);
    }
}

// The two buttons are not auto-exclusive; these slots keep exactly one of them checked.
void VideoSettings::on_radioButton_toggled(bool /*checked*/) {
    ui->radioButton_2->setChecked(!ui->radioButton->isChecked());
}

void VideoSettings::on_radioButton_2_toggled(bool /*checked*/) {
    ui->radioButton->setChecked(!ui->radioButton_2->isChecked());
}

// Compiled here rather than in the shared moc unit, so that this file links on its own.
#include "moc_videosettings.cpp"
