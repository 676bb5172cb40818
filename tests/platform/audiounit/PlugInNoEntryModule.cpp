// A shared module that loads but lacks the plug-in entry point.
extern "C" __attribute__((visibility("default"))) int plugInFixtureWithoutEntryPoint() { return 1; }
