#include <QRandomGenerator>
#include <QStandardPaths>
#include <QtTest>

#include <opencv2/imgproc.hpp>

#include "capture/frameconversion.h"

namespace {

const QDateTime kStampTime(QDate(2024, 3, 7), QTime(9, 5, 3, 999));

bool isIndexed(QImage::Format format) {
    return format == QImage::Format_Mono || format == QImage::Format_MonoLSB ||
           format == QImage::Format_Indexed8;
}

// Random bytes everywhere (padding included), a random colour table for indexed formats, and
// every fifth pixel of an alpha format made fully transparent but coloured.
QImage randomImage(QImage::Format format, int width, int height, quint32 seed) {
    QRandomGenerator random(seed);
    QImage image(width, height, format);
    for (int y = 0; y < height; ++y) {
        uchar* line = image.scanLine(y);
        for (int i = 0; i < image.bytesPerLine(); ++i)
            line[i] = static_cast<uchar>(random.bounded(256));
    }
    if (isIndexed(format)) {
        QVector<QRgb> table(format == QImage::Format_Indexed8 ? 256 : 2);
        for (int i = 0; i < table.size(); ++i)
            table[i] = i % 7 == 0 ? random.generate() & 0x00ffffff : random.generate();
        image.setColorTable(table);
    } else if (image.hasAlphaChannel()) {
        for (int y = 0; y < height; ++y)
            for (int x = y % 5; x < width; x += 5)
                image.setPixelColor(
                    x, y, QColor(random.bounded(256), random.bounded(256), random.bounded(256), 0));
    }
    return image;
}

// The first pixel where the matrix differs from QImage::pixel(), or an empty string.
QString firstMismatch(const QImage& image, const cv::Mat3b& mat) {
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb expected = image.pixel(x, y);
            const cv::Vec3b got = mat(y, x);
            if (got != cv::Vec3b(qBlue(expected), qGreen(expected), qRed(expected)))
                return QStringLiteral("(%1,%2): pixel() %3, matrix b%4 g%5 r%6")
                    .arg(x)
                    .arg(y)
                    .arg(expected, 8, 16, QLatin1Char('0'))
                    .arg(got[0])
                    .arg(got[1])
                    .arg(got[2]);
        }
    }
    return QString();
}

cv::Mat plainResize(const cv::Mat& src) {
    cv::Mat dst;
    cv::resize(src, dst, cv::Size(kRecordWidth, kRecordHeight), 0, 0, cv::INTER_LINEAR);
    return dst;
}

// The box a text drawn at `origin` may touch, widened by the anti-aliasing fringe.
cv::Rect textBox(const std::string& text, cv::Point origin) {
    int baseline = 0;
    const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_COMPLEX_SMALL, 0.8, 1, &baseline);
    const cv::Rect box(origin.x, origin.y - size.height, size.width, size.height + baseline);
    return (box + cv::Size(4, 4) - cv::Point(2, 2)) & cv::Rect(0, 0, kRecordWidth, kRecordHeight);
}

cv::Mat changedMask(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat diff;
    cv::absdiff(a, b, diff);
    cv::Mat grey;
    cv::cvtColor(diff, grey, cv::COLOR_BGR2GRAY);
    return grey > 0;
}

cv::Mat gradient(int width, int height) {
    cv::Mat m(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            m.at<cv::Vec3b>(y, x) = cv::Vec3b(x * 255 / width, y * 255 / height, 60);
    return m;
}

} // namespace

class FrameConversionTest final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void qimage2MatGivesPixelBytes_data();
    void qimage2MatGivesPixelBytes();
    void qimage2MatShortColourTable_data();
    void qimage2MatShortColourTable();
    void qimage2MatNullImage();

    void mat2QImageRedFirst();
    void mat2QImageOwnsPixels();
    void mat2QImageFromRegion();

    void frameStampText_data();
    void frameStampText();

    void prepareFrameSize_data();
    void prepareFrameSize();
    void prepareFrameOverlayPlacement_data();
    void prepareFrameOverlayPlacement();
    void prepareFrameDrawsGivenTime();
    void prepareFrameEmptyInput();
    void prepareFrameReusesBuffer();
};

void FrameConversionTest::qimage2MatGivesPixelBytes_data() {
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("width");
    for (int f = QImage::Format_Invalid + 1; f < QImage::NImageFormats; ++f) {
        // Odd widths leave padding at the end of each line for every pixel depth.
        for (int width : {33, 1}) {
            const QByteArray name =
                "format " + QByteArray::number(f) + " width " + QByteArray::number(width);
            QTest::newRow(name.constData()) << f << width;
        }
    }
}

void FrameConversionTest::qimage2MatGivesPixelBytes() {
    QFETCH(int, format);
    QFETCH(int, width);
    const QImage image = randomImage(static_cast<QImage::Format>(format), width, 7, 1000 + format);
    QVERIFY(!image.isNull());

    const cv::Mat3b mat = QImage2Mat(image);
    QCOMPARE(mat.rows, image.height());
    QCOMPARE(mat.cols, image.width());
    QCOMPARE(mat.type(), CV_8UC3);
    const QString mismatch = firstMismatch(image, mat);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

void FrameConversionTest::qimage2MatShortColourTable_data() {
    QTest::addColumn<QImage>("image");
    QTest::addColumn<int>("outOfRange");

    QImage indexed(4, 1, QImage::Format_Indexed8);
    indexed.setColorTable({qRgb(10, 20, 30), qRgba(40, 50, 60, 0)});
    const uchar indices[] = {0, 1, 9, 1};
    std::copy(std::begin(indices), std::end(indices), indexed.scanLine(0));
    QTest::newRow("indexed8, index past the table") << indexed << 1;

    QImage mono(3, 1, QImage::Format_Mono);
    mono.fill(1); // index 1: the conversions would make it white
    mono.setColorTable({});
    QTest::newRow("mono, no table") << mono << 3;
}

void FrameConversionTest::qimage2MatShortColourTable() {
    QFETCH(QImage, image);
    QFETCH(int, outOfRange);
    // pixel() answers 0 for an index beyond the table, and says so once per pixel.
    for (int i = 0; i < outOfRange; ++i)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("color table index .* out of range"));
    const QString mismatch = firstMismatch(image, QImage2Mat(image));
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

void FrameConversionTest::qimage2MatNullImage() {
    QVERIFY(QImage2Mat(QImage()).empty());
}

void FrameConversionTest::mat2QImageRedFirst() {
    const cv::Mat mat(3, 5, CV_8UC3, cv::Scalar(10, 20, 30));
    const QImage image = Mat2QImage(mat);
    QCOMPARE(image.format(), QImage::Format_RGB888);
    QCOMPARE(image.size(), QSize(5, 3));
    QCOMPARE(image.constBits()[0], uchar(30));
    QCOMPARE(image.constBits()[2], uchar(10));
    QCOMPARE(image.pixel(4, 2), qRgb(30, 20, 10));
}

void FrameConversionTest::mat2QImageOwnsPixels() {
    QImage image;
    {
        cv::Mat mat = gradient(33, 9);
        image = Mat2QImage(mat);
        QVERIFY(image.constBits() != mat.data);
        mat.setTo(cv::Scalar(0, 0, 0));
    }
    const cv::Mat expected = gradient(33, 9);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const cv::Vec3b bgr = expected.at<cv::Vec3b>(y, x);
            QCOMPARE(image.pixel(x, y), qRgb(bgr[2], bgr[1], bgr[0]));
        }
}

void FrameConversionTest::mat2QImageFromRegion() {
    const cv::Mat big = gradient(101, 50);
    const cv::Mat region = big(cv::Rect(3, 2, 33, 7));
    QVERIFY(!region.isContinuous());
    const QImage image = Mat2QImage(region);
    QCOMPARE(image.size(), QSize(33, 7));
    const cv::Mat3b back = QImage2Mat(image);
    QCOMPARE(cv::norm(back, region, cv::NORM_INF), 0.0);
}

void FrameConversionTest::frameStampText_data() {
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("stamp");
    QTest::newRow("morning") << kStampTime << "2024-03-07 09-05-03";
    QTest::newRow("midnight") << QDateTime(QDate(2023, 12, 31), QTime(0, 0))
                              << "2023-12-31 00-00-00";
    QTest::newRow("evening") << QDateTime(QDate(2024, 11, 30), QTime(23, 59, 59, 999))
                             << "2024-11-30 23-59-59";
}

void FrameConversionTest::frameStampText() {
    QFETCH(QDateTime, when);
    QFETCH(QString, stamp);
    QCOMPARE(frameStamp(when), stamp);
}

void FrameConversionTest::prepareFrameSize_data() {
    QTest::addColumn<QSize>("size");
    QTest::newRow("1x1") << QSize(1, 1);
    QTest::newRow("1920x1080") << QSize(1920, 1080);
    QTest::newRow("portrait 480x640") << QSize(480, 640);
    QTest::newRow("already 640x480") << QSize(640, 480);
    QTest::newRow("thin 2000x3") << QSize(2000, 3);
}

void FrameConversionTest::prepareFrameSize() {
    QFETCH(QSize, size);
    const cv::Mat src = gradient(size.width(), size.height());
    const cv::Mat before = src.clone();
    const cv::Mat frame = prepareFrame(src, QStringLiteral("Door"), kStampTime);
    QCOMPARE(frame.cols, kRecordWidth);
    QCOMPARE(frame.rows, kRecordHeight);
    QCOMPARE(frame.type(), CV_8UC3);
    QCOMPARE(cv::norm(src, before, cv::NORM_INF), 0.0); // the caller's picture is left alone
}

void FrameConversionTest::prepareFrameOverlayPlacement_data() {
    QTest::addColumn<QString>("location");
    QTest::newRow("with location") << QStringLiteral("Shop front, till 2");
    QTest::newRow("no location") << QString();
}

void FrameConversionTest::prepareFrameOverlayPlacement() {
    QFETCH(QString, location);
    const cv::Mat src = gradient(1280, 720);
    const cv::Mat frame = prepareFrame(src, location, kStampTime);
    const cv::Mat changed = changedMask(frame, plainResize(src));

    const cv::Rect top = textBox(location.toStdString(), cv::Point(0, 15));
    const cv::Rect bottom = textBox("2024-03-07 09-05-03", cv::Point(0, 450));
    if (location.isEmpty())
        QCOMPARE(cv::countNonZero(changed(cv::Rect(0, 0, kRecordWidth, 40))), 0);
    else
        QVERIFY(cv::countNonZero(changed(top)) > 20);
    QVERIFY(cv::countNonZero(changed(bottom)) > 20);

    // Nothing outside the two text boxes differs from a plain resize.
    cv::Mat outside = changed.clone();
    outside(bottom).setTo(0);
    if (!location.isEmpty())
        outside(top).setTo(0);
    QCOMPARE(cv::countNonZero(outside), 0);
}

void FrameConversionTest::prepareFrameDrawsGivenTime() {
    const cv::Mat src(720, 1280, CV_8UC3, cv::Scalar(40, 80, 120));
    const cv::Mat frame = prepareFrame(src, QStringLiteral("Hall"), kStampTime);

    const auto reference = [&](const std::string& stamp) {
        cv::Mat expected = plainResize(src);
        const cv::Scalar colour(200, 200, 250, 0);
        cv::putText(expected, "Hall", {0, 15}, cv::FONT_HERSHEY_COMPLEX_SMALL, 0.8, colour, 1,
                    cv::LINE_AA);
        cv::putText(expected, stamp, {0, 450}, cv::FONT_HERSHEY_COMPLEX_SMALL, 0.8, colour, 1,
                    cv::LINE_AA);
        return expected;
    };
    QCOMPARE(cv::norm(frame, reference("2024-03-07 09-05-03"), cv::NORM_INF), 0.0);
    QVERIFY(cv::norm(frame, reference("2024-03-07 09-05-04"), cv::NORM_INF) > 0.0);
}

void FrameConversionTest::prepareFrameEmptyInput() {
    QVERIFY(prepareFrame(cv::Mat(), QStringLiteral("Hall"), kStampTime).empty());
    cv::Mat buffer(kRecordHeight, kRecordWidth, CV_8UC3);
    prepareFrame(cv::Mat(), QStringLiteral("Hall"), kStampTime, buffer);
    QVERIFY(buffer.empty());
}

void FrameConversionTest::prepareFrameReusesBuffer() {
    const cv::Mat src = gradient(1280, 720);
    cv::Mat buffer;
    prepareFrame(src, QStringLiteral("Hall"), kStampTime, buffer);
    const uchar* pixels = buffer.data;
    prepareFrame(src, QStringLiteral("Hall"), kStampTime.addSecs(1), buffer);
    QCOMPARE(buffer.data, pixels);
    const cv::Mat fresh = prepareFrame(src, QStringLiteral("Hall"), kStampTime.addSecs(1));
    QCOMPARE(cv::norm(buffer, fresh, cv::NORM_INF), 0.0);
}

QTEST_GUILESS_MAIN(FrameConversionTest)
#include "tst_frameconversion.moc"
