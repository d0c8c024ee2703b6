# Shared by the scripts under .ci/ (sourced, never run): run from the
# project root.

# The compiled modules, one name a line, from the one list CMake builds.
qv_modules() {
  sed -e 's/#.*//' -e '/^[[:space:]]*$/d' src/quorvane/_internal/modules.txt
}

# qv_build_requires VENV: installs pyproject.toml's build requirements (and
# CMake and Ninja when the machine has none) into VENV, so that VENV can
# build the package with --no-build-isolation. A separate build (the
# sanitizer's, Clang's) keeps its own venv and build tree this way, and
# scikit-build-core reuses that tree: from a new isolated environment on
# every run it would clear it and rebuild everything.
qv_build_requires() {
  local venv=$1
  "$venv/bin/python" - >"$venv/build-requires.txt" <<'PY'
try:
    import tomllib
except ImportError:  # 3.10: the one list we need, read plainly
    import re

    text = open("pyproject.toml", encoding="utf-8").read()
    block = re.search(r"^requires\s*=\s*\[(.*?)\]", text, re.M | re.S).group(1)
    print("\n".join(re.findall(r'"([^"]+)"', block)))
else:
    print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))
PY
  command -v cmake >/dev/null || echo cmake >>"$venv/build-requires.txt"
  command -v ninja >/dev/null || echo ninja >>"$venv/build-requires.txt"
  "$venv/bin/pip" install -q -r "$venv/build-requires.txt"
}
