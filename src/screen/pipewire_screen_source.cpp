#include "screen/pipewire_screen_source.hpp"

#include "gnome/mutter_remote_desktop.hpp"

#include <cstring>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <libyuv/scale_argb.h>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>

namespace pelorn {

namespace {

// The compositor sends the screen as it is when the stream starts.
constexpr GstClockTime firstFrameWait = 5 * GST_SECOND;

} // namespace

struct PipeWireScreenSource::Pipeline {
    GstElement* pipeline = nullptr;
    GstAppSink* sink = nullptr;
    GstBus* bus = nullptr;
    int wake = -1;   // readable when a frame arrived
    int remote = -1; // the portal's PipeWire connection
    GstSample* sample = nullptr;
    GstVideoInfo info{};
    bool unrendered = true;

    ~Pipeline() {
        if (pipeline) {
            gst_element_set_state(pipeline, GST_STATE_NULL);
        }
        if (sample) {
            gst_sample_unref(sample);
        }
        if (sink) {
            gst_object_unref(sink);
        }
        if (bus) {
            gst_object_unref(bus);
        }
        if (pipeline) {
            gst_object_unref(pipeline);
        }
        if (wake >= 0) {
            ::close(wake);
        }
        if (remote >= 0) {
            ::close(remote);
        }
    }

    void adopt(GstSample* next) {
        GstVideoInfo nextInfo;
        if (!gst_video_info_from_caps(&nextInfo, gst_sample_get_caps(next))) {
            gst_sample_unref(next);
            return;
        }
        if (sample) {
            gst_sample_unref(sample);
        }
        sample = next;
        info = nextInfo;
    }

    // The pipeline's error, if it posted one (the stream was taken away, PipeWire went away).
    std::optional<std::string> failure() {
        GstMessage* message =
            gst_bus_pop_filtered(bus, static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS));
        if (!message) {
            return std::nullopt;
        }
        std::string text = "the stream ended";
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
            GError* error = nullptr;
            gst_message_parse_error(message, &error, nullptr);
            text = error ? error->message : "error";
            g_clear_error(&error);
        }
        gst_message_unref(message);
        return text;
    }
};

PipeWireScreenSource::PipeWireScreenSource(Provider provider) : mProvider(std::move(provider)) {
}

PipeWireScreenSource::~PipeWireScreenSource() {
    mPipeline.reset();
    if (mOpened && mProvider.close) {
        mProvider.close();
    }
}

MutterScreenSource::MutterScreenSource(MutterRemoteDesktop& desktop)
    : PipeWireScreenSource({[&desktop]() -> std::variant<PipeWireStream, std::string> {
                                auto stream = desktop.stream();
                                if (auto* why = std::get_if<std::string>(&stream)) {
                                    return *why;
                                }
                                return PipeWireStream{std::get<MutterRemoteDesktop::Stream>(stream).node};
                            },
                            [&desktop] { return desktop.running(); },
                            // Nobody watches: the desktop's sharing indicator goes out. Input starts
                            // a session again.
                            [&desktop] { desktop.stop(); }}) {
}

std::variant<DisplayGeometry, CaptureFailure> PipeWireScreenSource::open() {
    auto stream = mProvider.open();
    if (auto* why = std::get_if<std::string>(&stream)) {
        return CaptureFailure{false, *why};
    }
    mOpened = true;
    auto cast = std::get<PipeWireStream>(stream);
    static std::once_flag initialised;
    std::call_once(initialised, [] { gst_init(nullptr, nullptr); });
    auto p = std::make_unique<Pipeline>();
    p->remote = cast.fd;
    std::string description = "pipewiresrc path=" + std::to_string(cast.node) +
                              (cast.fd >= 0 ? " fd=" + std::to_string(cast.fd) : "") +
                              " always-copy=true ! videoconvert ! video/x-raw,format=BGRx ! "
                              "appsink name=sink max-buffers=1 drop=true sync=false";
    GError* error = nullptr;
    p->pipeline = gst_parse_launch(description.c_str(), &error);
    if (!p->pipeline || error) {
        std::string why = error ? error->message : "no pipeline";
        g_clear_error(&error);
        return CaptureFailure{false, "cannot read the screen cast (" + why + ")"};
    }
    p->sink = GST_APP_SINK(gst_bin_get_by_name(GST_BIN(p->pipeline), "sink"));
    p->bus = gst_element_get_bus(p->pipeline);
    p->wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = [](GstAppSink*, gpointer fd) {
        std::uint64_t one = 1;
        (void)!::write(GPOINTER_TO_INT(fd), &one, sizeof one);
        return GST_FLOW_OK;
    };
    gst_app_sink_set_callbacks(p->sink, &callbacks, GINT_TO_POINTER(p->wake), nullptr);
    if (gst_element_set_state(p->pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        return CaptureFailure{false, "cannot read the screen cast: " + p->failure().value_or("no stream")};
    }
    GstSample* first = gst_app_sink_try_pull_sample(p->sink, firstFrameWait);
    if (!first) {
        return CaptureFailure{false, "the screen cast sent no frame: " + p->failure().value_or("timed out")};
    }
    p->adopt(first);
    mPipeline = std::move(p);
    return geometry();
}

DisplayGeometry PipeWireScreenSource::geometry() const {
    if (!mPipeline) {
        return {};
    }
    return {GST_VIDEO_INFO_WIDTH(&mPipeline->info), GST_VIDEO_INFO_HEIGHT(&mPipeline->info), 1.0};
}

int PipeWireScreenSource::changeNotifier() const {
    return mPipeline ? mPipeline->wake : -1;
}

std::variant<bool, std::string> PipeWireScreenSource::poll() {
    auto& p = *mPipeline;
    std::uint64_t count = 0;
    (void)!::read(p.wake, &count, sizeof count);
    if (auto failure = p.failure()) {
        return "the screen cast stopped: " + *failure;
    }
    if (mProvider.running && !mProvider.running()) {
        return std::string("the desktop ended the screen cast");
    }
    bool changed = std::exchange(p.unrendered, false);
    while (GstSample* next = gst_app_sink_try_pull_sample(p.sink, 0)) {
        p.adopt(next);
        changed = true;
    }
    return changed;
}

void PipeWireScreenSource::render(VideoFrame& frame) {
    auto& p = *mPipeline;
    GstVideoFrame mapped;
    if (!p.sample || !gst_video_frame_map(&mapped, &p.info, gst_sample_get_buffer(p.sample), GST_MAP_READ)) {
        return;
    }
    auto* source = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&mapped, 0));
    int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&mapped, 0);
    int width = GST_VIDEO_FRAME_WIDTH(&mapped), height = GST_VIDEO_FRAME_HEIGHT(&mapped);
    if (frame.width == width && frame.height == height) {
        for (int y = 0; y < height; ++y) {
            std::memcpy(frame.row(y), source + static_cast<std::ptrdiff_t>(y) * stride,
                        static_cast<std::size_t>(width) * 4);
        }
    } else {
        libyuv::ARGBScale(source, stride, width, height, frame.pixels.data(), frame.stride, frame.width,
                          frame.height, libyuv::kFilterBilinear);
    }
    gst_video_frame_unmap(&mapped);
}

} // namespace pelorn
