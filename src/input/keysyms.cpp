#include "input/keysyms.hpp"

#include <X11/X.h>
#include <X11/keysym.h>

namespace pelorn {

std::uint32_t keysymForCodePoint(char32_t cp) {
    // Latin-1 keysyms equal their code points; every other character has a Unicode keysym.
    if ((cp >= 0x20 && cp <= 0x7e) || (cp >= 0xa0 && cp <= 0xff)) {
        return cp;
    }
    return 0x01000000U | cp;
}

std::uint32_t keysymFor(NamedKey key) {
    switch (key) {
    case NamedKey::Return:
        return XK_Return;
    case NamedKey::Backspace:
        return XK_BackSpace;
    case NamedKey::Tab:
        return XK_Tab;
    case NamedKey::Escape:
        return XK_Escape;
    case NamedKey::Up:
        return XK_Up;
    case NamedKey::Down:
        return XK_Down;
    case NamedKey::Left:
        return XK_Left;
    case NamedKey::Right:
        return XK_Right;
    case NamedKey::Space:
        return XK_space;
    case NamedKey::Delete:
        return XK_Delete;
    case NamedKey::C:
        return XK_c;
    case NamedKey::V:
        return XK_v;
    case NamedKey::X:
        return XK_x;
    case NamedKey::A:
        return XK_a;
    case NamedKey::Z:
        return XK_z;
    case NamedKey::S:
        return XK_s;
    }
    return NoSymbol;
}

std::uint32_t keysymFor(KeyModifier modifier) {
    return modifier == KeyModifier::Control ? XK_Control_L : XK_Alt_L;
}

} // namespace pelorn
