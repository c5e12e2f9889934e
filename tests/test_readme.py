"""Every code block of the README runs: the Python blocks as they are, the command lines
through this interpreter."""

import os
import pathlib
import re
import shlex
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text()


def _blocks(language):
    return re.findall(rf"^```{language}\n(.*?)^```", README, flags=re.M | re.S)


PYTHON = _blocks("python")
COMMANDS = [line for block in _blocks("sh") for line in block.splitlines() if line.strip()]


def test_readme_fits_on_a_screen_and_its_links_resolve():
    assert len(README.splitlines()) <= 200
    assert len(PYTHON) >= 2 and COMMANDS
    for target in re.findall(r"\]\(([^)#]+)(?:#[^)]*)?\)", README):
        if "://" not in target:
            assert (ROOT / target).exists(), target


# torchvision and transformers models: the real architectures of the zoo marker
@pytest.mark.zoo
@pytest.mark.parametrize("index", range(len(PYTHON)))
def test_python_block_runs(index, tmp_path, monkeypatch, capsys):
    code = PYTHON[index]
    if "transformers" in code:
        pytest.importorskip("transformers")
    monkeypatch.chdir(tmp_path)  # the blocks write their files here
    exec(compile(code, f"README.md python block {index}", "exec"), {"__name__": "__readme__"})
    out = capsys.readouterr().out
    assert "check passed" in out
    assert any(tmp_path.iterdir()), "the block saves its result"


@pytest.mark.parametrize(
    "index",
    [
        pytest.param(i, marks=pytest.mark.zoo) if "--model" in line else i
        for i, line in enumerate(COMMANDS)
    ],
)
def test_command_line_runs(index, tmp_path):
    line = COMMANDS[index].split("#", 1)[0]
    words = shlex.split(line)
    assert words[:3] == ["python", "-m", "tavrix"], line
    env = dict(os.environ, PYTHONPATH=str(ROOT / "src"), OMP_NUM_THREADS="1")
    done = subprocess.run(
        [sys.executable, *words[1:]],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert done.returncode == 0, done.stderr[-2000:]
