"""Rule libraries of the converter; `dims` is the compiled dimension-rule module."""
