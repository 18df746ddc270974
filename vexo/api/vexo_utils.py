def seperate_independent_part_for_reshape(i, o): raise NotImplementedError
def squeeze_broadcast_dims(a, b): raise NotImplementedError
def align_sub_c(ir): return 16
def gen_gather_for_change_split_shape(*a, **k): raise NotImplementedError
