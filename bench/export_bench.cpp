// PMX export speed and memory on generated scenes of 10k, 100k and 1M quadrangles: a wavy
// grid with UV islands (seams), phong shading, two texture tags restricted to polygon
// selections and a weight tag of 8 joints with up to four influences per point. The
// baseline writes a file of the same size through the host's file: once in 4-byte values
// (the granularity of a PMX file) and once in 64 KB blocks (the disk alone).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "c4d.h"
#include "c4d_host.h"
#include "grid_scene.h"
#include "pmx/pmxsaver.h"

namespace {

std::string ScratchDir() {
  const auto dir = std::filesystem::temp_directory_path() / "pmx_export_bench";
  std::filesystem::create_directories(dir);
  return dir.string();
}

Float PeakRssMb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<Float>(u.ru_maxrss) / 1024.0;
}

/// Scenes by grid side, built once.
GridScene& SceneOf(Int32 side) {
  static std::map<Int32, std::unique_ptr<GridScene>> scenes;
  auto& s = scenes[side];
  if (!s) s = std::make_unique<GridScene>(side);
  return *s;
}

BaseSceneSaver* Saver() {
  static std::unique_ptr<BaseSceneSaver> saver;
  if (!saver) {
    host::ResetRegistry();
    const Filename res(String(PMX_PLUGIN_DIR "/res"));
    host::SetCurrentModuleResourcePath(res);
    resource.Init(res);
    RegisterPmxSaver();
    host::SetCurrentModuleResourcePath(Filename());
    saver.reset(host::AllocSceneSaver(ID_PMX_SAVER));
  }
  return saver.get();
}

struct Figures {
  std::vector<double> exportSeconds, int32Seconds, blockSeconds;
  Int64 fileBytes = 0;
  Float peakAfterExportMb = 0;
};
std::map<Int32, Figures>& AllFigures() {
  static std::map<Int32, Figures> f;
  return f;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void BM_Export(benchmark::State& state) {
  const Int32 side = static_cast<Int32>(state.range(0));
  GridScene& scene = SceneOf(side);
  BaseSceneSaver* saver = Saver();
  const std::string path = ScratchDir() + "/grid" + std::to_string(side) + ".pmx";
  Figures& fig = AllFigures()[side];
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    const FILEERROR r = host::SaveDocument(saver, scene.doc.get(), Filename(String(path)));
    const auto t1 = std::chrono::steady_clock::now();
    if (r != FILEERROR_NONE) state.SkipWithError("export failed");
    fig.exportSeconds.push_back(std::chrono::duration<double>(t1 - t0).count());
    host::ClearRecords();
  }
  fig.fileBytes = static_cast<Int64>(std::filesystem::file_size(path));
  fig.peakAfterExportMb = PeakRssMb();
  state.counters["file_MB"] = static_cast<double>(fig.fileBytes) / 1e6;
  state.counters["peak_rss_MB"] = fig.peakAfterExportMb;
  state.counters["quads"] = static_cast<double>(side) * side;
}

/// Writes `bytes` through the host's file in pieces of `piece` bytes (4: one WriteInt32 each).
void WriteBaseline(benchmark::State& state, Int64 piece, std::vector<double> Figures::*out) {
  const Int32 side = static_cast<Int32>(state.range(0));
  Figures& fig = AllFigures()[side];
  if (fig.fileBytes == 0) {
    state.SkipWithError("run the export first");
    return;
  }
  const std::string path = ScratchDir() + "/baseline.bin";
  std::vector<unsigned char> block(65536, 0x5A);
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    BaseFile f;
    f.Open(Filename(String(path)), FILEOPEN_WRITE, FILEDIALOG_NONE, BYTEORDER_INTEL);
    Int64 left = fig.fileBytes;
    if (piece == 4) {
      for (; left >= 4; left -= 4) f.WriteInt32(static_cast<Int32>(left));
      for (; left > 0; --left) f.WriteUChar(0);
    } else {
      for (; left > 0; left -= piece) f.WriteBytes(block.data(), std::min(left, piece));
    }
    f.Close();
    const auto t1 = std::chrono::steady_clock::now();
    (fig.*out).push_back(std::chrono::duration<double>(t1 - t0).count());
  }
  state.counters["file_MB"] = static_cast<double>(fig.fileBytes) / 1e6;
}

void BM_WriteBaselineInt32(benchmark::State& state) {
  WriteBaseline(state, 4, &Figures::int32Seconds);
}
void BM_WriteBaselineBlocks(benchmark::State& state) {
  WriteBaseline(state, 65536, &Figures::blockSeconds);
}

// Largest first, so that the peak memory reported after it is the export's own.
BENCHMARK(BM_Export)->Arg(1000)->Arg(316)->Arg(100)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteBaselineInt32)
    ->Arg(1000)
    ->Arg(316)
    ->Arg(100)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteBaselineBlocks)
    ->Arg(1000)
    ->Arg(316)
    ->Arg(100)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("\n%-10s %10s %12s %14s %14s %10s %10s %12s\n", "quads", "file MB", "export s",
              "int32 write s", "block write s", "x int32", "x block", "peak RSS MB");
  for (const auto& [side, f] : AllFigures()) {
    const double e = Median(f.exportSeconds), w = Median(f.int32Seconds),
                 b = Median(f.blockSeconds);
    std::printf("%-10d %10.1f %12.3f %14.3f %14.3f %10.2f %10.2f %12.0f\n", side * side,
                static_cast<double>(f.fileBytes) / 1e6, e, w, b, w > 0 ? e / w : 0.0,
                b > 0 ? e / b : 0.0, f.peakAfterExportMb);
  }
  return 0;
}
