// A loadable file without the plugin entry points: the host must refuse it.
extern "C" __attribute__((visibility("default"))) int not_a_plugin() { return 1; }
