#pragma once

#include <QDialog>

struct ChannelConfig;

namespace Ui {
class VideoSettingsUi;
}

// Edits one camera's record: type, stream URL, the two recording flags and the daily window.
// Accepting stores the values into the record loaded last; Cancel changes nothing.
class VideoSettings final : public QDialog {
    Q_OBJECT

public:
    explicit VideoSettings(QWidget* parent = nullptr);
    ~VideoSettings() override;

    void loadConfig(ChannelConfig* config);
    ChannelConfig* storeConfig(ChannelConfig* config);
    void done(int r) override;

    // The record of the last loadConfig, shared by all instances; one dialog runs at a time.
    static ChannelConfig* currentConfig;

private slots:
    void on_radioButton_toggled(bool checked);
    void on_radioButton_2_toggled(bool checked);

private:
    Ui::VideoSettingsUi* ui = nullptr;
};
