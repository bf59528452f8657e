// Shared pieces of the binding's tests: a message-box recorder and a fixture that gives each test a
// freshly reset recording library with a scripted engine context.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/testing/recording_control.h"
#include "platform/message_box.h"

namespace varnelo {

class RecordingBoxes : public MessageBoxes {
  public:
    MessageAnswer Show(const MessageBoxRequest& request) override {
        shown.push_back(request);
        return MessageAnswer::Ok;
    }
    std::vector<MessageBoxRequest> shown;
};

class RecordingLibraryTest : public ::testing::Test {
  protected:
    static constexpr int kContext = 7;

    void SetUp() override {
        library.Reset();
        library.SetResult("CreateSunnyNet", kContext);
    }
    void TearDown() override {
        EXPECT_TRUE(boxes.shown.empty()) << "no operation of the binding speaks to the user";
        EXPECT_EQ(library.StrayFrees(), 0) << "Free with null or with a foreign pointer";
        library.Reset();
    }

    testing::RecordingState& library = testing::Recorder();
    RecordingBoxes boxes;
};

}  // namespace varnelo
