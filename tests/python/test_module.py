"""The module's surface: names, docstrings, signatures and the classes' form."""

from __future__ import annotations

import importlib
import inspect
import sys

import numpy as np
import pytest

import tarnwick
from conftest import flat_pdf


def test_public_names_in_order():
    assert tarnwick.__all__ == ["ShapeParameter", "SPlotResult", "splot", "SPlotError"]
    for name in tarnwick.__all__:
        assert hasattr(tarnwick, name)
    assert tarnwick.__doc__ == "Joint extended-likelihood fitting and sWeight calculation."


def test_version_is_the_distributions():
    import tomllib
    from pathlib import Path

    pyproject = Path(__file__).resolve().parents[2] / "pyproject.toml"
    with open(pyproject, "rb") as handle:
        assert tarnwick.__version__ == tomllib.load(handle)["project"]["version"]
    assert "__version__" not in tarnwick.__all__


def test_splot_is_a_builtin_bound_to_the_module():
    assert inspect.isbuiltin(tarnwick.splot)
    assert tarnwick.splot.__self__ is tarnwick
    assert tarnwick.splot.__module__ == "tarnwick"
    assert tarnwick.splot.__text_signature__ == (
        "(data, pdfs, *, shape_parameters=None, initial_yields=None, weights=None, "
        "max_steps=..., tolerance=1e-8)"
    )
    doc = tarnwick.splot.__doc__
    assert doc.startswith("Fit component yields and shared shape parameters, then calculate")
    assert doc.endswith("matrix indefinite or singular for some datasets.")
    parameters = inspect.signature(tarnwick.splot).parameters
    assert list(parameters) == [
        "data", "pdfs", "shape_parameters", "initial_yields", "weights", "max_steps", "tolerance"
    ]
    assert parameters["tolerance"].default == 1e-8
    assert parameters["max_steps"].kind is inspect.Parameter.KEYWORD_ONLY


def test_shape_parameter_type_form():
    cls = tarnwick.ShapeParameter
    assert cls.__module__ == "tarnwick"
    assert cls.__qualname__ == "ShapeParameter"
    assert cls.__text_signature__ == "(name, initial, lower=..., upper=...)"
    assert cls.__doc__.startswith("Shared shape parameter used by the joint yield-and-shape fit.")
    assert cls.__mro__ == (cls, object)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    p = cls("a", 1.0)
    assert not hasattr(p, "__dict__")
    with pytest.raises(AttributeError):
        p.extra = 1
    # Equality and hashing are by identity.
    assert p != cls("a", 1.0)
    assert hash(p) == object.__hash__(p)


def test_splot_result_type_form(two_peaks):
    cls = tarnwick.SPlotResult
    assert cls.__module__ == "tarnwick"
    assert cls.__doc__.startswith("Result of a joint yield-and-shape fit")
    assert cls.__text_signature__ is None
    with pytest.raises(TypeError, match="cannot create 'tarnwick.SPlotResult' instances"):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    result = tarnwick.splot(two_peaks, [flat_pdf])
    assert type(result) is cls
    assert not hasattr(result, "__dict__")
    with pytest.raises(AttributeError):
        result.success = False
    with pytest.raises(AttributeError):
        result.yields = np.zeros(1)
    with pytest.raises(AttributeError):
        result.other = 1


def test_splot_error_type():
    error = tarnwick.SPlotError
    assert issubclass(error, RuntimeError)
    assert error.__bases__ == (RuntimeError,)
    assert error.__module__ == "tarnwick"
    assert error.__name__ == "SPlotError"
    assert error.__doc__ is None


def test_reimport_makes_new_classes_but_keeps_one_error_type():
    original = sys.modules.pop("tarnwick")
    try:
        fresh = importlib.import_module("tarnwick")
        assert fresh is not original
        assert fresh.__all__ == original.__all__
        assert fresh.SPlotError is original.SPlotError
        assert fresh.ShapeParameter is not original.ShapeParameter
        result = fresh.splot(np.full((10, 1), 0.5), [flat_pdf],
                             shape_parameters=[fresh.ShapeParameter("s", 0.0)])
        assert type(result) is fresh.SPlotResult
    finally:
        sys.modules["tarnwick"] = original


def test_the_readme_python_snippets_run(tmp_path, monkeypatch, capsys):
    """Every ```python block of README.md, in order and in one namespace, in
    a scratch folder; a block after "<!-- README test: needs a cluster -->"
    is skipped, one after "<!-- README test: needs p q -->" runs only when
    the packages p and q are installed."""
    import importlib.util
    import re
    from pathlib import Path

    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text(encoding="utf-8")
    blocks = re.findall(r"(?:<!-- README test: needs ([^>]*?) -->\n)?```python\n(.*?)```",
                        readme, flags=re.S)
    assert len(blocks) >= 6
    monkeypatch.chdir(tmp_path)
    namespace: dict = {"__name__": "readme"}
    ran = 0
    for needs, code in blocks:
        if needs == "a cluster":
            continue
        if needs and any(importlib.util.find_spec(name) is None for name in needs.split()):
            continue
        exec(compile(code, "README.md", "exec"), namespace)
        ran += 1
    assert ran >= 5 and "fit summary: valid" in capsys.readouterr().out
    if all(importlib.util.find_spec(name) for name in ("pandas", "pyarrow", "uproot")):
        assert (tmp_path / "events_with_sweights.root").stat().st_size > 0
