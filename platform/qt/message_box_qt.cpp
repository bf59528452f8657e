#include "platform/qt/message_box_qt.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <QWidget>
#include <cstdio>

namespace varnelo {
namespace {

QString FromText(const Text& text) {
    const Utf16 utf16 = Cp936ToUtf16(text);
    return QString::fromUtf16(utf16.data(), static_cast<qsizetype>(utf16.size()));
}

QMessageBox::Icon QtIcon(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::Error:
            return QMessageBox::Critical;
        case MessageIcon::Information:
            return QMessageBox::Information;
        case MessageIcon::Warning:
            return QMessageBox::Warning;
        case MessageIcon::Question:
            return QMessageBox::Question;
        case MessageIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

MessageAnswer FirstButton(MessageButtons buttons) {
    return buttons == MessageButtons::YesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
}

}  // namespace

MessageAnswer QtMessageBoxes::Show(const MessageBoxRequest& request) {
    const Text& caption = request.caption.empty() ? DefaultCaption() : request.caption;
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        // Nowhere to show it; the user should still be able to read why the program stops.
        const std::string utf8 =
            Utf16ToUtf8(Cp936ToUtf16(caption)) + "\n" + Utf16ToUtf8(Cp936ToUtf16(request.text));
        std::fprintf(stderr, "%s\n", utf8.c_str());
        return FirstButton(request.buttons);
    }
    auto* owner = static_cast<QWidget*>(const_cast<void*>(request.owner));
    QMessageBox box(QtIcon(request.icon), FromText(caption), FromText(request.text),
                    QMessageBox::NoButton, owner);
    if (request.buttons == MessageButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    const int result = box.exec();
    if (request.buttons == MessageButtons::Ok) return MessageAnswer::Ok;
    // Closing a Yes/No box without choosing (Escape, the window's close button) is a No.
    return result == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
}

}  // namespace varnelo
