// The VST3 module: its factory with the one class it offers and the three
// entry points hosts look up (GetPluginFactory, ModuleEntry, ModuleExit), the
// only symbols it exports. The plug-in loads the unit's bundle from the
// VST3 bundle it sits in: Orvane.vst3/Contents/x86_64-linux/Orvane.so, with
// the unit's bundle in Orvane.vst3/Contents/Resources.

#include "hosts/adapter/UnitBundle.h"
#include "hosts/vst3/OrvaneVST3.h"
#include "hosts/vst3/OrvaneVST3Plugin.h"
#include "hosts/vst3/VST3Strings.h"

#include <pluginterfaces/base/ipluginbase.h>
#include <pluginterfaces/vst/ivstaudioprocessor.h>
#include <pluginterfaces/vst/ivstcomponent.h>

#include <cstring>
#include <filesystem>

#ifndef ORVANE_VERSION
#error "ORVANE_VERSION must name the product's version"
#endif

extern "C" SMTG_EXPORT_SYMBOL Steinberg::IPluginFactory* PLUGIN_API GetPluginFactory();

namespace orvane::vst3 {

using namespace Steinberg;

namespace {

bool sameIID(const TUID a, const TUID b) { return std::memcmp(a, b, sizeof(TUID)) == 0; }

/// The VST3 bundle: two folders up from the module's own folder.
std::filesystem::path bundleFolder() {
    const auto folder = adapter::moduleFolder(reinterpret_cast<const void*>(&GetPluginFactory));
    return folder.empty() ? folder : folder.parent_path().parent_path();
}

/// Lives as long as the module; hosts' references to it count nothing.
class Factory final : public IPluginFactory3 {
public:
    tresult PLUGIN_API queryInterface(const TUID iid, void** object) override {
        if (!object) return kInvalidArgument;
        if (sameIID(iid, FUnknown::iid) || sameIID(iid, IPluginFactory::iid) || sameIID(iid, IPluginFactory2::iid) ||
            sameIID(iid, IPluginFactory3::iid)) {
            *object = static_cast<IPluginFactory3*>(this);
            return kResultOk;
        }
        *object = nullptr;
        return kNoInterface;
    }
    uint32 PLUGIN_API addRef() override { return 1; }
    uint32 PLUGIN_API release() override { return 1; }

    tresult PLUGIN_API getFactoryInfo(PFactoryInfo* info) override {
        if (!info) return kInvalidArgument;
        *info = PFactoryInfo(kVendor, "", "", PFactoryInfo::kUnicode);
        return kResultOk;
    }
    int32 PLUGIN_API countClasses() override { return 1; }
    tresult PLUGIN_API getClassInfo(int32 index, PClassInfo* info) override {
        if (index != 0 || !info) return kInvalidArgument;
        TUID cid;
        kClassID.toTUID(cid);
        *info = PClassInfo(cid, PClassInfo::kManyInstances, kVstAudioEffectClass, kClassName);
        return kResultOk;
    }
    tresult PLUGIN_API getClassInfo2(int32 index, PClassInfo2* info) override {
        if (index != 0 || !info) return kInvalidArgument;
        TUID cid;
        kClassID.toTUID(cid);
        *info = PClassInfo2(cid, PClassInfo::kManyInstances, kVstAudioEffectClass, kClassName, 0, kSubCategories,
                            kVendor, ORVANE_VERSION, kVstVersionString);
        return kResultOk;
    }
    tresult PLUGIN_API getClassInfoUnicode(int32 index, PClassInfoW* info) override {
        if (index != 0 || !info) return kInvalidArgument;
        TUID cid;
        kClassID.toTUID(cid);
        *info = PClassInfoW(cid, PClassInfo::kManyInstances, kVstAudioEffectClass, nullptr, 0, kSubCategories,
                            nullptr, nullptr, nullptr);
        copyToHost(kClassName, info->name);
        copyToHost(kVendor, info->vendor);
        copyToHost(ORVANE_VERSION, info->version);
        copyToHost(kVstVersionString, info->sdkVersion);
        return kResultOk;
    }
    tresult PLUGIN_API setHostContext(FUnknown*) override { return kResultOk; }

    tresult PLUGIN_API createInstance(FIDString cid, FIDString iid, void** object) override {
        if (!object) return kInvalidArgument;
        *object = nullptr;
        TUID ours;
        kClassID.toTUID(ours);
        if (!cid || !iid || std::memcmp(cid, ours, sizeof(TUID)) != 0) return kNoInterface;
        Plugin* plugin = nullptr;
        try {
            plugin = new Plugin(bundleFolder());
        } catch (...) {
            return kOutOfMemory;
        }
        TUID wanted;
        std::memcpy(wanted, iid, sizeof(TUID));
        const tresult result = plugin->queryInterface(wanted, object);
        plugin->release();
        return result;
    }
};

Factory& factory() {
    static Factory instance;
    return instance;
}

} // namespace

} // namespace orvane::vst3

extern "C" {

SMTG_EXPORT_SYMBOL Steinberg::IPluginFactory* PLUGIN_API GetPluginFactory() { return &orvane::vst3::factory(); }

/// Called once when the host loads the module, with its dlopen handle.
SMTG_EXPORT_SYMBOL bool ModuleEntry(void*) { return true; }

/// Called once before the host unloads the module.
SMTG_EXPORT_SYMBOL bool ModuleExit() { return true; }

}
