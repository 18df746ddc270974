"""A rule call that fails at any write leaves the graph exactly as it was, and the run goes on.

Every rule call of a conversion is replayed with a fault injected after its
first write, then after its second, and so on, until the call runs to its end
without reaching the fault; only that last, clean attempt counts. A write is
anything the graph journals (constants, shapes, attributes, node ports, nodes
added or removed, weights_for_align) or a write to the quantization table. After
each faulted attempt the whole state must equal the state before the call, and
the failure must be recorded with the entry, the node and the message.
"""
import collections
import copy

import pytest

import vexo.api.rules.dims as dims
from vexo import cleanup
from vexo.api.ir_graph import IrGraph
from vexo.convert import extra_table
from vexo.engine import Engine, QuantTable
from vexo.models import SUITE
from vexo.testing import assert_equivalent

from rule_models import aligned_concat_split_model, four_d_fixups_model, nd_model


class InjectedFault(Exception):
    pass


class Faults:
    """Counts the writes of one attempt and raises once, right after write number `at`."""

    def __init__(self):
        self.at, self.count, self.fired = None, 0, False

    def arm(self, at):
        self.at, self.count, self.fired = at, 0, False

    def tick(self):
        self.count += 1
        if self.count == self.at:
            self.fired = True
            raise InjectedFault("fault at write %d" % self.at)


class FaultyQuantTable(QuantTable):
    def __init__(self, faults, values):
        super().__init__(values)
        self.faults = faults

    def __setitem__(self, key, value):
        super().__setitem__(key, value)
        self.faults.tick()


def snapshot(ir, quant_tab):
    """Everything a rule call may change, in comparable form.

    A tensor's consumers are compared as a set: undoing a rewire may list them in another order.
    """
    tensors = sorted(ir.tensor_names() | set(ir.consts))
    return {
        "model": ir.to_model().SerializeToString(),
        "nodes": sorted((n.name, n._uid) for n in ir.nodes),  # the same node objects, not copies
        "shapes": {t: (ir.get_shape(t), str(ir.get_dtype(t))) for t in tensors},
        "consts": {t: (v.dtype.str, v.shape, v.tobytes()) for t, v in ir.consts.items()},
        "edges": {t: (getattr(ir.producer(t), "name", None), sorted(n.name for n in ir.consumers(t)))
                  for t in tensors},
        "weights_for_align": list(ir.weights_for_align),
        "quant_tab": copy.deepcopy(dict(quant_tab)),
    }


class ProbingEngine(Engine):
    """Replays each rule call with a fault at every write position before letting it run."""

    def __init__(self, ir, quant_tab):
        super().__init__(ir, quant_tab)
        self.faults = ir.faults
        self.probed = collections.Counter()  # entry -> faulted attempts

    def call(self, table_name, entry_name, rule, chain):
        at = 1
        while True:
            before = snapshot(self.ir, self.quant_tab)
            recorded = len(self.failures)
            self.faults.arm(at)
            try:
                revisit = super().call(table_name, entry_name, rule, chain)
            finally:
                fired, self.faults.at = self.faults.fired, None
            if not fired:
                return revisit
            after = snapshot(self.ir, self.quant_tab)
            for key in before:
                assert after[key] == before[key], "%s on '%s', fault at write %d: %s not restored" % (
                    entry_name, chain[0].name, at, key)
            assert revisit is None
            [failure] = self.failures[recorded:]
            assert (failure.table, failure.entry, failure.node, failure.message) == (
                table_name, entry_name, chain[0].name, "InjectedFault: fault at write %d" % at)
            del self.failures[recorded:]
            self.probed[entry_name] += 1
            at += 1


def convert_with(engine_cls, model, quant, extras, **config):
    """The converter's rule phase (constants unshared, tables in order) with the given engine."""
    ir = IrGraph(model, **config)
    faults = ir.faults = Faults()
    ir._on_write = faults.tick  # every journaled write of the graph passes here
    engine = engine_cls(ir, FaultyQuantTable(faults, quant))
    cleanup.unshare_constants(ir)
    fired = collections.Counter()
    for name in ("fuse_dims", "cvt_dims", "extra_dims", "hw_dims"):
        table = extra_table(extras) if name == "extra_dims" else getattr(dims, name)
        fired.update(engine.run_table(name, table).fired)
    return ir, engine, fired


# ---------------------------------------------------------------- models, one or more per rule family

CASES = {
    # family: [(model builder, extra rules, quantization table, config, entries that must be probed)]
    "rank raising": [(SUITE["audio_net"][0], "", {}, {},
                      {"unsqueeze_to_4d_conv", "unsqueeze_to_4d_bn", "unsqueeze_to_4d_maxpool",
                       "unsqueeze_to_4d_matmul", "input_align_4D_add"})],
    "rank lowering": [(SUITE["yolo_head"][0], "squeeze_to_4d_transpose", {}, {},
                       {"squeeze_to_4d_sigmoid", "squeeze_to_4d_slice", "squeeze_to_4d_mul", "squeeze_to_4d_concat"})],
    "N-D merging": [(nd_model, "", {}, {},
                     {"squeeze_nd_add", "squeeze_nd_transpose", "squeeze_nd_exsoftmax13", "squeeze_nd_matmul",
                      "merge_dims_and_convert_ND_to_4D_split", "merge_dims_and_convert_ND_to_4D_concat",
                      "squeeze_nd_bn", "squeeze_nd_expand", "squeeze_nd_mul"}),
                    (SUITE["pixel_shuffle"][0], "", {}, {}, {"squeeze_1_in_nd_transpose"})],
    "lowering": [(SUITE["reduction_mix"][0], "reduce_mean_to_avgpool", {}, {},
                  {"convert_reduce_sum_to_conv", "convert_tile_to_expand", "convert_reduce_L2_to_pow_sum_pow",
                   "convert_keepdims_to_1_reducemean", "convert_keepdims_to_1_argmax", "keepdims_gather",
                   "gather_to_conv", "eliminate_mul_redundancy_const_dim"}),
                 (four_d_fixups_model, "1x1_resize_to_tile,broadcast_mul_expand,swap_concat_axis", {}, {},
                  {"fix_exsoftmax_axis", "1x1_resize_to_tile", "broadcast_mul_expand", "swap_concat_axis",
                   "input_output_align_nd_expand", "convert_expand_to_gather_before_rs",
                   "unsqueeze_to_4d_reshape_with_elementwise_op"})],
    "layout and window": [(SUITE["swin_block"][0], "", {}, {}, {"fuse_reshape_tp_reshape_to_exWindow"}),
                          (aligned_concat_split_model, "concat_to_conv_concat,split_to_conv_split",
                           {"r0": {"scale": 0.5}, "cat": {"scale": 0.25}, "s": {"scale": 0.125}},
                           {"channel_align": 8}, {"concat_to_conv_concat", "split_to_conv_split"}),
                          (SUITE["nhwc_tf"][0], "tf_nhwc_to_nchw", {}, {}, {"tf_nhwc_to_nchw"})],
}


@pytest.mark.parametrize("family", CASES)
def test_a_fault_at_any_write_of_a_rule_call_is_rolled_back(family):
    for build, extras, quant, config, entries in CASES[family]:
        model = build()
        ir, engine, fired = convert_with(ProbingEngine, model, dict(quant), extras, **config)
        missing = entries - set(engine.probed)
        assert not missing, "%s: entries never probed: %s" % (build.__name__, sorted(missing))
        # The run went on as it would have without faults.
        clean_ir, clean_engine, clean_fired = convert_with(Engine, model, dict(quant), extras, **config)
        assert fired == clean_fired and not engine.failures and not clean_engine.failures
        got, want = snapshot(ir, engine.quant_tab), snapshot(clean_ir, clean_engine.quant_tab)
        assert {k: v for k, v in got.items() if k != "nodes"} == {k: v for k, v in want.items() if k != "nodes"}
        assert_equivalent(model, ir.to_model())


def test_writes_to_the_quantization_table_and_weights_for_align_are_probed():
    build, extras, quant, config, _ = CASES["layout and window"][1]
    ir, engine, _ = convert_with(ProbingEngine, build(), dict(quant), extras, **config)
    # Aligned tensors took over the quantization of their sources; the Concat's two padding weights and its
    # gathering weight were listed once each.
    assert len(engine.quant_tab) == 2 * len(quant) and len(ir.weights_for_align) == 3
    assert engine.probed["concat_to_conv_concat"] > 10 and engine.probed["split_to_conv_split"] > 10
