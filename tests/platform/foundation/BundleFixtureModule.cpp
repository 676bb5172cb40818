// A shared module that the bundle tests load from folders laid out as bundles,
// to find its bundle from an address inside it.
extern "C" __attribute__((visibility("default"))) const void* foundationFixtureCodeAddress() {
    return reinterpret_cast<const void*>(&foundationFixtureCodeAddress);
}
