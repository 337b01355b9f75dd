#pragma once

#include <functional>

namespace pelorn {

// Makes every physical display show black without touching what the screen holds, and undoes it.
class DisplayBlackout {
public:
    virtual ~DisplayBlackout() = default;
    // Blacks out every display, remembering each one's own settings the first time it is seen.
    // False when the displays could not be listed.
    virtual bool blackOut() = 0;
    // Puts every remembered display back as it was.
    virtual void restore() = 0;
    // `onChange` runs on a thread of the adapter's whenever displays are added, removed or
    // reconfigured; set once, before the first blackOut().
    virtual void setOnDisplaysChanged(std::function<void()> onChange) = 0;
};

} // namespace pelorn
