// pmxexport restrict-weights and transfer-weights: the module's weight tools run on a scene,
// as a person would run them in the host, with the changed scene written back.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "ToolWeightTransfer.h"
#include "app_host.h"
#include "c4d_host.h"
#include "c4d_host_threads.h"
#include "c4d_host_tools.h"
#include "c4d_symbols.h"
#include "cli.h"
#include "commands.h"
#include "import_options.h"
#include "model_import.h"
#include "scene_file.h"

namespace pmxapp {

namespace {

const char* kRestrictDescription =
    "Runs the module's weight count restriction on INPUT (a scene file or a model file): every\n"
    "point of the chosen polygon objects that has more than four joint influences keeps its four\n"
    "strongest, rescaled to add up to 1, as PMX requires. Points with four or fewer are left as\n"
    "they are. The changed scene is written to OUTPUT.json.";

const char* kTransferDescription =
    "Runs the module's weight transfer tool on INPUT (a scene file or a model file): every\n"
    "chosen point of the target mesh receives the joint weights of the nearest place on the\n"
    "source mesh (a point, a point on an edge or inside a polygon), interpolated there. The\n"
    "changed scene is written to OUTPUT.json. Without --source / --target both sides use the\n"
    "scene's active tag (\"active\": true), i.e. one tag is both source and target.";

void CollectByName(BaseObject* op, const String& name, std::vector<BaseObject*>* out) {
  for (; op; op = op->GetNext()) {
    if (op->GetName() == name) out->push_back(op);
    CollectByName(op->GetDown(), name, out);
  }
}

void CollectPolygonObjects(BaseObject* op, std::vector<PolygonObject*>* out) {
  for (; op; op = op->GetNext()) {
    if (op->GetType() == Opolygon) out->push_back(static_cast<PolygonObject*>(op));
    CollectPolygonObjects(op->GetDown(), out);
  }
}

void DeselectAll(BaseObject* op) {
  for (; op; op = op->GetNext()) {
    op->DelBit(BIT_ACTIVE);
    DeselectAll(op->GetDown());
  }
}

/// The weights of a tag, to see afterwards which points a tool changed.
std::vector<std::vector<Float>> Snapshot(const CAWeightTag* tag, Int32 points) {
  std::vector<std::vector<Float>> w;
  if (!tag) return w;
  for (Int32 j = 0; j < tag->GetJointCount(); ++j) {
    std::vector<Float> column;
    for (Int32 p = 0; p < points; ++p) column.push_back(tag->GetWeight(j, p));
    w.push_back(std::move(column));
  }
  return w;
}

Int32 ChangedPoints(const std::vector<std::vector<Float>>& before, const CAWeightTag* tag,
                    Int32 points) {
  if (!tag) return 0;
  Int32 changed = 0;
  for (Int32 p = 0; p < points; ++p) {
    bool differs = static_cast<size_t>(tag->GetJointCount()) != before.size();
    for (Int32 j = 0; !differs && j < tag->GetJointCount(); ++j) {
      differs = before[static_cast<size_t>(j)][static_cast<size_t>(p)] != tag->GetWeight(j, p);
    }
    changed += differs;
  }
  return changed;
}

/// Loads INPUT as the document the host works on.
std::unique_ptr<BaseDocument> LoadDocument(const std::string& command, const std::string& input,
                                           const ImportOptions& options) {
  std::string error;
  if (!StartHost(&error)) {
    PrintError(command, error);
    return nullptr;
  }
  std::unique_ptr<BaseDocument> doc = LoadInputDocument(input, nullptr, &error, nullptr, options);
  if (!doc) {
    PrintError(command, error);
    return nullptr;
  }
  SetActiveDocument(doc.get());
  return doc;
}

/// Shows, on standard error, that a long run is still working: from one second on, a line
/// with the elapsed time (updated in place on a terminal).
class ProgressLine {
 public:
  explicit ProgressLine(std::string what) : what_(std::move(what)), start_(Clock::now()) {
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      // No thread to spare (memory, a process limit): the work runs without the line.
      std::fprintf(stderr, "%s (no progress shown: cannot start a thread)\n", what_.c_str());
    }
  }
  ~ProgressLine() { Stop(); }
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopped_) return;
      stopped_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (shown_ && tty_) std::fputs("\r\033[K", stderr);  // the result line takes its place
  }
  double Seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

 private:
  using Clock = std::chrono::steady_clock;
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (cv_.wait_for(lock, std::chrono::seconds(1), [this] { return stopped_; })) return;
    do {
      const int s = static_cast<int>(Seconds());
      if (tty_) {
        std::fprintf(stderr, "\r%s ... %d s", what_.c_str(), s);
      } else if (!shown_) {
        std::fprintf(stderr, "%s ...\n", what_.c_str());
      }
      std::fflush(stderr);
      shown_ = true;
    } while (!cv_.wait_for(lock, std::chrono::milliseconds(500), [this] { return stopped_; }));
  }
  std::string what_;
  Clock::time_point start_;
  bool tty_ = isatty(STDERR_FILENO) != 0;
  bool shown_ = false;
  bool stopped_ = false;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::thread thread_;
};

/// The polygon object called `name` and its first weight tag.
bool FindWeightTag(BaseDocument* doc, const std::string& option, const std::string& name,
                   BaseTag** tag, std::string* error) {
  std::vector<BaseObject*> found;
  CollectByName(doc->GetFirstObject(), String(name), &found);
  if (found.size() != 1) {
    *error = found.empty() ? option + ": the scene has no object \"" + name + "\""
                           : option + ": the scene has " + std::to_string(found.size()) +
                                 " objects named \"" + name + "\"; rename one";
    return false;
  }
  if (found[0]->GetType() != Opolygon) {
    *error = option + ": \"" + name + "\" is not a polygon object";
    return false;
  }
  *tag = found[0]->GetTag(Tweights);
  if (!*tag) {
    *error = option + ": \"" + name + "\" has no weight tag";
    return false;
  }
  return true;
}

/// The selection tag named `name` on `op` (point or polygon selection).
BaseTag* FindSelectionTag(BaseObject* op, const std::string& name) {
  for (BaseTag* t = op->GetFirstTag(); t; t = t->GetNext()) {
    const Int32 type = t->GetType();
    if ((type == Tpointselection || type == Tpolygonselection) && t->GetName() == String(name))
      return t;
  }
  return nullptr;
}

struct Choice {
  const char* name;
  Int32 value;
};

/// The value of the choice named `text`; false for a name not in `choices`.
bool Choose(const std::string& text, std::initializer_list<Choice> choices, Int32* value) {
  for (const Choice& c : choices) {
    if (text == c.name) {
      *value = c.value;
      return true;
    }
  }
  return false;
}

// Both sides number their parts alike.
const std::initializer_list<Choice> kParts = {{"all", WTTOOL_SOURCE_RANGE_ALL},
                                              {"selected", WTTOOL_SOURCE_RANGE_SELECTED},
                                              {"unselected", WTTOOL_SOURCE_RANGE_UNSELECTED}};

/// Why the tool's button is disabled, in the words of the command line.
std::string WhyDisabled(BaseDocument* doc, const BaseContainer& s, bool surface) {
  const auto side = [&](const char* name, Int32 modeId, Int32 tagId, Int32 rangeId,
                        Int32 selectionId, bool polygonsOnly) -> std::string {
    // Both sides number their modes and ranges alike.
    BaseTag* tag = s.GetInt32(modeId) == WTTOOL_SOURCE_TAG_MODE_ACTIVE
                       ? doc->GetActiveTag()
                       : static_cast<BaseTag*>(s.GetLink(tagId, doc, Tbase));
    const std::string option = std::string("--") + name;
    if (!tag) {
      return "no " + std::string(name) + ": give " + option +
             " OBJECT or mark a weight tag \"active\": true in the scene";
    }
    if (tag->GetType() != Tweights || !tag->GetObject() ||
        tag->GetObject()->GetType() != Opolygon) {
      return "the " + std::string(name) + " tag (the scene's active tag) is not a weight tag " +
             "of a polygon object";
    }
    if (s.GetInt32(rangeId) == WTTOOL_SOURCE_RANGE_SELECTION_TAG) {
      BaseList2D* sel = s.GetLink(selectionId, doc, Tbase);
      if (polygonsOnly && sel && sel->GetType() == Tpointselection) {
        return "--" + std::string(name) +
               "-selection names a point selection; interpolating over the surface needs a "
               "polygon selection (or use --points-only)";
      }
    }
    return std::string();
  };
  std::string why = side("source", WTTOOL_SOURCE_TAG_MODE, WTTOOL_SOURCE_TAG, WTTOOL_SOURCE_RANGE,
                         WTTOOL_SOURCE_SELECTION, surface);
  if (why.empty()) {
    why = side("target", WTTOOL_TARGET_TAG_MODE, WTTOOL_TARGET_TAG, WTTOOL_TARGET_RANGE,
               WTTOOL_TARGET_SELECTION, false);
  }
  return why.empty() ? "the tool refuses these settings" : why;
}

}  // namespace

int RunRestrictWeights(const std::vector<std::string>& args) {
  CommandLine cli("restrict-weights", "restrict-weights INPUT -o OUTPUT.json [--object NAME ...]",
                  kRestrictDescription);
  std::string input, output;
  std::vector<std::string> objects;
  cli.Positional("INPUT", "INPUT (a scene file or a model file)", &input);
  cli.Value("-o,--output", &output, "FILE",
            "the scene file to write (replaced only when complete)");
  cli.Values("--object", &objects, "NAME",
             "restrict every object of that name (repeatable); without\n"
             "it, the objects selected in the scene (\"selected\": true)\n"
             "and the objects under them");
  ImportOptionText importText;
  AddImportOptions(cli, &importText);
  if (auto code = cli.Parse(args)) return *code;
  if (output.empty()) return cli.UsageError("missing -o OUTPUT.json");
  for (const std::string& o : objects) {
    if (o.empty()) return cli.UsageError("--object needs an object name");
  }
  const std::string& command = cli.Command();
  std::string error;
  ImportOptions importOptions;
  if (!ReadImportOptions(importText, &importOptions, &error)) return cli.UsageError(error);

  std::unique_ptr<BaseDocument> doc = LoadDocument(command, input, importOptions);
  if (!doc) return kExitFailure;
  if (!objects.empty()) {
    DeselectAll(doc->GetFirstObject());
    for (const std::string& name : objects) {
      std::vector<BaseObject*> found;
      CollectByName(doc->GetFirstObject(), String(name), &found);
      if (found.empty()) {
        PrintError(command, input + " has no object \"" + name + "\"");
        return kExitFailure;
      }
      for (BaseObject* op : found) op->SetBit(BIT_ACTIVE);
    }
  }
  AtomArray selection;
  doc->GetActiveObjects(selection, GETACTIVEOBJECTFLAGS_CHILDREN);
  if (selection.GetCount() == 0) {
    PrintError(command,
               "no object is selected: give --object NAME or mark objects "
               "\"selected\": true in the scene");
    return kExitFailure;
  }

  std::vector<PolygonObject*> meshes;
  CollectPolygonObjects(doc->GetFirstObject(), &meshes);
  std::vector<std::vector<std::vector<Float>>> before;
  for (PolygonObject* op : meshes) {
    before.push_back(
        Snapshot(static_cast<CAWeightTag*>(op->GetTag(Tweights)), op->GetPointCount()));
  }
  // The host greys the menu entry unless exactly one object is active; the command itself
  // works on every selected object, which is what the command line asks for.
  const auto* plugin = host::FindPlugin(ID_WEIGHT_COUNT_RESTRICTION);
  if (!plugin || !plugin->command) {
    PrintError(command, "the module did not register the weight count restriction command");
    return kExitFailure;
  }
  plugin->command->Execute(doc.get());
  EventAdd();

  Int32 objectsChanged = 0, pointsChanged = 0;
  for (size_t i = 0; i < meshes.size(); ++i) {
    const Int32 n = ChangedPoints(before[i], static_cast<CAWeightTag*>(meshes[i]->GetTag(Tweights)),
                                  meshes[i]->GetPointCount());
    objectsChanged += n > 0;
    pointsChanged += n;
  }
  std::printf("restricted %d point%s of %d object%s to four influences\n", pointsChanged,
              pointsChanged == 1 ? "" : "s", objectsChanged, objectsChanged == 1 ? "" : "s");
  if (!SaveSceneFile(doc.get(), output, &error)) {
    PrintError(command, error);
    return kExitFailure;
  }
  return kExitOk;
}

int RunTransferWeights(const std::vector<std::string>& args) {
  CommandLine cli("transfer-weights", "transfer-weights INPUT -o OUTPUT.json [options]",
                  kTransferDescription);
  std::string input, output, source, target, sourcePart, targetPart, sourceSelection,
      targetSelection, writeMode, threadsText, search;
  bool noNormalize = false, addMissing = false, clearUnmatched = false, local = false,
       pointsOnly = false;
  cli.Positional("INPUT", "INPUT (a scene file or a model file)", &input);
  cli.Value("-o,--output", &output, "FILE",
            "the scene file to write (replaced only when complete)");
  const CLI::Option* sourceOption = cli.Value(
      "--source", &source, "OBJECT", "the source: the weight tag of the polygon object OBJECT");
  const CLI::Option* targetOption = cli.Value(
      "--target", &target, "OBJECT", "the target: the weight tag of the polygon object OBJECT");
  const CLI::Option* sourcePartOption =
      cli.Value("--source-part", &sourcePart, "PART",
                "all (default), selected or unselected: the source\n"
                "object's polygons (points with --points-only) that take\n"
                "part, by the object's selection (\"polygonSelection\")");
  const CLI::Option* sourceSelectionOption =
      cli.Value("--source-selection", &sourceSelection, "TAG",
                "instead, the polygons of the source object's selection\n"
                "tag named TAG (with --points-only also a point selection)");
  const CLI::Option* targetPartOption =
      cli.Value("--target-part", &targetPart, "PART",
                "all (default), selected or unselected target points\n"
                "(\"pointSelection\")");
  const CLI::Option* targetSelectionOption =
      cli.Value("--target-selection", &targetSelection, "TAG",
                "instead, the points of the target object's point or\n"
                "polygon selection tag named TAG");
  const CLI::Option* writeModeOption =
      cli.Value("--write-mode", &writeMode, "MODE",
                "replace (default), above-zero (replace only where the new\n"
                "weight is above 1e-10, so nothing drops to 0) or add");
  cli.Flag("--no-normalize", &noNormalize,
           "keep the written weights as they come (default: each\n"
           "processed point's weights are scaled to add up to 1)");
  cli.Flag("--add-missing-joints", &addMissing,
           "first add to the target tag the source's joints it lacks");
  cli.Flag("--clear-unmatched", &clearUnmatched,
           "set to 0 the target joints the source tag does not have");
  cli.Flag("--local", &local,
           "compare positions in each object's own coordinates\n"
           "(default: world coordinates)");
  cli.Flag("--points-only", &pointsOnly,
           "take the nearest source point's weights, without\n"
           "interpolating over edges and polygons");
  const CLI::Option* threadsOption =
      cli.Value("--threads", &threadsText, "N",
                "worker threads (default: one per processor); 0 does the\n"
                "work in a single thread");
  const CLI::Option* searchOption =
      cli.Value("--search", &search, "METHOD",
                "indexed (default) or exhaustive: the reference that tests\n"
                "every source element for every point (slow; both give the\n"
                "same weights bit for bit; the exhaustive search prints\n"
                "the sub-cell message for every polygon half it takes on\n"
                "its way, the indexed one only for the half that wins)");
  ImportOptionText importText;
  AddImportOptions(cli, &importText);
  if (auto code = cli.Parse(args)) return *code;
  const bool sourceGiven = sourceOption->count() > 0, targetGiven = targetOption->count() > 0;
  const bool sourceSelectionGiven = sourceSelectionOption->count() > 0,
             targetSelectionGiven = targetSelectionOption->count() > 0;
  if (output.empty()) return cli.UsageError("missing -o OUTPUT.json");
  if (sourceGiven && source.empty()) return cli.UsageError("--source needs an object name");
  if (targetGiven && target.empty()) return cli.UsageError("--target needs an object name");
  Int32 sourceRange = WTTOOL_SOURCE_RANGE_ALL, targetRange = WTTOOL_TARGET_RANGE_ALL;
  if (sourcePartOption->count() > 0 && sourceSelectionGiven)
    return cli.UsageError("give either --source-part or --source-selection");
  if (targetPartOption->count() > 0 && targetSelectionGiven)
    return cli.UsageError("give either --target-part or --target-selection");
  if (sourcePartOption->count() > 0 && !Choose(sourcePart, kParts, &sourceRange))
    return cli.UsageError("--source-part is all, selected or unselected, not '" + sourcePart + "'");
  if (targetPartOption->count() > 0 && !Choose(targetPart, kParts, &targetRange))
    return cli.UsageError("--target-part is all, selected or unselected, not '" + targetPart + "'");
  if (sourceSelectionGiven && sourceSelection.empty())
    return cli.UsageError("--source-selection needs a selection tag name");
  if (targetSelectionGiven && targetSelection.empty())
    return cli.UsageError("--target-selection needs a selection tag name");
  Int32 mode = WTTOOL_WRITE_MODE_REPLACE;
  if (writeModeOption->count() > 0 &&
      !Choose(writeMode,
              {{"replace", WTTOOL_WRITE_MODE_REPLACE},
               {"above-zero", WTTOOL_WRITE_MODE_REPLACE_ABOVE_THRESHOLD},
               {"add", WTTOOL_WRITE_MODE_ADD}},
              &mode))
    return cli.UsageError("--write-mode is replace, above-zero or add, not '" + writeMode + "'");
  Int32 threads = -1;
  if (threadsOption->count() > 0) {
    char* end = nullptr;
    const long n = std::strtol(threadsText.c_str(), &end, 10);
    if (threadsText.empty() || !end || *end != '\0' || n < 0 || n > 4096)
      return cli.UsageError("--threads needs a number from 0 to 4096, not '" + threadsText + "'");
    threads = static_cast<Int32>(n);
  }
  Int32 searchMode = WTTOOL_SEARCH_INDEXED;
  if (searchOption->count() > 0 &&
      !Choose(search,
              {{"indexed", WTTOOL_SEARCH_INDEXED}, {"exhaustive", WTTOOL_SEARCH_EXHAUSTIVE}},
              &searchMode))
    return cli.UsageError("--search is indexed or exhaustive, not '" + search + "'");
  const std::string& command = cli.Command();
  std::string error;
  ImportOptions importOptions;
  if (!ReadImportOptions(importText, &importOptions, &error)) return cli.UsageError(error);

  std::unique_ptr<BaseDocument> doc = LoadDocument(command, input, importOptions);
  if (!doc) return kExitFailure;
  BaseContainer* s = host::GetToolSettings(ID_WEIGHT_TRANSFER_TOOL, doc.get());
  if (!s) {
    PrintError(command, "the module did not register the weight transfer tool");
    return kExitFailure;
  }
  *s = BaseContainer();
  host::FindDescriptionTool(ID_WEIGHT_TRANSFER_TOOL)->InitDefaultSettings(doc.get(), *s);

  BaseTag* sourceTag = nullptr;
  BaseTag* targetTag = nullptr;
  if (sourceGiven && !FindWeightTag(doc.get(), "--source", source, &sourceTag, &error)) {
    PrintError(command, error);
    return kExitFailure;
  }
  if (targetGiven && !FindWeightTag(doc.get(), "--target", target, &targetTag, &error)) {
    PrintError(command, error);
    return kExitFailure;
  }
  s->SetInt32(WTTOOL_WRITE_MODE, mode);
  s->SetBool(WTTOOL_NORMALIZE, !noNormalize);
  s->SetBool(WTTOOL_ADD_MISSING_JOINTS, addMissing);
  s->SetBool(WTTOOL_CLEAR_UNMATCHED, clearUnmatched);
  s->SetBool(WTTOOL_LOCAL_COORDINATES, local);
  s->SetBool(WTTOOL_SURFACE, !pointsOnly);
  s->SetInt32(WTTOOL_SEARCH, searchMode);
  if (sourceTag) {
    s->SetInt32(WTTOOL_SOURCE_TAG_MODE, WTTOOL_SOURCE_TAG_MODE_LINK);
    s->SetLink(WTTOOL_SOURCE_TAG, sourceTag);
  }
  if (targetTag) {
    s->SetInt32(WTTOOL_TARGET_TAG_MODE, WTTOOL_TARGET_TAG_MODE_LINK);
    s->SetLink(WTTOOL_TARGET_TAG, targetTag);
  }
  // The side's object: the linked tag's, or the active tag's.
  const auto sideObject = [&](BaseTag* linked) -> BaseObject* {
    BaseTag* t = linked ? linked : doc->GetActiveTag();
    return t ? t->GetObject() : nullptr;
  };
  s->SetInt32(WTTOOL_SOURCE_RANGE, sourceRange);
  s->SetInt32(WTTOOL_TARGET_RANGE, targetRange);
  if (sourceSelectionGiven || targetSelectionGiven) {
    const struct {
      bool given;
      const std::string& name;
      BaseTag* linked;
      Int32 rangeId, selectionId;
      const char* option;
    } sides[] = {{sourceSelectionGiven, sourceSelection, sourceTag, WTTOOL_SOURCE_RANGE,
                  WTTOOL_SOURCE_SELECTION, "--source-selection"},
                 {targetSelectionGiven, targetSelection, targetTag, WTTOOL_TARGET_RANGE,
                  WTTOOL_TARGET_SELECTION, "--target-selection"}};
    for (const auto& side : sides) {
      if (!side.given) continue;
      BaseObject* op = sideObject(side.linked);
      BaseTag* sel = op ? FindSelectionTag(op, side.name) : nullptr;
      if (!sel) {
        PrintError(command,
                   std::string(side.option) + ": " +
                       (op ? "\"" + op->GetName().GetUtf8() +
                                 "\" has no point or polygon selection tag \"" + side.name + "\""
                           : std::string("there is no weight tag to take it from")));
        return kExitFailure;
      }
      s->SetInt32(side.rangeId, WTTOOL_SOURCE_RANGE_SELECTION_TAG);
      s->SetLink(side.selectionId, sel);
    }
  }

  if (!host::IsToolParameterEnabled(ID_WEIGHT_TRANSFER_TOOL, doc.get(), WTTOOL_RUN)) {
    PrintError(command, "cannot transfer: " + WhyDisabled(doc.get(), *s, !pointsOnly));
    return kExitFailure;
  }
  BaseTag* effectiveTarget = targetTag ? targetTag : doc->GetActiveTag();
  auto* targetObject = static_cast<PolygonObject*>(effectiveTarget->GetObject());
  const Int32 targetPoints = targetObject->GetPointCount();
  const auto weightsBefore = Snapshot(static_cast<CAWeightTag*>(effectiveTarget), targetPoints);

  host::SetThreadCount(threads);
  const Int32 threadCount = GeGetCurrentThreadCount();
  ProgressLine progress("transfer-weights: transferring weights to \"" +
                        targetObject->GetName().GetUtf8() + "\"");
  host::PressToolButton(ID_WEIGHT_TRANSFER_TOOL, doc.get(), WTTOOL_RUN);
  progress.Stop();
  const double seconds = progress.Seconds();
  host::SetThreadCount(-1);
  EventAdd();

  const Int32 changed =
      ChangedPoints(weightsBefore, static_cast<CAWeightTag*>(effectiveTarget), targetPoints);
  const std::string how =
      threadCount == 0 ? std::string("a single thread")
                       : std::to_string(threadCount) + (threadCount == 1 ? " thread" : " threads");
  std::printf(
      "changed the weights of %d of %d point%s of \"%s\" (%s search, %s) in %.2f s\n", changed,
      targetPoints, targetPoints == 1 ? "" : "s", targetObject->GetName().GetUtf8().c_str(),
      searchMode == WTTOOL_SEARCH_EXHAUSTIVE ? "exhaustive" : "indexed", how.c_str(), seconds);
  if (!SaveSceneFile(doc.get(), output, &error)) {
    PrintError(command, error);
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace pmxapp
