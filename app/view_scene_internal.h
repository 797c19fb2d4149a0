// What the files of the scene page (view_scene.h) share: numbers and vectors as the page reads
// them, the answers of its API, and the gadgets a person sees in a dialog's window.
#pragma once

#include <cmath>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "c4d.h"
#include "c4d_host.h"
#include "view_server.h"

namespace pmxapp::viewscene {

using Json = nlohmann::json;

/// Numbers as the page needs them: a tenth of a thousandth is far below a pixel, and the
/// shorter text keeps large meshes quick to send.
inline double Short(double v) { return std::isfinite(v) ? std::round(v * 1e4) / 1e4 : 0.0; }

inline Json Vec(const Vector& v) { return Json::array({Short(v.x), Short(v.y), Short(v.z)}); }

/// An answer of the page's API with a JSON body.
ViewReply JsonReply(const std::string& body, int status = 200);
/// A refusal: `why` as the body's "error".
ViewReply Refuse(const std::string& why, int status = 400);

/// The gadgets a person sees in the window of `dialog`, in reading order, each with the
/// sub-dialog area it sits in (0: the window's own dialog).
std::vector<std::pair<const host::WindowGadget, Int32>> ShownGadgets(GeDialog* dialog);

}  // namespace pmxapp::viewscene
