// A library with no solver entry at all.
extern "C" __attribute__((visibility("default"))) int KvsFakeNothing() { return 0; }
