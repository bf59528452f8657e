#include "app/finder_images.h"

#include <gtest/gtest.h>

#include "app/qt_app_fixture.h"

namespace varnelo {
namespace {

int CountPixels(const QImage& image, QRgb colour, const QRect& area) {
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) count += image.pixel(x, y) == colour;
    }
    return count;
}

TEST(FinderImages, IconsAreSixteenColourWindowsWithAndWithoutTheTarget) {
    TestApplication();
    const Icon16 finder = FinderIcon();
    const Icon16 empty = EmptyFrameIcon();
    for (const Icon16* icon : {&finder, &empty}) {
        EXPECT_EQ(icon->colours.size(), QSize(32, 32));
        EXPECT_EQ(icon->colours.format(), QImage::Format_Indexed8);
        EXPECT_EQ(icon->colours.colorTable(), StandardPalette16());
        EXPECT_EQ(icon->mask.size(), QSize(32, 32));
        // Black outline, navy title bar, silver boxes at its ends, white client area.
        EXPECT_EQ(icon->colours.pixel(1, 16), qRgb(0, 0, 0));
        EXPECT_EQ(icon->colours.pixel(16, 5), qRgb(0, 0, 128));
        EXPECT_EQ(icon->colours.pixel(4, 6), qRgb(192, 192, 192));
        EXPECT_EQ(icon->colours.pixel(27, 6), qRgb(192, 192, 192));
        EXPECT_EQ(icon->colours.pixel(4, 25), qRgb(255, 255, 255));
        const QImage mask = icon->mask.toImage();
        EXPECT_NE(mask.pixel(0, 0), mask.pixel(16, 16));  // corner see-through, window covered
    }
    const QRect client(3, 11, 26, 16);
    EXPECT_GT(CountPixels(finder.colours, qRgb(0, 0, 0), client), 20);
    EXPECT_EQ(CountPixels(empty.colours, qRgb(0, 0, 0), client), 0);
}

TEST(FinderImages, CursorIsTheTargetWithItsHotspotOnTheCentre) {
    TestApplication();
    const TargetCursorImage picture = TargetCursorPicture();
    EXPECT_EQ(picture.colours.size(), QSize(32, 32));
    EXPECT_EQ(picture.colours.format(), QImage::Format_RGB888);
    EXPECT_EQ(picture.colours.pixel(kCursorHotspot, kCursorHotspot), qRgb(0, 0, 0));
    // The target is symmetric around the hotspot.
    for (int d : {3, 7, 9}) {
        EXPECT_EQ(picture.colours.pixel(15 - d, 15), picture.colours.pixel(15 + d, 15)) << d;
        EXPECT_EQ(picture.colours.pixel(15, 15 - d), picture.colours.pixel(15, 15 + d)) << d;
    }
    const QCursor cursor = TargetCursor();
    EXPECT_EQ(cursor.hotSpot(), QPoint(15, 15));
    EXPECT_EQ(cursor.pixmap().size(), QSize(32, 32));
}

}  // namespace
}  // namespace varnelo
