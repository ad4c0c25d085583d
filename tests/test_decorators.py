"""corvane.core.decorators: a function joined with the fallback that answers when it fails."""

import functools
import inspect

import pytest

import corvane.core.decorators as decorators
from corvane.core.decorators import extended_func_decorator


def test_module_is_an_extension_with_the_described_namespace():
    assert decorators.__file__.endswith(".so")
    names = [n for n in vars(decorators) if not n.startswith("__")]
    assert names == ["functools", "Callable", "TypeVar", "ParamSpec", "P", "R", "extended_func_decorator"]
    assert decorators.functools is functools
    assert decorators.P.__name__ == "P" and decorators.R.__name__ == "R"
    f = extended_func_decorator
    assert str(inspect.signature(f)) == "(func: 'Callable[P, R]', func_ext) -> 'Callable[P, R]'"
    assert f.__annotations__ == {"func": "Callable[P, R]", "return": "Callable[P, R]"}


def recorder(result=None, exc=None):
    calls = []

    def fn(*args, **kwargs):
        calls.append((args, dict(kwargs)))
        if exc is not None:
            raise exc
        return result

    fn.calls = calls
    return fn


def test_building_the_wrapper_calls_nothing():
    func, ext = recorder(1), recorder(2)
    extended_func_decorator(func, ext)
    assert func.calls == [] and ext.calls == []


@pytest.mark.parametrize("result", [None, 0, "x"])
def test_success_returns_funcs_result_and_never_calls_fallback(result):
    func, ext = recorder(result), recorder("fallback")
    assert extended_func_decorator(func, ext)(1, k=2) is result
    assert func.calls == [((1,), {"k": 2})] and ext.calls == []


@pytest.mark.parametrize("exc", [ValueError("v"), KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
def test_every_exception_is_answered_by_the_fallback_with_the_same_arguments(exc):
    marker = object()
    func, ext = recorder(exc=exc), recorder("fallback")
    w = extended_func_decorator(func, ext)
    assert w(marker, 2, key=marker) == "fallback"
    assert func.calls == ext.calls == [((marker, 2), {"key": marker})]
    assert ext.calls[0][0][0] is marker and ext.calls[0][1]["key"] is marker


def test_both_failing_raises_the_fallbacks_exception_with_funcs_as_context():
    first, second = ValueError("first"), KeyError("second")
    seen = []

    def ext(*args):
        import sys

        seen.append(sys.exc_info()[1])
        raise second

    w = extended_func_decorator(recorder(exc=first), ext)
    with pytest.raises(KeyError) as info:
        w()
    assert info.value is second and info.value.__context__ is first
    assert seen == [first]  # func's exception is the one being handled while ext runs


def test_handled_exception_state_is_restored_afterwards():
    import sys

    w = extended_func_decorator(recorder(exc=ValueError()), recorder("ok"))
    try:
        raise RuntimeError("outer")
    except RuntimeError as outer:
        assert w() == "ok"
        assert sys.exc_info()[1] is outer
    assert sys.exc_info() == (None, None, None)


def test_metadata_is_funcs():
    def func(a, b=1):
        """func's doc"""
        raise ValueError

    def ext(a, b=1):
        """ext's doc"""
        return a + b

    w = extended_func_decorator(func, ext)
    assert w.__name__ == "func" and w.__doc__ == "func's doc"
    assert w.__wrapped__ is func and w.__qualname__ == func.__qualname__
    assert w.__module__ == __name__
    assert str(inspect.signature(w)) == "(a, b=1)"
    assert w(2, b=3) == 5


def test_each_call_gets_its_own_copy_of_the_keywords():
    def func(**kwargs):
        kwargs["added"] = True
        kwargs.pop("x")
        raise ValueError

    got = []
    shared = [1]
    w = extended_func_decorator(func, lambda **kw: got.append(kw))
    w(x=shared, y=2)
    assert got == [{"x": [1], "y": 2}] and got[0]["x"] is shared


def extended_func_decorator_twin(func, func_ext):
    pass


def test_wrong_calls_raise_pythons_type_error():
    for args, kwargs in [((), {}), ((1,), {}), ((1, 2, 3), {}), ((1, 2), {"other": 3}), ((1,), {"func": 2})]:
        with pytest.raises(TypeError) as expected:
            extended_func_decorator_twin(*args, **kwargs)
        with pytest.raises(TypeError) as got:
            extended_func_decorator(*args, **kwargs)
        assert str(got.value) == str(expected.value).replace("_twin", "")


def test_functools_is_looked_up_at_call_time(monkeypatch):
    class FakeFunctools:
        @staticmethod
        def wraps(func):
            return lambda inner: ("wrapped", func)

    monkeypatch.setattr(decorators, "functools", FakeFunctools)
    assert extended_func_decorator(len, len) == ("wrapped", len)
