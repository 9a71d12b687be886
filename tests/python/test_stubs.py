"""The type stubs that the wheel installs: they match the compiled module, and the examples type-check against them."""
import ast
import importlib.util
import inspect
import subprocess
import sys
from pathlib import Path

import pytest

import flowsieve

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "stubs" / "flowsieve-stubs" / "__init__.pyi"
INSTALLED = Path(flowsieve.__file__).parent / "flowsieve-stubs" / "__init__.pyi"
# Examples and the modules they need beyond flowsieve.
EXAMPLES = {"dask_flows.py": ["dask", "distributed", "pandas"], "flow_bytes.py": ["numpy"],
            "dask_arrays.py": ["dask", "distributed", "numpy"]}


def mypy(*args, cwd=ROOT):
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=600)


def test_wheel_installs_the_stubs_beside_the_module():
    assert INSTALLED.is_file(), "flowsieve-stubs/ is missing from site-packages"
    assert INSTALLED.read_text() == STUB.read_text(), "the installed stubs are stale: reinstall the wheel"


def test_stubtest_finds_stub_and_module_in_agreement(tmp_path):
    result = mypy("mypy.stubtest", "flowsieve", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def stub_docs():
    """Dotted name -> doc string of every public function, method, property and class of the stub."""
    docs = {}

    def walk(nodes, prefix):
        for node in nodes:
            if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and not node.name.startswith("_"):
                docs[prefix + node.name] = ast.get_docstring(node)
                if isinstance(node, ast.ClassDef):
                    walk(node.body, prefix + node.name + ".")
    walk(ast.parse(STUB.read_text()).body, "")
    return docs


def runtime_docs():
    docs = {}
    for name in flowsieve.__all__:
        obj = getattr(flowsieve, name)
        docs[name] = obj.__doc__
        if isinstance(obj, type):
            docs.update({f"{name}.{key}": getattr(obj, key).__doc__ for key in vars(obj) if not key.startswith("_")})
    return {name: inspect.cleandoc(doc) if doc else None for name, doc in docs.items()}


def test_stub_has_every_public_name_with_the_runtime_doc_string():
    assert stub_docs() == runtime_docs()


@pytest.mark.parametrize("example", sorted(p.name for p in (ROOT / "examples").glob("*.py")))
def test_example_passes_mypy_strict(tmp_path_factory, example):
    for module in EXAMPLES.get(example, []):
        if importlib.util.find_spec(module) is None:
            pytest.skip(f"{module} is not installed")
    cache = tmp_path_factory.getbasetemp() / "mypy-cache"
    result = mypy("mypy", "--strict", "--config-file", "pyproject.toml", "--cache-dir", str(cache),
                  f"examples/{example}")
    assert result.returncode == 0, result.stdout + result.stderr


# Uses that the stubs must reject, with a word of mypy's complaint.
MISUSES = [
    ("flow.id = 3", "read-only"),
    ("class Mine(flowsieve.Flow): pass", "final"),
    ("flowsieve.split('in', 'out', port_filters=['443'])", 'expected "int"'),
    ("flowsieve.read_flows('in', max_sessions='many')", '"max_sessions"'),
    ("flowsieve.pipe_archive(3)", '"pipe_archive"'),
    ("archive.get_flow(1).id", '"None"'),
    ("text: str = flow.packets()[0].data", '"bytes"'),
    ("len(flow)", '"Flow"'),
    ("store.find('10.0.0.1')", "positional"),
    ("store.find(port='443')", '"port"'),
    ("merged: bytes = store.export(found, 'out.pcap')", '"None"'),
    ("store.find(flow=('tcp', '10.0.0.1', 80))", '"flow"'),
    ("flowsieve.split('in', 'out', strategy='sesion')", '"strategy"'),
    ("flowsieve.split('in', 'out', output_type='pcapng')", '"output_type"'),
    ("flowsieve.create_archive('in', 'a.fsieve', strategy='5-tuple')", '"strategy"'),
]


def test_stubs_type_the_api(tmp_path):
    lines = ["import flowsieve", "archive = flowsieve.Archive.open('a.fsieve')", "flow = archive.flows()[0]",
             "frame: bytes = flow.packets()[0].data", "start: float = flow.start_ts + len(archive)",
             # every argument form of the store
             "import datetime, pathlib", "store = flowsieve.Store('archives/', pathlib.Path('old/a.fsieve'))",
             "found = store.find(ip='10.0.0.1', port=443, proto='tcp', since=1700000000.5, until=1700000001 * 10**9)",
             "found += store.find(ip=['10.0.0.1', '10.0.0.2'], port=(80, 443), proto=['udp', 6], "
             "since=datetime.datetime(2024, 5, 1, 14), until=datetime.date(2024, 5, 2))",
             "found += archive.find(since='2024-05-01T14:00Z', flow=('tcp', '10.0.0.1', 51234, '10.0.0.2', 443), "
             "community_id='1:LQU9qZlK+B5F3KDmev6m5PMibrg=')",
             "found += archive.find(flow='6 10.0.0.1 51234 10.0.0.2 443', proto=17, between=('10.0.0.1', '10.0.0.2'))",
             "found += archive.find(between='10.0.0.1', between_port=[80, 443])",
             "pcap: bytes = store.export(found)", "store.export(iter(found), pathlib.Path('host.pcap'))",
             "where: str = found[0].archive_path", "skipped: list[tuple[str, str]] = store.skipped + [('', '')]",
             "with flowsieve.Store('archives/') as s, flowsieve.Archive.open('a.fsieve') as a:",
             "    names: list[str] = s.archives", "    a.close()", "store.close()",
             "version: str = flowsieve.__version__", "flowsieve.read_flows('in', strategy='hostpair')"]
    for i, (use, _) in enumerate([("", "")] + MISUSES):
        (tmp_path / f"use{i}.py").write_text("\n".join(lines + [use]) + "\n")
    result = mypy("mypy", "--strict", "--no-incremental", ".", cwd=tmp_path)
    found = {}
    for line in result.stdout.splitlines():
        if ": error:" in line:
            found.setdefault(line.split(":")[0], []).append(line)
    assert found.keys() == {f"use{i}.py" for i in range(1, len(MISUSES) + 1)}, result.stdout  # use0.py is clean
    for i, (use, word) in enumerate(MISUSES, 1):
        (error,) = found[f"use{i}.py"]
        assert error.startswith(f"use{i}.py:{len(lines) + 1}:") and word in error, (use, error)
