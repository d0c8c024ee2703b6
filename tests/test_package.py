"""What every module of the package owes its users: it imports by its dotted
name, documents each public function and type for help(), and ships a type
stub that declares the same public names with the same docstrings and
parameters that help() and inspect.signature() show."""

import ast
import importlib
import importlib.metadata
import inspect
import pathlib
import runpy

import pytest

MODULES = [
    "brevick",
    "consolidation",
    "evolution",
    "mirrandel",
    "journal",
    "calvendry",
    "ostrel",
    "trellan",
]


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
    import quorvane

    assert quorvane.__version__ == importlib.metadata.version("quorvane")


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
