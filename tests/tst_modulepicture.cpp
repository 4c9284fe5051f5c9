#include "app/module_picture.h"

#include <QColor>
#include <QImage>
#include <QSet>
#include <QSvgRenderer>
#include <QTest>

namespace {

bool near(QColor actual, QColor expected)
{
    return qAbs(actual.red() - expected.red()) <= 8 &&
           qAbs(actual.green() - expected.green()) <= 8 &&
           qAbs(actual.blue() - expected.blue()) <= 8;
}

// Pixel at a logical position of the picture, whatever its device pixel ratio.
QColor colourAt(const QImage &image, QPointF logical)
{
    return image.pixelColor((logical * image.devicePixelRatio()).toPoint());
}

} // namespace

class TestModulePicture : public QObject
{
    Q_OBJECT
private slots:
    void resourceIsValidSvg();
    void picture_data();
    void picture();
};

void TestModulePicture::resourceIsValidSvg()
{
    QSvgRenderer renderer(QStringLiteral(":/app/module.svg"));
    QVERIFY(renderer.isValid());
    QCOMPARE(renderer.defaultSize(), QSize(200, 225));
}

void TestModulePicture::picture_data()
{
    QTest::addColumn<qreal>("ratio");
    QTest::addColumn<QSize>("pixels");
    QTest::newRow("1x") << 1.0 << QSize(200, 225);
    QTest::newRow("1.5x") << 1.5 << QSize(300, 338);
    QTest::newRow("2x") << 2.0 << QSize(400, 450);
}

void TestModulePicture::picture()
{
    QFETCH(qreal, ratio);
    QFETCH(QSize, pixels);

    const QPixmap pixmap = modulePicture(ratio);
    QCOMPARE(pixmap.size(), pixels);
    QCOMPARE(pixmap.deviceIndependentSize().toSize(), QSize(200, 225));

    const QImage image = pixmap.toImage();
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 3)
        for (int x = 0; x < image.width(); x += 3)
            colours.insert(image.pixel(x, y));
    QVERIFY2(colours.size() > 30, qPrintable(QString::number(colours.size())));

    const QColor board(0x1f, 0x5f, 0xbf);
    QVERIFY(near(colourAt(image, {15, 60}), board));
    QVERIFY(near(colourAt(image, {58, 118}), board));
    QVERIFY(near(colourAt(image, {25, 190}), QColor(0x17, 0x80, 0x6e)));
    QVERIFY(near(colourAt(image, {190, 140}), Qt::white));

    // The two labels are drawn: dark strokes above each leader line.
    for (const int baseline : {70, 110}) {
        int dark = 0;
        for (int y = baseline - 10; y <= baseline; ++y)
            for (int x = 140; x < 196; ++x)
                dark += qGray(colourAt(image, QPointF(x, y)).rgb()) < 100 ? 1 : 0;
        QVERIFY2(dark > 40, qPrintable(QString::number(dark)));
    }
}

QTEST_MAIN(TestModulePicture)
#include "tst_modulepicture.moc"
