// Defaults of the sanitizers in the libFuzzer tree; ASAN_OPTIONS still wins.
// AddressSanitizer keeps up to 256 MB of freed memory in quarantine, which
// counts towards the resident size that -rss_limit_mb bounds: a long run
// then reports memory the readers no longer hold. 64 MB still catches uses
// after free across one input and the few before it.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=64"; }
