#pragma once

#include "screen/screen_source.hpp"
#include "x11/x11_display.hpp"

#include <cstdint>
#include <memory>
#include <vector>

typedef struct _XImage XImage;

namespace pelorn {

// The root window of an X display: MIT-SHM grabs into one shared segment, XDamage to learn when
// anything was drawn, and the pointer (position and XFixes image) drawn over each frame, since a
// grab never contains it.
class X11ScreenSource final : public ScreenSource {
public:
    // An empty name means $DISPLAY.
    explicit X11ScreenSource(std::string displayName = {});
    ~X11ScreenSource() override;

    std::variant<DisplayGeometry, CaptureFailure> open() override;
    DisplayGeometry geometry() const override { return {mWidth, mHeight, 1.0}; }
    std::variant<bool, std::string> poll() override;
    void render(VideoFrame& frame) override;
    int changeNotifier() const override;
    bool noticeWaiting() override;

private:
    struct Pointer {
        int x = 0, y = 0;
        int hotX = 0, hotY = 0;
        int width = 0, height = 0;
        std::vector<std::uint32_t> argb; // premultiplied
    };

    std::optional<std::string> createImage();
    void destroyImage();
    void readPointerImage();
    void drawPointer(VideoFrame& frame) const;

    std::string mDisplayName;
    std::unique_ptr<X11Connection> mConnection;
    unsigned long mRoot = 0;
    unsigned long mDamage = 0;
    int mDamageEvent = 0;
    int mFixesEvent = 0;
    int mWidth = 0, mHeight = 0;
    XImage* mImage = nullptr;
    struct Segment;
    std::unique_ptr<Segment> mSegment;
    bool mDamaged = true;       // the segment is older than the screen
    bool mPointerMoved = false; // since the last render
    Pointer mPointer;
};

} // namespace pelorn
