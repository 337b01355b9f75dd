#pragma once

#include "input/input_device.hpp"

#include <string>

namespace pelorn {

// The client's keyboard messages as real key presses. One thread at a time (the input thread in the host).
class KeyboardController {
public:
    explicit KeyboardController(InputDevice& device);
    static KeyboardController& shared();

    // "key_event": a named key when the text is a capitalised word, otherwise text to type.
    void handleKeyEvent(const std::string& key);
    void pressNamedKey(const std::string& name);
    // One press per character, in order. Line feed and carriage return press Return, tab presses
    // Tab; other control characters have no key and are skipped.
    void typeText(const std::string& text);
    // "cmd_key": the shortcut the client knows as Command plus the key (Ctrl here; Alt+Tab).
    void pressCommandShortcut(const std::string& key);

private:
    InputDevice& mDevice;
};

} // namespace pelorn
