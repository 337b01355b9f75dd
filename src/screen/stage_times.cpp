#include "screen/stage_times.hpp"

#include <algorithm>
#include <utility>

namespace pelorn {

const char* StageTimes::name(Stage stage) {
    switch (stage) {
    case Stage::Grab:
        return "grab (with copy and cursor)";
    case Stage::Convert:
        return "conversion";
    case Stage::Encode:
        return "encode";
    }
    return "";
}

void StageTimes::add(Stage stage, std::chrono::steady_clock::duration took) {
    double ms = std::chrono::duration<double, std::milli>(took).count();
    std::lock_guard lock(mMutex);
    auto& figure = mFigures[static_cast<std::size_t>(stage)];
    ++figure.count;
    figure.totalMs += ms;
    figure.maxMs = std::max(figure.maxMs, ms);
}

std::array<StageTimes::Figure, StageTimes::stageCount> StageTimes::take() {
    std::lock_guard lock(mMutex);
    return std::exchange(mFigures, {});
}

} // namespace pelorn
