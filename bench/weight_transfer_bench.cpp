// Weight transfer speed: the spatial index against the exhaustive walk, 20k onto 20k and
// 100k onto 100k points. The exhaustive walk is timed on an evenly spread sample of target
// points and scaled up to all of them (the whole run would take an hour at 100k). The sample's
// weights are compared bit for bit with the indexed run's.
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "c4d.h"
#include "c4d_host.h"
#include "c4d_host_threads.h"
#include "weighttransfer/weighttransfer.h"

namespace {

constexpr Int32 kJoints = 8;
constexpr Float kHeight = 180.0;

/// A bumpy closed tube standing on the ground (a stand-in for a body part): `around` x
/// `along` points, quads between them; `phase` turns the rings and `swell` widens it, so
/// the target's points fall between the source's.
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

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Scene {
  std::unique_ptr<BaseDocument> doc{BaseDocument::Alloc()};
  PolygonObject* source = nullptr;
  PolygonObject* target = nullptr;
  CAWeightTag* sourceTag = nullptr;
  CAWeightTag* targetTag = nullptr;
  SelectionTag* sample = nullptr;
  std::unique_ptr<CAWeightTag> targetBefore;

  Scene(Int32 sAround, Int32 sAlong, Int32 tAround, Int32 tAlong) {
    std::vector<BaseObject*> joints;
    for (Int32 j = 0; j < kJoints; ++j) {
      BaseObject* joint = BaseObject::Alloc(Ojoint);
      joint->SetRelPos(Vector(0, kHeight * j / (kJoints - 1), 0));
      doc->InsertObjectLast(joint);
      joints.push_back(joint);
    }
    source = MakeTube(sAround, sAlong, 0.0, 1.0);
    target = MakeTube(tAround, tAlong, 0.37, 1.004);
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
    target->InsertTagLast(sample);
    targetBefore.reset(static_cast<CAWeightTag*>(targetTag->GetClone(COPYFLAGS_0)));
  }

  /// Selects `count` target points spread evenly (0: none).
  void SetSample(Int32 count) {
    BaseSelect* s = sample->GetBaseSelect();
    s->DeselectAll();
    const Int32 n = target->GetPointCount();
    for (Int32 k = 0; k < count; ++k)
      s->Select(static_cast<Int32>(static_cast<Int64>(k) * n / count));
  }

  /// CPU seconds of the last run (all threads of the process).
  double lastCpu = 0.0;

  /// One run: all target points, or the sample; answers seconds.
  double Run(Int32 search, bool sampleOnly) {
    targetBefore->CopyTo(targetTag, COPYFLAGS_0);
    WeightTransferSettings s;
    s.document = doc.get();
    s.sourceTagMode = WTTAG_LINK;
    s.sourceTag = sourceTag;
    s.targetTagMode = WTTAG_LINK;
    s.targetTag = targetTag;
    s.targetRange = sampleOnly ? WTRANGE_SELECTION_TAG : WTRANGE_ALL;
    s.targetSelection = sample;
    s.search = search;
    const double c0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    doc->StartUndo();
    RunWeightTransfer(s);
    doc->EndUndo();
    const auto t1 = std::chrono::steady_clock::now();
    lastCpu = CpuSeconds() - c0;
    return std::chrono::duration<double>(t1 - t0).count();
  }
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::vector<UInt64> SampleBits(const Scene& scene) {
  std::vector<UInt64> bits;
  const BaseSelect* s = scene.sample->GetBaseSelect();
  for (Int32 p = 0; p < scene.target->GetPointCount(); ++p) {
    if (!s->IsSelected(p)) continue;
    for (Int32 j = 0; j < kJoints; ++j)
      bits.push_back(std::bit_cast<UInt64>(scene.targetTag->GetWeight(j, p)));
  }
  return bits;
}

bool Measure(const char* label, Int32 sAround, Int32 sAlong, Int32 tAround, Int32 tAlong,
             Int32 sampleSize) {
  Scene scene(sAround, sAlong, tAround, tAlong);
  const Int32 n = scene.target->GetPointCount();
  const Int32 threads = GeGetCurrentThreadCount();

  std::vector<double> indexed, indexedCpu;
  for (int r = 0; r < 3; ++r) {
    indexed.push_back(scene.Run(WTSEARCH_INDEXED, false));
    indexedCpu.push_back(scene.lastCpu);
  }
  scene.SetSample(sampleSize);
  const std::vector<UInt64> indexedSample = SampleBits(scene);
  host::SetThreadCount(1);
  const double indexedOneThread = scene.Run(WTSEARCH_INDEXED, false);
  const double indexedOneThreadCpu = scene.lastCpu;
  host::SetThreadCount(-1);
  scene.SetSample(0);
  const double indexedPrep =
      Median({scene.Run(WTSEARCH_INDEXED, true), scene.Run(WTSEARCH_INDEXED, true),
              scene.Run(WTSEARCH_INDEXED, true)});
  const double exhaustivePrep =
      Median({scene.Run(WTSEARCH_EXHAUSTIVE, true), scene.Run(WTSEARCH_EXHAUSTIVE, true),
              scene.Run(WTSEARCH_EXHAUSTIVE, true)});

  scene.SetSample(sampleSize);
  const double sample = scene.Run(WTSEARCH_EXHAUSTIVE, true);
  const double sampleCpu = scene.lastCpu;
  const bool identical = SampleBits(scene) == indexedSample;
  const double perPoint = (sample - exhaustivePrep) / sampleSize;
  const double exhaustive = exhaustivePrep + perPoint * n;
  const double best = Median(indexed);

  std::printf("%s: %d source points, %d polygons -> %d target points, %d threads\n", label,
              scene.source->GetPointCount(), scene.source->GetPolygonCount(), n, threads);
  std::printf(
      "  indexed      %8.3f s  (median of 3, CPU %.3f s; 1 thread %.3f s, CPU %.3f s;"
      " preparation and index %.3f s)\n",
      best, Median(indexedCpu), indexedOneThread, indexedOneThreadCpu, indexedPrep);
  std::printf(
      "  exhaustive   %8.1f s  (estimated: %d sampled points took %.3f s, %.2f ms per point;"
      " preparation %.3f s)\n",
      exhaustive, sampleSize, sample - exhaustivePrep, perPoint * 1e3, exhaustivePrep);
  std::printf("  speed-up     %8.0fx  (CPU time: sample %.3f s, %.0fx)\n", exhaustive / best,
              sampleCpu, (sampleCpu / sampleSize * n) / Median(indexedCpu));
  std::printf("  sample weights bit-identical: %s\n", identical ? "yes" : "NO");
  return identical;
}

}  // namespace

int main(int argc, char** argv) {
  // "--profile": one indexed 100k run only, for a profiler.
  if (argc > 1 && std::string(argv[1]) == "--profile") {
    Scene scene(400, 250, 320, 313);
    std::printf("indexed 100k: %.3f s\n", scene.Run(WTSEARCH_INDEXED, false));
    return 0;
  }
  bool ok = Measure("20k", 200, 100, 160, 125, 200);
  ok = Measure("100k", 400, 250, 320, 313, 40) && ok;
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak memory %.0f MB\n", usage.ru_maxrss / 1024.0);
  return ok ? 0 : 1;
}
