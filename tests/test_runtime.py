"""The runtime's function type, binding, builders and conversions, through corvane._testing.rtdemo.

Each demo function has a Python twin below; wherever behaviour is observable the two must agree.
"""

import functools
import gc
import inspect
import io
import pickle
import types
import weakref
from contextlib import redirect_stdout

import numpy as np
import pytest

from corvane._testing import rtdemo as rt

DEFAULT_LIST = []


# Python twins of the demo functions (module level, so their qualnames match).
def add3(a, b, c=1):
    """Sum of three."""
    return a + b + c


def echo(a: "int", b: "list" = DEFAULT_LIST, *rest, key: "str", flag=False, **extra) -> "tuple":
    pass


def kwonly_only(*, x, y=2):
    pass


def many(a, b, c, d, e=None):
    pass


class Counter:
    def bump(self, by: "int" = 1) -> "int":
        pass


TWINS = [(rt.add3, add3), (rt.echo, echo), (rt.kwonly_only, kwonly_only), (rt.many, many)]


@pytest.mark.parametrize("ours, twin", TWINS, ids=lambda f: getattr(f, "__name__", ""))
def test_signature_and_metadata_match_a_def(ours, twin):
    assert str(inspect.signature(ours)) == str(inspect.signature(twin))
    assert ours.__name__ == twin.__name__ and ours.__qualname__ == twin.__qualname__
    assert ours.__module__ == "corvane._testing.rtdemo"
    assert ours.__annotations__ == twin.__annotations__
    assert ours.__kwdefaults__ == twin.__kwdefaults__
    assert (ours.__defaults__ is None) == (twin.__defaults__ is None)
    code, tcode = ours.__code__, twin.__code__
    assert isinstance(code, types.CodeType)
    assert (code.co_argcount, code.co_kwonlyargcount, code.co_varnames) == (
        tcode.co_argcount,
        tcode.co_kwonlyargcount,
        tcode.co_varnames,
    )
    assert code.co_flags & 0x0C == tcode.co_flags & 0x0C  # *args / **kwargs flags


def test_docstring_defaults_and_shared_list_default():
    assert rt.add3.__doc__ == "Sum of three."
    assert rt.many.__doc__ is None
    assert rt.add3.__defaults__ == (1,)
    # A list default is one object, created at load, shared by every call.
    assert rt.echo.__defaults__[0] is rt.DEFAULT_LIST
    assert rt.echo(1, key="k")[1] is rt.DEFAULT_LIST


def test_binding_follows_python_rules():
    assert rt.add3(1, 2) == 4
    assert rt.add3(1, 2, 3) == 6
    assert rt.add3(c=10, b=2, a=1) == 13
    assert rt.echo(1, 2, 3, 4, key="k", flag=True, z=5) == (1, 2, "k", True, (3, 4), {"z": 5})
    assert rt.echo(*[1], **{"key": "k"}) == (1, rt.DEFAULT_LIST, "k", False, (), {})
    assert rt.kwonly_only(x=1) == (1, 2)
    assert rt.many(1, 2, 3, d=4) == (1, 2, 3, 4, None)

    # Keyword names that are str subclasses are matched by equality.
    class Name(str):
        pass

    assert rt.add3(**{Name("a"): 1, Name("b"): 2}) == 4


def test_defaults_can_be_replaced_like_a_functions():
    f = rt.add3
    saved = f.__defaults__
    try:
        f.__defaults__ = (100,)
        assert f(1, 2) == 103
        f.__defaults__ = None
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'c'"):
            f(1, 2)
        with pytest.raises(TypeError, match="__defaults__ must be set to a tuple object"):
            f.__defaults__ = [1]
    finally:
        f.__defaults__ = saved


BAD_CALLS = [
    ("add3", (1, 2, 3, 4), {}),
    ("add3", (), {}),
    ("add3", (1,), {}),
    ("add3", (1, 2), {"x": 1}),
    ("add3", (1,), {"a": 1}),
    ("add3", (1, 2, 3), {"c": 3}),
    ("echo", (), {}),
    ("echo", (1,), {}),
    ("echo", (1,), {"key": 1, "a": 2}),
    ("kwonly_only", (1,), {}),
    ("kwonly_only", (1, 2), {"x": 1}),
    ("kwonly_only", (), {}),
    ("many", (), {}),
    ("many", (1,), {"d": 4}),
    ("many", (1, 2, 3, 4, 5, 6), {}),
    ("many", (1, 2, 3, 4, 5, 6), {"x": 1}),
]


@pytest.mark.parametrize("name, args, kwargs", BAD_CALLS)
def test_bad_calls_raise_pythons_own_type_error(name, args, kwargs):
    with pytest.raises(TypeError) as expected:
        globals()[name](*args, **kwargs)
    with pytest.raises(TypeError) as got:
        getattr(rt, name)(*args, **kwargs)
    assert str(got.value) == str(expected.value)


def test_non_string_keywords_are_refused():
    with pytest.raises(TypeError, match="keywords must be strings"):
        rt.add3(1, 2, **{1: 3})


def test_methods_bind_to_instances_like_python_functions():
    c = rt.Counter(5)
    assert type(rt.Counter) is type and rt.Counter.__module__ == "corvane._testing.rtdemo"
    assert rt.Counter.__qualname__ == "Counter" and rt.Counter.__doc__ == "Counts."
    assert rt.Counter.bump.__qualname__ == "Counter.bump"
    assert isinstance(c.bump, types.MethodType) and c.bump.__self__ is c
    assert rt.Counter.__dict__["bump"].__get__(None, rt.Counter) is rt.Counter.bump
    assert c.bump() == 6 and c.bump(by=4) == 10 and rt.Counter.bump(c, 2) == 12
    assert c.__dict__ == {"count": 12}
    assert str(inspect.signature(c.bump)) == str(inspect.signature(Counter().bump))
    for args in [(1, 2), ()]:
        with pytest.raises(TypeError) as expected:
            Counter().bump(*args) if args else Counter.bump()
        with pytest.raises(TypeError) as got:
            c.bump(*args) if args else rt.Counter.bump()
        assert str(got.value) == str(expected.value)


def test_function_attributes_are_writable_and_wraps_works_both_ways():
    @functools.wraps(rt.add3)
    def outer(*args, **kwargs):
        return rt.add3(*args, **kwargs)

    assert outer.__name__ == "add3" and outer.__doc__ == "Sum of three."
    assert outer.__wrapped__ is rt.add3 and outer(1, 2) == 4
    assert str(inspect.signature(outer)) == "(a, b, c=1)"

    # Our function as the wrapper: update_wrapper sets every attribute it copies.
    fn = rt.Counter.bump
    saved = {
        k: getattr(fn, k) for k in ("__name__", "__qualname__", "__doc__", "__module__", "__annotations__")
    }
    try:
        functools.update_wrapper(fn, add3)
        assert fn.__name__ == "add3" and fn.__wrapped__ is add3
        assert fn.__doc__ == "Sum of three." and fn.__module__ == __name__
        assert fn.__type_params__ == ()
        fn.custom = 42
        assert fn.__dict__["custom"] == 42
        with pytest.raises(TypeError, match="__name__ must be set to a string object"):
            fn.__name__ = 1
    finally:
        for k, v in saved.items():
            setattr(fn, k, v)
        fn.__dict__.clear()


def test_repr_pickle_and_weakref():
    assert repr(rt.add3).startswith("<function add3 at 0x")
    assert pickle.loads(pickle.dumps(rt.add3)) is rt.add3
    assert weakref.ref(rt.add3)() is rt.add3


def test_python_exceptions_pass_through_unchanged():
    raised = KeyError("the original")

    def boom(*args, **kwargs):
        raise raised

    with pytest.raises(KeyError) as info:
        rt.callback(boom, 1, x=2)
    assert info.value is raised
    frames = [tb.tb_frame.f_code.co_name for tb in _walk(info.value.__traceback__)]
    assert "boom" in frames
    assert rt.callback(lambda *a, **k: (a, k), 1, x=2) == ((1,), {"x": 2})


def _walk(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next


def test_cpp_exceptions_arrive_as_the_python_exception_they_name():
    with pytest.raises(ValueError, match="^boom$"):
        rt.fail("boom")


def test_deep_recursion_raises_recursion_error_not_a_crash():
    def again():
        return rt.callback(again)

    with pytest.raises(RecursionError):
        again()


def test_float_conversion_and_exact_type_check():
    assert rt.scale(3) == 6.0 and rt.scale(np.float32(1.5)) == 3.0 and rt.scale(True) == 2.0

    class Number:
        def __float__(self):
            return 2.5

    assert rt.scale(Number()) == 5.0
    with pytest.raises(TypeError, match="must be real number, not str"):
        rt.scale("1.0")

    assert rt.typed([1]) is None and rt.typed([], (1, 2)) is None

    class MyList(list):
        pass

    cases = [
        ((MyList(),), "items", "list", "MyList"),
        ((None,), "items", "list", "NoneType"),
        (([], [1]), "shape", "tuple", "list"),
        ((np.zeros(2),), "items", "list", "numpy.ndarray"),
    ]
    for args, name, expected, got in cases:
        with pytest.raises(TypeError) as info:
            rt.typed(*args)
        assert str(info.value) == (f"Argument '{name}' has incorrect type (expected {expected}, got {got})")


def test_print_goes_through_python_print():
    out = io.StringIO()
    with redirect_stdout(out):
        rt.say("hello")
        rt.say("x", end="!")
    assert out.getvalue() == "hello\nx!"


def test_module_names_are_looked_up_at_each_call(monkeypatch):
    assert rt.use_helper(-3) == 3
    monkeypatch.setattr(rt, "helper", lambda x: ("patched", x))
    assert rt.use_helper(-3) == ("patched", -3)
    monkeypatch.delattr(rt, "helper")
    monkeypatch.setattr("builtins.helper", lambda x: "from builtins", raising=False)
    assert rt.use_helper(1) == "from builtins"


def test_module_imports():
    import os

    assert rt.os is os and rt.join is os.path.join and rt.SEPARATOR == os.sep


def test_closure_cycles_are_collected():
    from corvane.core.decorators import extended_func_decorator

    class Holder:
        def method(self):
            return 1

    h = Holder()
    h.combined = extended_func_decorator(h.method, h.method)  # h -> wrapper -> bound method -> h
    probe = weakref.ref(h)
    del h
    gc.collect()
    assert probe() is None


def test_calls_use_vectorcall():
    # The type advertises vectorcall and the method-descriptor fast path.
    tp = type(rt.add3)
    assert tp.__flags__ & (1 << 11)  # Py_TPFLAGS_HAVE_VECTORCALL
    assert tp.__flags__ & (1 << 17)  # Py_TPFLAGS_METHOD_DESCRIPTOR
    with pytest.raises(TypeError):
        tp()  # not instantiable from Python


def _deep_wrapper_chain(depth):
    from corvane.core.decorators import extended_func_decorator

    def refuse(*args, **kwargs):
        raise LookupError("fallback")

    w = lambda: "bottom"  # noqa: E731
    for _ in range(depth):
        w = extended_func_decorator(w, refuse)
    return w


def test_chains_of_runtime_functions_stop_with_recursion_error():
    # Each wrapper calls the next directly from C++, never through the interpreter's own check.
    assert _deep_wrapper_chain(50)() == "bottom"
    deep = _deep_wrapper_chain(60_000)
    with pytest.raises(LookupError) as info:
        deep()
    # Each level's fallback failed while handling the failure below it; at the bottom of the
    # chain of contexts lies the RecursionError that stopped the descent.
    exc = info.value
    while exc.__context__ is not None:
        exc = exc.__context__
    assert isinstance(exc, RecursionError)


def test_recursion_guard_on_other_threads():
    import threading

    deep = _deep_wrapper_chain(60_000)
    seen = []

    def run():
        try:
            deep()
        except LookupError as exc:
            seen.append(exc)

    t = threading.Thread(target=run)
    t.start()
    t.join()
    assert len(seen) == 1
