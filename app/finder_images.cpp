#include "app/finder_images.h"

#include <QPainter>

namespace varnelo {
namespace {

const QColor kBlack(0, 0, 0);
const QColor kNavy(0, 0, 128);
const QColor kSilver(192, 192, 192);
const QColor kWhite(255, 255, 255);

// The crosshair target centred on (cx, cy): a circle, a cross through it and tick marks.
void DrawTarget(QPainter& painter, int cx, int cy, int radius) {
    painter.setPen(kBlack);
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(QPoint(cx, cy), radius, radius);
    painter.drawLine(cx - radius - 3, cy, cx + radius + 3, cy);
    painter.drawLine(cx, cy - radius - 3, cx, cy + radius + 3);
    for (int tick : {-radius / 2, radius / 2}) {
        painter.drawLine(cx + tick, cy - 1, cx + tick, cy + 1);
        painter.drawLine(cx - 1, cy + tick, cx + 1, cy + tick);
    }
}

// The window drawing on an RGB canvas; the area outside the window is left as `outside`.
QImage DrawWindow(bool withTarget, const QColor& outside) {
    QImage canvas(kFinderImageSize, kFinderImageSize, QImage::Format_RGB32);
    canvas.fill(outside);
    QPainter painter(&canvas);
    painter.setRenderHint(QPainter::Antialiasing, false);
    const QRect frame(1, 3, 30, 26);  // outline from (1,3) to (30,28)
    painter.fillRect(frame, kBlack);
    painter.fillRect(frame.adjusted(1, 1, -1, -1), kWhite);
    const QRect title(2, 4, 28, 5);
    painter.fillRect(title, kNavy);
    painter.fillRect(QRect(3, 5, 3, 3), kSilver);
    painter.fillRect(QRect(26, 5, 3, 3), kSilver);
    painter.fillRect(QRect(2, 9, 28, 1), kBlack);
    if (withTarget) DrawTarget(painter, 16, 19, 5);
    return canvas;
}

Icon16 MakeIcon(bool withTarget) {
    // Drawn twice on different backgrounds: the pixels that change are the ones not covered.
    const QImage onRed = DrawWindow(withTarget, QColor(255, 0, 0));
    const QImage onLime = DrawWindow(withTarget, QColor(0, 255, 0));
    QImage mask(kFinderImageSize, kFinderImageSize, QImage::Format_MonoLSB);
    mask.setColor(0, qRgb(255, 255, 255));
    mask.setColor(1, qRgb(0, 0, 0));
    for (int y = 0; y < kFinderImageSize; ++y) {
        for (int x = 0; x < kFinderImageSize; ++x) {
            mask.setPixel(x, y, onRed.pixel(x, y) == onLime.pixel(x, y) ? 1 : 0);
        }
    }
    Icon16 icon;
    icon.colours = DrawWindow(withTarget, kWhite)
                       .convertToFormat(QImage::Format_Indexed8, StandardPalette16(),
                                        Qt::ThresholdDither | Qt::AvoidDither);
    icon.mask = QBitmap::fromImage(mask);
    return icon;
}

}  // namespace

QVector<QRgb> StandardPalette16() {
    return {qRgb(0, 0, 0),       qRgb(128, 0, 0),   qRgb(0, 128, 0),   qRgb(128, 128, 0),
            qRgb(0, 0, 128),     qRgb(128, 0, 128), qRgb(0, 128, 128), qRgb(192, 192, 192),
            qRgb(128, 128, 128), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
            qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255)};
}

QPixmap Icon16::ToPixmap() const {
    QPixmap pixmap = QPixmap::fromImage(colours);
    pixmap.setMask(mask);
    return pixmap;
}

Icon16 FinderIcon() { return MakeIcon(true); }
Icon16 EmptyFrameIcon() { return MakeIcon(false); }

TargetCursorImage TargetCursorPicture() {
    QImage shape(kFinderImageSize, kFinderImageSize, QImage::Format_RGB888);
    shape.fill(kWhite);
    {
        QPainter painter(&shape);
        painter.setRenderHint(QPainter::Antialiasing, false);
        DrawTarget(painter, kCursorHotspot, kCursorHotspot, 7);
    }
    QImage mask(kFinderImageSize, kFinderImageSize, QImage::Format_MonoLSB);
    mask.setColor(0, qRgb(255, 255, 255));
    mask.setColor(1, qRgb(0, 0, 0));
    for (int y = 0; y < kFinderImageSize; ++y) {
        for (int x = 0; x < kFinderImageSize; ++x) {
            mask.setPixel(x, y, shape.pixel(x, y) == qRgb(0, 0, 0) ? 1 : 0);
        }
    }
    return TargetCursorImage{shape, QBitmap::fromImage(mask)};
}

QCursor TargetCursor() {
    const TargetCursorImage picture = TargetCursorPicture();
    QPixmap pixmap = QPixmap::fromImage(picture.colours);
    pixmap.setMask(picture.mask);
    return QCursor(pixmap, kCursorHotspot, kCursorHotspot);
}

}  // namespace varnelo
