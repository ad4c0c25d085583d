"""The `pelvaro` subcommand: its options and how main drives the database web application."""

import argparse

import pytest

from corvane import cli
from corvane.cli import pelvaro


class RecordingApp:
    """Stands in for ASEDBApp: records the constructor call and the server call."""

    made = []

    def __init__(self, *args, **kwargs):
        self.args, self.kwargs, self.calls = args, kwargs, []
        RecordingApp.made.append(self)

    def run(self, **kwargs):
        self.calls.append(("run", kwargs))
        return "ignored"

    def run_server(self, **kwargs):
        self.calls.append(("run_server", kwargs))
        return "ignored"


@pytest.fixture
def fake_app(monkeypatch):
    RecordingApp.made = []
    monkeypatch.setattr(pelvaro, "ASEDBApp", RecordingApp)  # looked up by main at each call
    return RecordingApp


def parse(*argv):
    return cli.build_parser({"pelvaro": pelvaro}).parse_args(["pelvaro", *argv])


def test_module_names_and_signatures():
    import inspect

    assert pelvaro.CombinedFormatter is cli.CombinedFormatter
    from corvane.data.db import ASEDBApp

    assert pelvaro.ASEDBApp is ASEDBApp
    assert list(inspect.signature(pelvaro.register_parser).parameters) == ["subparsers"]
    assert list(inspect.signature(pelvaro.main).parameters) == ["args"]


def test_defaults():
    args = parse("structures.db")
    assert vars(args) == {
        "command": "pelvaro",
        "db": "structures.db",
        "host": "0.0.0.0",
        "port": 80,
        "templates": None,
        "static": None,
        "name": "default",
        "title": "Corvane",
        "columns": None,
        "debug": False,
    }


def test_every_option():
    args = parse(
        "x.db",
        "--host",
        "127.0.0.1",
        "--port",
        "8080",
        "--templates",
        "t",
        "--static",
        "s",
        "--name",
        "bcn",
        "--title",
        "Hard",
        "--columns",
        "id",
        "energy",
        "--debug",
    )
    assert (args.host, args.port, args.templates, args.static) == ("127.0.0.1", 8080, "t", "s")
    assert (args.name, args.title, args.columns, args.debug) == ("bcn", "Hard", ["id", "energy"], True)
    assert parse("x.db", "--columns").columns == []


def test_parser_errors(capsys):
    with pytest.raises(SystemExit):
        parse()  # db is required
    with pytest.raises(SystemExit):
        parse("x.db", "--port", "eighty")
    assert "invalid int value" in capsys.readouterr().err


def test_add_parser_texts_and_formatter():
    seen = {}

    class Subparsers:
        def add_parser(self, name, **kwargs):
            seen["name"], seen["kwargs"] = name, kwargs
            options = {k: v for k, v in kwargs.items() if k != "help"}
            seen["parser"] = argparse.ArgumentParser(**options)
            return seen["parser"]

    assert pelvaro.register_parser(Subparsers()) is None
    assert seen["name"] == "pelvaro"
    assert seen["kwargs"] == {
        "help": "A web application with database integration.",
        "description": "A web application with database integration.",
        "formatter_class": cli.CombinedFormatter,
    }
    actions = [a for a in seen["parser"]._actions if a.dest != "help"]
    assert [a.dest for a in actions] == [
        "db",
        "host",
        "port",
        "templates",
        "static",
        "name",
        "title",
        "columns",
        "debug",
    ]
    assert actions[1].type is None and actions[2].type is int and actions[3].type is str
    assert actions[7].nargs == "*"


def test_main_runs_waitress_server(fake_app):
    assert pelvaro.main(parse("cands.db", "--port", "8000", "--columns")) is None
    (app,) = fake_app.made
    assert app.args == ("cands.db",)
    assert list(app.kwargs) == ["name", "templates", "static", "default_columns", "title"]
    assert app.kwargs == {
        "name": "default",
        "templates": None,
        "static": None,
        "default_columns": [],
        "title": "Corvane",
    }
    assert app.calls == [("run_server", {"host": "0.0.0.0", "port": 8000})]


def test_main_debug_uses_development_server(fake_app):
    pelvaro.main(parse("cands.db", "--debug", "--host", "127.0.0.1", "--title", "T"))
    (app,) = fake_app.made
    assert app.kwargs["title"] == "T" and app.kwargs["default_columns"] is None
    assert app.calls == [("run", {"host": "127.0.0.1", "port": 80, "debug": True})]


def test_main_reads_attributes_in_order(fake_app):
    order = []

    class Args(argparse.Namespace):
        def __getattribute__(self, name):
            if not name.startswith("_"):
                order.append(name)
            return super().__getattribute__(name)

    args = Args(**vars(parse("cands.db")))
    pelvaro.main(args)
    assert order[:6] == ["db", "name", "templates", "static", "columns", "title"]
    assert set(order[6:]) == {"debug", "host", "port"}


def test_main_propagates_errors(monkeypatch, tmp_path):
    with pytest.raises(FileNotFoundError):  # the real application, a missing file
        pelvaro.main(parse(str(tmp_path / "missing.db")))
    assert not (tmp_path / "missing.db").exists()

    class Failing(RecordingApp):
        def run_server(self, **kwargs):
            raise OSError("port taken")

    monkeypatch.setattr(pelvaro, "ASEDBApp", Failing)
    with pytest.raises(OSError, match="port taken"):
        pelvaro.main(parse("cands.db"))
