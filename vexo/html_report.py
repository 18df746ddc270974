"""HTML report: the conversion report plus a before/after picture of every rewritten region.

Regions come from a diff of the two graphs: a node is changed when no node of
the other graph has the same op type, inputs, outputs and attributes. Changed
nodes of both graphs that share tensors form one region; each region is drawn
before and after with Graphviz (`dot -Tsvg`), tensors labelled with their
shapes. Without Graphviz the regions are listed as text.
"""
import html
import shutil
import subprocess

from vexo.api import shape_infer

MAX_REGIONS = 60
MAX_NODES_PER_PICTURE = 40


def _signature(node):
    attrs = tuple(sorted((a.name, a.SerializeToString()) for a in node.attribute))
    return node.op_type, tuple(node.input), tuple(node.output), attrs


def _shapes(model):
    shapes = {}
    for vi in list(model.graph.input) + list(model.graph.value_info) + list(model.graph.output):
        shape, _ = shape_infer.value_info_shape(vi)
        shapes[vi.name] = shape
    for init in model.graph.initializer:
        shapes[init.name] = list(init.dims)
    return shapes


def changed_regions(before, after):
    """[(before nodes, after nodes)] of the regions the conversion rewrote, largest first."""
    sig_before = {_signature(n) for n in before.graph.node}
    sig_after = {_signature(n) for n in after.graph.node}
    changed = [("b", n) for n in before.graph.node if _signature(n) not in sig_after]
    changed += [("a", n) for n in after.graph.node if _signature(n) not in sig_before]
    parent = list(range(len(changed)))

    def find(i):
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i
    owner = {}
    for i, (_, node) in enumerate(changed):
        for t in list(node.input) + list(node.output):
            if not t:
                continue
            if t in owner:
                parent[find(i)] = find(owner[t])
            else:
                owner[t] = i
    groups = {}
    for i, (side, node) in enumerate(changed):
        groups.setdefault(find(i), ([], []))[0 if side == "b" else 1].append(node)
    return sorted(groups.values(), key=lambda g: -(len(g[0]) + len(g[1])))


def _dot(nodes, shapes, consts):
    lines = ["digraph g {", "rankdir=TB; node [fontname=Helvetica fontsize=10];"]
    tensors = {}
    for node in nodes[:MAX_NODES_PER_PICTURE]:
        nid = "n%d" % id(node)
        lines.append('%s [shape=box style="rounded,filled" fillcolor="#dbe8f7" label="%s\\n%s"];'
                     % (nid, html.escape(node.op_type), html.escape(node.name[:40])))
        for t in node.input:
            if t and t not in consts:
                tensors.setdefault(t, "t%d" % len(tensors))
                lines.append("%s -> %s;" % (tensors[t], nid))
        for t in node.output:
            if t:
                tensors.setdefault(t, "t%d" % len(tensors))
                lines.append("%s -> %s;" % (nid, tensors[t]))
    for t, tid in tensors.items():
        shape = shapes.get(t)
        lines.append('%s [shape=plaintext fontsize=9 label="%s\\n%s"];'
                     % (tid, html.escape(t[:40]), "?" if shape is None else shape))
    if len(nodes) > MAX_NODES_PER_PICTURE:
        lines.append('more [shape=plaintext label="... %d more nodes"];' % (len(nodes) - MAX_NODES_PER_PICTURE))
    lines.append("}")
    return "\n".join(lines)


def _render(dot_source):
    dot = shutil.which("dot")
    if dot is None:
        return None
    try:
        out = subprocess.run([dot, "-Tsvg"], input=dot_source.encode(), capture_output=True, timeout=60, check=True)
    except (subprocess.SubprocessError, OSError):
        return None
    svg = out.stdout.decode("utf-8", "replace")
    return svg[svg.find("<svg"):]


def _picture(nodes, shapes, consts):
    if not nodes:
        return "<p><i>nothing</i></p>"
    svg = _render(_dot(nodes, shapes, consts))
    if svg is not None:
        return svg
    items = "".join("<li>%s %s: %s &rarr; %s</li>" % (html.escape(n.op_type), html.escape(n.name),
                                                      html.escape(", ".join(n.input)), html.escape(", ".join(n.output)))
                    for n in nodes)
    return "<ul>%s</ul>" % items


def write_html(report, before, after, path):
    shapes_b, shapes_a = _shapes(before), _shapes(after)
    consts_b = {i.name for i in before.graph.initializer}
    consts_a = {i.name for i in after.graph.initializer}
    regions = changed_regions(before, after)
    parts = ["<!doctype html><html><head><meta charset='utf-8'><title>vexo conversion report</title>",
             "<style>body{font-family:sans-serif;margin:2em} pre{background:#f6f6f6;padding:1em} "
             "table.r{border-collapse:collapse} table.r td{vertical-align:top;border:1px solid #ccc;padding:.5em}"
             "</style></head><body>",
             "<h1>vexo conversion report</h1>",
             "<pre>%s</pre>" % html.escape("\n".join(report.lines())),
             "<h2>Rewritten regions (%d)</h2>" % len(regions)]
    if shutil.which("dot") is None:
        parts.append("<p>Graphviz is not installed: regions are listed as text.</p>")
    for k, (old, new) in enumerate(regions[:MAX_REGIONS]):
        title = ", ".join(sorted({n.op_type for n in old})) or "new nodes"
        parts.append("<h3>Region %d: %s</h3><table class='r'><tr><th>before</th><th>after</th></tr><tr>"
                     "<td>%s</td><td>%s</td></tr></table>"
                     % (k + 1, html.escape(title), _picture(old, shapes_b, consts_b), _picture(new, shapes_a, consts_a)))
    if len(regions) > MAX_REGIONS:
        parts.append("<p>%d more regions not drawn.</p>" % (len(regions) - MAX_REGIONS))
    parts.append("</body></html>")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(parts))
