// A session as a DAW holds one: sixteen instances of orvane.lv2 in one process
// rendering from two threads, and editors opened and closed again and again
// while their instances render.

#include <gtest/gtest.h>

#include "platform/audiounit/AUAudioUnit.h"
#include "platform/audiounit/AUParameterTree.h"
#include "platform/foundation/MainQueue.h"
#include "tests/engine/AllocationCounter.h"
#include "tests/hosts/LV2Host.h"
#include "tests/support/Process.h"

#include <malloc.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <thread>

namespace {

using namespace lv2host;
constexpr std::uint32_t kBlock = 64;
constexpr double kRate = 48000.0;

/// An instance fed noise of its own from a seed, with a digest of what it
/// put out.
class NoisyInstance : public Instance {
public:
    NoisyInstance(const World& world, const std::array<float, kParameterCount>& settings, std::uint32_t seed)
        : Instance(world, settings, kRate), noise_(seed) {}

    /// One block of fresh noise through the instance. Allocates nothing.
    void run() {
        for (auto& channel : in_)
            for (float& x : channel) {
                noise_ = noise_ * 1664525u + 1013904223u;
                x = static_cast<float>(static_cast<std::int32_t>(noise_)) * 0x1p-32f;
            }
        Instance::run(in_[0].data(), in_[1].data(), out_[0].data(), out_[1].data(), kBlock);
        for (const auto& channel : out_)
            for (const float y : channel) {
                if (!(std::fabs(y) <= 1.0f) && !problem) problem = y;
                // -0 and +0 count alike: only an echo pattern's sign could tell them apart.
                digest = (digest ^ std::bit_cast<std::uint32_t>(y + 0.0f)) * 1099511628211u;
            }
    }

    std::uint64_t digest = 14695981039346656037u;
    /// The first sample that was not finite and within [-1, 1], if any.
    std::optional<float> problem;

private:
    std::uint32_t noise_;
    std::array<std::array<float, kBlock>, 2> in_{}, out_{};
};

std::array<float, kParameterCount> randomSettings(std::mt19937& random) {
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::array<float, kParameterCount> s{};
    for (float& v : s) v = unit(random);
    return s;
}


} // namespace

TEST(LV2Session, SixteenInstancesRenderTogetherFromTwoThreadsAndShareNothing) {
    // Twenty seconds each at 64-frame blocks; a sanitizer build, ten times
    // slower, renders two.
    const std::size_t blocks = static_cast<std::size_t>((kSanitized ? 2.0 : 20.0) * kRate) / kBlock;
    const std::size_t compared = std::min<std::size_t>(blocks, static_cast<std::size_t>(2.0 * kRate) / kBlock);
    World world(kBlock);
    std::mt19937 random(21);
    // Even instances have no reverberation, whose echo pattern each instance
    // draws afresh, so they give the same bits as a twin rendered alone. Odd
    // ones get new settings, bypass included, every quarter second.
    std::vector<std::array<float, kParameterCount>> settings;
    std::vector<std::unique_ptr<NoisyInstance>> instances, twins(16);
    for (std::uint32_t i = 0; i < 16; ++i) {
        settings.push_back(randomSettings(random));
        if (i % 2 == 0) settings.back()[5] = 0.0f;
        instances.push_back(std::make_unique<NoisyInstance>(world, settings.back(), i + 1));
        ASSERT_TRUE(*instances.back()) << "instance " << i << " from " << kBundle;
    }
    for (std::uint32_t i = 0; i < 16; i += 2) {
        twins[i] = std::make_unique<NoisyInstance>(world, settings[i], i + 1);
        for (std::size_t b = 0; b < compared; ++b) twins[i]->run();
    }

    std::vector<std::uint64_t> digestAtCompared(16);
    std::atomic<std::size_t> allocations{0};
    const auto renderHalf = [&](std::uint32_t first) {
        std::mt19937 changes(first);
        orvane::testing::AllocationCounter counter;
        for (std::size_t b = 0; b < blocks; ++b) {
            for (std::uint32_t i = first; i < first + 8; ++i) {
                NoisyInstance& instance = *instances[i];
                if (i % 2 == 1 && b % 187 == 0) {
                    const auto s = randomSettings(changes);
                    std::copy(s.begin(), s.end(), instance.controls.begin());
                    instance.controls[kParameterCount] = s[0] < 0.2f ? 0.0f : 1.0f;
                }
                instance.run();
                if (b + 1 == compared) digestAtCompared[i] = instance.digest;
            }
        }
        allocations += counter.count();
    };
    std::thread one(renderHalf, 0), other(renderHalf, 8);
    one.join();
    other.join();

    EXPECT_EQ(allocations.load(), 0u) << "run allocates nothing";
    for (std::uint32_t i = 0; i < 16; ++i) {
        EXPECT_FALSE(instances[i]->problem) << "instance " << i << " put out " << *instances[i]->problem;
        if (i % 2 == 0) {
            EXPECT_EQ(digestAtCompared[i], twins[i]->digest)
                << "instance " << i << " rendered differently beside the others than alone";
        }
    }
}

TEST(LV2Session, EditorsOpenAndCloseWhileTheirInstancesRenderAndLeaveNothingBehind) {
    testx::XServer x;
    Display* d = x.display();
    static std::atomic<int> xErrors{0};
    auto* previousHandler = XSetErrorHandler([](Display*, XErrorEvent*) { return ++xErrors, 0; });
    const auto windowCount = [&] {
        const auto listing = run("xwininfo -display " + x.name() + " -root -tree");
        std::size_t count = 0;
        for (std::size_t at = 0; (at = listing.find("\n     0x", at)) != std::string::npos; ++at) ++count;
        return count;
    };

    // Eight instances render on their own thread; what an editor writes
    // reaches their ports between blocks, as a host passes it on.
    constexpr std::uint32_t kEditors = 8;
    World world(kBlock);
    std::vector<std::unique_ptr<NoisyInstance>> instances;
    std::array<std::array<std::atomic<float>, kParameterCount>, kEditors> written{};
    std::mt19937 random(8);
    for (std::uint32_t i = 0; i < kEditors; ++i) {
        instances.push_back(std::make_unique<NoisyInstance>(world, randomSettings(random), i + 1));
        ASSERT_TRUE(*instances.back());
        for (std::uint32_t p = 0; p < kParameterCount; ++p) written[i][p] = instances[i]->controls[p];
    }
    std::atomic<bool> stop{false};
    std::thread renderer([&] {
        while (!stop.load())
            for (std::uint32_t i = 0; i < kEditors; ++i) {
                for (std::uint32_t p = 0; p < kParameterCount; ++p) instances[i]->controls[p] = written[i][p].load();
                instances[i]->run();
            }
    });

    const LV2UI_Descriptor* ui = uiDescriptor();
    ASSERT_TRUE(ui) << ::dlerror();
    const auto* idle = idleOf(ui);
    std::vector<Window> parents;
    for (std::uint32_t i = 0; i < kEditors; ++i) parents.push_back(hostWindow(x, 500, 400));
    const LV2UI_Write_Function write = [](LV2UI_Controller c, std::uint32_t port, std::uint32_t size, std::uint32_t format,
                                          const void* buffer) {
        if (format == 0 && size == sizeof(float) && port >= kFirstParameterPort && port < kFirstParameterPort + kParameterCount)
            (*static_cast<std::array<std::atomic<float>, kParameterCount>*>(c))[port - kFirstParameterPort] =
                *static_cast<const float*>(buffer);
    };
    const auto open = [&](std::uint32_t i) {
        const LV2_Feature parent{LV2_UI__parent, reinterpret_cast<void*>(parents[i])};
        const LV2_Feature* features[] = {&parent, nullptr};
        LV2UI_Widget widget = nullptr;
        LV2UI_Handle editor = ui->instantiate(ui, kPluginURI, (kBundle.string() + "/").c_str(), write, &written[i],
                                              &widget, features);
        EXPECT_TRUE(editor);
        for (std::uint32_t p = 0; editor && p < kParameterCount; ++p) {
            const float value = written[i][p].load();
            ui->port_event(editor, kFirstParameterPort + p, sizeof(float), 0, &value);
        }
        return editor;
    };
    const auto step = [&](LV2UI_Handle editor) { return editor && idle->idle(editor); };

    const std::size_t windowsBefore = windowCount();
    const auto parameterObservers = platform::AUParameterTree::registeredObserverCount();
    const auto keyObservers = platform::AUAudioUnit::registeredObserverCount();
    // A sanitizer build, ten times slower, opens its editor 40 times; its
    // allocator keeps freed memory in quarantine, so its leak checker, not
    // resident memory, tells whether any was lost.
    const int cycles = kSanitized ? 40 : 200;
    long afterTenth = 0;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        LV2UI_Handle editor = open(0);
        step(editor);
        const float gravitas = static_cast<float>(cycle % 10) / 10.0f;
        if (editor) ui->port_event(editor, kFirstParameterPort + 5, sizeof(float), 0, &gravitas);
        step(editor);
        if (editor) ui->cleanup(editor);
        if (cycle == 9) afterTenth = testprocess::residentKilobytes();
    }
    std::vector<LV2UI_Handle> open8;
    for (std::uint32_t i = 0; i < kEditors; ++i) open8.push_back(open(i));
    for (int round = 0; round < 3; ++round)
        for (auto editor : open8) step(editor);
    for (auto editor : open8)
        if (editor) ui->cleanup(editor);
    const long afterLast = testprocess::residentKilobytes();
    stop = true;
    renderer.join();
    XSync(d, False);

    if (!kSanitized) {
        EXPECT_LE(std::labs(afterLast - afterTenth), 2048) << "resident " << afterTenth << " kB after the tenth close, "
                                                       << afterLast << " kB after the last";
    }
    EXPECT_EQ(xErrors.load(), 0) << "X errors";
    EXPECT_EQ(windowCount(), windowsBefore) << "X windows left behind";
    EXPECT_EQ(platform::MainQueue::shared().pendingCount(), 0u) << "tasks left on the main queue";
    EXPECT_EQ(platform::AUParameterTree::registeredObserverCount(), parameterObservers) << "parameter observers left";
    EXPECT_EQ(platform::AUAudioUnit::registeredObserverCount(), keyObservers) << "key-value observers left";
    for (std::uint32_t i = 0; i < kEditors; ++i) EXPECT_FALSE(instances[i]->problem) << "instance " << i;
    std::printf("%d editor cycles and 8 at once: resident %ld kB after the tenth close, %ld kB after the last; "
                "%zu X windows before and after\n",
                cycles, afterTenth, afterLast, windowsBefore);
    XSetErrorHandler(previousHandler);
}
