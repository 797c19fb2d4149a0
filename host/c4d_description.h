// Parameter descriptions: what the attribute manager shows for a node, loaded from the
// module's description resources and extended at run time by plug-ins.
#pragma once

#include <map>
#include <optional>
#include <vector>

#include "c4d_baselist.h"

// Description container ids (the host's DESC_ values).
enum : Int32 {
  DESC_NAME = 1,
  DESC_SHORT_NAME = 2,
  DESC_VERSION = 3,
  DESC_CHILDREN = 4,
  DESC_MIN = 5,
  DESC_MAX = 6,
  DESC_MINEX = 7,
  DESC_MAXEX = 8,
  DESC_STEP = 9,
  DESC_ANIMATE = 10,
  DESC_ASKOBJECT = 11,
  DESC_UNIT = 12,
  DESC_PARENTGROUP = 13,
  DESC_CYCLE = 14,
  DESC_HIDE = 15,
  DESC_DEFAULT = 16,
  DESC_ACCEPT = 17,
  DESC_SEPARATORLINE = 18,
  DESC_REFUSE = 19,
  DESC_PARENTID = 20,
  DESC_CUSTOMGUI = 21,
  DESC_COLUMNS = 22,
  DESC_LAYOUTGROUP = 23,
  DESC_REMOVEABLE = 24,
  DESC_GUIOPEN = 25,
  DESC_EDITABLE = 26,
  DESC_MINSLIDER = 27,
  DESC_MAXSLIDER = 28,
  DESC_GROUPSCALEV = 29,
  DESC_SCALEH = 30,
  DESC_LAYOUTVERSION = 31,
  DESC_ALIGNLEFT = 32,
  DESC_FITH = 33,
  DESC_NEWLINE = 34,
  DESC_TITLEBAR = 35,
  DESC_CYCLEICONS = 36,
  DESC_CYCLESYMBOLS = 37,
  DESC_PARENT_COLLAPSE = 38,
  DESC_FORBID_INLINE_FOLDING = 39,
  DESC_FORBID_SCALING = 40,
  DESC_ANGULAR_XYZ = 41,
  DESC_INPORT = 42,
  DESC_OUTPORT = 43,
};
enum : Int32 {
  DESC_UNIT_FLOAT = 0x464c4f54,    // 'FLOT'
  DESC_UNIT_INT = 0x4c4f4e47,      // 'LONG'
  DESC_UNIT_PERCENT = 0x50435420,  // 'PCT '
  DESC_UNIT_DEGREE = 0x44454752,   // 'DEGR'
  DESC_UNIT_METER = 0x4d455452,    // 'METR'
};
enum : Int32 {
  DESC_ANIMATE_OFF = 0,
  DESC_ANIMATE_ON = 1,
  DESC_ANIMATE_MIX = 2,
};
constexpr Int32 CUSTOMGUI_REALSLIDER = 1000489;
constexpr Int32 CUSTOMGUI_CYCLE = 200000281;

/// One parameter of a description.
struct DescriptionEntry {
  DescID id;
  Int32 type = 0;          // DTYPE_ of the parameter
  BaseContainer settings;  // DESC_ values (name, min, max, default, ...)
  DescID group;            // parent group
};

class Description {
 public:
  static Description* Alloc() { return new Description; }
  static void Free(Description*& d) {
    delete d;
    d = nullptr;
  }

  /// Loads the description resource registered for the node type `id`.
  Bool LoadDescription(Int32 id);
  /// Loads the description resource of that name from the resources of the registered modules.
  Bool LoadDescription(const String& name);

  /// The host's default settings container for a parameter of `type`.
  static BaseContainer GetCustomDataTypeDefault(Int32 type);
  /// Adds or replaces a parameter under `groupid`.
  Bool SetParameter(const DescID& id, const BaseContainer& param, const DescID& groupid);
  /// The settings of parameter `id`, or null.
  const BaseContainer* GetParameterI(const DescID& id, AtomArray* ar = nullptr) const;
  const DescriptionEntry* Find(Int32 id) const;
  /// The single parameter the host is asking about (null: the whole description).
  const DescID* GetSingleDescID() const { return single_ ? &*single_ : nullptr; }
  void SetSingleDescID(const DescID& id) { single_ = id; }
  /// Whether `id` is part of the single parameter asked about.
  Bool CheckDescID(const DescID& id, AtomArray* ar = nullptr) const;

  const std::vector<DescriptionEntry>& Entries() const { return entries_; }
  const String& GetName() const { return name_; }
  /// Host internals: adds an entry while parsing a resource.
  void AddEntry(const DescriptionEntry& e);

 private:
  String name_;
  std::vector<DescriptionEntry> entries_;
  std::map<Int32, size_t> index_;
  std::optional<DescID> single_;
};
