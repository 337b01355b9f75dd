#pragma once

#include "input/text_focus_watcher.hpp"

#include <chrono>

typedef struct _AtspiAccessible AtspiAccessible;
typedef struct _AtspiEventListener AtspiEventListener;
typedef struct _AtspiEvent AtspiEvent;

namespace pelorn {

// Focus through AT-SPI2: follows the focus events of every accessible application and checks
// the focused object's role and state. On the watcher's thread only.
class AtspiFocusInspector final : public FocusInspector {
public:
    // The longest one query waits for an application's answer.
    static constexpr int queryTimeoutMs = 200;

    AtspiFocusInspector() = default;
    ~AtspiFocusInspector() override;

    bool begin() override;
    bool isTextFieldFocused() override;
    void end() override;

    AtspiFocusInspector(const AtspiFocusInspector&) = delete;
    AtspiFocusInspector& operator=(const AtspiFocusInspector&) = delete;

private:
    static void onFocusEvent(AtspiEvent* event, void* self);
    void focus(AtspiAccessible* object);
    void findFocused();

    AtspiEventListener* mListener = nullptr;
    AtspiAccessible* mFocused = nullptr;
    // Focus leaving one object comes a moment before it reaches the next: in between, the
    // last answer holds, so a move from one text field to another reads as no change.
    std::chrono::steady_clock::time_point mLostAt{};
    bool mLastAnswer = false;
};

} // namespace pelorn
