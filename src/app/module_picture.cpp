#include "app/module_picture.h"

#include <QPainter>
#include <QSvgRenderer>

QPixmap modulePicture(qreal devicePixelRatio)
{
    const QSize logicalSize(200, 225);
    QPixmap pixmap(logicalSize * devicePixelRatio);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::white);

    QSvgRenderer renderer(QStringLiteral(":/app/module.svg"));
    QPainter painter(&pixmap);
    renderer.render(&painter, QRectF(QPointF(0, 0), logicalSize));
    return pixmap;
}
