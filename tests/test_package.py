"""What every module of the package owes its users: it imports by its dotted
name, says what it exports in __all__, documents each public function and
type for help() in words that name public things only, and ships a type stub
that declares the same public names with the same docstrings and parameters
that help() and inspect.signature() show."""

import ast
import importlib
import importlib.metadata
import inspect
import pathlib
import re
import runpy

import pytest

import quorvane._internal

# The one module list, which the build and CI read too; it ships in the
# package, so the suite reads the installed copy wherever it runs.
PACKAGE_DIR = pathlib.Path(quorvane._internal.__file__).parent
MODULES = [
    name
    for line in (PACKAGE_DIR / "modules.txt").read_text(encoding="utf-8").splitlines()
    if (name := line.split("#")[0].strip())
]


def test_module_list_names_every_stub():
    stubs = {p.stem for p in PACKAGE_DIR.glob("*.pyi")} - {"__init__"}
    assert len(MODULES) == len(set(MODULES))
    assert set(MODULES) == stubs


def public_names(mod):
    names = getattr(mod, "__all__", None)
    if names is None:
        names = [n for n in vars(mod) if not n.startswith("_")]
    return set(names)


def stub_names(path: pathlib.Path):
    tree = ast.parse(path.read_text(encoding="utf-8"))
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
    return {n for n in names if not n.startswith("_")}


@pytest.mark.parametrize("name", MODULES)
def test_module_documents_its_public_surface(name):
    mod = importlib.import_module(f"quorvane._internal.{name}")
    assert mod.__name__ == f"quorvane._internal.{name}"
    assert mod.__doc__ and mod.__doc__.strip()
    for attr in public_names(mod):
        obj = getattr(mod, attr)
        if callable(obj):
            assert obj.__doc__ and obj.__doc__.strip(), f"{name}.{attr} has no docstring"
        if isinstance(obj, type):
            for member, value in vars(obj).items():
                if not member.startswith("_") and callable(value):
                    assert getattr(obj, member).__doc__, f"{name}.{attr}.{member} has no docstring"


@pytest.mark.parametrize("name", MODULES)
def test_stub_declares_the_public_names(name):
    mod = importlib.import_module(f"quorvane._internal.{name}")
    stub = pathlib.Path(mod.__file__).with_name(f"{name}.pyi")
    assert stub.is_file(), f"missing stub {stub.name}"
    missing = public_names(mod) - stub_names(stub)
    assert not missing, f"{name}.pyi lacks {sorted(missing)}"


def test_package_is_typed():
    import quorvane

    assert (pathlib.Path(quorvane.__file__).parent / "py.typed").is_file()


def test_version_is_the_distribution_version():
    # The distribution that holds the imported package (an install's
    # dist-info, or the one a development build lays out beside it), not
    # whichever quorvane is installed elsewhere on the path.
    import quorvane

    here = pathlib.Path(quorvane.__file__).resolve()
    dists = [
        d
        for d in importlib.metadata.distributions(name="quorvane")
        if pathlib.Path(d.locate_file("quorvane/__init__.py")).resolve() == here
    ]
    assert dists, f"no distribution metadata beside {here.parent}"
    assert quorvane.__version__ == dists[0].version
    assert re.fullmatch(r"\d+\.\d+\.\d+((a|b|rc)\d+)?(\.dev\d+)?", quorvane.__version__)


def stub_exports(path: pathlib.Path):
    """The stub's public definitions, and its __all__ (None when it has none)."""
    declared = None
    for node in ast.parse(path.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.Assign) and any(
            isinstance(t, ast.Name) and t.id == "__all__" for t in node.targets
        ):
            declared = ast.literal_eval(node.value)
    return stub_names(path), declared


@pytest.mark.parametrize("name", MODULES)
def test_all_is_what_the_stub_exports(name):
    mod = importlib.import_module(f"quorvane._internal.{name}")
    defined, declared = stub_exports(PACKAGE_DIR / f"{name}.pyi")
    assert hasattr(mod, "__all__"), f"{name} has no __all__"
    assert sorted(mod.__all__) == sorted(defined), f"{name}.__all__ differs from its stub"
    assert declared is not None and sorted(declared) == sorted(
        defined
    ), f"{name}.pyi: __all__ differs from its public definitions"


def docstrings(mod):
    yield mod.__name__, mod.__doc__ or ""
    for attr in public_names(mod):
        obj = getattr(mod, attr)
        if callable(obj):
            yield attr, obj.__doc__ or ""
        if isinstance(obj, type):
            for member, value in vars(obj).items():
                doc = getattr(value, "__doc__", None)
                if isinstance(doc, str) and (not member.startswith("_") or member == "__init__"):
                    yield f"{attr}.{member}", doc


@pytest.mark.parametrize("name", MODULES)
def test_docstrings_point_at_public_names(name):
    # A private name in help() text sends users to something that may change
    # or vanish: the package path quorvane._internal is the one exception.
    mod = importlib.import_module(f"quorvane._internal.{name}")
    for where, doc in docstrings(mod):
        private = re.findall(r"(?<!\w)_[A-Za-z]\w*", doc.replace("quorvane._internal", ""))
        assert not private, f"{where} docstring names private {sorted(set(private))}"


@pytest.mark.parametrize("name", MODULES)
def test_module_docstring_names_its_constants(name):
    # A constant cannot carry a docstring of its own: help(module) shows only
    # its value, so the module docstring is where it is explained.
    mod = importlib.import_module(f"quorvane._internal.{name}")
    for attr in public_names(mod):
        obj = getattr(mod, attr)
        if not callable(obj):
            assert attr in mod.__doc__, f"{name}.__doc__ does not mention {attr}"


def test_typed_usage_runs():
    """typed_usage.py pins the stubs' types for mypy --strict; running it shows
    that every call it types as valid is one the modules accept, and every call
    it marks as refused raises."""
    runpy.run_path(str(pathlib.Path(__file__).with_name("typed_usage.py")), run_name="__main__")


def stub_tree(mod):
    path = pathlib.Path(mod.__file__).with_name(mod.__name__.rsplit(".", 1)[1] + ".pyi")
    return ast.parse(path.read_text(encoding="utf-8"))


def stub_params(node: ast.FunctionDef):
    a = node.args
    names = [p.arg for p in a.posonlyargs + a.args + a.kwonlyargs]
    if a.vararg:
        names.append(a.vararg.arg)
    if a.kwarg:
        names.append(a.kwarg.arg)
    return [n for n in names if n not in ("self", "cls")]


def runtime_params(obj):
    try:
        sig = inspect.signature(obj)
    except (TypeError, ValueError):
        return None
    return [n for n in sig.parameters if n not in ("self", "cls", "$module", "$self", "$type")]


def documented_pairs(mod):
    """(qualified name, runtime object, stub node) for every public function,
    class and public method the stub declares."""
    for node in stub_tree(mod).body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)) and not node.name.startswith(
            "_"
        ):
            yield node.name, getattr(mod, node.name), node
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            cls = getattr(mod, node.name)
            yield node.name, cls, node
            for item in node.body:
                if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)) and (
                    not item.name.startswith("_") or item.name == "__init__"
                ):
                    if item.name == "__init__" or any(
                        isinstance(d, ast.Name) and d.id == "property" for d in item.decorator_list
                    ):
                        continue
                    yield f"{node.name}.{item.name}", getattr(cls, item.name), item


@pytest.mark.parametrize("name", MODULES)
def test_stub_docstrings_and_parameters_match_help(name):
    mod = importlib.import_module(f"quorvane._internal.{name}")
    tree = stub_tree(mod)
    assert ast.get_docstring(tree) == inspect.cleandoc(mod.__doc__)
    for qualname, obj, node in documented_pairs(mod):
        stub_doc = ast.get_docstring(node)
        assert stub_doc == inspect.getdoc(obj), f"{name}.{qualname}: stub and help() differ"
        if isinstance(node, ast.ClassDef):
            # help(cls) and inspect.signature(cls) read the constructor's
            # parameters from the class's own text signature.
            ctor = next(
                item
                for item in node.body
                if isinstance(item, ast.FunctionDef) and item.name in ("__new__", "__init__")
            )
            node = ctor
        params = runtime_params(obj)
        assert params is not None, f"{name}.{qualname} has no text signature"
        assert stub_params(node) == params, f"{name}.{qualname}: parameters differ"
