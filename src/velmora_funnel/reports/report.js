// The HTML report's page: the variable table (filter by text and verdict,
// sort by any column) and the interactive funnel plots, drawn with BokehJS
// (inlined once before this script) from the points html_data embeds.
// Nothing is fetched: the page works from a file, offline.
"use strict";
(function () {
  // --- the variable table -------------------------------------------------
  const table = document.getElementById("variables");
  const body = table ? table.tBodies[0] : null;
  const rows = body ? Array.from(body.rows) : [];
  const filter = document.getElementById("filter");
  const verdict = document.getElementById("verdict");
  const shown = document.getElementById("shown");
  let sortColumn = -1;
  let sortDescending = false;

  function key(row, column) {
    const cell = row.cells[column];
    const value = cell.dataset.v;
    if (value === undefined) return cell.textContent.toLowerCase();
    // Cells without a number ("-") sort after every number, either way round.
    return value === "" ? NaN : Number(value);
  }

  function compare(a, b, column, descending) {
    const x = key(a, column);
    const y = key(b, column);
    const xNone = typeof x === "number" && isNaN(x);
    const yNone = typeof y === "number" && isNaN(y);
    if (xNone || yNone) return xNone === yNone ? 0 : xNone ? 1 : -1;
    const order = x < y ? -1 : x > y ? 1 : 0;
    return descending ? -order : order;
  }

  function sortBy(column, descending) {
    sortColumn = column;
    sortDescending = descending;
    // Stable: rows equal in this column keep the order they had (the worst first).
    rows.sort((a, b) => compare(a, b, column, descending));
    const fragment = document.createDocumentFragment();
    rows.forEach((row) => fragment.appendChild(row));
    body.appendChild(fragment);
    table.querySelectorAll("th").forEach((th, i) => {
      th.setAttribute("aria-sort", i === column ? (descending ? "descending" : "ascending") : "none");
    });
  }

  function applyFilter() {
    const words = filter.value.toLowerCase().split(/\s+/).filter(Boolean);
    const wanted = verdict.value;
    let count = 0;
    let files = 0;
    for (const row of rows) {
      const kind = row.dataset.kind;
      const fits =
        (wanted === "all" || (wanted === "not-passed" ? row.dataset.passed !== "1" : kind === wanted)) &&
        words.every((word) => row.dataset.text.includes(word));
      row.hidden = !fits;
      if (row.dataset.fileRow) files += fits;
      else count += fits;
    }
    // Counted as the summary line counts: variables, and files apart.
    const variables = rows.filter((row) => !row.dataset.fileRow).length;
    const extra = files ? `, and ${files} ${files === 1 ? "file" : "files"} missing or unusable` : "";
    shown.textContent = `${count} of ${variables} variables shown${extra}`;
  }

  if (table) {
    for (const row of rows) {
      row.dataset.text = (row.cells[0].textContent + " " + row.cells[1].textContent).toLowerCase();
    }
    table.querySelectorAll("th").forEach((th, column) => {
      th.addEventListener("click", () => sortBy(column, column === sortColumn ? !sortDescending : false));
    });
    filter.addEventListener("input", applyFilter);
    verdict.addEventListener("change", applyFilter);
    document.querySelectorAll("[data-file]").forEach((link) => {
      link.addEventListener("click", (event) => {
        event.preventDefault();
        filter.value = link.dataset.file;
        verdict.value = "all";
        applyFilter();
        table.scrollIntoView();
      });
    });
    // What did not pass first, the worst margin first: the verdict, then the margin.
    const margin = Number(table.dataset.margin);
    sortBy(margin, false);
    sortBy(Number(table.dataset.verdict), false);
    applyFilter();
  }

  // --- the funnel plots ---------------------------------------------------
  const BINS = 800; // columns a plot's window is thinned to
  const COLORS = { funnel: "#9ecae1", edge: "#4a90c2", reference: "#222222", test: "#e6850e", fail: "#d62728" };
  const logToggle = document.getElementById("log-time");
  const plots = new Map(); // index -> {data, log}

  function floats(text) {
    const bytes = Uint8Array.from(atob(text), (c) => c.charCodeAt(0));
    return new Float64Array(bytes.buffer);
  }

  function decode(index) {
    const raw = JSON.parse(document.getElementById(`plot-data-${index}`).textContent);
    const lines = {};
    for (const [name, line] of Object.entries(raw.lines)) {
      lines[name] = { t: floats(line.t), y: floats(line.y), n: line.n };
      if (line.e !== undefined) {
        lines[name].e = floats(line.e);
        lines[name].f = Uint8Array.from(atob(line.f), (c) => c.charCodeAt(0));
      }
    }
    const test = lines.test;
    const failing = [];
    if (test.f) test.f.forEach((flag, i) => flag && failing.push(i));
    lines.failing = {
      t: Float64Array.from(failing, (i) => test.t[i]),
      y: Float64Array.from(failing, (i) => test.y[i]),
      e: Float64Array.from(failing, (i) => test.e[i]),
    };
    raw.lines = lines;
    return raw;
  }

  // The first index whose abscissa is past x (at or past x unless ``after``).
  function bound(t, x, after) {
    let low = 0;
    let high = t.length;
    while (low < high) {
      const mid = (low + high) >> 1;
      if (t[mid] < x || (after && t[mid] === x)) low = mid + 1;
      else high = mid;
    }
    return low;
  }

  // The indices of the points of (t, ys) to draw in the window [x0, x1]:
  // every one when few enough, else per column the first, last, lowest and
  // highest point of each ordinate and the edges of its gaps (as the
  // report's writer thins its overview), so no spike is lost at any zoom.
  function visible(t, ys, x0, x1, log) {
    let start = Math.max(bound(t, x0, false) - 1, 0);
    const stop = Math.min(bound(t, x1, true) + 1, t.length);
    // A log axis shows the positive times: a line that crosses t = 0 (a
    // funnel's bound shifted by its time tolerance) enters at the window's
    // left edge, at its value there, instead of starting at its first positive point.
    let lead = null;
    if (log) {
      const positive = bound(t, 0, true);
      if (positive >= start && positive > 0 && positive < t.length && x0 < t[positive]) {
        lead = { at: positive, weight: (x0 - t[positive - 1]) / (t[positive] - t[positive - 1]) };
      }
      start = Math.max(start, positive);
    }
    const count = stop - start;
    if (count <= 4 * BINS) return { start, stop, picked: null, lead };
    const scale = (v) => (log ? Math.log(v) : v);
    const low = scale(Math.max(t[start], log ? Number.MIN_VALUE : -Infinity));
    const width = (scale(t[stop - 1]) - low) / BINS || 1;
    const keep = new Uint8Array(count);
    let column = -1;
    let first = 0;
    const finish = (from, to) => {
      keep[from - start] = keep[to - 1 - start] = 1;
      for (const y of ys) {
        let lowest = -1;
        let highest = -1;
        for (let i = from; i < to; i++) {
          const v = y[i];
          if (v !== v) {
            // A gap: the points beside it are kept so that the line breaks there.
            if (i > from) keep[i - 1 - start] = 1;
            keep[i - start] = 1;
            if (i + 1 < to) keep[i + 1 - start] = 1;
            continue;
          }
          if (lowest < 0 || v < y[lowest]) lowest = i;
          if (highest < 0 || v > y[highest]) highest = i;
        }
        if (lowest >= 0) keep[lowest - start] = keep[highest - start] = 1;
      }
    };
    for (let i = start; i < stop; i++) {
      const c = Math.min(Math.floor((scale(t[i]) - low) / width), BINS - 1);
      if (c !== column) {
        if (column >= 0) finish(first, i);
        column = c;
        first = i;
      }
    }
    finish(first, stop);
    const picked = [];
    keep.forEach((flag, i) => flag && picked.push(start + i));
    return { start, stop, picked, lead };
  }

  function take(values, view) {
    const taken =
      view.picked === null ? values.slice(view.start, view.stop) : Float64Array.from(view.picked, (i) => values[i]);
    const lead = view.lead;
    if (lead === null) return taken;
    const before = values[lead.at - 1];
    const entered = new Float64Array(taken.length + 1);
    entered[0] = before + lead.weight * (values[lead.at] - before);
    entered.set(taken, 1);
    return entered;
  }

  function extent(lines, log) {
    let low = Infinity;
    let high = -Infinity;
    for (const name of ["reference", "test"]) {
      const t = lines[name].t;
      const from = log ? bound(t, 0, true) : 0;
      if (from < t.length) {
        low = Math.min(low, t[from]);
        high = Math.max(high, t[t.length - 1]);
      }
    }
    if (!(high > low)) high = low + 1;
    return [low, high];
  }

  function render(index) {
    const plot = plots.get(index);
    const data = plot.data;
    const lines = data.lines;
    const log = logToggle.checked && lines.reference.t[lines.reference.t.length - 1] > 0;
    const element = document.getElementById(`plot-${index}`);
    element.replaceChildren();
    const Plotting = Bokeh.Plotting;
    const [start, end] = extent(lines, log);
    const xRange = new Bokeh.Range1d({ start, end });
    const common = {
      x_range: xRange,
      x_axis_type: log ? "log" : "linear",
      sizing_mode: "stretch_width",
      tools: "xpan,xwheel_zoom,box_zoom,reset,save",
      active_scroll: "xwheel_zoom",
      active_drag: "xpan",
    };
    const curve = Plotting.figure({ ...common, height: 330, y_axis_label: data.label, title: data.detail });
    const error = Plotting.figure({ ...common, height: 170, y_axis_label: "error", x_axis_label: data.time });
    const name = (what) => `plot-${index}-${what}`;
    const source = (what) => new Bokeh.ColumnDataSource({ name: name(what), data: { x: [], y: [] } });
    const sources = {
      funnel: source("funnel"),
      lower: source("lower"),
      upper: source("upper"),
      reference: source("reference"),
      test: source("test"),
      failing: source("failing"),
      error: source("error"),
      errorFailing: source("error-failing"),
    };
    curve.patch({ field: "x" }, { field: "y" }, {
      source: sources.funnel, fill_color: COLORS.funnel, fill_alpha: 0.6, line_alpha: 0, legend_label: "funnel",
    });
    for (const bound of ["lower", "upper"]) {
      curve.line({ field: "x" }, { field: "y" }, { source: sources[bound], line_color: COLORS.edge, line_width: 0.7 });
    }
    curve.line({ field: "x" }, { field: "y" }, {
      source: sources.reference, line_color: COLORS.reference, line_width: 1.2, legend_label: "reference",
    });
    curve.line({ field: "x" }, { field: "y" }, {
      source: sources.test, line_color: COLORS.test, line_width: 1.2, legend_label: "test",
    });
    const marks = { marker: "x", size: 9, line_color: COLORS.fail, line_width: 1.8 };
    curve.scatter({ field: "x" }, { field: "y" }, {
      source: sources.failing, ...marks, legend_label: `outside funnel (${data.failing})`,
    });
    error.line({ field: "x" }, { field: "y" }, {
      source: sources.error, line_color: data.failing ? COLORS.fail : COLORS.test, line_width: 1.2,
    });
    error.scatter({ field: "x" }, { field: "y" }, { source: sources.errorFailing, ...marks, size: 7 });
    error.add_layout(new Bokeh.Span({ location: 0, dimension: "width", line_color: "#888888", line_width: 0.8 }));
    const [lo, hi] = data.range;
    for (const figure of [curve, error]) {
      if (lo !== null) figure.add_layout(new Bokeh.BoxAnnotation({ right: lo, fill_color: "#000000", fill_alpha: 0.06 }));
      if (hi !== null) figure.add_layout(new Bokeh.BoxAnnotation({ left: hi, fill_color: "#000000", fill_alpha: 0.06 }));
    }
    curve.legend.location = "top_right";
    curve.legend.click_policy = "hide";

    function update() {
      const x0 = xRange.start;
      const x1 = xRange.end;
      const set = (what, t, ys, view) => {
        const picked = view || visible(t, ys, x0, x1, log);
        sources[what].data = { x: take(t, picked), y: take(ys[0], picked) };
        return picked;
      };
      const lower = set("lower", lines.lower.t, [lines.lower.y]);
      const upper = set("upper", lines.upper.t, [lines.upper.y]);
      // The funnel: along the lower bound and back along the upper one.
      const ux = take(lines.upper.t, upper).reverse();
      const uy = take(lines.upper.y, upper).reverse();
      const lx = take(lines.lower.t, lower);
      const ly = take(lines.lower.y, lower);
      sources.funnel.data = { x: [...lx, ...ux], y: [...ly, ...uy] };
      set("reference", lines.reference.t, [lines.reference.y]);
      const test = lines.test;
      const testView = visible(test.t, [test.y, test.e], x0, x1, log);
      set("test", test.t, [test.y], testView);
      set("error", test.t, [test.e], testView);
      const failing = lines.failing;
      const failingView = visible(failing.t, [failing.y, failing.e], x0, x1, log);
      set("failing", failing.t, [failing.y], failingView);
      set("errorFailing", failing.t, [failing.e], failingView);
    }

    let pending = null;
    xRange.change.connect(() => {
      clearTimeout(pending);
      pending = setTimeout(update, 60);
    });
    update();
    plot.views = Plotting.show(new Bokeh.Column({ children: [curve, error], sizing_mode: "stretch_width" }), element);
    plot.range = xRange;
    plot.sources = sources;
    plot.update = update;
  }

  function draw(index) {
    if (!plots.has(index)) plots.set(index, { data: decode(index) });
    render(index);
  }

  const pending = document.querySelectorAll("div.plot[data-index]");
  if (pending.length && typeof Bokeh === "undefined") {
    pending.forEach((element) => (element.textContent = "The plotting library did not load."));
    return;
  }
  // A plot is drawn when it comes near the screen: a report of dozens of
  // plots opens as fast as one.
  const observer = new IntersectionObserver(
    (entries) => {
      for (const entry of entries) {
        if (!entry.isIntersecting) continue;
        observer.unobserve(entry.target);
        draw(Number(entry.target.dataset.index));
      }
    },
    { rootMargin: "400px" },
  );
  pending.forEach((element) => observer.observe(element));
  if (logToggle) {
    logToggle.addEventListener("change", () => plots.forEach((_, index) => render(index)));
  }
  // For tests and for the console: the plots drawn so far, and a way to draw one now.
  window.velmoraReport = { plots, draw };
})();
