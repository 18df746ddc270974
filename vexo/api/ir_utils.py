def get_reduce_axes(ir, node): raise NotImplementedError
def set_reduce_axes(ir, node, axes): raise NotImplementedError
def set_split_split(*a, **k): raise NotImplementedError
def node_name_join(ir, base, suffix): raise NotImplementedError
def make_node_reduce(*a, **k): raise NotImplementedError
