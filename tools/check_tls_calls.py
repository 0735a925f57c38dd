"""Checks that no function of the modules' object files holds a value in a
vector register across a TLS descriptor call.

The stack bound is a thread-local read through a TLS descriptor (x86-64 with
-mtls-dialect=gnu2, aarch64 always). The compiler treats that call as one
that clobbers nothing but its result register. In a module loaded after the
static TLS area is used up, the call lands in glibc's _dl_tlsdesc_dynamic,
whose slow path (a thread's first read) calls into C code. On x86-64,
releases before 2.40 save only the general registers there, so a live vector
register (say, a 16-byte store assembled in %xmm0) could come back changed;
on aarch64 the SVE state is not saved. The rule
checked is simple and conservative: a function that makes such a call uses
no vector register at all.

    python tools/check_tls_calls.py BUILD_DIR [OBJDUMP]

exits 1 naming each offending function, 2 when no descriptor call was found
(nothing was checked: the build reads the value some other way).
"""
import os
import re
import subprocess
import sys

INSN = re.compile(r"^\s*[0-9a-f]+:\t(.*)$", re.M)  # not the relocation lines
CALL = re.compile(r"R_(X86_64|AARCH64)_TLSDESC_CALL")
VECTOR = {
    "X86_64": re.compile(r"%[xyz]mm\d|%k[0-7]\b"),
    # aarch64: SIMD/FP and SVE registers as operands (b0, h0, s0, d0, q0, v0,
    # z0, p0 predicates); general registers are x0/w0.
    "AARCH64": re.compile(r"(?<![\w.])(?:[bhsdqvz]\d{1,2}|p(?:1[0-5]|\d))(?:\.\w+)?\b"),
}


def functions(path, objdump):
    out = subprocess.run([objdump, "-dr", "--no-show-raw-insn", path], capture_output=True,
                         text=True, check=True).stdout
    for chunk in re.split(r"\n(?=[0-9a-f]+ <)", out):
        m = re.match(r"[0-9a-f]+ <(.*)>:", chunk)
        if m:
            yield m.group(1), chunk


def main(argv):
    build = argv[1]
    objdump = argv[2] if len(argv) > 2 else "objdump"
    objects = [os.path.join(d, f) for d, _, fs in os.walk(build) for f in fs if f.endswith(".o")]
    calls = bad = 0
    for path in sorted(objects):
        for name, body in functions(path, objdump):
            m = CALL.search(body)
            if not m:
                continue
            calls += 1
            hits = [m2.group(1).strip() for m2 in INSN.finditer(body)
                    if VECTOR[m.group(1)].search(m2.group(1))]
            if hits:
                bad += 1
                print(f"{os.path.basename(path)}: {name}: vector registers beside a TLS "
                      f"descriptor call: {hits[:3]}")
    if calls == 0:
        print(f"no TLS descriptor call in {len(objects)} object files under {build}")
        return 2
    print(f"{calls} functions with TLS descriptor calls, {bad} using vector registers")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
