#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class QLabel;
class QTimer;

// What the fault tests need around a whole recorder: its two configuration files, written with
// the program's own writers, and a record of what a panel's labels said over time.

// The application-data folder under a configuration home (XDG_CONFIG_HOME, or the test-mode
// location), ending in a slash.
QString recorderConfigFolder(const QString& configHome);

// Writes config.xml with cameras 1.. on `urls`, each set to record on start, and settings.xml
// with the data drive and the free space to keep (0: never delete recordings).
bool writeRecorderFiles(const QString& configFolder, const QStringList& urls,
                        const QString& dataDrive, qint64 keepFreeMiB);

// Whether the label shows a picture (the schedule paints each new frame into it).
bool showsPicture(const QLabel* label);

// Samples a label's text every few milliseconds and keeps each change with its time, so that a
// state shown only briefly is not missed. A picture in the label reads as an empty text.
class LabelHistory final : public QObject {
public:
    explicit LabelHistory(QLabel* label);

    struct Change {
        qint64 atMs;
        QString text;
    };
    QList<Change> changes() const { return m_changes; }
    qint64 elapsedMs() const { return m_clock.elapsed(); }
    // When `text` was first shown at or after `sinceMs`; -1 if it was not.
    qint64 shownAt(const QString& text, qint64 sinceMs = 0) const;
    QString describe() const;

private:
    void sample();

    QPointer<QLabel> m_label;
    QElapsedTimer m_clock;
    QTimer* m_timer = nullptr;
    QList<Change> m_changes;
};
