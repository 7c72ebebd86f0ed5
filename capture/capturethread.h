#pragma once

#include <QImage>
#include <QString>
#include <QThread>

#include <opencv2/core.hpp>

#include "app/channelconfig.h"

// Texts the worker shows in its panel's preview label.
inline const char* const kTextConnected = "CONNECTED";
inline const char* const kTextCannotConnect = "CANNOT CONNECT TO CAMERA";
inline const char* const kTextCannotWrite = "CANNOT WRITE RECORDING";

constexpr qint64 kFileSizeLimitBytes = 209715200; // 200 MiB per recording file

// The worker of one camera channel. It opens the source, keeps the channel's latest prepared
// frame in the record and, while the channel records, writes the chain of recording files.
class CaptureThread final : public QThread {
    Q_OBJECT
public:
    CaptureThread(ChannelConfig* channel, const QString& dataDrive,
                  const QString& cameraNumberText);
    ~CaptureThread() override;

signals:
    int UpdateView(int c, QImage i);

public slots:
    void stop();
    void processImage(int requestId, QImage img);
    QImage Mat2QImage(cv::Mat src);
    cv::Mat3b QImage2Mat(QImage src);

protected:
    void run() override;

private:
    ChannelConfig* channel;
    QString dataDrive;
    QString cameraNumberText;
};
