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
    return static_cast<std::int64_t>(std::ceil(seconds * sampleRate));
}

std::expected<RenderLevels, platform::Error> renderBlocks(const AudioInput& input, std::int64_t tailFrames,
    std::uint32_t blockFrames, const BlockProcessor& process, AudioOutputFile& output, ProgressBar* progress)
{
    RenderLevels levels;
    levels.input.add(input.left, input.right);

    const std::size_t block = std::max<std::uint32_t>(blockFrames, 1);
    std::vector<float> left(block);
    std::vector<float> right(block);
    const std::int64_t inputFrames = std::min<std::int64_t>(
        input.frames, static_cast<std::int64_t>(std::min(input.left.size(), input.right.size())));
    const std::int64_t totalFrames = inputFrames + std::max<std::int64_t>(tailFrames, 0);

    for (std::int64_t done = 0; done < totalFrames;) {
        const auto frames = static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(block), totalFrames - done));
        // The part of this block that still has input; the rest is tail.
        const auto fromInput = static_cast<std::size_t>(
            std::clamp<std::int64_t>(inputFrames - done, 0, static_cast<std::int64_t>(frames)));
        const auto offset = static_cast<std::size_t>(std::min(done, inputFrames));
        std::copy_n(input.left.begin() + static_cast<std::ptrdiff_t>(offset), fromInput, left.begin());
        std::copy_n(input.right.begin() + static_cast<std::ptrdiff_t>(offset), fromInput, right.begin());
        std::fill(left.begin() + static_cast<std::ptrdiff_t>(fromInput),
            left.begin() + static_cast<std::ptrdiff_t>(frames), 0.0f);
        std::fill(right.begin() + static_cast<std::ptrdiff_t>(fromInput),
            right.begin() + static_cast<std::ptrdiff_t>(frames), 0.0f);

        const std::span<float> leftBlock(left.data(), frames);
        const std::span<float> rightBlock(right.data(), frames);
        process(leftBlock, rightBlock);
        levels.output.add(leftBlock, rightBlock);
        if (auto written = output.write(leftBlock, rightBlock); !written)
            return std::unexpected(written.error());
        done += static_cast<std::int64_t>(frames);
        if (progress)
            progress->update(done);
    }
    if (progress)
        progress->finish();
    return levels;
}

} // namespace orvane::render
