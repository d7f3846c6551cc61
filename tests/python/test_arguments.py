"""Argument parsing of get_gpu_node_id: what is accepted, and the exact errors
for everything else, raised before any file or NVML is touched."""

import sys

import pytest

import zorf_lib

TOO_MANY = "get_gpu_node_id() takes from 0 to 1 positional arguments but {} were given"
UNEXPECTED = "get_gpu_node_id() got an unexpected keyword argument '{}'"
MULTIPLE = "get_gpu_node_id() got multiple values for argument 'cache_file_path'"
CAST = "argument 'cache_file_path': '{}' object cannot be cast as 'str'"

# (argument list as Python source, exception type, message)
ARGUMENT_ERRORS = [
    ("PATH, PATH", "TypeError", TOO_MANY.format(2)),
    ("None, None, None", "TypeError", TOO_MANY.format(3)),
    ("PATH, PATH, path=PATH", "TypeError", TOO_MANY.format(2)),
    ("path=PATH", "TypeError", UNEXPECTED.format("path")),
    ("cache_file_path=PATH, path=PATH", "TypeError", UNEXPECTED.format("path")),
    ("PATH, path=1, cache_file_path=PATH", "TypeError", UNEXPECTED.format("path")),
    ("**{'CACHE_FILE_PATH': PATH}", "TypeError", UNEXPECTED.format("CACHE_FILE_PATH")),
    ("**{'caché': PATH}", "TypeError", UNEXPECTED.format("caché")),
    ("**{'cache_file_path\\x00': PATH}", "TypeError", UNEXPECTED.format("cache_file_path\x00")),
    ("**{'cache_file_path\\udc80': PATH}", "TypeError", UNEXPECTED.format("cache_file_path\ufffd\ufffd\ufffd")),
    ("PATH, cache_file_path=PATH", "TypeError", MULTIPLE),
    ("None, cache_file_path=None", "TypeError", MULTIPLE),
    ("PATH, cache_file_path=PATH, path=1", "TypeError", MULTIPLE),
    ("5", "TypeError", CAST.format("int")),
    ("PATH.encode()", "TypeError", CAST.format("bytes")),
    ("cache_file_path=pathlib.Path(PATH)", "TypeError", CAST.format("PosixPath")),
    ("[PATH]", "TypeError", CAST.format("list")),
    ("collections.UserString(PATH)", "TypeError", CAST.format("UserString")),
    ("type('Inner', (), {'__qualname__': 'Outer.Inner'})()", "TypeError", CAST.format("Outer.Inner")),
    ("PATH + '\\udc80'", "UnicodeEncodeError", None),
]


@pytest.mark.parametrize(("arguments", "raised", "message"), ARGUMENT_ERRORS)
def test_argument_error_touches_nothing(scenarios, arguments, raised, message):
    outcome = scenarios.call(arguments)
    error = outcome.data
    assert error["raised"] == raised and error["module"] == "builtins"
    if message is None:
        # The interpreter's own error for a lone surrogate, not remapped.
        position = len(str(scenarios.path))
        message = f"'utf-8' codec can't encode character '\\udc80' in position {position}: surrogates not allowed"
        assert "cache_file_path" not in error["message"]
    assert error["message"] == message
    if raised == "TypeError":
        assert error["args"] == [message]
        assert error["cause"] == "None"
        assert error["suppress_context"] == message.startswith("argument ")
    assert outcome.log is None, "NVML was loaded"
    assert not scenarios.path.exists()


class Unprintable(str):
    def __str__(self):
        raise ValueError("no text for this name")


class Renamed(str):
    def __str__(self):
        return "renamed"


@pytest.mark.parametrize(("name", "shown", "unraisable"), [
    (Renamed("x"), "renamed", None),
    (Unprintable("x"), "<unprintable Unprintable object>", ValueError),
])
def test_keyword_name_is_shown_through_str(monkeypatch, name, shown, unraisable):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: reported.append(type(info.exc_value)))
    with pytest.raises(TypeError) as caught:
        zorf_lib.get_gpu_node_id(**{name: "/nonexistent/zorf"})
    assert str(caught.value) == UNEXPECTED.format(shown)
    assert reported == ([unraisable] if unraisable else [])


class OtherText(str):
    def __str__(self):
        return "/nonexistent/elsewhere"


@pytest.mark.parametrize("form", ["position", "keyword", "str subclass", "str subclass keyword", "renamed key"])
def test_every_way_of_passing_the_path_reads_it(tmp_path, form):
    path = tmp_path / "cache"
    path.write_text("cached node id")
    text = str(path)
    args, kwargs = {
        "position": ((text,), {}),
        "keyword": ((), {"cache_file_path": text}),
        "str subclass": ((OtherText(text),), {}),
        "str subclass keyword": ((), {"cache_file_path": OtherText(text)}),
        "renamed key": ((), {Renamed("cache_file_path"): text}),
    }[form]
    result = zorf_lib.get_gpu_node_id(*args, **kwargs)
    assert type(result) is str
    assert result == "cached node id"


def test_none_and_no_argument_use_the_default_path(scenarios, default_cache):
    default_cache.write_text("known default content")
    outcome = scenarios.run("emit([call(), call(None), call(cache_file_path=None)])")
    assert [r.get("value") for r in outcome.data] == ["known default content"] * 3
    assert outcome.log is None
