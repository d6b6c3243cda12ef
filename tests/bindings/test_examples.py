# The C#, Free Pascal and Java examples, each built into a register folder with its own copy of the
# library and run against the simulated terminal: a purchase through BankTrans, then one through the facade.
# Every binding's field table (VB6's too, which nothing compiles here) is checked against the C header.
import os
import re
import subprocess

import pytest

from conftest import RECEIPT, ROOT

B = os.path.join(ROOT, "bindings")
JNA = os.environ.get("KORVESSA_JNA", "/usr/share/java/jna.jar")
# (build commands, run command, encoding of the output). Pascal prints the library's GBK bytes as they are.
EXAMPLES = {
    "csharp": ([["mcs", "-warn:4", "-warnaserror", "-out:Example.exe",
                 f"{B}/csharp/KorvessaDLL.cs", f"{B}/csharp/Example.cs"]],
               ["mono", "Example.exe"], "utf-8"),
    "pascal": ([["mkdir", "units"],
                ["fpc", "-Mdelphi", "-Sew", "-FE.", "-FUunits", f"-Fu{B}/pascal", "-Fl.", "-k-rpath=$ORIGIN",
                 f"{B}/pascal/Example.dpr"]],
               ["./Example"], "gbk"),
    "java": ([["javac", "-Xlint:all", "-Werror", "-cp", JNA, "-d", ".",
               f"{B}/java/KorvessaDLL.java", f"{B}/java/Example.java"]],
             ["java", "-cp", ".:" + JNA, "Example"], "utf-8"),
}

EXPECTED = """BankTrans 0
rejCode 00
amount 000000012345
cardNumber 6222021234567890123
reply127 测试发卡行
posTraceNumber 000123
reserved XYZ
facade rejCode 00
facade rejCodeExplain 交易成功
facade cardNumber 6222021234567890123
"""


@pytest.mark.parametrize("language", sorted(EXAMPLES))
def test_example_purchase(register, terminal, language):
    builds, run, encoding = EXAMPLES[language]
    terminal()
    env = dict(os.environ, LC_ALL="C.UTF-8")  # with the terminal's line as KORVESSA_COM7
    for cmd in builds:
        built = subprocess.run(cmd, cwd=register, env=env, capture_output=True, text=True, timeout=600)
        assert built.returncode == 0, built.stdout + built.stderr
    ran = subprocess.run(run, cwd=register, env=env, capture_output=True, timeout=120)
    assert ran.stdout.decode(encoding, errors="replace") == EXPECTED, ran.stderr.decode(errors="replace")
    assert ran.returncode == 0
    with open(register / "receipts" / "print.txt", "rb") as f:
        assert f.read() == RECEIPT


def header_layout():
    with open(os.path.join(ROOT, "include", "KorvessaDLL.h")) as f:
        text = f.read()
    layout = {}
    for rec, name, off, width in re.findall(r"#define KV_(REQ|RSP)_(\w+) (\d+)\n#define KV_\1_\2_LEN (\d+)", text):
        if name != "gap":
            layout[(rec, name.lower())] = (int(off), int(width))
    assert len(layout) == 14 + 20
    return layout


# Field tables of each binding, as (REQ|RSP, name, offset, width); VB6 is checked here only.
LAYOUTS = {
    "csharp": ("csharp/KorvessaDLL.cs", r"(\w+) = new Field\((\d+), (\d+)\)"),
    "java": ("java/KorvessaDLL.java", r"(REQ|RSP)_(\w+) = \{(\d+), (\d+)\}"),
    "pascal": ("pascal/KorvessaDLL.pas", r"(REQ|RSP)_(\w+): TKorvessaField = \(Offset: (\d+); Width: (\d+)\)"),
    "vb6": ("vb6/KorvessaDLL.bas", r"(REQ|RSP)_(\w+) = (\d+), \1_\2_LEN = (\d+)"),
}


@pytest.mark.parametrize("language", sorted(LAYOUTS) + ["python"])
def test_layouts_match_header(language):
    if language == "python":
        import korvessa
        got = [("REQ",) + f[1:] for f in korvessa.REQUEST_FIELDS] + \
              [("RSP",) + f[1:] for f in korvessa.RESPONSE_FIELDS]
    else:
        path, pattern = LAYOUTS[language]
        with open(os.path.join(B, path)) as f:
            text = f.read()
        if language == "csharp":  # the Req class, then the Rsp class
            req, rsp = text.split("class Rsp")
            got = [("REQ",) + m for m in re.findall(pattern, req)] + [("RSP",) + m for m in re.findall(pattern, rsp)]
        else:
            got = re.findall(pattern, text)
    assert {(r, n.lower()): (int(o), int(w)) for r, n, o, w in got} == header_layout()
    assert len(got) == 34
