#pragma once

#include "input/input_device.hpp"

#include <cstdint>

namespace pelorn {

// The keysyms (the X protocol's key symbols, which Wayland compositors take too) that stand for
// a character and for a named key.
std::uint32_t keysymForCodePoint(char32_t codePoint);
std::uint32_t keysymFor(NamedKey key);
std::uint32_t keysymFor(KeyModifier modifier);

} // namespace pelorn
