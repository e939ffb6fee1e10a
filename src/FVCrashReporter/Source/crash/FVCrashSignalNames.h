// Names of signals and of their si_code values, keyed by this system's own
// numbers. Async-signal-safe.
#pragma once

/// "SIGSEGV", ...; null for a signal without a name here (Linux-only signals
/// and real-time signals, which reports show as "#<number>").
const char* fvcrash_signal_name(int signal);

/// "SEGV_MAPERR", ...; null when the pair has no name here.
const char* fvcrash_signal_code_name(int signal, int code);
