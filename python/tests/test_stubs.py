"""The type stubs name what the module has, and every name carries a docstring."""

import ast
import os
import pathlib

import pytest

import camera_parameters as cp

STUBS = pathlib.Path(__file__).resolve().parents[1] / "camera_parameters.pyi"


def stub_names():
    """{top-level name: set of public member names} of the stub file."""
    tree = ast.parse(STUBS.read_text())
    names = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            names[node.name] = set()
        elif isinstance(node, ast.ClassDef):
            members = set()
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    members.add(item.name)
                elif isinstance(item, ast.AnnAssign):
                    members.add(item.target.id)
            names[node.name] = {m for m in members if not m.startswith("_")}
    return names


def module_names():
    names = {}
    for name in dir(cp):
        if name.startswith("_"):
            continue
        value = getattr(cp, name)
        if isinstance(value, type):
            names[name] = {m for m in vars(value) if not m.startswith("_")}
        elif callable(value):
            names[name] = set()
    return names


def test_the_stubs_and_the_module_have_the_same_names():
    assert stub_names() == module_names()


@pytest.mark.parametrize("name", sorted(module_names()))
def test_every_public_name_has_a_docstring(name):
    value = getattr(cp, name)
    assert value.__doc__ and value.__doc__.strip()
    if isinstance(value, type):
        for member in module_names()[name]:
            assert getattr(value, member).__doc__, f"{name}.{member}"


def test_the_stubs_sit_beside_the_module():
    module_dir = os.environ.get("CAMERA_PARAMETERS_MODULE_DIR")
    if not module_dir:
        pytest.skip("not run against a build tree")
    beside = pathlib.Path(module_dir) / "camera_parameters.pyi"
    assert beside.read_text() == STUBS.read_text()
