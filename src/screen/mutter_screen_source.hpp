#pragma once

#include "screen/screen_source.hpp"

#include <memory>

namespace pelorn {

class MutterRemoteDesktop;

// The primary monitor of a GNOME Wayland session, as the remote-desktop session's screen cast
// delivers it over PipeWire (the pointer drawn in by the compositor). The compositor sends a frame
// only when something changed, so a still screen costs nothing here either.
class MutterScreenSource final : public ScreenSource {
public:
    explicit MutterScreenSource(MutterRemoteDesktop& desktop);
    ~MutterScreenSource() override;

    std::variant<DisplayGeometry, CaptureFailure> open() override;
    DisplayGeometry geometry() const override;
    std::variant<bool, std::string> poll() override;
    void render(VideoFrame& frame) override;
    int changeNotifier() const override;

private:
    struct Pipeline;
    MutterRemoteDesktop& mDesktop;
    std::unique_ptr<Pipeline> mPipeline;
    bool mSessionStarted = false; // ended again when this goes
};

} // namespace pelorn
