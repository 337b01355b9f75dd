#include "input/keyboard_controller.hpp"

#include "core/text.hpp"
#include "input/input_device.hpp"

#include <map>
#include <unicode/uchar.h>

namespace pelorn {

namespace {

const std::map<std::string, NamedKey, std::less<>> namedKeys = {
    {"Return", NamedKey::Return},  {"Enter", NamedKey::Return},   {"Backspace", NamedKey::Backspace},
    {"Tab", NamedKey::Tab},        {"Escape", NamedKey::Escape},  {"ArrowUp", NamedKey::Up},
    {"ArrowDown", NamedKey::Down}, {"ArrowLeft", NamedKey::Left}, {"ArrowRight", NamedKey::Right},
    {"Space", NamedKey::Space},    {"Delete", NamedKey::Delete},
};

struct Shortcut {
    NamedKey key;
    KeyModifier modifier;
};

// Command-key shortcuts as this desktop spells them.
const std::map<std::string, Shortcut, std::less<>> shortcuts = {
    {"c", {NamedKey::C, KeyModifier::Control}}, {"v", {NamedKey::V, KeyModifier::Control}},
    {"x", {NamedKey::X, KeyModifier::Control}}, {"a", {NamedKey::A, KeyModifier::Control}},
    {"z", {NamedKey::Z, KeyModifier::Control}}, {"s", {NamedKey::S, KeyModifier::Control}},
    {"tab", {NamedKey::Tab, KeyModifier::Alt}},
};

} // namespace

KeyboardController::KeyboardController(InputDevice& device) : mDevice(device) {
}

void KeyboardController::handleKeyEvent(const std::string& key) {
    if (key.empty()) {
        return;
    }
    if (graphemeCount(key) > 1 && u_isupper(static_cast<UChar32>(codePoints(key).front()))) {
        pressNamedKey(key);
    } else {
        typeText(key);
    }
}

void KeyboardController::pressNamedKey(const std::string& name) {
    if (auto found = namedKeys.find(name); found != namedKeys.end()) {
        mDevice.pressKey(found->second);
    }
}

void KeyboardController::typeText(const std::string& text) {
    for (const auto& character : graphemeClusters(text)) {
        // A CR LF pair is one character and one line break: one Return, not two.
        if (character == "\n" || character == "\r" || character == "\r\n") {
            mDevice.pressKey(NamedKey::Return);
            continue;
        }
        if (character == "\t") {
            mDevice.pressKey(NamedKey::Tab);
            continue;
        }
        // A key carries one code point: a composed character goes as its composed form, and
        // what stays several code points (emoji sequences, flags) goes one after the other.
        for (char32_t cp : codePoints(nfc(character))) {
            // Control codes have no key; format characters (the joiner in emoji) do get typed.
            if (u_charType(static_cast<UChar32>(cp)) != U_CONTROL_CHAR) {
                mDevice.typeCodePoint(cp);
            }
        }
    }
    mDevice.endOfText();
}

void KeyboardController::pressCommandShortcut(const std::string& key) {
    if (auto found = shortcuts.find(lowercased(key)); found != shortcuts.end()) {
        mDevice.pressKey(found->second.key, found->second.modifier);
    }
}

} // namespace pelorn
