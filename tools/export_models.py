"""Exports real architectures from torchvision and torch.nn to ONNX, the way a user's exporter writes them.

Run by `tools/export-models` inside its own virtual environment (torch and torchvision are never
installed by the project's setup or CI):

    tools/export-models OUTDIR [--set issue|others|small|all] [--opset 17] [--only NAME,...] [--dry-run]

Every model is built with random weights from a fixed seed, then made input-sensitive before export:
parameters that the architecture initialises to zero (a classifier head, the last BatchNorm of a
residual branch) are redrawn, BatchNorm running statistics are calibrated on random batches, and,
where the outputs still barely move with the input, the bias of the head is moved so that each output
averages zero over random inputs: a reference whose outputs barely depend on the input proves nothing.
The sensitivity printed for each model is the spread of the difference of the outputs for two random
inputs relative to the spread of the outputs (about 1.4 for independent outputs); a figure below
MIN_SENSITIVITY is flagged. Export: TorchScript-based exporter (`dynamo=False`), static shapes, batch
1, the raw exporter output with no further simplification. Each model NAME gives OUTDIR/NAME.onnx and
OUTDIR/NAME.npz (the input under its graph input's name, and the reference outputs).
"""
import argparse
import sys
import time
from pathlib import Path

import numpy as np
import torch
import torch.nn as nn
import torchvision.models as tvm
from torchvision.models.convnext import CNBlockConfig, ConvNeXt
from torchvision.models.efficientnet import EfficientNet, _efficientnet_conf
from torchvision.models.mobilenetv3 import MobileNetV3, _mobilenet_v3_conf
from torchvision.models.resnet import BasicBlock, Bottleneck, ResNet
from torchvision.models.shufflenetv2 import ShuffleNetV2
from torchvision.models.swin_transformer import SwinTransformer
from torchvision.models.vision_transformer import VisionTransformer

SEED = 20261206
# Below this, two random inputs give nearly the same outputs and a reference proves little (independent
# outputs give about 1.4).
MIN_SENSITIVITY = 0.2


class EncoderNet(nn.Module):
    """torch.nn.TransformerEncoder (batch_first) over token embeddings of a fixed length."""

    def __init__(self, d_model=256, nhead=8, layers=2, ff=512, norm_first=False):
        super().__init__()
        layer = nn.TransformerEncoderLayer(d_model, nhead, ff, dropout=0.1, batch_first=True, norm_first=norm_first)
        self.encoder = nn.TransformerEncoder(layer, layers, enable_nested_tensor=False)

    def forward(self, x):
        return self.encoder(x)


def _narrow_resnet(block, widths=(8, 16, 32, 64)):
    """torchvision's ResNet with one block per stage and the stage widths (the class fixes them at 64 to
    512) scaled down, built by the class's own _make_layer."""
    model = ResNet(block, [1, 1, 1, 1], num_classes=10)
    model.inplanes = widths[0]
    model.conv1 = nn.Conv2d(3, widths[0], kernel_size=7, stride=2, padding=3, bias=False)
    model.bn1 = nn.BatchNorm2d(widths[0])
    for k, width in enumerate(widths):
        setattr(model, "layer%d" % (k + 1), model._make_layer(block, width, 1, stride=1 if k == 0 else 2))
    model.fc = nn.Linear(widths[-1] * block.expansion, 10)
    return model


def _vit_small(image=224):
    return VisionTransformer(image_size=image, patch_size=16, num_layers=4, num_heads=6, hidden_dim=192,
                             mlp_dim=768, num_classes=1000)


def _mnv3(arch, width):
    settings, last = _mobilenet_v3_conf(arch, width_mult=width)
    return MobileNetV3(settings, last, num_classes=10)


def _effnet(width, depth):
    settings, last = _efficientnet_conf("efficientnet_b0", width_mult=width, depth_mult=depth)
    return EfficientNet(settings, 0.2, last_channel=last, num_classes=10)


# name -> (builder, input shape)
ISSUE = {
    "resnet18": (lambda: tvm.resnet18(), [1, 3, 224, 224]),
    "mobilenet_v3_small": (lambda: tvm.mobilenet_v3_small(), [1, 3, 224, 224]),
    "efficientnet_b0": (lambda: tvm.efficientnet_b0(), [1, 3, 224, 224]),
    "convnext_tiny": (lambda: tvm.convnext_tiny(), [1, 3, 224, 224]),
    "swin_t": (lambda: tvm.swin_t(), [1, 3, 224, 224]),
    "vit_small": (_vit_small, [1, 3, 224, 224]),
    "shufflenet_v2": (lambda: tvm.shufflenet_v2_x1_0(), [1, 3, 224, 224]),
    "transformer_encoder": (lambda: EncoderNet(), [1, 50, 256]),
}

# Architectures of the same families that the issue does not name: the converter must not be
# fitted to the list above.
OTHERS = {
    "resnet50": (lambda: tvm.resnet50(), [1, 3, 224, 224]),
    "mobilenet_v2": (lambda: tvm.mobilenet_v2(), [1, 3, 224, 224]),
    "mobilenet_v3_large": (lambda: tvm.mobilenet_v3_large(), [1, 3, 224, 224]),
    "efficientnet_b1": (lambda: tvm.efficientnet_b1(), [1, 3, 240, 240]),
    "regnet_y_400mf": (lambda: tvm.regnet_y_400mf(), [1, 3, 224, 224]),
    "mnasnet0_5": (lambda: tvm.mnasnet0_5(), [1, 3, 224, 224]),
    "squeezenet1_1": (lambda: tvm.squeezenet1_1(), [1, 3, 224, 224]),
    "densenet121": (lambda: tvm.densenet121(), [1, 3, 224, 224]),
    "shufflenet_v2_x0_5": (lambda: tvm.shufflenet_v2_x0_5(), [1, 3, 224, 224]),
    "swin_v2_t": (lambda: tvm.swin_v2_t(), [1, 3, 256, 256]),
    "vit_b_16": (lambda: tvm.vit_b_16(), [1, 3, 224, 224]),
    "transformer_encoder_prenorm": (lambda: EncoderNet(d_model=128, nhead=4, layers=3, ff=256, norm_first=True),
                                    [1, 32, 128]),
}

# Reduced widths of the same classes, small enough to commit for CI (a few MB in all).
SMALL = {
    "resnet_small": (lambda: _narrow_resnet(BasicBlock), [1, 3, 64, 64]),
    "resnet_bottleneck_small": (lambda: _narrow_resnet(Bottleneck), [1, 3, 64, 64]),
    "mobilenet_v3_small_small": (lambda: _mnv3("mobilenet_v3_small", 0.25), [1, 3, 64, 64]),
    "efficientnet_small": (lambda: _effnet(0.25, 0.25), [1, 3, 64, 64]),
    "convnext_small": (lambda: ConvNeXt([CNBlockConfig(16, 32, 1), CNBlockConfig(32, 64, 1), CNBlockConfig(64, None, 1)],
                                       num_classes=10), [1, 3, 64, 64]),
    "swin_small": (lambda: SwinTransformer(patch_size=[4, 4], embed_dim=16, depths=[2, 2], num_heads=[2, 4],
                                           window_size=[4, 4], num_classes=10), [1, 3, 64, 64]),
    "vit_tiny": (lambda: VisionTransformer(image_size=32, patch_size=8, num_layers=2, num_heads=2, hidden_dim=32,
                                           mlp_dim=64, num_classes=10), [1, 3, 32, 32]),
    "shufflenet_small": (lambda: ShuffleNetV2([1, 1, 1], [8, 16, 32, 64, 128], num_classes=10), [1, 3, 64, 64]),
    "transformer_encoder_small": (lambda: EncoderNet(d_model=32, nhead=4, layers=2, ff=64), [1, 16, 32]),
}

SETS = {"issue": ISSUE, "others": OTHERS, "small": SMALL}


def redraw_zero_parameters(model):
    """Parameters an architecture starts at zero (heads, residual-branch norms) make outputs constant."""
    for name, p in model.named_parameters():
        if p.dim() >= 1 and not name.endswith("bias") and torch.count_nonzero(p) == 0:
            with torch.no_grad():
                if p.dim() == 1:
                    p.uniform_(0.5, 1.5)
                else:
                    nn.init.normal_(p, std=1.0 / max(1, p[0].numel()) ** 0.5)


def calibrate_batchnorm(model, shape, batches=4):
    """Running statistics of the activations themselves, so that BatchNorm neither explodes nor flattens."""
    norms = [m for m in model.modules() if isinstance(m, nn.modules.batchnorm._BatchNorm)]
    if not norms:
        return
    for m in norms:
        m.reset_running_stats()
        m.momentum = None  # cumulative average over the calibration batches
    model.train()
    with torch.no_grad():
        for _ in range(batches):
            model(torch.randn([8] + shape[1:]))
    model.eval()


def center_head(model, shape, batches=4):
    """Moves the bias of the last layer with one (the head) so that each of its outputs averages zero over
    random inputs. Random weights can give every class a large offset shared by all inputs (positive
    features times random weights), which hides what depends on the input."""
    layers = [m for m in model.modules() if isinstance(m, (nn.Linear, nn.Conv2d)) and m.bias is not None]
    if not layers:
        return
    head, seen = layers[-1], []
    hook = head.register_forward_hook(lambda module, args, out: seen.append(out.detach()))
    with torch.no_grad():
        for _ in range(batches):
            model(torch.randn([8] + shape[1:]))
        hook.remove()
        out = torch.cat(seen).movedim(-1 if isinstance(head, nn.Linear) else 1, 0)
        head.bias -= out.reshape(out.shape[0], -1).mean(1)


def sensitivity(model, shape):
    """How much the outputs move between two random inputs, relative to their spread."""
    with torch.no_grad():
        a = model(torch.randn(shape))
        b = model(torch.randn(shape))
    return float((a - b).std() / (a.std() + 1e-12))


def export_onnx(model, x, path, opset):
    """Exports at `opset`, or at the first later opset that can express every operator of the model
    (attention is written as one operator from opset 14 on); returns the opset used."""
    for version in range(opset, 18):
        try:
            torch.onnx.export(model, (x,), str(path), dynamo=False, opset_version=version, input_names=["input"],
                              output_names=["output"], do_constant_folding=True)
            return version
        except torch.onnx.errors.UnsupportedOperatorError:
            if version == 17:
                raise
    return opset


def export(name, builder, shape, outdir, opset, dry_run=False):
    torch.manual_seed(SEED)
    np.random.seed(SEED)
    model = builder()
    redraw_zero_parameters(model)
    calibrate_batchnorm(model, shape)
    model.eval()
    sens = sensitivity(model, shape)
    if sens < MIN_SENSITIVITY:
        # Centring costs precision (the outputs become small differences of large sums), so only where needed.
        center_head(model, shape)
        sens = sensitivity(model, shape)
    if sens < MIN_SENSITIVITY:
        print("%s: the outputs barely depend on the input (sensitivity %.3f)" % (name, sens), file=sys.stderr)
    if dry_run:
        print("%-30s %-16s sensitivity %.3f" % (name, shape, sens), flush=True)
        return
    x = torch.randn(shape)
    with torch.no_grad():
        y = model(x)
    path = outdir / ("%s.onnx" % name)
    start = time.perf_counter()
    # Exported with gradients enabled: under no_grad, attention layers take a fused fast path that the
    # exporter cannot write.
    used = export_onnx(model, x, path, opset)
    seconds = time.perf_counter() - start
    np.savez(outdir / ("%s.npz" % name), input=x.numpy(), output=y.numpy())
    print("%-30s %-16s %6.1f MB  sensitivity %.3f  %.1f s%s" % (
        name, shape, path.stat().st_size / 1e6, sens, seconds,
        "" if used == opset else "  (opset %d: the model needs it)" % used), flush=True)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("outdir")
    p.add_argument("--set", default="issue", choices=["issue", "others", "small", "all"])
    p.add_argument("--opset", type=int, default=17)
    p.add_argument("--only", default="", help="comma-separated model names")
    p.add_argument("--dry-run", action="store_true", help="print each model's sensitivity, export nothing")
    args = p.parse_args(argv)
    outdir = Path(args.outdir)
    outdir.mkdir(parents=True, exist_ok=True)
    chosen = {}
    for set_name in (SETS if args.set == "all" else [args.set]):
        chosen.update(SETS[set_name])
    only = [n for n in args.only.split(",") if n]
    unknown = [n for n in only if n not in chosen]
    if unknown:
        sys.exit("unknown model(s) %s (choose from %s)" % (", ".join(unknown), ", ".join(chosen)))
    for name, (builder, shape) in chosen.items():
        if not only or name in only:
            export(name, builder, shape, outdir, args.opset, args.dry_run)


if __name__ == "__main__":
    main()
