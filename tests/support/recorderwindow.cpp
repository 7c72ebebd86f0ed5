#include "support/recorderwindow.h"

#include <array>

#include <QDir>
#include <QLabel>
#include <QTimer>

#include "app/channelconfig.h"
#include "settings/configfile.h"
#include "settings/settingsfile.h"

QString recorderConfigFolder(const QString& configHome) {
    return configHome + QStringLiteral("/Quorlan-Applications/Q7M2/");
}

bool writeRecorderFiles(const QString& configFolder, const QStringList& urls,
                        const QString& dataDrive, qint64 keepFreeMiB) {
    std::array<ChannelConfig, 8> channels;
    for (int i = 0; i < urls.size() && i < int(channels.size()); ++i) {
        channels[i].cameraType = 1;
        channels[i].url = urls.at(i);
        channels[i].location = QStringLiteral("Camera %1 at the door").arg(i + 1);
        channels[i].recordOnStart = true;
    }
    ProgramSettings settings;
    settings.dataDrive = dataDrive;
    settings.keepFreeMiB = keepFreeMiB;
    return QDir().mkpath(configFolder) &&
           writeConfigFile(configFolder + QStringLiteral("config.xml"), channels.data(),
                           int(channels.size())) &&
           writeSettingsFile(configFolder + QStringLiteral("settings.xml"), settings);
}

bool showsPicture(const QLabel* label) {
    return !label->pixmap(Qt::ReturnByValue).isNull();
}

LabelHistory::LabelHistory(QLabel* label)
    : m_label(label)
    , m_timer(new QTimer(this)) {
    m_clock.start();
    connect(m_timer, &QTimer::timeout, this, &LabelHistory::sample);
    m_timer->start(5);
    sample();
}

void LabelHistory::sample() {
    if (!m_label)
        return;
    const QString text = m_label->text();
    if (m_changes.isEmpty() || m_changes.last().text != text)
        m_changes.append({m_clock.elapsed(), text});
}

qint64 LabelHistory::shownAt(const QString& text, qint64 sinceMs) const {
    for (const Change& change : m_changes) {
        if (change.text == text && change.atMs >= sinceMs)
            return change.atMs;
    }
    // Shown before sinceMs and still there.
    if (!m_changes.isEmpty() && m_changes.last().text == text)
        return sinceMs;
    return -1;
}

QString LabelHistory::describe() const {
    QStringList parts;
    for (const Change& change : m_changes)
        parts << QStringLiteral("%1 ms \"%2\"")
                     .arg(change.atMs)
                     .arg(change.text.isEmpty() ? QStringLiteral("<picture>") : change.text);
    return parts.join(QStringLiteral(", "));
}
