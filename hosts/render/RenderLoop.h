#pragma once

#include "hosts/render/AudioInputFile.h"
#include "hosts/render/AudioOutputFile.h"
#include "hosts/render/ProgressBar.h"
#include "hosts/render/SignalStats.h"
#include "platform/foundation/Error.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>

namespace orvane::render {

/// Renders one block in place: on entry both spans hold the input, on return
/// the output. Called once per block with at most the loop's block size.
using BlockProcessor = std::function<void(std::span<float> left, std::span<float> right)>;

/// Levels of what went in and what came out of a render loop, and how many
/// frames the input really held and the output holds.
struct RenderLevels {
    SignalStats input;
    SignalStats output;
    std::int64_t inputFrames = 0;
    std::int64_t outputFrames = 0;
};

/// How much is rendered after the input: at least minimumFrames; then, when
/// quietFrames is more than zero, on until the output's last quietFrames
/// frames all lie below quietLevel on both channels; never more than
/// maximumFrames.
struct TailPlan {
    std::int64_t minimumFrames = 0;
    std::int64_t maximumFrames = 0;
    std::int64_t quietFrames = 0;
    float quietLevel = 0.0f;

    /// Exactly `frames` of tail.
    static TailPlan fixed(std::int64_t frames) { return {frames, frames, 0, 0.0f}; }
};

/// --tail auto's plan: the unit's tail time (capped at kMaxAutoTailSeconds),
/// then on until the output has stayed below kQuietDbfs for kQuietSeconds,
/// for at most twice the tail time and kExtraTailSeconds more.
TailPlan automaticTail(double unitTailSeconds, double sampleRate);

inline constexpr double kQuietDbfs = -80.0;
inline constexpr double kQuietSeconds = 0.1;
inline constexpr double kExtraTailSeconds = 2.0;

/// Frames of tail after the input: the requested seconds, or with none
/// ("auto") the unit's own tail time, capped at kMaxAutoTailSeconds; a
/// negative or non-finite tail counts as none. Rounded up to whole frames.
std::int64_t tailFrameCount(
    std::optional<double> requestedSeconds, double unitTailSeconds, double sampleRate);

/// Long enough for the darkest reverberation (10 s) and runaway stream
/// feedback to ring out, short enough that a render never balloons.
inline constexpr double kMaxAutoTailSeconds = 30.0;

/// Streams the input and then the tail's silence through `process` in
/// blocks of `blockFrames`, writing every block to `output` and measuring
/// the levels of both sides. The blocks are those of the input and tail laid
/// end to end and cut every `blockFrames`, so the block where the input ends
/// is finished with silence. Memory stays at two blocks and one read chunk
/// whatever the length. Stops at the first read or write error; the caller
/// then drops `output`, which removes its temporary file.
std::expected<RenderLevels, platform::Error> renderBlocks(AudioInputFile& input, const TailPlan& tail,
    std::uint32_t blockFrames, const BlockProcessor& process, AudioOutputFile& output,
    ProgressBar* progress = nullptr);

} // namespace orvane::render
