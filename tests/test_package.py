"""What every module of the package owes its users: it imports by its dotted
name, documents each public function and type for help(), and ships a type
stub that declares the same public names."""

import ast
import importlib
import pathlib

import pytest

MODULES = ["brevick", "consolidation", "evolution", "mirrandel"]


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
