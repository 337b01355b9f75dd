#pragma once

#include <functional>
#include <optional>
#include <string>

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
    // Why this desktop's displays cannot be blacked out at all; absent where they can.
    virtual std::optional<std::string> unavailableReason() const { return std::nullopt; }
};

// A desktop whose displays the host cannot black out: the privacy screen leaves them as they are.
class UnavailableBlackout final : public DisplayBlackout {
public:
    explicit UnavailableBlackout(std::string reason) : mReason(std::move(reason)) {}
    bool blackOut() override { return false; }
    void restore() override {}
    void setOnDisplaysChanged(std::function<void()>) override {}
    std::optional<std::string> unavailableReason() const override { return mReason; }

private:
    std::string mReason;
};

} // namespace pelorn
