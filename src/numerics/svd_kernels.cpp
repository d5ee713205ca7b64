// Vector forms of svdcmp's and svbksb's inner loops. Lanes always carry
// independent quantities: different dot products advancing one term at a
// time, or different elements of one update. So each sum still adds its
// terms one by one in increasing index order, and every element sees the
// same operations as in the scalar loops; only their interleaving differs.
// Where a vector reaches past the rows or columns it works on, those lanes
// are stored back with their original bits and never summed out.
//
// Each kernel is written once, as a template over its vector type V (float
// being the one-lane case for the last rows or columns), and built three
// times: with 16-lane vectors for AVX-512F, and with 8-lane vectors for
// AVX2 and for the baseline instruction set (a 16-lane vector split into
// narrower registers is slow). A kernel for which 16 lanes do not pay
// names 8 for its AVX-512F build, and its AVX2 build runs there. Each public
// kernel picks its build at run time from what the processor reports,
// asked once, at the first call. That is done by hand rather than through
// the loader's ifunc resolvers, which run before anything else in the
// process: before a sanitizer's runtime is set up, for instance.
// Contraction to fused multiply-add is off for the whole project
// (-ffp-contract=off), so no target emits FMA instructions for the plain
// `a * b + c` expressions below.
//
// Every helper that takes or returns a vector by value is always inlined,
// lambdas included: a function built for the baseline instruction set
// receives a 16-lane vector elsewhere than where a caller built for
// AVX-512F put it, and without optimisation nothing else is inlined.

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
using V8i = int __attribute__((vector_size(32)));
using V16i = int __attribute__((vector_size(64)));

// Floats per vector of type V.
template <class V>
constexpr int lanes_of = static_cast<int>(sizeof(V) / sizeof(float));

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

}  // namespace

// Defines the public kernel `name` and its three builds of the
// always-inlined template name_body: name_wide over Wide (V16, or V8 where
// 16 lanes do not pay), name_avx2 and name_baseline over V8.
#define PHASEFIT_KERNEL(name, Wide, params, args)                          \
  static PHASEFIT_WIDE void name##_wide params { name##_body<Wide> args; } \
  static PHASEFIT_AVX2 void name##_avx2 params { name##_body<V8> args; }   \
  static void name##_baseline params { name##_body<V8> args; }             \
  void name params {                                                       \
    if (lanes_of<Wide> == 16 && wide_vectors())                            \
      name##_wide args;                                                    \
    else if (avx2_vectors())                                               \
      name##_avx2 args;                                                    \
    else                                                                   \
      name##_baseline args;                                                \
  }

namespace {

// Loads and stores of a vector type V.
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

// Floats from p to the next 64-byte line (0 if p starts one).
PHASEFIT_INLINE int floats_to_line(const float* p) {
  const auto address = reinterpret_cast<std::uintptr_t>(p);
  return static_cast<int>((64 - address % 64) % 64 / sizeof(float));
}

// Lane numbers 0, 1, ... of V, as integers of the same lane count, for the
// masks of the lanes inside a block; 0 for float.
template <class V>
struct LaneIndex {
  using type = int;
};
template <>
struct LaneIndex<V8> {
  using type = V8i;
};
template <>
struct LaneIndex<V16> {
  using type = V16i;
};

template <class V>
PHASEFIT_INLINE typename LaneIndex<V>::type lane_numbers() {
  constexpr int numbers[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  typename LaneIndex<V>::type n;
  std::memcpy(&n, numbers, sizeof n);
  return n;
}

// The short loops over lanes, groups and blocks are unrolled completely so
// that their arrays of vectors live in registers.
//
// A scalar operand of a vector operation is broadcast to every lane by the
// compiler (one register broadcast); building the vector element by element
// would go through memory.

// Index functions of the shuffles of a transpose, for lane t of vectors of n
// lanes; an index of n or more picks from the second operand.
//
// Within each four-lane segment, the elements 0 and 1 (low) or 2 and 3
// (high) of the two operands interleaved.
constexpr int interleave_lane(int n, int high, int t) {
  return t / 4 * 4 + 2 * high + t % 4 / 2 + (t % 2) * n;
}
// Within each four-lane segment, the pair 0, 1 (low) or 2, 3 (high) of the
// first operand, then the same pair of the second.
constexpr int pairs_lane(int n, int high, int t) {
  return t / 4 * 4 + 2 * high + t % 2 + (t % 4 / 2) * n;
}
// The d x d blocks of two registers interleaved: lane t of the first
// result of the stage with block size d; the second takes the lanes d
// further on.
constexpr int blocks_lane(int n, int d, int t) {
  return t / (2 * d) * 2 * d + (t % (2 * d) < d ? t % (2 * d) : n + t % (2 * d) - d);
}

// The four registers r[q .. q+3], transposed as 4 x 4 blocks within each
// four-lane segment: single unpack and in-lane shuffle instructions.
template <class V, int... T>
PHASEFIT_INLINE void transpose_segments(V* r, std::integer_sequence<int, T...>) {
  constexpr int n = sizeof...(T);
  const V t0 = __builtin_shufflevector(r[0], r[1], interleave_lane(n, 0, T)...);
  const V t1 = __builtin_shufflevector(r[0], r[1], interleave_lane(n, 1, T)...);
  const V t2 = __builtin_shufflevector(r[2], r[3], interleave_lane(n, 0, T)...);
  const V t3 = __builtin_shufflevector(r[2], r[3], interleave_lane(n, 1, T)...);
  r[0] = __builtin_shufflevector(t0, t2, pairs_lane(n, 0, T)...);
  r[1] = __builtin_shufflevector(t0, t2, pairs_lane(n, 1, T)...);
  r[2] = __builtin_shufflevector(t1, t3, pairs_lane(n, 0, T)...);
  r[3] = __builtin_shufflevector(t1, t3, pairs_lane(n, 1, T)...);
}

// Pairs registers q and q + D (bit D of q clear) and swaps the D x D blocks
// between them.
template <int D, class V, int... T>
PHASEFIT_INLINE void transpose_stage(V (&r)[sizeof...(T)], std::integer_sequence<int, T...>) {
  constexpr int n = sizeof...(T);
#pragma GCC unroll 16
  for (int q = 0; q < n; ++q) {
    if ((q & D) != 0) continue;
    const V x = r[q];
    const V y = r[q + D];
    r[q] = __builtin_shufflevector(x, y, blocks_lane(n, D, T)...);
    r[q + D] = __builtin_shufflevector(x, y, (blocks_lane(n, D, T) + D)...);
  }
}

// In-register transpose of the n x n block r (r[c][t] becomes r[t][c]),
// n = lanes_of<V>: the 4 x 4 blocks on the diagonal of each group of four
// registers, then the blocks of 4 (and of 8) swapped across registers.
// Pure data movement.
template <class V>
PHASEFIT_INLINE void transpose(V (&r)[lanes_of<V>]) {
  const auto lanes = std::make_integer_sequence<int, lanes_of<V>>{};
#pragma GCC unroll 4
  for (int q = 0; q < lanes_of<V>; q += 4) transpose_segments(r + q, lanes);
  transpose_stage<4>(r, lanes);
  if constexpr (lanes_of<V> == 16) transpose_stage<8>(r, lanes);
}

// Dot products of u with `Groups` groups of lanes_of<V> columns starting at
// column `first`, lanes = columns, through in-register transposes of blocks
// of as many rows; a lane beyond column cols-1 reads column cols-1 again
// and is dropped.
template <class V, int Groups>
PHASEFIT_INLINE void column_dot_groups(const float* a, std::ptrdiff_t ld, int count, const float* u,
                                       int first, int cols, float* dots) {
  constexpr int lanes = lanes_of<V>;
  const float* column[Groups][lanes];
#pragma GCC unroll 16
  for (int g = 0; g < Groups; ++g)
#pragma GCC unroll 16
    for (int c = 0; c < lanes; ++c)
      column[g][c] = a + std::min(first + g * lanes + c, cols - 1) * ld;
  V sum[Groups];
#pragma GCC unroll 8
  for (int g = 0; g < Groups; ++g) sum[g] = V{};
  int t = 0;
  for (; t + lanes <= count; t += lanes) {
#pragma GCC unroll 8
    for (int g = 0; g < Groups; ++g) {
      V r[lanes];
#pragma GCC unroll 16
      for (int c = 0; c < lanes; ++c) r[c] = load_as<V>(column[g][c] + t);
      transpose<V>(r);
#pragma GCC unroll 16
      for (int q = 0; q < lanes; ++q) sum[g] = sum[g] + r[q] * u[t + q];
    }
  }
#pragma GCC unroll 8
  for (int g = 0; g < Groups; ++g) {
    float lane[lanes];
    store_as<V>(lane, sum[g]);
#pragma GCC unroll 16
    for (int c = 0; c < lanes; ++c) {
      for (int tt = t; tt < count; ++tt) lane[c] = lane[c] + u[tt] * column[g][c][tt];
      const int j = first + g * lanes + c;
      if (j < cols) dots[j] = lane[c];
    }
  }
}

template <class V>
PHASEFIT_INLINE void column_dots_body(const float* a, std::ptrdiff_t ld, int count, const float* u,
                                      int cols, float* dots) {
  int first = 0;
  // The 16 x 16 transposes take whole groups of columns: a quarter of a
  // shuffle per element where the 8 x 8 ones need three eighths. The
  // columns left over take 8 lanes.
  if constexpr (lanes_of<V> == 16)
    for (; first + 16 <= cols; first += 16)
      column_dot_groups<V16, 1>(a, ld, count, u, first, cols, dots);
  // Four groups at a time keep four independent chains of additions busy.
  for (; cols - first > 3 * 8; first += 4 * 8)
    column_dot_groups<V8, 4>(a, ld, count, u, first, cols, dots);
  for (; first < cols; first += 8) column_dot_groups<V8, 1>(a, ld, count, u, first, cols, dots);
}

template <class V>
PHASEFIT_INLINE void column_updates_body(float* a, std::ptrdiff_t ld, int count, const float* x,
                                         int cols, const float* factors) {
  constexpr int lanes = lanes_of<V>;
#pragma GCC unroll 8
  for (int c = 0; c < cols; ++c) {
    float* y = a + c * ld;
    const float f = factors[c];
    int t = 0;
    for (; t + lanes <= count; t += lanes)
      store_as<V>(y + t, load_as<V>(y + t) + load_as<V>(x + t) * f);
    for (; t < count; ++t) y[t] = y[t] + f * x[t];
  }
}

// Rows [first, first + Blocks*lanes_of<V>) of row_dots.
template <class V, int Blocks>
PHASEFIT_INLINE void row_dot_blocks(const float* a, std::ptrdiff_t ld, int first, int cols,
                                    const float* x, V (&sum)[Blocks]) {
  constexpr int lanes = lanes_of<V>;
#pragma GCC unroll 8
  for (int b = 0; b < Blocks; ++b) sum[b] = V{};
  for (int k = 0; k < cols; ++k) {
    const float* p = a + first + k * ld;
    const float xk = x[k];
#pragma GCC unroll 8
    for (int b = 0; b < Blocks; ++b) sum[b] = sum[b] + load_as<V>(p + b * lanes) * xk;
  }
}

// Four blocks of vectors a walk: four independent chains of additions.
constexpr int kRowBlocks = 4;

template <class V>
PHASEFIT_INLINE void row_dots_body(const float* a, std::ptrdiff_t ld, int rows, int cols,
                                   const float* x, float* dots) {
  constexpr int lanes = lanes_of<V>;
  int r = 0;
  for (; r + kRowBlocks * lanes <= rows; r += kRowBlocks * lanes) {
    V sum[kRowBlocks];
    row_dot_blocks<V, kRowBlocks>(a, ld, r, cols, x, sum);
#pragma GCC unroll 8
    for (int b = 0; b < kRowBlocks; ++b) store_as<V>(dots + r + b * lanes, sum[b]);
  }
  for (; r + lanes <= rows; r += lanes) {
    V sum[1];
    row_dot_blocks<V, 1>(a, ld, r, cols, x, sum);
    store_as<V>(dots + r, sum[0]);
  }
  for (; r < rows; ++r) {
    float s = 0.0f;
    for (int k = 0; k < cols; ++k) s = s + a[r + k * ld] * x[k];
    dots[r] = s;
  }
}

}  // namespace

PHASEFIT_KERNEL(column_dots, V16,
                (const float* a, std::ptrdiff_t ld, int count, const float* u, int cols,
                 float* dots),
                (a, ld, count, u, cols, dots))

PHASEFIT_KERNEL(column_updates, V8,
                (float* a, std::ptrdiff_t ld, int count, const float* x, int cols,
                 const float* factors),
                (a, ld, count, x, cols, factors))

PHASEFIT_KERNEL(row_dots, V8,
                (const float* a, std::ptrdiff_t ld, int rows, int cols, const float* x,
                 float* dots),
                (a, ld, rows, cols, x, dots))

namespace {

// Columns [first, first + Groups*lanes_of<V>) of column_update_dots, in one
// walk down the rows. A block of lanes_of<V> rows of each column is one
// vector (lanes = rows): it is updated and stored in place, and its
// products with y are formed in the same lanes; only the products are then
// transposed, so that each column's sum (one lane of sum[g]) takes them a
// row at a time. The group's columns are lanes_of<V> streams running down
// the matrix side by side. Ragged: the last group reaches past column
// cols-1; its extra lanes read column cols-1 again, and they are neither
// stored nor summed out.
template <class V, int Groups, bool Ragged, bool Update, bool Dot>
PHASEFIT_INLINE void column_update_dot_groups(float* a, std::ptrdiff_t ld, int count, int first,
                                              int cols, const float* factors, const float* x,
                                              const float* y, float* dots) {
  constexpr int lanes = lanes_of<V>;
  const int inside = cols - first;
  float* column[Groups][lanes];
  float factor[Groups][lanes] = {};
  float start[Groups][lanes] = {};
#pragma GCC unroll 16
  for (int g = 0; g < Groups; ++g)
#pragma GCC unroll 16
    for (int c = 0; c < lanes; ++c) {
      const int j = std::min(first + g * lanes + c, cols - 1);
      column[g][c] = a + j * ld;
      if (Ragged && g * lanes + c >= inside) continue;
      if constexpr (Update) factor[g][c] = factors[j];
      if constexpr (Dot) start[g][c] = dots[j];
    }
  // The rows before the first line boundary of the first column, one at a
  // time: from there on, where ld is whole lines, every vector loads and
  // stores whole lines of every column (a vector split across two lines
  // costs about two).
  const int head = std::min(count, floats_to_line(column[0][0]));
#pragma GCC unroll 8
  for (int g = 0; g < Groups; ++g)
#pragma GCC unroll 16
    for (int c = 0; c < lanes; ++c) {
      if (Ragged && g * lanes + c >= inside) continue;
      float* p = column[g][c];
      for (int t = 0; t < head; ++t) {
        float value = p[t];
        if constexpr (Update) {
          value = value + x[t] * factor[g][c];
          p[t] = value;
        }
        if constexpr (Dot) start[g][c] = start[g][c] + y[t] * value;
      }
    }
  V sum[Groups];
#pragma GCC unroll 8
  for (int g = 0; g < Groups; ++g) sum[g] = load_as<V>(start[g]);
  int t = head;
  for (; t + lanes <= count; t += lanes) {
    V xv{}, yv{};
    if constexpr (Update) xv = load_as<V>(x + t);
    if constexpr (Dot) yv = load_as<V>(y + t);
#pragma GCC unroll 8
    for (int g = 0; g < Groups; ++g) {
      V r[lanes];
#pragma GCC unroll 16
      for (int c = 0; c < lanes; ++c) r[c] = load_as<V>(column[g][c] + t);
      if constexpr (Update) {
#pragma GCC unroll 16
        for (int c = 0; c < lanes; ++c) {
          r[c] = r[c] + xv * factor[g][c];
          if (!Ragged || g * lanes + c < inside) store_as<V>(column[g][c] + t, r[c]);
        }
      }
      if constexpr (Dot) {
#pragma GCC unroll 16
        for (int c = 0; c < lanes; ++c) r[c] = r[c] * yv;
        transpose<V>(r);
#pragma GCC unroll 16
        for (int q = 0; q < lanes; ++q) sum[g] = sum[g] + r[q];
      }
    }
  }
#pragma GCC unroll 8
  for (int g = 0; g < Groups; ++g) {
    float lane[lanes];
    store_as<V>(lane, sum[g]);
#pragma GCC unroll 16
    for (int c = 0; c < lanes; ++c) {
      if (Ragged && g * lanes + c >= inside) continue;
      float* p = column[g][c];
      for (int tt = t; tt < count; ++tt) {
        float value = p[tt];
        if constexpr (Update) {
          value = value + x[tt] * factor[g][c];
          p[tt] = value;
        }
        if constexpr (Dot) lane[c] = lane[c] + y[tt] * value;
      }
      if constexpr (Dot) dots[first + g * lanes + c] = lane[c];
    }
  }
}

// Two groups of columns at a time: two independent chains of additions,
// and 16 (8-lane) or 32 (16-lane) column streams, which the prefetchers
// keep up with. Nothing is kept between blocks of rows but the sums, so
// the walk needs no more of the first-level cache than the lines it
// streams through.
template <class V, bool Update, bool Dot>
PHASEFIT_INLINE void column_update_dots_with(float* a, std::ptrdiff_t ld, int count, int cols,
                                             const float* factors, const float* x, const float* y,
                                             float* dots) {
  int first = 0;
  if constexpr (lanes_of<V> == 16) {
    for (; first + 32 <= cols; first += 32)
      column_update_dot_groups<V16, 2, false, Update, Dot>(a, ld, count, first, cols, factors, x, y,
                                                           dots);
    for (; first + 16 <= cols; first += 16)
      column_update_dot_groups<V16, 1, false, Update, Dot>(a, ld, count, first, cols, factors, x, y,
                                                           dots);
  }
  for (; first + 16 <= cols; first += 16)
    column_update_dot_groups<V8, 2, false, Update, Dot>(a, ld, count, first, cols, factors, x, y,
                                                        dots);
  for (; first + 8 <= cols; first += 8)
    column_update_dot_groups<V8, 1, false, Update, Dot>(a, ld, count, first, cols, factors, x, y,
                                                        dots);
  if (first < cols)
    column_update_dot_groups<V8, 1, true, Update, Dot>(a, ld, count, first, cols, factors, x, y,
                                                       dots);
}

template <class V>
PHASEFIT_INLINE void column_update_dots_body(float* a, std::ptrdiff_t ld, int count, int cols,
                                             const float* factors, const float* x, const float* y,
                                             float* dots) {
  if (factors != nullptr && dots != nullptr)
    column_update_dots_with<V, true, true>(a, ld, count, cols, factors, x, y, dots);
  else if (factors != nullptr)
    column_update_dots_with<V, true, false>(a, ld, count, cols, factors, x, y, dots);
  else if (dots != nullptr)
    column_update_dots_with<V, false, true>(a, ld, count, cols, factors, x, y, dots);
}

// Rows [first, first + B*lanes_of<V>) of update_row_dots, in one walk along
// the row block: each element is updated, stored and multiplied into its
// row's sum while in a register, so the walk reads and writes every
// element once and keeps nothing in the caches between columns.
template <class V, int B, bool Update>
PHASEFIT_INLINE void update_row_dot_blocks(float* a, std::ptrdiff_t ld, int first, int cols,
                                           const float* u, const float* factors, const float* x,
                                           float* sums) {
  constexpr int lanes = lanes_of<V>;
  V column[B];
  V sum[B];
#pragma GCC unroll 8
  for (int b = 0; b < B; ++b) {
    if constexpr (Update) column[b] = load_as<V>(u + first + b * lanes);
    sum[b] = V{};
  }
  float* p = a + first;
  for (int k = 0; k < cols; ++k, p += ld) {
    const float xk = x[k];
#pragma GCC unroll 8
    for (int b = 0; b < B; ++b) {
      V value = load_as<V>(p + b * lanes);
      if constexpr (Update) {
        value = value + column[b] * factors[k];
        store_as<V>(p + b * lanes, value);
      }
      sum[b] = sum[b] + value * xk;
    }
  }
#pragma GCC unroll 8
  for (int b = 0; b < B; ++b) store_as<V>(sums + first + b * lanes, sum[b]);
}

// Blocks of 64 rows: eight (or four) independent chains of additions, and
// a column segment of whole lines.
constexpr int kWalkRows = 64;

template <class V, bool Update>
PHASEFIT_INLINE void update_row_dots_with(float* a, std::ptrdiff_t ld, int rows, int cols,
                                          const float* u, const float* factors, const float* x,
                                          float* sums) {
  constexpr int lanes = lanes_of<V>;
  // The rows before the first line boundary one at a time, so that the
  // vectors load and store whole lines (where ld is whole lines).
  const int head = std::min(rows, floats_to_line(a));
  int r = 0;
  for (; r < head; ++r)
    update_row_dot_blocks<float, 1, Update>(a, ld, r, cols, u, factors, x, sums);
  for (; r + kWalkRows <= rows; r += kWalkRows)
    update_row_dot_blocks<V, kWalkRows / lanes, Update>(a, ld, r, cols, u, factors, x, sums);
  for (; r + lanes <= rows; r += lanes)
    update_row_dot_blocks<V, 1, Update>(a, ld, r, cols, u, factors, x, sums);
  if constexpr (lanes > 8)
    for (; r + 8 <= rows; r += 8)
      update_row_dot_blocks<V8, 1, Update>(a, ld, r, cols, u, factors, x, sums);
  for (; r < rows; ++r)
    update_row_dot_blocks<float, 1, Update>(a, ld, r, cols, u, factors, x, sums);
}

template <class V>
PHASEFIT_INLINE void update_row_dots_body(float* a, std::ptrdiff_t ld, int rows, int cols,
                                          const float* u, const float* factors, const float* x,
                                          float* sums) {
  if (factors != nullptr)
    update_row_dots_with<V, true>(a, ld, rows, cols, u, factors, x, sums);
  else
    update_row_dots_with<V, false>(a, ld, rows, cols, u, factors, x, sums);
}

}  // namespace

PHASEFIT_KERNEL(column_update_dots, V16,
                (float* a, std::ptrdiff_t ld, int count, int cols, const float* factors,
                 const float* x, const float* y, float* dots),
                (a, ld, count, cols, factors, x, y, dots))

PHASEFIT_KERNEL(update_row_dots, V16,
                (float* a, std::ptrdiff_t ld, int rows, int cols, const float* u,
                 const float* factors, const float* x, float* sums),
                (a, ld, rows, cols, u, factors, x, sums))

namespace {

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

// Applies the rotations to the rows a[0 .. B*lanes_of<V> - 1] of every column.
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
  constexpr int lanes = lanes_of<V>;
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
  constexpr int lanes = lanes_of<V>;
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

// The whole vectors left below the last block of kRotationRows rows, as
// one block of B vectors: each chain of a sweep then has B independent
// vectors, where single vectors would each wait on their own chain.
template <class V, int B = kRotationRows / lanes_of<V> - 1>
PHASEFIT_INLINE void rotate_runs_tail(int vectors, float* a, std::ptrdiff_t ld,
                                      const PlaneRotation* rotations, const LogRun* runs,
                                      int count) {
  if constexpr (B >= 1) {
    if (vectors == B)
      rotate_runs<V, B>(a, ld, rotations, runs, count);
    else
      rotate_runs_tail<V, B - 1>(vectors, a, ld, rotations, runs, count);
  }
}

// Blocks of kRotationRows rows, then one block of the whole vectors left,
// a single 8-lane vector and single rows.
template <class V>
PHASEFIT_INLINE void apply_rotations_body(float* a, std::ptrdiff_t ld, int rows,
                                          const PlaneRotation* rotations, int count) {
  constexpr int lanes = lanes_of<V>;
  LogRun runs[kRunBatch];
  for (int from = 0; from < count;) {
    const int found = find_runs(rotations, from, count, runs);
    int r = 0;
    for (; r + kRotationRows <= rows; r += kRotationRows)
      rotate_runs<V, kRotationRows / lanes>(a + r, ld, rotations, runs, found);
    if (const int vectors = (rows - r) / lanes; vectors > 0) {
      rotate_runs_tail<V>(vectors, a + r, ld, rotations, runs, found);
      r += vectors * lanes;
    }
    if constexpr (lanes > 8)
      if (r + 8 <= rows) {
        rotate_runs<V8, 1>(a + r, ld, rotations, runs, found);
        r += 8;
      }
    for (; r < rows; ++r) rotate_runs<float, 1>(a + r, ld, rotations, runs, found);
    from = runs[found - 1].start + runs[found - 1].length;
  }
}

}  // namespace

PHASEFIT_KERNEL(apply_rotations, V16,
                (float* a, std::ptrdiff_t ld, int rows, const PlaneRotation* rotations, int count),
                (a, ld, rows, rotations, count))

namespace {

// Columns [first, first + B*lanes_of<V>) of row_major_update_dots, in one
// walk down the rows; the sums of the walk stay in registers all the way.
// Lane q of vector b is column first + lanes*b + q of the block, and only
// columns 0 .. cols-1 belong to it. A walk on whole 64-byte lines may
// start before the block (first < 0, Head) or end past it (Tail): a
// vector that reaches outside computes its other lanes on whatever the
// line holds but stores them back with their original bits and never sums
// them out, so each row of the walk reads and writes whole lines without
// touching other columns.
template <class V, int B, bool Head, bool Tail, bool Update, bool Dot>
PHASEFIT_INLINE void update_dot_walk(float* t, std::ptrdiff_t ldt, int count, int first, int cols,
                                     const float* factors, const float* x, const float* y,
                                     float* dots) {
  constexpr int lanes = lanes_of<V>;
  // A walk inside the block takes its factors and sums in place; one that
  // reaches outside takes copies, with zeros in the lanes outside.
  float lane_factors[B * lanes] = {};
  float lane_sums[B * lanes] = {};
  const float* factors_at = lane_factors;
  float* sums_at = lane_sums;
  if constexpr (Head || Tail) {
    for (int q = 0; q < B * lanes; ++q) {
      const int c = first + q;
      if (c < 0 || c >= cols) continue;
      if constexpr (Update) lane_factors[q] = factors[c];
      if constexpr (Dot) lane_sums[q] = dots[c];
    }
  } else {
    if constexpr (Update) factors_at = factors + first;
    if constexpr (Dot) sums_at = dots + first;
  }
  const auto lane = lane_numbers<V>();
  const auto head_inside = lane >= -first;
  const auto tail_inside = lane < cols - (first + (B - 1) * lanes);
  V f[B];
  V sum[B];
#pragma GCC unroll 8
  for (int b = 0; b < B; ++b) {
    f[b] = load_as<V>(factors_at + b * lanes);
    sum[b] = load_as<V>(sums_at + b * lanes);
  }
  float* row = t + first;
  for (int k = 0; k < count; ++k, row += ldt) {
#pragma GCC unroll 8
    for (int b = 0; b < B; ++b) {
      V value = load_as<V>(row + b * lanes);
      if constexpr (Update) {
        V updated = value + f[b] * x[k];
        if (Head && b == 0) updated = head_inside ? updated : value;
        if (Tail && b == B - 1) updated = tail_inside ? updated : value;
        store_as<V>(row + b * lanes, updated);
        value = updated;
      }
      if constexpr (Dot) sum[b] = sum[b] + value * y[k];
    }
  }
  if constexpr (Dot) {
#pragma GCC unroll 8
    for (int b = 0; b < B; ++b) store_as<V>(sums_at + b * lanes, sum[b]);
    if constexpr (Head || Tail)
      for (int q = 0; q < B * lanes; ++q) {
        const int c = first + q;
        if (c >= 0 && c < cols) dots[c] = lane_sums[q];
      }
  }
}

template <class V, bool Update, bool Dot>
PHASEFIT_INLINE void update_dot(float* t, std::ptrdiff_t ldt, int count, int cols,
                                const float* factors, const float* x, const float* y, float* dots,
                                std::span<const float> storage) {
  constexpr int lanes = lanes_of<V>;
  if constexpr (lanes == 16) {
    if (whole_lines_inside(t, ldt, cols, count, storage)) {
      // Rows on whole lines: walks of up to four line-aligned vectors of
      // columns.
      line_walks<4>(
          t, cols, [&](auto b, auto head, auto tail, int first) __attribute__((always_inline)) {
            update_dot_walk<V16, b(), head(), tail(), Update, Dot>(t, ldt, count, first, cols,
                                                                   factors, x, y, dots);
          });
      return;
    }
  }
  // Groups of 64 columns keep four to eight independent chains of
  // additions per row; the walk down the rows streams the block through the
  // caches once. Then single vectors, single 8-lane vectors and columns.
  int c = 0;
  for (; c + 64 <= cols; c += 64)
    update_dot_walk<V, 64 / lanes, false, false, Update, Dot>(t, ldt, count, c, cols, factors, x, y,
                                                              dots);
  for (; c + lanes <= cols; c += lanes)
    update_dot_walk<V, 1, false, false, Update, Dot>(t, ldt, count, c, cols, factors, x, y, dots);
  if constexpr (lanes > 8)
    for (; c + 8 <= cols; c += 8)
      update_dot_walk<V8, 1, false, false, Update, Dot>(t, ldt, count, c, cols, factors, x, y,
                                                        dots);
  for (; c < cols; ++c)
    update_dot_walk<float, 1, false, false, Update, Dot>(t, ldt, count, c, cols, factors, x, y,
                                                         dots);
}

template <class V>
PHASEFIT_INLINE void row_major_update_dots_body(float* t, std::ptrdiff_t ldt, int count, int cols,
                                                const float* factors, const float* x,
                                                const float* y, float* dots,
                                                std::span<const float> storage) {
  if (factors != nullptr && dots != nullptr)
    update_dot<V, true, true>(t, ldt, count, cols, factors, x, y, dots, storage);
  else if (factors != nullptr)
    update_dot<V, true, false>(t, ldt, count, cols, factors, x, y, dots, storage);
  else if (dots != nullptr)
    update_dot<V, false, true>(t, ldt, count, cols, factors, x, y, dots, storage);
}

}  // namespace

PHASEFIT_KERNEL(row_major_update_dots, V16,
                (float* t, std::ptrdiff_t ldt, int count, int cols, const float* factors,
                 const float* x, const float* y, float* dots, std::span<const float> storage),
                (t, ldt, count, cols, factors, x, y, dots, storage))

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

ProcessorForms processor_forms() {
  const Isa isa = processor_isa();
  return {isa != Isa::baseline, isa == Isa::avx512f};
}

int vector_lanes() { return wide_vectors() ? 16 : 8; }

bool use_narrow_vectors(bool narrow) { return narrow_only.exchange(narrow); }

bool use_baseline_vectors(bool baseline) { return baseline_only.exchange(baseline); }

}  // namespace phasefit::numerics::kernels
