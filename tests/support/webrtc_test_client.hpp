#pragma once

// The companion client's side of a WebRTC session, on a webrtcbin of its own: it answers the
// host's offer, decodes the H.264 track (counting frames), and talks on the data channels the host
// opens. Its events arrive on webrtcbin's threads and wait in queues the test reads.
#define GST_USE_UNSTABLE_API
#include <atomic>
#include <deque>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>
#include <map>
#include <mutex>
#include <nice/agent.h>
#include <optional>
#include <string>
#include <vector>

namespace pelorn::test {

template <typename Function> GCallback clientHandler(Function* function) {
    return reinterpret_cast<GCallback>(function);
}

class WebRTCTestClient {
public:
    struct Candidate {
        int mLineIndex;
        std::string line;
    };

    WebRTCTestClient() {
        gst_init(nullptr, nullptr);
        mPipeline = gst_pipeline_new("client");
        mWebrtc = gst_element_factory_make("webrtcbin", "webrtc");
        gst_util_set_object_arg(G_OBJECT(mWebrtc), "bundle-policy", "max-bundle");
        gst_bin_add(GST_BIN(mPipeline), GST_ELEMENT(gst_object_ref(mWebrtc)));
        // Loopback is where the host is (the test runs in a namespace with nothing else).
        GObject* ice = nullptr;
        g_object_get(mWebrtc, "ice-agent", &ice, nullptr);
        NiceAgent* agent = nullptr;
        g_object_get(ice, "agent", &agent, nullptr);
        NiceAddress address;
        nice_address_init(&address);
        nice_address_set_from_string(&address, "127.0.0.1");
        nice_agent_add_local_address(agent, &address);
        g_object_unref(agent);
        g_object_unref(ice);

        g_signal_connect(mWebrtc, "on-ice-candidate",
                         clientHandler(+[](GstElement*, guint index, gchar* line, gpointer self) {
                             auto* client = static_cast<WebRTCTestClient*>(self);
                             std::lock_guard lock(client->mMutex);
                             client->mCandidates.push_back({static_cast<int>(index), line});
                         }),
                         this);
        g_signal_connect(mWebrtc, "on-data-channel",
                         clientHandler(+[](GstElement*, GstWebRTCDataChannel* channel, gpointer self) {
                             auto* client = static_cast<WebRTCTestClient*>(self);
                             gchar* label = nullptr;
                             g_object_get(channel, "label", &label, nullptr);
                             {
                                 std::lock_guard lock(client->mMutex);
                                 client->mChannels[label] = GST_WEBRTC_DATA_CHANNEL(g_object_ref(channel));
                             }
                             g_free(label);
                             g_signal_connect(
                                 channel, "on-message-string",
                                 clientHandler(+[](GstWebRTCDataChannel* c, gchar* text, gpointer data) {
                                     auto* me = static_cast<WebRTCTestClient*>(data);
                                     gchar* name = nullptr;
                                     g_object_get(c, "label", &name, nullptr);
                                     std::lock_guard lock(me->mMutex);
                                     me->mMessages.push_back(std::string(name) + " " + text);
                                     g_free(name);
                                 }),
                                 client);
                         }),
                         this);
        g_signal_connect(
            mWebrtc, "pad-added", clientHandler(+[](GstElement*, GstPad* pad, gpointer self) {
                auto* client = static_cast<WebRTCTestClient*>(self);
                if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC) {
                    return;
                }
                GstElement* decode =
                    gst_parse_bin_from_description("rtph264depay ! h264parse name=parser ! avdec_h264 ! "
                                                   "appsink name=frames emit-signals=true "
                                                   "sync=false",
                                                   TRUE, nullptr);
                gst_bin_add(GST_BIN(client->mPipeline), decode);
                gst_element_sync_state_with_parent(decode);
                GstPad* sink = gst_element_get_static_pad(decode, "sink");
                gst_pad_link(pad, sink);
                client->mDecodeSink = sink;
                // Keyframes are counted as they leave the parser, which flags every other frame.
                GstElement* parser = gst_bin_get_by_name(GST_BIN(decode), "parser");
                GstPad* parsed = gst_element_get_static_pad(parser, "src");
                gst_pad_add_probe(
                    parsed, GST_PAD_PROBE_TYPE_BUFFER,
                    +[](GstPad*, GstPadProbeInfo* info, gpointer data) {
                        if (!GST_BUFFER_FLAG_IS_SET(GST_PAD_PROBE_INFO_BUFFER(info),
                                                    GST_BUFFER_FLAG_DELTA_UNIT)) {
                            ++static_cast<WebRTCTestClient*>(data)->mKeyframes;
                        }
                        return GST_PAD_PROBE_OK;
                    },
                    client, nullptr);
                gst_object_unref(parsed);
                gst_object_unref(parser);
                GstElement* frames = gst_bin_get_by_name(GST_BIN(decode), "frames");
                g_signal_connect(frames, "new-sample", clientHandler(+[](GstElement* s, gpointer data) {
                                     auto* me = static_cast<WebRTCTestClient*>(data);
                                     GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(s));
                                     if (sample) {
                                         GstStructure* caps =
                                             gst_caps_get_structure(gst_sample_get_caps(sample), 0);
                                         int width = 0;
                                         int height = 0;
                                         gst_structure_get_int(caps, "width", &width);
                                         gst_structure_get_int(caps, "height", &height);
                                         me->mWidth = width;
                                         me->mHeight = height;
                                         gst_sample_unref(sample);
                                     }
                                     ++me->mDecoded;
                                     return GST_FLOW_OK;
                                 }),
                                 client);
                gst_object_unref(frames);
            }),
            this);
        gst_element_set_state(mPipeline, GST_STATE_PLAYING);
    }

    ~WebRTCTestClient() {
        gst_element_set_state(mPipeline, GST_STATE_NULL);
        if (mDecodeSink) {
            gst_object_unref(mDecodeSink);
        }
        for (auto& [label, channel] : mChannels) {
            g_object_unref(channel);
        }
        gst_object_unref(mWebrtc);
        gst_object_unref(mPipeline);
    }

    // The answer to the host's offer (blocks until webrtcbin made it).
    std::string answer(const std::string& offer) {
        GstSDPMessage* message = nullptr;
        gst_sdp_message_new_from_text(offer.c_str(), &message);
        auto* description = gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, message);
        GstPromise* set = gst_promise_new();
        g_signal_emit_by_name(mWebrtc, "set-remote-description", description, set);
        gst_promise_wait(set);
        gst_promise_unref(set);
        gst_webrtc_session_description_free(description);

        GstPromise* made = gst_promise_new();
        g_signal_emit_by_name(mWebrtc, "create-answer", nullptr, made);
        gst_promise_wait(made);
        GstWebRTCSessionDescription* answer = nullptr;
        if (const GstStructure* reply = gst_promise_get_reply(made)) {
            gst_structure_get(reply, "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &answer, nullptr);
        }
        gst_promise_unref(made);
        if (!answer) {
            return {};
        }
        GstPromise* local = gst_promise_new();
        g_signal_emit_by_name(mWebrtc, "set-local-description", answer, local);
        gst_promise_wait(local);
        gst_promise_unref(local);
        gchar* text = gst_sdp_message_as_text(answer->sdp);
        std::string sdp = text;
        g_free(text);
        gst_webrtc_session_description_free(answer);
        return sdp;
    }

    void addCandidate(int mLineIndex, const std::string& line) {
        g_signal_emit_by_name(mWebrtc, "add-ice-candidate", static_cast<guint>(mLineIndex), line.c_str());
    }

    std::vector<Candidate> takeCandidates() {
        std::lock_guard lock(mMutex);
        std::vector<Candidate> out(mCandidates.begin(), mCandidates.end());
        mCandidates.clear();
        return out;
    }
    std::vector<std::string> messages() {
        std::lock_guard lock(mMutex);
        return mMessages;
    }
    bool send(const std::string& label, const std::string& text) {
        std::lock_guard lock(mMutex);
        auto it = mChannels.find(label);
        return it != mChannels.end() &&
               gst_webrtc_data_channel_send_string_full(it->second, text.c_str(), nullptr);
    }
    bool hasChannel(const std::string& label) {
        std::lock_guard lock(mMutex);
        return mChannels.count(label) != 0;
    }
    int decodedFrames() const { return mDecoded; }
    int keyframes() const { return mKeyframes; }
    // Asks the host for a keyframe as a decoder that lost its picture does: webrtcbin's RTP
    // session turns the request into an RTCP picture loss indication. False before the track.
    bool requestKeyframe() {
        GstPad* sink = mDecodeSink;
        return sink && gst_pad_push_event(
                           sink, gst_event_new_custom(GST_EVENT_CUSTOM_UPSTREAM,
                                                      gst_structure_new("GstForceKeyUnit", "running-time",
                                                                        G_TYPE_UINT64, GST_CLOCK_TIME_NONE,
                                                                        "all-headers", G_TYPE_BOOLEAN, FALSE,
                                                                        "count", G_TYPE_UINT, 0u, nullptr)));
    }
    int width() const { return mWidth; }
    int height() const { return mHeight; }

private:
    GstElement* mPipeline = nullptr;
    GstElement* mWebrtc = nullptr;
    std::mutex mMutex; // guards the containers below: webrtcbin's threads fill them
    std::deque<Candidate> mCandidates;
    std::map<std::string, GstWebRTCDataChannel*> mChannels;
    std::vector<std::string> mMessages;
    std::atomic<int> mDecoded{0};
    std::atomic<int> mKeyframes{0};
    std::atomic<GstPad*> mDecodeSink{nullptr};
    std::atomic<int> mWidth{0};
    std::atomic<int> mHeight{0};
};

} // namespace pelorn::test
