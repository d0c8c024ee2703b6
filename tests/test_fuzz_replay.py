"""The fuzz targets' seeds replayed as ordinary tests: every target under fuzz/
is built with its replay main() (any C++ compiler, no libFuzzer) in a build
directory of this test run and run over its seeds in fuzz/seeds/<target>/, so
a change to the core that breaks one of a target's checks fails here."""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
TARGETS = ["json_reader", "text", "keywords", "number", "verdict"]


# Tools run without the sanitizer runtime a sanitized test run preloads.
ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def _compiler():
    for name in (os.environ.get("CXX"), "c++", "g++", "clang++"):
        if name and shutil.which(name):
            return shutil.which(name)
    return None


@pytest.fixture(scope="module")
def replay_dir(tmp_path_factory):
    if not (ROOT / "fuzz" / "CMakeLists.txt").is_file():
        pytest.skip("the fuzz targets are not in this copy of the tests")
    cmake = shutil.which("cmake")
    if cmake is None or _compiler() is None:
        pytest.skip("replaying the fuzz seeds needs cmake and a C++ compiler")
    build = tmp_path_factory.mktemp("fuzz-replay")
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    steps = [
        [cmake, "-S", ROOT, "-B", build, *generator, "-DQUORVANE_FUZZ_REPLAY=ON",
         f"-DCMAKE_CXX_COMPILER={_compiler()}", "-DCMAKE_CXX_FLAGS=-D_GLIBCXX_ASSERTIONS"],
        [cmake, "--build", build, "--parallel", "2"],
    ]  # fmt: skip
    for step in steps:
        done = subprocess.run(
            step, capture_output=True, text=True, check=False, timeout=600, env=ENV
        )
        assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]
    return build / "fuzz"


@pytest.mark.parametrize("target", TARGETS)
def test_seeds_replay_cleanly(replay_dir, target):
    seeds = ROOT / "fuzz" / "seeds" / target
    assert any(seeds.iterdir()), f"no seeds for {target}"
    done = subprocess.run(
        [replay_dir / f"fuzz_{target}", seeds], capture_output=True, text=True, check=False, env=ENV
    )
    assert done.returncode == 0, done.stderr[-4000:]
    assert f"{len(list(seeds.iterdir()))} inputs replayed" in done.stdout


def test_number_formatting_on_the_cpython_float_table(replay_dir):
    table = ROOT / "tests" / "data" / "cpython-float" / "repr-cases.tsv"
    done = subprocess.run(
        [replay_dir / "number_table_check", table],
        capture_output=True,
        text=True,
        check=False,
        env=ENV,
    )
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]
