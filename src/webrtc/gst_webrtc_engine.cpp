#include "webrtc/gst_webrtc_engine.hpp"

#include "core/host_loop.hpp"
#include "core/log.hpp"

#define GST_USE_UNSTABLE_API
#include <atomic>
#include <cstring>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>
#include <map>
#include <mutex>
#include <nice/agent.h>
#include <random>
#include <sstream>

namespace pelorn {

namespace {

// What the offer says of the video: H.264 constrained baseline up to level 5.1, enough for the
// largest sizes. The payloader's caps carry the same value, or webrtcbin refuses the stream; 1.22's
// payloader knows no level above 5.1. The encoder's parameter sets say the level it actually uses.
constexpr const char* h264Profile = "42c033";
constexpr const char* rtpCaps =
    "application/x-rtp,media=video,encoding-name=H264,payload=96,clock-rate=90000,"
    "packetization-mode=(string)1,profile-level-id=(string)42c033";

// A lambda as a GLib signal handler (the G_CALLBACK macro cannot take one with braces in it).
template <typename Function> GCallback signalHandler(Function* function) {
    return reinterpret_cast<GCallback>(function);
}

void initGstreamer() {
    static std::once_flag once;
    std::call_once(once, [] { gst_init(nullptr, nullptr); });
}

// ICE credentials for a restart: ufrag 16 and password 32 characters of the ICE alphabet.
std::string iceToken(std::size_t length) {
    static constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::random_device random;
    std::string token;
    for (std::size_t i = 0; i < length; ++i) {
        token += alphabet[random() % alphabet.size()];
    }
    return token;
}

// The value of the first "a=NAME:" line.
std::string sdpAttribute(const std::string& sdp, const std::string& name) {
    auto at = sdp.find("a=" + name + ":");
    if (at == std::string::npos) {
        return {};
    }
    at += name.size() + 3;
    return sdp.substr(at, sdp.find_first_of("\r\n", at) - at);
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); !from.empty() && at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The mid of each m-line, in order.
std::vector<std::string> midsOf(const std::string& sdp) {
    std::vector<std::string> mids;
    std::istringstream lines(sdp);
    std::string line;
    bool inMedia = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.rfind("m=", 0) == 0) {
            mids.emplace_back();
            inMedia = true;
        } else if (inMedia && line.rfind("a=mid:", 0) == 0) {
            mids.back() = line.substr(6);
        }
    }
    return mids;
}

// "bytes-sent" → "bytesSent": GStreamer's statistics under the standard names.
std::string camelCase(const char* name) {
    std::string out;
    bool upper = false;
    for (const char* c = name; *c; ++c) {
        if (*c == '-' || *c == '_') {
            upper = true;
        } else {
            out += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(*c))) : *c;
            upper = false;
        }
    }
    return out;
}

nlohmann::json jsonOf(const GValue* value);

// A structure's fields under camel-case names (GStreamer nests the RTP session's own statistics).
nlohmann::json jsonOf(const GstStructure* structure) {
    nlohmann::json out = nlohmann::json::object();
    gst_structure_foreach(
        structure,
        [](GQuark name, const GValue* v, gpointer into) -> gboolean {
            (*static_cast<nlohmann::json*>(into))[camelCase(g_quark_to_string(name))] = jsonOf(v);
            return TRUE;
        },
        &out);
    return out;
}

nlohmann::json jsonOf(const GValue* value) {
    GType type = G_VALUE_TYPE(value);
    if (GST_VALUE_HOLDS_STRUCTURE(value)) {
        return gst_value_get_structure(value) ? jsonOf(gst_value_get_structure(value)) : nlohmann::json();
    }
    switch (G_TYPE_FUNDAMENTAL(type)) {
    case G_TYPE_STRING:
        return g_value_get_string(value) ? nlohmann::json(g_value_get_string(value)) : nlohmann::json();
    case G_TYPE_BOOLEAN:
        return static_cast<bool>(g_value_get_boolean(value));
    case G_TYPE_INT:
        return g_value_get_int(value);
    case G_TYPE_UINT:
        return g_value_get_uint(value);
    case G_TYPE_INT64:
        return g_value_get_int64(value);
    case G_TYPE_UINT64:
        return g_value_get_uint64(value);
    case G_TYPE_DOUBLE:
        return g_value_get_double(value);
    case G_TYPE_FLOAT:
        return g_value_get_float(value);
    case G_TYPE_ENUM: {
        GEnumClass* enums = static_cast<GEnumClass*>(g_type_class_ref(type));
        GEnumValue* nick = g_enum_get_value(enums, g_value_get_enum(value));
        nlohmann::json out =
            nick ? nlohmann::json(nick->value_nick) : nlohmann::json(g_value_get_enum(value));
        g_type_class_unref(enums);
        return out;
    }
    default:
        return nullptr;
    }
}

std::string statsType(int type) {
    static const char* names[] = {"",
                                  "codec",
                                  "inbound-rtp",
                                  "outbound-rtp",
                                  "remote-inbound-rtp",
                                  "remote-outbound-rtp",
                                  "csrc",
                                  "peer-connection",
                                  "data-channel",
                                  "stream",
                                  "transport",
                                  "candidate-pair",
                                  "local-candidate",
                                  "remote-candidate",
                                  "certificate"};
    return type > 0 && type < static_cast<int>(std::size(names)) ? names[type] : "unknown";
}

StatsReport reportOf(const GstStructure* reply) {
    StatsReport report;
    if (!reply) {
        return report;
    }
    gst_structure_foreach(
        reply,
        [](GQuark field, const GValue* value, gpointer data) -> gboolean {
            if (!GST_VALUE_HOLDS_STRUCTURE(value)) {
                return TRUE;
            }
            const GstStructure* stats = gst_value_get_structure(value);
            StatsObject object;
            GstWebRTCStatsType type{};
            if (gst_structure_get(stats, "type", GST_TYPE_WEBRTC_STATS_TYPE, &type, nullptr)) {
                object.type = statsType(static_cast<int>(type));
            }
            object.values = jsonOf(stats);
            object.values.erase("type");
            // The receiver report's highest sequence number sits in the RTP session's own
            // statistics; it is what shows that the client still reports at all.
            if (object.type == "remote-inbound-rtp") {
                auto session = object.values.find("gstRtpsourceStats");
                if (session != object.values.end() && session->is_object() &&
                    session->value("haveRb", false) && session->contains("rbExthighestseq")) {
                    object.values["extendedHighestSequenceNumber"] = (*session)["rbExthighestseq"];
                }
            }
            auto* out = static_cast<StatsReport*>(data);
            (*out)[g_quark_to_string(field)] = std::move(object);
            return TRUE;
        },
        &report);
    return report;
}

// What the encoder has put out, counted on its streaming thread: the statistics webrtcbin does not
// keep for a sender.
struct EncoderCounters {
    std::atomic<std::uint64_t> frames{0};
    std::atomic<std::uint64_t> keyframes{0};
    std::atomic<int> width{0};
    std::atomic<int> height{0};

    void addTo(StatsReport& report) const {
        for (auto& [id, object] : report) {
            if (object.type == "outbound-rtp" && object.values.value("kind", "") == "video") {
                object.values["framesEncoded"] = frames.load();
                object.values["keyFramesEncoded"] = keyframes.load();
                if (width > 0) {
                    object.values["frameWidth"] = width.load();
                    object.values["frameHeight"] = height.load();
                }
            }
        }
    }
};

// What webrtcbin's threads share with the connection: where to post, and the handlers.
struct Shared {
    Shared(HostLoop& hostLoop, PeerConnection::Events handlers)
        : loop(hostLoop), events(std::move(handlers)) {}

    HostLoop& loop;
    PeerConnection::Events events;
    std::atomic<bool> closed{false};
    std::mutex mutex; // guards the fields below, read on webrtcbin's threads
    std::vector<std::string> localMids;
    std::vector<IceCandidate> localCandidates; // sent so far; sent again after an ICE restart

    // Runs fn on the host loop unless the connection has closed by then.
    void post(std::function<void(Shared&)> fn) {
        loop.post([weak = std::weak_ptr<Shared>(self), fn = std::move(fn)] {
            if (auto shared = weak.lock(); shared && !shared->closed) {
                fn(*shared);
            }
        });
    }
    std::weak_ptr<Shared> self;
};

// A weak reference handed to GLib as signal and promise data.
struct Tag {
    std::weak_ptr<Shared> shared;
    std::string label;
};

void freeTag(gpointer data, GClosure*) {
    delete static_cast<Tag*>(data);
}

// A promise whose reply goes to `onReply` on the host loop (never on webrtcbin's thread, which
// must not block).
GstPromise* promiseTo(const std::shared_ptr<Shared>& shared,
                      std::function<void(Shared&, GstStructure*)> onReply) {
    struct Holder {
        std::weak_ptr<Shared> shared;
        std::function<void(Shared&, GstStructure*)> onReply;
    };
    auto* holder = new Holder{shared, std::move(onReply)};
    return gst_promise_new_with_change_func(
        [](GstPromise* promise, gpointer data) {
            auto* h = static_cast<Holder*>(data);
            const GstStructure* reply = gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED
                                            ? gst_promise_get_reply(promise)
                                            : nullptr;
            GstStructure* copy = reply ? gst_structure_copy(reply) : nullptr;
            if (auto owner = h->shared.lock()) {
                owner->post([onReply = h->onReply, copy](Shared& s) {
                    onReply(s, copy);
                    if (copy) {
                        gst_structure_free(copy);
                    }
                });
            } else if (copy) {
                gst_structure_free(copy);
            }
            gst_promise_unref(promise);
        },
        holder, [](gpointer data) { delete static_cast<Holder*>(data); });
}

std::optional<std::string> replyError(const GstStructure* reply) {
    if (!reply) {
        return std::nullopt;
    }
    GError* error = nullptr;
    if (gst_structure_has_field(reply, "error") &&
        gst_structure_get(reply, "error", G_TYPE_ERROR, &error, nullptr)) {
        std::string message = error ? error->message : "unknown error";
        g_clear_error(&error);
        return message;
    }
    return std::nullopt;
}

class GstPeerConnection final : public PeerConnection {
public:
    GstPeerConnection(HostLoop& loop, const PeerConfiguration& configuration, Events events)
        : mShared(std::make_shared<Shared>(loop, std::move(events))) {
        mShared->self = mShared;
        build(configuration);
    }
    ~GstPeerConnection() override { close(); }

    bool createDataChannel(const std::string& label) override {
        std::lock_guard lock(mChannelMutex);
        if (!mWebrtc || mChannels.count(label)) {
            return false;
        }
        GstStructure* options =
            gst_structure_new("data-channel-options", "ordered", G_TYPE_BOOLEAN, TRUE, nullptr);
        GstWebRTCDataChannel* channel = nullptr;
        g_signal_emit_by_name(mWebrtc, "create-data-channel", label.c_str(), options, &channel);
        gst_structure_free(options);
        if (!channel) {
            return false;
        }
        mChannels[label] = channel;
        auto connect = [&](const char* signal, GCallback callback) {
            g_signal_connect_data(channel, signal, callback, new Tag{mShared, label}, freeTag,
                                  GConnectFlags{});
        };
        connect("notify::ready-state",
                signalHandler(+[](GstWebRTCDataChannel* c, GParamSpec*, gpointer data) {
                    auto* tag = static_cast<Tag*>(data);
                    GstWebRTCDataChannelState state{};
                    g_object_get(c, "ready-state", &state, nullptr);
                    // GStreamer numbers them from 1 (connecting) to 4 (closed).
                    auto ours = static_cast<DataChannelState>(static_cast<int>(state) - 1);
                    if (auto shared = tag->shared.lock()) {
                        shared->post([label = tag->label, ours](Shared& s) {
                            if (s.events.channelState) {
                                s.events.channelState(label, ours);
                            }
                        });
                    }
                }));
        connect("on-message-string", signalHandler(+[](GstWebRTCDataChannel*, gchar* text, gpointer data) {
                    auto* tag = static_cast<Tag*>(data);
                    if (auto shared = tag->shared.lock(); shared && text) {
                        shared->post([label = tag->label, message = std::string(text)](Shared& s) {
                            if (s.events.channelMessage) {
                                s.events.channelMessage(label, message);
                            }
                        });
                    }
                }));
        return true;
    }

    DataChannelState channelState(const std::string& label) const override {
        auto* channel = channelOf(label);
        if (!channel) {
            return DataChannelState::Closed;
        }
        GstWebRTCDataChannelState state{};
        g_object_get(channel, "ready-state", &state, nullptr);
        g_object_unref(channel);
        return static_cast<DataChannelState>(static_cast<int>(state) - 1);
    }

    bool sendText(const std::string& label, const std::string& text) override {
        auto* channel = channelOf(label);
        if (!channel) {
            return false;
        }
        GstWebRTCDataChannelState state{};
        g_object_get(channel, "ready-state", &state, nullptr);
        bool sent = false;
        if (state == GST_WEBRTC_DATA_CHANNEL_STATE_OPEN) {
            GError* error = nullptr;
            sent = gst_webrtc_data_channel_send_string_full(channel, text.c_str(), &error);
            g_clear_error(&error);
        }
        g_object_unref(channel);
        return sent;
    }

    std::uint64_t bufferedAmount(const std::string& label) const override {
        guint64 amount = 0;
        if (auto* channel = channelOf(label)) {
            g_object_get(channel, "buffered-amount", &amount, nullptr);
            g_object_unref(channel);
        }
        return amount;
    }

    void pushFrame(const VideoFrameView& frame, std::chrono::nanoseconds) override {
        std::lock_guard lock(mFrameMutex);
        if (!mSource || !mPlaying || frame.width < 2 || frame.height < 2) {
            return;
        }
        auto now = std::chrono::steady_clock::now();
        if (mMaxFps > 0 && mLastFrame && now - *mLastFrame < std::chrono::microseconds(900'000 / mMaxFps)) {
            return; // faster than the profile's frame rate
        }
        mLastFrame = now;
        if (frame.width != mCapsWidth || frame.height != mCapsHeight) {
            mCapsWidth = frame.width;
            mCapsHeight = frame.height;
            GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "NV12", "width",
                                                G_TYPE_INT, frame.width, "height", G_TYPE_INT, frame.height,
                                                "framerate", GST_TYPE_FRACTION, 0, 1, nullptr);
            gst_app_src_set_caps(GST_APP_SRC(mSource), caps);
            gst_caps_unref(caps);
        }
        auto width = static_cast<std::size_t>(frame.width);
        auto height = static_cast<std::size_t>(frame.height);
        GstBuffer* buffer = gst_buffer_new_allocate(nullptr, width * height * 3 / 2, nullptr);
        GstMapInfo map;
        gst_buffer_map(buffer, &map, GST_MAP_WRITE);
        for (std::size_t row = 0; row < height; ++row) {
            std::memcpy(map.data + row * width,
                        frame.y.data() + row * static_cast<std::size_t>(frame.yStride), width);
        }
        for (std::size_t row = 0; row < height / 2; ++row) {
            std::memcpy(map.data + width * height + row * width,
                        frame.uv.data() + row * static_cast<std::size_t>(frame.uvStride), width);
        }
        gst_buffer_unmap(buffer, &map);
        if (GstClock* clock = gst_element_get_clock(mPipeline)) {
            GST_BUFFER_PTS(buffer) = gst_clock_get_time(clock) - gst_element_get_base_time(mPipeline);
            gst_object_unref(clock);
        }
        gst_app_src_push_buffer(GST_APP_SRC(mSource), buffer);
    }

    void adaptOutputFormat(int width, int height, int fps) override {
        if (!mSize) {
            return;
        }
        GstCaps* caps = gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, width, "height", G_TYPE_INT,
                                            height, nullptr);
        g_object_set(mSize, "caps", caps, nullptr);
        gst_caps_unref(caps);
        std::lock_guard lock(mFrameMutex);
        mMaxFps = fps;
    }

    std::optional<SenderParameters> videoSenderParameters() const override {
        if (!mEncoder) {
            return std::nullopt;
        }
        return mParameters;
    }

    void setVideoSenderParameters(const SenderParameters& parameters) override {
        if (!mEncoder) {
            return;
        }
        mParameters = parameters;
        // The encoder's bitrate in kbit/s; the window's top is what the path can carry.
        g_object_set(mEncoder, "bitrate", static_cast<guint>(std::max(100, parameters.maxBitrateBps / 1000)),
                     nullptr);
        std::lock_guard lock(mFrameMutex);
        if (parameters.maxFramerate > 0) {
            mMaxFps = parameters.maxFramerate;
        }
    }

    void createOffer(bool iceRestart,
                     std::function<void(std::variant<std::string, std::string>)> done) override {
        if (!mWebrtc) {
            post([done] { done(std::variant<std::string, std::string>(std::in_place_index<1>, "closed")); });
            return;
        }
        play();
        GstPromise* promise = promiseTo(mShared, [this, iceRestart, done](Shared&, GstStructure* reply) {
            GstWebRTCSessionDescription* offer = nullptr;
            if (!reply ||
                !gst_structure_get(reply, "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer, nullptr)) {
                done(std::variant<std::string, std::string>(std::in_place_index<1>,
                                                            replyError(reply).value_or("no offer")));
                return;
            }
            gchar* text = gst_sdp_message_as_text(offer->sdp);
            std::string sdp = text;
            g_free(text);
            gst_webrtc_session_description_free(offer);
            if (iceRestart) {
                sdp = restartIce(sdp);
            }
            done(std::variant<std::string, std::string>(std::in_place_index<0>, sdp));
        });
        g_signal_emit_by_name(mWebrtc, "create-offer", nullptr, promise);
    }

    void setLocalOffer(const std::string& sdp, Completion done) override {
        {
            // Candidates start coming as soon as webrtcbin has it: their mids must be known by then.
            std::lock_guard lock(mShared->mutex);
            mShared->localMids = midsOf(sdp);
        }
        setDescription(sdp, GST_WEBRTC_SDP_TYPE_OFFER, "set-local-description", [this, done](auto error) {
            std::vector<IceCandidate> again;
            if (!error && mResendCandidates) {
                std::lock_guard lock(mShared->mutex);
                again = mShared->localCandidates;
            }
            mResendCandidates = false;
            done(error);
            // libnice does not gather again after a restart: once the offer is out, the peer hears
            // the same candidates under the new credentials.
            if (mShared->events.localCandidate) {
                for (const auto& candidate : again) {
                    mShared->events.localCandidate(candidate);
                }
            }
        });
    }

    void setRemoteAnswer(const std::string& sdp, Completion done) override {
        setDescription(sdp, GST_WEBRTC_SDP_TYPE_ANSWER, "set-remote-description",
                       [this, sdp, done](auto error) {
                           if (!error) {
                               mRemote = sdp;
                           }
                           done(error);
                       });
    }

    std::string remoteDescription() const override { return mRemote; }

    void addRemoteCandidate(const IceCandidate& candidate, Completion done) override {
        if (!mWebrtc) {
            post([done] { done(std::string("closed")); });
            return;
        }
        if (!candidate.line.empty()) {
            g_signal_emit_by_name(mWebrtc, "add-ice-candidate", static_cast<guint>(candidate.mLineIndex),
                                  candidate.line.c_str());
        }
        post([done] { done(std::nullopt); });
    }

    void getStats(std::function<void(const StatsReport&)> done) override {
        if (!mWebrtc) {
            post([done] { done({}); });
            return;
        }
        GstPromise* promise = promiseTo(mShared, [done, encoded = mEncoded](Shared&, GstStructure* reply) {
            auto report = reportOf(reply);
            encoded->addTo(report);
            done(report);
        });
        g_signal_emit_by_name(mWebrtc, "get-stats", nullptr, promise);
    }

    void close() override {
        if (!mPipeline) {
            return;
        }
        mShared->closed = true;
        {
            std::lock_guard lock(mFrameMutex);
            mPlaying = false;
        }
        std::map<std::string, GstWebRTCDataChannel*> channels;
        {
            std::lock_guard lock(mChannelMutex);
            channels = std::exchange(mChannels, {});
        }
        for (auto& [label, channel] : channels) {
            g_signal_handlers_disconnect_matched(channel, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr,
                                                 nullptr);
            g_object_unref(channel);
        }
        gst_element_set_state(mPipeline, GST_STATE_NULL);
        for (GstElement** element : {&mWebrtc, &mSource, &mEncoder, &mSize}) {
            if (*element) {
                gst_object_unref(*element);
                *element = nullptr;
            }
        }
        gst_object_unref(mPipeline);
        mPipeline = nullptr;
    }

private:
    void post(std::function<void()> fn) {
        mShared->post([fn = std::move(fn)](Shared&) { fn(); });
    }

    void build(const PeerConfiguration& configuration) {
        std::string description =
            "appsrc name=source is-live=true format=time max-buffers=2 leaky-type=downstream "
            "caps=video/x-raw,format=NV12,width=16,height=16,framerate=0/1 ! videoscale ! "
            "capsfilter name=size ! " +
            GstWebRTCEngine::videoEncoder().element +
            " name=encoder ! video/x-h264,profile=constrained-baseline ! "
            "rtph264pay config-interval=-1 aggregate-mode=zero-latency ! queue max-size-time=100000000 "
            "leaky=downstream ! " +
            std::string(rtpCaps) + " ! webrtcbin name=webrtc bundle-policy=max-bundle";
        GError* error = nullptr;
        mPipeline = gst_parse_launch(description.c_str(), &error);
        if (error || !mPipeline) {
            Log::shared().info(std::string("❌ WebRTC: cannot build the pipeline: ") +
                               (error ? error->message : "unknown error"));
            g_clear_error(&error);
            if (mPipeline) {
                gst_object_unref(mPipeline);
                mPipeline = nullptr;
            }
            return;
        }
        mWebrtc = gst_bin_get_by_name(GST_BIN(mPipeline), "webrtc");
        mSource = gst_bin_get_by_name(GST_BIN(mPipeline), "source");
        mEncoder = gst_bin_get_by_name(GST_BIN(mPipeline), "encoder");
        mSize = gst_bin_get_by_name(GST_BIN(mPipeline), "size");
        for (const auto& [property, value] : GstWebRTCEngine::videoEncoder().settings) {
            if (g_object_class_find_property(G_OBJECT_GET_CLASS(mEncoder), property.c_str())) {
                gst_util_set_object_arg(G_OBJECT(mEncoder), property.c_str(), value.c_str());
            }
        }
        g_object_set(mEncoder, "bitrate", 8000u, nullptr); // kbit/s, every encoder of the list
        GstPad* encoded = gst_element_get_static_pad(mEncoder, "src");
        gst_pad_add_probe(
            encoded,
            static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
            +[](GstPad*, GstPadProbeInfo* info, gpointer data) {
                auto& counters = **static_cast<std::shared_ptr<EncoderCounters>*>(data);
                if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) {
                    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
                    ++counters.frames;
                    if (!GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT)) {
                        ++counters.keyframes;
                    }
                } else if (GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
                           GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
                    GstCaps* caps = nullptr;
                    gst_event_parse_caps(event, &caps);
                    int width = 0;
                    int height = 0;
                    const GstStructure* format = caps ? gst_caps_get_structure(caps, 0) : nullptr;
                    if (format && gst_structure_get_int(format, "width", &width) &&
                        gst_structure_get_int(format, "height", &height)) {
                        counters.width = width;
                        counters.height = height;
                    }
                }
                return GST_PAD_PROBE_OK;
            },
            new std::shared_ptr<EncoderCounters>(mEncoded),
            [](gpointer data) { delete static_cast<std::shared_ptr<EncoderCounters>*>(data); });
        gst_object_unref(encoded);
        configureIce(configuration);

        auto connect = [&](const char* signal, GCallback callback) {
            g_signal_connect_data(mWebrtc, signal, callback, new Tag{mShared, {}}, freeTag, GConnectFlags{});
        };
        connect("on-ice-candidate", signalHandler(+[](GstElement*, guint mline, gchar* line, gpointer data) {
                    auto shared = static_cast<Tag*>(data)->shared.lock();
                    if (!shared || !line) {
                        return;
                    }
                    IceCandidate candidate{line, std::nullopt, static_cast<int>(mline)};
                    {
                        std::lock_guard lock(shared->mutex);
                        if (mline < shared->localMids.size() && !shared->localMids[mline].empty()) {
                            candidate.mid = shared->localMids[mline];
                        }
                        shared->localCandidates.push_back(candidate);
                    }
                    shared->post([candidate](Shared& s) {
                        if (s.events.localCandidate) {
                            s.events.localCandidate(candidate);
                        }
                    });
                }));
        connect("notify::ice-connection-state",
                signalHandler(+[](GstElement* webrtc, GParamSpec*, gpointer data) {
                    GstWebRTCICEConnectionState state{};
                    g_object_get(webrtc, "ice-connection-state", &state, nullptr);
                    if (auto shared = static_cast<Tag*>(data)->shared.lock()) {
                        shared->post([state](Shared& s) {
                            if (s.events.iceConnectionState) {
                                s.events.iceConnectionState(static_cast<IceConnectionState>(state));
                            }
                        });
                    }
                }));

        GstBus* bus = gst_element_get_bus(mPipeline);
        gst_bus_set_sync_handler(
            bus,
            [](GstBus*, GstMessage* message, gpointer) -> GstBusSyncReply {
                if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
                    GError* problem = nullptr;
                    gst_message_parse_error(message, &problem, nullptr);
                    Log::shared().info(std::string("❌ WebRTC pipeline: ") + GST_OBJECT_NAME(message->src) +
                                       ": " + (problem ? problem->message : "error"));
                    g_clear_error(&problem);
                }
                return GST_BUS_DROP;
            },
            nullptr, nullptr);
        gst_object_unref(bus);

        // Data channels can only be made before the pipeline plays; the video goes one way.
        gst_element_set_state(mPipeline, GST_STATE_READY);
        GstWebRTCRTPTransceiver* transceiver = nullptr;
        g_signal_emit_by_name(mWebrtc, "get-transceiver", 0, &transceiver);
        if (transceiver) {
            GstCaps* caps = gst_caps_from_string(rtpCaps);
            g_object_set(transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY,
                         "codec-preferences", caps, nullptr);
            gst_caps_unref(caps);
            gst_object_unref(transceiver);
        }
        mParameters = SenderParameters{8'000'000, 0, 0, 1.0, 3};
    }

    void configureIce(const PeerConfiguration& configuration) {
        for (const auto& server : configuration.iceServers) {
            for (const auto& url : server.urls) {
                auto colon = url.find(':');
                if (colon == std::string::npos) {
                    continue;
                }
                auto scheme = url.substr(0, colon);
                auto rest = url.substr(colon + 1);
                if (scheme == "stun") {
                    g_object_set(mWebrtc, "stun-server", ("stun://" + rest).c_str(), nullptr);
                } else if (scheme == "turn" || scheme == "turns") {
                    auto escape = [](const std::string& s) {
                        gchar* escaped = g_uri_escape_string(s.c_str(), nullptr, FALSE);
                        std::string out = escaped;
                        g_free(escaped);
                        return out;
                    };
                    auto uri = scheme + "://" + escape(server.username) + ":" + escape(server.credential) +
                               "@" + rest;
                    gboolean added = FALSE;
                    g_signal_emit_by_name(mWebrtc, "add-turn-server", uri.c_str(), &added);
                }
            }
        }
        if (configuration.relayOnly) {
            g_object_set(mWebrtc, "ice-transport-policy", GST_WEBRTC_ICE_TRANSPORT_POLICY_RELAY, nullptr);
        }
        if (NiceAgent* agent = niceAgent()) {
            // libnice asks any UPnP router on the network to forward ports to each candidate it
            // gathers; a remote-access host has no business opening its owner's router. STUN and
            // the relay get through NATs without it.
            g_object_set(agent, "upnp", FALSE, nullptr);
            if (configuration.loopbackCandidates) {
                NiceAddress address;
                nice_address_init(&address);
                nice_address_set_from_string(&address, "127.0.0.1");
                nice_agent_add_local_address(agent, &address);
            }
            g_object_unref(agent);
        }
    }

    NiceAgent* niceAgent() const {
        GObject* ice = nullptr;
        g_object_get(mWebrtc, "ice-agent", &ice, nullptr);
        if (!ice) {
            return nullptr;
        }
        NiceAgent* agent = nullptr;
        g_object_get(ice, "agent", &agent, nullptr);
        g_object_unref(ice);
        return agent;
    }

    // webrtcbin 1.22 ignores the offer's ice-restart option: restart the agent's stream and give
    // the offer new credentials, which the local description hands to the agent.
    std::string restartIce(const std::string& sdp) {
        GstWebRTCSCTPTransport* sctp = nullptr;
        g_object_get(mWebrtc, "sctp-transport", &sctp, nullptr);
        guint streamId = 1;
        if (sctp) {
            GstWebRTCDTLSTransport* dtls = nullptr;
            g_object_get(sctp, "transport", &dtls, nullptr);
            if (dtls) {
                GstWebRTCICETransport* transport = nullptr;
                g_object_get(dtls, "transport", &transport, nullptr);
                if (transport) {
                    GstWebRTCICEStream* stream = nullptr;
                    g_object_get(transport, "stream", &stream, nullptr);
                    if (stream) {
                        streamId = stream->stream_id;
                        gst_object_unref(stream);
                    }
                    gst_object_unref(transport);
                }
                gst_object_unref(dtls);
            }
            gst_object_unref(sctp);
        }
        if (NiceAgent* agent = niceAgent()) {
            nice_agent_restart_stream(agent, streamId);
            g_object_unref(agent);
        }
        auto ufrag = sdpAttribute(sdp, "ice-ufrag");
        auto password = sdpAttribute(sdp, "ice-pwd");
        mResendCandidates = true;
        return replaceAll(replaceAll(sdp, "a=ice-ufrag:" + ufrag, "a=ice-ufrag:" + iceToken(16)),
                          "a=ice-pwd:" + password, "a=ice-pwd:" + iceToken(32));
    }

    void setDescription(const std::string& sdp, GstWebRTCSDPType type, const char* signal,
                        std::function<void(std::optional<std::string>)> done) {
        if (!mWebrtc) {
            post([done] { done(std::string("closed")); });
            return;
        }
        GstSDPMessage* message = nullptr;
        gst_sdp_message_new_from_text(sdp.c_str(), &message);
        if (!message) {
            post([done] { done(std::string("the SDP cannot be read")); });
            return;
        }
        GstWebRTCSessionDescription* description = gst_webrtc_session_description_new(type, message);
        GstPromise* promise =
            promiseTo(mShared, [done](Shared&, GstStructure* reply) { done(replyError(reply)); });
        g_signal_emit_by_name(mWebrtc, signal, description, promise);
        gst_webrtc_session_description_free(description);
    }

    // A reference to the channel, or null; the caller unrefs it.
    GstWebRTCDataChannel* channelOf(const std::string& label) const {
        std::lock_guard lock(mChannelMutex);
        auto it = mChannels.find(label);
        return it == mChannels.end() ? nullptr : GST_WEBRTC_DATA_CHANNEL(g_object_ref(it->second));
    }

    void play() {
        std::lock_guard lock(mFrameMutex);
        if (!mPlaying && mPipeline) {
            gst_element_set_state(mPipeline, GST_STATE_PLAYING);
            mPlaying = true;
        }
    }

    std::shared_ptr<Shared> mShared;
    std::shared_ptr<EncoderCounters> mEncoded = std::make_shared<EncoderCounters>();
    GstElement* mPipeline = nullptr;
    GstElement* mWebrtc = nullptr;
    GstElement* mSource = nullptr;
    GstElement* mEncoder = nullptr;
    GstElement* mSize = nullptr;
    // Terminal output reaches the channels from a reading thread.
    mutable std::mutex mChannelMutex; // guards mChannels
    std::map<std::string, GstWebRTCDataChannel*> mChannels;
    SenderParameters mParameters;
    std::string mRemote;
    bool mResendCandidates = false;

    std::mutex mFrameMutex; // guards the fields below: frames come from the capture thread
    bool mPlaying = false;
    int mCapsWidth = 0;
    int mCapsHeight = 0;
    int mMaxFps = 0;
    std::optional<std::chrono::steady_clock::time_point> mLastFrame;
};

} // namespace

GstWebRTCEngine::GstWebRTCEngine(HostLoop& loop) : mLoop(loop) {
    initGstreamer();
}

const H264Encoder& GstWebRTCEngine::videoEncoder() {
    static const H264Encoder& chosen = []() -> const H264Encoder& {
        initGstreamer();
        // An element that exists may still lack its device: it must open, which it does by READY.
        const auto& encoder = chooseH264Encoder([](const H264Encoder& candidate) {
            GstElement* element = gst_element_factory_make(candidate.element.c_str(), nullptr);
            if (!element) {
                return false;
            }
            gst_object_ref_sink(element);
            bool opens = gst_element_set_state(element, GST_STATE_READY) != GST_STATE_CHANGE_FAILURE;
            gst_element_set_state(element, GST_STATE_NULL);
            gst_object_unref(element);
            return opens;
        });
        Log::shared().info("🎥 PELORN H.264 encoder: " + encoder.name + " (" +
                           (encoder.hardware ? "hardware" : "software") + ", " + encoder.element + ")");
        return encoder;
    }();
    return chosen;
}

std::optional<std::string> GstWebRTCEngine::missingElements() {
    initGstreamer();
    std::string missing;
    for (const char* name : {"appsrc", "videoscale", "x264enc", "rtph264pay", "webrtcbin", "nicesrc"}) {
        if (GstElementFactory* factory = gst_element_factory_find(name)) {
            gst_object_unref(factory);
        } else {
            missing += missing.empty() ? name : std::string(", ") + name;
        }
    }
    if (missing.empty()) {
        return std::nullopt;
    }
    return "GStreamer lacks " + missing;
}

std::vector<VideoCodec> GstWebRTCEngine::supportedVideoCodecs() const {
    if (missingElements()) {
        return {};
    }
    videoEncoder(); // chosen (and said) when the host starts, not in its first session
    return {VideoCodec{"H264", {{"profile-level-id", h264Profile}, {"packetization-mode", "1"}}}};
}

// The pipeline offers one codec, so there is nothing to choose between.
void GstWebRTCEngine::setPreferredVideoCodec(const VideoCodec&) {
}

std::unique_ptr<PeerConnection> GstWebRTCEngine::createPeerConnection(const PeerConfiguration& configuration,
                                                                      PeerConnection::Events events) {
    return std::make_unique<GstPeerConnection>(mLoop, configuration, std::move(events));
}

} // namespace pelorn
