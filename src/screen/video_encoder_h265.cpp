#include "screen/video_encoder_h265.hpp"

#include "core/log.hpp"
#include "screen/hevc_nal.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
}
#include <algorithm>
#include <cstdarg>
#include <libyuv/convert.h>
#include <libyuv/convert_from_argb.h>

namespace pelorn {

namespace {

// A failed session is tried again with a later frame, but not more than once in this time: each
// attempt walks the whole encoder list.
constexpr auto createRetryPause = std::chrono::seconds(1);

std::string averror(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// libavcodec talks on stderr by default; its words go to the debug log instead.
void routeLibavLog() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_callback([](void*, int level, const char* format, va_list args) {
            if (level > AV_LOG_WARNING) {
                return;
            }
            char line[512];
            std::vsnprintf(line, sizeof line, format, args);
            std::string text(line);
            while (!text.empty() && text.back() == '\n') {
                text.pop_back();
            }
            Log::shared().debug("libav", text);
        });
    });
}

bool supports(const AVCodec* codec, AVPixelFormat format) {
    for (const AVPixelFormat* p = codec->pix_fmts; p && *p != AV_PIX_FMT_NONE; ++p) {
        if (*p == format) {
            return true;
        }
    }
    return false;
}

} // namespace

// One open libavcodec encoder for one frame size.
class VideoEncoderH265::Session {
public:
    static std::variant<std::unique_ptr<Session>, int> open(const std::string& name, int width, int height,
                                                            RateControl rateControl) {
        const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
        if (!codec) {
            return AVERROR_ENCODER_NOT_FOUND;
        }
        auto session = std::unique_ptr<Session>(new Session());
        session->mInfo = {name, name != "libx265", false, width, height};
        AVCodecContext* c = session->mContext = avcodec_alloc_context3(codec);
        c->width = width;
        c->height = height;
        // Timestamps are the capture's nanoseconds, passed through; the rate is what rate control plans for.
        c->time_base = {1, 1'000'000'000};
        c->framerate = {fps, 1};
        c->bit_rate = bitrate;
        c->gop_size = maxKeyframeInterval;
        c->max_b_frames = 0;
        c->colorspace = AVCOL_SPC_SMPTE170M; // libyuv's conversion: BT.601, limited range
        c->color_range = AVCOL_RANGE_MPEG;
        c->flags |= AV_CODEC_FLAG_LOW_DELAY;
        void* options = c->priv_data;
        av_opt_set_int(options, "forced-idr", 1, 0);
        if (name == "libx265") {
            bool tenBit = supports(codec, AV_PIX_FMT_YUV422P10LE);
            c->pix_fmt = tenBit ? AV_PIX_FMT_YUV422P10LE : AV_PIX_FMT_YUV420P;
            session->mInfo.main422_10 = tenBit;
            av_opt_set(options, "preset", "ultrafast", 0);
            av_opt_set(options, "tune", "zerolatency", 0);
            av_opt_set(options, "profile", tenBit ? "main422-10" : "main", 0);
            if (rateControl.constantQuality > 0) {
                av_opt_set_double(options, "crf", rateControl.constantQuality, 0);
                c->rc_max_rate = bitrate;
                c->rc_buffer_size = static_cast<int>(bitrate);
            }
            // open-gop=0 makes forced and periodic keyframes IDR pictures rather than CRA.
            av_opt_set(options, "x265-params",
                       "log-level=error:info=0:open-gop=0:bframes=0:"
                       "repeat-headers=1",
                       0);
        } else if (name == "hevc_nvenc") {
            c->pix_fmt = AV_PIX_FMT_YUV420P;
            av_opt_set(options, "preset", "p1", 0);
            av_opt_set(options, "tune", "ull", 0);
            av_opt_set(options, "rc", "cbr", 0);
            av_opt_set_int(options, "zerolatency", 1, 0);
            av_opt_set_int(options, "delay", 0, 0);
        } else if (name == "hevc_qsv") {
            c->pix_fmt = AV_PIX_FMT_NV12;
            av_opt_set_int(options, "async_depth", 1, 0);
            av_opt_set_int(options, "look_ahead", 0, 0);
        } else if (name == "hevc_vaapi") {
            c->pix_fmt = AV_PIX_FMT_VAAPI;
            av_opt_set(options, "rc_mode", "CBR", 0);
            av_opt_set_int(options, "async_depth", 1, 0);
            if (int error = session->openVaapiFrames(width, height); error < 0) {
                return error;
            }
        } else {
            c->pix_fmt = codec->pix_fmts ? codec->pix_fmts[0] : AV_PIX_FMT_YUV420P;
        }
        if (int error = avcodec_open2(c, codec, nullptr); error < 0) {
            return error;
        }
        session->mSoftware = av_frame_alloc();
        session->mSoftware->format = session->mUpload ? AV_PIX_FMT_NV12 : c->pix_fmt;
        session->mSoftware->width = width;
        session->mSoftware->height = height;
        if (int error = av_frame_get_buffer(session->mSoftware, 64); error < 0) {
            return error;
        }
        session->mPacket = av_packet_alloc();
        return session;
    }

    ~Session() {
        av_packet_free(&mPacket);
        av_frame_free(&mSoftware);
        avcodec_free_context(&mContext);
        av_buffer_unref(&mFrames);
        av_buffer_unref(&mDevice);
    }

    const SessionInfo& info() const { return mInfo; }
    std::int64_t effectiveBitrate() const { return mContext->bit_rate; }

    // Sends one frame (nothing: drain) and hands every packet that comes out to `onPacket`.
    template <typename OnPacket>
    void encode(const VideoFrame* frame, std::int64_t pts, bool keyframe, StageTimes* times,
                OnPacket&& onPacket) {
        AVFrame* input = nullptr;
        AVFrame* hardware = nullptr;
        if (frame) {
            if (av_frame_make_writable(mSoftware) < 0) {
                return;
            }
            {
                StageTimes::Scope timed(times, StageTimes::Stage::Convert);
                convert(*frame);
            }
            input = mSoftware;
            if (mUpload) {
                hardware = av_frame_alloc();
                if (av_hwframe_get_buffer(mFrames, hardware, 0) < 0 ||
                    av_hwframe_transfer_data(hardware, mSoftware, 0) < 0) {
                    av_frame_free(&hardware);
                    return;
                }
                input = hardware;
            }
            input->pts = pts;
            input->pict_type = keyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        }
        StageTimes::Scope timed(frame ? times : nullptr, StageTimes::Stage::Encode);
        int sent = avcodec_send_frame(mContext, input);
        av_frame_free(&hardware);
        if (sent < 0 && sent != AVERROR_EOF) {
            Log::shared().debug("encoder", "send_frame: " + averror(sent));
        }
        while (avcodec_receive_packet(mContext, mPacket) == 0) {
            onPacket(std::string_view(reinterpret_cast<const char*>(mPacket->data), mPacket->size),
                     (mPacket->flags & AV_PKT_FLAG_KEY) != 0, mPacket->pts);
            av_packet_unref(mPacket);
        }
    }

private:
    Session() = default;

    int openVaapiFrames(int width, int height) {
        if (int error = av_hwdevice_ctx_create(&mDevice, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0);
            error < 0) {
            return error;
        }
        mFrames = av_hwframe_ctx_alloc(mDevice);
        auto* frames = reinterpret_cast<AVHWFramesContext*>(mFrames->data);
        frames->format = AV_PIX_FMT_VAAPI;
        frames->sw_format = AV_PIX_FMT_NV12;
        frames->width = width;
        frames->height = height;
        frames->initial_pool_size = 4;
        if (int error = av_hwframe_ctx_init(mFrames); error < 0) {
            return error;
        }
        mContext->hw_frames_ctx = av_buffer_ref(mFrames);
        mUpload = true;
        return 0;
    }

    void convert(const VideoFrame& in) {
        AVFrame* f = mSoftware;
        const int w = in.width, h = in.height;
        switch (f->format) {
        case AV_PIX_FMT_YUV422P10LE: {
            // 8-bit 4:2:2 first, then widened to 10 bits (libyuv has no direct path), a strip of
            // rows at a time so the 8-bit rows are still in cache when they are widened.
            constexpr int strip = 16;
            int half = (w + 1) / 2;
            m8.resize(static_cast<std::size_t>(w + 2 * half) * strip);
            std::uint8_t* y = m8.data();
            std::uint8_t* u = y + static_cast<std::ptrdiff_t>(w) * strip;
            std::uint8_t* v = u + static_cast<std::ptrdiff_t>(half) * strip;
            auto plane = [f](int i, int row) {
                return reinterpret_cast<std::uint16_t*>(f->data[i] +
                                                        static_cast<std::ptrdiff_t>(row) * f->linesize[i]);
            };
            for (int row = 0; row < h; row += strip) {
                int rows = std::min(strip, h - row);
                libyuv::ARGBToI422(in.pixels.data() + static_cast<std::ptrdiff_t>(row) * in.stride, in.stride,
                                   y, w, u, half, v, half, w, rows);
                libyuv::I422ToI210(y, w, u, half, v, half, plane(0, row), f->linesize[0] / 2, plane(1, row),
                                   f->linesize[1] / 2, plane(2, row), f->linesize[2] / 2, w, rows);
            }
            break;
        }
        case AV_PIX_FMT_NV12:
            libyuv::ARGBToNV12(in.pixels.data(), in.stride, f->data[0], f->linesize[0], f->data[1],
                               f->linesize[1], w, h);
            break;
        default:
            libyuv::ARGBToI420(in.pixels.data(), in.stride, f->data[0], f->linesize[0], f->data[1],
                               f->linesize[1], f->data[2], f->linesize[2], w, h);
            break;
        }
    }

    SessionInfo mInfo;
    AVCodecContext* mContext = nullptr;
    AVFrame* mSoftware = nullptr;
    AVPacket* mPacket = nullptr;
    AVBufferRef* mDevice = nullptr;
    AVBufferRef* mFrames = nullptr;
    bool mUpload = false;
    std::vector<std::uint8_t> m8;

public:
    std::vector<std::string> parameterSets; // the last keyframe's
    std::optional<std::int64_t> lastKeyframePts;
};

std::vector<std::string> VideoEncoderH265::defaultEncoders() {
    return {"hevc_nvenc", "hevc_vaapi", "hevc_qsv", "libx265"};
}

VideoEncoderH265::VideoEncoderH265(std::vector<std::string> encoders, RateControl rateControl)
    : mEncoders(std::move(encoders)), mRateControl(rateControl) {
    routeLibavLog();
    mThread = std::thread([this] { work(); });
}

VideoEncoderH265::~VideoEncoderH265() {
    invalidate();
    {
        std::lock_guard lock(mMutex);
        mQuit = true;
    }
    mWake.notify_all();
    mThread.join();
}

void VideoEncoderH265::encode(FrameRef frame, std::int64_t ptsNanos, bool forceKeyframe) {
    {
        std::lock_guard lock(mMutex);
        if (mPending) {
            // The newer frame shows everything the older one did; a keyframe asked for stays asked for.
            forceKeyframe = forceKeyframe || mPending->forceKeyframe;
            ++mReplaced;
        }
        mPending = Pending{std::move(frame), ptsNanos, forceKeyframe};
    }
    mWake.notify_one();
}

void VideoEncoderH265::invalidate() {
    std::unique_lock lock(mMutex);
    mInvalidate = true;
    mWake.notify_one();
    mIdle.wait(lock, [this] { return !mInvalidate; });
}

bool VideoEncoderH265::isIdle() const {
    std::lock_guard lock(mMutex);
    return !mPending && !mBusy;
}

std::optional<VideoEncoderH265::SessionInfo> VideoEncoderH265::session() const {
    std::lock_guard lock(mMutex);
    return mInfo;
}

std::uint64_t VideoEncoderH265::replacedFrames() const {
    std::lock_guard lock(mMutex);
    return mReplaced;
}

void VideoEncoderH265::work() {
    std::unique_lock lock(mMutex);
    for (;;) {
        mWake.wait(lock, [this] { return mPending || mInvalidate || mQuit; });
        if (mPending) {
            Pending pending = std::move(*mPending);
            mPending.reset();
            mBusy = true;
            lock.unlock();
            encodeNow(pending);
            pending.frame.reset();
            lock.lock();
            mBusy = false;
            if (!mPending && mOnIdle) {
                lock.unlock();
                mOnIdle();
                lock.lock();
            }
            continue;
        }
        if (mInvalidate) {
            lock.unlock();
            closeSession();
            lock.lock();
            mInfo.reset();
            mInvalidate = false;
            mIdle.notify_all();
            continue;
        }
        if (mQuit) {
            return;
        }
    }
}

void VideoEncoderH265::encodeNow(const Pending& pending) {
    const VideoFrame& frame = *pending.frame;
    if (!mSession || mSession->info().width != frame.width || mSession->info().height != frame.height) {
        closeSession();
        auto now = std::chrono::steady_clock::now();
        if (mLastCreateFailure && now - *mLastCreateFailure < createRetryPause) {
            return;
        }
        int status = AVERROR_ENCODER_NOT_FOUND;
        for (const auto& name : mEncoders) {
            auto opened = Session::open(name, frame.width, frame.height, mRateControl);
            if (auto* session = std::get_if<std::unique_ptr<Session>>(&opened)) {
                mSession = std::move(*session);
                break;
            }
            status = std::get<int>(opened);
            Log::shared().debug("encoder", name + ": " + averror(status));
        }
        if (!mSession) {
            mLastCreateFailure = now;
            Log::shared().info("❌ PELORN: HEVC session create failed (" + std::to_string(status) +
                               ") - is the media engine busy?");
            return;
        }
        mLastCreateFailure.reset();
        const auto& info = mSession->info();
        {
            std::lock_guard lock(mMutex);
            mInfo = info;
        }
        Log::shared().info(std::string("🎥 PELORN ENCODER: ") +
                           (info.main422_10 ? "HEVC 4:2:2 (Main42210) " : "HEVC 4:2:0 (Main) ") +
                           std::to_string(info.width) + "x" + std::to_string(info.height) + " @" +
                           std::to_string(fps) + "fps target=" + std::to_string(bitrate / 1'000'000) +
                           "Mbps effective=" + std::to_string(mSession->effectiveBitrate() / 1'000'000) +
                           "Mbps RC=CBR+lowLatency GOP=2.0s hardware=" + (info.hardware ? "true" : "false"));
    }
    // The frame-count limit is the encoder's; the time limit counts only frames submitted, so
    // a screen that stood still for a while gets a keyframe with its next change.
    bool keyframe = pending.forceKeyframe || !mSession->lastKeyframePts ||
                    pending.pts - *mSession->lastKeyframePts >= maxKeyframeIntervalNanos;
    mSession->encode(
        &frame, pending.pts, keyframe, mStageTimes,
        [this](std::string_view packet, bool isKey, std::int64_t pts) { deliver(packet, isKey, pts); });
}

void VideoEncoderH265::deliver(std::string_view packet, bool isKeyframe, std::int64_t pts) {
    auto unit = fromAnnexB(packet);
    if (isKeyframe) {
        if (!unit.parameterSets.empty()) {
            mSession->parameterSets = std::move(unit.parameterSets);
        }
        mSession->lastKeyframePts = pts;
        // Every keyframe is preceded by the sets, so a client can start decoding at any of them.
        if (mOnParameterSets && !mSession->parameterSets.empty()) {
            mOnParameterSets(mSession->parameterSets);
        }
    }
    if (mOnEncodedFrame && !unit.nalUnits.empty()) {
        mOnEncodedFrame(std::move(unit.nalUnits), isKeyframe, pts);
    }
}

void VideoEncoderH265::closeSession() {
    if (!mSession) {
        return;
    }
    // Frames still inside the encoder come out before it closes.
    mSession->encode(
        nullptr, 0, false, nullptr,
        [this](std::string_view packet, bool isKey, std::int64_t pts) { deliver(packet, isKey, pts); });
    mSession.reset();
}

} // namespace pelorn
