#include "review/recordingswindow.h"

#include <algorithm>
#include <tuple>

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
// A frame read takes a millisecond or two; one that takes this long waits for a slow or hung drive.
constexpr int kDriveWaitMs = 1000;

QString timeText(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("HH:mm:ss"));
}

QDate dateOf(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).date();
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
    , drive(dataDrive)
    , indexWorker(new Review::IndexWorker(dataDrive, this))
    , frameWorker(new Review::FrameWorker(this))
    , locationOf(std::move(location))
    , clock(clockSource ? std::move(clockSource) : Clock::Source(&Clock::now)) {
    setWindowTitle(tr("Recordings"));
    buildControls();
    connect(indexWorker, &Review::IndexWorker::snapshotReady, this,
            &RecordingsWindow::applySnapshot);
    connect(frameWorker, &Review::FrameWorker::frameRead, this, &RecordingsWindow::showRead);

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
    refresh();
    showNothing(tr("Choose a camera and click on the timeline to play"));
}

// A running export is cancelled and waited for by its task, a child of the window; a read of the
// recording tree or of a frame is left to end on its own.
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
    endEdit->setToolTip(tr("An end before the start is on the next day: 00:00:00 is midnight"));
    for (QTimeEdit* edit : {startEdit, endEdit})
        connect(edit, &QTimeEdit::timeChanged, this, &RecordingsWindow::editSelection);
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
    gatherFootage();
    timeline->setCurrentCamera(cam);
    forgetFrames();
    seek(playMs);
}

void RecordingsWindow::setDay(const QDate& d) {
    if (!d.isValid() || d == shownDay)
        return;
    shownDay = d;
    frameWorker->clear();
    calendar->setSelectedDate(d);
    timeline->setDay(dayStartMs(d), dayStartMs(d.addDays(1)));
    // Playback and an export reach at most into the next day; a file can run in from the day
    // before.
    for (auto it = known.begin(); it != known.end();)
        it = qAbs(it.key().daysTo(d)) > 1 ? known.erase(it) : std::next(it);
    gatherFootage();
    const auto read = known.constFind(d);
    for (int cam = 1; cam <= Review::kCameras; ++cam) {
        timeline->setSegments(cam, read != known.cend() ? (*read)[size_t(cam - 1)]
                                                        : QVector<Review::Segment>());
        activity[size_t(cam - 1)].clear();
        activityStamp[size_t(cam - 1)].clear();
        timeline->setActivity(cam, {});
    }
    timeline->setNote(read != known.cend() ? QString() : tr("Reading recordings..."));
    if (selectionEndMs > selectionStartMs)
        editSelection(); // the times of the span, on this day
    askForDays();
}

void RecordingsWindow::pickDay(const QDate& d) {
    setDay(d);
    whenRead(d, [this, d] {
        if (known.value(d)[size_t(currentCamera - 1)].isEmpty()) {
            setPlaying(false);
            playMs = dayStartMs(d);
            showNothing(tr("No footage of camera %1 on %2")
                            .arg(currentCamera)
                            .arg(QLocale().toString(d, QLocale::ShortFormat)));
            return;
        }
        seek(dayStartMs(d));
    });
}

void RecordingsWindow::refresh() {
    calendar->setMaximumDate(clock().date()); // the window may stay open past midnight
    for (int cam = 1; cam <= Review::kCameras; ++cam) {
        const QString location = locationOf ? locationOf(cam) : QString();
        const QString label = location.isEmpty() ? tr("Camera %1").arg(cam)
                                                 : tr("Camera %1: %2").arg(cam).arg(location);
        if (cameraList->item(cam - 1)->text() != label)
            cameraList->item(cam - 1)->setText(label);
    }
    askForDays();
}

void RecordingsWindow::askForDays() {
    QList<QDate> days{shownDay};
    if (waitingDay.isValid() && waitingDay != shownDay)
        days.append(waitingDay);
    indexWorker->read(days);
}

void RecordingsWindow::whenRead(const QDate& day, std::function<void()> action) {
    if (known.contains(day)) {
        action();
        return;
    }
    waitingDay = day;
    afterRead = std::move(action);
    statusLine->setText(tr("Reading recordings..."));
    askForDays();
}

void RecordingsWindow::applySnapshot(const Review::DaySnapshot& snapshot) {
    const QDate& d = snapshot.day;
    if (qAbs(d.daysTo(shownDay)) > 1)
        return; // the window has moved on
    if (d == shownDay && known.contains(d))
        noteDeleted(known[d][size_t(currentCamera - 1)],
                    snapshot.segments[size_t(currentCamera - 1)]);
    known.insert(d, snapshot.segments);
    gatherFootage();
    markFootageDays(snapshot.footageDays);
    if (d == shownDay) {
        timeline->setNote({});
        for (int cam = 1; cam <= Review::kCameras; ++cam) {
            const size_t i = size_t(cam - 1);
            timeline->setSegments(cam, snapshot.segments[i]);
            if (snapshot.activityStamp[i] != activityStamp[i]) {
                activityStamp[i] = snapshot.activityStamp[i];
                activity[i] = snapshot.activity[i];
                timeline->setActivity(cam, activity[i]);
            }
        }
    }
    if (d == waitingDay) {
        waitingDay = QDate();
        if (const std::function<void()> action = std::exchange(afterRead, nullptr)) {
            statusLine->clear();
            action();
        }
    }
}

void RecordingsWindow::gatherFootage() {
    footage.clear();
    for (const auto& cameras : qAsConst(known))
        footage += cameras[size_t(currentCamera - 1)];
    // A file that runs past midnight is in both days: keep it once, with the most frames counted.
    std::sort(
        footage.begin(), footage.end(), [](const Review::Segment& a, const Review::Segment& b) {
            return std::tie(a.startMs, a.path, b.frames) < std::tie(b.startMs, b.path, a.frames);
        });
    const auto last = std::unique(
        footage.begin(), footage.end(),
        [](const Review::Segment& a, const Review::Segment& b) { return a.path == b.path; });
    footage.erase(last, footage.end());
}

void RecordingsWindow::noteDeleted(const QVector<Review::Segment>& before,
                                   const QVector<Review::Segment>& now) {
    // Footage that vanishes while it is watched (the keeper makes room, someone deletes a file)
    // is said, not silently jumped over.
    for (const Review::Segment& old : before) {
        const bool kept = std::any_of(now.begin(), now.end(), [&old](const Review::Segment& s) {
            return s.path == old.path;
        });
        if (!kept) {
            statusLine->setText(tr("The recording of camera %1 from %2 to %3 was deleted")
                                    .arg(currentCamera)
                                    .arg(timeText(old.startMs), timeText(old.endMs())));
        }
    }
}

void RecordingsWindow::markFootageDays(const QList<QDate>& days) {
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
    setDay(dateOf(ms));
    anchorClock();
    timeline->setPlayTime(ms);
    whenRead(shownDay, [this, ms] {
        playMs = ms;
        const Review::FramePosition position = Review::frameAt(footage, ms, 1);
        if (!position.valid()) {
            showNothing(
                tr("No footage of camera %1 at or after %2").arg(currentCamera).arg(timeText(ms)));
        } else {
            if (position.startMs() > ms)
                playMs = position.startMs(); // over a gap
            showFrame(position);
        }
        anchorClock();
    });
}

void RecordingsWindow::tick() {
    playMs = anchorPlayMs + qint64(double(wallClock.elapsed()) * speed());
    const QDate today = clock().date();
    const QDate d = dateOf(playMs);
    if (d != shownDay && d <= today)
        setDay(d);
    Review::FramePosition position = Review::frameAt(footage, playMs, 1);
    if (!position.valid() && shownDay < today && known.contains(shownDay)) {
        // The end of the day's footage: on to the next day that has some of any camera (and, if
        // not of this one, to the one after that).
        const auto later = std::upper_bound(footageDays.begin(), footageDays.end(), shownDay);
        if (later != footageDays.end()) {
            setDay(*later);
            playMs = dayStartMs(*later);
            anchorClock();
            position = Review::frameAt(footage, playMs, 1);
        }
    }
    if (!known.contains(shownDay)) {
        // Played into a day not read yet: wait at its start.
        playMs = std::max(anchorPlayMs, dayStartMs(shownDay));
        anchorClock();
        timeline->setPlayTime(playMs);
        return;
    }
    if (!position.valid()) {
        // Nothing after: hold the last frame. Today the live file grows, so wait for it there.
        if (wanted.valid())
            playMs = wanted.startMs();
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
    if (!wanted.valid() || position.segment.path != wanted.segment.path ||
        position.index != wanted.index)
        showFrame(position);
    else
        timeline->setPlayTime(playMs);
}

void RecordingsWindow::showFrame(const Review::FramePosition& position) {
    wanted = position;
    timeline->setPlayTime(playMs);
    {
        const QSignalBlocker block(timeEdit);
        timeEdit->setTime(QDateTime::fromMSecsSinceEpoch(playMs).time());
    }
    const quint64 serial = ++frameSerial;
    frameWorker->read(serial, position);
    QTimer::singleShot(kDriveWaitMs, this, [this, serial] {
        if (answeredSerial < serial)
            statusLine->setText(tr("Waiting for the drive..."));
    });
}

void RecordingsWindow::showRead(quint64 serial, const Review::FramePosition& position,
                                const QImage& image, const QString& note) {
    if (serial <= answeredSerial)
        return; // a newer frame is on screen, or nothing is wanted any more
    answeredSerial = serial;
    shown = position;
    if (statusLine->text() == tr("Waiting for the drive..."))
        statusLine->clear();
    const QDateTime when = QDateTime::fromMSecsSinceEpoch(position.startMs());
    if (image.isNull()) {
        statusLine->setText(tr("Skipped the frame of %1: %2")
                                .arg(when.toString(QStringLiteral("HH:mm:ss.zzz")), note));
        return;
    }
    picture->setPixmap(QPixmap::fromImage(image));
    frameTime->setText(tr("Camera %1   %2")
                           .arg(currentCamera)
                           .arg(when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))));
}

void RecordingsWindow::forgetFrames() {
    wanted = shown = {};
    answeredSerial = frameSerial; // a frame still being read would cover what comes next
}

void RecordingsWindow::showNothing(const QString& note) {
    forgetFrames();
    picture->clear();
    picture->setText(tr("No picture"));
    frameTime->clear();
    statusLine->setText(note);
    timeline->setPlayTime(playMs);
}

void RecordingsWindow::stepFrames(int count) {
    setPlaying(false);
    const Review::FramePosition from =
        wanted.valid() ? wanted : Review::frameAt(footage, playMs, count > 0 ? 1 : -1);
    if (!from.valid())
        return;
    const Review::FramePosition to = Review::stepFrames(footage, from, count);
    playMs = to.startMs();
    showFrame(to);
}

void RecordingsWindow::stepSeconds(int seconds) {
    const qint64 target = playMs + seconds * 1000LL;
    setDay(dateOf(target));
    whenRead(shownDay, [this, target, seconds] {
        const Review::FramePosition position =
            Review::frameAt(footage, target, seconds > 0 ? 1 : -1);
        if (!position.valid())
            return;
        // Inside footage the play time moves by exactly the step; over a gap to the frame beyond.
        playMs = position.startMs() <= target && target < position.startMs() + Review::kFrameMs
                     ? target
                     : position.startMs();
        showFrame(position);
        anchorClock();
    });
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

void RecordingsWindow::editSelection() {
    const QTime start = startEdit->time();
    const QTime end = endEdit->time();
    setSelection(QDateTime(shownDay, start).toMSecsSinceEpoch(),
                 QDateTime(end < start ? shownDay.addDays(1) : shownDay, end).toMSecsSinceEpoch());
}

void RecordingsWindow::setSelection(qint64 startMs, qint64 endMs) {
    selectionStartMs = startMs;
    selectionEndMs = endMs;
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
    request.startMs = selectionStartMs;
    request.endMs = selectionEndMs;
    request.dataDrive = drive;
    request.outputFolder = folderEdit->text();
    if (request.endMs <= request.startMs) {
        statusLine->setText(tr("Select a span to export: shift-drag on the timeline, or set "
                               "start and end"));
        return;
    }
    // A span past midnight needs the files of the next day too.
    const QDate lastDay = dateOf(request.endMs - 1);
    if (!known.contains(lastDay)) {
        whenRead(lastDay, [this] { startExport(); });
        return;
    }
    for (const Review::Segment& s : qAsConst(footage)) {
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
