// A session as a DAW holds one: sixteen instances of orvane.lv2 in one process
// rendering from two threads, and editors opened and closed again and again
// while their instances render.

#include <gtest/gtest.h>

#include "hosts/lv2/OrvaneLV2.h"
#include "platform/audiounit/AUAudioUnit.h"
#include "platform/audiounit/AUParameterTree.h"
#include "platform/foundation/MainQueue.h"
#include "tests/engine/AllocationCounter.h"
#include "tests/hosts/LV2Build.h"
#include "tests/support/XServer.h"

#include <dlfcn.h>
#include <malloc.h>
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/options/options.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <thread>

namespace {

using namespace orvane::lv2;
constexpr std::uint32_t kBlock = 64;
constexpr double kRate = 48000.0;

/// The bundle in a lilv world, with a URID map and 64-frame blocks offered.
class World {
public:
    World() {
        world_ = lilv_world_new();
        LilvNode* bundle = lilv_new_file_uri(world_, nullptr, (kBundle.string() + "/").c_str());
        lilv_world_load_bundle(world_, bundle);
        lilv_node_free(bundle);
        LilvNode* uri = lilv_new_uri(world_, kPluginURI);
        plugin_ = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), uri);
        lilv_node_free(uri);
        map_ = {this, [](LV2_URID_Map_Handle h, const char* u) -> LV2_URID {
                    auto& ids = static_cast<World*>(h)->ids_;
                    return ids.emplace(u, ids.size() + 1).first->second;
                }};
        options_[0] = {LV2_OPTIONS_INSTANCE, 0, map_.map(this, LV2_BUF_SIZE__maxBlockLength), sizeof(std::int32_t),
                       map_.map(this, LV2_ATOM__Int), &maxBlock_};
        mapFeature_ = {LV2_URID__map, &map_};
        optionsFeature_ = {LV2_OPTIONS__options, options_};
    }
    ~World() { lilv_world_free(world_); }
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    LilvInstance* instantiate() {
        const LV2_Feature* features[] = {&mapFeature_, &optionsFeature_, nullptr};
        return plugin_ ? lilv_plugin_instantiate(plugin_, kRate, features) : nullptr;
    }

private:
    LilvWorld* world_ = nullptr;
    const LilvPlugin* plugin_ = nullptr;
    std::map<std::string, LV2_URID> ids_;
    LV2_URID_Map map_{};
    std::int32_t maxBlock_ = kBlock;
    LV2_Options_Option options_[2]{};
    LV2_Feature mapFeature_{}, optionsFeature_{};
};

/// One instance with its own ports, its own noise input from a seed, and a
/// digest of what it put out.
class Instance {
public:
    Instance(World& world, const std::array<float, kParameterCount>& settings, std::uint32_t seed)
        : lilv_(world.instantiate()), noise_(seed) {
        if (!lilv_) return;
        std::copy(settings.begin(), settings.end(), controls.begin());
        controls[kParameterCount] = 1.0f; // enabled
        for (std::uint32_t p = 0; p < controls.size(); ++p) lilv_instance_connect_port(lilv_, kFirstParameterPort + p, &controls[p]);
        lilv_instance_connect_port(lilv_, kInputLeft, in_[0].data());
        lilv_instance_connect_port(lilv_, kInputRight, in_[1].data());
        lilv_instance_connect_port(lilv_, kOutputLeft, out_[0].data());
        lilv_instance_connect_port(lilv_, kOutputRight, out_[1].data());
        lilv_instance_activate(lilv_);
    }
    ~Instance() {
        if (!lilv_) return;
        lilv_instance_deactivate(lilv_);
        lilv_instance_free(lilv_);
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;
    explicit operator bool() const { return lilv_ != nullptr; }

    /// One block of fresh noise through the instance. Allocates nothing.
    void run() {
        for (auto& channel : in_)
            for (float& x : channel) {
                noise_ = noise_ * 1664525u + 1013904223u;
                x = static_cast<float>(static_cast<std::int32_t>(noise_)) * 0x1p-32f;
            }
        lilv_instance_run(lilv_, kBlock);
        for (const auto& channel : out_)
            for (const float y : channel) {
                if (!(std::fabs(y) <= 1.0f) && !problem) problem = y;
                // -0 and +0 count alike: only an echo pattern's sign could tell them apart.
                digest = (digest ^ std::bit_cast<std::uint32_t>(y + 0.0f)) * 1099511628211u;
            }
    }

    /// premix .. gravitas, enabled, latency.
    std::array<float, kParameterCount + 2> controls{};
    std::uint64_t digest = 14695981039346656037u;
    /// The first sample that was not finite and within [-1, 1], if any.
    std::optional<float> problem;

private:
    LilvInstance* lilv_;
    std::uint32_t noise_;
    std::array<std::array<float, kBlock>, 2> in_{}, out_{};
};

std::array<float, kParameterCount> randomSettings(std::mt19937& random) {
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::array<float, kParameterCount> s{};
    for (float& v : s) v = unit(random);
    return s;
}

/// Resident memory once the allocator has handed its free pages back: what
/// is still in use, not the high-water mark of eight editors at once.
long residentKilobytes() {
    ::malloc_trim(0);
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

} // namespace

TEST(LV2Session, SixteenInstancesRenderTogetherFromTwoThreadsAndShareNothing) {
    // Twenty seconds each at 64-frame blocks; a sanitizer build, ten times
    // slower, renders two.
    const std::size_t blocks = static_cast<std::size_t>((kSanitized ? 2.0 : 20.0) * kRate) / kBlock;
    const std::size_t compared = std::min<std::size_t>(blocks, static_cast<std::size_t>(2.0 * kRate) / kBlock);
    World world;
    std::mt19937 random(21);
    // Even instances have no reverberation, whose echo pattern each instance
    // draws afresh, so they give the same bits as a twin rendered alone. Odd
    // ones get new settings, bypass included, every quarter second.
    std::vector<std::array<float, kParameterCount>> settings;
    std::vector<std::unique_ptr<Instance>> instances, twins(16);
    for (std::uint32_t i = 0; i < 16; ++i) {
        settings.push_back(randomSettings(random));
        if (i % 2 == 0) settings.back()[5] = 0.0f;
        instances.push_back(std::make_unique<Instance>(world, settings.back(), i + 1));
        ASSERT_TRUE(*instances.back()) << "instance " << i << " from " << kBundle;
    }
    for (std::uint32_t i = 0; i < 16; i += 2) {
        twins[i] = std::make_unique<Instance>(world, settings[i], i + 1);
        for (std::size_t b = 0; b < compared; ++b) twins[i]->run();
    }

    std::vector<std::uint64_t> digestAtCompared(16);
    std::atomic<std::size_t> allocations{0};
    const auto renderHalf = [&](std::uint32_t first) {
        std::mt19937 changes(first);
        orvane::testing::AllocationCounter counter;
        for (std::size_t b = 0; b < blocks; ++b) {
            for (std::uint32_t i = first; i < first + 8; ++i) {
                Instance& instance = *instances[i];
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
    ::setenv("DISPLAY", x.name().c_str(), 1);
    Display* d = x.display();
    static std::atomic<int> xErrors{0};
    auto* previousHandler = XSetErrorHandler([](Display*, XErrorEvent*) { return ++xErrors, 0; });
    const auto windowCount = [&] {
        std::string listing;
        FILE* pipe = ::popen(("xwininfo -display " + x.name() + " -root -tree").c_str(), "r");
        char buffer[4096];
        for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) listing.append(buffer, n);
        if (pipe) ::pclose(pipe);
        std::size_t count = 0;
        for (std::size_t at = 0; (at = listing.find("\n     0x", at)) != std::string::npos; ++at) ++count;
        return count;
    };

    // Eight instances render on their own thread; what an editor writes
    // reaches their ports between blocks, as a host passes it on.
    constexpr std::uint32_t kEditors = 8;
    World world;
    std::vector<std::unique_ptr<Instance>> instances;
    std::array<std::array<std::atomic<float>, kParameterCount>, kEditors> written{};
    std::mt19937 random(8);
    for (std::uint32_t i = 0; i < kEditors; ++i) {
        instances.push_back(std::make_unique<Instance>(world, randomSettings(random), i + 1));
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

    void* module = ::dlopen((kBundle / "orvane_ui.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(module) << ::dlerror();
    const LV2UI_Descriptor* ui = reinterpret_cast<LV2UI_DescriptorFunction>(::dlsym(module, "lv2ui_descriptor"))(0);
    const auto* idle = static_cast<const LV2UI_Idle_Interface*>(ui->extension_data(LV2_UI__idleInterface));
    std::vector<Window> parents;
    for (std::uint32_t i = 0; i < kEditors; ++i) {
        parents.push_back(XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 500, 400, 0, 0, 0));
        XMapWindow(d, parents.back());
    }
    XSync(d, False);
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
    const auto step = [&](LV2UI_Handle editor) {
        if (editor) idle->idle(editor);
    };

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
        if (cycle == 9) afterTenth = residentKilobytes();
    }
    std::vector<LV2UI_Handle> open8;
    for (std::uint32_t i = 0; i < kEditors; ++i) open8.push_back(open(i));
    for (int round = 0; round < 3; ++round)
        for (auto editor : open8) step(editor);
    for (auto editor : open8)
        if (editor) ui->cleanup(editor);
    const long afterLast = residentKilobytes();
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
