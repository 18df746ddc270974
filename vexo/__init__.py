"""vexo: model converter pieces around the dimension rules (vexo.api.rules.dims)."""
