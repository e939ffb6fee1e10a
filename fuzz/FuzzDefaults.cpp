// Sanitizer defaults of every fuzz target, also when one is run by hand: a
// single request for more than 2000 MB is refused (null, as an exhausted
// machine would answer) rather than ending the run, so that the code's own
// handling of a failed allocation is what gets tested. With libFuzzer's
// -rss_limit_mb / -malloc_limit_mb at 2048 (scripts/fuzz.sh), only memory
// that grows without one huge request stops a run as out of memory.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1:max_allocation_size_mb=2000";
}
