#include "hosts/render/ProgressBar.h"
#include "hosts/render/SignalStats.h"
#include "hosts/render/Summary.h"
#include "tests/hosts/RenderTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>

namespace orvane::render {
namespace {

using testing::sine;

constexpr double kNegativeInfinity = -std::numeric_limits<double>::infinity();

TEST(SignalStats, KnownSignalsHaveKnownLevels)
{
    // 1 kHz at 48 kHz: 48 samples a period, so whole periods fit exactly and
    // a sample lands on each crest.
    const auto fullScale = sine(48000, 1.0, 1000.0, 48000);
    SignalStats sineStats;
    sineStats.add(fullScale, fullScale);
    EXPECT_NEAR(sineStats.peakDbfs(), 0.0, 1e-6);
    EXPECT_NEAR(sineStats.rmsDbfs(), -3.0103, 1e-3);
    EXPECT_EQ(sineStats.frames(), 48000);

    const std::vector<float> silence(1000, 0.0f);
    SignalStats quiet;
    quiet.add(silence, silence);
    EXPECT_EQ(quiet.peakDbfs(), kNegativeInfinity);
    EXPECT_EQ(quiet.rmsDbfs(), kNegativeInfinity);

    SignalStats empty;
    EXPECT_EQ(empty.peakDbfs(), kNegativeInfinity);
    EXPECT_EQ(empty.rmsDbfs(), kNegativeInfinity);
    EXPECT_EQ(empty.frames(), 0);

    // Half scale is -6.02 dB; a square wave's RMS equals its peak.
    const std::vector<float> squareLeft = {0.5f, -0.5f, 0.5f, -0.5f};
    SignalStats square;
    square.add(squareLeft, squareLeft);
    EXPECT_NEAR(square.peakDbfs(), -6.0206, 1e-3);
    EXPECT_NEAR(square.rmsDbfs(), -6.0206, 1e-3);

    // Both channels count: full scale on one side, silence on the other,
    // halves the power (-3.01 dB) and keeps the peak.
    const std::vector<float> ones(100, -1.0f);
    const std::vector<float> zeros(100, 0.0f);
    SignalStats oneSided;
    oneSided.add(ones, zeros);
    EXPECT_NEAR(oneSided.peakDbfs(), 0.0, 1e-12);
    EXPECT_NEAR(oneSided.rmsDbfs(), -3.0103, 1e-3);
}

TEST(SignalStats, BlockByBlockEqualsAllAtOnce)
{
    std::mt19937 random(20240611);
    std::uniform_real_distribution<float> sample(-0.8f, 0.8f);
    std::vector<float> left(10000), right(10000);
    for (std::size_t i = 0; i < left.size(); ++i) {
        left[i] = sample(random);
        right[i] = sample(random);
    }
    SignalStats whole;
    whole.add(left, right);
    for (const std::size_t block : {1u, 7u, 64u, 4096u}) {
        SignalStats pieces;
        for (std::size_t start = 0; start < left.size(); start += block) {
            const std::size_t n = std::min(block, left.size() - start);
            pieces.add(std::span(left).subspan(start, n), std::span(right).subspan(start, n));
        }
        EXPECT_EQ(pieces.peak(), whole.peak()) << "block " << block;
        EXPECT_NEAR(pieces.rms(), whole.rms(), 1e-12) << "block " << block;
        EXPECT_EQ(pieces.frames(), whole.frames()) << "block " << block;
    }
}

TEST(SignalStats, NonFiniteSamplesAreCountedNotMeasured)
{
    const std::vector<float> left = {0.5f, std::numeric_limits<float>::quiet_NaN(), -0.5f};
    const std::vector<float> right = {std::numeric_limits<float>::infinity(), 0.5f, -0.5f};
    SignalStats stats;
    stats.add(left, right);
    EXPECT_EQ(stats.nonFiniteSamples(), 2);
    EXPECT_NEAR(stats.peakDbfs(), -6.0206, 1e-3);
    EXPECT_NEAR(stats.rmsDbfs(), -6.0206, 1e-3);
}

TEST(SummaryText, NumbersAreFormattedForPeople)
{
    EXPECT_EQ(formatDbfs(-1.2345), "-1.2 dBFS");
    EXPECT_EQ(formatDbfs(-0.01), "0.0 dBFS");
    EXPECT_EQ(formatDbfs(kNegativeInfinity), "-inf dBFS");
    EXPECT_EQ(formatDbfs(3.0), "3.0 dBFS");

    EXPECT_EQ(formatDuration(3.21), "3.2 s");
    EXPECT_EQ(formatDuration(0.0), "0.0 s");
    EXPECT_EQ(formatDuration(59.96), "1:00.0");
    EXPECT_EQ(formatDuration(125.34), "2:05.3");
    EXPECT_EQ(formatDuration(3725.0), "1:02:05");

    EXPECT_EQ(formatRealTimeFactor(62.4), "62x real time");
    EXPECT_EQ(formatRealTimeFactor(3.46), "3.5x real time");
    EXPECT_EQ(formatRealTimeFactor(0.0), "");
}

RenderSummary exampleSummary()
{
    RenderSummary summary;
    summary.inputPath = "in/take.flac";
    summary.outputPath = "out/demo/01-Name.wav";
    summary.outputFormat = {FileType::Wav, SampleEncoding::Float32};
    summary.sampleRate = 48000;
    summary.inputChannels = 1;
    summary.inputFrames = 96000;
    summary.outputFrames = 153600;
    const auto full = sine(96000, 1.0, 1000.0, 48000);
    summary.input.add(full, full);
    const auto half = sine(153600, 0.5, 1000.0, 48000);
    summary.output.add(half, half);
    summary.wallSeconds = 0.05;
    return summary;
}

TEST(SummaryText, OneLineCarriesNamePathLengthLevelsAndSpeed)
{
    const auto summary = exampleSummary();
    EXPECT_NEAR(summary.realTimeFactor(), 64.0, 1e-9);
    EXPECT_EQ(formatSummaryLine("01-Name", summary),
        "01-Name: out/demo/01-Name.wav  3.2 s  peak -6.0 dBFS  rms -9.0 dBFS  64x real time");

    auto unknownSpeed = summary;
    unknownSpeed.wallSeconds = 0.0;
    EXPECT_EQ(formatSummaryLine("x", unknownSpeed).find("real time"), std::string::npos);

    auto silent = summary;
    silent.output = SignalStats{};
    EXPECT_NE(formatSummaryLine("x", silent).find("peak -inf dBFS  rms -inf dBFS"), std::string::npos);
}

TEST(SummaryText, MultiLineFormShowsBothSidesAndTheTail)
{
    const std::string text = formatSummary(exampleSummary());
    for (const auto* part : {"in/take.flac", "2.0 s at 48000 Hz", "mono", "peak 0.0 dBFS  rms -3.0 dBFS",
             "out/demo/01-Name.wav (WAV, 32-bit float)", "3.2 s including 1.2 s of tail",
             "peak -6.0 dBFS  rms -9.0 dBFS", "64x real time"})
        EXPECT_NE(text.find(part), std::string::npos) << "missing '" << part << "' in:\n" << text;
    EXPECT_EQ(text.back(), '\n');
}

/// Everything a progress bar printed, through a memory stream.
class CapturedStream {
public:
    CapturedStream()
        : stream_(open_memstream(&buffer_, &size_))
    {
    }
    ~CapturedStream()
    {
        std::fclose(stream_);
        std::free(buffer_);
    }
    std::FILE* get() { return stream_; }
    std::string text()
    {
        std::fflush(stream_);
        return std::string(buffer_, size_);
    }

private:
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* stream_;
};

std::size_t count(const std::string& text, char c)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), c));
}

TEST(ProgressBar, RedrawsAtMostTenTimesASecondAndAlwaysAtTheEnd)
{
    using namespace std::chrono_literals;
    CapturedStream out;
    ProgressBar bar(out.get(), true, 1000, 100.0);
    const ProgressBar::Clock::time_point start{};
    bar.update(0, start);
    bar.update(100, start + 50ms);
    bar.update(200, start + 99ms);
    EXPECT_EQ(count(out.text(), '\r'), 1u) << "redrawn within 100 ms";
    bar.update(300, start + 100ms);
    EXPECT_EQ(count(out.text(), '\r'), 2u);
    EXPECT_NE(out.text().find("[#########.....................]  30%  3.0 s / 10.0 s"), std::string::npos)
        << out.text();
    bar.update(1000, start + 101ms);
    EXPECT_EQ(count(out.text(), '\r'), 3u) << "the final state must show however soon it comes";
    EXPECT_NE(out.text().find("100%"), std::string::npos);

    const std::size_t before = out.text().size();
    bar.finish();
    const std::string erased = out.text().substr(before);
    // Carriage return, blanks over the whole bar, carriage return.
    EXPECT_EQ(erased.front(), '\r');
    EXPECT_EQ(erased.back(), '\r');
    EXPECT_EQ(erased.find_first_not_of(" \r"), std::string::npos) << erased;
    EXPECT_GE(erased.size(), ProgressBar::render(1000, 1000, 100.0).size() + 2);
    bar.finish();
    EXPECT_EQ(out.text().size(), before + erased.size()) << "finish twice erased twice";
}

TEST(ProgressBar, DisabledBarsWriteNothing)
{
    CapturedStream out;
    {
        ProgressBar bar(out.get(), false, 1000, 48000.0);
        bar.update(10);
        bar.update(1000);
        bar.finish();
        ProgressBar moved(std::move(bar));
        moved.update(1000);
    }
    EXPECT_EQ(out.text(), "");
    EXPECT_FALSE(ProgressBar::forStandardError(true, 100, 48000.0).enabled()) << "--quiet must silence it";
}

TEST(ProgressBar, AMovedBarDrawsAndErasesOnlyOnce)
{
    CapturedStream out;
    {
        ProgressBar bar(out.get(), true, 10, 0.0);
        bar.update(5, ProgressBar::Clock::time_point{});
        ProgressBar moved(std::move(bar));
        EXPECT_FALSE(bar.enabled());
    }
    const std::string text = out.text();
    EXPECT_EQ(count(text, '\r'), 3u) << "one drawing and one erasure expected, got: " << text;
    EXPECT_NE(text.find("50%"), std::string::npos);
}

} // namespace
} // namespace orvane::render
