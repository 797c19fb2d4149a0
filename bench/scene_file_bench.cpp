// Scene file speed on the grid scenes of 10k, 100k and 1M quadrangles (grid_scene.h, written
// once as scene files): the scene file read and written in process, and `pmxexport export` and
// `pmxexport scene-dump` run as whole processes, as a user runs them. Each is set beside a plain
// read and write of the same bytes; the table at the end gives the rates and the ratios.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "c4d.h"
#include "grid_scene.h"
#include "scene_file.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string ScratchDir() {
  const auto dir = fs::temp_directory_path() / "pmx_scene_file_bench";
  fs::create_directories(dir);
  return dir.string();
}

double Seconds(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

/// CPU seconds of this thread: on a busy machine the wall time also counts the others' work.
/// The CPU time of the whole process: the loader's helper threads count too.
double ProcessCpu() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Figures {
  Int64 sceneBytes = 0, pmxBytes = 0;
  std::vector<double> load, write, plainRead, plainWrite, plainWritePmx, exportRun, dumpRun;
  std::vector<double> loadCpu, writeCpu, exportCpu, dumpCpu;
  double exportPeakMb = 0, dumpPeakMb = 0;
};
std::map<Int32, Figures>& AllFigures() {
  static std::map<Int32, Figures> f;
  return f;
}

/// The document of the grid, built once per side.
BaseDocument* GridDocument(Int32 side) {
  static std::map<Int32, std::unique_ptr<GridScene>> scenes;
  auto& s = scenes[side];
  if (!s) s = std::make_unique<GridScene>(side);
  return s->doc.get();
}

/// The grid's scene file, written once.
std::string GridFile(Int32 side) {
  const std::string path = ScratchDir() + "/grid" + std::to_string(side) + ".json";
  if (!fs::exists(path)) {
    std::string error;
    if (!pmxapp::SaveSceneFile(GridDocument(side), path, &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::exit(1);
    }
  }
  AllFigures()[side].sceneBytes = static_cast<Int64>(fs::file_size(path));
  return path;
}

void BM_SceneWrite(benchmark::State& state) {
  const Int32 side = static_cast<Int32>(state.range(0));
  BaseDocument* doc = GridDocument(side);
  const std::string path = ScratchDir() + "/written.json";
  Figures& fig = AllFigures()[side];
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = ProcessCpu();
    std::string error;
    if (!pmxapp::SaveSceneFile(doc, path, &error)) state.SkipWithError(error.c_str());
    fig.write.push_back(Seconds(t0));
    fig.writeCpu.push_back(ProcessCpu() - c0);
  }
  if (fig.sceneBytes == 0) fig.sceneBytes = static_cast<Int64>(fs::file_size(path));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * fig.sceneBytes);
}

void BM_SceneLoad(benchmark::State& state) {
  const Int32 side = static_cast<Int32>(state.range(0));
  const std::string path = GridFile(side);
  Figures& fig = AllFigures()[side];
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = ProcessCpu();
    std::string error;
    auto doc = pmxapp::LoadSceneFile(path, &error);
    if (!doc) state.SkipWithError(error.c_str());
    fig.load.push_back(Seconds(t0));
    fig.loadCpu.push_back(ProcessCpu() - c0);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * fig.sceneBytes);
}

/// Reads the scene file into memory in one piece and writes its bytes (and those of the PMX,
/// once exported) in 64 KB blocks: the disk and the system alone.
void BM_PlainReadWrite(benchmark::State& state) {
  const Int32 side = static_cast<Int32>(state.range(0));
  const std::string path = GridFile(side);
  Figures& fig = AllFigures()[side];
  const std::string out = ScratchDir() + "/plain.bin";
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    std::string text(static_cast<size_t>(fig.sceneBytes), '\0');
    {
      std::ifstream in(path, std::ios::binary);
      in.read(text.data(), static_cast<std::streamsize>(text.size()));
    }
    fig.plainRead.push_back(Seconds(t0));
    auto writeBytes = [&](Int64 bytes) {
      t0 = std::chrono::steady_clock::now();
      std::FILE* f = std::fopen(out.c_str(), "wb");
      for (Int64 at = 0; at < bytes; at += 65536) {
        const Int64 n = std::min<Int64>(65536, bytes - at);
        std::fwrite(text.data() + (at % static_cast<Int64>(text.size() - n + 1)), 1,
                    static_cast<size_t>(n), f);
      }
      std::fclose(f);
      return Seconds(t0);
    };
    fig.plainWrite.push_back(writeBytes(fig.sceneBytes));
    if (fig.pmxBytes > 0) fig.plainWritePmx.push_back(writeBytes(fig.pmxBytes));
  }
}

/// The peak memory of a running process so far, in MB (0 when it has ended).
double PeakMbOf(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
  }
  return 0;
}

/// Runs the app with `args` and waits for it; answers the wall time and the peak memory. The
/// peak is read from the running process: the one the system reports at its end would start
/// from this (large) benchmark's own, which a spawned process inherits.
bool Run(const std::vector<std::string>& args, double* seconds, double* cpu, double* peakMb) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;
  int status = 0;
  *peakMb = 0;
  siginfo_t info{};
  // Waits without reaping, reading the peak every millisecond until the process has ended.
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0) {
    *peakMb = std::max(*peakMb, PeakMbOf(pid));
    usleep(1000);
  }
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  *seconds = Seconds(t0);
  auto sec = [](timeval t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
  *cpu = sec(usage.ru_utime) + sec(usage.ru_stime);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_ProcessExport(benchmark::State& state) {
  const Int32 side = static_cast<Int32>(state.range(0));
  const std::string path = GridFile(side);
  const std::string pmx = ScratchDir() + "/grid" + std::to_string(side) + ".pmx";
  Figures& fig = AllFigures()[side];
  for (auto _ : state) {
    double s = 0, cpu = 0, peak = 0;
    if (!Run({PMX_APP, "export", path, "-o", pmx}, &s, &cpu, &peak))
      state.SkipWithError("pmxexport export failed");
    fig.exportRun.push_back(s);
    fig.exportCpu.push_back(cpu);
    fig.exportPeakMb = std::max(fig.exportPeakMb, peak);
  }
  fig.pmxBytes = static_cast<Int64>(fs::file_size(pmx));
  state.counters["peak_rss_MB"] = fig.exportPeakMb;
}

void BM_ProcessSceneDump(benchmark::State& state) {
  const Int32 side = static_cast<Int32>(state.range(0));
  const std::string path = GridFile(side);
  const std::string out = ScratchDir() + "/dump" + std::to_string(side) + ".json";
  Figures& fig = AllFigures()[side];
  for (auto _ : state) {
    double s = 0, cpu = 0, peak = 0;
    if (!Run({PMX_APP, "scene-dump", path, "-o", out}, &s, &cpu, &peak))
      state.SkipWithError("pmxexport scene-dump failed");
    fig.dumpRun.push_back(s);
    fig.dumpCpu.push_back(cpu);
    fig.dumpPeakMb = std::max(fig.dumpPeakMb, peak);
  }
  state.counters["peak_rss_MB"] = fig.dumpPeakMb;
}

#define GRID_SIDES Arg(100)->Arg(316)->Arg(1000)->Iterations(3)->Unit(benchmark::kMillisecond)
BENCHMARK(BM_SceneWrite)->GRID_SIDES;
BENCHMARK(BM_SceneLoad)->GRID_SIDES;
BENCHMARK(BM_ProcessExport)->GRID_SIDES;
BENCHMARK(BM_ProcessSceneDump)->GRID_SIDES;
BENCHMARK(BM_PlainReadWrite)->GRID_SIDES;

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf(
      "\n%-8s %7s | %7s %6s %6s %6s | %7s %6s %6s %6s | %8s %7s %7s %6s | %7s %7s %7s %6s\n",
      "quads", "MB", "load s", "cpu s", "MB/s", "x read", "write s", "cpu s", "MB/s", "x write",
      "export s", "cpu s", "peak MB", "x r+w", "dump s", "cpu s", "peak MB", "x r+w");
  for (const auto& [side, f] : AllFigures()) {
    const double mb = static_cast<double>(f.sceneBytes) / 1e6;
    const double read = Median(f.plainRead), plainWrite = Median(f.plainWrite),
                 pmxWrite = Median(f.plainWritePmx), loadCpu = Median(f.loadCpu),
                 writeCpu = Median(f.writeCpu), exportRun = Median(f.exportRun),
                 dumpRun = Median(f.dumpRun);
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    std::printf(
        "%-8d %7.1f | %7.3f %6.3f %6.0f %6.2f | %7.3f %6.3f %6.0f %6.2f | %8.3f %7.3f %7.0f "
        "%6.2f | %7.3f %7.3f %7.0f %6.2f\n",
        side * side, mb, Median(f.load), loadCpu, ratio(mb, Median(f.load)),
        ratio(Median(f.load), read), Median(f.write), writeCpu, ratio(mb, Median(f.write)),
        ratio(Median(f.write), plainWrite), exportRun, Median(f.exportCpu), f.exportPeakMb,
        ratio(exportRun, read + pmxWrite), dumpRun, Median(f.dumpCpu), f.dumpPeakMb,
        ratio(dumpRun, read + plainWrite));
  }
  std::printf(
      "Medians. MB/s: by wall time; cpu s: the whole process's (the loader's helper threads\n"
      "count too; on a busy machine the wall time also counts others' work).\n"
      "x read: load / plain read of the scene file; x write: write / plain write of its bytes;\n"
      "x r+w: the whole process / plain read of the scene file and plain write of its output.\n");
  return 0;
}
