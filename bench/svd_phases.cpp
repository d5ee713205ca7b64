// Where the time of svdcmp goes on given tables: for each table (the files
// named on the command line, or every *.dat of a directory), the job's
// design matrix at N = 300 is decomposed phase by phase, in the fast and in
// the reference form, and the best of several runs of each phase is
// printed per job, with the QR passes and rotations of the
// diagonalisation. Phase 4 is split into its scalar chains (the sweeps
// with the rotations only recorded) and the application of the recorded
// rotations to U and to V. Not a test; `make bench` runs it on the real
// tables.
//
// Usage: svd_phases [--repeat R] [--n N] [--fast-only] [--form 16|8|baseline]
//                   [--cpu-clock] [--check] TABLE_OR_DIRECTORY...
// --fast-only skips the reference form; --form runs the kernels of that
// instruction-set form (16: the widest the machine has; 8: the 8-lane
// forms in their AVX2 build where the machine has AVX2); --check times
// nothing and instead compares every bit of svdcmp's outputs with the
// reference form's, table by table (exit status 1 if any differs).

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "expansion/delta_fit.hpp"
#include "expansion/grid.hpp"
#include "expansion/moments.hpp"
#include "expansion/resample.hpp"
#include "expansion/table.hpp"
#include "numerics/svd.hpp"
#include "numerics/svd_kernels.hpp"
#include "numerics/svd_phase_steps.hpp"
#include "numerics/svd_reference.hpp"

namespace {

namespace ex = phasefit::expansion;
namespace nm = phasefit::numerics;
namespace ph = phasefit::numerics::svd_phases;

void resume(std::string_view) {}

// With --cpu-clock, the CPU time of this thread rather than the wall
// time: on a machine busy with other work, a run that lost the processor
// for a while then does not count the time it waited.
bool cpu_clock = false;

double now_ms() {
  if (cpu_clock) {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
  }
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The best of `repeat` runs of body, each after a fresh set_up (untimed).
double best_ms(int repeat, const std::function<void()>& set_up, const std::function<void()>& body) {
  double best = 1e300;
  for (int r = 0; r < repeat; ++r) {
    set_up();
    const double start = now_ms();
    body();
    best = std::min(best, now_ms() - start);
  }
  return best;
}

// Rotations recorded in order, for the timing of their application.
struct Recorder {
  std::vector<nm::PlaneRotation> entries;
  void rotate(int first, int second, float c, float s) { entries.push_back({first, second, c, s}); }
  void negate(int column) { entries.push_back({column, 0, 0.0f, 0.0f}); }
};

// The QR sweeps of a diagonalisation, from the rotations it gave V: a
// sweep over columns l..k rotates V's columns (l, l+1), (l+1, l+2), ...,
// (k-1, k) in turn, and the next sweep, on the same block or a lower one,
// starts at a column below k. So a sweep starts wherever a rotation's
// first column does not follow the previous one's (negations, between
// sweeps, do not count).
long qr_sweeps(const std::vector<nm::PlaneRotation>& v_rotations) {
  long sweeps = 0;
  int previous_first = -1;
  for (const nm::PlaneRotation& rotation : v_rotations) {
    if (rotation.second == 0) continue;
    if (rotation.first != previous_first + 1) ++sweeps;
    previous_first = rotation.first;
  }
  return sweeps;
}

struct Figures {
  double phase[4] = {};  // bidiagonalisation, V, U, diagonalisation (all of it)
  double chains = 0, apply_u = 0, apply_v = 0, whole = 0;
  long passes = 0, rotations = 0, rotations_v = 0;
};

void copy_block(const nm::MatView& from, int rows, int cols, const nm::MatView& to) {
  for (int j = 1; j <= cols; ++j)
    for (int i = 1; i <= rows; ++i) to(i, j) = from(i, j);
}

// Phases of the fast form, on the working copies of the workspace as
// svdcmp uses them, and of the reference form, on a plain copy.
void measure(const std::vector<float>& system, int m, int n, int repeat, bool with_reference,
             Figures& fast, Figures& ref) {
  const nm::MatView source{std::span<float>(const_cast<float*>(system.data()), system.size()),
                           ex::kGridPoints, nm::kSvdfitMaxCols, ex::kGridPoints};
  auto workspace = std::make_unique<nm::SvdWorkspace>();
  const ph::WorkingCopies copies = *ph::working_copies(*workspace, m, n);
  std::array<float, nm::kSvdcmpMaxCols> w_store, e_store;
  const ph::Vec1 w{w_store}, e{e_store};
  // Snapshots after each phase, so that each is timed from its own start.
  std::vector<float> after1, after2, after3, w1, e1;
  ph::Bidiagonal bd;
  const auto save = [&](std::vector<float>& to) {
    to.assign(copies.a.data.begin(), copies.a.data.end());
  };
  const auto load = [&](const std::vector<float>& from) {
    std::copy(from.begin(), from.end(), copies.a.data.begin());
  };
  const auto load_w_e = [&] {
    std::copy(w1.begin(), w1.end(), w_store.begin());
    std::copy(e1.begin(), e1.end(), e_store.begin());
  };

  fast.phase[0] = best_ms(
      repeat, [&] { copy_block(source, m, n, copies.a); },
      [&] { bd = ph::bidiagonalise_fast(copies.a, m, n, w, e); });
  save(after1);
  w1.assign(w_store.begin(), w_store.end());
  e1.assign(e_store.begin(), e_store.end());
  fast.phase[1] = best_ms(
      repeat, [&] { load(after1); },
      [&] { ph::accumulate_right_fast(copies.a, n, e, copies.row_major, copies.v); });
  fast.phase[2] = best_ms(
      repeat, [&] { load(after1); },
      [&] { ph::accumulate_left_fast(copies.a, m, n, w, copies.row_major); });
  save(after2);
  const std::vector<float> v_after(copies.v.data.begin(), copies.v.data.end());
  Recorder u_rec, v_rec;
  fast.chains = best_ms(
      repeat,
      [&] {
        load_w_e();
        u_rec.entries.clear();
        v_rec.entries.clear();
      },
      [&] { ph::diagonalise(n, w, e, bd.bidiag_norm, u_rec, v_rec, resume, [] {}); });
  fast.passes = qr_sweeps(v_rec.entries);
  fast.rotations = static_cast<long>(u_rec.entries.size());
  fast.rotations_v = static_cast<long>(v_rec.entries.size());
  fast.apply_u = best_ms(
      repeat, [&] { load(after2); },
      [&] {
        nm::kernels::apply_rotations(copies.a.data.data(), copies.a.ld,
                                     ph::rotated_rows(m, copies.a.ld), u_rec.entries.data(),
                                     static_cast<int>(u_rec.entries.size()));
      });
  fast.apply_v = best_ms(
      repeat, [&] { std::copy(v_after.begin(), v_after.end(), copies.v.data.begin()); },
      [&] {
        nm::kernels::apply_rotations(copies.v.data.data(), copies.v.ld,
                                     ph::rotated_rows(n, copies.v.ld), v_rec.entries.data(),
                                     static_cast<int>(v_rec.entries.size()));
      });
  fast.phase[3] = fast.chains + fast.apply_u + fast.apply_v;
  std::vector<float> u(system),
      v(static_cast<std::size_t>(nm::kSvdfitMaxCols) * nm::kSvdfitMaxCols);
  const nm::MatView uv{u, ex::kGridPoints, nm::kSvdfitMaxCols, ex::kGridPoints};
  const nm::MatView vv{v, nm::kSvdfitMaxCols, nm::kSvdfitMaxCols, nm::kSvdfitMaxCols};
  fast.whole = best_ms(
      repeat, [&] { u = system; }, [&] { nm::svdcmp(uv, m, n, w_store, vv, resume, *workspace); });

  if (!with_reference) return;
  // The reference form, phase by phase, on the caller's layout.
  std::vector<float> a = system;
  const nm::MatView av{a, ex::kGridPoints, nm::kSvdfitMaxCols, ex::kGridPoints};
  const int ref_repeat = std::max(1, repeat / 3);
  ref.phase[0] = best_ms(
      ref_repeat, [&] { a = system; }, [&] { bd = ph::bidiagonalise_reference(av, m, n, w, e); });
  const std::vector<float> r1 = a;
  w1.assign(w_store.begin(), w_store.end());
  e1.assign(e_store.begin(), e_store.end());
  ref.phase[1] = best_ms(
      ref_repeat, [&] { a = r1; }, [&] { ph::accumulate_right_reference(av, n, bd.g, e, vv); });
  ref.phase[2] = best_ms(
      ref_repeat, [&] { a = r1; }, [&] { ph::accumulate_left_reference(av, m, n, w); });
  const std::vector<float> r3 = a;
  const std::vector<float> rv = v;
  ref.phase[3] = best_ms(
      ref_repeat,
      [&] {
        a = r3;
        v = rv;
        load_w_e();
      },
      [&] {
        ph::ImmediateRotations ui{av, m}, vi{vv, n};
        ph::diagonalise(n, w, e, bd.bidiag_norm, ui, vi, resume, [] {});
      });
  ref.whole = best_ms(
      ref_repeat, [&] { u = system; },
      [&] { nm::reference::svdcmp(uv, m, n, w_store, vv, resume); });
}

// Whether svdcmp in the form this run takes gives the reference form's
// bits on this system: U, the singular values and V, whole.
bool same_bits(const std::vector<float>& system, int m, int n) {
  auto workspace = std::make_unique<nm::SvdWorkspace>();
  std::vector<float> u_fast(system), u_ref(system);
  std::vector<float> v_fast(static_cast<std::size_t>(nm::kSvdfitMaxCols) * nm::kSvdfitMaxCols),
      v_ref(v_fast.size());
  std::vector<float> w_fast(nm::kSvdfitMaxCols), w_ref(nm::kSvdfitMaxCols);
  const auto view = [](std::vector<float>& x, int ld, int cols) {
    return nm::MatView{x, ld, cols, ld};
  };
  nm::svdcmp(view(u_fast, ex::kGridPoints, nm::kSvdfitMaxCols), m, n, w_fast,
             view(v_fast, nm::kSvdfitMaxCols, nm::kSvdfitMaxCols), resume, *workspace);
  nm::reference::svdcmp(view(u_ref, ex::kGridPoints, nm::kSvdfitMaxCols), m, n, w_ref,
                        view(v_ref, nm::kSvdfitMaxCols, nm::kSvdfitMaxCols), resume);
  const auto same = [](const std::vector<float>& x, const std::vector<float>& y) {
    return std::memcmp(x.data(), y.data(), x.size() * sizeof(float)) == 0;
  };
  return same(u_fast, u_ref) && same(v_fast, v_ref) && same(w_fast, w_ref);
}

std::vector<std::string> tables_of(const std::vector<std::string>& arguments) {
  std::vector<std::string> paths;
  for (const std::string& argument : arguments) {
    if (std::filesystem::is_directory(argument)) {
      std::vector<std::string> found;
      for (const auto& entry : std::filesystem::directory_iterator(argument))
        if (entry.path().extension() == ".dat") found.push_back(entry.path().string());
      std::sort(found.begin(), found.end());
      paths.insert(paths.end(), found.begin(), found.end());
    } else {
      paths.push_back(argument);
    }
  }
  return paths;
}

}  // namespace

int main(int argc, char** argv) {
  int repeat = 9;
  int order = 300;
  bool with_reference = true;
  bool check = false;
  bool differing = false;
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc)
      repeat = std::atoi(argv[++i]);
    else if (std::strcmp(argv[i], "--n") == 0 && i + 1 < argc)
      order = std::atoi(argv[++i]);
    else if (std::strcmp(argv[i], "--check") == 0)
      check = true;
    else if (std::strcmp(argv[i], "--cpu-clock") == 0)
      cpu_clock = true;
    else if (std::strcmp(argv[i], "--fast-only") == 0)
      with_reference = false;
    else if (std::strcmp(argv[i], "--form") == 0 && i + 1 < argc) {
      const std::string form = argv[++i];
      nm::kernels::use_narrow_vectors(form == "8" || form == "baseline");
      nm::kernels::use_baseline_vectors(form == "baseline");
    } else
      arguments.emplace_back(argv[i]);
  }
  const std::vector<std::string> paths = tables_of(arguments);
  if (paths.empty()) {
    std::fprintf(stderr,
                 "usage: svd_phases [--repeat R] [--n N] [--fast-only] [--form 16|8|baseline] "
                 "[--cpu-clock] [--check] TABLE_OR_DIRECTORY...\n");
    return 2;
  }
  ex::QuadratureGrid grid;
  ex::build_quadrature_grid(grid);
  auto fit = std::make_unique<ex::FitWorkspace>();
  std::vector<float> apl(ex::kLegendreRows * ex::kGridPoints);
  const int n = order - ex::kFixedOrder;
  std::printf("svdcmp phases per job at N = %d (1000 x %d), ms, best of %d (reference: of %d)\n",
              order, n, repeat, std::max(1, repeat / 3));
  std::printf("%-28s %6s %6s %6s %7s %7s %7s %7s %6s %7s | %7s %7s %7s %7s %7s | %5s\n", "table",
              "bidiag", "V", "U", "chains", "rot U", "rot V", "diag", "passes", "svdcmp",
              "r bidiag", "r V", "r U", "r diag", "r svd", "ratio");
  Figures sum_fast, sum_ref;
  for (const std::string& path : paths) {
    ex::PhaseTable table;
    ex::read_phase_table(path, table);
    std::array<float, ex::kGridPoints> phase;
    ex::myspline(ex::kTableRows, table.angle, table.phase, ex::kGridPoints, grid.theta_grid, phase,
                 resume);
    std::array<float, ex::kMaxOrder + 1> moments{};
    ex::calmom(grid.mu_grid, phase, grid.weight_grid, order,
               std::span<float>(moments).first(static_cast<std::size_t>(order) + 1), apl);
    std::array<float, ex::kGridPoints> rhs;
    ex::build_fit_system(phase, order, moments, apl, ex::design_matrix(*fit), rhs);
    Figures fast, ref;
    if (check) {
      const bool same = same_bits(fit->u, ex::kGridPoints, n);
      std::printf("%-28.28s svdcmp bits %s\n", std::filesystem::path(path).stem().string().c_str(),
                  same ? "identical to the reference" : "DIFFERENT from the reference");
      if (!same) differing = true;
      continue;
    }
    measure(fit->u, ex::kGridPoints, n, repeat, with_reference, fast, ref);
    std::printf(
        "%-28.28s %6.2f %6.2f %6.2f %7.2f %7.2f %7.2f %7.2f %6ld %7.2f | %7.1f %7.1f %7.1f %7.1f "
        "%7.1f | %5.1f\n",
        std::filesystem::path(path).stem().string().c_str(), fast.phase[0], fast.phase[1],
        fast.phase[2], fast.chains, fast.apply_u, fast.apply_v, fast.phase[3], fast.passes,
        fast.whole, ref.phase[0], ref.phase[1], ref.phase[2], ref.phase[3], ref.whole,
        ref.whole / fast.whole);
    std::fflush(stdout);
    for (int k = 0; k < 4; ++k) {
      sum_fast.phase[k] += fast.phase[k];
      sum_ref.phase[k] += ref.phase[k];
    }
    sum_fast.chains += fast.chains;
    sum_fast.apply_u += fast.apply_u;
    sum_fast.apply_v += fast.apply_v;
    sum_fast.whole += fast.whole;
    sum_fast.passes += fast.passes;
    sum_fast.rotations += fast.rotations;
    sum_fast.rotations_v += fast.rotations_v;
    sum_ref.whole += ref.whole;
  }
  if (check) return differing ? 1 : 0;
  const double k = static_cast<double>(paths.size());
  std::printf(
      "%-28s %6.2f %6.2f %6.2f %7.2f %7.2f %7.2f %7.2f %6.0f %7.2f | %7.1f %7.1f %7.1f %7.1f %7.1f "
      "| %5.1f\n",
      "mean", sum_fast.phase[0] / k, sum_fast.phase[1] / k, sum_fast.phase[2] / k,
      sum_fast.chains / k, sum_fast.apply_u / k, sum_fast.apply_v / k, sum_fast.phase[3] / k,
      static_cast<double>(sum_fast.passes) / k, sum_fast.whole / k, sum_ref.phase[0] / k,
      sum_ref.phase[1] / k, sum_ref.phase[2] / k, sum_ref.phase[3] / k, sum_ref.whole / k,
      sum_ref.whole / sum_fast.whole);
  std::printf("mean rotations per job: %.0f on U (1000 rows), %.0f on V (%d rows)\n",
              static_cast<double>(sum_fast.rotations) / k,
              static_cast<double>(sum_fast.rotations_v) / k, n);
  return 0;
}
