#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace pelorn {

// Time spent in each step of the screen pipeline, summed until taken: where a frame's time goes.
// Any thread; two clock reads per step, so it can stay on.
class StageTimes {
public:
    enum class Stage { Grab, Convert, Encode };
    static constexpr std::size_t stageCount = 3;
    static const char* name(Stage stage);

    struct Figure {
        std::uint64_t count = 0;
        double totalMs = 0;
        double maxMs = 0;
    };

    void add(Stage stage, std::chrono::steady_clock::duration took);
    // The figures since the last take.
    std::array<Figure, stageCount> take();

    // Measures from construction to destruction.
    class Scope {
    public:
        Scope(StageTimes* times, Stage stage) : mTimes(times), mStage(stage) {}
        ~Scope() {
            if (mTimes) {
                mTimes->add(mStage, std::chrono::steady_clock::now() - mStart);
            }
        }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        StageTimes* mTimes;
        Stage mStage;
        std::chrono::steady_clock::time_point mStart = std::chrono::steady_clock::now();
    };

private:
    std::mutex mMutex;
    std::array<Figure, stageCount> mFigures{};
};

} // namespace pelorn
