#include "review/recordingswindow.h"

#include <algorithm>

#include <QCalendarWidget>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QStandardPaths>
#include <QTextCharFormat>
#include <QTimeEdit>
#include <QTimer>
#include <QVBoxLayout>

#include "recordings/activity.h"
#include "recordings/exporttask.h"
#include "review/timelinewidget.h"

namespace {

constexpr int kRefreshMs = 2000;

QString timeText(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("HH:mm:ss"));
}

QString defaultExportFolder() {
    for (auto location : {QStandardPaths::MoviesLocation, QStandardPaths::DocumentsLocation}) {
        const QString folder = QStandardPaths::writableLocation(location);
        if (!folder.isEmpty())
            return folder;
    }
    return QStandardPaths::writableLocation(QStandardPaths::HomeLocation);
}

QPushButton* button(const QString& text, const QString& name, const QString& tip) {
    auto* b = new QPushButton(text);
    b->setObjectName(name);
    b->setToolTip(tip);
    b->setFocusPolicy(Qt::NoFocus); // the keys of the window stay with the window
    return b;
}

QTimeEdit* timeEditNamed(const QString& name) {
    auto* edit = new QTimeEdit;
    edit->setObjectName(name);
    edit->setDisplayFormat(QStringLiteral("HH:mm:ss"));
    return edit;
}

} // namespace

RecordingsWindow::RecordingsWindow(const QString& dataDrive, std::function<QString(int)> location,
                                   Clock::Source clockSource, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , index(dataDrive)
    , locationOf(std::move(location))
    , clock(clockSource ? std::move(clockSource) : Clock::Source(&Clock::now)) {
    setWindowTitle(tr("Recordings"));
    buildControls();

    playTimer = new QTimer(this);
    playTimer->setTimerType(Qt::PreciseTimer);
    playTimer->setInterval(int(Review::kFrameMs));
    connect(playTimer, &QTimer::timeout, this, &RecordingsWindow::tick);
    refreshTimer = new QTimer(this);
    refreshTimer->setInterval(kRefreshMs);
    connect(refreshTimer, &QTimer::timeout, this, &RecordingsWindow::refresh);
    refreshTimer->start();

    const QDate today = clock().date();
    playMs = dayStartMs(today);
    setCamera(1);
    setDay(today);
    showNothing(tr("Choose a camera and click on the timeline to play"));
}

// A running export is cancelled and waited for by its task, a child of the window.
RecordingsWindow::~RecordingsWindow() = default;

void RecordingsWindow::buildControls() {
    cameraList = new QListWidget;
    cameraList->setObjectName(QStringLiteral("cameraList"));
    for (int cam = 1; cam <= Review::kCameras; ++cam)
        cameraList->addItem(QString());
    cameraList->setFixedWidth(280);
    cameraList->setFocusPolicy(Qt::NoFocus);
    connect(cameraList, &QListWidget::currentRowChanged, this,
            [this](int row) { setCamera(row + 1); });

    calendar = new QCalendarWidget;
    calendar->setObjectName(QStringLiteral("calendar"));
    calendar->setFixedWidth(280);
    calendar->setFocusPolicy(Qt::NoFocus);
    calendar->setHorizontalHeaderFormat(QCalendarWidget::SingleLetterDayNames);
    calendar->setVerticalHeaderFormat(QCalendarWidget::NoVerticalHeader);
    connect(calendar, &QCalendarWidget::clicked, this, &RecordingsWindow::pickDay);

    picture = new QLabel;
    picture->setObjectName(QStringLiteral("picture"));
    picture->setFixedSize(640, 480);
    picture->setAlignment(Qt::AlignCenter);
    picture->setStyleSheet(QStringLiteral("background: black; color: white"));
    frameTime = new QLabel;
    frameTime->setObjectName(QStringLiteral("frameTime"));
    QFont big = frameTime->font();
    big.setPointSizeF(big.pointSizeF() * 1.4);
    big.setBold(true);
    frameTime->setFont(big);

    timeEdit = timeEditNamed(QStringLiteral("timeEdit"));
    timeEdit->setToolTip(tr("Type a time and press Enter to play from there"));
    connect(timeEdit, &QTimeEdit::editingFinished, this, [this] {
        // Leaving the field unchanged is no seek: it would drop the milliseconds.
        const qint64 typed = QDateTime(shownDay, timeEdit->time()).toMSecsSinceEpoch();
        if (typed != playMs - playMs % 1000)
            seek(typed);
    });
    playButton = button(tr("Play"), QStringLiteral("playButton"), tr("Play or pause (Space)"));
    connect(playButton, &QPushButton::clicked, this, [this] { setPlaying(!isPlaying()); });
    auto* back10 = button(tr("-10 s"), QStringLiteral("back10Button"), tr("10 s back (Left)"));
    auto* ahead10 = button(tr("+10 s"), QStringLiteral("ahead10Button"), tr("10 s ahead (Right)"));
    auto* backFrame = button(tr("<"), QStringLiteral("backFrameButton"), tr("One frame back (,)"));
    auto* aheadFrame =
        button(tr(">"), QStringLiteral("aheadFrameButton"), tr("One frame ahead (.)"));
    connect(back10, &QPushButton::clicked, this, [this] { stepSeconds(-10); });
    connect(ahead10, &QPushButton::clicked, this, [this] { stepSeconds(10); });
    connect(backFrame, &QPushButton::clicked, this, [this] { stepFrames(-1); });
    connect(aheadFrame, &QPushButton::clicked, this, [this] { stepFrames(1); });
    speedBox = new QComboBox;
    speedBox->setObjectName(QStringLiteral("speedBox"));
    speedBox->setFocusPolicy(Qt::NoFocus);
    const std::pair<const char*, double> speeds[] = {
        {"1/4x", 0.25}, {"1/2x", 0.5}, {"1x", 1}, {"2x", 2}, {"4x", 4}, {"8x", 8}, {"16x", 16}};
    for (const auto& [name, factor] : speeds)
        speedBox->addItem(QString::fromLatin1(name), factor);
    speedBox->setCurrentIndex(2);
    // The play time carries on from where it is at the new speed.
    connect(speedBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this] { anchorClock(); });

    auto* previousEvent = button(tr("Previous event"), QStringLiteral("previousEventButton"),
                                 tr("Play from the previous activity event (Ctrl+Left)"));
    auto* nextEvent = button(tr("Next event"), QStringLiteral("nextEventButton"),
                             tr("Play from the next activity event (Ctrl+Right)"));
    connect(previousEvent, &QPushButton::clicked, this, [this] { jumpToEvent(-1); });
    connect(nextEvent, &QPushButton::clicked, this, [this] { jumpToEvent(1); });
    thresholdBox = new QDoubleSpinBox;
    thresholdBox->setObjectName(QStringLiteral("thresholdBox"));
    thresholdBox->setRange(0.1, 100);
    thresholdBox->setDecimals(1);
    thresholdBox->setSuffix(QStringLiteral(" %"));
    thresholdBox->setValue(Activity::kDefaultThreshold);
    thresholdBox->setToolTip(tr("An event is activity above this share of the picture"));

    timeline = new TimelineWidget;
    timeline->setObjectName(QStringLiteral("timeline"));
    connect(timeline, &TimelineWidget::seekRequested, this, [this](int cam, qint64 ms) {
        setCamera(cam);
        seek(ms);
    });
    connect(timeline, &TimelineWidget::selectionChanged, this, &RecordingsWindow::setSelection);

    startEdit = timeEditNamed(QStringLiteral("startEdit"));
    endEdit = timeEditNamed(QStringLiteral("endEdit"));
    for (QTimeEdit* edit : {startEdit, endEdit})
        connect(edit, &QTimeEdit::timeChanged, this, [this] {
            setSelection(QDateTime(shownDay, startEdit->time()).toMSecsSinceEpoch(),
                         QDateTime(shownDay, endEdit->time()).toMSecsSinceEpoch());
        });
    folderEdit = new QLineEdit(defaultExportFolder());
    folderEdit->setObjectName(QStringLiteral("folderEdit"));
    auto* chooseFolder = button(tr("Folder..."), QStringLiteral("folderButton"),
                                tr("Choose the folder the export goes to"));
    connect(chooseFolder, &QPushButton::clicked, this, [this] {
        const QString folder =
            QFileDialog::getExistingDirectory(this, tr("Export to"), folderEdit->text());
        if (!folder.isEmpty())
            folderEdit->setText(folder);
    });
    exportButton = button(tr("Export"), QStringLiteral("exportButton"),
                          tr("Export the span of the chosen camera as a video file"));
    connect(exportButton, &QPushButton::clicked, this, &RecordingsWindow::startExport);
    progressBar = new QProgressBar;
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setRange(0, 1000);
    progressBar->setVisible(false);
    cancelButton = button(tr("Cancel"), QStringLiteral("cancelButton"), tr("Stop the export"));
    cancelButton->setVisible(false);
    connect(cancelButton, &QPushButton::clicked, this, &RecordingsWindow::cancelExport);

    statusLine = new QLabel;
    statusLine->setObjectName(QStringLiteral("statusLine"));
    statusLine->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* browse = new QVBoxLayout;
    browse->addWidget(cameraList);
    browse->addWidget(calendar);
    browse->addStretch();
    auto* transport = new QHBoxLayout;
    for (QWidget* w : std::initializer_list<QWidget*>{timeEdit, back10, backFrame, playButton,
                                                      aheadFrame, ahead10, speedBox})
        transport->addWidget(w);
    transport->addStretch();
    auto* events = new QHBoxLayout;
    for (QWidget* w : std::initializer_list<QWidget*>{previousEvent, nextEvent,
                                                      new QLabel(tr("above")), thresholdBox})
        events->addWidget(w);
    events->addStretch();
    auto* player = new QVBoxLayout;
    player->addWidget(picture);
    player->addWidget(frameTime);
    player->addLayout(transport);
    player->addLayout(events);
    player->addStretch();
    auto* top = new QHBoxLayout;
    top->addLayout(browse);
    top->addLayout(player);
    auto* handOver = new QHBoxLayout;
    for (QWidget* w : std::initializer_list<QWidget*>{
             new QLabel(tr("start")), startEdit, new QLabel(tr("end")), endEdit, folderEdit,
             chooseFolder, exportButton, progressBar, cancelButton})
        handOver->addWidget(w);
    auto* all = new QVBoxLayout(this);
    all->addLayout(top);
    all->addWidget(timeline, 1);
    all->addLayout(handOver);
    all->addWidget(statusLine);

    const std::pair<QKeySequence, std::function<void()>> keys[] = {
        {Qt::Key_Space, [this] { setPlaying(!isPlaying()); }},
        {Qt::Key_Comma, [this] { stepFrames(-1); }},
        {Qt::Key_Period, [this] { stepFrames(1); }},
        {Qt::Key_Left, [this] { stepSeconds(-10); }},
        {Qt::Key_Right, [this] { stepSeconds(10); }},
        {Qt::CTRL + Qt::Key_Left, [this] { jumpToEvent(-1); }},
        {Qt::CTRL + Qt::Key_Right, [this] { jumpToEvent(1); }},
    };
    for (const auto& [key, action] : keys)
        connect(new QShortcut(key, this), &QShortcut::activated, this, action);
    timeline->setFocus();
}

bool RecordingsWindow::isPlaying() const {
    return playTimer->isActive();
}

double RecordingsWindow::speed() const {
    return speedBox->currentData().toDouble();
}

qint64 RecordingsWindow::dayStartMs(const QDate& d) const {
    return QDateTime(d, QTime(0, 0)).toMSecsSinceEpoch();
}

void RecordingsWindow::setCamera(int cam) {
    if (cam < 1 || cam > Review::kCameras)
        return;
    {
        const QSignalBlocker block(cameraList);
        cameraList->setCurrentRow(cam - 1);
    }
    if (cam == currentCamera)
        return;
    currentCamera = cam;
    timeline->setCurrentCamera(cam);
    shown = {};
    seek(playMs);
}

void RecordingsWindow::setDay(const QDate& d) {
    if (!d.isValid() || d == shownDay)
        return;
    shownDay = d;
    reader.clear();
    calendar->setSelectedDate(d);
    timeline->setDay(dayStartMs(d), dayStartMs(d.addDays(1)));
    for (QString& stamp : activityStamp)
        stamp.clear();
    refresh();
}

void RecordingsWindow::pickDay(const QDate& d) {
    setDay(d);
    if (index.segments(currentCamera, d).isEmpty()) {
        setPlaying(false);
        playMs = dayStartMs(d);
        showNothing(tr("No footage of camera %1 on %2")
                        .arg(currentCamera)
                        .arg(QLocale().toString(d, QLocale::ShortFormat)));
        return;
    }
    seek(dayStartMs(d));
}

void RecordingsWindow::refresh() {
    calendar->setMaximumDate(clock().date()); // the window may stay open past midnight
    index.refreshDay(shownDay);
    for (int cam = 1; cam <= Review::kCameras; ++cam) {
        const QVector<Review::Segment> segments = index.segments(cam, shownDay);
        timeline->setSegments(cam, segments);
        if (cam == currentCamera) {
            noteDeleted(segments);
            cameraSegments = segments;
            segmentsDay = shownDay;
            segmentsCamera = cam;
        }
        const QFileInfo file(Activity::dayFile(index.dataDrive(), cam, shownDay));
        const QString stamp = file.exists() ? QStringLiteral("%1 %2")
                                                  .arg(file.size())
                                                  .arg(file.lastModified().toMSecsSinceEpoch())
                                            : QStringLiteral("none");
        if (stamp != activityStamp[cam - 1]) {
            activityStamp[cam - 1] = stamp;
            activity[cam - 1] = Activity::readDay(index.dataDrive(), cam, shownDay);
            timeline->setActivity(cam, activity[cam - 1]);
        }
        const QString location = locationOf ? locationOf(cam) : QString();
        const QString label = location.isEmpty() ? tr("Camera %1").arg(cam)
                                                 : tr("Camera %1: %2").arg(cam).arg(location);
        if (cameraList->item(cam - 1)->text() != label)
            cameraList->item(cam - 1)->setText(label);
    }
    markFootageDays();
}

void RecordingsWindow::noteDeleted(const QVector<Review::Segment>& segments) {
    // Footage that vanishes while it is watched (the keeper makes room, someone deletes a file)
    // is said, not silently jumped over.
    if (segmentsDay != shownDay || segmentsCamera != currentCamera)
        return;
    for (const Review::Segment& old : cameraSegments) {
        const bool kept =
            std::any_of(segments.begin(), segments.end(),
                        [&old](const Review::Segment& s) { return s.path == old.path; });
        if (!kept) {
            statusLine->setText(tr("The recording of camera %1 from %2 to %3 was deleted")
                                    .arg(currentCamera)
                                    .arg(timeText(old.startMs), timeText(old.endMs())));
        }
    }
}

void RecordingsWindow::markFootageDays() {
    const QList<QDate> days = index.daysWithFootage(0);
    if (days == footageDays)
        return;
    footageDays = days;
    calendar->setDateTextFormat(QDate(), QTextCharFormat());
    QTextCharFormat bold;
    bold.setFontWeight(QFont::Bold);
    for (const QDate& d : days)
        calendar->setDateTextFormat(d, bold);
}

void RecordingsWindow::anchorClock() {
    anchorPlayMs = playMs;
    wallClock.restart();
}

void RecordingsWindow::setPlaying(bool play) {
    if (play == isPlaying())
        return;
    if (play) {
        anchorClock();
        playTimer->start();
    } else {
        playTimer->stop();
    }
    playButton->setText(play ? tr("Pause") : tr("Play"));
}

void RecordingsWindow::seek(qint64 ms) {
    statusLine->clear();
    playMs = ms;
    const QDate d = QDateTime::fromMSecsSinceEpoch(ms).date();
    if (d != shownDay)
        setDay(d);
    const Review::FramePosition position = Review::frameAt(index, currentCamera, ms, 1);
    if (!position.valid()) {
        showNothing(
            tr("No footage of camera %1 at or after %2").arg(currentCamera).arg(timeText(ms)));
    } else {
        if (position.startMs() > ms)
            playMs = position.startMs(); // over a gap
        showFrame(position);
    }
    anchorClock();
}

void RecordingsWindow::tick() {
    playMs = anchorPlayMs + qint64(double(wallClock.elapsed()) * speed());
    const QDate today = clock().date();
    const QDate d = QDateTime::fromMSecsSinceEpoch(playMs).date();
    if (d != shownDay && d <= today)
        setDay(d);
    Review::FramePosition position = Review::frameAt(index, currentCamera, playMs, 1);
    if (!position.valid() && shownDay < today) {
        // The end of the day's footage: on to the next day that has some, if any.
        for (const QDate& later : index.daysWithFootage(currentCamera)) {
            if (later > shownDay) {
                setDay(later);
                position = Review::frameAt(index, currentCamera, dayStartMs(later), 1);
                break;
            }
        }
    }
    if (!position.valid()) {
        // Nothing after: hold the last frame. Today the live file grows, so wait for it there.
        if (shown.valid())
            playMs = shown.startMs();
        anchorClock();
        if (shownDay != today) {
            setPlaying(false);
            statusLine->setText(tr("End of the footage of camera %1").arg(currentCamera));
        }
        return;
    }
    if (position.startMs() > playMs) {
        playMs = position.startMs();
        anchorClock();
    }
    if (!shown.valid() || position.segment.path != shown.segment.path ||
        position.index != shown.index)
        showFrame(position);
    else
        timeline->setPlayTime(playMs);
}

void RecordingsWindow::showFrame(const Review::FramePosition& position) {
    cv::Mat bgr;
    QString note;
    const QDateTime when = QDateTime::fromMSecsSinceEpoch(position.startMs());
    shown = position;
    timeline->setPlayTime(playMs);
    {
        const QSignalBlocker block(timeEdit);
        timeEdit->setTime(QDateTime::fromMSecsSinceEpoch(playMs).time());
    }
    if (reader.readFrame(position.segment, position.index, &bgr, &note) !=
            Review::RecordingReader::Result::Ok ||
        bgr.empty()) {
        statusLine->setText(tr("Skipped the frame of %1: %2")
                                .arg(when.toString(QStringLiteral("HH:mm:ss.zzz")), note));
        return;
    }
    const QImage image(bgr.data, bgr.cols, bgr.rows, int(bgr.step), QImage::Format_BGR888);
    picture->setPixmap(QPixmap::fromImage(image.copy()));
    frameTime->setText(tr("Camera %1   %2")
                           .arg(currentCamera)
                           .arg(when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))));
}

void RecordingsWindow::showNothing(const QString& note) {
    shown = {};
    picture->clear();
    picture->setText(tr("No picture"));
    frameTime->clear();
    statusLine->setText(note);
    timeline->setPlayTime(playMs);
}

void RecordingsWindow::stepFrames(int count) {
    setPlaying(false);
    const Review::FramePosition from =
        shown.valid() ? shown : Review::frameAt(index, currentCamera, playMs, count > 0 ? 1 : -1);
    if (!from.valid())
        return;
    const Review::FramePosition to = Review::stepFrames(index, currentCamera, from, count);
    playMs = to.startMs();
    showFrame(to);
}

void RecordingsWindow::stepSeconds(int seconds) {
    const qint64 target = playMs + seconds * 1000LL;
    if (QDateTime::fromMSecsSinceEpoch(target).date() != shownDay)
        setDay(QDateTime::fromMSecsSinceEpoch(target).date());
    const Review::FramePosition position =
        Review::frameAt(index, currentCamera, target, seconds > 0 ? 1 : -1);
    if (!position.valid())
        return;
    // Inside footage the play time moves by exactly the step; over a gap to the frame beyond.
    playMs = position.startMs() <= target && target < position.startMs() + Review::kFrameMs
                 ? target
                 : position.startMs();
    showFrame(position);
    anchorClock();
}

void RecordingsWindow::jumpToEvent(int direction) {
    const QVector<float>& figures = activity[currentCamera - 1];
    const int from = int((playMs - dayStartMs(shownDay)) / 1000);
    const int second = Activity::findEvent(figures, from, thresholdBox->value(), direction);
    if (second < 0) {
        statusLine->setText(
            direction > 0
                ? tr("No later event above %1 % on this day").arg(thresholdBox->value())
                : tr("No earlier event above %1 % on this day").arg(thresholdBox->value()));
        return;
    }
    seek(dayStartMs(shownDay) + second * 1000LL);
    statusLine->setText(tr("Event at %1").arg(timeText(playMs)));
}

void RecordingsWindow::setSelection(qint64 startMs, qint64 endMs) {
    timeline->setSelection(startMs, endMs);
    const QSignalBlocker blockStart(startEdit);
    const QSignalBlocker blockEnd(endEdit);
    startEdit->setTime(QDateTime::fromMSecsSinceEpoch(startMs).time());
    endEdit->setTime(QDateTime::fromMSecsSinceEpoch(endMs).time());
}

void RecordingsWindow::startExport() {
    if (exportTask)
        return;
    Review::ExportRequest request;
    request.camera = currentCamera;
    request.location = locationOf ? locationOf(currentCamera) : QString();
    request.startMs = QDateTime(shownDay, startEdit->time()).toMSecsSinceEpoch();
    request.endMs = QDateTime(shownDay, endEdit->time()).toMSecsSinceEpoch();
    request.dataDrive = index.dataDrive();
    request.outputFolder = folderEdit->text();
    if (request.endMs <= request.startMs) {
        statusLine->setText(tr("Select a span to export: shift-drag on the timeline, or set "
                               "start and end"));
        return;
    }
    for (const Review::Segment& s : index.segments(currentCamera, shownDay)) {
        if (s.startMs < request.endMs && s.endMs() > request.startMs)
            request.sources.append(s);
    }
    if (request.sources.isEmpty()) {
        statusLine->setText(tr("Camera %1 has no footage from %2 to %3")
                                .arg(currentCamera)
                                .arg(timeText(request.startMs), timeText(request.endMs)));
        return;
    }
    exportTask = new Review::ExportTask(request, this);
    connect(exportTask, &Review::ExportTask::progress, progressBar, &QProgressBar::setValue);
    connect(exportTask, &Review::ExportTask::finished, this, &RecordingsWindow::finishExport);
    progressBar->setValue(0);
    progressBar->setVisible(true);
    cancelButton->setVisible(true);
    exportButton->setEnabled(false);
    statusLine->setText(tr("Exporting camera %1 from %2 to %3...")
                            .arg(currentCamera)
                            .arg(timeText(request.startMs), timeText(request.endMs)));
    exportTask->start();
}

void RecordingsWindow::cancelExport() {
    if (exportTask)
        exportTask->cancel();
}

void RecordingsWindow::finishExport(const Review::ExportResult& result) {
    exportTask->deleteLater();
    exportTask = nullptr;
    progressBar->setVisible(false);
    cancelButton->setVisible(false);
    exportButton->setEnabled(true);
    QString message;
    if (result.ok)
        message = tr("Exported to %1").arg(QDir::toNativeSeparators(result.videoPath));
    else if (result.cancelled)
        message = tr("Export cancelled");
    else
        message = tr("Export failed: %1").arg(result.error);
    statusLine->setText(message);
    if (result.cancelled)
        return;
    auto* box = new QMessageBox(result.ok ? QMessageBox::Information : QMessageBox::Warning,
                                tr("Export"), message, QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("exportMessage"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}
