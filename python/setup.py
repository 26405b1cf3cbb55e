# Builds kelvane._kelvane from the engine's own sources and the renderer's
# loop, with the flags the CMake build gives the engine, so that the module
# runs as fast as the C++ programs. Offline, with Debian's setuptools and
# pybind11: pip install --no-build-isolation ./python
import os
import re
from pathlib import Path

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup
from setuptools.command.build_clib import build_clib

here = Path(__file__).resolve().parent
root = here.parent
engine = root / "engine"
render = root / "render"


# Sources compile on every core (KELVANE_BUILD_JOBS=N to choose).
ParallelCompile("KELVANE_BUILD_JOBS").install()


def relative(paths):
    # setuptools takes sources only as paths relative to this folder.
    return sorted(os.path.relpath(path, here) for path in paths)


# Objects of sources outside this folder land beside the temporary folder
# ("temp/../engine/src/..."), which must therefore exist first.
class BuildEngine(build_clib):
    def build_libraries(self, libraries):
        self.mkpath(self.build_temp)
        super().build_libraries(libraries)


class BuildModule(build_ext):
    def build_extensions(self):
        self.mkpath(self.build_temp)
        super().build_extensions()


def project_version():
    text = (root / "CMakeLists.txt").read_text()
    return re.search(r"project\(Kelvane VERSION ([0-9.]+)", text).group(1)


# Those of engine/CMakeLists.txt and a Release build: optimised, no
# exceptions or RTTI behind the real-time calls, hidden symbols. x86-64
# always has SSE2, which the vector loops use; Python's own -fwrapv and
# stack protector are turned off again, as the CMake build has neither.
optimised = ["-std=c++20", "-O3", "-DNDEBUG", "-fno-wrapv", "-fno-stack-protector", "-Wall", "-Wextra"]
engine_flags = optimised + ["-fno-exceptions", "-fno-rtti", "-fvisibility=hidden",
                            "-fvisibility-inlines-hidden", "-DKELVANE_BUILDING"]

engine_library = (
    "kelvane_engine",
    {
        "sources": relative((engine / "src").glob("*.cpp")),
        "include_dirs": [str(engine / "include"), str(engine / "src")],
        "cflags": engine_flags,
    },
)

extension = Pybind11Extension(
    "kelvane._kelvane",
    sources=relative([*(here / "src").glob("*.cpp"), render / "src" / "render_loop.cpp"]),
    include_dirs=[str(engine / "include"), str(render / "include"), str(here / "src")],
    extra_compile_args=optimised,
    cxx_std=20,
)

setup(
    version=project_version(),
    libraries=[engine_library],
    ext_modules=[extension],
    cmdclass={"build_clib": BuildEngine, "build_ext": BuildModule},
)
