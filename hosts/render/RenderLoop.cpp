#include "hosts/render/RenderLoop.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace orvane::render {

std::int64_t tailFrameCount(std::optional<double> requestedSeconds, double unitTailSeconds, double sampleRate)
{
    double seconds = requestedSeconds ? *requestedSeconds : std::min(unitTailSeconds, kMaxAutoTailSeconds);
    if (!std::isfinite(seconds) || seconds <= 0.0 || !(sampleRate > 0.0))
        return 0;
    // Far beyond what any file holds, and within what the count can hold.
    constexpr double kMostFrames = 0x1p62;
    return static_cast<std::int64_t>(std::min(std::ceil(seconds * sampleRate), kMostFrames));
}

TailPlan automaticTail(double unitTailSeconds, double sampleRate)
{
    const std::int64_t minimum = tailFrameCount(std::nullopt, unitTailSeconds, sampleRate);
    if (!(sampleRate > 0.0))
        return TailPlan::fixed(minimum);
    TailPlan plan;
    plan.minimumFrames = minimum;
    plan.maximumFrames = 2 * minimum + static_cast<std::int64_t>(std::ceil(kExtraTailSeconds * sampleRate));
    plan.quietFrames = static_cast<std::int64_t>(std::ceil(kQuietSeconds * sampleRate));
    plan.quietLevel = static_cast<float>(std::pow(10.0, kQuietDbfs / 20.0));
    return plan;
}

std::expected<RenderLevels, platform::Error> renderBlocks(AudioInputFile& input, const TailPlan& tail,
    std::uint32_t blockFrames, const BlockProcessor& process, AudioOutputFile& output, ProgressBar* progress)
{
    RenderLevels levels;
    ContinuousSignalStats inputLevels;

    const std::size_t block = std::max<std::uint32_t>(blockFrames, 1);
    std::vector<float> left(block);
    std::vector<float> right(block);
    const std::int64_t minimumTail = std::max<std::int64_t>(tail.minimumFrames, 0);
    const std::int64_t maximumTail = std::max(tail.maximumFrames, minimumTail);
    // The total is known once the input has ended; until then every block
    // is a full one of input.
    bool inputEnded = false;
    std::int64_t totalFrames = 0;
    // Frames since the output last reached the quiet level.
    std::int64_t quietRun = 0;

    for (std::int64_t done = 0;;) {
        std::size_t fromInput = 0;
        if (!inputEnded) {
            auto got = input.read(left, right);
            if (!got)
                return std::unexpected(got.error());
            fromInput = *got;
            inputLevels.add(std::span(left.data(), fromInput), std::span(right.data(), fromInput));
            if (fromInput < block) {
                inputEnded = true;
                levels.inputFrames = done + static_cast<std::int64_t>(fromInput);
                totalFrames = levels.inputFrames + maximumTail;
            }
        }
        auto frames = inputEnded
            ? static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(block), totalFrames - done))
            : block;
        if (frames == 0)
            break;
        // The rest of the block after the input's end is tail.
        std::fill(left.begin() + static_cast<std::ptrdiff_t>(fromInput),
            left.begin() + static_cast<std::ptrdiff_t>(frames), 0.0f);
        std::fill(right.begin() + static_cast<std::ptrdiff_t>(fromInput),
            right.begin() + static_cast<std::ptrdiff_t>(frames), 0.0f);

        process(std::span<float>(left.data(), frames), std::span<float>(right.data(), frames));
        // A tail that ends in silence stops at the first frame past its
        // minimum where the output has been quiet long enough.
        bool finished = false;
        if (tail.quietFrames > 0) {
            for (std::size_t i = 0; i < frames; ++i) {
                const bool quiet = std::abs(left[i]) < tail.quietLevel && std::abs(right[i]) < tail.quietLevel;
                quietRun = quiet ? quietRun + 1 : 0;
                const std::int64_t frame = done + static_cast<std::int64_t>(i) + 1;
                if (inputEnded && frame >= levels.inputFrames + minimumTail && quietRun >= tail.quietFrames) {
                    frames = i + 1;
                    finished = true;
                    break;
                }
            }
        }
        const std::span<float> leftBlock(left.data(), frames);
        const std::span<float> rightBlock(right.data(), frames);
        levels.output.add(leftBlock, rightBlock);
        if (auto written = output.write(leftBlock, rightBlock); !written)
            return std::unexpected(written.error());
        done += static_cast<std::int64_t>(frames);
        if (progress)
            progress->update(done);
        if (finished)
            break;
    }
    if (progress)
        progress->finish();
    levels.input = inputLevels.stats();
    levels.outputFrames = levels.output.frames();
    return levels;
}

} // namespace orvane::render
