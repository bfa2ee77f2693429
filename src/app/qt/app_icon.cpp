#include "app/qt/app_icon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace velmora::app {

namespace {

// One disc of the cylinder: a side band with a gradient and an elliptic top.
void draw_disc(QPainter& p, const QRectF& side, double cap_h, const QColor& light, const QColor& dark,
               const QPen& outline, bool top_cap) {
    QPainterPath band;
    band.moveTo(side.left(), side.top());
    band.lineTo(side.left(), side.bottom() - cap_h / 2);
    band.arcTo(QRectF(side.left(), side.bottom() - cap_h, side.width(), cap_h), 180, 180);
    band.lineTo(side.right(), side.top());
    band.arcTo(QRectF(side.left(), side.top() - cap_h / 2, side.width(), cap_h), 0, -180);
    band.closeSubpath();

    QLinearGradient g(side.left(), 0, side.right(), 0);
    g.setColorAt(0.0, dark);
    g.setColorAt(0.35, light);
    g.setColorAt(1.0, dark);
    p.setPen(outline);
    p.setBrush(g);
    p.drawPath(band);

    if (top_cap) {
        p.setBrush(light.lighter(115));
        p.drawEllipse(QRectF(side.left(), side.top() - cap_h / 2, side.width(), cap_h));
    }
}

}  // namespace

QImage database_icon_image(int size) {
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);

    const double s = size;
    const double left = s * 0.14, width = s * 0.72;
    const double cap_h = s * 0.22;
    const double top = s * 0.06 + cap_h / 2;
    const double disc_h = (s * 0.94 - top) / 3.0;
    const QPen outline(QColor(24, 56, 110), std::max(1.0, s / 32.0));
    const QColor light(120, 170, 235), dark(36, 84, 160);

    // Bottom disc first so that each upper disc's rim overlaps the one below.
    for (int i = 2; i >= 0; --i) {
        QRectF side(left, top + i * disc_h, width, disc_h);
        draw_disc(p, side, cap_h, light, dark, outline, i == 0);
    }
    return img;
}

QIcon database_icon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) icon.addPixmap(QPixmap::fromImage(database_icon_image(size)));
    return icon;
}

}  // namespace velmora::app
