"""The distributions: the sdist holds what a build needs, the wheel built from
that sdist holds the package only and says what it is, and it installs and
imports in a fresh environment. Builds without build isolation, offline."""
import base64
import csv
import email.parser
import glob
import hashlib
import importlib.util
import io
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tomllib
import zipfile

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXT = sysconfig.get_config_var("EXT_SUFFIX")
# The mnist module joins the wheel once its source is in the tree.
MNIST_BUILT = bool(glob.glob(os.path.join(REPO, "tarnex", "data", "*.cpp")))

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("scikit_build_core") is None,
    reason="scikit-build-core is not installed (pip install -r requirements-dev.txt)",
)

with open(os.path.join(REPO, "pyproject.toml"), "rb") as _f:
    PROJECT = tomllib.load(_f)["project"]
BASE = f"{PROJECT['name']}-{PROJECT['version']}"


def _run(args, **kw):
    r = subprocess.run(args, capture_output=True, text=True, timeout=900, **kw)
    assert r.returncode == 0, f"{args}\n{r.stdout}\n{r.stderr}"
    return r


def _source_tree(dest):
    """The checkout as a fresh clone has it (tracked and unignored files), plus
    the kind of build output a developer's tree holds, which must stay out of
    the sdist. A real tree's build/ can hold whole Debian roots, which the
    sdist's file walk would take many minutes over. Outside a git checkout,
    the tree itself."""
    try:
        r = subprocess.run(["git", "ls-files", "-z", "-co", "--exclude-standard"], cwd=REPO,
                           capture_output=True)
    except OSError:
        return REPO
    if r.returncode != 0:
        return REPO
    for name in filter(None, r.stdout.decode().split("\0")):
        src = os.path.join(REPO, name)
        if os.path.isfile(src):
            os.makedirs(os.path.dirname(os.path.join(dest, name)), exist_ok=True)
            shutil.copy2(src, os.path.join(dest, name))
    for junk in ("build/ci-venv/pyvenv.cfg", "build/temp/frame.o", f"tarnex/core/_batchkit{EXT}",
                 "tarnex/__pycache__/__init__.cpython.pyc"):
        os.makedirs(os.path.dirname(os.path.join(dest, junk)), exist_ok=True)
        open(os.path.join(dest, junk), "w").close()
    return dest


@pytest.fixture(scope="module")
def dists(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    tree = _source_tree(tmp_path_factory.mktemp("tree"))
    _run([sys.executable, "-c",
          "import sys; from scikit_build_core.build import build_sdist; build_sdist(sys.argv[1])",
          str(out)], cwd=tree)
    sdist = out / f"{BASE}.tar.gz"
    with tarfile.open(sdist) as tar:
        tar.extractall(out / "src", filter="data")
    _run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index",
          "--disable-pip-version-check", "-q", "-w", str(out / "wheel"), str(out / "src" / BASE)])
    (wheel,) = glob.glob(str(out / "wheel" / "*.whl"))
    return sdist, wheel


def _tracked(*folders):
    # Outside a git checkout (a copy of the tree, a machine without git) the
    # files named in the test itself are checked.
    try:
        r = subprocess.run(["git", "ls-files", *folders], cwd=REPO, capture_output=True, text=True)
    except OSError:
        return set()
    return set(r.stdout.split()) if r.returncode == 0 else set()


def test_sdist_holds_what_a_build_needs(dists):
    sdist, _ = dists
    with tarfile.open(sdist) as tar:
        names = {n.split("/", 1)[1] for n in tar.getnames() if "/" in n}
    needed = {"pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "PKG-INFO"}
    needed |= _tracked("frame", "tarnex", "docs")  # the README links to docs/
    assert needed <= names, sorted(needed - names)
    for n in names:
        parts = n.split("/")
        assert not {".ci", ".git", "build", "__pycache__", ".mypy_cache"} & set(parts), n
        assert not n.endswith((".so", ".pyd", ".o", ".obj")), n


def test_wheel_holds_the_package_only(dists):
    _, wheel = dists
    with zipfile.ZipFile(wheel) as z:
        names = set(z.namelist())
    expected = {
        "tarnex/__init__.py",
        "tarnex/py.typed",
        "tarnex/core/__init__.py",
        f"tarnex/core/_batchkit{EXT}",
        "tarnex/core/_batchkit.pyi",
        "tarnex/data/__init__.py",
        "tarnex/data/mnist.pyi",
    }
    if MNIST_BUILT:
        expected.add(f"tarnex/data/mnist{EXT}")
    info = f"{BASE}.dist-info/"
    expected |= {info + n for n in ("METADATA", "WHEEL", "RECORD", "licenses/LICENSE")}
    assert names == expected


def test_wheel_metadata(dists):
    _, wheel = dists
    info = f"{BASE}.dist-info/"
    with zipfile.ZipFile(wheel) as z:
        meta = email.parser.Parser().parsestr(z.read(info + "METADATA").decode())
        wheel_info = email.parser.Parser().parsestr(z.read(info + "WHEEL").decode())
        licence = z.read(info + "licenses/LICENSE").decode()
        record = list(csv.reader(io.StringIO(z.read(info + "RECORD").decode())))
        contents = {n: z.read(n) for n in z.namelist()}
    assert (meta["Name"], meta["Version"]) == ("tarnex", PROJECT["version"])
    # A lower bound only: a cap would make pip refuse a newer interpreter.
    assert meta["Requires-Python"] == ">=3.11"
    requires = [r for r in meta.get_all("Requires-Dist") if "extra ==" not in r]
    assert requires == ["torch>=2.0", "torchvision>=0.15"]
    assert (meta["License-Expression"], meta["License-File"]) == ("MIT", "LICENSE")
    assert licence.startswith("MIT License\n\nCopyright (c) 2026 the tarnex developers\n")
    assert meta["Description-Content-Type"] == "text/markdown"
    assert meta.get_payload().startswith("# tarnex")
    classifiers = set(meta.get_all("Classifier"))
    assert "Typing :: Typed" in classifiers
    assert {f"Programming Language :: Python :: 3.{n}" for n in range(11, 15)} <= classifiers
    assert wheel_info["Root-Is-Purelib"] == "false"
    py = f"cp{sys.version_info.major}{sys.version_info.minor}"
    # A free-threaded interpreter takes wheels of its own ABI: cp313-cp313t.
    abi = py + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
    assert wheel_info["Tag"].startswith(f"{py}-{abi}-")
    # RECORD lists every file once, each with its true hash and size.
    assert sorted(row[0] for row in record) == sorted(contents)
    for path, digest, size in record:
        if path.endswith("RECORD"):
            continue
        data = contents[path]
        want = "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        assert (digest, int(size)) == (want, len(data)), path


@pytest.mark.needs_torch  # the venv imports the package, and the package torch
def test_wheel_installs_and_imports_in_a_fresh_venv(dists, tmp_path):
    _, wheel = dists
    env = tmp_path / "env"
    # torch comes from the environment running the tests, without reinstalling
    # it: a .pth file puts the folders on this interpreter's path (its site
    # folders and whatever they add) after the new venv's own.
    # --system-site-packages would give the base interpreter's only, which
    # need not have torch when the tests run in a venv. The wheel goes into
    # the venv itself (-I), even where a tarnex is installed in those folders.
    _run([sys.executable, "-m", "venv", str(env)])
    python = str(env / ("Scripts/python.exe" if os.name == "nt" else "bin/python"))
    where = "import json, sys, sysconfig; print(json.dumps([sysconfig.get_path('purelib'), sys.path]))"
    own, theirs = json.loads(_run([python, "-P", "-c", where]).stdout)
    ours = [p for p in sys.path if p and os.path.isdir(p) and p not in theirs]
    assert ours, sys.path
    with open(os.path.join(own, "_test_parent_path.pth"), "w", encoding="utf-8") as f:
        f.write("".join(p + "\n" for p in ours))
    _run([python, "-m", "pip", "install", "--no-deps", "--no-index", "--ignore-installed",
          "--disable-pip-version-check", "-q", wheel])
    probe = (
        "import os, sys, torch\n"
        "import tarnex.core._batchkit as bk\n"
        "print(os.path.dirname(os.path.dirname(bk.__file__)))\n"
        "print(bk.to_device({'a': torch.zeros(2)}, 'cpu')['a'].device)\n"
        "print(os.path.isfile(os.path.join(os.path.dirname(bk.__file__), '_batchkit.pyi')))\n"
        f"if {MNIST_BUILT}:\n"
        "    import tarnex.data.mnist as mnist\n"
        "    print(mnist.mnist_loaders.__module__)\n"
    )
    out = _run([python, "-P", "-c", probe], cwd=tmp_path).stdout.split()
    package = os.path.realpath(out[0])
    assert package.startswith(os.path.realpath(env) + os.sep), package
    assert out[1:3] == ["cpu", "True"]
    assert out[3:] == (["tarnex.data.mnist"] if MNIST_BUILT else [])


def _gates():
    spec = importlib.util.spec_from_file_location("wheel_gates", os.path.join(REPO, "tools", "wheel_gates.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("fault", ["none", "extra file", "wrong hash", "tag differs from name",
                                   "requirement changed", "module suffix of another version"])
def test_wheel_gates_catch_a_faulty_wheel(dists, tmp_path, fault):
    """The contents gate of tools/wheel_gates.py passes the wheel as built and
    fails each fault a broken build or a hand-edited wheel would have. RECORD
    is written anew for each copy, true for every file but the one whose
    hash is the fault."""
    _, wheel = dists
    gates = _gates()
    py = f"cp{sys.version_info.major}{sys.version_info.minor}"
    with zipfile.ZipFile(wheel) as z:
        members = {n: z.read(n) for n in z.namelist()}
    (record,) = [n for n in members if n.endswith(".dist-info/RECORD")]
    core_init = "tarnex/core/__init__.py"
    if fault == "extra file":
        members["tarnex/core/_batchkit.cpp"] = b"int x;"
    elif fault == "tag differs from name":
        (info,) = [n for n in members if n.endswith(".dist-info/WHEEL")]
        members[info] = members[info].replace(f"Tag: {py}-".encode(), b"Tag: cp399-")
    elif fault == "requirement changed":
        (meta,) = [n for n in members if n.endswith(".dist-info/METADATA")]
        members[meta] = members[meta].replace(b"Requires-Dist: torch>=2.0", b"Requires-Dist: torch>=1.0")
    elif fault == "module suffix of another version":
        (module,) = [n for n in members if n.endswith(f"_batchkit{EXT}")]
        members[module.replace(py[2:], "399", 1)] = members.pop(module)
    rows = [(n, gates.record_hash(d), len(d)) for n, d in members.items() if n != record]
    if fault == "wrong hash":
        members[core_init] += b"\n"
    members[record] = "".join(f"{n},{h},{size}\n" for n, h, size in rows + [(record, "", "")]).encode()
    faulty = tmp_path / os.path.basename(wheel)
    with zipfile.ZipFile(faulty, "w") as z:
        for n, d in members.items():
            z.writestr(n, d)
    failures, modules = gates.check_contents(str(faulty), PROJECT)
    if fault == "none":
        assert failures == [] and len(modules) == (2 if MNIST_BUILT else 1)
    else:
        want = {"extra file": "do not belong", "wrong hash": "RECORD: wrong hash", "tag differs from name":
                "WHEEL Tag", "requirement changed": "Requires-Dist", "module suffix of another version":
                "files missing"}[fault]
        assert any(want in f for f in failures), failures


@pytest.mark.parametrize("tag, suffix", [
    (("cp311", "cp311", "manylinux_2_28_x86_64"), ".cpython-311-x86_64-linux-gnu.so"),
    (("cp313", "cp313t", "manylinux_2_28_x86_64"), ".cpython-313t-x86_64-linux-gnu.so"),
    (("cp313", "cp313", "manylinux2014_aarch64.manylinux_2_17_aarch64"), ".cpython-313-aarch64-linux-gnu.so"),
    (("cp312", "cp312", "win_amd64"), ".cp312-win_amd64.pyd"),
])
def test_wheel_gates_know_each_targets_module_suffix(tag, suffix):
    assert _gates().module_suffix(*tag) == suffix
