#pragma once

// Orvane.vst3 as the tests host it: the built module loaded as hosts load
// it (ModuleEntry, GetPluginFactory), instances driven through the VST3
// interfaces with a parameter-change queue of our own, and the editor's
// frame with a run loop that waits on the descriptors and timers the view
// registers.

#include "hosts/vst3/OrvaneVST3.h"

#include <dlfcn.h>
#include <poll.h>

#include <pluginterfaces/base/ibstream.h>
#include <pluginterfaces/base/ipluginbase.h>
#include <pluginterfaces/gui/iplugview.h>
#include <pluginterfaces/vst/ivstaudioprocessor.h>
#include <pluginterfaces/vst/ivstcomponent.h>
#include <pluginterfaces/vst/ivsteditcontroller.h>
#include <pluginterfaces/vst/ivstparameterchanges.h>
#include <pluginterfaces/vst/ivstunits.h>
#include <pluginterfaces/vst/vstspeaker.h>
#include <public.sdk/source/common/memorystream.h>
#include <public.sdk/source/vst/hosting/hostclasses.h>

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vst3host {

using namespace Steinberg;
using namespace Steinberg::Vst;

inline const std::filesystem::path kBundle = std::filesystem::path(ORVANE_VST3_PATH) / "Orvane.vst3";
inline const std::filesystem::path kModule = kBundle / "Contents" / "x86_64-linux" / "Orvane.so";

inline bool sameIID(const TUID a, const TUID b) { return std::memcmp(a, b, sizeof(TUID)) == 0; }

/// The module, loaded once for the test process as a host loads it.
class Module {
public:
    static Module& shared() {
        static Module module;
        return module;
    }
    IPluginFactory* factory() const { return factory_; }
    void* handle() const { return handle_; }

private:
    Module() {
        handle_ = ::dlopen(kModule.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_) throw std::runtime_error(::dlerror());
        auto entry = reinterpret_cast<bool (*)(void*)>(::dlsym(handle_, "ModuleEntry"));
        auto get = reinterpret_cast<IPluginFactory* (*)()>(::dlsym(handle_, "GetPluginFactory"));
        if (!entry || !get || !entry(handle_)) throw std::runtime_error("the module's entry points failed");
        factory_ = get();
    }
    void* handle_ = nullptr;
    IPluginFactory* factory_ = nullptr;
};

/// One parameter's points within a block.
class ValueQueue : public IParamValueQueue {
public:
    explicit ValueQueue(ParamID id) : id_(id) {}
    tresult PLUGIN_API queryInterface(const TUID, void** obj) override { return *obj = nullptr, kNoInterface; }
    uint32 PLUGIN_API addRef() override { return 1; }
    uint32 PLUGIN_API release() override { return 1; }
    ParamID PLUGIN_API getParameterId() override { return id_; }
    int32 PLUGIN_API getPointCount() override { return static_cast<int32>(points_.size()); }
    tresult PLUGIN_API getPoint(int32 index, int32& offset, ParamValue& value) override {
        if (index < 0 || index >= getPointCount()) return kResultFalse;
        offset = points_[static_cast<std::size_t>(index)].first;
        value = points_[static_cast<std::size_t>(index)].second;
        return kResultOk;
    }
    tresult PLUGIN_API addPoint(int32 offset, ParamValue value, int32& index) override {
        index = getPointCount();
        points_.emplace_back(offset, value);
        return kResultOk;
    }

private:
    ParamID id_;
    std::vector<std::pair<int32, ParamValue>> points_;
};

/// The changes of one block, filled before process is called.
class ParameterChanges : public IParameterChanges {
public:
    tresult PLUGIN_API queryInterface(const TUID, void** obj) override { return *obj = nullptr, kNoInterface; }
    uint32 PLUGIN_API addRef() override { return 1; }
    uint32 PLUGIN_API release() override { return 1; }
    int32 PLUGIN_API getParameterCount() override { return static_cast<int32>(queues_.size()); }
    IParamValueQueue* PLUGIN_API getParameterData(int32 index) override {
        return index >= 0 && index < getParameterCount() ? &queues_[static_cast<std::size_t>(index)] : nullptr;
    }
    IParamValueQueue* PLUGIN_API addParameterData(const ParamID& id, int32& index) override {
        for (std::size_t i = 0; i < queues_.size(); ++i)
            if (queues_[i].getParameterId() == id) return index = static_cast<int32>(i), &queues_[i];
        index = getParameterCount();
        queues_.emplace_back(id);
        return &queues_.back();
    }
    /// Adds one point.
    void add(ParamID id, int32 offset, ParamValue value) {
        int32 index = 0;
        addParameterData(id, index)->addPoint(offset, value, index);
    }
    void clear() { queues_.clear(); }
    bool empty() const { return queues_.empty(); }

private:
    std::vector<ValueQueue> queues_;
};

/// What the plug-in tells its host: edits and gestures, in order.
class ComponentHandler : public IComponentHandler {
public:
    struct Edit {
        char kind; // 'b' begin, 'p' perform, 'e' end
        ParamID id;
        ParamValue value;
    };
    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        if (sameIID(iid, FUnknown::iid) || sameIID(iid, IComponentHandler::iid)) return *obj = this, kResultOk;
        return *obj = nullptr, kNoInterface;
    }
    uint32 PLUGIN_API addRef() override { return 1; }
    uint32 PLUGIN_API release() override { return 1; }
    tresult PLUGIN_API beginEdit(ParamID id) override { return edits.push_back({'b', id, 0.0}), kResultOk; }
    tresult PLUGIN_API performEdit(ParamID id, ParamValue value) override {
        return edits.push_back({'p', id, value}), kResultOk;
    }
    tresult PLUGIN_API endEdit(ParamID id) override { return edits.push_back({'e', id, 0.0}), kResultOk; }
    tresult PLUGIN_API restartComponent(int32 flags) override { return restarts.push_back(flags), kResultOk; }

    std::vector<Edit> edits;
    std::vector<int32> restarts;
};

inline HostApplication& hostApplication() {
    static HostApplication* host = new HostApplication();
    return *host;
}

/// One instance of the class: component and controller (the same object),
/// set up for a rate and a longest block and active.
class Instance {
public:
    explicit Instance(double rate = 48000.0, int32 maxBlock = 4096) {
        TUID cid;
        orvane::vst3::kClassID.toTUID(cid);
        if (Module::shared().factory()->createInstance(cid, IComponent::iid, reinterpret_cast<void**>(&component)) !=
                kResultOk ||
            !component)
            throw std::runtime_error("the factory made no component");
        if (component->initialize(&hostApplication()) != kResultOk) throw std::runtime_error("initialize failed");
        component->queryInterface(IAudioProcessor::iid, reinterpret_cast<void**>(&processor));
        component->queryInterface(IEditController::iid, reinterpret_cast<void**>(&controller));
        if (!processor || !controller) throw std::runtime_error("no processor or controller");
        controller->setComponentHandler(&handler);
        setup(rate, maxBlock);
    }
    ~Instance() {
        if (active_) component->setActive(false);
        controller->setComponentHandler(nullptr);
        controller->release();
        processor->release();
        component->terminate();
        component->release();
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    void setup(double rate, int32 maxBlock) {
        if (active_) component->setActive(false);
        ProcessSetup setup{kRealtime, kSample32, maxBlock, rate};
        if (processor->setupProcessing(setup) != kResultOk || component->setActive(true) != kResultOk)
            throw std::runtime_error("setup failed");
        active_ = true;
        processor->setProcessing(true);
    }

    /// One process call in place over the buffers, with `changes`; returns
    /// the output's silence flags.
    uint64 process(float* left, float* right, int32 frames, ParameterChanges* changes = nullptr,
                   uint64 inputSilence = 0) {
        float* channels[2] = {left, right};
        AudioBusBuffers in{}, out{};
        in.numChannels = out.numChannels = 2;
        in.channelBuffers32 = out.channelBuffers32 = channels;
        in.silenceFlags = inputSilence;
        ProcessData data{};
        data.processMode = kRealtime;
        data.symbolicSampleSize = kSample32;
        data.numSamples = frames;
        data.numInputs = data.numOutputs = 1;
        data.inputs = &in;
        data.outputs = &out;
        data.inputParameterChanges = changes;
        processor->process(data);
        return out.silenceFlags;
    }

    /// The whole signal in place in host blocks of `block` frames; `changes`
    /// (when given) fills each block's changes from its first frame.
    void render(std::vector<float>& left, std::vector<float>& right, int32 block,
                const std::function<void(std::size_t first, int32 frames, ParameterChanges&)>& changes = {}) {
        ParameterChanges queue;
        for (std::size_t at = 0; at < left.size(); at += static_cast<std::size_t>(block)) {
            const auto frames = static_cast<int32>(std::min<std::size_t>(static_cast<std::size_t>(block), left.size() - at));
            queue.clear();
            if (changes) changes(at, frames, queue);
            process(left.data() + at, right.data() + at, frames, &queue);
        }
    }

    std::vector<char> state() {
        MemoryStream stream;
        if (component->getState(&stream) != kResultOk) throw std::runtime_error("getState failed");
        return {stream.getData(), stream.getData() + stream.getSize()};
    }
    tresult setState(const std::vector<char>& bytes) {
        MemoryStream stream(const_cast<char*>(bytes.data()), static_cast<TSize>(bytes.size()));
        return component->setState(&stream);
    }

    IComponent* component = nullptr;
    IAudioProcessor* processor = nullptr;
    IEditController* controller = nullptr;
    ComponentHandler handler;

private:
    bool active_ = false;
};

/// The host's run loop for an editor: the descriptors and timers a view
/// registers, served by poll until a deadline.
class RunLoop : public Linux::IRunLoop {
public:
    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        if (sameIID(iid, FUnknown::iid) || sameIID(iid, Linux::IRunLoop::iid)) return *obj = this, kResultOk;
        return *obj = nullptr, kNoInterface;
    }
    uint32 PLUGIN_API addRef() override { return 1; }
    uint32 PLUGIN_API release() override { return 1; }
    tresult PLUGIN_API registerEventHandler(Linux::IEventHandler* handler, Linux::FileDescriptor fd) override {
        handlers.emplace_back(handler, fd);
        return kResultTrue;
    }
    tresult PLUGIN_API unregisterEventHandler(Linux::IEventHandler* handler) override {
        std::erase_if(handlers, [&](const auto& h) { return h.first == handler; });
        return kResultTrue;
    }
    tresult PLUGIN_API registerTimer(Linux::ITimerHandler* handler, Linux::TimerInterval) override {
        timers.push_back(handler);
        return kResultTrue;
    }
    tresult PLUGIN_API unregisterTimer(Linux::ITimerHandler* handler) override {
        std::erase(timers, handler);
        return kResultTrue;
    }
    /// Serves the handlers for `milliseconds`: descriptors when readable,
    /// timers every 16 ms.
    void run(int milliseconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        do {
            std::vector<pollfd> fds;
            for (const auto& [handler, fd] : handlers) fds.push_back({fd, POLLIN, 0});
            ::poll(fds.data(), fds.size(), 16);
            for (std::size_t i = 0; i < fds.size() && i < handlers.size(); ++i)
                if (fds[i].revents & POLLIN) handlers[i].first->onFDIsSet(handlers[i].second);
            for (auto* timer : std::vector(timers)) timer->onTimer();
        } while (std::chrono::steady_clock::now() < end);
    }

    std::vector<std::pair<Linux::IEventHandler*, Linux::FileDescriptor>> handlers;
    std::vector<Linux::ITimerHandler*> timers;
};

/// The frame a view lives in: hands out the run loop, records resizes.
class Frame : public IPlugFrame {
public:
    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        if (sameIID(iid, FUnknown::iid) || sameIID(iid, IPlugFrame::iid)) return *obj = this, kResultOk;
        if (sameIID(iid, Linux::IRunLoop::iid)) return *obj = &loop, kResultOk;
        return *obj = nullptr, kNoInterface;
    }
    uint32 PLUGIN_API addRef() override { return 1; }
    uint32 PLUGIN_API release() override { return 1; }
    tresult PLUGIN_API resizeView(IPlugView* view, ViewRect* size) override {
        resizes.push_back(*size);
        return view->onSize(size);
    }
    RunLoop loop;
    std::vector<ViewRect> resizes;
};

} // namespace vst3host
