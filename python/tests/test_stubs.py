"""The type stubs generated from the built module name every public name of it, and every
public name carries a docstring (written once, in the bindings)."""

import ast
import inspect
import pathlib

import pytest

import camera_parameters as cp

STUBS = pathlib.Path(cp.__file__).resolve().with_name("camera_parameters.pyi")


def public(names):
    return {name for name in names if not name.startswith("_")}


def module_names():
    """{public function or class: its public member names} of the module."""
    values = {name: getattr(cp, name) for name in public(dir(cp))}
    return {name: public(vars(value)) if isinstance(value, type) else set()
            for name, value in values.items() if callable(value)}


def test_the_generated_stubs_name_every_public_name_of_the_module():
    stubs = {node.name: public(item.name if hasattr(item, "name") else item.target.id
                               for item in getattr(node, "body", [])
                               if isinstance(item, (ast.FunctionDef, ast.ClassDef, ast.AnnAssign)))
             for node in ast.parse(STUBS.read_text()).body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    for name, members in module_names().items():
        assert name in stubs and members <= stubs[name], (name, members - stubs.get(name, set()))


@pytest.mark.parametrize("name", sorted(module_names()))
def test_every_public_name_has_a_docstring(name):
    value = getattr(cp, name)
    assert inspect.getdoc(value)
    for member in module_names()[name]:
        assert inspect.getdoc(getattr(value, member)), f"{name}.{member}"
