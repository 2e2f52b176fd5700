"""The module object of ``_velmora_funnel``: attributes, signatures, start-up and the shared object."""

import inspect
import json
import shutil
import subprocess
import sys
import textwrap

import pytest

import _velmora_funnel as vf

ALL = [
    "compare",
    "default_options",
    "status_message_py",
    "version",
    "STATUS_PASS",
    "STATUS_FAIL",
    "STATUS_MISSING_REFERENCE",
    "STATUS_MISSING_TEST",
    "STATUS_NON_MONOTONIC",
    "STATUS_LENGTH_MISMATCH",
    "STATUS_EMPTY_RANGE",
    "STATUS_BUFFER_TOO_SMALL",
    "STATUS_INSUFFICIENT_DATA",
]
CONSTANTS = {
    "STATUS_PASS": 0,
    "STATUS_FAIL": -1,
    "STATUS_MISSING_REFERENCE": 1,
    "STATUS_MISSING_TEST": 2,
    "STATUS_NON_MONOTONIC": 10,
    "STATUS_LENGTH_MISMATCH": 11,
    "STATUS_EMPTY_RANGE": 12,
    "STATUS_BUFFER_TOO_SMALL": 13,
    "STATUS_INSUFFICIENT_DATA": 14,
}
SIGNATURES = {
    "compare": "(t_reference, y_reference, t_test, y_test, options=None)",
    "default_options": "()",
    "status_message_py": "(code)",
    "version": "()",
}


def run_python(script):
    """Runs script in a fresh interpreter; returns its stdout parsed as JSON."""
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=120
    )
    assert completed.returncode == 0, completed.stderr
    assert completed.stderr == ""
    return json.loads(completed.stdout)


# --- attributes --------------------------------------------------------------


def test_all_lists_the_thirteen_names_in_order():
    """__all__ holds the four functions, then the nine constants, in the order they were added."""
    assert vf.__all__ == ALL
    assert type(vf.__all__) is list


def test_attributes_were_added_in_order():
    """The module's own attributes appear in its namespace in the order of __all__."""
    assert [name for name in vars(vf) if not name.startswith("__")] == ALL


def test_module_docstring_is_empty():
    """The module's __doc__ is the empty string."""
    assert vf.__doc__ == ""
    assert vf.__name__ == "_velmora_funnel"


@pytest.mark.parametrize(("name", "value"), CONSTANTS.items())
def test_status_constants(name, value):
    """The status constants are plain ints with the status values."""
    constant = getattr(vf, name)
    assert type(constant) is int
    assert constant == value


@pytest.mark.parametrize(("name", "signature"), SIGNATURES.items())
def test_functions_are_bound_to_the_module(name, signature):
    """Each function is a builtin bound to the module, with a text signature and no other doc."""
    function = getattr(vf, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__self__ is vf
    assert function.__module__ == "_velmora_funnel"
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    assert str(inspect.signature(function)) == signature


# --- start-up ----------------------------------------------------------------


def test_numpy_not_needed_by_import_and_auxiliary_functions():
    """Importing, the auxiliary functions and compare's binding errors never import NumPy."""
    result = run_python(
        """
        import json, sys
        import _velmora_funnel as vf
        seen = ["numpy" in sys.modules]
        vf.version(); vf.default_options(); vf.status_message_py(0)
        for bad in (lambda: vf.status_message_py(99), lambda: vf.status_message_py(1.5)):
            try:
                bad()
            except (ValueError, TypeError):
                pass
        seen.append("numpy" in sys.modules)
        for bad in (lambda: vf.compare(), lambda: vf.compare(1, 2, 3, 4, 5, 6), lambda: vf.compare(1, 2, 3, 4, x=1)):
            try:
                bad()
            except TypeError:
                pass
        seen.append("numpy" in sys.modules)
        try:
            vf.compare([0.0], [0.0], [0.0], [0.0])
        except TypeError:
            pass
        seen.append("numpy" in sys.modules)
        print(json.dumps(seen))
        """
    )
    assert result == [False, False, False, True]


def test_numpy_that_cannot_be_loaded():
    """compare raises ImportError, chained to the cause, when NumPy is unavailable; later calls retry."""
    result = run_python(
        """
        import json, sys
        sys.modules["numpy"] = None  # any import of numpy now fails
        import _velmora_funnel as vf
        outcome = {}
        try:
            vf.compare([0.0], [0.0], [0.0], [0.0])
        except Exception as error:
            outcome["type"] = type(error).__name__
            outcome["message"] = str(error)
            outcome["cause"] = isinstance(error.__cause__, ImportError)
        outcome["version"] = vf.version()
        del sys.modules["numpy"]
        import numpy as np
        t = np.array([0.0, 1.0, 2.0])
        outcome["status"] = vf.compare(t, t, t, t)["status"]
        print(json.dumps(outcome))
        """
    )
    assert result == {
        "type": "ImportError",
        "message": "_velmora_funnel.compare() needs NumPy, which could not be loaded",
        "cause": True,
        "version": "1.0.0-beta.10",
        "status": 0,
    }


def test_module_object_is_created_once():
    """Importing again after removal from sys.modules yields the same module object."""
    result = run_python(
        """
        import json, sys
        import _velmora_funnel as first
        del sys.modules["_velmora_funnel"]
        import _velmora_funnel as second
        print(json.dumps([first is second, second.__all__ == first.__all__, len(second.__all__)]))
        """
    )
    assert result == [True, True, 13]


def test_second_interpreter_is_refused():
    """A sub-interpreter that imports the module after the main one gets ImportError."""
    result = run_python(
        """
        import json
        import _velmora_funnel
        # The sub-interpreter reports for itself, on the shared stdout, so that
        # no exception has to cross back (which the sanitized run would see
        # leak inside the interpreter's cross-interpreter machinery).
        code = (
            "import json\\n"
            "try:\\n"
            "    import _velmora_funnel\\n"
            "    outcome = None\\n"
            "except BaseException as error:\\n"
            "    outcome = [type(error).__name__, str(error)]\\n"
            "print(json.dumps(outcome), flush=True)\\n"
        )
        try:
            import _interpreters  # 3.13
        except ImportError:
            _interpreters = None
        if _interpreters is not None:
            # The legacy configuration allows single-phase modules in principle,
            # so the refusal is the module's own.
            interp = _interpreters.create("legacy")
            try:
                assert _interpreters.exec(interp, code) is None
            finally:
                _interpreters.destroy(interp)
        else:
            try:
                import _xxsubinterpreters as legacy  # 3.12
            except ImportError:
                legacy = None
            if legacy is None:
                print(json.dumps("skip"))
            else:
                interp = legacy.create(isolated=False)
                try:
                    legacy.run_string(interp, code)
                finally:
                    legacy.destroy(interp)
        """
    )
    if result == "skip":
        pytest.skip("no sub-interpreter module in this Python")
    assert result is not None, "the sub-interpreter imported the module"
    exc_name, message = result
    assert exc_name == "ImportError"
    assert "does not support sub-interpreters" in message


# --- the shared object -------------------------------------------------------


def test_only_the_init_function_is_exported():
    """The extension's dynamic symbol table defines PyInit__velmora_funnel and nothing else."""
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not available")
    completed = subprocess.run(
        [nm, "-D", "--defined-only", vf.__file__], capture_output=True, text=True, check=True, timeout=60
    )
    symbols = [line.split()[-1] for line in completed.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit__velmora_funnel"]
