"""Host side of the converter: IR graph, node builder, helper functions, logger."""
