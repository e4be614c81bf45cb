"""The type stubs name what the module has, and every name carries a docstring."""

import ast
import os
import pathlib

import pytest

import camera_parameters as cp

STUBS = pathlib.Path(__file__).resolve().parents[1] / "camera_parameters.pyi"


def public(names):
    return {name for name in names if not name.startswith("_")}


def stub_names():
    """{top-level name: set of public member names} of the stub file."""
    names = {}
    for node in ast.parse(STUBS.read_text()).body:
        if isinstance(node, ast.FunctionDef):
            names[node.name] = set()
        elif isinstance(node, ast.ClassDef):
            names[node.name] = public(
                item.name if isinstance(item, ast.FunctionDef) else item.target.id
                for item in node.body
                if isinstance(item, (ast.FunctionDef, ast.AnnAssign))
            )
    return names


def module_names():
    names = {}
    for name in public(dir(cp)):
        value = getattr(cp, name)
        if isinstance(value, type) or callable(value):
            names[name] = public(vars(value)) if isinstance(value, type) else set()
    return names


def test_the_stubs_and_the_module_have_the_same_names():
    assert stub_names() == module_names()


@pytest.mark.parametrize("name", sorted(module_names()))
def test_every_public_name_has_a_docstring(name):
    value = getattr(cp, name)
    assert value.__doc__ and value.__doc__.strip()
    for member in module_names()[name]:
        assert getattr(value, member).__doc__, f"{name}.{member}"


def test_the_stubs_sit_beside_the_module():
    module_dir = os.environ.get("CAMERA_PARAMETERS_MODULE_DIR")
    if not module_dir:
        pytest.skip("not run against a build tree")
    assert (pathlib.Path(module_dir) / "camera_parameters.pyi").read_text() == STUBS.read_text()
