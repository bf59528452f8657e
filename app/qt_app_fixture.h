// Test helpers for the window tests: one QApplication per test binary, and message boxes that
// record what they were asked to show and answer from a script.
#pragma once

#include <QApplication>
#include <deque>
#include <functional>
#include <vector>

#include "platform/message_box.h"

namespace varnelo {

// The test binary's application object, created on first use (platform from QT_QPA_PLATFORM).
QApplication& TestApplication();

class RecordedBoxes final : public MessageBoxes {
public:
    MessageAnswer Show(const MessageBoxRequest& request) override {
        shown.push_back(request);
        if (whileOpen) whileOpen(request);
        if (answers.empty()) return request.buttons == MessageButtons::YesNo ? MessageAnswer::Yes
                                                                             : MessageAnswer::Ok;
        MessageAnswer answer = answers.front();
        answers.pop_front();
        return answer;
    }

    std::vector<MessageBoxRequest> shown;
    std::deque<MessageAnswer> answers;              // scripted answers, in order
    std::function<void(const MessageBoxRequest&)> whileOpen;  // runs while a box is "open"
};

}  // namespace varnelo
