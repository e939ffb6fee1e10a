// Static trace probes of the library's provider "Vantrel".
//
// VT_TRACE(name, args...) becomes a USDT probe (visible to perf, bpftrace and
// systemtap as Vantrel:name) where <sys/sdt.h> is available and expands to
// nothing otherwise, without evaluating its arguments. A probe never changes
// what the code does: pass only plain values (integers, pointers, C strings)
// whose evaluation has no side effects.
#pragma once

#if defined(__has_include)
#if __has_include(<sys/sdt.h>)
#include <sys/sdt.h>
#define VT_TRACE_ENABLED 1
#endif
#endif

#if defined(VT_TRACE_ENABLED)
#define VT_TRACE_SELECT(_0, _1, _2, _3, _4, _5, _6, NAME, ...) NAME
#define VT_TRACE(...)                                                                        \
    VT_TRACE_SELECT(__VA_ARGS__, VT_TRACE_6, VT_TRACE_5, VT_TRACE_4, VT_TRACE_3, VT_TRACE_2, \
                    VT_TRACE_1, VT_TRACE_0, unused)                                          \
    (__VA_ARGS__)
#define VT_TRACE_0(name) DTRACE_PROBE(Vantrel, name)
#define VT_TRACE_1(name, a) DTRACE_PROBE1(Vantrel, name, a)
#define VT_TRACE_2(name, a, b) DTRACE_PROBE2(Vantrel, name, a, b)
#define VT_TRACE_3(name, a, b, c) DTRACE_PROBE3(Vantrel, name, a, b, c)
#define VT_TRACE_4(name, a, b, c, d) DTRACE_PROBE4(Vantrel, name, a, b, c, d)
#define VT_TRACE_5(name, a, b, c, d, e) DTRACE_PROBE5(Vantrel, name, a, b, c, d, e)
#define VT_TRACE_6(name, a, b, c, d, e, f) DTRACE_PROBE6(Vantrel, name, a, b, c, d, e, f)
#else
#define VT_TRACE(...) ((void)0)
#endif
