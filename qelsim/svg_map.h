// The dry-run map behind `qelsim --map`: the ports' range circles, the track
// coloured by the light bit and the points where it switched, as one plain SVG file.
#pragma once

#include <string>

#include "qelsim/dry_run.h"

namespace qel::sim {

// The whole SVG document: self-contained, no script, no reference outside itself.
std::string RenderSvgMap(const DryRun& run);

// Renders and writes the map; false with `error` set when the file cannot be written.
bool WriteSvgMap(const std::string& path, const DryRun& run, std::string* error);

}  // namespace qel::sim
