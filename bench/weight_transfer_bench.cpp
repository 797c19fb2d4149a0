// Weight transfer speed on two bumpy tubes (a stand-in for a body part) of 10k, 100k and 1M
// points: the source with 8 joints weighted by height, the target turned and widened a
// little so that its points fall between the source's. Interpolation over the surface, as
// the tool's defaults.
//
// Each step of a run is timed on its own: preparing the context (collecting the index sets,
// the source point list, the joint map), building the spatial index, the nearest-element
// query alone for every target point (one thread), executing (query and weight writes) with
// 1 and 2 worker threads, and the whole transfer call with 1 and 2 threads. Times are wall
// clock; the CPU time is the whole process's.
//
// Before the timings, a sample of target points is run through the exhaustive search and its
// weights compared bit for bit with the indexed run's (the run fails if they differ).
//
//   weight_transfer_bench [--no-check] [benchmark flags]
//   weight_transfer_bench --write-scenes DIR   writes DIR/tube10k.json, tube100k.json and
//       tube1M.json (objects Source and Target) for timing `pmxexport transfer-weights`
//   weight_transfer_bench --profile [SIZE]     one 1-thread transfer, for a profiler
#include <benchmark/benchmark.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "c4d.h"
#include "c4d_host.h"
#include "c4d_host_threads.h"
#include "scene_file.h"
#include "weighttransfer/weighttransfer.h"
#include "weighttransfer/wtinterpolation.h"
#include "weighttransfer/wtspatialindex.h"

namespace {

constexpr Int32 kJoints = 8;
constexpr Float kHeight = 180.0;

/// A bumpy closed tube standing on the ground: `around` x `along` points, quads between
/// them; `phase` turns the rings and `swell` widens it.
PolygonObject* MakeTube(Int32 around, Int32 along, Float phase, Float swell) {
  PolygonObject* op = PolygonObject::Alloc(around * along, around * (along - 1));
  Vector* p = op->GetPointW();
  for (Int32 k = 0; k < along; ++k) {
    const Float y = kHeight * k / (along - 1);
    for (Int32 i = 0; i < around; ++i) {
      const Float a = 2.0 * PI * (i + phase) / around;
      const Float r = (12.0 + 3.0 * std::sin(y * 0.07) + 1.5 * std::sin(3 * a + y * 0.05)) * swell;
      p[k * around + i] = Vector(r * std::cos(a), y, r * std::sin(a));
    }
  }
  CPolygon* v = op->GetPolygonW();
  for (Int32 k = 0; k + 1 < along; ++k) {
    for (Int32 i = 0; i < around; ++i) {
      const Int32 a = k * around + i, b = k * around + (i + 1) % around;
      v[k * around + i] = CPolygon(a, b, b + around, a + around);
    }
  }
  return op;
}

/// Joint weights by height: each point blends the two joints around it, plus a little of a
/// third (up to four influences as PMX allows).
void FillWeights(CAWeightTag* tag, const PolygonObject* op) {
  const Vector* p = op->GetPointR();
  for (Int32 n = 0; n < op->GetPointCount(); ++n) {
    const Float t = p[n].y / kHeight * (kJoints - 1);
    const Int32 j = std::min(kJoints - 2, static_cast<Int32>(t));
    const Float f = t - j;
    tag->SetWeight(j, n, (1.0 - f) * 0.9);
    tag->SetWeight(j + 1, n, f * 0.9);
    tag->SetWeight((j + 3) % kJoints, n, 0.1);
  }
}

struct Size {
  const char* name;
  Int32 sourceAround, sourceAlong, targetAround, targetAlong;
};
constexpr Size kSizes[] = {
    {"10k", 200, 50, 160, 63}, {"100k", 400, 250, 320, 313}, {"1M", 1250, 800, 1000, 1001}};

struct Scene {
  std::unique_ptr<BaseDocument> doc{BaseDocument::Alloc()};
  PolygonObject* source = nullptr;
  PolygonObject* target = nullptr;
  CAWeightTag* sourceTag = nullptr;
  CAWeightTag* targetTag = nullptr;
  SelectionTag* sample = nullptr;

  explicit Scene(const Size& size) {
    std::vector<BaseObject*> joints;
    for (Int32 j = 0; j < kJoints; ++j) {
      BaseObject* joint = BaseObject::Alloc(Ojoint);
      joint->SetName(String("Joint") + String::IntToString(j));
      joint->SetRelPos(Vector(0, kHeight * j / (kJoints - 1), 0));
      doc->InsertObjectLast(joint);
      joints.push_back(joint);
    }
    source = MakeTube(size.sourceAround, size.sourceAlong, 0.0, 1.0);
    source->SetName(String("Source"));
    target = MakeTube(size.targetAround, size.targetAlong, 0.37, 1.004);
    target->SetName(String("Target"));
    target->SetRelPos(Vector(0.01, 0.02, 0));
    doc->InsertObjectLast(source);
    doc->InsertObjectLast(target);
    sourceTag = CAWeightTag::Alloc();
    source->InsertTagLast(sourceTag);
    targetTag = CAWeightTag::Alloc();
    target->InsertTagLast(targetTag);
    for (BaseObject* j : joints) {
      sourceTag->AddJoint(j);
      targetTag->AddJoint(j);
    }
    sourceTag->ReservePoints(source->GetPointCount());
    targetTag->ReservePoints(target->GetPointCount());
    FillWeights(sourceTag, source);
    sample = SelectionTag::Alloc(Tpointselection);
    sample->SetName(String("Sample"));
    target->InsertTagLast(sample);
  }

  WeightTransferSettings Settings(Int32 search = WTSEARCH_INDEXED, Bool sampleOnly = false) const {
    WeightTransferSettings s;
    s.document = doc.get();
    s.sourceTagMode = WTTAG_LINK;
    s.sourceTag = sourceTag;
    s.targetTagMode = WTTAG_LINK;
    s.targetTag = targetTag;
    s.targetRange = sampleOnly ? WTRANGE_SELECTION_TAG : WTRANGE_ALL;
    s.targetSelection = sample;
    s.search = search;
    return s;
  }

  /// One whole run inside an undo step, with `threads` workers.
  void Run(const WeightTransferSettings& s, Int32 threads) {
    host::SetThreadCount(threads);
    doc->StartUndo();
    RunWeightTransfer(s);
    doc->EndUndo();
    host::SetThreadCount(-1);
  }

  /// Selects `count` target points spread evenly.
  void SetSample(Int32 count) {
    BaseSelect* s = sample->GetBaseSelect();
    s->DeselectAll();
    const Int32 n = target->GetPointCount();
    for (Int32 k = 0; k < count; ++k)
      s->Select(static_cast<Int32>(static_cast<Int64>(k) * n / count));
  }

  std::vector<UInt64> SampleBits() const {
    std::vector<UInt64> bits;
    const BaseSelect* s = sample->GetBaseSelect();
    for (Int32 p = 0; p < target->GetPointCount(); ++p) {
      if (!s->IsSelected(p)) continue;
      for (Int32 j = 0; j < kJoints; ++j)
        bits.push_back(std::bit_cast<UInt64>(targetTag->GetWeight(j, p)));
    }
    return bits;
  }
};

Scene& GetScene(int64_t size) {
  static std::map<int64_t, std::unique_ptr<Scene>> scenes;
  auto& s = scenes[size];
  if (!s) s = std::make_unique<Scene>(kSizes[size]);
  return *s;
}

/// A prepared context (inside an undo step that stays open for the context's life).
struct Prepared {
  WeightTransferContext ctx;
  explicit Prepared(Scene& scene) {
    scene.doc->StartUndo();
    PrepareWeightTransfer(scene.Settings(), &ctx);
    scene.doc->EndUndo();
  }
};

void SizeLabel(benchmark::State& state) {
  const Scene& scene = GetScene(state.range(0));
  state.SetLabel(std::string(kSizes[state.range(0)].name) + " -> " +
                 std::to_string(scene.target->GetPointCount()) + " points");
}

void BM_Prepare(benchmark::State& state) {
  Scene& scene = GetScene(state.range(0));
  for (auto _ : state) {
    WeightTransferContext ctx;
    scene.doc->StartUndo();
    benchmark::DoNotOptimize(PrepareWeightTransfer(scene.Settings(), &ctx));
    scene.doc->EndUndo();
  }
  SizeLabel(state);
}

void BM_IndexBuild(benchmark::State& state) {
  Scene& scene = GetScene(state.range(0));
  Prepared prepared(scene);
  for (auto _ : state) {
    auto index = WeightTransferIndex::Build(prepared.ctx);
    benchmark::DoNotOptimize(index.get());
  }
  SizeLabel(state);
}

/// The nearest-element query for every target point, in one thread, without weight writes.
void BM_Query(benchmark::State& state) {
  Scene& scene = GetScene(state.range(0));
  Prepared prepared(scene);
  const auto index = WeightTransferIndex::Build(prepared.ctx);
  const Matrix mg = scene.target->GetMg();
  const Vector* points = scene.target->GetPointR();
  const Int32 n = scene.target->GetPointCount();
  for (auto _ : state) {
    Int32 hint = -1;
    NearestSource src;
    for (Int32 p = 0; p < n; ++p) {
      index->FindNearest(mg * points[p], &src, &hint);
      benchmark::DoNotOptimize(src);
    }
  }
  state.SetItemsProcessed(state.iterations() * n);
  SizeLabel(state);
}

/// The threads' work on a prepared and indexed context: query and weight writes.
void BM_Execute(benchmark::State& state) {
  Scene& scene = GetScene(state.range(0));
  Prepared prepared(scene);
  prepared.ctx.index = WeightTransferIndex::Build(prepared.ctx);
  host::SetThreadCount(static_cast<Int32>(state.range(1)));
  for (auto _ : state) {
    prepared.ctx.nextTargetPoint = 0;
    ExecuteWeightTransfer(&prepared.ctx);
  }
  host::SetThreadCount(-1);
  state.SetItemsProcessed(state.iterations() * scene.target->GetPointCount());
  SizeLabel(state);
}

/// The whole transfer call, as the tool's button runs it.
void BM_Transfer(benchmark::State& state) {
  Scene& scene = GetScene(state.range(0));
  for (auto _ : state) scene.Run(scene.Settings(), static_cast<Int32>(state.range(1)));
  state.SetItemsProcessed(state.iterations() * scene.target->GetPointCount());
  SizeLabel(state);
}

void SizeArgs(benchmark::internal::Benchmark* b) {
  for (int64_t s = 0; s < 3; ++s) b->Arg(s);
}
void SizeThreadArgs(benchmark::internal::Benchmark* b) {
  for (int64_t s = 0; s < 3; ++s)
    for (int64_t t : {1, 2}) b->Args({s, t});
}

BENCHMARK(BM_Prepare)
    ->Apply(SizeArgs)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(BM_IndexBuild)
    ->Apply(SizeArgs)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(BM_Query)
    ->Apply(SizeArgs)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(BM_Execute)
    ->Apply(SizeThreadArgs)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(BM_Transfer)
    ->Apply(SizeThreadArgs)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

/// Runs a sample of target points through both searches; true when the weights agree.
bool CheckSample(int64_t size, Int32 sampleSize) {
  Scene& scene = GetScene(size);
  scene.Run(scene.Settings(WTSEARCH_INDEXED), 2);
  scene.SetSample(sampleSize);
  const std::vector<UInt64> indexed = scene.SampleBits();
  scene.Run(scene.Settings(WTSEARCH_EXHAUSTIVE, true), 2);
  const bool same = scene.SampleBits() == indexed;
  std::printf("%s: %d sampled target points, weights bit-identical to the exhaustive search: %s\n",
              kSizes[size].name, sampleSize, same ? "yes" : "NO");
  return same;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "--write-scenes") {
    for (int64_t s = 0; s < 3; ++s) {
      const std::string path = std::string(argv[2]) + "/tube" + kSizes[s].name + ".json";
      std::string error;
      if (!pmxapp::SaveSceneFile(GetScene(s).doc.get(), path, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
      }
      std::printf("wrote %s\n", path.c_str());
    }
    return 0;
  }
  if (argc > 1 && std::string(argv[1]) == "--profile") {
    const int64_t size = argc > 2 && std::string(argv[2]) == "1M" ? 2 : 1;
    Scene& scene = GetScene(size);
    for (int r = 0; r < 5; ++r) scene.Run(scene.Settings(), 1);
    return 0;
  }
  const bool check = !(argc > 1 && std::string(argv[1]) == "--no-check");
  if (!check) {
    --argc;
    ++argv;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (check && !(CheckSample(0, 200) & CheckSample(1, 40))) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
