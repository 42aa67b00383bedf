import inspect
import pathlib
import re
import sys

import pytest

import gapweave
from helpers import under_address_sanitizer


def test_module_attributes():
    assert gapweave.__all__ == ["MNARrs", "MAR"]
    assert gapweave.__doc__ == ""
    public = {name for name in dir(gapweave) if not name.startswith("__")}
    assert public == {"MNARrs", "MAR"}


def test_import_does_not_import_numpy():
    code = "import sys, gapweave; print('numpy' in sys.modules)"
    import subprocess

    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


@pytest.mark.skipif(not hasattr(sys, "_is_gil_enabled"), reason="interpreter lock cannot be disabled")
def test_import_keeps_interpreter_lock_state():
    import subprocess

    code = "import sys; before = sys._is_gil_enabled(); import gapweave; print(before == sys._is_gil_enabled())"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "True"


@pytest.mark.parametrize("cls", [gapweave.MNARrs, gapweave.MAR])
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cls", [gapweave.MNARrs, gapweave.MAR])
def test_instances_have_no_dict(cls):
    obj = cls(seed=1, n_workers=1)
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert not hasattr(obj, "__dict__")


@pytest.mark.parametrize(
    "cls, signature",
    [
        (gapweave.MNARrs, '(mean=None, variance=None, mode="GM", seed=None, n_workers=None)'),
        (gapweave.MAR, '(mean=None, variance=None, max_missing_per_column=..., mode="GM", seed=None, n_workers=None)'),
    ],
)
def test_text_signatures_and_docs(cls, signature):
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == ""
    params = list(inspect.signature(cls).parameters)
    assert params == [p.split("=")[0] for p in signature[1:-1].split(", ")]


def test_adjust_alpha_signature():
    assert gapweave.MAR._adjust_alpha.__text_signature__ == "($self, n_cols, alpha)"
    assert list(inspect.signature(gapweave.MAR._adjust_alpha).parameters) == ["self", "n_cols", "alpha"]


def test_panic_is_base_exception_not_exception(PanicException):
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)
    with pytest.raises(BaseException) as info:
        try:
            gapweave.MNARrs(n_workers=0)
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as Exception")
    assert type(info.value) is PanicException
    assert info.value.args == ("assertion failed: num_threads > 0",)


def test_panic_class_is_created_once(PanicException):
    for _ in range(3):
        with pytest.raises(BaseException) as info:
            gapweave.MAR(mode="nope", n_workers=1)
        assert type(info.value) is PanicException


def test_panic_message_goes_to_stderr(capfd):
    with pytest.raises(BaseException):
        gapweave.MNARrs(n_workers=0)
    err = capfd.readouterr().err
    assert "assertion failed: num_threads > 0" in err
    # The source location, relative to the checkout whatever the build machine.
    assert re.search(r" at src/[\w/]+\.[ch]pp:\d+$", err, re.MULTILINE), err


@pytest.mark.skipif(
    under_address_sanitizer(),
    reason="GCC's AddressSanitizer writes each source file's unmapped path into its global descriptors",
)
def test_module_names_no_path_of_the_build_machine():
    # Every source file the binary names (fault locations, debug information)
    # is named relative to the checkout: builds are reproducible anywhere.
    data = pathlib.Path(gapweave.__file__).read_bytes()
    named = set(re.findall(rb"[\x21-\x7e]*src/[\w/.]*\.[ch]pp", data))
    assert named, "no source file named at all: the fault locations are gone"
    assert {name for name in named if not name.startswith(b"src/")} == set()


def test_import_is_clean_with_warnings_as_errors():
    import subprocess

    code = "import gapweave; print(gapweave.MNARrs.__name__, gapweave.MAR.__qualname__, gapweave.MAR.__module__)"
    out = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["MNARrs", "MAR", "gapweave"]
