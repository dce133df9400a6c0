"""The module and the class as Python sees them: names, signatures, slots and limits."""

import gc
import importlib
import importlib.util
import inspect
import os
import subprocess
import sys
import sysconfig
import weakref

import pytest

import murkplay
from murkplay import SelfPlayGame

METHODS = [
    ("castle_eligible", []),
    ("clone", []),
    ("current_player", []),
    ("legal_actions", []),
    ("legal_actions_uci", []),
    ("apply", [("action", inspect.Parameter.empty)]),
    ("is_terminal", []),
    ("terminal_value", [("player_is_white", inspect.Parameter.empty)]),
    ("encode", [("oracle", False)]),
    ("encode_flattened", [("oracle", False)]),
    ("action_index", [("action", inspect.Parameter.empty)]),
]
METHOD_NAMES = [name for name, _ in METHODS]
NOARGS_METHODS = [name for name, params in METHODS if not params]
PROPERTIES = ["turn", "board"]

# What every module object carries, whoever created it.
MODULE_BASICS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def run_fresh(code):
    """Run code in a new interpreter, so that nothing imported by the tests leaks in."""
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
    return completed.stdout.strip().splitlines()


class TestModule:
    def test_fresh_import_exports_one_class_and_loads_neither_dependency(self):
        lines = run_fresh(
            "import sys, murkplay\n"
            "print(repr(murkplay.__all__))\n"
            "print(type(murkplay.__all__).__name__)\n"
            "print('chess' in sys.modules, 'torch' in sys.modules)\n"
        )
        assert lines == ["['SelfPlayGame']", "list", "False False"]

    def test_attributes_are_the_basics_plus_the_class(self):
        assert set(vars(murkplay)) - MODULE_BASICS == {"SelfPlayGame", "__all__"}
        assert murkplay.SelfPlayGame is SelfPlayGame
        assert murkplay.__name__ == "murkplay"

    def test_module_has_a_docstring(self):
        assert isinstance(murkplay.__doc__, str) and murkplay.__doc__.strip()

    def test_second_import_serves_the_same_class(self, monkeypatch):
        # A new module object is executed again, but one class object serves the interpreter.
        monkeypatch.delitem(sys.modules, "murkplay")
        again = importlib.import_module("murkplay")
        assert again is not murkplay
        assert again.SelfPlayGame is SelfPlayGame
        assert again.__all__ == ["SelfPlayGame"]
        assert isinstance(again.SelfPlayGame(), SelfPlayGame)

    @pytest.mark.skipif(
        not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="the GIL declaration shows only on free-threaded builds"
    )
    def test_import_keeps_the_gil_disabled(self):
        assert run_fresh("import sys, murkplay\nprint(sys._is_gil_enabled())") == ["False"]


SUBINTERPRETER_MODULES = ("_interpreters", "_xxsubinterpreters")


def test_each_interpreter_gets_its_own_class():
    if not any(importlib.util.find_spec(name) for name in SUBINTERPRETER_MODULES):
        pytest.skip("no subinterpreter API before Python 3.12")
    # In a process of its own: once a subinterpreter has existed, PyGILState_Check answers yes
    # on every thread for the rest of the process, which later tests (torch's autograd) trip on.
    lines = run_fresh(
        "import importlib, os, murkplay\n"
        f"for name in {SUBINTERPRETER_MODULES!r}:\n"
        "    try:\n"
        "        api = importlib.import_module(name)\n"
        "        break\n"
        "    except ImportError:\n"
        "        pass\n"
        "read_end, write_end = os.pipe()\n"
        # An isolated interpreter with a GIL of its own: it imports only modules that declare
        # support for that.
        "interpreter = api.create()\n"
        "failure = api.run_string(interpreter,\n"
        "    'import os, murkplay\\n'\n"
        "    'game = murkplay.SelfPlayGame()\\n'\n"
        "    \"for text in ('e2e4', 'e7e5', 'd1h5', 'a7a6', 'h5f7', 'a6a5', 'f7e8'):\\n\"\n"
        "    '    game.apply(text)\\n'\n"
        "    'report = [id(murkplay.SelfPlayGame), id(type(game)), game.is_terminal(), game.terminal_value(True)]\\n'\n"
        "    f'os.write({write_end}, repr(report).encode())\\n')\n"
        "api.destroy(interpreter)\n"
        "os.close(write_end)\n"
        "class_id, game_class_id, terminal, value = eval(os.fdopen(read_end).read())\n"
        "print(failure)\n"
        "print(class_id == game_class_id != id(murkplay.SelfPlayGame), terminal, value)\n"
    )
    assert lines == ["None", "True True 1.0"]


class TestClassIdentity:
    def test_names(self):
        assert SelfPlayGame.__name__ == "SelfPlayGame"
        assert SelfPlayGame.__qualname__ == "SelfPlayGame"
        assert SelfPlayGame.__module__ == "builtins"

    def test_docstring_is_only_the_signature(self):
        assert SelfPlayGame.__text_signature__ == "(board=None)"
        assert not SelfPlayGame.__doc__

    def test_constructor_signature(self):
        signature = inspect.signature(SelfPlayGame)
        assert list(signature.parameters) == ["board"]
        parameter = signature.parameters["board"]
        assert parameter.default is None
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD

    def test_base_is_object_and_no_own_init(self):
        assert SelfPlayGame.__bases__ == (object,)
        assert SelfPlayGame.__init__ is object.__init__
        assert "__new__" in vars(SelfPlayGame)

    def test_plain_object_behaviour(self):
        # No representation, comparison or hashing of its own.
        game = SelfPlayGame()
        assert SelfPlayGame.__repr__ is object.__repr__
        assert SelfPlayGame.__eq__ is object.__eq__
        assert SelfPlayGame.__hash__ is object.__hash__
        # Equal contents do not make two games equal.
        assert game != game.clone()


class TestItems:
    def test_exactly_the_documented_items(self):
        public = [name for name in vars(SelfPlayGame) if not name.startswith("__")]
        assert sorted(public) == sorted(PROPERTIES + METHOD_NAMES)

    def test_item_order(self):
        # The interpreter places methods and properties into the class dict in separate
        # passes, so only the order within each kind is kept.
        names = list(vars(SelfPlayGame))
        assert [name for name in names if name in METHOD_NAMES] == METHOD_NAMES
        assert [name for name in names if name in PROPERTIES] == PROPERTIES

    @pytest.mark.parametrize("name", PROPERTIES)
    def test_properties_are_read_only_without_docs(self, name):
        descriptor = vars(SelfPlayGame)[name]
        assert inspect.isgetsetdescriptor(descriptor)
        assert not descriptor.__doc__

    @pytest.mark.parametrize(("name", "params"), METHODS, ids=METHOD_NAMES)
    def test_method_signature(self, name, params):
        method = getattr(SelfPlayGame, name)
        text = "($self" + "".join(
            f", {param}" if default is inspect.Parameter.empty else f", {param}={default!r}" for param, default in params
        ) + ")"
        assert method.__text_signature__ == text
        assert method.__doc__ is None  # nothing beyond the signature

        signature = inspect.signature(method)
        assert list(signature.parameters) == ["self"] + [param for param, _ in params]
        for param, default in params:
            parameter = signature.parameters[param]
            assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
            assert parameter.default is default or parameter.default == default

        bound = inspect.signature(getattr(SelfPlayGame(), name))
        assert list(bound.parameters) == [param for param, _ in params]

    def test_encode_oracle_defaults_to_false(self):
        parameter = inspect.signature(SelfPlayGame.encode).parameters["oracle"]
        assert parameter.default is False


class TestClassLimits:
    def test_cannot_be_subclassed(self):
        with pytest.raises(TypeError):

            class Derived(SelfPlayGame):
                pass

        with pytest.raises(TypeError):
            type("Derived", (SelfPlayGame,), {})

    def test_no_instance_dict(self):
        game = SelfPlayGame()
        with pytest.raises(AttributeError):
            game.note = 1
        with pytest.raises(AttributeError):
            game.__dict__
        assert not hasattr(game, "note")

    def test_no_weak_references(self):
        with pytest.raises(TypeError):
            weakref.ref(SelfPlayGame())

    def test_not_tracked_by_the_cycle_collector(self):
        game = SelfPlayGame()
        assert not gc.is_tracked(game)
        assert not gc.is_tracked(game.clone())


class TestReadOnlyProperties:
    FEN = "r3k2r/pppq1ppp/8/3pP3/8/8/PPP2PPP/R3K2R b KQkq - 0 1"

    @pytest.mark.parametrize("name", PROPERTIES)
    @pytest.mark.parametrize("value", [True, False, None, [[0] * 8] * 8])
    def test_assignment_refused(self, name, value, snapshot):
        game = SelfPlayGame(self.FEN)
        before = snapshot(game)
        with pytest.raises(AttributeError):
            setattr(game, name, value)
        assert snapshot(game) == before

    @pytest.mark.parametrize("name", PROPERTIES)
    def test_deletion_refused(self, name, snapshot):
        game = SelfPlayGame(self.FEN)
        before = snapshot(game)
        with pytest.raises(AttributeError):
            delattr(game, name)
        assert snapshot(game) == before

    def test_board_result_is_a_copy(self):
        # Changing the returned matrix must not reach the game.
        game = SelfPlayGame()
        matrix = game.board
        matrix[0][0] = 0
        matrix[7].clear()
        assert game.board[0][0] == -4
        assert len(game.board[7]) == 8


class TestNoArgumentMethods:
    @staticmethod
    def interpreter_message(call, name):
        """The message the interpreter gives a builtin no-argument method, renamed."""
        with pytest.raises(TypeError) as reference:
            call([].copy)
        return str(reference.value).replace("list.copy", f"SelfPlayGame.{name}")

    @pytest.mark.parametrize("name", NOARGS_METHODS)
    @pytest.mark.parametrize(
        "call",
        [lambda f: f(1), lambda f: f(None), lambda f: f(1, 2), lambda f: f(x=1)],
        ids=["one", "none", "two", "keyword"],
    )
    def test_any_argument_refused_by_the_interpreter(self, name, call):
        game = SelfPlayGame()
        expected = self.interpreter_message(call, name)
        with pytest.raises(TypeError) as refused:
            call(getattr(game, name))
        assert str(refused.value) == expected


class TestReceiver:
    @pytest.mark.parametrize("name", METHOD_NAMES)
    @pytest.mark.parametrize("receiver", [object(), None, "e2e4", 1], ids=["object", "None", "str", "int"])
    def test_methods_need_a_game(self, name, receiver):
        with pytest.raises(TypeError):
            getattr(SelfPlayGame, name)(receiver)

    @pytest.mark.parametrize("name", PROPERTIES)
    def test_properties_need_a_game(self, name):
        with pytest.raises(TypeError):
            vars(SelfPlayGame)[name].__get__(object(), object)


def find_internal_error_classes():
    found = []
    pending = [BaseException]
    while pending:
        cls = pending.pop()
        for sub in cls.__subclasses__():
            pending.append(sub)
            if sub.__module__.split(".")[0] == "murkplay":
                found.append(sub)
    return found


def test_internal_error_is_not_an_ordinary_exception():
    found = find_internal_error_classes()
    if not found:
        pytest.skip("the class for internal failures is not reachable")
    for cls in found:
        assert cls.__bases__ == (BaseException,)
        assert not issubclass(cls, Exception)
    assert not any(name for name in vars(murkplay) if any(vars(murkplay)[name] is cls for cls in found))
