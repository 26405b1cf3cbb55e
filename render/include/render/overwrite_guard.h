// The check made before anything is read or written: no output may be the
// same file as an input, or as another output, however the paths are spelt.
#pragma once

#include <string>
#include <vector>

#include "render/render_file.h"

namespace kelvane::render {

// Returns "" when every output of `jobs` is a file of its own, else the
// refusal naming both paths: an output that is an input (the same path,
// another spelling of it, a hard link or a symbolic link to it), or two
// outputs that would land in one file (through links, for instance).
// Existing files are told apart by device and inode; an output not yet made
// by its folder, links followed, and its name.
std::string FindOverwrite(const std::vector<RenderJob>& jobs);

}  // namespace kelvane::render
