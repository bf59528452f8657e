// The three pictures of the window-picking box, drawn at run time, each 32 x 32 pixels.
#pragma once

#include <QBitmap>
#include <QCursor>
#include <QImage>
#include <QPixmap>
#include <QVector>

namespace varnelo {

inline constexpr int kFinderImageSize = 32;
inline constexpr int kCursorHotspot = 15;

// The standard 16-colour palette (black, maroon, green, olive, navy, purple, teal, silver, grey,
// red, lime, yellow, blue, fuchsia, aqua, white).
QVector<QRgb> StandardPalette16();

// A 16-colour icon: an indexed image over StandardPalette16() and a mask of the pixels it covers.
struct Icon16 {
    QImage colours;  // QImage::Format_Indexed8, colour table = StandardPalette16()
    QBitmap mask;    // 1 = shown
    QPixmap ToPixmap() const;
};

// A small window (black outline, blue title bar with a light-grey box at each end, white client
// area) with a black crosshair target in its middle.
Icon16 FinderIcon();
// The same window without the target.
Icon16 EmptyFrameIcon();

// The crosshair target alone: 24-bit colour (QImage::Format_RGB888) and a mask of its pixels.
struct TargetCursorImage {
    QImage colours;
    QBitmap mask;
};
TargetCursorImage TargetCursorPicture();
// The target cursor, hotspot (15, 15) on the target's centre.
QCursor TargetCursor();

}  // namespace varnelo
