// Vector forms of svdcmp's and svbksb's inner loops. Lanes always carry
// independent quantities: different dot products advancing one term at a
// time, or different elements of one update. So each sum still adds its
// terms one by one in increasing index order, and every element sees the
// same operations as in the scalar loops; only their interleaving differs.
// Where a vector reaches past the rows or columns it works on, those lanes
// are stored back with their original bits and never summed out.
//
// The 8-lane forms are compiled twice, for AVX2 and for the baseline
// instruction set; the 16-lane forms are compiled for AVX-512F only (a
// 16-lane vector split into narrower registers is slow). Each public
// kernel picks its form at run time from what the processor reports, asked
// once, at the first call. That is done by hand rather than through the
// loader's ifunc resolvers, which run before anything else in the process:
// before a sanitizer's runtime is set up, for instance.
// Contraction to fused multiply-add is off for the whole project
// (-ffp-contract=off), so no target emits FMA instructions for the plain
// `a * b + c` expressions below.

#include "numerics/svd_kernels.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <utility>

// The helpers below pass vectors by value between always-inlined functions;
// no such value crosses a real call, so the ABI notes do not apply.
#if defined(__clang__)
#if __has_warning("-Wpsabi")
#pragma clang diagnostic ignored "-Wpsabi"
#endif
#else
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace phasefit::numerics::kernels {
namespace {

using V8 = float __attribute__((vector_size(32)));
using V16 = float __attribute__((vector_size(64)));
using V16i = int __attribute__((vector_size(64)));
constexpr int kLanes = 8;

#define PHASEFIT_INLINE inline __attribute__((always_inline))
#if defined(__x86_64__) || defined(__i386__)
#define PHASEFIT_X86 1
#define PHASEFIT_AVX2 __attribute__((target("avx2")))
#define PHASEFIT_WIDE __attribute__((target("avx512f")))
#else
// Elsewhere only the baseline forms run; the others are plain copies.
#define PHASEFIT_X86 0
#define PHASEFIT_AVX2
#define PHASEFIT_WIDE
#endif

// The widest vector unit the processor has, of those the kernels are
// built for.
enum class Isa { baseline, avx2, avx512f };

Isa processor_isa() {
#if PHASEFIT_X86
  // Asked once; the guard of the local static makes the first calls from
  // several threads safe.
  static const Isa isa = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") != 0) return Isa::avx512f;
    if (__builtin_cpu_supports("avx2") != 0) return Isa::avx2;
    return Isa::baseline;
  }();
  return isa;
#else
  return Isa::baseline;
#endif
}

// Set by tests to run the 8-lane forms on a machine with AVX-512F too, or
// only their baseline build.
std::atomic<bool> narrow_only{false};
std::atomic<bool> baseline_only{false};

// Whether the 16-lane forms run here.
inline bool wide_vectors() {
  return !narrow_only.load(std::memory_order_relaxed) &&
         !baseline_only.load(std::memory_order_relaxed) && processor_isa() == Isa::avx512f;
}

// Whether the 8-lane forms run in their AVX2 build (on an AVX-512F machine
// too) rather than the baseline one.
inline bool avx2_vectors() {
  return !baseline_only.load(std::memory_order_relaxed) && processor_isa() != Isa::baseline;
}

// Defines name_avx2 and name_baseline, the two builds of the always-inlined
// name_body, and name_narrow, which calls the one for this processor.
#define PHASEFIT_NARROW_FORMS(name, params, args)             \
  PHASEFIT_AVX2 void name##_avx2 params { name##_body args; } \
  void name##_baseline params { name##_body args; }           \
  void name##_narrow params {                                 \
    if (avx2_vectors())                                       \
      name##_avx2 args;                                       \
    else                                                      \
      name##_baseline args;                                   \
  }

PHASEFIT_INLINE V8 load(const float* p) {
  V8 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

PHASEFIT_INLINE void store(float* p, V8 v) { std::memcpy(p, &v, sizeof v); }

// The short loops over lanes, groups and blocks are unrolled completely so
// that their arrays of vectors live in registers.
//
// A scalar operand of a vector operation is broadcast to every lane by the
// compiler (one register broadcast); building the vector element by element
// would go through memory.

// Shuffles of the 8 x 8 transpose; an index of 8 or more picks from the
// second operand.
PHASEFIT_INLINE V8 interleave_low(V8 x, V8 y) {
  return __builtin_shufflevector(x, y, 0, 8, 1, 9, 4, 12, 5, 13);
}
PHASEFIT_INLINE V8 interleave_high(V8 x, V8 y) {
  return __builtin_shufflevector(x, y, 2, 10, 3, 11, 6, 14, 7, 15);
}
PHASEFIT_INLINE V8 pairs_low(V8 x, V8 y) {
  return __builtin_shufflevector(x, y, 0, 1, 8, 9, 4, 5, 12, 13);
}
PHASEFIT_INLINE V8 pairs_high(V8 x, V8 y) {
  return __builtin_shufflevector(x, y, 2, 3, 10, 11, 6, 7, 14, 15);
}
PHASEFIT_INLINE V8 halves_low(V8 x, V8 y) {
  return __builtin_shufflevector(x, y, 0, 1, 2, 3, 8, 9, 10, 11);
}
PHASEFIT_INLINE V8 halves_high(V8 x, V8 y) {
  return __builtin_shufflevector(x, y, 4, 5, 6, 7, 12, 13, 14, 15);
}

// In-register transpose of the 8 x 8 block r[0..7] (r[c][t] becomes
// r[t][c]); pure data movement.
PHASEFIT_INLINE void transpose(V8 (&r)[kLanes]) {
  V8 t[kLanes];
#pragma GCC unroll 8
  for (int q = 0; q < kLanes; q += 2) {
    t[q] = interleave_low(r[q], r[q + 1]);
    t[q + 1] = interleave_high(r[q], r[q + 1]);
  }
  V8 u[kLanes];
#pragma GCC unroll 8
  for (int q = 0; q < kLanes; q += 4) {
    u[q] = pairs_low(t[q], t[q + 2]);
    u[q + 1] = pairs_high(t[q], t[q + 2]);
    u[q + 2] = pairs_low(t[q + 1], t[q + 3]);
    u[q + 3] = pairs_high(t[q + 1], t[q + 3]);
  }
#pragma GCC unroll 8
  for (int q = 0; q < 4; ++q) {
    r[q] = halves_low(u[q], u[q + 4]);
    r[q + 4] = halves_high(u[q], u[q + 4]);
  }
}

// Dot products of u with `groups` groups of eight columns starting at column
// `first`; a lane beyond column cols-1 reads column cols-1 again and is
// dropped.
template <int Groups>
PHASEFIT_INLINE void column_dot_groups(const float* a, std::ptrdiff_t ld, int count, const float* u,
                                       int first, int cols, float* dots) {
  const float* column[Groups][kLanes];
#pragma GCC unroll 8
  for (int g = 0; g < Groups; ++g)
#pragma GCC unroll 8
    for (int c = 0; c < kLanes; ++c)
      column[g][c] = a + std::min(first + g * kLanes + c, cols - 1) * ld;
  V8 sum[Groups];
#pragma GCC unroll 8
  for (int g = 0; g < Groups; ++g) sum[g] = V8{};
  int t = 0;
  for (; t + kLanes <= count; t += kLanes) {
#pragma GCC unroll 8
    for (int g = 0; g < Groups; ++g) {
      V8 r[kLanes];
#pragma GCC unroll 8
      for (int c = 0; c < kLanes; ++c) r[c] = load(column[g][c] + t);
      transpose(r);
#pragma GCC unroll 8
      for (int q = 0; q < kLanes; ++q) sum[g] = sum[g] + r[q] * u[t + q];
    }
  }
#pragma GCC unroll 8
  for (int g = 0; g < Groups; ++g) {
    float lane[kLanes];
    store(lane, sum[g]);
#pragma GCC unroll 8
    for (int c = 0; c < kLanes; ++c) {
      for (int tt = t; tt < count; ++tt) lane[c] = lane[c] + u[tt] * column[g][c][tt];
      const int j = first + g * kLanes + c;
      if (j < cols) dots[j] = lane[c];
    }
  }
}

}  // namespace

// Lane t of the first result of transpose16's stage with block size d: the
// d x d blocks of two registers interleaved (an index of 16 or more picks
// from the second operand); the second result takes the lanes d further on.
constexpr int transpose_lane(int d, int t) {
  return t / (2 * d) * 2 * d + (t % (2 * d) < d ? t % (2 * d) : 16 + t % (2 * d) - d);
}

template <int D, int... T>
PHASEFIT_INLINE void transpose16_stage(V16 (&r)[16], std::integer_sequence<int, T...>) {
#pragma GCC unroll 16
  for (int q = 0; q < 16; ++q) {
    if ((q & D) != 0) continue;
    const V16 x = r[q];
    const V16 y = r[q + D];
    r[q] = __builtin_shufflevector(x, y, transpose_lane(D, T)...);
    r[q + D] = __builtin_shufflevector(x, y, (transpose_lane(D, T) + D)...);
  }
}

// In-register transpose of the 16 x 16 block r (r[c][t] becomes r[t][c]).
// Stage d pairs registers q and q + d (bit d of q clear) and swaps the
// d x d blocks between them. Pure data movement.
PHASEFIT_INLINE void transpose16(V16 (&r)[16]) {
  const auto lanes = std::make_integer_sequence<int, 16>{};
  transpose16_stage<1>(r, lanes);
  transpose16_stage<2>(r, lanes);
  transpose16_stage<4>(r, lanes);
  transpose16_stage<8>(r, lanes);
}

// Dot products of u with 16 columns at a time, lanes = columns, through
// in-register 16 x 16 transposes of 16-row blocks: a quarter of a shuffle
// per element where the 8 x 8 form needs three eighths. Only built for
// AVX-512F, where the shuffles are single instructions; called after a
// run-time check. Returns the number of columns done (a multiple of 16).
__attribute__((target("avx512f"))) int column_dots_16(const float* a, std::ptrdiff_t ld, int count,
                                                      const float* u, int cols, float* dots) {
  int first = 0;
  for (; first + 16 <= cols; first += 16) {
    const float* column = a + first * ld;
    V16 sum = V16{};
    int t = 0;
    for (; t + 16 <= count; t += 16) {
      V16 r[16];
#pragma GCC unroll 16
      for (int c = 0; c < 16; ++c) std::memcpy(&r[c], column + c * ld + t, sizeof(V16));
      transpose16(r);
#pragma GCC unroll 16
      for (int q = 0; q < 16; ++q) sum = sum + r[q] * u[t + q];
    }
    float lane[16];
    std::memcpy(lane, &sum, sizeof sum);
    for (int c = 0; c < 16; ++c) {
      const float* col = column + c * ld;
      float s = lane[c];
      for (int tt = t; tt < count; ++tt) s = s + u[tt] * col[tt];
      dots[first + c] = s;
    }
  }
  return first;
}

namespace {

PHASEFIT_INLINE void column_dots_body(const float* a, std::ptrdiff_t ld, int count, const float* u,
                                      int cols, float* dots) {
  int first = 0;
  // Four groups at a time keep four independent chains of additions busy.
  for (; cols - first > 3 * kLanes; first += 4 * kLanes)
    column_dot_groups<4>(a, ld, count, u, first, cols, dots);
  for (; first < cols; first += kLanes) column_dot_groups<1>(a, ld, count, u, first, cols, dots);
}

PHASEFIT_NARROW_FORMS(column_dots,
                      (const float* a, std::ptrdiff_t ld, int count, const float* u, int cols,
                       float* dots),
                      (a, ld, count, u, cols, dots))

}  // namespace

void column_dots(const float* a, std::ptrdiff_t ld, int count, const float* u, int cols,
                 float* dots) {
  if (wide_vectors()) {
    // The columns left over from the 16-column blocks take the 8-lane form.
    const int first = column_dots_16(a, ld, count, u, cols, dots);
    a += first * ld;
    dots += first;
    cols -= first;
  }
  if (cols > 0) column_dots_narrow(a, ld, count, u, cols, dots);
}

namespace {

PHASEFIT_INLINE void column_updates_body(float* a, std::ptrdiff_t ld, int count, const float* x,
                                         int cols, const float* factors) {
#pragma GCC unroll 8
  for (int c = 0; c < cols; ++c) {
    float* y = a + c * ld;
    const float f = factors[c];
    int t = 0;
    for (; t + kLanes <= count; t += kLanes) store(y + t, load(y + t) + load(x + t) * f);
    for (; t < count; ++t) y[t] = y[t] + f * x[t];
  }
}

PHASEFIT_NARROW_FORMS(column_updates,
                      (float* a, std::ptrdiff_t ld, int count, const float* x, int cols,
                       const float* factors),
                      (a, ld, count, x, cols, factors))

}  // namespace

void column_updates(float* a, std::ptrdiff_t ld, int count, const float* x, int cols,
                    const float* factors) {
  column_updates_narrow(a, ld, count, x, cols, factors);
}

namespace {

// Rows [first, first + 8*Blocks) of row_dots.
template <int Blocks>
PHASEFIT_INLINE void row_dot_blocks(const float* a, std::ptrdiff_t ld, int first, int cols,
                                    const float* x, V8 (&sum)[Blocks]) {
#pragma GCC unroll 8
  for (int b = 0; b < Blocks; ++b) sum[b] = V8{};
  for (int k = 0; k < cols; ++k) {
    const float* p = a + first + k * ld;
    const float xk = x[k];
#pragma GCC unroll 8
    for (int b = 0; b < Blocks; ++b) sum[b] = sum[b] + load(p + b * kLanes) * xk;
  }
}

template <int Blocks>
PHASEFIT_INLINE void row_reflect_blocks(float* a, std::ptrdiff_t ld, int first, int cols,
                                        const float* x, const float* y) {
  V8 sum[Blocks];
  row_dot_blocks<Blocks>(a, ld, first, cols, x, sum);
  for (int k = 0; k < cols; ++k) {
    float* p = a + first + k * ld;
    const float yk = y[k];
#pragma GCC unroll 8
    for (int b = 0; b < Blocks; ++b) store(p + b * kLanes, load(p + b * kLanes) + sum[b] * yk);
  }
}

// Four blocks of eight rows: 32 rows of up to 300 columns stay in the
// first-level cache between the dot products and the update.
constexpr int kRowBlocks = 4;

}  // namespace

namespace {

PHASEFIT_INLINE void row_dots_body(const float* a, std::ptrdiff_t ld, int rows, int cols,
                                   const float* x, float* dots) {
  int r = 0;
  for (; r + kRowBlocks * kLanes <= rows; r += kRowBlocks * kLanes) {
    V8 sum[kRowBlocks];
    row_dot_blocks<kRowBlocks>(a, ld, r, cols, x, sum);
#pragma GCC unroll 8
    for (int b = 0; b < kRowBlocks; ++b) store(dots + r + b * kLanes, sum[b]);
  }
  for (; r + kLanes <= rows; r += kLanes) {
    V8 sum[1];
    row_dot_blocks<1>(a, ld, r, cols, x, sum);
    store(dots + r, sum[0]);
  }
  for (; r < rows; ++r) {
    float s = 0.0f;
    for (int k = 0; k < cols; ++k) s = s + a[r + k * ld] * x[k];
    dots[r] = s;
  }
}

PHASEFIT_NARROW_FORMS(row_dots,
                      (const float* a, std::ptrdiff_t ld, int rows, int cols, const float* x,
                       float* dots),
                      (a, ld, rows, cols, x, dots))

}  // namespace

void row_dots(const float* a, std::ptrdiff_t ld, int rows, int cols, const float* x, float* dots) {
  row_dots_narrow(a, ld, rows, cols, x, dots);
}

namespace {

PHASEFIT_INLINE void row_reflect_body(float* a, std::ptrdiff_t ld, int rows, int cols,
                                      const float* x, const float* y) {
  int r = 0;
  for (; r + kRowBlocks * kLanes <= rows; r += kRowBlocks * kLanes)
    row_reflect_blocks<kRowBlocks>(a, ld, r, cols, x, y);
  for (; r + kLanes <= rows; r += kLanes) row_reflect_blocks<1>(a, ld, r, cols, x, y);
  for (; r < rows; ++r) {
    float s = 0.0f;
    for (int k = 0; k < cols; ++k) s = s + a[r + k * ld] * x[k];
    for (int k = 0; k < cols; ++k) a[r + k * ld] = a[r + k * ld] + s * y[k];
  }
}

PHASEFIT_NARROW_FORMS(row_reflect,
                      (float* a, std::ptrdiff_t ld, int rows, int cols, const float* x,
                       const float* y),
                      (a, ld, rows, cols, x, y))

}  // namespace

void row_reflect(float* a, std::ptrdiff_t ld, int rows, int cols, const float* x, const float* y) {
  row_reflect_narrow(a, ld, rows, cols, x, y);
}

namespace {

// Floats from p to the next 64-byte line (0 if p starts one).
PHASEFIT_INLINE int floats_to_line(const float* p) {
  const auto address = reinterpret_cast<std::uintptr_t>(p);
  return static_cast<int>((64 - address % 64) % 64 / sizeof(float));
}

// Whether the whole-line walks may run on `runs` runs of `run` consecutive
// floats, the first at p, each `stride` floats after the previous one. A
// walk takes the position of p within its line for every run, so the
// stride must be whole lines; and it reads and rewrites every 64-byte line
// that holds an element, from the line of p to the line of the last one,
// so all of those lines must lie inside the storage the runs belong to.
// That is always so in svdcmp's line-aligned working copies; a caller's
// matrix may start inside a line and end at its allocation.
PHASEFIT_INLINE bool whole_lines_inside(const float* p, std::ptrdiff_t stride, int run, int runs,
                                        std::span<const float> storage) {
  if (stride % 16 != 0 || run < 1 || runs < 1) return false;
  const auto begin = reinterpret_cast<std::uintptr_t>(storage.data());
  const auto end = begin + storage.size() * sizeof(float);
  const auto first = reinterpret_cast<std::uintptr_t>(p);
  const auto floats = static_cast<std::uintptr_t>(runs - 1) * static_cast<std::uintptr_t>(stride) +
                      static_cast<std::uintptr_t>(run);
  const auto last = first + floats * sizeof(float);  // one past the last element
  return first / 64 * 64 >= begin && (last + 63) / 64 * 64 <= end;
}

// Splits `length` consecutive floats starting at p into walks of up to
// MaxB 16-lane vectors on whole 64-byte lines, the first starting at the
// line of p (so possibly before p) and the last possibly ending past the
// run. For each walk, calls walk(B, Head, Tail, first) with B the number of
// vectors, Head and Tail whether the walk's first or last vector reaches
// outside the run (all three as compile-time constants), and first the
// position of its first lane relative to p (negative when the run starts
// inside a line). Walks of up to MaxB vectors keep that many independent
// chains of additions going; no vector is left to a walk of its own.
template <int B, int MaxB, class Walk>
PHASEFIT_INLINE void walk_with(int b, bool head, bool tail, int first, Walk& walk) {
  if constexpr (B < MaxB) {
    if (b != B) return walk_with<B + 1, MaxB>(b, head, tail, first, walk);
  }
  using Yes = std::true_type;
  using No = std::false_type;
  const auto count = std::integral_constant<int, B>{};
  if (head && tail)
    walk(count, Yes{}, Yes{}, first);
  else if (head)
    walk(count, Yes{}, No{}, first);
  else if (tail)
    walk(count, No{}, Yes{}, first);
  else
    walk(count, No{}, No{}, first);
}

template <int MaxB, class Walk>
PHASEFIT_INLINE void line_walks(const float* p, int length, Walk walk) {
  const int head = floats_to_line(p);
  const int first = head == 0 ? 0 : head - 16;
  const int vectors = (length - first + 15) / 16;
  const bool ragged_end = (length - first) % 16 != 0;
  for (int v = 0; v < vectors;) {
    const int b = std::min(MaxB, vectors - v);
    walk_with<1, MaxB>(b, v == 0 && first < 0, v + b == vectors && ragged_end, first + 16 * v,
                       walk);
    v += b;
  }
}

// Generic loads and stores of a vector type V; V = float is the one-lane
// case for the last rows.
template <class V>
PHASEFIT_INLINE V load_as(const float* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class V>
PHASEFIT_INLINE void store_as(float* p, V v) {
  std::memcpy(p, &v, sizeof v);
}

// Applies the rotations to the rows a[0 .. B*lanes(V) - 1] of every column.
//
// A QR sweep rotates columns (l, l+1), (l+1, l+2), ...; a cancellation
// rotates (l-1, l), (l-1, l+1), ...: consecutive rotations share a column.
// That column is kept in registers from one rotation to the next instead of
// being stored and loaded again, so each rotation moves one column segment
// through memory rather than two. The values and the operations on them are
// exactly those of the element-wise loops; only the stores are saved.
template <class V, int B>
PHASEFIT_INLINE void rotate_rows(float* a, std::ptrdiff_t ld, const PlaneRotation* rotations,
                                 int count) {
  constexpr int lanes = static_cast<int>(sizeof(V) / sizeof(float));
  const auto column = [&](int j) { return a + static_cast<std::ptrdiff_t>(j - 1) * ld; };
  V held[B] = {};
  int held_column = 0;  // 1-based; 0 when nothing is held
  for (int n = 0; n < count; ++n) {
    const PlaneRotation& rot = rotations[n];
    float* p = column(rot.first);
    if (rot.second == 0) {
      if (rot.first == held_column) {
#pragma GCC unroll 8
        for (int b = 0; b < B; ++b) held[b] = -held[b];
      } else {
#pragma GCC unroll 8
        for (int b = 0; b < B; ++b) store_as<V>(p + b * lanes, -load_as<V>(p + b * lanes));
      }
      continue;
    }
    float* q = column(rot.second);
    V x[B], y[B];
    if (held_column == rot.first) {
#pragma GCC unroll 8
      for (int b = 0; b < B; ++b) {
        x[b] = held[b];
        y[b] = load_as<V>(q + b * lanes);
      }
    } else if (held_column == rot.second) {
#pragma GCC unroll 8
      for (int b = 0; b < B; ++b) {
        x[b] = load_as<V>(p + b * lanes);
        y[b] = held[b];
      }
    } else {
      if (held_column != 0) {
        float* h = column(held_column);
#pragma GCC unroll 8
        for (int b = 0; b < B; ++b) store_as<V>(h + b * lanes, held[b]);
      }
#pragma GCC unroll 8
      for (int b = 0; b < B; ++b) {
        x[b] = load_as<V>(p + b * lanes);
        y[b] = load_as<V>(q + b * lanes);
      }
    }
    const float c = rot.c;
    const float s = rot.s;
#pragma GCC unroll 8
    for (int b = 0; b < B; ++b) {
      const V t1 = x[b];
      const V t2 = y[b];
      x[b] = t1 * c + t2 * s;
      y[b] = t2 * c - t1 * s;
    }
    // Keep the column the next entry touches; store the other.
    const int next_first = n + 1 < count ? rotations[n + 1].first : 0;
    const int next_second = n + 1 < count ? rotations[n + 1].second : 0;
    if (next_first == rot.second || next_second == rot.second) {
#pragma GCC unroll 8
      for (int b = 0; b < B; ++b) {
        store_as<V>(p + b * lanes, x[b]);
        held[b] = y[b];
      }
      held_column = rot.second;
    } else if (next_first == rot.first || next_second == rot.first) {
#pragma GCC unroll 8
      for (int b = 0; b < B; ++b) {
        store_as<V>(q + b * lanes, y[b]);
        held[b] = x[b];
      }
      held_column = rot.first;
    } else {
#pragma GCC unroll 8
      for (int b = 0; b < B; ++b) {
        store_as<V>(p + b * lanes, x[b]);
        store_as<V>(q + b * lanes, y[b]);
      }
      held_column = 0;
    }
  }
  if (held_column != 0) {
    float* h = column(held_column);
#pragma GCC unroll 8
    for (int b = 0; b < B; ++b) store_as<V>(h + b * lanes, held[b]);
  }
}

// Two consecutive QR sweeps that start at the same column f: the first, A,
// rotates (f+t, f+t+1) for t = 0 .. la-1, the second, B, (f+u, f+u+1) for
// u = 0 .. lb-1. B's rotation u needs only columns A has finished with once
// A has done its rotation u+1, so they run in lockstep, A one rotation
// ahead: A's finished column goes straight from registers into B, and each
// pair of rotations moves one column segment in and out of memory. Every
// element still receives A's rotations before B's and each sweep's in
// order; the two chains of dependent operations also overlap.
template <class V, int B>
PHASEFIT_INLINE void rotate_sweep_pair(float* a, std::ptrdiff_t ld, int f, const PlaneRotation* sa,
                                       int la, const PlaneRotation* sb, int lb) {
  constexpr int lanes = static_cast<int>(sizeof(V) / sizeof(float));
  const auto column = [&](int j) { return a + static_cast<std::ptrdiff_t>(j - 1) * ld; };
  const auto load_column = [&](V(&x)[B], int j) {
    const float* p = column(j);
#pragma GCC unroll 8
    for (int b = 0; b < B; ++b) x[b] = load_as<V>(p + b * lanes);
  };
  const auto store_column = [&](const V(&x)[B], int j) {
    float* p = column(j);
#pragma GCC unroll 8
    for (int b = 0; b < B; ++b) store_as<V>(p + b * lanes, x[b]);
  };
  const auto rotate = [](V(&x)[B], V(&y)[B], const PlaneRotation& rot) {
    const float c = rot.c;
    const float s = rot.s;
#pragma GCC unroll 8
    for (int b = 0; b < B; ++b) {
      const V t1 = x[b];
      const V t2 = y[b];
      x[b] = t1 * c + t2 * s;
      y[b] = t2 * c - t1 * s;
    }
  };
  // held_a: column f+t+1 after A's rotation t; held_b: column f+u+1 after
  // B's rotation u (before B starts, column f as A left it).
  V held_a[B], held_b[B];
  load_column(held_b, f);
  load_column(held_a, f + 1);
  rotate(held_b, held_a, sa[0]);
  int t = 0;  // B's next rotation; A's next is t+1
  for (; t + 1 < la && t < lb; ++t) {
    V next[B];
    load_column(next, f + t + 2);
    rotate(held_a, next, sa[t + 1]);  // held_a: column f+t+1, done by A
    rotate(held_b, held_a, sb[t]);    // held_b: column f+t, done
    store_column(held_b, f + t);
#pragma GCC unroll 8
    for (int b = 0; b < B; ++b) {
      held_b[b] = held_a[b];
      held_a[b] = next[b];
    }
  }
  if (t + 1 >= la) {
    // A is done; held_a is its last column, f+la. B goes on alone.
    for (; t < lb; ++t) {
      V next[B];
      if (f + t + 1 == f + la) {
#pragma GCC unroll 8
        for (int b = 0; b < B; ++b) next[b] = held_a[b];
      } else {
        load_column(next, f + t + 1);
      }
      rotate(held_b, next, sb[t]);
      store_column(held_b, f + t);
#pragma GCC unroll 8
      for (int b = 0; b < B; ++b) held_b[b] = next[b];
    }
    store_column(held_b, f + lb);
    if (lb < la) store_column(held_a, f + la);
  } else {
    // B is done (t == lb): its last column is final; A goes on alone.
    store_column(held_b, f + lb);
    for (++t; t < la; ++t) {
      V next[B];
      load_column(next, f + t + 1);
      rotate(held_a, next, sa[t]);
      store_column(held_a, f + t);
#pragma GCC unroll 8
      for (int b = 0; b < B; ++b) held_a[b] = next[b];
    }
    store_column(held_a, f + la);
  }
}

// Rows that receive the log together: 64 rows, four 16-lane vectors per
// column, give each chain of a sweep pair four independent vectors. The
// block (76 KB for 300 columns) lives in the second-level cache; a sweep
// pair moves only one column segment per two rotations, which it keeps up
// with.
constexpr int kRotationRows = 64;

// A stretch of the log: a QR sweep (rotations (j, j+1), (j+1, j+2), ...)
// or a single entry of any other kind.
struct LogRun {
  int start;
  int length;
  bool sweep;
};

// Runs found per scan of the log; the row blocks take the log a batch of
// runs at a time, which keeps each element's order of rotations.
constexpr int kRunBatch = 64;

PHASEFIT_INLINE bool is_step(const PlaneRotation& rot) { return rot.second == rot.first + 1; }

// Splits rotations[from .. count-1] into at most kRunBatch runs; returns
// the number found.
inline int find_runs(const PlaneRotation* rotations, int from, int count, LogRun* runs) {
  int found = 0;
  int n = from;
  while (n < count && found < kRunBatch) {
    int end = n + 1;
    if (is_step(rotations[n]))
      while (end < count && is_step(rotations[end]) &&
             rotations[end].first == rotations[end - 1].second)
        ++end;
    runs[found++] = {n, end - n, is_step(rotations[n])};
    n = end;
  }
  return found;
}

template <class V, int B>
PHASEFIT_INLINE void rotate_runs(float* a, std::ptrdiff_t ld, const PlaneRotation* rotations,
                                 const LogRun* runs, int count) {
  for (int r = 0; r < count; ++r) {
    const LogRun& run = runs[r];
    if (run.sweep && r + 1 < count && runs[r + 1].sweep &&
        rotations[runs[r + 1].start].first == rotations[run.start].first) {
      const LogRun& next = runs[r + 1];
      rotate_sweep_pair<V, B>(a, ld, rotations[run.start].first, rotations + run.start, run.length,
                              rotations + next.start, next.length);
      ++r;
    } else {
      rotate_rows<V, B>(a, ld, rotations + run.start, run.length);
    }
  }
}

}  // namespace

namespace {

template <class V, int B, class V1, int B1>
PHASEFIT_INLINE void apply_rotations_with(float* a, std::ptrdiff_t ld, int rows,
                                          const PlaneRotation* rotations, int count) {
  constexpr int block = B * static_cast<int>(sizeof(V) / sizeof(float));
  constexpr int small = B1 * static_cast<int>(sizeof(V1) / sizeof(float));
  LogRun runs[kRunBatch];
  for (int from = 0; from < count;) {
    const int found = find_runs(rotations, from, count, runs);
    int r = 0;
    for (; r + block <= rows; r += block) rotate_runs<V, B>(a + r, ld, rotations, runs, found);
    for (; r + small <= rows; r += small) rotate_runs<V1, B1>(a + r, ld, rotations, runs, found);
    for (; r + kLanes <= rows; r += kLanes) rotate_runs<V8, 1>(a + r, ld, rotations, runs, found);
    for (; r < rows; ++r) rotate_runs<float, 1>(a + r, ld, rotations, runs, found);
    from = runs[found - 1].start + runs[found - 1].length;
  }
}

PHASEFIT_WIDE void apply_rotations_wide(float* a, std::ptrdiff_t ld, int rows,
                                        const PlaneRotation* rotations, int count) {
  apply_rotations_with<V16, kRotationRows / 16, V16, 1>(a, ld, rows, rotations, count);
}

PHASEFIT_INLINE void apply_rotations_body(float* a, std::ptrdiff_t ld, int rows,
                                          const PlaneRotation* rotations, int count) {
  apply_rotations_with<V8, kRotationRows / kLanes, V8, 1>(a, ld, rows, rotations, count);
}

PHASEFIT_NARROW_FORMS(apply_rotations,
                      (float* a, std::ptrdiff_t ld, int rows, const PlaneRotation* rotations,
                       int count),
                      (a, ld, rows, rotations, count))

}  // namespace

void apply_rotations(float* a, std::ptrdiff_t ld, int rows, const PlaneRotation* rotations,
                     int count) {
  if (wide_vectors())
    apply_rotations_wide(a, ld, rows, rotations, count);
  else
    apply_rotations_narrow(a, ld, rows, rotations, count);
}

namespace {

// Columns [first, first + B*lanes(V)) of row_major_update_dots; the sums of
// the group stay in registers for the whole walk down the rows.
template <class V, int B, bool Update, bool Dot>
PHASEFIT_INLINE void update_dot_group(float* t, std::ptrdiff_t ldt, int count, int first,
                                      const float* factors, const float* x, const float* y,
                                      float* dots) {
  constexpr int lanes = static_cast<int>(sizeof(V) / sizeof(float));
  V f[B];
  V sum[B];
#pragma GCC unroll 8
  for (int b = 0; b < B; ++b) {
    if constexpr (Update) f[b] = load_as<V>(factors + first + b * lanes);
    if constexpr (Dot) sum[b] = load_as<V>(dots + first + b * lanes);
  }
  float* row = t + first;
  for (int k = 0; k < count; ++k, row += ldt) {
#pragma GCC unroll 8
    for (int b = 0; b < B; ++b) {
      V value = load_as<V>(row + b * lanes);
      if constexpr (Update) {
        value = value + f[b] * x[k];
        store_as<V>(row + b * lanes, value);
      }
      if constexpr (Dot) sum[b] = sum[b] + value * y[k];
    }
  }
  if constexpr (Dot) {
#pragma GCC unroll 8
    for (int b = 0; b < B; ++b) store_as<V>(dots + first + b * lanes, sum[b]);
  }
}

// One walk down the rows over B 16-lane vectors of columns that start on
// 64-byte lines: lane q of vector b is column first + 16*b + q of the
// block, and only columns 0 .. cols-1 belong to it (first < 0 when the
// block starts inside a line). A vector that reaches outside the block
// computes its other lanes on whatever the line holds but stores them back
// with their original bits and never sums them out, so each row of the
// walk reads and writes whole lines without touching other columns.
template <int B, bool Head, bool Tail, bool Update, bool Dot>
PHASEFIT_INLINE void update_dot_walk(float* t, std::ptrdiff_t ldt, int count, int first, int cols,
                                     const float* factors, const float* x, const float* y,
                                     float* dots) {
  float lane_factors[B * 16] = {};
  float lane_sums[B * 16] = {};
  for (int q = 0; q < B * 16; ++q) {
    const int c = first + q;
    if (c < 0 || c >= cols) continue;
    if constexpr (Update) lane_factors[q] = factors[c];
    if constexpr (Dot) lane_sums[q] = dots[c];
  }
  const V16i lane = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  const V16i head_inside = lane >= -first;
  const V16i tail_inside = lane < cols - (first + (B - 1) * 16);
  V16 f[B];
  V16 sum[B];
#pragma GCC unroll 8
  for (int b = 0; b < B; ++b) {
    f[b] = load_as<V16>(lane_factors + b * 16);
    sum[b] = load_as<V16>(lane_sums + b * 16);
  }
  float* row = t + first;
  for (int k = 0; k < count; ++k, row += ldt) {
#pragma GCC unroll 8
    for (int b = 0; b < B; ++b) {
      V16 value = load_as<V16>(row + b * 16);
      if constexpr (Update) {
        V16 updated = value + f[b] * x[k];
        if (Head && b == 0) updated = head_inside ? updated : value;
        if (Tail && b == B - 1) updated = tail_inside ? updated : value;
        store_as<V16>(row + b * 16, updated);
        value = updated;
      }
      if constexpr (Dot) sum[b] = sum[b] + value * y[k];
    }
  }
  if constexpr (Dot) {
#pragma GCC unroll 8
    for (int b = 0; b < B; ++b) store_as<V16>(lane_sums + b * 16, sum[b]);
    for (int q = 0; q < B * 16; ++q) {
      const int c = first + q;
      if (c >= 0 && c < cols) dots[c] = lane_sums[q];
    }
  }
}

template <bool Update, bool Dot>
PHASEFIT_INLINE void update_dot(float* t, std::ptrdiff_t ldt, int count, int cols,
                                const float* factors, const float* x, const float* y, float* dots,
                                std::span<const float> storage) {
  if (whole_lines_inside(t, ldt, cols, count, storage)) {
    // Rows on whole lines: walks of up to four line-aligned vectors of
    // columns.
    line_walks<4>(t, cols, [&](auto b, auto head, auto tail, int first)
                               __attribute__((always_inline)) {
                                 update_dot_walk<b(), head(), tail(), Update, Dot>(
                                     t, ldt, count, first, cols, factors, x, y, dots);
                               });
    return;
  }
  // Four vectors of columns keep four independent chains of additions per
  // row; the walk down the rows streams the block through the caches once.
  int c = 0;
  for (; c + 64 <= cols; c += 64)
    update_dot_group<V16, 4, Update, Dot>(t, ldt, count, c, factors, x, y, dots);
  for (; c + 16 <= cols; c += 16)
    update_dot_group<V16, 1, Update, Dot>(t, ldt, count, c, factors, x, y, dots);
  for (; c + kLanes <= cols; c += kLanes)
    update_dot_group<V8, 1, Update, Dot>(t, ldt, count, c, factors, x, y, dots);
  for (; c < cols; ++c)
    update_dot_group<float, 1, Update, Dot>(t, ldt, count, c, factors, x, y, dots);
}

// The 8-lane form: groups of eight vectors (64 columns), then single
// vectors and columns.
template <bool Update, bool Dot>
PHASEFIT_INLINE void update_dot_narrow(float* t, std::ptrdiff_t ldt, int count, int cols,
                                       const float* factors, const float* x, const float* y,
                                       float* dots) {
  int c = 0;
  for (; c + 64 <= cols; c += 64)
    update_dot_group<V8, 8, Update, Dot>(t, ldt, count, c, factors, x, y, dots);
  for (; c + kLanes <= cols; c += kLanes)
    update_dot_group<V8, 1, Update, Dot>(t, ldt, count, c, factors, x, y, dots);
  for (; c < cols; ++c)
    update_dot_group<float, 1, Update, Dot>(t, ldt, count, c, factors, x, y, dots);
}

PHASEFIT_WIDE void row_major_update_dots_wide(float* t, std::ptrdiff_t ldt, int count, int cols,
                                              const float* factors, const float* x, const float* y,
                                              float* dots, std::span<const float> storage) {
  if (factors != nullptr && dots != nullptr)
    update_dot<true, true>(t, ldt, count, cols, factors, x, y, dots, storage);
  else if (factors != nullptr)
    update_dot<true, false>(t, ldt, count, cols, factors, x, y, dots, storage);
  else if (dots != nullptr)
    update_dot<false, true>(t, ldt, count, cols, factors, x, y, dots, storage);
}

PHASEFIT_INLINE void row_major_update_dots_body(float* t, std::ptrdiff_t ldt, int count, int cols,
                                                const float* factors, const float* x,
                                                const float* y, float* dots) {
  if (factors != nullptr && dots != nullptr)
    update_dot_narrow<true, true>(t, ldt, count, cols, factors, x, y, dots);
  else if (factors != nullptr)
    update_dot_narrow<true, false>(t, ldt, count, cols, factors, x, y, dots);
  else if (dots != nullptr)
    update_dot_narrow<false, true>(t, ldt, count, cols, factors, x, y, dots);
}

PHASEFIT_NARROW_FORMS(row_major_update_dots,
                      (float* t, std::ptrdiff_t ldt, int count, int cols, const float* factors,
                       const float* x, const float* y, float* dots),
                      (t, ldt, count, cols, factors, x, y, dots))

}  // namespace

void row_major_update_dots(float* t, std::ptrdiff_t ldt, int count, int cols, const float* factors,
                           const float* x, const float* y, float* dots,
                           std::span<const float> storage) {
  if (wide_vectors())
    row_major_update_dots_wide(t, ldt, count, cols, factors, x, y, dots, storage);
  else
    row_major_update_dots_narrow(t, ldt, count, cols, factors, x, y, dots);
}

namespace {

// Tiles of 16 x 16 keep both the reads and the writes of a transposition
// within a few cache lines.
constexpr int kTile = 16;

}  // namespace

void to_row_major(const float* a, std::ptrdiff_t lda, int rows, int cols, float* t,
                  std::ptrdiff_t ldt) {
  for (int i0 = 0; i0 < rows; i0 += kTile)
    for (int j0 = 0; j0 < cols; j0 += kTile)
      for (int i = i0; i < std::min(i0 + kTile, rows); ++i)
        for (int j = j0; j < std::min(j0 + kTile, cols); ++j) t[i * ldt + j] = a[i + j * lda];
}

void from_row_major(const float* t, std::ptrdiff_t ldt, int rows, int cols, float* a,
                    std::ptrdiff_t lda) {
  for (int j0 = 0; j0 < cols; j0 += kTile)
    for (int i0 = 0; i0 < rows; i0 += kTile)
      for (int j = j0; j < std::min(j0 + kTile, cols); ++j)
        for (int i = i0; i < std::min(i0 + kTile, rows); ++i) a[i + j * lda] = t[i * ldt + j];
}

namespace {

// Rows [0, B*lanes(V)) of update_and_row_reflect. The first walk along the
// row block applies the column update and forms the row sums from the
// values it stores; the second applies the row reflection. The block (32
// rows of up to 300 columns, 38 KB) stays in the first-level cache between
// the two walks.
template <class V, int B>
PHASEFIT_INLINE void update_reflect_rows(float* a, std::ptrdiff_t ld, int cols, const float* u,
                                         const float* factors, const float* x, const float* y) {
  constexpr int lanes = static_cast<int>(sizeof(V) / sizeof(float));
  V column[B];
  V sum[B];
#pragma GCC unroll 8
  for (int b = 0; b < B; ++b) {
    column[b] = load_as<V>(u + b * lanes);
    sum[b] = V{};
  }
  float* p = a;
  for (int k = 0; k < cols; ++k, p += ld) {
    const float f = factors[k];
    const float xk = x[k];
#pragma GCC unroll 8
    for (int b = 0; b < B; ++b) {
      const V value = load_as<V>(p + b * lanes) + column[b] * f;
      store_as<V>(p + b * lanes, value);
      sum[b] = sum[b] + value * xk;
    }
  }
  p = a;
  for (int k = 0; k < cols; ++k, p += ld) {
    const float yk = y[k];
#pragma GCC unroll 8
    for (int b = 0; b < B; ++b) store_as<V>(p + b * lanes, load_as<V>(p + b * lanes) + sum[b] * yk);
  }
}

}  // namespace

namespace {

// A walk of update_and_row_reflect over B 16-lane vectors of rows that
// start on 64-byte lines: lane q of vector b is row first + 16*b + q of the
// block, and only rows 0 .. rows-1 belong to it (first < 0 when the block
// starts inside a line). As in update_dot_walk, lanes outside the block
// are stored back with their original bits and their sums are never used.
template <int B, bool Head, bool Tail>
PHASEFIT_INLINE void update_reflect_walk(float* a, std::ptrdiff_t ld, int first, int rows, int cols,
                                         const float* u, const float* factors, const float* x,
                                         const float* y) {
  float lane_u[B * 16] = {};
  for (int q = 0; q < B * 16; ++q) {
    const int r = first + q;
    if (r >= 0 && r < rows) lane_u[q] = u[r];
  }
  const V16i lane = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  const V16i head_inside = lane >= -first;
  const V16i tail_inside = lane < rows - (first + (B - 1) * 16);
  // Inlined even without optimisation: a 16-lane vector passed by value
  // to a function built for the baseline instruction set would not arrive
  // in the register the caller put it in.
  const auto keep_outside = [&](int b, V16 updated, V16 old) __attribute__((always_inline)) {
    if (Head && b == 0) updated = head_inside ? updated : old;
    if (Tail && b == B - 1) updated = tail_inside ? updated : old;
    return updated;
  };
  V16 column[B];
  V16 sum[B];
#pragma GCC unroll 8
  for (int b = 0; b < B; ++b) {
    column[b] = load_as<V16>(lane_u + b * 16);
    sum[b] = V16{};
  }
  float* p = a + first;
  for (int k = 0; k < cols; ++k, p += ld) {
    const float f = factors[k];
    const float xk = x[k];
#pragma GCC unroll 8
    for (int b = 0; b < B; ++b) {
      const V16 old = load_as<V16>(p + b * 16);
      const V16 value = keep_outside(b, old + column[b] * f, old);
      store_as<V16>(p + b * 16, value);
      sum[b] = sum[b] + value * xk;
    }
  }
  p = a + first;
  for (int k = 0; k < cols; ++k, p += ld) {
    const float yk = y[k];
#pragma GCC unroll 8
    for (int b = 0; b < B; ++b) {
      const V16 old = load_as<V16>(p + b * 16);
      store_as<V16>(p + b * 16, keep_outside(b, old + sum[b] * yk, old));
    }
  }
}

PHASEFIT_WIDE void update_and_row_reflect_wide(float* a, std::ptrdiff_t ld, int rows, int cols,
                                               const float* u, const float* factors, const float* x,
                                               const float* y, std::span<const float> storage) {
  if (whole_lines_inside(a, ld, rows, cols, storage)) {
    // Columns on whole lines: walks of up to two line-aligned vectors (32
    // rows).
    line_walks<2>(a, rows, [&](auto b, auto head, auto tail, int first)
                               __attribute__((always_inline)) {
                                 update_reflect_walk<b(), head(), tail()>(a, ld, first, rows, cols,
                                                                          u, factors, x, y);
                               });
    return;
  }
  int r = 0;
  for (; r + 32 <= rows; r += 32)
    update_reflect_rows<V16, 2>(a + r, ld, cols, u + r, factors, x, y);
  for (; r + 16 <= rows; r += 16)
    update_reflect_rows<V16, 1>(a + r, ld, cols, u + r, factors, x, y);
  for (; r + kLanes <= rows; r += kLanes)
    update_reflect_rows<V8, 1>(a + r, ld, cols, u + r, factors, x, y);
  for (; r < rows; ++r) update_reflect_rows<float, 1>(a + r, ld, cols, u + r, factors, x, y);
}

PHASEFIT_INLINE void update_and_row_reflect_body(float* a, std::ptrdiff_t ld, int rows, int cols,
                                                 const float* u, const float* factors,
                                                 const float* x, const float* y) {
  int r = 0;
  for (; r + 32 <= rows; r += 32) update_reflect_rows<V8, 4>(a + r, ld, cols, u + r, factors, x, y);
  for (; r + kLanes <= rows; r += kLanes)
    update_reflect_rows<V8, 1>(a + r, ld, cols, u + r, factors, x, y);
  for (; r < rows; ++r) update_reflect_rows<float, 1>(a + r, ld, cols, u + r, factors, x, y);
}

PHASEFIT_NARROW_FORMS(update_and_row_reflect,
                      (float* a, std::ptrdiff_t ld, int rows, int cols, const float* u,
                       const float* factors, const float* x, const float* y),
                      (a, ld, rows, cols, u, factors, x, y))

}  // namespace

void update_and_row_reflect(float* a, std::ptrdiff_t ld, int rows, int cols, const float* u,
                            const float* factors, const float* x, const float* y,
                            std::span<const float> storage) {
  if (wide_vectors())
    update_and_row_reflect_wide(a, ld, rows, cols, u, factors, x, y, storage);
  else
    update_and_row_reflect_narrow(a, ld, rows, cols, u, factors, x, y);
}

bool use_narrow_vectors(bool narrow) { return narrow_only.exchange(narrow); }

bool use_baseline_vectors(bool baseline) { return baseline_only.exchange(baseline); }

}  // namespace phasefit::numerics::kernels
