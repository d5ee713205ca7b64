// What this processor can do at most, for the floors that svdcmp's phases
// are measured against: the clock (a chain of dependent integer additions,
// one cycle each); the latency of one addition, which bounds every in-order
// sum, and of the diagonalisation's scalar step (the body of pythag: a
// division, a square root and the operations around them, each waiting
// for the last); the throughput of plane rotations on vectors held in
// registers (4 multiplications and 2 additions per vector, nothing fused)
// and of the transposes' interleaving shuffles; and the traffic of an
// update that reads and writes every element of an array (a = a + f * x,
// as the reflections do) at sizes that live in the first- and second-level
// caches and beyond. The vector figures are given for each vector width
// the processor has.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "numerics/svd_kernels.hpp"

// The forms measured are the x86-64 ones the kernels have; elsewhere the
// program measures nothing.
#if defined(__x86_64__)
namespace {

using V8 = float __attribute__((vector_size(32)));
using V16 = float __attribute__((vector_size(64)));

// Nanoseconds per step of a benchmark that takes `steps` steps an
// iteration, as a counter.
benchmark::Counter time_per_step(const benchmark::State& state, double steps) {
  return benchmark::Counter(steps * static_cast<double>(state.iterations()),
                            benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void clock_cycle(benchmark::State& state) {
  std::uint64_t x = 0;
  for (auto _ : state)
    for (int k = 0; k < 1000; ++k) asm volatile("add $1, %0" : "+r"(x));
  benchmark::DoNotOptimize(x);
  state.counters["ns_per_cycle"] = time_per_step(state, 1000.0);
}
BENCHMARK(clock_cycle);

// Each addition waits for the one before, as the terms of one dot product
// do: the latency every in-order sum of the kernels is bound by.
void addition_chain(benchmark::State& state) {
  float sum = 0.0f;
  const float term = 1e-9f;
  for (auto _ : state)
    for (int k = 0; k < 1000; ++k) {
      sum = sum + term;
      asm("" : "+x"(sum));
    }
  benchmark::DoNotOptimize(sum);
  state.counters["ns_per_addition"] = time_per_step(state, 1000.0);
}
BENCHMARK(addition_chain);

// Each hypotenuse waits for the one before, as in a QR sweep.
void hypotenuse_chain(benchmark::State& state) {
  float p = 0.75f;
  const float q = 0.5f;
  for (auto _ : state) {
    for (int k = 0; k < 1000; ++k) {
      const float r = q / p;
      p = std::sqrt(1.0f + r * r) * 0.9f;
      benchmark::DoNotOptimize(p);
    }
  }
  state.counters["ns_per_step"] = time_per_step(state, 1000.0);
}
BENCHMARK(hypotenuse_chain);

template <class V>
__attribute__((always_inline)) inline void rotations_in_registers(benchmark::State& state) {
  constexpr int kChains = 12;
  V x[kChains], y[kChains];
  for (int b = 0; b < kChains; ++b) {
    x[b] = V{} + 1.0f + static_cast<float>(b);
    y[b] = V{} + 0.5f;
  }
  const float c = 0.6f, s = 0.8f;
  for (auto _ : state) {
    for (int k = 0; k < 100; ++k)
#pragma GCC unroll 12
      for (int b = 0; b < kChains; ++b) {
        const V t1 = x[b], t2 = y[b];
        x[b] = t1 * c + t2 * s;
        y[b] = t2 * c - t1 * s;
      }
  }
  // Only the results leave the registers.
  V total = {};
  for (int b = 0; b < kChains; ++b) total = total + x[b] + y[b];
  benchmark::DoNotOptimize(total);
  // Rotations of a single row (element pairs) per second.
  state.counters["row_rotations"] = benchmark::Counter(
      100.0 * kChains * (sizeof(V) / sizeof(float)) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}

// The interleaving shuffle of the in-register transposes (two sources,
// within 128-bit lanes), on independent registers.
template <class V>
__attribute__((always_inline)) inline V interleave(V x, V y) {
  if constexpr (sizeof(V) == 64)
    return __builtin_shufflevector(x, y, 0, 16, 1, 17, 4, 20, 5, 21, 8, 24, 9, 25, 12, 28, 13, 29);
  else
    return __builtin_shufflevector(x, y, 0, 8, 1, 9, 4, 12, 5, 13);
}

template <class V>
__attribute__((always_inline)) inline void shuffles(benchmark::State& state) {
  // Four independent pairs of registers, each pair interleaved in turn.
  V r0 = V{} + 0.0f, r1 = V{} + 1.0f, r2 = V{} + 2.0f, r3 = V{} + 3.0f;
  V r4 = V{} + 4.0f, r5 = V{} + 5.0f, r6 = V{} + 6.0f, r7 = V{} + 7.0f;
  const auto step = [](V& x, V& y) {
    const V t = interleave(x, y);
    y = interleave(y, x);
    x = t;
    asm("" : "+v"(x), "+v"(y));  // no composing of the shuffles
  };
  for (auto _ : state)
    for (int k = 0; k < 100; ++k) {
      step(r0, r1);
      step(r2, r3);
      step(r4, r5);
      step(r6, r7);
    }
  benchmark::DoNotOptimize(r0 + r1 + r2 + r3 + r4 + r5 + r6 + r7);
  state.counters["shuffles"] = benchmark::Counter(800.0 * static_cast<double>(state.iterations()),
                                                  benchmark::Counter::kIsRate);
}

// a = a + f * x over state.range(0) bytes of a, on whole 64-byte lines; x
// stays in registers.
template <class V>
__attribute__((always_inline)) inline void update_stream(benchmark::State& state) {
  constexpr std::size_t kLanes = sizeof(V) / sizeof(float);
  constexpr std::size_t kStep = 4 * kLanes;
  const auto floats = static_cast<std::size_t>(state.range(0)) / sizeof(float);
  float* const a = static_cast<float*>(std::aligned_alloc(64, floats * sizeof(float)));
  std::fill(a, a + floats, 1.0f);
  const V x0 = V{} + 0.5f, x1 = V{} + 0.25f, x2 = V{} + 0.125f, x3 = V{} + 0.0625f;
  const float f = 1e-7f;
  for (auto _ : state) {
    for (std::size_t i = 0; i < floats; i += kStep) {
      V a0, a1, a2, a3;
      __builtin_memcpy(&a0, a + i, sizeof a0);
      __builtin_memcpy(&a1, a + i + kLanes, sizeof a1);
      __builtin_memcpy(&a2, a + i + 2 * kLanes, sizeof a2);
      __builtin_memcpy(&a3, a + i + 3 * kLanes, sizeof a3);
      a0 = a0 + f * x0;
      a1 = a1 + f * x1;
      a2 = a2 + f * x2;
      a3 = a3 + f * x3;
      __builtin_memcpy(a + i, &a0, sizeof a0);
      __builtin_memcpy(a + i + kLanes, &a1, sizeof a1);
      __builtin_memcpy(a + i + 2 * kLanes, &a2, sizeof a2);
      __builtin_memcpy(a + i + 3 * kLanes, &a3, sizeof a3);
    }
    benchmark::ClobberMemory();
  }
  std::free(a);
  // Bytes read and written, in 10^9 a second.
  state.counters["bytes"] = benchmark::Counter(
      2.0 * static_cast<double>(floats * sizeof(float)) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}

__attribute__((target("avx512f"))) void rotations_16(benchmark::State& state) {
  rotations_in_registers<V16>(state);
}
__attribute__((target("avx2"))) void rotations_8(benchmark::State& state) {
  rotations_in_registers<V8>(state);
}
__attribute__((target("avx512f"))) void shuffles_16(benchmark::State& state) {
  shuffles<V16>(state);
}
__attribute__((target("avx2"))) void shuffles_8(benchmark::State& state) { shuffles<V8>(state); }
__attribute__((target("avx512f"))) void update_stream_16(benchmark::State& state) {
  update_stream<V16>(state);
}
__attribute__((target("avx2"))) void update_stream_8(benchmark::State& state) {
  update_stream<V8>(state);
}

// Only the forms this processor runs.
const bool registered = [] {
  const auto forms = phasefit::numerics::kernels::processor_forms();
  const auto sizes = [](benchmark::internal::Benchmark* b) {
    for (const long bytes : {16L << 10, 256L << 10, 768L << 10, 1216L << 10, 8L << 20})
      b->Arg(bytes);
  };
  if (forms.avx512f) {
    benchmark::RegisterBenchmark("rotations_in_registers/16", rotations_16);
    benchmark::RegisterBenchmark("shuffles/16", shuffles_16);
    sizes(benchmark::RegisterBenchmark("update_stream/16", update_stream_16));
  }
  if (forms.avx2) {
    benchmark::RegisterBenchmark("rotations_in_registers/8", rotations_8);
    benchmark::RegisterBenchmark("shuffles/8", shuffles_8);
    sizes(benchmark::RegisterBenchmark("update_stream/8", update_stream_8));
  }
  return true;
}();

}  // namespace
#endif

BENCHMARK_MAIN();
