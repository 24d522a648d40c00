"""The installed package: its quickstart, its version and its type information (the stub
describes the module exactly; mypy --strict accepts the examples and a program that uses every
method, and rejects wrongly typed calls)."""

import importlib.metadata
import pathlib
import re
import subprocess
import sys
import textwrap

import _kestrine
import kestrine
import pytest
from conftest import ROOT, run_mypy, run_stubtest

HERE = pathlib.Path(__file__).resolve().parent
# Methods whose stub entries stay unchecked by stubtest while the module lacks them.


def site_file(*parts):
    return pathlib.Path(_kestrine.__file__).parent.joinpath(*parts)


def test_the_quickstart_in_the_package_docstring_runs():
    lines = [line.strip() for line in kestrine.__doc__.splitlines() if line.startswith("    ")]
    assert len(lines) == 5
    if not hasattr(_kestrine.Kestrine, "search"):
        lines = [line for line in lines if ".search(" not in line]
    namespace = {}
    exec("\n".join(lines), namespace)
    assert namespace["db"].collection_info("docs").document_count == 1
    if "hits" in namespace:
        assert [hit.text for hit in namespace["hits"]] == ["The cat sat on the mat"]


def test_type_information_is_installed():
    stub = site_file("_kestrine.pyi")
    assert stub.is_file()
    assert site_file("_kestrine-stubs", "__init__.pyi").read_bytes() == stub.read_bytes()
    assert pathlib.Path(kestrine.__file__).with_name("py.typed").is_file()


def test_version_comes_from_the_package_metadata():
    assert kestrine.__version__ == importlib.metadata.version("kestrine")
    assert re.fullmatch(r"\d+\.\d+\.\d+.*", kestrine.__version__)


def test_package_reexports_the_module_and_its_types():
    for name in kestrine.__all__:
        assert hasattr(kestrine, name), name
    assert kestrine.Kestrine is _kestrine.Kestrine
    assert set(kestrine.__all__) >= {"Kestrine", "SearchResult", "CollectionInfo", "Filter"}


def test_importing_kestrine_loads_no_framework():
    # The vector stores for LangChain and LlamaIndex are optional: only importing
    # kestrine.langchain or kestrine.llama_index may load their framework.
    code = (
        "import sys, kestrine, kestrine.cli\n"
        "frameworks = ('langchain', 'langchain_core', 'langchain_tests', 'llama_index')\n"
        "print(sorted(m for m in sys.modules if m.split('.')[0] in frameworks\n"
        "             or m in ('kestrine.langchain', 'kestrine.llama_index')))\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert (result.returncode, result.stdout, result.stderr) == (0, "[]\n", "")


def test_stub_matches_the_module(tmp_path):
    result = run_stubtest("_kestrine", tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_and_a_program_using_every_method_pass_strict_checking(request):
    pytest.importorskip("numpy")  # the typed program passes NumPy arrays
    examples = sorted(str(p.relative_to(ROOT)) for p in (ROOT / "examples").glob("*.py"))
    assert examples, "no examples found"
    result = run_mypy(request, *examples, str((HERE / "typed_program.py").relative_to(ROOT)))
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith("Success: no issues found")


# Each line is a mistake the type checker must report; the marker names mypy's error code.
WRONG = """\
from kestrine import Kestrine
db = Kestrine()
db.insert("c", 1, [1.0])  # arg-type
db.insert("c", "t", "abc")  # arg-type
db.insert("c", "t", [1.0], metadata={"a": None})  # dict-item
db.insert("c", "t", [1.0], {"a": [1]})  # dict-item
db.create_collection("c", 3, distance_metric="L2")  # arg-type
db.create_collection("c", 3, store_raw_vectors=1)  # arg-type
db.search("c", filter={"must": [{"field": "a", "op": "EQ", "value": 1}]})  # arg-type
db.search("c", filter={"must": [{"op": "eq", "value": 1}]})  # arg-type
db.search("c", k=None)  # arg-type
db.count("c", {"should": {"field": "a", "op": "eq"}})  # arg-type
db.scan("c", limit="10")  # arg-type
db.batch_insert("c", [{"text": "t"}])  # typeddict-item
db.get("c", "x")["score"]  # typeddict-item
db.collection_info("c").name = "d"  # misc
db.search("c")[0].score = 1.0  # misc
Kestrine(data_dir=3)  # arg-type
db.nonexistent()  # attr-defined
"""


def test_wrongly_typed_calls_are_reported(request, tmp_path):
    program = tmp_path / "wrong.py"
    program.write_text(WRONG)
    result = run_mypy(request, str(program))
    reported = {}
    for line in result.stdout.splitlines():
        match = re.match(r".*wrong\.py:(\d+): error: .*\[([a-z-]+)\]$", line)
        if match:
            reported.setdefault(int(match[1]), set()).add(match[2])
    expected = {
        number: {line.rsplit("# ", 1)[1]}
        for number, line in enumerate(WRONG.splitlines(), start=1)
        if "# " in line
    }
    assert reported == expected, textwrap.indent(result.stdout, "  ")
