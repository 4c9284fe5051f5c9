// The Bluetooth tab's picture: its size at every device pixel ratio, and what it must show, the
// module's function key and status lamp, each pointed out by a labelled leader line. The checks
// read the drawing's structure, so that a redrawn picture with the same content still passes.
#include "app/module_picture.h"

#include <QFile>
#include <QImage>
#include <QSet>
#include <QSvgRenderer>
#include <QTest>
#include <QXmlStreamReader>

class TestModulePicture : public QObject
{
    Q_OBJECT
private slots:
    void picture_data();
    void picture();
    void partsPointedOut_data();
    void partsPointedOut();
};

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
    // Drawn, not an empty white box.
    const QImage image = pixmap.toImage();
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 3)
        for (int x = 0; x < image.width(); x += 3)
            colours.insert(image.pixel(x, y));
    QVERIFY2(colours.size() > 30, qPrintable(QString::number(colours.size())));
}

void TestModulePicture::partsPointedOut_data()
{
    QTest::addColumn<QString>("part");
    QTest::addColumn<QString>("label");
    QTest::newRow("status lamp") << "status-lamp"
                                 << "状态指示灯";
    QTest::newRow("function key") << "function-key"
                                  << "功能按键";
}

void TestModulePicture::partsPointedOut()
{
    QFETCH(QString, part);
    QFETCH(QString, label);

    QSvgRenderer renderer(QStringLiteral(":/app/module.svg"));
    QVERIFY(renderer.isValid());
    QCOMPARE(renderer.defaultSize(), QSize(200, 225));
    const QRectF picture(QPointF(0, 0), renderer.defaultSize());

    // The label's text, as written.
    QFile file(QStringLiteral(":/app/module.svg"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    QString text;
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement &&
            xml.attributes().value(QStringLiteral("id")) == part + "-label")
            text = xml.readElementText();
    }
    QVERIFY(!xml.hasError());
    QCOMPARE(text, label);

    for (const QString &id : {part, part + "-pointer", part + "-label"})
        QVERIFY2(renderer.elementExists(id), qPrintable(id));
    const QRectF partBounds = renderer.boundsOnElement(part);
    const QRectF pointer = renderer.boundsOnElement(part + "-pointer");
    const QRectF labelBounds = renderer.boundsOnElement(part + "-label");
    QVERIFY(picture.contains(partBounds));
    QVERIFY(picture.contains(labelBounds));
    QVERIFY(!labelBounds.isEmpty());
    // The line starts on the part and runs under the label, which stands clear of the part.
    QVERIFY(partBounds.adjusted(-4, -4, 4, 4).contains(pointer.bottomLeft()) ||
            partBounds.adjusted(-4, -4, 4, 4).contains(pointer.topLeft()));
    QVERIFY(pointer.right() >= labelBounds.right() - 2);
    QVERIFY(qAbs(pointer.top() - labelBounds.bottom()) <= 6);
    QVERIFY(!labelBounds.intersects(partBounds));
}

QTEST_MAIN(TestModulePicture)
#include "tst_modulepicture.moc"
