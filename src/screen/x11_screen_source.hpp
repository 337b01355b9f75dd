#pragma once

#include "screen/screen_source.hpp"
#include "x11/x11_display.hpp"
#include "x11/x11_monitors.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

typedef struct _XImage XImage;

namespace pelorn {

// One monitor of an X display (RandR 1.5's; the whole root window when the server lists none):
// MIT-SHM grabs of its rectangle into one shared segment, XDamage to learn when anything was drawn
// on it, and the pointer (position and XFixes image) drawn over each frame while it is on that
// monitor, since a grab never contains it. The monitor is chosen again when monitors change or the
// owner chooses another; a new size is taken as the root window's resizing was.
class X11ScreenSource final : public ScreenSource {
public:
    // An empty name means $DISPLAY; `wantedMonitor` names the monitor chosen by the owner (none:
    // the primary), asked at each poll.
    explicit X11ScreenSource(std::string displayName = {}, std::function<std::string()> wantedMonitor = {});
    ~X11ScreenSource() override;

    std::variant<DisplayGeometry, CaptureFailure> open() override;
    DisplayGeometry geometry() const override { return {mArea.width, mArea.height, 1.0}; }
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

    // Chooses the monitor (again); false when its rectangle stayed as it was.
    bool chooseArea();
    bool pointerShown() const { return mPointer.width > 0 && mArea.contains(mPointer.x, mPointer.y); }
    std::optional<std::string> createImage();
    void destroyImage();
    void readPointerImage();
    void drawPointer(VideoFrame& frame) const;

    std::string mDisplayName;
    std::function<std::string()> mWantedMonitor;
    std::string mWanted; // what mWantedMonitor said when the monitor was last chosen
    std::unique_ptr<X11Connection> mConnection;
    unsigned long mRoot = 0;
    unsigned long mDamage = 0;
    int mDamageEvent = 0;
    int mFixesEvent = 0;
    int mRandrEvent = -1; // -1: no RandR
    X11Monitor mArea;     // the rectangle of the root window captured
    XImage* mImage = nullptr;
    struct Segment;
    std::unique_ptr<Segment> mSegment;
    bool mDamaged = true;       // the segment is older than the screen
    bool mPointerMoved = false; // since the last render
    Pointer mPointer;
};

} // namespace pelorn
