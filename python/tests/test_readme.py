"""The README's Python snippet runs as written, from the repository's top directory, and gives what
its comments say."""

import re

import numpy as np

from conftest import SOURCE_DIR


def readme_snippet():
    python = SOURCE_DIR.joinpath("README.md").read_text().split("\n## Python\n", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"```python\n(.*?)```", python, re.S)
    assert len(blocks) == 1, "one Python snippet in the README's Python section"
    return blocks[0]


def test_the_readme_snippet_runs_and_gives_what_its_comments_say(monkeypatch):
    monkeypatch.chdir(SOURCE_DIR)
    names = {}
    exec(compile(readme_snippet(), "README.md", "exec"), names)
    assert names["K"].shape == (3, 3) and names["d"].shape == (8,)
    assert names["pixels"].shape == (1, 2) and names["rays"].shape == (1, 3)
    assert names["undistorted"].shape == (960, 1280, 3)
    assert names["fit"].rms_px < 1e-3 and names["fit"].camera_from_target.shape == (5, 4, 4)
    assert names["sigma"].shape == (960 // 32, 1280 // 32)
    assert np.allclose(names["rig"].camera_from_reference[1][:3, 3], [-0.1, 0, 0], atol=1e-6)
