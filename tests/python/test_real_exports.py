"""Small exports of real torchvision and torch.nn architectures (tools/export-models --set small), converted
with the default tables and checked against the original and the torch reference; nothing is left off rank 4."""
from pathlib import Path

import pytest

from vexo.runtime_check import check_export

EXPORTS = sorted((Path(__file__).parents[2] / "fixtures" / "exports").glob("*.onnx"))
assert EXPORTS, "fixtures/exports holds no models"


@pytest.mark.parametrize("path", EXPORTS, ids=[p.stem for p in EXPORTS])
def test_a_real_export_converts_and_verifies(path):
    figures = check_export(path, path.with_suffix(".npz"))
    assert not figures["problems"], figures
    assert figures["off_rank_after"] == 0, figures
