"""The gates every wheel of the wheelhouse passes before it is called built
(tools/build_wheels.sh runs them; any failure fails the build):

- its name, and the Tag of its WHEEL file, are the one tag it was built for;
- it holds the package only: the Python files, the stubs, py.typed, the two
  compiled modules with the file name that tag's interpreter imports, and
  the four files of its .dist-info (nothing grafted, no sources);
- RECORD lists every file once, with its true hash and size;
- METADATA's Requires-Dist and Requires-Python are those of pyproject.toml;
- Linux: auditwheel's policy for what the modules link is manylinux_2_28 or
  older (the oldest glibc that torch's own wheels need), no library besides
  libc and libpthread is linked, and the tag is that policy's family;
- Windows: every DLL each .pyd imports is on the allowlist (KERNEL32, the
  UCRT's api-ms-win-crt-*, the interpreter's python3XX.dll): a module that
  needs a MinGW runtime DLL does not load on a user's machine.

    python tools/wheel_gates.py WHEEL ...

Prints one line per wheel with its size (and its policy or DLLs), and every
failed gate; exit status 1 if any failed. AUDITWHEEL and OBJDUMP name the
tools (default: auditwheel on PATH, x86_64-w64-mingw32-objdump or objdump).
"""
import base64
import csv
import email.parser
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import tomllib
import zipfile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The newest glibc a wheel may need: that of torch's own manylinux wheels.
MAX_GLIBC = (2, 28)
LINUX_LIBS = {"libc.so.6", "libpthread.so.0"}
WINDOWS_DLL = re.compile(r"^(kernel32\.dll|api-ms-win-crt-[a-z0-9-]+\.dll|python3\d+t?\.dll)$", re.I)


def project():
    with open(os.path.join(REPO, "pyproject.toml"), "rb") as f:
        return tomllib.load(f)["project"]


# The names before PEP 600 of the manylinux tags (auditwheel adds the alias
# beside the tag it stands for).
LEGACY = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}


def parse_name(path):
    """(name, version, python, abi, platform) from a wheel's file name; the
    platform may be a compressed set (manylinux2014_aarch64.manylinux_2_17_aarch64)."""
    base = os.path.basename(path)
    m = re.fullmatch(r"([^-]+)-([^-]+)-(cp\d+)-(cp\d+t?)-([^-]+)\.whl", base)
    if not m:
        raise ValueError(f"{base}: not a CPython wheel name of one interpreter and ABI")
    return m.groups()


def glibc_of(platform):
    """(major, minor) of a manylinux platform tag, None for another tag."""
    m = re.fullmatch(r"manylinux_(\d+)_(\d+)_\w+", platform)
    if m:
        return int(m.group(1)), int(m.group(2))
    m = re.fullmatch(r"(manylinux\d+)_\w+", platform)
    return LEGACY.get(m.group(1)) if m else None


def module_suffix(python, abi, platform):
    """The file-name suffix the tag's interpreter imports an extension by."""
    version = python[2:]
    flags = "t" if abi.endswith("t") else ""
    if platform.startswith("win"):
        return f".cp{version}{flags}-{platform}.pyd"
    arches = set()
    for p in platform.split("."):
        m = re.fullmatch(r"(?:many|musl)linux_\d+_\d+_(\w+)|manylinux\d+_(\w+)|linux_(\w+)", p)
        if not m:
            raise ValueError(f"unknown platform tag {p}")
        arches.add(m.group(1) or m.group(2) or m.group(3))
    if len(arches) != 1:
        raise ValueError(f"platform tags of several architectures: {platform}")
    return f".cpython-{version}{flags}-{arches.pop()}-linux-gnu.so"


def record_hash(data):
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def check_contents(path, meta_project=None):
    """The gates on the archive itself; returns a list of failures."""
    proj = meta_project or project()
    name, version, python, abi, platform = parse_name(path)
    failures = []
    if (name, version) != (proj["name"], proj["version"]):
        failures.append(f"name and version {name} {version}, want {proj['name']} {proj['version']}")
    suffix = module_suffix(python, abi, platform)
    info = f"{name}-{version}.dist-info/"
    expected = {
        "tarnex/__init__.py", "tarnex/py.typed",
        "tarnex/core/__init__.py", "tarnex/core/_batchkit.pyi", f"tarnex/core/_batchkit{suffix}",
        "tarnex/data/__init__.py", "tarnex/data/mnist.pyi", f"tarnex/data/mnist{suffix}",
        info + "METADATA", info + "WHEEL", info + "RECORD", info + "licenses/LICENSE",
    }
    with zipfile.ZipFile(path) as z:
        contents = {n: z.read(n) for n in z.namelist() if not n.endswith("/")}
    names = set(contents)
    if names != expected:
        if names - expected:
            failures.append(f"files that do not belong: {sorted(names - expected)}")
        if expected - names:
            failures.append(f"files missing: {sorted(expected - names)}")
    if info + "WHEEL" in contents:
        wheel = email.parser.Parser().parsestr(contents[info + "WHEEL"].decode())
        tags = sorted(wheel.get_all("Tag") or [])
        want = sorted(f"{python}-{abi}-{p}" for p in platform.split("."))
        if tags != want:
            failures.append(f"WHEEL Tag {tags}, want {want} as the name says")
        if wheel["Root-Is-Purelib"] != "false":
            failures.append(f"Root-Is-Purelib {wheel['Root-Is-Purelib']}, want false")
    if info + "METADATA" in contents:
        meta = email.parser.Parser().parsestr(contents[info + "METADATA"].decode())
        requires = [r for r in (meta.get_all("Requires-Dist") or []) if "extra ==" not in r]
        if requires != proj["dependencies"]:
            failures.append(f"Requires-Dist {requires}, want {proj['dependencies']}")
        if meta["Requires-Python"] != proj["requires-python"]:
            failures.append(f"Requires-Python {meta['Requires-Python']}, want {proj['requires-python']}")
    if info + "RECORD" in contents:
        rows = list(csv.reader(io.StringIO(contents[info + "RECORD"].decode())))
        listed = [row[0] for row in rows]
        if sorted(listed) != sorted(names):
            failures.append("RECORD does not list every file once")
        for row in rows:
            if len(row) != 3:
                failures.append(f"RECORD row {row}")
                continue
            file, digest, size = row
            if file == info + "RECORD" or file not in contents:
                continue
            data = contents[file]
            if (digest, size) != (record_hash(data), str(len(data))):
                failures.append(f"RECORD: wrong hash or size for {file}")
    return failures, [n for n in names if n.endswith((".so", ".pyd"))]


def check_linux(path, platform):
    """auditwheel's policy and the linked libraries; (failures, summary)."""
    tool = os.environ.get("AUDITWHEEL") or shutil.which("auditwheel")
    if not tool:
        return ["auditwheel not found (pip install auditwheel)"], ""
    # -v: without it, show stops before its list of linked libraries when
    # the symbol versions alone narrow the policy.
    r = subprocess.run([tool, "-v", "show", path], capture_output=True, text=True)
    text = " ".join(r.stdout.split())
    m = re.search(r'consistent with the following platform tag: "(manylinux_(\d+)_(\d+)_\w+)"', text)
    if r.returncode != 0 or not m:
        return [f"auditwheel show failed:\n{r.stdout}{r.stderr}"], ""
    policy, glibc = m.group(1), (int(m.group(2)), int(m.group(3)))
    failures = []
    if glibc > MAX_GLIBC:
        failures.append(f"auditwheel: {policy}, newer than manylinux_{MAX_GLIBC[0]}_{MAX_GLIBC[1]}")
    if "requires no external shared libraries" not in text or "required by the wheel" in text:
        failures.append(f"auditwheel: links a library outside the policy:\n{r.stdout}")
    for p in platform.split("."):
        tagged = glibc_of(p)
        if tagged is None:
            failures.append(f"platform tag {p}: not a manylinux tag")
        elif tagged < glibc:
            failures.append(f"tagged {p}, but the modules need {policy}")
    return failures, f"auditwheel policy {policy}"


def dll_imports(objdump, module):
    r = subprocess.run([objdump, "-p", module], capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError(f"{objdump} -p {module}: {r.stderr}")
    return sorted(set(re.findall(r"DLL Name: (\S+)", r.stdout)), key=str.lower)


def check_windows(path, modules, python):
    objdump = os.environ.get("OBJDUMP") or shutil.which("x86_64-w64-mingw32-objdump") or shutil.which("objdump")
    if not objdump:
        return ["no objdump for PE files (binutils-mingw-w64-x86-64)"], ""
    failures, seen = [], set()
    with tempfile.TemporaryDirectory() as tmp, zipfile.ZipFile(path) as z:
        for m in modules:
            dlls = dll_imports(objdump, z.extract(m, tmp))
            seen.update(dlls)
            bad = [d for d in dlls if not WINDOWS_DLL.match(d)]
            own = [d for d in dlls if d.lower().startswith("python3")]
            if bad:
                failures.append(f"{m} imports DLLs off the allowlist: {bad}")
            if own != [f"python{python[2:]}.dll"]:
                failures.append(f"{m} imports the interpreter DLLs {own}, want python{python[2:]}.dll")
    crt = sum(1 for d in seen if d.lower().startswith("api-ms-win-crt-"))
    others = sorted(d for d in seen if not d.lower().startswith("api-ms-win-crt-"))
    return failures, f"imports {', '.join(others)} and {crt} api-ms-win-crt-* DLLs"


def check(path):
    _, _, python, _, platform = parse_name(path)
    failures, modules = check_contents(path)
    if platform.startswith("win"):
        more, summary = check_windows(path, modules, python)
    else:
        more, summary = check_linux(path, platform)
    return failures + more, summary


def main(paths):
    bad = 0
    for path in paths:
        try:
            failures, summary = check(path)
        except (ValueError, RuntimeError, zipfile.BadZipFile) as e:
            failures, summary = [str(e)], ""
        size = os.path.getsize(path)
        state = "FAILED" if failures else "ok"
        print(f"wheel_gates: {os.path.basename(path)}: {size / 1024:.1f} KiB, {summary or '-'}: {state}")
        for f in failures:
            print(f"  - {f}")
        bad += bool(failures)
    if not paths:
        print("wheel_gates: no wheel given", file=sys.stderr)
        return 1
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
