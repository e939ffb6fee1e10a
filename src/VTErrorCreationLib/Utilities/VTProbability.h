// The one-in-N sampling test of the ping and upload probabilities.
#pragma once

#include <cstdint>
#include <functional>

/// A source of uniform random numbers: returns a value in [0, upperBound).
using VTRandomUniform = std::function<std::uint32_t(std::uint32_t upperBound)>;

/// YES when n is 1; NO when n is 0 or negative; otherwise YES with
/// probability 1/n (the random source gives 0). Thread-safe.
bool VTTestProbability(int n);
/// The same with the given random source.
bool VTTestProbability(int n, const VTRandomUniform& uniform);

/// Replaces the process-wide random source used by VTTestProbability(n)
/// (tests); an empty function restores the system's.
void VTSetRandomSourceForTesting(VTRandomUniform uniform);
