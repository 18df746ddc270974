"""vexo: model converter pieces around the dimension rules (vexo.api.rules.dims).

`vexo.convert_model(model_or_path, ...)` converts a model and returns (converted model, Report)."""

_API = {"convert_model": "vexo.convert", "ConversionError": "vexo.convert", "Report": "vexo.report"}


def __getattr__(name):
    # The converter is imported on first use, so `import vexo.api.rules.dims` alone stays light.
    if name in _API:
        import importlib
        return getattr(importlib.import_module(_API[name]), name)
    raise AttributeError("module 'vexo' has no attribute %r" % name)
