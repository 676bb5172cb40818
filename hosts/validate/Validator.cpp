#include "hosts/validate/Validator.h"

#include "hosts/validate/RealTimeGuard.h"
#include "platform/audiounit/AURandomSeeding.h"
#include "platform/audiounit/AVAudioFormat.h"
#include "platform/foundation/PropertyList.h"

#include <dlfcn.h>
#include <lv2/core/lv2.h>
#include <lv2/urid/urid.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace orvane::validate {
namespace {

using namespace platform;
namespace fs = std::filesystem;

constexpr double kRates[] = {8000, 22050, 44100, 48000, 88200, 96000, 192000, 384000};
constexpr std::uint32_t kBlocks[] = {1, 2, 3, 64, 511, 512, 4096, 8192};
/// The largest block a unit is prepared for in the render grid; blocks of
/// exactly this size are rendered too.
constexpr std::uint32_t kGridMaximumFrames = 8192 + 17;
enum class Signal { noise, silence, square, dc, impulses };
constexpr Signal kSignals[] = {Signal::noise, Signal::silence, Signal::square, Signal::dc, Signal::impulses};
const char* signalName(Signal s) {
    switch (s) {
    case Signal::noise: return "noise";
    case Signal::silence: return "silence";
    case Signal::square: return "full-scale square";
    case Signal::dc: return "DC";
    case Signal::impulses: return "impulses";
    }
    return "?";
}

CheckResult pass(std::string detail) { return {true, std::move(detail)}; }
CheckResult fail(std::string detail) { return {false, std::move(detail)}; }

std::string format(double value, int digits = 3) {
    std::ostringstream out;
    out.setf(std::ios::fixed);
    out.precision(digits);
    out << value;
    return out.str();
}

/// A unit prepared the way a host prepares one: both buses at the rate in
/// stereo, the maximum frames, seeded echo patterns, render resources.
class Harness {
public:
    static std::expected<Harness, std::string> make(const Context& context, double rate, std::uint32_t maximumFrames,
                                                    bool allocate = true) {
        auto unit = context.host.createUnit();
        if (!unit) return std::unexpected(unit.error().message);
        Harness harness(std::move(*unit));
        auto format = AVAudioFormat::standardFormat(rate, 2);
        for (const auto& buses : {harness.unit_->inputBusses(), harness.unit_->outputBusses()}) {
            if (!buses || buses->count() == 0) return std::unexpected(std::string("the unit has no audio bus"));
            if (auto set = buses->at(0)->setFormat(format); !set) return std::unexpected(set.error().message);
        }
        if (auto* seeding = dynamic_cast<AURandomSeeding*>(harness.unit_.get())) (void)seeding->setRandomSeed(context.seed);
        if (auto set = harness.unit_->setMaximumFramesToRender(maximumFrames); !set) return std::unexpected(set.error().message);
        if (allocate) {
            if (auto done = harness.unit_->allocateRenderResources(); !done) return std::unexpected(done.error().message);
        }
        harness.block_ = harness.unit_->internalRenderBlock();
        return harness;
    }

    AUAudioUnit& unit() { return *unit_; }
    std::shared_ptr<AUAudioUnit> shared() { return unit_; }

    /// Renders separate buffers in place.
    OSStatus render(float* left, float* right, std::uint32_t frames, const AURenderEvent* events = nullptr) {
        list_->mNumberBuffers = 2;
        list_.buffer(0) = {1, static_cast<std::uint32_t>(frames * sizeof(float)), left};
        list_.buffer(1) = {1, static_cast<std::uint32_t>(frames * sizeof(float)), right};
        return renderList(list_.get(), frames, events);
    }
    OSStatus renderList(AudioBufferList* list, std::uint32_t frames, const AURenderEvent* events = nullptr,
                        const AURenderPullInputBlock* pull = nullptr) {
        AudioTimeStamp stamp{};
        stamp.mSampleTime = time_;
        stamp.mFlags = kAudioTimeStampSampleTimeValid;
        AudioUnitRenderActionFlags flags = 0;
        const OSStatus status = block_(&flags, &stamp, frames, 0, list, events, pull ? pull : &pull_);
        time_ += frames;
        return status;
    }
    void refreshBlock() { block_ = unit_->internalRenderBlock(); }

private:
    explicit Harness(std::shared_ptr<AUAudioUnit> unit) : unit_(std::move(unit)) {
        // The input already sits in the buffers the unit renders in place.
        pull_ = [](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount, NSInteger, AudioBufferList*) {
            return noErr;
        };
    }
    std::shared_ptr<AUAudioUnit> unit_;
    AUInternalRenderBlock block_;
    AURenderPullInputBlock pull_;
    AudioBufferListStorage list_{2};
    double time_ = 0.0;
};

std::vector<float> makeSignal(Signal kind, std::size_t frames, double rate, std::mt19937& random) {
    std::vector<float> out(frames, 0.0f);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    const auto period = static_cast<std::size_t>(std::max(2.0, rate / 110.0));
    for (std::size_t i = 0; i < frames; ++i) {
        switch (kind) {
        case Signal::noise: out[i] = uniform(random); break;
        case Signal::silence: break;
        case Signal::square: out[i] = (i % period) < period / 2 ? 1.0f : -1.0f; break;
        case Signal::dc: out[i] = 1.0f; break;
        case Signal::impulses: out[i] = (i % (period * 7)) == 0 ? 1.0f : 0.0f; break;
        }
    }
    return out;
}

/// Empty when every sample is a finite, normal-or-zero value within [-1, 1].
std::string problemIn(const float* samples, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const float x = samples[i];
        if (!std::isfinite(x)) return "a non-finite sample at frame " + std::to_string(i);
        if (std::fpclassify(x) == FP_SUBNORMAL) return "a subnormal sample at frame " + std::to_string(i);
        if (std::fabs(x) > 1.0f) return "|sample| " + format(std::fabs(x), 6) + " > 1 at frame " + std::to_string(i);
    }
    return {};
}

void setParameters(AUAudioUnit& unit, const std::array<float, 6>& values) {
    auto tree = unit.parameterTree();
    for (AUParameterAddress a = 0; tree && a < values.size(); ++a)
        if (auto p = tree->parameterWithAddress(a)) p->setValue(values[a]);
}

std::array<float, 6> randomParameters(std::mt19937& random) {
    std::uniform_real_distribution<float> unit01(0.0f, 1.0f);
    std::array<float, 6> values{};
    for (float& v : values) v = unit01(random);
    return values;
}

// ---------------------------------------------------------------- checks

CheckResult hostCallOrder(const Context& context) {
    auto made = Harness::make(context, 48000, 512, false);
    if (!made) return fail(made.error());
    Harness& h = *made;
    std::vector<float> left(512, 0.25f), right(512, -0.25f);
    // Before allocation the unit may refuse, but must answer and pass audio.
    h.render(left.data(), right.data(), 512);
    if (!problemIn(left.data(), 512).empty() || !problemIn(right.data(), 512).empty())
        return fail("rendering before allocation wrote bad samples");
    h.unit().reset();
    h.unit().deallocateRenderResources();
    setParameters(h.unit(), {0.1f, 0.9f, 0.3f, 0.7f, 0.2f, 0.6f});
    const auto presets = h.unit().factoryPresets();
    if (!presets.empty()) h.unit().setCurrentPreset(presets.back());
    if (auto first = h.unit().allocateRenderResources(); !first) return fail("allocate: " + first.error().message);
    (void)h.unit().allocateRenderResources();
    h.refreshBlock();
    for (int block = 0; block < 20; ++block) {
        std::fill(left.begin(), left.end(), 0.25f);
        std::fill(right.begin(), right.end(), -0.25f);
        if (const auto status = h.render(left.data(), right.data(), 512); status != noErr)
            return fail("render after allocating twice answered " + std::to_string(status));
        if (auto problem = problemIn(left.data(), 512); !problem.empty()) return fail("after allocating twice: " + problem);
    }
    h.unit().deallocateRenderResources();
    h.unit().deallocateRenderResources();
    h.unit().reset();
    if (!presets.empty()) h.unit().setCurrentPreset(presets.front());
    if (auto again = h.unit().allocateRenderResources(); !again) return fail("allocate after deallocating twice: " + again.error().message);
    return pass("render before allocation, allocate and deallocate twice, reset and changes while deallocated");
}

CheckResult renderGrid(const Context& context, bool automate) {
    std::mt19937 random(context.seed);
    const bool full = context.level >= 5;
    const double seconds = context.level >= 10 ? 1.0 : full ? 0.25 : 0.1;
    std::vector<double> rates = full ? std::vector<double>(std::begin(kRates), std::end(kRates)) : std::vector<double>{44100, 48000};
    std::vector<std::uint32_t> blocks = full ? std::vector<std::uint32_t>(std::begin(kBlocks), std::end(kBlocks))
                                             : std::vector<std::uint32_t>{1, 64, 512, 4096};
    blocks.push_back(kGridMaximumFrames);
    std::size_t cases = 0;
    std::array<AURenderEvent, 6> events{};
    std::uniform_real_distribution<float> anyValue(-0.5f, 1.5f);
    std::uniform_int_distribution<int> anyKind(0, 9);
    for (double rate : rates) {
        auto made = Harness::make(context, rate, kGridMaximumFrames);
        if (!made) return fail(format(rate, 0) + " Hz: " + made.error());
        Harness& h = *made;
        for (std::uint32_t block : blocks) {
            for (Signal signal : kSignals) {
                ++cases;
                h.unit().reset();
                setParameters(h.unit(), randomParameters(random));
                // Below level 10 a case is at most half a second at 48 kHz, so
                // the smallest blocks at the highest rates stay quick.
                const auto frames = static_cast<std::size_t>(
                    context.level >= 10 ? rate * seconds : std::min(rate * seconds, 24000.0));
                auto left = makeSignal(signal, frames, rate, random), right = makeSignal(signal, frames, rate, random);
                for (std::size_t done = 0; done < frames;) {
                    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(block, frames - done));
                    const AURenderEvent* head = nullptr;
                    if (automate && (done / 32) != ((done + n) / 32 + (n >= 32))) {
                        // A burst of events: ramps, out-of-range values and NaN among them.
                        for (std::size_t e = 0; e < events.size(); ++e) {
                            auto& p = events[e].parameter;
                            p = {};
                            p.next = e + 1 < events.size() ? &events[e + 1] : nullptr;
                            p.eventSampleTime = static_cast<AUEventSampleTime>(done);
                            const int kind = anyKind(random);
                            p.eventType = kind == 0 ? AURenderEventParameterRamp : AURenderEventParameter;
                            p.rampDurationSampleFrames = kind == 0 ? 64 : 0;
                            p.parameterAddress = kind == 1 ? 99 : e;
                            p.value = kind == 2 ? std::nanf("") : anyValue(random);
                        }
                        head = &events[0];
                    }
                    if (const auto status = h.render(&left[done], &right[done], n, head); status != noErr)
                        return fail(format(rate, 0) + " Hz, blocks of " + std::to_string(block) + ", " +
                                    signalName(signal) + ": status " + std::to_string(status));
                    done += n;
                }
                for (const auto* side : {&left, &right}) {
                    if (auto problem = problemIn(side->data(), frames); !problem.empty())
                        return fail(format(rate, 0) + " Hz, blocks of " + std::to_string(block) + ", " +
                                    signalName(signal) + ": " + problem);
                    if (signal == Signal::silence && !automate &&
                        std::any_of(side->begin(), side->end(), [](float x) { return x != 0.0f; }))
                        return fail(format(rate, 0) + " Hz, blocks of " + std::to_string(block) +
                                    ": silence in after a reset gave sound out");
                }
            }
        }
    }
    return pass(std::to_string(cases) + " cases of " + format(seconds, 2) + " s, " + std::to_string(rates.size()) +
                " rates, blocks 1 to " + std::to_string(kGridMaximumFrames) +
                (automate ? ", parameter events every 32 frames" : ""));
}

/// Renders `asked` frames into buffers whose byte sizes hold `heldBytes`, in
/// the separate or the interleaved layout, and answers which sample past what
/// the buffers hold, or past what was asked, was written (empty when none).
std::string writtenPastTheEnd(Harness& h, bool interleaved, std::uint32_t asked, std::uint32_t heldBytes) {
    constexpr float kCanary = 1234.5f;
    const std::uint32_t channels = interleaved ? 2 : 1;
    const std::uint32_t held = heldBytes / (4 * channels);
    const std::size_t used = std::min(asked, held) * channels;
    // Slack past both ends of the call, so a unit that writes too far meets
    // a canary, not another allocation.
    std::vector<std::vector<float>> data(3 - channels, std::vector<float>((std::max(asked, held) + 64) * channels, kCanary));
    for (auto& d : data) std::fill_n(d.begin(), used, 0.25f);
    AudioBufferListStorage list(2);
    list->mNumberBuffers = static_cast<std::uint32_t>(data.size());
    for (std::size_t b = 0; b < data.size(); ++b) list.buffer(b) = {channels, heldBytes, data[b].data()};
    h.renderList(list.get(), asked, nullptr);
    for (std::size_t b = 0; b < data.size(); ++b) {
        for (std::size_t i = used; i < data[b].size(); ++i)
            if (data[b][i] != kCanary)
                return "frame " + std::to_string(i / channels) + " of a buffer holding " + std::to_string(held) +
                       " frames (" + std::to_string(heldBytes) + " bytes" + (interleaved ? ", interleaved" : "") +
                       ") with " + std::to_string(asked) + " asked";
        if (auto problem = problemIn(data[b].data(), used); !problem.empty()) return "bad output: " + problem;
    }
    return {};
}

CheckResult buffers(const Context& context) {
    constexpr std::uint32_t kMax = 512, kFrames = 9 * kMax;
    std::mt19937 random(context.seed);
    const auto inL = makeSignal(Signal::noise, kFrames, 48000, random), inR = makeSignal(Signal::noise, kFrames, 48000, random);
    const std::array<float, 6> settings{0.6f, 0.7f, 0.5f, 0.6f, 0.3f, 0.8f};
    auto unitFor = [&]() -> std::expected<Harness, std::string> {
        auto made = Harness::make(context, 48000, kMax);
        if (made) setParameters(made->unit(), settings);
        return made;
    };

    // Byte sizes just short of, exactly at and just past the frames asked,
    // a byte size that ends inside a frame, and more frames than the maximum:
    // nothing may be written past what the buffers hold or the call asked.
    for (const bool interleaved : {false, true}) {
        const std::uint32_t frame = interleaved ? 8 : 4;
        for (const auto& [asked, bytes] : {std::pair{256u, 255 * frame}, std::pair{256u, 256 * frame},
                                           std::pair{256u, 257 * frame}, std::pair{256u, 100 * frame + frame / 2},
                                           std::pair{kMax + 1, (kMax + 1) * frame}, std::pair{kMax * 4, kMax * 4 * frame}}) {
            auto made = unitFor();
            if (!made) return fail(made.error());
            if (auto written = writtenPastTheEnd(*made, interleaved, asked, bytes); !written.empty())
                return fail("writes past the end of the buffer: " + written);
        }
    }

    // In place, separate buffers.
    auto a = unitFor(), b = unitFor(), c = unitFor();
    if (!a || !b || !c) return fail(!a ? a.error() : !b ? b.error() : c.error());
    std::vector<float> inPlaceL = inL, inPlaceR = inR;
    for (std::uint32_t done = 0; done < kFrames; done += kMax) a->render(&inPlaceL[done], &inPlaceR[done], kMax);
    // Separate input and output buffers, the pull copying the input over.
    std::vector<float> outL(kFrames), outR(kFrames);
    std::uint32_t offset = 0;
    AURenderPullInputBlock copy = [&](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount frames,
                                      NSInteger, AudioBufferList* data) {
        std::memcpy(data->mBuffers[0].mData, &inL[offset], frames * sizeof(float));
        std::memcpy(data->mBuffers[1].mData, &inR[offset], frames * sizeof(float));
        return noErr;
    };
    AudioBufferListStorage list(2);
    list->mNumberBuffers = 2;
    for (offset = 0; offset < kFrames; offset += kMax) {
        list.buffer(0) = {1, kMax * 4, &outL[offset]};
        list.buffer(1) = {1, kMax * 4, &outR[offset]};
        b->renderList(list.get(), kMax, nullptr, &copy);
    }
    // One interleaved buffer.
    std::vector<float> interleaved(kFrames * 2);
    for (std::uint32_t i = 0; i < kFrames; ++i) interleaved[2 * i] = inL[i], interleaved[2 * i + 1] = inR[i];
    AudioBufferListStorage one(1);
    one->mNumberBuffers = 1;
    for (std::uint32_t done = 0; done < kFrames; done += kMax) {
        one.buffer(0) = {2, kMax * 8, &interleaved[2 * done]};
        c->renderList(one.get(), kMax, nullptr);
    }
    for (std::uint32_t i = 0; i < kFrames; ++i) {
        if (outL[i] != inPlaceL[i] || outR[i] != inPlaceR[i])
            return fail("separate buffers differ from in-place ones at frame " + std::to_string(i));
        if (interleaved[2 * i] != inPlaceL[i] || interleaved[2 * i + 1] != inPlaceR[i])
            return fail("an interleaved buffer differs from separate ones at frame " + std::to_string(i));
    }
    return pass("nothing written past short, exact, long, split-frame or oversize buffers, separate or interleaved; "
                "separate, interleaved and in-place buffers agree bit for bit");
}

CheckResult realTime(const Context& context) {
    if (!realTimeGuardAvailable()) return pass("not measured in a sanitizer build (its allocator replaces ours)");
    auto made = Harness::make(context, 48000, 4096);
    if (!made) return fail(made.error());
    Harness& h = *made;
    std::mt19937 random(context.seed);
    auto left = makeSignal(Signal::noise, 48000, 48000, random), right = makeSignal(Signal::noise, 48000, 48000, random);
    std::array<AURenderEvent, 6> events{};
    for (std::size_t e = 0; e < events.size(); ++e) {
        events[e].parameter = {e + 1 < events.size() ? &events[e + 1] : nullptr, 0, AURenderEventParameter, {}, 0, e, 0.7f};
    }
    AudioBufferListStorage one(1);
    std::vector<float> interleaved(8192);
    RealTimeViolations total;
    for (std::uint32_t block : {1u, 64u, 512u, 4096u}) {
        h.unit().setShouldBypassEffect(block == 64);
        for (std::size_t done = 0; done + block <= 24000; done += block) {
            RealTimeGuard guard;
            h.render(&left[done], &right[done], block, done % 2048 == 0 ? &events[0] : nullptr);
            one->mNumberBuffers = 1;
            one.buffer(0) = {2, block * 8, interleaved.data()};
            h.renderList(one.get(), block);
            const auto seen = guard.violations();
            total.allocations += seen.allocations, total.frees += seen.frees, total.locks += seen.locks,
                total.systemCalls += seen.systemCalls;
        }
    }
    if (total.any()) {
        std::string faults;
        for (const auto& [count, what] : {std::pair{total.allocations, "allocates memory"}, std::pair{total.frees, "frees memory"},
                                          std::pair{total.locks, "takes a lock"}, std::pair{total.systemCalls, "makes a system call"}})
            if (count) faults += (faults.empty() ? "" : ", ") + std::string(what) + " (" + std::to_string(count) + " times)";
        return fail(faults + " inside render calls");
    }
    return pass("no allocation, free, lock or system call in render calls of 1 to 4096 frames");
}

CheckResult stateRoundTrip(const Context& context) {
    std::mt19937 random(context.seed);
    for (int round = 0; round < 20; ++round) {
        auto a = context.host.createUnit(), b = context.host.createUnit();
        if (!a || !b) return fail("the plug-in could not make two units");
        setParameters(**a, randomParameters(random));
        auto saved = (*a)->fullState();
        if (!saved) return fail("the unit has no state to save");
        auto first = serializePropertyList(PropertyList(*saved), PlistFormat::xml);
        if (!first) return fail(first.error().message);
        auto parsed = parsePropertyList(*first);
        if (!parsed || !parsed->dictionary()) return fail("the saved state does not read back");
        (*b)->setFullState(*parsed->dictionary());
        auto again = serializePropertyList(PropertyList(*(*b)->fullState()), PlistFormat::xml);
        if (!again || *again != *first) return fail("round " + std::to_string(round) + ": the restored state saves differently");
    }
    return pass("20 random states saved, restored and saved again byte for byte");
}

CheckResult badFiles(const Context& context) {
    auto unit = context.host.createUnit();
    if (!unit) return fail(unit.error().message);
    setParameters(**unit, {0.11f, 0.22f, 0.33f, 0.44f, 0.55f, 0.66f});
    const auto before = serializePropertyList(PropertyList(*(*unit)->fullState()), PlistFormat::xml);
    char pattern[] = "/tmp/orvane-validate-XXXXXX";
    if (!::mkdtemp(pattern)) return fail("cannot make a temporary folder");
    const fs::path folder = pattern;
    const std::string good(before->begin(), before->end());
    std::string nested;
    for (int i = 0; i < 20000; ++i) nested += "<array>";
    const std::map<std::string, std::string> files{
        {"not a property list", "\x01\x02 not a plist at all"},
        {"truncated", good.substr(0, good.size() / 2)},
        {"deeply nested", "<?xml version=\"1.0\"?><plist version=\"1.0\">" + nested},
        {"larger than 1 MiB", good.substr(0, good.rfind("</dict>")) + "<key>padding</key><string>" +
                                  std::string(kMaxPropertyListFileBytes, 'x') + "</string></dict></plist>"},
    };
    std::string problems;
    for (const auto& [what, content] : files) {
        const auto file = folder / "state.aupreset";
        std::ofstream(file, std::ios::binary) << content;
        auto read = readPropertyListFile(file);
        if (read) {
            if (auto* dictionary = read->dictionary()) (*unit)->setFullState(*dictionary);
            problems += " " + what + " was read;";
        } else if (read.error().message.find(file.string()) == std::string::npos) {
            problems += " " + what + ": the error does not name the file;";
        }
    }
    fs::remove_all(folder);
    const auto after = serializePropertyList(PropertyList(*(*unit)->fullState()), PlistFormat::xml);
    if (*after != *before) problems += " the unit's state changed;";
    return problems.empty() ? pass("files that are not, not whole, too deep or too large are refused, naming the file")
                            : fail(problems);
}

CheckResult parameterChanges(const Context& context) {
    auto made = Harness::make(context, 48000, 512);
    if (!made) return fail(made.error());
    Harness& h = *made;
    auto tree = h.unit().parameterTree();
    if (!tree) return fail("the unit has no parameter tree");
    std::mt19937 random(context.seed);
    std::size_t changes = 0;
    AURenderEvent event{};
    // Each parameter to its minimum, its middle and its maximum, through the
    // tree and through a render event, one block of noise after each.
    for (const auto& parameter : tree->allParameters()) {
        const float lo = parameter->minValue(), hi = parameter->maxValue();
        for (const float value : {lo, lo + (hi - lo) / 2, hi, lo}) {
            for (const bool byEvent : {false, true}) {
                auto left = makeSignal(Signal::noise, 512, 48000, random), right = makeSignal(Signal::noise, 512, 48000, random);
                event.parameter = {nullptr, 0, AURenderEventParameter, {}, 0, parameter->address(), value};
                if (!byEvent) parameter->setValue(value);
                h.render(left.data(), right.data(), 512, byEvent ? &event : nullptr);
                ++changes;
                for (const auto* side : {&left, &right})
                    if (auto problem = problemIn(side->data(), 512); !problem.empty())
                        return fail(problem + " after " + parameter->identifier() + " was set to " + format(value) +
                                    (byEvent ? " by a render event" : " through the tree"));
            }
        }
    }
    return pass(std::to_string(changes) + " parameter changes to each end and the middle, each followed by sound");
}

CheckResult resetSilences(const Context& context) {
    auto made = Harness::make(context, 48000, 512);
    if (!made) return fail(made.error());
    Harness& h = *made;
    // Long stream delays, full feedback, the longest reverberation, wander.
    setParameters(h.unit(), {1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f});
    std::mt19937 random(context.seed);
    auto left = makeSignal(Signal::noise, 24576, 48000, random), right = makeSignal(Signal::noise, 24576, 48000, random);
    for (std::size_t done = 0; done < left.size(); done += 512) h.render(&left[done], &right[done], 512);
    h.unit().reset();
    std::vector<float> silentL(512), silentR(512);
    for (int block = 0; block < 40; ++block) {
        std::fill(silentL.begin(), silentL.end(), 0.0f);
        std::fill(silentR.begin(), silentR.end(), 0.0f);
        h.render(silentL.data(), silentR.data(), 512);
        for (std::size_t i = 0; i < 512; ++i)
            if (silentL[i] != 0.0f || silentR[i] != 0.0f)
                return fail("keeps ringing after reset: silence in gave " + format(silentL[i] != 0.0f ? silentL[i] : silentR[i], 6) +
                            " at frame " + std::to_string(block * 512 + int(i)));
    }
    return pass("silence in after a reset is silence out, at once and for 0.4 s");
}

CheckResult stateValuesOutOfRange(const Context& context) {
    auto unit = context.host.createUnit();
    if (!unit) return fail(unit.error().message);
    auto tree = (*unit)->parameterTree();
    auto state = (*unit)->fullState();
    if (!tree || !state) return fail("the unit has no parameter tree or no state");
    auto* params = (*state)["orvane_params"].dictionary();
    if (!params) return fail("the saved state holds no \"orvane_params\" dictionary");
    std::size_t restored = 0;
    // Just below and just above each range, far beyond it, and infinite.
    for (const double beyond : {-0.001, 1.001, -1e30, 1e30, -HUGE_VAL, HUGE_VAL}) {
        for (const auto& parameter : tree->allParameters()) {
            const double lo = parameter->minValue(), hi = parameter->maxValue();
            const double value = beyond < 0 ? lo + beyond : hi + (beyond - 1.0);
            (*params)[parameter->identifier()] = value;
        }
        (*unit)->setFullState(*state);
        for (const auto& parameter : tree->allParameters()) {
            ++restored;
            const float now = parameter->value();
            if (!(now >= parameter->minValue() && now <= parameter->maxValue()))
                return fail("restores a state value out of range: " + parameter->identifier() + " given " +
                            format(std::get<double>((*params)[parameter->identifier()].value()), 3) + " became " +
                            format(now, 3) + ", outside " + format(parameter->minValue(), 3) + " to " +
                            format(parameter->maxValue(), 3));
        }
    }
    return pass(std::to_string(restored) + " values just and far outside their ranges, and infinite, restored within them");
}

CheckResult presetsWhileRendering(const Context& context) {
    auto made = Harness::make(context, 48000, 512);
    if (!made) return fail(made.error());
    auto unit = made->shared();
    const auto presets = unit->factoryPresets();
    if (presets.empty()) return fail("the plug-in has no factory presets");
    std::atomic<bool> stop{false};
    std::string problem;
    std::thread renderer([&] {
        std::mt19937 random(context.seed);
        auto left = makeSignal(Signal::noise, 512, 48000, random), right = left;
        while (!stop.load()) {
            auto l = left, r = right;
            made->render(l.data(), r.data(), 512);
            if (auto p = problemIn(l.data(), 512); !p.empty() && problem.empty()) problem = p;
        }
    });
    std::string mismatch;
    for (int round = 0; round < 20; ++round) {
        for (const auto& preset : presets) {
            unit->setCurrentPreset(preset);
            if (unit->currentPreset() != preset && unit->currentPreset()->number != preset->number)
                mismatch = preset->name + " did not become current";
        }
    }
    stop = true;
    renderer.join();
    if (!problem.empty()) return fail("rendering while presets changed: " + problem);
    if (!mismatch.empty()) return fail(mismatch);
    return pass(std::to_string(presets.size()) + " presets selected 20 times each while another thread rendered");
}

CheckResult threads(const Context& context) {
    auto made = Harness::make(context, 48000, 256);
    if (!made) return fail(made.error());
    auto unit = made->shared();
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    const auto state = unit->fullState();
    std::vector<std::thread> workers;
    workers.emplace_back([&] {
        std::vector<float> l(256), r(256);
        std::mt19937 random(context.seed);
        while (!stop.load()) {
            l = makeSignal(Signal::noise, 256, 48000, random), r = l;
            made->render(l.data(), r.data(), 256);
            if (!problemIn(l.data(), 256).empty()) ++bad;
        }
    });
    for (unsigned writer = 0; writer < 2; ++writer) {
        workers.emplace_back([&, writer] {
            std::mt19937 random(context.seed + writer + 1);
            while (!stop.load()) setParameters(*unit, randomParameters(random));
        });
    }
    workers.emplace_back([&] {
        while (!stop.load())
            if (state) unit->setFullState(*state);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(context.level >= 10 ? 3000 : 500));
    stop = true;
    for (auto& w : workers) w.join();
    return bad ? fail(std::to_string(bad.load()) + " blocks held bad samples")
               : pass("a render thread, two parameter writers and a state restorer ran together");
}

/// One of many units in a session: its own settings, which change on its own
/// schedule, its own noise, and a digest of every bit it put out.
struct SessionUnit {
    std::optional<Harness> harness;
    std::mt19937 random;
    std::uint32_t noise = 0;
    std::uint64_t digest = 14695981039346656037u;
    std::string problem;

    void renderBlock(std::size_t block) {
        constexpr std::uint32_t kFrames = 64;
        // New settings every quarter second.
        if (block % 187 == 0) setParameters(harness->unit(), randomParameters(random));
        std::array<float, kFrames> left, right;
        for (auto* side : {&left, &right})
            for (float& x : *side) {
                noise = noise * 1664525u + 1013904223u;
                x = static_cast<float>(static_cast<std::int32_t>(noise)) * 0x1p-32f;
            }
        harness->render(left.data(), right.data(), kFrames);
        for (auto* side : {&left, &right}) {
            if (auto p = problemIn(side->data(), kFrames); !p.empty() && problem.empty())
                problem = "block " + std::to_string(block) + ": " + p;
            for (float y : *side) digest = (digest ^ std::bit_cast<std::uint32_t>(y)) * 1099511628211u;
        }
    }
};

CheckResult sixteenUnits(const Context& context) {
    constexpr std::uint32_t kUnits = 16;
    // Level 3 is what a thread-sanitizer build runs, a hundred times slower:
    // a tenth of a second each still meets every shared field many times.
    const double seconds = context.level >= 10 ? 20.0 : context.level >= 6 ? 2.0 : 0.1;
    const auto blocks = static_cast<std::size_t>(seconds * 48000.0 / 64.0);
    const auto makeUnits = [&]() -> std::expected<std::vector<SessionUnit>, std::string> {
        std::vector<SessionUnit> units(kUnits);
        for (std::uint32_t i = 0; i < kUnits; ++i) {
            auto made = Harness::make(context, 48000, 64);
            if (!made) return std::unexpected(made.error());
            units[i].harness.emplace(std::move(*made));
            units[i].random.seed(context.seed + i);
            units[i].noise = context.seed * 31 + i;
        }
        return units;
    };
    auto alone = makeUnits(), together = makeUnits();
    if (!alone || !together) return fail(!alone ? alone.error() : together.error());
    for (auto& unit : *alone)
        for (std::size_t b = 0; b < blocks; ++b) unit.renderBlock(b);
    // Two threads, each taking every other unit a block at a time.
    const auto renderHalf = [&](std::uint32_t first) {
        for (std::size_t b = 0; b < blocks; ++b)
            for (std::uint32_t i = first; i < kUnits; i += 2) (*together)[i].renderBlock(b);
    };
    std::thread one(renderHalf, 0), other(renderHalf, 1);
    one.join();
    other.join();
    for (std::uint32_t i = 0; i < kUnits; ++i) {
        const auto& unit = (*together)[i];
        if (!unit.problem.empty()) return fail("unit " + std::to_string(i + 1) + " beside the others: " + unit.problem);
        if (unit.digest != (*alone)[i].digest)
            return fail("unit " + std::to_string(i + 1) + " renders differently beside 15 others than alone: units share state");
    }
    return pass(std::to_string(kUnits) + " units, " + format(seconds, 1) +
                " s each in 64-frame blocks with changing settings, from two threads: each gave the same bits as alone");
}

/// Seconds after the input stops until the output stays below -60 dB of the
/// input's level: the start of the last 2 ms window louder than that.
double ringOut(Harness& h, double rate, std::mt19937& random, double listenSeconds) {
    const auto noiseFrames = static_cast<std::size_t>(2.0 * rate);
    const auto listenFrames = static_cast<std::size_t>(listenSeconds * rate);
    auto left = makeSignal(Signal::noise, noiseFrames + listenFrames, rate, random);
    auto right = makeSignal(Signal::noise, noiseFrames + listenFrames, rate, random);
    for (std::size_t i = noiseFrames; i < left.size(); ++i) left[i] = right[i] = 0.0f;
    double inputPower = 0.0;
    for (std::size_t i = 0; i < noiseFrames; ++i) inputPower += double(left[i]) * left[i];
    inputPower /= double(noiseFrames);
    for (std::size_t done = 0; done < left.size(); done += 512)
        h.render(&left[done], &right[done], static_cast<std::uint32_t>(std::min<std::size_t>(512, left.size() - done)));
    const auto window = static_cast<std::size_t>(rate * 0.002);
    const double threshold = inputPower * 1e-6; // -60 dB in power
    double lastLoud = 0.0;
    for (std::size_t start = noiseFrames; start + window <= left.size(); start += window) {
        double power = 0.0;
        for (std::size_t i = start; i < start + window; ++i) power += 0.5 * (double(left[i]) * left[i] + double(right[i]) * right[i]);
        if (power / double(window) > threshold) lastLoud = double(start - noiseFrames) / rate;
    }
    return lastLoud;
}

CheckResult tail(const Context& context) {
    std::mt19937 random(context.seed);
    auto probe = Harness::make(context, 48000, 512);
    if (!probe) return fail(probe.error());
    std::vector<std::pair<std::string, std::array<float, 6>>> settings;
    for (const auto& preset : probe->unit().factoryPresets()) {
        probe->unit().setCurrentPreset(preset);
        std::array<float, 6> values{};
        auto tree = probe->unit().parameterTree();
        for (AUParameterAddress a = 0; a < 6; ++a) values[a] = tree->parameterWithAddress(a)->value();
        settings.emplace_back("preset " + preset->name, values);
    }
    // The corners: full feedback on the shortest and longest stream delays,
    // everything at once, and the stream delays at zero.
    for (const auto& corner : {std::array<float, 6>{1, 0, 0, 1, 0, 0}, std::array<float, 6>{1, 0.01f, 0, 1, 0, 0},
                               std::array<float, 6>{1, 1, 1, 1, 1, 1}, std::array<float, 6>{1, 0, 0, 1, 0, 1},
                               std::array<float, 6>{1, 0, 1, 0.99f, 0, 0}})
        settings.emplace_back("corner setting", corner);
    const int randoms = context.level >= 10 ? 50 : 10;
    for (int i = 0; i < randoms; ++i) settings.emplace_back("random setting " + std::to_string(i + 1), randomParameters(random));
    double worst = 1e9;
    std::string worstName;
    for (const auto& [name, values] : settings) {
        auto made = Harness::make(context, 48000, 512);
        if (!made) return fail(made.error());
        setParameters(made->unit(), values);
        const double reported = made->unit().tailTime();
        const double measured = ringOut(*made, 48000, random, reported + 1.0);
        const double margin = reported - measured;
        // A setting that falls silent at once (no stream delay, no
        // reverberation) says nothing about the margin.
        if (margin < worst && measured > 0.0) worst = margin, worstName = name;
        if (margin < 0.0) {
            std::ostringstream v;
            for (float x : values) v << ' ' << format(x, 3);
            return fail("reports a tail shorter than it rings: " + name + " (" + v.str().substr(1) + ") rings for " +
                        format(measured) + " s, reports " + format(reported) + " s");
        }
    }
    return pass(std::to_string(settings.size()) + " settings fall below -60 dB within their tail; worst margin " +
                format(worst) + " s (" + worstName + ")");
}

/// A 32-bit float stereo WAV file, written by hand so the validator needs no
/// audio-file library.
bool writeFloatWav(const fs::path& file, const std::vector<float>& left, const std::vector<float>& right, int rate) {
    std::ofstream out(file, std::ios::binary);
    const auto put32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    const auto put16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    const auto bytes = static_cast<std::uint32_t>(left.size() * 8);
    out.write("RIFF", 4), put32(36 + bytes), out.write("WAVEfmt ", 8), put32(16), put16(3), put16(2);
    put32(static_cast<std::uint32_t>(rate)), put32(static_cast<std::uint32_t>(rate) * 8), put16(8), put16(32);
    out.write("data", 4), put32(bytes);
    for (std::size_t i = 0; i < left.size(); ++i) {
        out.write(reinterpret_cast<const char*>(&left[i]), 4);
        out.write(reinterpret_cast<const char*>(&right[i]), 4);
    }
    return static_cast<bool>(out);
}

/// Runs a command line through the shell; true when it exits with 0.
bool runQuietly(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1 </dev/null").c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string quote(const fs::path& path) { return "'" + path.string() + "'"; }

CheckResult reproducibleFiles(const Context& context) {
    if (!context.renderProgram) return fail("orvane-render was not found beside this program");
    char pattern[] = "/tmp/orvane-validate-XXXXXX";
    if (!::mkdtemp(pattern)) return fail("cannot make a temporary folder");
    const fs::path folder = pattern;
    std::mt19937 random(context.seed);
    const auto input = folder / "in.wav";
    writeFloatWav(input, makeSignal(Signal::noise, 48000, 48000, random), makeSignal(Signal::impulses, 48000, 48000, random), 48000);
    std::string files[2];
    std::string problem;
    for (int run = 0; run < 2 && problem.empty(); ++run) {
        const auto out = folder / ("run" + std::to_string(run) + ".wav");
        if (!runQuietly(quote(*context.renderProgram) + " --plugin " + quote(context.pluginBundle) + " " + quote(input) +
                        " -o " + quote(out) + " --seed " + std::to_string(context.seed) + " --quiet --set gravitas=0.7"))
            problem = "orvane-render failed";
        std::ifstream in(out, std::ios::binary);
        files[run] = std::string((std::istreambuf_iterator<char>(in)), {});
    }
    fs::remove_all(folder);
    if (!problem.empty()) return fail(problem);
    if (files[0].empty() || files[0] != files[1]) return fail("two renders with seed " + std::to_string(context.seed) + " differ");
    return pass("two orvane-render runs with seed " + std::to_string(context.seed) + " wrote the same " +
                std::to_string(files[0].size()) + " bytes");
}

/// Resident memory in kilobytes and open file descriptors of this process.
std::pair<long, long> residentAndOpenFiles() {
    long resident = 0;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) resident = std::stol(line.substr(6));
    long files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++files;
    return {resident, files};
}

/// What a soak saw: a problem, or none, and resident memory (kB) and open
/// files after the first minute and at the end.
struct SoakResult {
    std::string problem;
    std::pair<long, long> warm{}, end{};

    CheckResult verdict(const std::string& through) const {
        if (!problem.empty()) return fail(problem);
        const std::string figures = "resident " + std::to_string(warm.first) + " -> " + std::to_string(end.first) +
                                    " kB, open files " + std::to_string(warm.second) + " -> " + std::to_string(end.second);
        // Allocator noise is a few pages; a leak per block would be megabytes.
        if (end.first - warm.first > 1024 || end.second != warm.second)
            return fail("10 min at 48 kHz " + through + ": memory or files grew: " + figures);
        return pass("10 min at 48 kHz with automation " + through + ", output bounded: " + figures);
    }
};

/// Ten minutes of audio at 48 kHz with random automation every 1024 frames
/// and stretches of silence.
template <typename Render, typename Automate>
SoakResult soak(std::uint32_t seed, Render render, Automate automate) {
    std::mt19937 random(seed);
    constexpr std::uint32_t kBlock = 256;
    constexpr std::size_t kBlocks = 48000 * 600 / kBlock, kMinute = 48000 * 60 / kBlock;
    std::vector<float> l(kBlock), r(kBlock);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    SoakResult result;
    for (std::size_t b = 0; b < kBlocks; ++b) {
        if (b == kMinute) result.warm = residentAndOpenFiles();
        if (b % 4 == 0) automate(randomParameters(random));
        const bool quiet = (b / 2000) % 3 == 2;
        for (std::uint32_t i = 0; i < kBlock; ++i) l[i] = quiet ? 0.0f : noise(random), r[i] = quiet ? 0.0f : noise(random);
        render(l.data(), r.data(), kBlock);
        if (auto problem = problemIn(l.data(), kBlock); !problem.empty()) {
            result.problem = "at " + format(double(b * kBlock) / 48000.0, 1) + " s: " + problem;
            break;
        }
    }
    result.end = residentAndOpenFiles();
    return result;
}

CheckResult soakUnit(const Context& context) {
    auto made = Harness::make(context, 48000, 256);
    if (!made) return fail(made.error());
    return soak(context.seed, [&](float* l, float* r, std::uint32_t n) { made->render(l, r, n); },
                [&](const std::array<float, 6>& values) { setParameters(made->unit(), values); })
        .verdict("through the unit");
}

CheckResult soakLV2(const Context& context) {
    if (!context.lv2Bundle) return fail("orvane.lv2 was not found");
    void* module = ::dlopen((*context.lv2Bundle / "orvane_dsp.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) return fail(std::string("orvane_dsp.so does not load: ") + ::dlerror());
    auto descriptorOf = reinterpret_cast<LV2_Descriptor_Function>(::dlsym(module, "lv2_descriptor"));
    const LV2_Descriptor* descriptor = descriptorOf ? descriptorOf(0) : nullptr;
    if (!descriptor) return fail("orvane_dsp.so has no plug-in");
    static std::map<std::string, LV2_URID> ids;
    LV2_URID_Map map{nullptr, [](LV2_URID_Map_Handle, const char* uri) -> LV2_URID {
                         return ids.emplace(uri, ids.size() + 1).first->second;
                     }};
    const LV2_Feature mapFeature{LV2_URID__map, &map};
    const LV2_Feature* features[] = {&mapFeature, nullptr};
    LV2_Handle instance = descriptor->instantiate(descriptor, 48000, (context.lv2Bundle->string() + "/").c_str(), features);
    if (!instance) return fail("orvane.lv2 does not instantiate");
    std::array<float, 8> controls{0.5f, 0, 0, 0.5f, 0, 0, 1.0f, 0};
    for (std::uint32_t p = 0; p < controls.size(); ++p) descriptor->connect_port(instance, 4 + p, &controls[p]);
    descriptor->activate(instance);
    const auto result = soak(context.seed,
                        [&](float* l, float* r, std::uint32_t n) {
                            descriptor->connect_port(instance, 0, l), descriptor->connect_port(instance, 1, r);
                            descriptor->connect_port(instance, 2, l), descriptor->connect_port(instance, 3, r);
                            descriptor->run(instance, n);
                        },
                        [&](const std::array<float, 6>& values) { std::copy(values.begin(), values.end(), controls.begin()); });
    descriptor->deactivate(instance);
    descriptor->cleanup(instance);
    return result.verdict("through orvane.lv2");
}

} // namespace

std::vector<Check> allChecks() {
    return {
        {"host call order", 1, hostCallOrder},
        {"buffer layouts and sizes", 1, buffers},
        {"state round trip", 1, stateRoundTrip},
        {"bad state files", 1, badFiles},
        {"state values out of range", 1, stateValuesOutOfRange},
        {"parameter changes", 1, parameterChanges},
        {"reset", 1, resetSilences},
        {"render grid", 2, [](const Context& c) { return renderGrid(c, false); }},
        {"real-time safety", 2, realTime},
        {"render grid with parameter events", 3, [](const Context& c) { return renderGrid(c, true); }},
        {"presets while rendering", 3, presetsWhileRendering},
        {"threads", 3, threads},
        {"sixteen units from two threads", 3, sixteenUnits},
        {"tail", 6, tail},
        {"reproducible files", 8, reproducibleFiles},
        {"soak through the unit", 10, soakUnit},
        {"soak through orvane.lv2", 10, soakLV2},
    };
}

} // namespace orvane::validate
