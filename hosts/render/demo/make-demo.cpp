// Builds the demo clip of orvane-render from a spoken phrase: plucked-string
// notes (Karplus-Strong) panned left and right around the phrase, mixed,
// faded out and normalised to -3 dBFS peak, written as 16-bit FLAC.
// make-demo.sh runs it; see there for the whole recipe.
//
//   make-demo SPEECH.wav OUT.flac
//
// SPEECH.wav must be mono at 44100 Hz. Everything else is fixed here,
// including the noise seed, so the same speech always gives the same clip.

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <vector>

namespace {

constexpr int kSampleRate = 44100;
constexpr double kClipSeconds = 7.0;
constexpr double kSpeechStartSeconds = 1.55;
constexpr double kFadeOutSeconds = 0.4;
constexpr double kPeakDbfs = -3.0;

/// One plucked note: when, what pitch, where in the stereo field (-1 left,
/// +1 right), how loud, and how long until it has decayed by 60 dB.
struct Note {
    double startSeconds;
    double hertz;
    double pan;
    double gain;
    double decaySeconds;
};

// A slow arpeggio in D minor before and after the phrase, two quiet notes
// under it, and a high D left ringing at the end.
constexpr Note kNotes[] = {
    {0.00, 146.83, -0.7, 1.00, 2.5}, // D3
    {0.28, 220.00, 0.7, 0.85, 2.2}, // A3
    {0.56, 349.23, -0.4, 0.75, 2.0}, // F4
    {0.84, 523.25, 0.5, 0.65, 1.8}, // C5
    {1.12, 440.00, -0.8, 0.60, 1.8}, // A4
    {2.60, 293.66, 0.8, 0.35, 2.0}, // D4
    {3.70, 174.61, -0.8, 0.35, 2.2}, // F3
    {4.90, 220.00, 0.6, 0.80, 2.2}, // A3
    {5.15, 261.63, -0.6, 0.75, 2.0}, // C4
    {5.40, 349.23, 0.3, 0.70, 2.0}, // F4
    {5.65, 587.33, -0.2, 0.65, 2.4}, // D5
};

/// xorshift32 with a fixed seed: the same noise bursts every run.
struct Noise {
    std::uint32_t state = 0x2545F491u;
    float next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return float(state) / 2147483648.0f - 1.0f;
    }
};

/// Adds one Karplus-Strong string to the stereo mix: a burst of softened
/// noise one period long circulates in a delay line of one period, and the
/// two-point average in the loop makes the high partials die first.
void pluck(const Note& note, Noise& noise, std::vector<float>& left, std::vector<float>& right)
{
    // The average delays the loop by half a sample; the rest is a
    // fractional delay read with linear interpolation.
    const double period = kSampleRate / note.hertz;
    const double delay = period - 0.5;
    const std::size_t whole = static_cast<std::size_t>(delay);
    const double fraction = delay - double(whole);
    // Gain per trip round the loop for a 60 dB fall over decaySeconds.
    const double loopGain = std::pow(10.0, -3.0 * period / (note.decaySeconds * kSampleRate));

    const double angle = (note.pan + 1.0) * std::numbers::pi / 4.0;
    const double gainLeft = note.gain * std::cos(angle);
    const double gainRight = note.gain * std::sin(angle);

    std::vector<double> line(whole + 2, 0.0);
    double softened = 0.0;
    for (double& sample : line) {
        softened += 0.5 * (noise.next() - softened);
        sample = softened;
    }

    // Ring buffer: the sample k steps old sits k places behind `write`.
    const std::size_t size = line.size();
    const std::size_t start = static_cast<std::size_t>(note.startSeconds * kSampleRate);
    std::size_t write = 0;
    double previous = 0.0;
    for (std::size_t frame = start; frame < left.size(); ++frame) {
        const double a = line[(write + size - whole) % size];
        const double b = line[(write + size - whole - 1) % size];
        const double delayed = a + fraction * (b - a);
        const double out = loopGain * 0.5 * (delayed + previous);
        previous = delayed;
        line[write] = out;
        write = (write + 1) % size;
        left[frame] += static_cast<float>(gainLeft * out);
        right[frame] += static_cast<float>(gainRight * out);
    }
}

float peakOf(const std::vector<float>& samples)
{
    float peak = 0.0f;
    for (const float s : samples)
        peak = std::max(peak, std::abs(s));
    return peak;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SPEECH.wav OUT.flac\n", argv[0]);
        return 2;
    }
    SF_INFO speechInfo{};
    SNDFILE* speechFile = sf_open(argv[1], SFM_READ, &speechInfo);
    if (!speechFile || speechInfo.channels != 1 || speechInfo.samplerate != kSampleRate) {
        std::fprintf(
            stderr, "%s: need mono speech at %d Hz (%s)\n", argv[1], kSampleRate, sf_strerror(speechFile));
        return 1;
    }
    std::vector<float> speech(static_cast<std::size_t>(speechInfo.frames));
    sf_readf_float(speechFile, speech.data(), speechInfo.frames);
    sf_close(speechFile);

    const auto frames = static_cast<std::size_t>(kClipSeconds * kSampleRate);
    std::vector<float> left(frames, 0.0f);
    std::vector<float> right(frames, 0.0f);
    Noise noise;
    for (const Note& note : kNotes)
        pluck(note, noise, left, right);

    // The strings sit under the voice: both scaled to fixed peaks first, so
    // that the balance does not depend on the speech synthesiser's level.
    const float stringsScale = 0.75f / std::max(peakOf(left), peakOf(right));
    const float speechScale = 0.9f / std::max(peakOf(speech), 1e-6f);
    const auto speechStart = static_cast<std::size_t>(kSpeechStartSeconds * kSampleRate);
    for (std::size_t i = 0; i < frames; ++i) {
        const float voice = i >= speechStart && i - speechStart < speech.size()
            ? speechScale * speech[i - speechStart]
            : 0.0f;
        left[i] = stringsScale * left[i] + voice;
        right[i] = stringsScale * right[i] + voice;
    }

    // Raised-cosine fade so the last note does not stop with a click.
    const auto fadeFrames = static_cast<std::size_t>(kFadeOutSeconds * kSampleRate);
    for (std::size_t i = 0; i < fadeFrames; ++i) {
        const double gain = 0.5 + 0.5 * std::cos(std::numbers::pi * double(i + 1) / double(fadeFrames));
        left[frames - fadeFrames + i] *= static_cast<float>(gain);
        right[frames - fadeFrames + i] *= static_cast<float>(gain);
    }

    const float target = static_cast<float>(std::pow(10.0, kPeakDbfs / 20.0));
    const float normalise = target / std::max(peakOf(left), peakOf(right));
    std::vector<float> interleaved(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        interleaved[2 * i] = left[i] * normalise;
        interleaved[2 * i + 1] = right[i] * normalise;
    }

    SF_INFO outInfo{};
    outInfo.samplerate = kSampleRate;
    outInfo.channels = 2;
    outInfo.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    SNDFILE* out = sf_open(argv[2], SFM_WRITE, &outInfo);
    if (!out) {
        std::fprintf(stderr, "%s: %s\n", argv[2], sf_strerror(nullptr));
        return 1;
    }
    sf_command(out, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    const auto written = sf_writef_float(out, interleaved.data(), static_cast<sf_count_t>(frames));
    if (sf_close(out) != 0 || written != static_cast<sf_count_t>(frames)) {
        std::fprintf(stderr, "%s: writing failed\n", argv[2]);
        return 1;
    }
    std::printf("%s: %.2f s, speech %.2f s from %.2f s\n", argv[2], kClipSeconds,
        double(speech.size()) / kSampleRate, kSpeechStartSeconds);
    return 0;
}
