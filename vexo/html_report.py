"""HTML report: a summary, the operators left off rank 4, and a small before/after picture per rewrite site.

The page is built from the Report and two onnx.ModelProtos: the graph the rules
started from ("before") and the converted graph ("after").

A rewrite site is one applied rule call (`report.applied`). Later calls may
rewrite its nodes again and the clean-up may remove them, and the graphs in
between are not kept, so a site is drawn from the two end points:

* before: the nodes of the starting graph that the call's nodes descend from
  (a node added by a call descends from the nodes that call matched, removed
  or rewrote);
* after: the nodes of the converted graph that descend from the call's nodes;
  when none is left (the clean-up removed them all), the nodes of the
  converted graph that read or write the tensors of the "before" nodes.

Each side shows those nodes, bold, and their immediate neighbours, dashed,
with the tensors between them labelled by shape. Pictures are bounded in
number and size and laid out by one Graphviz process for the whole page;
without Graphviz the regions are listed as text.
"""
import collections
import html
import re
import shutil
import subprocess

from vexo.api import shape_infer
from vexo.report import VIEW_OPS, sees_off_rank

SITES_PER_ENTRY = 6        # pictures per table entry at most
MAX_DRAWN_SITES = 120      # pictures of rewrite sites on the page at most
MAX_LEFT_REGIONS = 40      # pictures of operators left off rank 4 at most
MAX_LISTED = 300           # rows or names listed in one table or list at most
MAX_CORE_NODES = 12        # nodes of a site drawn on one side
MAX_NEIGHBOURS = 10        # neighbours drawn on one side
NAME_CHARS = 26            # names are cut from the left to this length
DOT_TIMEOUT = 120

KINDS = {  # what the NPU sees -> (fill colour, legend)
    "npu4": ("#c8e6c9", "four-dimensional"),
    "off4": ("#ffb74d", "off rank 4"),
    "custom": ("#d1c4e9", "custom ex* operator"),
    "view": ("#eeeeee", "view (Reshape, Squeeze, ...): reinterprets memory"),
}
OFF4_BORDER = "#d84315"


def short(name, limit=NAME_CHARS):
    """`name` cut from the left, so that the distinguishing end stays visible."""
    return name if len(name) <= limit else "\u2026" + name[-(limit - 1):]


class GraphView:
    """Nodes by name, producers, consumers, shapes and constants of one onnx graph."""

    def __init__(self, model):
        graph = model.graph
        self.nodes = {n.name: n for n in graph.node}
        self.order = {n.name: k for k, n in enumerate(graph.node)}
        self.consts = {i.name for i in graph.initializer}
        self.producer, self.consumers = {}, collections.defaultdict(list)
        for node in graph.node:
            for t in node.output:
                if t:
                    self.producer[t] = node.name
            for t in node.input:
                if t:
                    self.consumers[t].append(node.name)
        self.shapes = {}
        for vi in list(graph.input) + list(graph.value_info) + list(graph.output):
            self.shapes[vi.name] = shape_infer.value_info_shape(vi)[0]

    def data_inputs(self, node):
        return [t for t in node.input if t and t not in self.consts]

    def tensors(self, node):
        return self.data_inputs(node) + [t for t in node.output if t]

    def kind(self, node):
        if node.op_type.startswith("ex"):
            return "custom"
        if node.op_type in VIEW_OPS:
            return "view"
        return "off4" if self.off_rank(node) else "npu4"

    def off_rank(self, node):
        return sees_off_rank(node.op_type, [self.shapes.get(t) for t in self.tensors(node)])

    def sorted(self, names):
        return sorted((n for n in set(names) if n in self.nodes), key=self.order.__getitem__)

    def neighbours(self, names):
        """Producers of the nodes' inputs and consumers of their outputs, the nodes themselves excluded."""
        core, found = set(names), []
        for name in names:
            node = self.nodes[name]
            found += [self.producer[t] for t in self.data_inputs(node) if t in self.producer]
            found += [c for t in node.output if t for c in self.consumers.get(t, ())]
        return [n for n in self.sorted(found) if n not in core]

    def touching(self, tensors):
        """Nodes that read or write any of `tensors`."""
        found = [self.producer[t] for t in tensors if t in self.producer]
        found += [c for t in tensors for c in self.consumers.get(t, ())]
        return self.sorted(found)


# ------------------------------------------------------------------ sites


class Site:
    """One applied rule call and the nodes that stand for it in the graphs before and after."""

    def __init__(self, key, call, before, after):
        self.key, self.call, self.before, self.after = key, call, before, after

    @property
    def anchor(self):
        return "site-%d" % self.key

    def signature(self, view_before, view_after):
        return (tuple(sorted(view_before.nodes[n].op_type for n in self.before)),
                tuple(sorted(view_after.nodes[n].op_type for n in self.after)))


def _call_nodes(call):
    return [call.node] + list(call.removed) + list(call.changed)


def trace_sites(applied, before, after):
    """Sites of the applied calls, in order: the nodes of `before` they descend from and the nodes of
    `after` that descend from them."""
    origin = {}          # node made by a call -> names of the starting graph's nodes it descends from
    successors = {}      # node removed by a call -> nodes that call added or rewrote
    for call in applied:
        roots = set()
        for name in _call_nodes(call):
            roots |= origin.get(name, {name} if name in before.nodes else set())
        for name in call.added:
            origin[name] = roots
        for name in call.removed:
            successors[name] = list(call.added) + list(call.changed)
    sites = []
    for key, call in enumerate(applied, 1):
        roots = set()
        for name in _call_nodes(call):
            roots |= origin.get(name, {name} if name in before.nodes else set())
        core_before = before.sorted(roots)
        core_after = _survivors(list(call.added) + _call_nodes(call), successors, after)
        if not core_after:
            core_after = after.touching({t for n in core_before for t in before.tensors(before.nodes[n])})
        sites.append(Site(key, call, core_before, core_after))
    return sites


def _survivors(names, successors, after):
    """The nodes of `after` that `names` are or were replaced by, following later calls."""
    seen, found, todo = set(), [], list(names)
    while todo:
        name = todo.pop()
        if name in seen:
            continue
        seen.add(name)
        if name in after.nodes:
            found.append(name)
        else:
            todo += successors.get(name, ())
    return after.sorted(found)


def sites_to_draw(sites, view_before, view_after):
    """(sites by entry, most rewrites first; keys of the sites to draw): per entry an equal share of
    MAX_DRAWN_SITES, at most SITES_PER_ENTRY, different-looking sites first."""
    by_entry = collections.defaultdict(list)
    for site in sites:
        by_entry[(site.call.table, site.call.entry)].append(site)
    groups = sorted(by_entry.items(), key=lambda kv: -len(kv[1]))
    share = max(1, min(SITES_PER_ENTRY, MAX_DRAWN_SITES // max(1, len(groups))))
    drawn = set()
    for _, group in groups:
        first_of_kind = {}
        for site in group:
            first_of_kind.setdefault(site.signature(view_before, view_after), site)
        picked = list(first_of_kind.values())[:share]
        picked += [s for s in group if s not in picked][:share - len(picked)]
        drawn.update(s.key for s in picked[:MAX_DRAWN_SITES - len(drawn)])
    return groups, drawn


# ------------------------------------------------------------------ pictures


def _quote(text):
    return '"%s"' % str(text).replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def _shape_text(shape):
    return "?" if shape is None else "[%s]" % ",".join("?" if d is None else str(d) for d in shape)


def region_dot(view, core):
    """Graphviz source of `core` (bold) with its neighbours (dashed) and the tensors between them."""
    if not core:
        return None
    hidden_core = max(0, len(core) - MAX_CORE_NODES)
    core = core[:MAX_CORE_NODES]
    neighbours = view.neighbours(core)
    hidden_neighbours = max(0, len(neighbours) - MAX_NEIGHBOURS)
    neighbours = neighbours[:MAX_NEIGHBOURS]
    drawn = set(core) | set(neighbours)
    lines = ["digraph region {", "rankdir=TB; nodesep=0.2; ranksep=0.25; margin=0;",
             "node [fontname=Helvetica fontsize=10 shape=box style=\"rounded,filled\" height=0.3];",
             "edge [arrowsize=0.6 color=\"#555555\"];"]
    ids = {}
    for name in core + neighbours:
        node = view.nodes[name]
        kind = view.kind(node)
        border = OFF4_BORDER if kind == "off4" or (kind == "custom" and view.off_rank(node)) else "#333333"
        style = "rounded,filled" + (",bold" if name in core else ",dashed")
        ids[name] = _quote(name)
        lines.append("%s [label=%s class=%s fillcolor=%s color=%s style=%s tooltip=%s];" % (
            ids[name], _quote("%s\n%s" % (node.op_type, short(name))), _quote("vx-" + kind),
            _quote(KINDS[kind][0]), _quote(border), _quote(style), _quote("%s: %s" % (node.op_type, name))))
    tensor_ids = {}

    def tensor(t):
        if t not in tensor_ids:
            shape = _shape_text(view.shapes.get(t))
            tid = "%s %s" % (t, shape)
            tensor_ids[t] = _quote(tid if tid not in ids else tid + " (tensor)")
            lines.append("%s [shape=plain style=\"\" fontsize=9 class=\"vx-tensor\" label=%s tooltip=%s];"
                         % (tensor_ids[t], _quote("%s\n%s" % (short(t), shape)), _quote(tid)))
        return tensor_ids[t]
    for name in core:
        node = view.nodes[name]
        for t in view.data_inputs(node):
            lines.append("%s -> %s;" % (tensor(t), ids[name]))
            if view.producer.get(t) in drawn and view.producer[t] not in core:
                lines.append("%s -> %s;" % (ids[view.producer[t]], tensor(t)))
        for t in node.output:
            if not t:
                continue
            lines.append("%s -> %s;" % (ids[name], tensor(t)))
            for c in view.consumers.get(t, ()):
                if c in drawn and c not in core:
                    lines.append("%s -> %s;" % (tensor(t), ids[c]))
    hidden = hidden_core + hidden_neighbours
    if hidden:
        lines.append('more [shape=plain style="" fontsize=9 label=%s];'
                     % _quote("... %d more node(s) not drawn" % hidden))
    lines.append("}")
    return "\n".join(lines)


def render_all(sources):
    """SVG of every Graphviz source (None where there is no source), laid out by one `dot` process;
    None when Graphviz is missing or fails."""
    dot = shutil.which("dot")
    wanted = [s for s in sources if s]
    if dot is None:
        return None
    if not wanted:
        return [None] * len(sources)
    try:
        out = subprocess.run([dot, "-Tsvg"], input="\n".join(wanted).encode(), capture_output=True,
                             timeout=DOT_TIMEOUT, check=True)
    except (subprocess.SubprocessError, OSError):
        return None
    svgs = [part[part.find("<svg"):] for part in out.stdout.decode("utf-8", "replace").split("<?xml")[1:]]
    if len(svgs) != len(wanted):
        return None
    it = iter(svgs)
    return [next(it) if s else None for s in sources]


def _text_region(view, core):
    items = "".join("<li>%s <span title='%s'>%s</span></li>" % (
        html.escape(view.nodes[n].op_type), html.escape(n), html.escape(short(n))) for n in core[:MAX_CORE_NODES])
    return "<ul>%s</ul>" % items if items else "<p><i>nothing</i></p>"


class Pictures:
    """Collects the regions of the page, then lays them all out at once."""

    def __init__(self):
        self.pending = []   # (view, core)
        self.svgs = None

    def add(self, view, core):
        """A placeholder for the picture of `core`; escaped text never holds '<', so none can clash."""
        self.pending.append((view, core))
        return "<!--picture %d-->" % (len(self.pending) - 1)

    def fill(self, page):
        self.svgs = render_all([region_dot(view, core) for view, core in self.pending])
        return re.sub(r"<!--picture (\d+)-->", lambda m: self.html(int(m.group(1))), page)

    def html(self, k):
        view, core = self.pending[k]
        if not core:
            return "<p class='none'><i>nothing left here</i></p>"
        if self.svgs is None:
            return _text_region(view, core)
        return "<div class='pic'>%s</div>" % self.svgs[k]


# ------------------------------------------------------------------ page


def _e(value):
    return html.escape(str(value))


def _table(header, rows, cls=""):
    head = "<thead><tr>%s</tr></thead>" % "".join("<th>%s</th>" % _e(h) for h in header) if header else ""
    body = "".join("<tr>%s</tr>" % "".join("<td>%s</td>" % c for c in row) for row in rows)
    return "<table class='%s'>%s<tbody>%s</tbody></table>" % (cls, head, body)


def _name_cell(name):
    return "<span class='name' title='%s'>%s</span>" % (_e(name), _e(short(name, 48)))


def _verdict(report):
    if report.verified is True:
        return "<span class='ok'>outputs match</span>"
    if report.verified is False:
        return "<span class='bad'>outputs DIFFER</span>"
    return _e(report.verify_note or "not run (use --verify)")


def summary_html(report):
    off_before, off_after = sum(report.off_rank_before.values()), sum(report.off_rank_after.values())
    rows = [("model", _e(report.source)), ("written to", _e(report.output or "(not written)")),
            ("nodes", "%d &rarr; %d" % (report.nodes_before, report.nodes_after)),
            ("operators off rank 4", "%d &rarr; <b class='%s'>%d</b>" % (off_before, "bad" if off_after else "ok",
                                                                          off_after)),
            ("verification", _verdict(report)),
            ("rewrites", "%d rule calls applied" % len(report.applied)),
            ("rule errors (rolled back)", str(len(report.failures))),
            ("calls guarded (the rewrite would not be exact)", str(len(report.declines)))]
    if report.repair:
        rows.append(("repair", _e("%d rule call(s) left out, %d conversions" % (len(report.repair.culprits),
                                                                               report.repair.conversions))))
    rows += [("warning", "<span class='bad'>%s</span>" % _e(w)) for w in report.warnings]
    types = sorted(set(report.off_rank_before) | set(report.off_rank_after),
                   key=lambda t: (-report.off_rank_after[t], -report.off_rank_before[t], t))
    by_type = [(_e(t), str(report.off_rank_before[t]),
                "<b class='bad'>%d</b>" % report.off_rank_after[t] if report.off_rank_after[t] else "0")
               for t in types]
    phases = [(_e(k), "%.3f" % v) for k, v in report.phases.items()]
    phases.append(("<b>total</b>", "<b>%.3f</b>" % sum(report.phases.values())))
    tables = [(_e(r.name), str(r.passes), str(r.calls), str(sum(r.fired.values())), "%.3f" % r.seconds)
              for r in report.tables]
    return ("<section id='summary'><h2>Summary</h2><div class='row'>"
            + _table((), rows, "summary")
            + _table(("operators off rank 4 by op type", "before", "after"), by_type, "by-type")
            + _table(("phase", "seconds"), phases, "phases")
            + _table(("table", "passes", "calls", "rewrites", "seconds"), tables, "tables")
            + "</div></section>")


def _attempts_cell(entries, errors):
    parts = []
    for entry, outcome in entries.items():
        text = "%s: %s" % (entry, outcome)
        if errors.get(entry):
            text += " (%s)" % errors[entry]
        parts.append("<li class='%s'>%s</li>" % ("bad" if outcome == "error" else "", _e(text)))
    return "<ul class='tried'>%s</ul>" % "".join(parts) if parts else "<i>no entry matches its op type</i>"


def left_html(report, pictures, view_before, view_after, sites):
    """The operators left off rank 4, each with the entries tried and a link to its region."""
    left = report.off_rank_left
    errors = collections.defaultdict(dict)
    for f in report.failures:
        errors[f.node][f.entry] = f.message
    site_of = {}      # node of the converted graph -> the first site that shows it rewritten
    for site in sites:
        for name in site.after:
            site_of.setdefault(name, site)
    rows, regions = [], []
    for k, item in enumerate(left[:MAX_LISTED]):
        name = item["node"]
        link = ""
        if k < MAX_LEFT_REGIONS and name in view_after.nodes:
            before_core = [name] if name in view_before.nodes else (site_of[name].before if name in site_of else [])
            regions.append(_region_html("left-%d" % k, "%s %s" % (item["op_type"], name),
                                        pictures.add(view_before, before_core), pictures.add(view_after, [name])))
            link = "<a href='#left-%d'>region</a>" % k
        made_by = ("<br>rewritten by <a href='#%s'>%s</a>" % (site_of[name].anchor, _e(site_of[name].call.entry))
                   if name in site_of else "")
        rows.append((_name_cell(name) + made_by, _e(item["op_type"]), _e("/".join(map(str, item["ranks"])) or "?"),
                     _attempts_cell(item["entries"], errors.get(name, {})), link))
    more = "<p>%d more in the JSON report.</p>" % (len(left) - MAX_LISTED) if len(left) > MAX_LISTED else ""
    drawn_note = ("<p>Regions are drawn for the first %d.</p>" % MAX_LEFT_REGIONS
                  if len(left) > MAX_LEFT_REGIONS else "")
    body = (_table(("node", "op type", "ranks", "entries tried", ""), rows, "left") + more + drawn_note
            + ("<details class='group'><summary>regions of the operators left off rank 4 (%d)</summary>%s</details>"
               % (len(regions), "".join(regions)) if regions else "")) if left else \
        "<p class='ok'>Every operator runs on four-dimensional tensors.</p>"
    return "<section id='left'><h2>Operators left off rank 4 (%d)</h2>%s</section>" % (len(left), body)


def _region_html(anchor, title, picture_before, picture_after):
    return ("<div class='region' id='%s'><h4>%s</h4><div class='sides'><div><h5>before</h5>%s</div>"
            "<div><h5>after</h5>%s</div></div></div>" % (anchor, _e(title), picture_before, picture_after))


def sites_html(pictures, view_before, view_after, sites):
    by_entry, drawn = sites_to_draw(sites, view_before, view_after)
    groups = []
    for (table, entry), group in by_entry:
        shown = [s for s in group if s.key in drawn]
        regions = "".join(_region_html(s.anchor, "#%d at %s" % (s.key, s.call.node),
                                       pictures.add(view_before, s.before), pictures.add(view_after, s.after))
                          for s in shown)
        rest = [s for s in group if s.key not in drawn]
        listed = ", ".join("<span id='%s' title='%s'>%s</span>" % (s.anchor, _e(s.call.node), _e(short(s.call.node)))
                           for s in rest[:MAX_LISTED])
        if len(rest) > MAX_LISTED:
            listed += " and %d more" % (len(rest) - MAX_LISTED)
        groups.append("<details class='entry' id='entry-%s'%s><summary><b>%s</b> <small>(%s)</small>: %d rewrite(s)%s"
                      "</summary>%s%s</details>" % (
                          _e(entry), "" if groups else " open", _e(entry), _e(table), len(group),
                          ", %d drawn" % len(shown) if len(shown) < len(group) else "", regions,
                          "<p class='rest'>also at: %s</p>" % listed if listed else ""))
    return ("<section id='rewrites'><h2>Rewrites by table entry (%d sites)</h2>%s</section>"
            % (len(sites), "".join(groups) or "<p>No rule changed the graph.</p>"))


def details_html(report):
    parts = []
    if report.failures:
        rows = [(_e("%s/%s" % (f.table, f.entry)), _name_cell(f.node), _e(f.message))
                for f in report.failures[:MAX_LISTED]]
        parts.append("<details><summary>rule errors, each rolled back (%d)</summary>%s</details>"
                     % (len(report.failures), _table(("entry", "node", "message"), rows)))
    if report.declines:
        rows = [(_e("%s/%s" % (d.table, d.entry)), _name_cell(d.node), _e(d.guard), _e(d.reason))
                for d in report.declines[:MAX_LISTED]]
        parts.append("<details><summary>calls a guard held back, the rewrite would not be exact (%d)</summary>%s"
                     "</details>" % (len(report.declines), _table(("entry", "node", "guard", "reason"), rows)))
    if report.repair:
        parts.append("<details open><summary>repair</summary><pre>%s</pre></details>"
                     % _e("\n".join(report.repair.lines())))
    if report.prepare:
        parts.append("<details><summary>preparation</summary><pre>%s</pre></details>"
                     % _e("\n".join(report.prepare)))
    cleaned = ", ".join("%s %d" % kv for kv in report.cleanup.items() if kv[1])
    consts = ", ".join("%s %d" % kv for kv in list(report.constants.items()) + list(report.normalised.items()))
    if cleaned or consts:
        parts.append("<p>clean-up: %s; constants: %s</p>" % (_e(cleaned or "nothing"), _e(consts or "-")))
    return "<section id='details'><h2>Details</h2>%s</section>" % "".join(parts) if parts else ""


def legend_html():
    items = "".join("<span class='key' style='background:%s%s'>%s</span>" % (
        colour, ";border-color:%s" % OFF4_BORDER if kind == "off4" else "", _e(text))
        for kind, (colour, text) in KINDS.items())
    return ("<p class='legend'>%s <span class='key'><b>bold</b>: rewritten here</span> "
            "<span class='key' style='border-style:dashed'>dashed: neighbour</span> "
            "Hover a name for its full text.</p>" % items)


STYLE = """
body{font-family:sans-serif;margin:1.5em;color:#222}
h2{border-bottom:1px solid #ccc;margin-top:1.5em}
table{border-collapse:collapse;margin:0 1.5em 1em 0;vertical-align:top}
th,td{border:1px solid #ccc;padding:.25em .5em;text-align:left;vertical-align:top}
thead th{background:#f0f0f0}
.row{display:flex;flex-wrap:wrap;align-items:flex-start}
.ok{color:#2e7d32}.bad{color:#c62828}
ul.tried{margin:0;padding-left:1.2em;font-size:90%}
details{margin:.3em 0}summary{cursor:pointer}
details.entry{border:1px solid #ddd;border-radius:4px;padding:.3em .6em}
.region{border-top:1px dotted #bbb;padding:.3em 0}
.region h4{margin:.2em 0;font-weight:normal;font-family:monospace}
.sides{display:flex;gap:1em}.sides>div{flex:1;min-width:0;overflow-x:auto}
.sides h5{margin:.2em 0;color:#666}
.pic svg{max-width:100%;height:auto;max-height:520px}
.key{display:inline-block;border:1px solid #333;border-radius:4px;padding:0 .4em;margin-right:.4em;font-size:90%}
.rest{font-size:85%;color:#555}
:target{outline:2px solid #1565c0}
"""

SCRIPT = """
function vxOpen(){var t=location.hash&&document.getElementById(location.hash.slice(1));
for(var e=t;e;e=e.parentElement){if(e.tagName==='DETAILS'){e.open=true;}}if(t){t.scrollIntoView();}}
window.addEventListener('hashchange',vxOpen);window.addEventListener('DOMContentLoaded',vxOpen);
"""


def report_html(report, before, after):
    """The HTML page of `report`, from the graph the rules started from and the converted graph."""
    view_before, view_after = GraphView(before), GraphView(after)
    sites = trace_sites(report.applied, view_before, view_after)
    pictures = Pictures()
    body = [summary_html(report), legend_html(), left_html(report, pictures, view_before, view_after, sites),
            sites_html(pictures, view_before, view_after, sites), details_html(report)]
    page = pictures.fill("\n".join(body))
    note = "" if pictures.svgs is not None else "<p>Graphviz (dot) is not available: regions are listed as text.</p>"
    return ("<!doctype html><html><head><meta charset='utf-8'><title>vexo report: %s</title><style>%s</style>"
            "<script>%s</script></head><body><h1>vexo conversion report</h1>%s%s</body></html>"
            % (_e(report.source), STYLE, SCRIPT, note, page))


def write_html(report, before, after, path):
    page = report_html(report, before, after)
    with open(path, "w", encoding="utf-8") as f:
        f.write(page)
