// Flip-detection stages on a 96x96x60 grid with 65 volumes, at 1 and 2 threads.
//
//   bench_flip [--repeat N] [--dump DIR]
//
// --dump writes the phantom as DIR/dwi.f32 (raw float32, x fastest), DIR/shape.txt ("nx ny nz nt"),
// DIR/bvals and DIR/bvecs (FSL layout) so that bench/bench_dipy.py can fit the very same array.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <oneapi/tbb/task_arena.h>

#include "../tests/core/flip_phantom.hpp"
#include "core/flip/coherence.hpp"
#include "core/flip/tensor_fit.hpp"
#include "core/flip/white_matter.hpp"
#include "core/util/clock.hpp"

namespace {

using namespace dirsieve;

struct StageTimes {
  double fit = 1e300;     // fit_tensors alone
  double sample = 1e300;  // sample_white_matter: fit plus mask
  double score = 1e300;   // score_candidates
};

bool dump(const phantom::Phantom& ph, const std::string& dir) {
  const auto& d = ph.dwi.dims;
  std::ofstream shape(dir + "/shape.txt");
  shape << d[0] << ' ' << d[1] << ' ' << d[2] << ' ' << d[3] << '\n';
  std::ofstream raw(dir + "/dwi.f32", std::ios::binary);
  raw.write(reinterpret_cast<const char*>(ph.dwi.data.data()),
            static_cast<std::streamsize>(ph.dwi.data.size() * sizeof(float)));
  std::ofstream bvals(dir + "/bvals");
  for (double b : ph.table.bvals()) bvals << b << ' ';
  bvals << '\n';
  std::ofstream bvecs(dir + "/bvecs");
  bvecs.precision(17);
  for (int a = 0; a < 3; ++a) {
    for (const Vec3& g : ph.table.directions()) bvecs << g[a] << ' ';
    bvecs << '\n';
  }
  return shape && raw && bvals && bvecs;
}

}  // namespace

int main(int argc, char** argv) {
  int repeat = 3;
  std::string dump_dir;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--dump" && i + 1 < argc) {
      dump_dir = argv[++i];
    } else {
      std::fprintf(stderr, "usage: bench_flip [--repeat N] [--dump DIR]\n");
      return 2;
    }
  }

  phantom::PhantomSpec spec;
  spec.nx = 96;
  spec.ny = 96;
  spec.nz = 60;
  spec.n_b0 = 5;
  spec.n_directions = 60;
  spec.tube_radius = 0.1;   // thicker bundles: a white-matter sample of realistic size
  spec.background = 100.0;  // every voxel is above the minimum signal, so every voxel is fitted
  const Stopwatch build_clock;
  const phantom::Phantom ph = phantom::make_phantom(spec);
  std::printf("phantom %zux%zux%zu, %zu volumes, built in %.2f s\n", spec.nx, spec.ny, spec.nz, ph.table.size(),
              build_clock.seconds());
  if (!dump_dir.empty()) {
    if (!dump(ph, dump_dir)) {
      std::fprintf(stderr, "could not write %s\n", dump_dir.c_str());
      return 1;
    }
    std::printf("dumped to %s\n", dump_dir.c_str());
  }

  std::vector<std::size_t> b0;
  std::vector<std::size_t> shell;
  for (std::size_t i = 0; i < ph.table.size(); ++i) (ph.table.bvals()[i] <= 50.0 ? b0 : shell).push_back(i);
  FlipOptions options;
  options.step = 2.0;

  StageTimes times[2];
  std::size_t fitted = 0;
  std::uint64_t n_wm = 0;
  double best = 0.0;
  for (int threads = 1; threads <= 2; ++threads) {
    tbb::task_arena arena(threads);
    StageTimes& t = times[threads - 1];
    arena.execute([&] {
      for (int r = 0; r < repeat; ++r) {
        Stopwatch fit_clock;
        auto fit = fit_tensors(ph.dwi, ph.table, b0, shell, options.min_signal);
        t.fit = std::min(t.fit, fit_clock.seconds());
        if (!fit.ok()) {
          std::fprintf(stderr, "%s\n", fit.error().display().c_str());
          std::exit(1);
        }
        fitted = 0;
        for (double s : fit->s0) fitted += s >= options.min_signal;

        Stopwatch sample_clock;
        auto sampled = sample_white_matter(ph.dwi, ph.table, shell, nullptr, options);
        t.sample = std::min(t.sample, sample_clock.seconds());
        if (!sampled.ok()) {
          std::fprintf(stderr, "%s\n", sampled.error().display().c_str());
          std::exit(1);
        }
        n_wm = sampled->sample.n_wm_voxels;

        Stopwatch score_clock;
        auto ranking = score_candidates(sampled->fit, sampled->sample, options.step, options.frame_map);
        t.score = std::min(t.score, score_clock.seconds());
        best = ranking.front().coherence;
      }
    });
  }

  std::printf("voxels fitted %zu of %zu, WM voxels %llu, best coherence %.4f\n", fitted,
              spec.nx * spec.ny * spec.nz, static_cast<unsigned long long>(n_wm), best);
  std::printf("%-8s %12s %14s %12s %12s\n", "threads", "fit_tensors", "sample(+fit)", "score", "fit+sample+score");
  for (int i = 0; i < 2; ++i) {
    const StageTimes& t = times[i];
    std::printf("%-8d %12.4f %14.4f %12.4f %12.4f\n", i + 1, t.fit, t.sample, t.score, t.sample + t.score);
  }
  const double one = times[0].sample + times[0].score;
  const double two = times[1].sample + times[1].score;
  std::printf("scaling 1->2 threads: fit %.2fx, score %.2fx, total %.2fx\n", times[0].fit / times[1].fit,
              times[0].score / times[1].score, one / two);
  return 0;
}
