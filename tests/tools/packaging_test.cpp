// The installed library as an outsider sees it: `cmake --install` into a
// temporary prefix, then a plain C program built against that copy alone,
// through the CMake package and through pkg-config, and run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

std::string Quote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

std::string ReadText(const fs::path& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Command {
    int exitCode = -1;
    std::string output;  // stdout and stderr together
};

Command RunCommand(const std::string& command, const fs::path& log)
{
    Command result;
    int status = std::system((command + " >" + Quote(log.string()) + " 2>&1").c_str());
    result.exitCode = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.output = ReadText(log);
    while (!result.output.empty() && result.output.back() == '\n') {
        result.output.pop_back();
    }
    return result;
}

class InstalledKelvane : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string pattern = (fs::temp_directory_path() / "kelvane-packaging-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
        prefix = root / "prefix";
        Command install =
            RunCommand(std::string(KELVANE_CMAKE_COMMAND) + " --install " + Quote(KELVANE_BUILD_DIR) +
                           " --prefix " + Quote(prefix.string()) + " --config " + KELVANE_INSTALL_CONFIG,
                       root / "install.log");
        installed = install.exitCode == 0;
        ASSERT_TRUE(installed) << install.output;
        // GNUInstallDirs may pick lib, lib64 or a multiarch folder.
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(prefix)) {
            if (entry.path().filename() == "kelvane.pc") {
                pkgConfigDir = entry.path().parent_path();
            }
        }
        ASSERT_FALSE(pkgConfigDir.empty()) << "no kelvane.pc installed";
        libDir = pkgConfigDir.parent_path();
    }
    static void TearDownTestSuite()
    {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    void SetUp() override
    {
        if (!installed) {
            GTEST_FAIL() << "the install failed";
        }
    }

    static Command PkgConfig(const std::string& arguments)
    {
        return RunCommand(
            "PKG_CONFIG_PATH=" + Quote(pkgConfigDir.string()) + " pkg-config " + arguments + " kelvane",
            root / "pkg-config.log");
    }

    static inline fs::path root;
    static inline fs::path prefix;
    static inline fs::path pkgConfigDir;
    static inline fs::path libDir;
    static inline bool installed = false;
};

TEST_F(InstalledKelvane, PutsLibrariesHeadersPackageFilesAndTheRendererUnderThePrefix)
{
    for (const fs::path& file :
         {prefix / "include/kelvane/engine.h", prefix / "include/kelvane/engine.hpp", libDir / "libkelvane.a",
          libDir / "libkelvane.so", libDir / "cmake/Kelvane/KelvaneConfig.cmake",
          libDir / "cmake/Kelvane/KelvaneConfigVersion.cmake", libDir / "cmake/Kelvane/KelvaneTargets.cmake",
          prefix / "bin/kelvane-render"}) {
        EXPECT_TRUE(fs::exists(file)) << file;
    }
    Command version =
        RunCommand(Quote((prefix / "bin/kelvane-render").string()) + " --version", root / "render.log");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output, "kelvane-render 5.6.1");
}

// Each program comes with its manual page, made from its own --help: every
// option the program lists is in the page. The desktop entry is valid and
// offers the window for the formats it opens.
TEST_F(InstalledKelvane, ProgramsHaveManualPagesInStepWithTheirHelpAndTheWindowADesktopEntry)
{
    for (const char* program : {"kelvane-render", "kelvane-play", "sevrane"}) {
        const fs::path binary = prefix / "bin" / program;
        const fs::path page = prefix / "share/man/man1" / (std::string(program) + ".1");
        ASSERT_TRUE(fs::exists(binary)) << binary;
        ASSERT_TRUE(fs::exists(page)) << page;
        std::string text = ReadText(page);
        // roff writes a hyphen as "\-".
        for (std::size_t at = 0; (at = text.find("\\-", at)) != std::string::npos;) {
            text.erase(at, 1);
        }
        const Command help = RunCommand(Quote(binary.string()) + " --help", root / "help.log");
        ASSERT_EQ(help.exitCode, 0) << program << ": " << help.output;
        std::size_t options = 0;
        // Option lines: "  -o, --output FOLDER   text"; every name on them.
        std::istringstream lines(help.output);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("  -", 0) != 0) {
                continue;
            }
            std::istringstream names(line.substr(2, line.find("  ", 2) - 2));
            for (std::string name; names >> name;) {
                if (name.size() > 2 && name[0] == '-') {
                    if (name.back() == ',') {
                        name.pop_back();
                    }
                    EXPECT_THAT(text, HasSubstr(name)) << program << "'s page lacks " << name;
                    ++options;
                }
            }
        }
        EXPECT_GE(options, 2u) << program;
    }

    const fs::path entry = prefix / "share/applications/sevrane.desktop";
    const Command validate = RunCommand("desktop-file-validate " + Quote(entry.string()), root / "desktop.log");
    EXPECT_EQ(validate.exitCode, 0) << validate.output;
    EXPECT_EQ(validate.output, "");
    const std::string desktop = ReadText(entry);
    for (const char* type : {"audio/x-wav", "audio/flac", "audio/mpeg", "audio/ogg", "audio/x-aiff"}) {
        EXPECT_THAT(desktop, HasSubstr(std::string(type) + ";")) << "MimeType lacks " << type;
    }
}

TEST_F(InstalledKelvane, CMakePackageBuildsAPlainCProgramThatRuns)
{
    const fs::path build = root / "cmake-consumer";
    const std::string flags = KELVANE_CONSUMER_FLAGS;
    Command configure =
        RunCommand(std::string(KELVANE_CMAKE_COMMAND) + " -S " + Quote(KELVANE_CONSUMER_SOURCE_DIR) + " -B " +
                       Quote(build.string()) + " -G " + Quote(KELVANE_CMAKE_GENERATOR) +
                       " -DCMAKE_PREFIX_PATH=" + Quote(prefix.string()) +
                       " -DCMAKE_C_COMPILER=" + Quote(KELVANE_C_COMPILER) +
                       " -DCMAKE_C_FLAGS=" + Quote(flags) + " -DCMAKE_EXE_LINKER_FLAGS=" + Quote(flags),
                   root / "configure.log");
    ASSERT_EQ(configure.exitCode, 0) << configure.output;
    Command compile = RunCommand(std::string(KELVANE_CMAKE_COMMAND) + " --build " + Quote(build.string()),
                                 root / "build.log");
    ASSERT_EQ(compile.exitCode, 0) << compile.output;

    for (const char* program : {"consumer", "consumer_static"}) {
        Command run = RunCommand(Quote((build / program).string()), root / "run.log");
        EXPECT_EQ(run.exitCode, 0) << program << ": " << run.output;
        EXPECT_THAT(run.output, HasSubstr("frames out")) << program;
    }
}

TEST_F(InstalledKelvane, PkgConfigBuildsAPlainCProgramThatRuns)
{
    Command version = PkgConfig("--modversion");
    ASSERT_EQ(version.exitCode, 0) << version.output;
    EXPECT_EQ(version.output, "5.6.1");
    // The file finds its prefix from where it lies, wherever that is.
    Command includeDir = PkgConfig("--variable=includedir");
    ASSERT_EQ(includeDir.exitCode, 0);
    EXPECT_EQ(fs::canonical(includeDir.output), fs::canonical(prefix / "include"));
    Command flags = PkgConfig("--cflags --libs");
    ASSERT_EQ(flags.exitCode, 0) << flags.output;

    int major = 0, minor = 0, patch = 0;
    ASSERT_EQ(std::sscanf(version.output.c_str(), "%d.%d.%d", &major, &minor, &patch), 3);
    char expected[64];
    std::snprintf(expected, sizeof expected, " -DKELVANE_EXPECTED_VERSION=0x%02x%02x%02x ", major, minor,
                  patch);

    const fs::path program = root / "pkg-config-consumer";
    Command compile = RunCommand(
        std::string(KELVANE_C_COMPILER) + " -std=c11 -Wall -Wextra " + KELVANE_CONSUMER_FLAGS + expected +
            Quote(std::string(KELVANE_CONSUMER_SOURCE_DIR) + "/consumer.c") + " " + flags.output +
            " -lm -Wl,-rpath," + Quote(libDir.string()) + " -o " + Quote(program.string()),
        root / "compile.log");
    ASSERT_EQ(compile.exitCode, 0) << compile.output;
    Command run = RunCommand(Quote(program.string()), root / "run.log");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_THAT(run.output, HasSubstr("frames out"));
}

}  // namespace
