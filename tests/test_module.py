"""Module attributes, the Container type object and its method table."""

import gc
import inspect
import os
import re
import subprocess
import sys
import textwrap
import weakref

import pytest

import _tarnik_core
from _tarnik_core import Container

Py_TPFLAGS_BASETYPE = 1 << 10
Py_TPFLAGS_HAVE_GC = 1 << 14

METHODS = {
    "register_provider": ("key", "callable", "singleton", "is_async", "dep_keys"),
    "resolve": ("key",),
    "resolve_many": ("keys",),
    "resolve_many_plan": ("keys",),
    "begin_override_layer": (),
    "set_override": ("key", "callable", "singleton", "is_async", "dep_keys"),
    "get_provider_info": ("key",),
    "get_cached": ("key",),
    "set_cached": ("key", "value"),
    "end_override_layer": (),
}


def run_python(code, *flags):
    """Run code in a fresh interpreter that finds the module under test."""
    env = dict(os.environ)
    moddir = os.path.dirname(os.path.abspath(_tarnik_core.__file__))
    env["PYTHONPATH"] = os.pathsep.join([moddir] + [p for p in [env.get("PYTHONPATH")] if p])
    return subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(code)],
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )


class TestModule:
    def test_public_attributes(self):
        assert _tarnik_core.__all__ == ["Container"]
        assert type(_tarnik_core.__all__) is list
        assert _tarnik_core.__doc__ == ""
        own = {name for name in vars(_tarnik_core) if not name.startswith("__")}
        assert own == {"Container"}
        assert _tarnik_core.Container is Container

    def test_import_is_warning_free(self):
        proc = run_python("import _tarnik_core; _tarnik_core.Container()", "-W", "error")
        assert proc.returncode == 0, proc.stderr
        assert proc.stderr == ""

    def test_second_initialisation_is_refused(self):
        proc = run_python(
            """
            import sys
            import _tarnik_core as first
            del sys.modules["_tarnik_core"]
            try:
                import _tarnik_core
            except ImportError as exc:
                print("ImportError", type(exc) is ImportError, str(exc))
            else:
                print("imported again")
            # The first module object is left as it was and still works.
            assert first.__all__ == ["Container"]
            c = first.Container()
            c.register_provider("k", lambda: 7, False, False, [])
            print("first", c.resolve("k"))
            """
        )
        assert proc.returncode == 0, proc.stderr
        lines = proc.stdout.splitlines()
        assert lines[0].startswith("ImportError True "), lines
        assert "once" in lines[0]
        assert lines[1] == "first 7"

    def test_initialisation_in_a_subinterpreter_is_refused(self):
        proc = run_python(
            """
            import _testcapi
            import _tarnik_core
            rc = _testcapi.run_in_subinterp("import _tarnik_core")
            print("rc", rc)
            """
        )
        if "No module named '_testcapi'" in proc.stderr:
            pytest.skip("_testcapi is not available")
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.strip() == "rc -1"
        assert "ImportError" in proc.stderr


class TestType:
    def test_names_and_docs(self):
        assert Container.__name__ == "Container"
        assert Container.__qualname__ == "Container"
        assert Container.__module__ == "_tarnik_core"
        assert Container.__doc__ == ""
        assert Container.__text_signature__ == "()"
        assert str(inspect.signature(Container)) == "()"

    def test_type_layout(self):
        assert Container.__bases__ == (object,)
        assert Container.__mro__ == (Container, object)
        assert Container.__itemsize__ == 0
        assert Container.__dictoffset__ == 0
        assert Container.__weakrefoffset__ == 0
        assert not Container.__flags__ & Py_TPFLAGS_BASETYPE
        assert Container.__flags__ & Py_TPFLAGS_HAVE_GC

    def test_class_dictionary_holds_only_the_table(self):
        # No slots beyond construction: comparison, hashing, repr, init come from object.
        assert set(vars(Container)) == set(METHODS) | {"__new__", "__doc__", "__module__"}

    def test_default_object_behaviour(self):
        c1, c2 = Container(), Container()
        assert c1 == c1 and c1 != c2
        assert hash(c1) == object.__hash__(c1)
        assert re.fullmatch(r"<_tarnik_core\.Container object at 0x[0-9a-f]+>", repr(c1))

    def test_not_subclassable(self):
        with pytest.raises(TypeError):
            type("Sub", (Container,), {})

    def test_no_weakref_no_attributes(self, c):
        with pytest.raises(TypeError):
            weakref.ref(c)
        with pytest.raises(AttributeError):
            c.extra = 1
        with pytest.raises(AttributeError):
            c.resolve = None
        with pytest.raises(AttributeError):
            c.__dict__


class TestConstructor:
    def test_fresh_and_independent(self):
        c1, c2 = Container(), Container()
        assert type(c1) is Container and c1 is not c2
        c1.register_provider("k", lambda: 1, False, False, [])
        with pytest.raises(KeyError):
            c2.resolve("k")
        fresh = Container.__new__(Container)
        with pytest.raises(KeyError):
            fresh.resolve("k")

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((1,), {}, "Container.__new__() takes 0 positional arguments but 1 was given"),
            ((1, 2), {}, "Container.__new__() takes 0 positional arguments but 2 were given"),
            ((1,), {"x": 1}, "Container.__new__() takes 0 positional arguments but 1 was given"),
            ((), {"x": 1}, "Container.__new__() got an unexpected keyword argument 'x'"),
            ((), {"b": 1, "a": 2}, "Container.__new__() got an unexpected keyword argument 'b'"),
        ],
    )
    def test_arguments_refused(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            Container(*args, **kwargs)
        assert type(info.value) is TypeError
        assert str(info.value) == message
        with pytest.raises(TypeError) as info:
            Container.__new__(Container, *args, **kwargs)
        assert str(info.value) == message


class TestMethodTable:
    @pytest.mark.parametrize("name, params", sorted(METHODS.items()))
    def test_signature_and_doc(self, name, params):
        method = getattr(Container, name)
        assert type(method).__name__ == "method_descriptor"
        assert method.__name__ == name
        assert method.__qualname__ == "Container." + name
        assert method.__text_signature__ == "(" + ", ".join(("$self",) + params) + ")"
        assert method.__doc__ is None
        sig = inspect.signature(method)
        assert tuple(sig.parameters) == ("self",) + params
        bound = inspect.signature(getattr(Container(), name))
        assert tuple(bound.parameters) == params
        kinds = {p.kind for p in bound.parameters.values()}
        assert kinds <= {inspect.Parameter.POSITIONAL_OR_KEYWORD}
        assert all(p.default is inspect.Parameter.empty for p in bound.parameters.values())

    @pytest.mark.parametrize("name", ["begin_override_layer", "end_override_layer"])
    def test_no_argument_methods_refuse_arguments(self, c, name):
        c.register_provider("k", lambda: "base", False, False, [])
        with pytest.raises(TypeError):
            getattr(c, name)(1)
        with pytest.raises(TypeError):
            getattr(c, name)(x=1)
        # A refused begin pushed no layer: the override is dropped.
        c.set_override("k", lambda: "override", False, False, [])
        assert c.resolve("k") == "base"
        assert getattr(c, name)() is None
