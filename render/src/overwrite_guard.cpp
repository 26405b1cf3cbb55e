#include "render/overwrite_guard.h"

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <utility>

#include "sound_files/sound_file_writer.h"

namespace kelvane::render {

namespace {

using FileIdentity = std::pair<dev_t, ino_t>;

// Where an output lands, as one string for every spelling of it: the device
// and inode of an existing file, else the folder's full path and the name.
std::string LandingOf(const std::string& outputPath)
{
    const std::string landing = sound_files::WrittenPath(outputPath);
    struct stat present;
    if (::stat(landing.c_str(), &present) == 0) {
        return "file " + std::to_string(present.st_dev) + ":" + std::to_string(present.st_ino);
    }
    std::error_code failed;
    std::filesystem::path resolved = std::filesystem::weakly_canonical(landing, failed);
    if (failed) {
        resolved = std::filesystem::absolute(landing, failed).lexically_normal();
    }
    return "name " + resolved.string();
}

}  // namespace

std::string FindOverwrite(const std::vector<RenderJob>& jobs)
{
    std::map<FileIdentity, const RenderJob*> inputs;
    for (const RenderJob& job : jobs) {
        struct stat present;
        if (::stat(job.inputPath.c_str(), &present) == 0) {
            inputs.emplace(FileIdentity{present.st_dev, present.st_ino}, &job);
        }
    }
    std::map<std::string, const RenderJob*> landings;
    for (const RenderJob& job : jobs) {
        struct stat present;
        if (::stat(job.outputPath.c_str(), &present) == 0) {
            if (auto input = inputs.find({present.st_dev, present.st_ino}); input != inputs.end()) {
                return "cannot write " + job.outputPath + ": it is the input " + input->second->inputPath +
                       ", which would be lost";
            }
        }
        if (auto [other, added] = landings.emplace(LandingOf(job.outputPath), &job); !added) {
            return "cannot write " + job.outputPath + " for " + job.inputPath + ": it is the same file as " +
                   other->second->outputPath + ", the output for " + other->second->inputPath;
        }
    }
    return "";
}

}  // namespace kelvane::render
