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
#include "pmx/pmxsaver.h"

namespace {

constexpr Int32 kJoints = 8;
constexpr Int32 kIslands = 4;  // UV islands across the grid: seams between them

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

/// A document holding one `side` x `side` quad grid and its rig.
struct Scene {
  std::unique_ptr<BaseDocument> doc{BaseDocument::Alloc()};

  explicit Scene(Int32 side) {
    std::vector<BaseObject*> joints;
    BaseObject* parent = nullptr;
    for (Int32 j = 0; j < kJoints; ++j) {
      BaseObject* joint = BaseObject::Alloc(Ojoint);
      joint->SetName(String("Joint") + String::IntToString(j));
      joint->SetRelPos(Vector(0, j == 0 ? 0 : 100.0 / (kJoints - 1), 0));
      doc->InsertObjectLast(joint, parent);
      joints.push_back(joint);
      parent = joint;
    }

    const Int32 n = side + 1;
    PolygonObject* op = PolygonObject::Alloc(n * n, side * side);
    op->SetName(String("Grid"));
    Vector* p = op->GetPointW();
    for (Int32 y = 0; y < n; ++y) {
      for (Int32 x = 0; x < n; ++x) {
        const Float fx = 100.0 * x / side, fy = 100.0 * y / side;
        p[y * n + x] = Vector(fx, fy, 3.0 * std::sin(fx * 0.2) * std::cos(fy * 0.15));
      }
    }
    CPolygon* q = op->GetPolygonW();
    for (Int32 y = 0; y < side; ++y)
      for (Int32 x = 0; x < side; ++x)
        q[y * side + x] = CPolygon(y * n + x, y * n + x + 1, (y + 1) * n + x + 1, (y + 1) * n + x);

    // UVs: the grid is cut into islands along x, each mapped to its own part of the map.
    UVWTag* uvw = UVWTag::Alloc(side * side);
    const Int32 islandWidth = std::max(1, side / kIslands);
    auto uv = [&](Int32 x, Int32 y, Int32 island) {
      return Vector(0.25 * island + 0.2 * (x - island * islandWidth) / islandWidth,
                    static_cast<Float>(y) / side, 0);
    };
    for (Int32 y = 0; y < side; ++y) {
      for (Int32 x = 0; x < side; ++x) {
        const Int32 island = std::min(kIslands - 1, x / islandWidth);
        uvw->SetSlow(y * side + x, UVWStruct(uv(x, y, island), uv(x + 1, y, island),
                                             uv(x + 1, y + 1, island), uv(x, y + 1, island)));
      }
    }
    op->InsertTagLast(uvw);

    BaseTag* phong = BaseTag::Alloc(Tphong);
    phong->GetDataInstance()->SetBool(PHONGTAG_PHONG_ANGLELIMIT, true);
    phong->GetDataInstance()->SetFloat(PHONGTAG_PHONG_ANGLE, Rad(60.0));
    op->InsertTagLast(phong);

    // Two materials on selections: the lower half, and a band of columns in the upper half
    // (one range per row).
    SelectionTag* lower = SelectionTag::Alloc(Tpolygonselection);
    lower->SetName(String("lower"));
    lower->GetBaseSelect()->SelectAll(0, side * (side / 2) - 1);
    op->InsertTagLast(lower);
    SelectionTag* band = SelectionTag::Alloc(Tpolygonselection);
    band->SetName(String("band"));
    for (Int32 y = side / 2; y < side; ++y)
      band->GetBaseSelect()->SelectAll(y * side + side / 4, y * side + side / 2);
    op->InsertTagLast(band);
    const char* names[] = {"Skin", "Cloth"};
    const char* restrictions[] = {"lower", "band"};
    for (int m = 0; m < 2; ++m) {
      BaseMaterial* mat = BaseMaterial::Alloc(Mmaterial);
      mat->SetName(String(names[m]));
      mat->SetChannelState(CHANNEL_COLOR, true);
      mat->GetChannel(CHANNEL_COLOR)->GetDataInstance()->SetFloat(BASECHANNEL_BRIGHTNESS_EX, 1);
      mat->GetChannel(CHANNEL_COLOR)
          ->GetDataInstance()
          ->SetString(BASECHANNEL_TEXTURE, String(names[m]) + String(".png"));
      doc->InsertMaterial(mat);
      TextureTag* tex = TextureTag::Alloc();
      tex->SetMaterial(mat);
      tex->GetDataInstance()->SetString(TEXTURETAG_RESTRICTION, String(restrictions[m]));
      op->InsertTagLast(tex);
    }

    // Weights by height: the two joints around the point and, off the joint heights, two
    // smaller ones (up to four influences).
    CAWeightTag* weights = CAWeightTag::Alloc();
    for (BaseObject* j : joints) weights->AddJoint(j);
    weights->ReservePoints(n * n);
    for (Int32 i = 0; i < n * n; ++i) {
      const Float t = p[i].y / 100.0 * (kJoints - 1);
      const Int32 j = std::min(kJoints - 2, static_cast<Int32>(t));
      const Float f = t - j;
      weights->SetWeight(j, i, (1.0 - f) * 0.8);
      weights->SetWeight(j + 1, i, f * 0.8);
      if (f > 0.1 && f < 0.9) {
        weights->SetWeight((j + 3) % kJoints, i, 0.12);
        weights->SetWeight((j + 5) % kJoints, i, 0.08);
      }
    }
    op->InsertTagLast(weights);
    doc->InsertObjectLast(op);
  }
};

/// Scenes by grid side, built once.
Scene& SceneOf(Int32 side) {
  static std::map<Int32, std::unique_ptr<Scene>> scenes;
  auto& s = scenes[side];
  if (!s) s = std::make_unique<Scene>(side);
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
  Scene& scene = SceneOf(side);
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
