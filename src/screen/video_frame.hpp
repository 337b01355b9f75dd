#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace pelorn {

// One captured screen image: 32-bit pixels with blue, green, red and an unused byte in memory
// order ('BGRA'), rows `stride` bytes apart.
struct VideoFrame {
    int width = 0;
    int height = 0;
    int stride = 0;
    std::vector<std::uint8_t> pixels;

    void resize(int w, int h) {
        width = w;
        height = h;
        stride = w * 4;
        pixels.resize(static_cast<std::size_t>(stride) * static_cast<std::size_t>(h));
    }
    std::uint8_t* row(int y) { return pixels.data() + static_cast<std::ptrdiff_t>(y) * stride; }
    const std::uint8_t* row(int y) const { return pixels.data() + static_cast<std::ptrdiff_t>(y) * stride; }
};

using FrameRef = std::shared_ptr<const VideoFrame>;

// Frame buffers for a producer that hands frames on by reference: a buffer comes back for reuse
// once every holder has let go of it, so a steady stream allocates nothing. Any thread.
class FramePool : public std::enable_shared_from_this<FramePool> {
public:
    static std::shared_ptr<FramePool> create() { return std::shared_ptr<FramePool>(new FramePool()); }

    // A buffer of the given size; its pixels are whatever a previous frame left there.
    std::shared_ptr<VideoFrame> take(int width, int height) {
        std::unique_ptr<VideoFrame> frame;
        {
            std::lock_guard lock(mMutex);
            if (!mFree.empty()) {
                frame = std::move(mFree.back());
                mFree.pop_back();
            }
        }
        if (!frame) {
            frame = std::make_unique<VideoFrame>();
        }
        frame->resize(width, height);
        std::weak_ptr<FramePool> pool = weak_from_this();
        return std::shared_ptr<VideoFrame>(frame.release(), [pool](VideoFrame* f) {
            std::unique_ptr<VideoFrame> owned(f);
            if (auto p = pool.lock()) {
                p->giveBack(std::move(owned));
            }
        });
    }

private:
    FramePool() = default;
    // A few buffers cover one being filled, one waiting and one being encoded.
    static constexpr std::size_t keep = 4;

    void giveBack(std::unique_ptr<VideoFrame> frame) {
        std::lock_guard lock(mMutex);
        if (mFree.size() < keep) {
            mFree.push_back(std::move(frame));
        }
    }

    std::mutex mMutex;
    std::vector<std::unique_ptr<VideoFrame>> mFree;
};

} // namespace pelorn
