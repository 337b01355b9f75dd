// The WebRTC peer on its real engine, in a network namespace of its own with only loopback:
//   1. connect time: startStream → ICE connected → the first frame decoded by a webrtcbin client,
//      over RUNS sessions (p50, max);
//   2. the host's CPU for the H.264 track at 1080p30 and 1080p60 of moving content (frames pushed
//      with no client attached, so only the host's scaling, encoding and packetising count),
//      beside the reference of making the same frames without pushing them, and beside libx264
//      through libavcodec (the LAN encoder layer's software end) encoding the same frames with the
//      same settings: the other way the track could be encoded.
// Usage: webrtc_bench [RUNS [SECONDS]]   (default 10 runs, 10 s per rate); needs root.
#include "support/webrtc_session.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono;

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// startStream → first decoded frame, in milliseconds; negative when it never came.
double connectOnce(double& connectedMs) {
    WebRTCSession session;
    MovingPicture picture(1280, 720);
    auto start = steady_clock::now();
    session.manager.startStream();
    session.manager.startScreen();
    connectedMs = -1;
    bool done = pumpUntil(
        session.loop,
        [&] {
            session.step(picture);
            if (connectedMs < 0 && session.lines.contains("🧊 ICE state: 3")) {
                connectedMs = duration<double, std::milli>(steady_clock::now() - start).count();
            }
            std::this_thread::sleep_for(2ms);
            return session.client.decodedFrames() > 0;
        },
        seconds(20));
    double ms = duration<double, std::milli>(steady_clock::now() - start).count();
    session.manager.stopStream();
    return done ? ms : -1;
}

// Cores used while pushing `fps` frames a second of 1080p for `seconds`.
double encodeCost(int fps, int seconds, bool push) {
    WebRTCSession session; // its client never answers: only the host's side of the track counts
    auto& manager = session.manager;
    manager.startStream();
    session.loop.runPending();
    manager.startScreen();
    manager.applyProfile(VideoQualityProfile::direct, "bench");
    MovingPicture picture(1920, 1080);
    auto interval = microseconds(1'000'000 / fps);
    auto begin = steady_clock::now();
    double cpuBefore = cpuSeconds();
    auto next = begin;
    while (steady_clock::now() - begin < std::chrono::seconds(seconds)) {
        auto frame = picture.next();
        if (push) {
            session.capture(frame, 0ns);
        }
        session.loop.runPending();
        next += interval;
        std::this_thread::sleep_until(next);
    }
    double cores = (cpuSeconds() - cpuBefore) / duration<double>(steady_clock::now() - begin).count();
    manager.stopStream();
    return cores;
}

// Cores used by libx264 through libavcodec encoding `fps` frames a second of the same 1080p
// content for `seconds`, at the direct path's bitrate, ultrafast, zero latency, baseline.
double libavcodecCost(int fps, int seconds) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) {
        return -1;
    }
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->width = 1920;
    context->height = 1080;
    context->time_base = {1, fps};
    context->framerate = {fps, 1};
    context->pix_fmt = AV_PIX_FMT_NV12;
    context->bit_rate = VideoQualityProfile::direct.maxBitrateBps;
    context->gop_size = 120;
    context->max_b_frames = 0;
    av_opt_set(context->priv_data, "preset", "ultrafast", 0);
    av_opt_set(context->priv_data, "tune", "zerolatency", 0);
    av_opt_set(context->priv_data, "profile", "baseline", 0);
    if (avcodec_open2(context, codec, nullptr) < 0) {
        avcodec_free_context(&context);
        return -1;
    }
    AVFrame* frame = av_frame_alloc();
    frame->format = AV_PIX_FMT_NV12;
    frame->width = 1920;
    frame->height = 1080;
    av_frame_get_buffer(frame, 32);
    AVPacket* packet = av_packet_alloc();
    MovingPicture picture(1920, 1080);
    auto interval = microseconds(1'000'000 / fps);
    auto begin = steady_clock::now();
    double cpuBefore = cpuSeconds();
    auto next = begin;
    for (std::int64_t i = 0; steady_clock::now() - begin < std::chrono::seconds(seconds); ++i) {
        auto view = picture.next();
        av_frame_make_writable(frame);
        for (int row = 0; row < 1080; ++row) {
            std::memcpy(frame->data[0] + row * frame->linesize[0], view.y.data() + row * view.yStride, 1920);
        }
        for (int row = 0; row < 540; ++row) {
            std::memcpy(frame->data[1] + row * frame->linesize[1], view.uv.data() + row * view.uvStride,
                        1920);
        }
        frame->pts = i;
        avcodec_send_frame(context, frame);
        while (avcodec_receive_packet(context, packet) == 0) {
            av_packet_unref(packet);
        }
        next += interval;
        std::this_thread::sleep_until(next);
    }
    double cores = (cpuSeconds() - cpuBefore) / duration<double>(steady_clock::now() - begin).count();
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&context);
    return cores;
}

} // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::atoi(argv[1]) : 10;
    int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
    if (auto why = enterPrivateNetwork(); !why.empty()) {
        std::fprintf(stderr, "webrtc_bench: %s\n", why.c_str());
        return 1;
    }
    if (auto missing = GstWebRTCEngine::missingElements()) {
        std::fprintf(stderr, "webrtc_bench: %s\n", missing->c_str());
        return 1;
    }
    std::vector<double> connect;
    std::vector<double> ice;
    for (int i = 0; i < runs; ++i) {
        double connectedMs = -1;
        double ms = connectOnce(connectedMs);
        if (ms < 0) {
            std::fprintf(stderr, "webrtc_bench: run %d never decoded a frame\n", i);
            return 1;
        }
        connect.push_back(ms);
        ice.push_back(connectedMs);
    }
    std::sort(connect.begin(), connect.end());
    std::sort(ice.begin(), ice.end());
    std::printf("startStream -> ICE completed:          p50 %6.1f ms  max %6.1f ms  (%d runs)\n",
                ice[ice.size() / 2], ice.back(), runs);
    std::printf(
        "startStream -> first frame decoded:    p50 %6.1f ms  max %6.1f ms  (%d runs, aim < 1000 ms)\n",
        connect[connect.size() / 2], connect.back(), runs);
    for (int fps : {30, 60}) {
        double reference = encodeCost(fps, seconds, false);
        double cost = encodeCost(fps, seconds, true);
        double libavcodec = libavcodecCost(fps, seconds);
        std::printf("1080p%d moving content: %.2f cores (making the frames alone: %.2f; the track: %.2f; "
                    "libx264 through libavcodec instead: %.2f)\n",
                    fps, cost, reference, cost - reference, libavcodec - reference);
    }
    return 0;
}
