// The main window as the self-update sees it. The main window implements it; tests record.
#pragma once

#include "platform/text.h"

namespace varnelo {

class UpdateWindow {
public:
    virtual ~UpdateWindow() = default;
    // Shows `caption` (code page 936) as the window's title.
    virtual void SetCaption(const Text& caption) = 0;
    // Asks the window to close. The close takes effect once the handler that is running returns,
    // and ends the program.
    virtual void Close() = 0;
    // Handles the window events that are waiting, so the window stays responsive while a
    // download blocks its thread. Must not close or destroy the window on its own.
    virtual void ProcessPendingMessages() = 0;
};

}  // namespace varnelo
