// A timing host for LV2 plug-ins: the same 60 seconds of seeded stereo noise
// through each plug-in named, at 48 kHz in 512-frame blocks, every control at
// its default, on one thread. Only the time spent in run counts (the
// thread's CPU time). The plug-ins take turns a second of audio at a time, so
// that a machine whose speed drifts slows them all alike and the ratios hold.
// Prints one line per plug-in: real-time factor and name.
// "URI,symbol=value,..." sets controls of that plug-in instead.
//
//   orvane-lv2-timing URI[,symbol=value...] ...     (LV2_PATH says where to look)

#include "Measuring.h"

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double kRate = 48000.0;
constexpr std::uint32_t kBlock = 512;
constexpr std::size_t kSeconds = 60;
/// Room of each event-sequence buffer, in 8-byte words.
constexpr std::size_t kAtomWords = 1024;

std::map<std::string, LV2_URID> ids;
LV2_URID mapURI(LV2_URID_Map_Handle, const char* uri) { return ids.emplace(uri, ids.size() + 1).first->second; }

/// Work a plug-in schedules runs at once, on the same thread, with its
/// response delivered right away: enough for plug-ins that ask for a worker
/// only to load files or presets.
struct Worker {
    LilvInstance* instance = nullptr;
    const LV2_Worker_Interface* interface = nullptr;
};
Worker worker;

LV2_Worker_Status respond(LV2_Worker_Respond_Handle, std::uint32_t size, const void* data) {
    if (!worker.interface || !worker.interface->work_response) return LV2_WORKER_ERR_UNKNOWN;
    return worker.interface->work_response(lilv_instance_get_handle(worker.instance), size, data);
}

LV2_Worker_Status scheduleWork(LV2_Worker_Schedule_Handle, std::uint32_t size, const void* data) {
    if (!worker.interface || !worker.interface->work) return LV2_WORKER_ERR_UNKNOWN;
    return worker.interface->work(lilv_instance_get_handle(worker.instance), respond, nullptr, size, data);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: orvane-lv2-timing URI [URI ...]\n");
        return 2;
    }
    const std::size_t frames = std::size_t(kRate) * kSeconds;
    std::vector<float> left(frames), right(frames);
    std::mt19937 random(2024);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    for (std::size_t i = 0; i < frames; ++i) left[i] = noise(random), right[i] = noise(random);

    LilvWorld* world = lilv_world_new();
    lilv_world_load_all(world);
    const LilvPlugins* plugins = lilv_world_get_all_plugins(world);
    LV2_URID_Map map{nullptr, mapURI};
    std::int32_t block = kBlock;
    LV2_Options_Option options[] = {
        {LV2_OPTIONS_INSTANCE, 0, mapURI(nullptr, LV2_BUF_SIZE__maxBlockLength), sizeof block, mapURI(nullptr, LV2_ATOM__Int), &block},
        {LV2_OPTIONS_INSTANCE, 0, mapURI(nullptr, LV2_BUF_SIZE__minBlockLength), sizeof block, mapURI(nullptr, LV2_ATOM__Int), &block},
        {LV2_OPTIONS_INSTANCE, 0, mapURI(nullptr, LV2_BUF_SIZE__nominalBlockLength), sizeof block, mapURI(nullptr, LV2_ATOM__Int), &block},
        {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}};
    const LV2_Feature mapFeature{LV2_URID__map, &map}, optionsFeature{LV2_OPTIONS__options, options},
        bounded{LV2_BUF_SIZE__boundedBlockLength, nullptr};
    LV2_Worker_Schedule schedule{nullptr, scheduleWork};
    const LV2_Feature workerFeature{LV2_WORKER__schedule, &schedule};
    const LV2_Feature* features[] = {&mapFeature, &optionsFeature, &bounded, &workerFeature, nullptr};
    LilvNode* audio = lilv_new_uri(world, LV2_CORE__AudioPort);
    LilvNode* control = lilv_new_uri(world, LV2_CORE__ControlPort);
    LilvNode* input = lilv_new_uri(world, LV2_CORE__InputPort);
    LilvNode* atom = lilv_new_uri(world, LV2_ATOM__AtomPort);

    /// One loaded plug-in, its port buffers, and the time spent in its run.
    struct Peer {
        const LilvPlugin* plugin = nullptr;
        LilvInstance* instance = nullptr;
        const LV2_Worker_Interface* interface = nullptr;
        std::vector<float> values;
        std::vector<std::vector<float>> audioBuffers;
        std::vector<std::vector<std::uint64_t>> atomBuffers;
        std::vector<std::uint32_t> audioIn, atomOut;
        double spent = 0.0;
    };
    std::vector<Peer> peers;
    peers.reserve(std::size_t(argc));
    int status = 0;
    for (int a = 1; a < argc; ++a) {
        std::string text = argv[a];
        std::map<std::string, float> settings;
        for (auto comma = text.rfind(','); comma != std::string::npos; comma = text.rfind(',')) {
            const std::string setting = text.substr(comma + 1);
            const auto equals = setting.find('=');
            if (equals != std::string::npos) settings[setting.substr(0, equals)] = std::stof(setting.substr(equals + 1));
            text.erase(comma);
        }
        LilvNode* uri = lilv_new_uri(world, text.c_str());
        const LilvPlugin* plugin = lilv_plugins_get_by_uri(plugins, uri);
        lilv_node_free(uri);
        worker.instance = nullptr;
        worker.interface = nullptr;
        LilvInstance* instance = plugin ? lilv_plugin_instantiate(plugin, kRate, features) : nullptr;
        if (!instance) {
            std::fprintf(stderr, "orvane-lv2-timing: cannot load %s\n", text.c_str());
            status = 1;
            continue;
        }
        Peer& peer = peers.emplace_back();
        peer.plugin = plugin;
        peer.instance = instance;
        peer.interface =
            static_cast<const LV2_Worker_Interface*>(lilv_instance_get_extension_data(instance, LV2_WORKER__interface));
        const std::uint32_t ports = lilv_plugin_get_num_ports(plugin);
        peer.values.assign(ports, 0.0f);
        peer.audioBuffers.resize(ports);
        peer.atomBuffers.resize(ports);
        for (std::uint32_t p = 0; p < ports; ++p) {
            const LilvPort* port = lilv_plugin_get_port_by_index(plugin, p);
            if (lilv_port_is_a(plugin, port, audio)) {
                peer.audioBuffers[p].assign(kBlock, 0.0f);
                if (lilv_port_is_a(plugin, port, input)) peer.audioIn.push_back(p);
                lilv_instance_connect_port(instance, p, peer.audioBuffers[p].data());
            } else if (lilv_port_is_a(plugin, port, control)) {
                LilvNode* initial = nullptr;
                lilv_port_get_range(plugin, port, &initial, nullptr, nullptr);
                if (initial) peer.values[p] = lilv_node_as_float(initial);
                lilv_node_free(initial);
                const auto set = settings.find(lilv_node_as_string(lilv_port_get_symbol(plugin, port)));
                if (set != settings.end()) peer.values[p] = set->second;
                lilv_instance_connect_port(instance, p, &peer.values[p]);
            } else if (lilv_port_is_a(plugin, port, atom)) {
                // An empty event sequence in, room for events out.
                peer.atomBuffers[p].assign(kAtomWords, 0);
                auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(peer.atomBuffers[p].data());
                sequence->atom.type = mapURI(nullptr, LV2_ATOM__Sequence);
                const bool in = lilv_port_is_a(plugin, port, input);
                sequence->atom.size = in ? sizeof(LV2_Atom_Sequence_Body) : kAtomWords * 8 - sizeof(LV2_Atom);
                if (!in) peer.atomOut.push_back(p);
                lilv_instance_connect_port(instance, p, sequence);
            } else {
                lilv_instance_connect_port(instance, p, nullptr);
            }
        }
        lilv_instance_activate(instance);
    }

    const std::size_t slice = std::size_t(kRate) / kBlock * kBlock;
    for (std::size_t from = 0; from + kBlock <= frames; from += slice) {
        for (Peer& peer : peers) {
            worker.instance = peer.instance;
            worker.interface = peer.interface;
            for (std::size_t done = from; done < from + slice && done + kBlock <= frames; done += kBlock) {
                for (std::size_t i = 0; i < peer.audioIn.size(); ++i) {
                    std::memcpy(peer.audioBuffers[peer.audioIn[i]].data(), (i % 2 ? right : left).data() + done,
                                kBlock * sizeof(float));
                }
                for (const std::uint32_t p : peer.atomOut) {
                    reinterpret_cast<LV2_Atom_Sequence*>(peer.atomBuffers[p].data())->atom.size =
                        kAtomWords * 8 - sizeof(LV2_Atom);
                }
                const double start = orvane_bench::threadSeconds();
                lilv_instance_run(peer.instance, kBlock);
                peer.spent += orvane_bench::threadSeconds() - start;
            }
        }
    }
    for (Peer& peer : peers) {
        lilv_instance_deactivate(peer.instance);
        lilv_instance_free(peer.instance);
        LilvNode* name = lilv_plugin_get_name(peer.plugin);
        std::printf("%8.1f  %s\n", double(kSeconds) / peer.spent, lilv_node_as_string(name));
        lilv_node_free(name);
    }
    lilv_node_free(audio), lilv_node_free(control), lilv_node_free(input), lilv_node_free(atom);
    lilv_world_free(world);
    return status;
}
