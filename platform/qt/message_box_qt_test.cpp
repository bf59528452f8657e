#include "platform/qt/message_box_qt.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

namespace varnelo {
namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "platform_qt_test";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    return app;
}

struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QWidget* parent = nullptr;
    bool modal = false;
};

// Shows the request and, from inside the box's own event loop, notes what the box shows and then
// presses the given button (or closes the box with Escape when none is given).
MessageAnswer ShowAndPress(const MessageBoxRequest& request, QMessageBox::StandardButton press,
                           SeenBox& seen) {
    App();
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        seen = {box->windowTitle(),     box->text(),         box->icon(),
                box->standardButtons(), box->parentWidget(), box->isModal()};
        if (press == QMessageBox::NoButton) {
            box->reject();
        } else {
            box->button(press)->click();
        }
    });
    QtMessageBoxes boxes;
    return boxes.Show(request);
}

TEST(QtMessageBoxes, ShowsTextCaptionIconAndButtonsAndAnswersThePressedButton) {
    struct Case {
        MessageBoxRequest request;
        QString title;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton press;
        MessageAnswer answer;
    };
    const Case cases[] = {
        {{"在当前目录下未找到 SunnyNet.dll \r\n\r\n请重试！"_cp936, "", MessageButtons::Ok,
          MessageIcon::Error},
         QString::fromUtf8("信息："),
         QMessageBox::Critical,
         QMessageBox::Ok,
         QMessageBox::Ok,
         MessageAnswer::Ok},
        {{"是否更新?"_cp936, "证书安装失败"_cp936, MessageButtons::YesNo, MessageIcon::Question},
         QString::fromUtf8("证书安装失败"),
         QMessageBox::Question,
         QMessageBox::Yes | QMessageBox::No,
         QMessageBox::Yes,
         MessageAnswer::Yes},
        {{"x", "c", MessageButtons::YesNo, MessageIcon::Warning},
         "c",
         QMessageBox::Warning,
         QMessageBox::Yes | QMessageBox::No,
         QMessageBox::No,
         MessageAnswer::No},
        {{"x", "c", MessageButtons::YesNo, MessageIcon::Information},
         "c",
         QMessageBox::Information,
         QMessageBox::Yes | QMessageBox::No,
         QMessageBox::NoButton,
         MessageAnswer::No},
        {{"x", "c", MessageButtons::Ok, MessageIcon::None},
         "c",
         QMessageBox::NoIcon,
         QMessageBox::Ok,
         QMessageBox::NoButton,
         MessageAnswer::Ok},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title.toStdString());
        SeenBox seen;
        EXPECT_EQ(ShowAndPress(c.request, c.press, seen), c.answer);
        EXPECT_EQ(seen.title, c.title);
        EXPECT_EQ(seen.text.toStdU16String(), Cp936ToUtf16(c.request.text));
        EXPECT_EQ(seen.icon, c.icon);
        EXPECT_EQ(seen.buttons, c.buttons);
        EXPECT_TRUE(seen.modal);
        EXPECT_EQ(seen.parent, nullptr);
    }
}

TEST(QtMessageBoxes, BelongsToItsOwnerWindow) {
    App();
    QWidget owner;
    MessageBoxRequest request{"x", "c", MessageButtons::Ok, MessageIcon::None, &owner};
    SeenBox seen;
    ShowAndPress(request, QMessageBox::Ok, seen);
    EXPECT_EQ(seen.parent, &owner);
}

}  // namespace
}  // namespace varnelo
