#pragma once

#include "screen/screen_source.hpp"

#include <cstdint>
#include <functional>
#include <memory>

namespace pelorn {

class MutterRemoteDesktop;

// A screen cast's PipeWire stream: its node, on the session's PipeWire daemon or, with `fd`, on
// the connection a portal opened for it (owned by the receiver).
struct PipeWireStream {
    std::uint32_t node = 0;
    int fd = -1;
};

// A monitor as a Wayland compositor casts it over PipeWire, the pointer drawn in. Compositors send
// a frame only when something changed, so a still screen costs nothing here either.
class PipeWireScreenSource : public ScreenSource {
public:
    // Where the stream comes from.
    struct Provider {
        std::function<std::variant<PipeWireStream, std::string>()> open;
        std::function<bool()> running; // false once the cast was ended by its desktop
        std::function<void()> close;   // nobody watches any more
    };

    explicit PipeWireScreenSource(Provider provider);
    ~PipeWireScreenSource() override;

    std::variant<DisplayGeometry, CaptureFailure> open() override;
    DisplayGeometry geometry() const override;
    std::variant<bool, std::string> poll() override;
    void render(VideoFrame& frame) override;
    int changeNotifier() const override;

private:
    struct Pipeline;
    Provider mProvider;
    std::unique_ptr<Pipeline> mPipeline;
    bool mOpened = false; // closed again when this goes
};

// The primary monitor of a GNOME Wayland session, through its remote-desktop session's screen
// cast; the session ends with the stream (and the desktop's sharing indicator with it).
class MutterScreenSource final : public PipeWireScreenSource {
public:
    explicit MutterScreenSource(MutterRemoteDesktop& desktop);
};

} // namespace pelorn
