// The web calculator's page logic: reads the inputs, asks the JSON API (debounced; answers to
// requests older than the newest are dropped), shows the results and draws the plots with plotly.js.
"use strict";
(function () {
  const meta = JSON.parse(document.getElementById("nuvex-meta").textContent);
  const K = meta.eta10_per_Omegabh2;
  const [XMIN, XMAX] = meta.schramm.Omegabh2;
  const SHOWN = ["Yp", "Yp_mass", "DoH", "He3oH", "Li7oH", "Li6oLi7", "Neff"];
  const NAMES = {Yp: "Yp", Yp_mass: "Yp (mass fraction)", DoH: "D/H", He3oH: "³He/H", Li7oH: "⁷Li/H",
                 Li6oLi7: "⁶Li/⁷Li", Neff: "Neff", He3oHe4: "³He/⁴He", YCNO: "CNO", Omeganurel: "Ων,rel h²",
                 OneOverOmeganunr: "mν/Ων h²"};
  const SCHRAMM_LABELS = {Yp: "Y<sub>p</sub>", DoH: "D/H", He3oH: "<sup>3</sup>He/H", Li7oH: "<sup>7</sup>Li/H"};
  const CLASSIC = [["n", "n"], ["p", "p"], ["H2", "D"], ["H3", "T"], ["He3", "³He"], ["He4", "⁴He"],
                   ["Li6", "⁶Li"], ["Li7", "⁷Li"], ["Be7", "⁷Be"]];
  const SLIDER_MS = 20, TYPING_MS = 250, SCHRAMM_MS = 300, SLOW_MS = 1500;

  const $ = (id) => document.getElementById(id);
  // plotly.js loads once the first requests are out (parsing it takes the page's thread for a while,
  // which the server's answers then overlap); drawing waits for it
  let plotlyLoaded = null;
  const plotlyReady = new Promise((resolve, reject) => { plotlyLoaded = {resolve, reject}; });
  function loadPlotly() {
    const script = document.createElement("script");
    script.src = $("app-js").dataset.plotly;
    script.addEventListener("load", () => { timings.plotlyReady = performance.now(); plotlyLoaded.resolve(); });
    script.addEventListener("error", () => plotlyLoaded.reject(new Error("plotly.js did not load")));
    document.head.appendChild(script);
  }
  const client = "p" + Math.random().toString(36).slice(2, 12) + Date.now().toString(36);
  const seq = {run: 0, evolution: 0, schramm: 0};
  // for the benchmarks and tests: input-to-numbers times (ms) and when the plots were first drawn
  const timings = window.nuvexTimings = {run: [], schrammPaint: null, evolutionPaint: null, updates: 0,
                                        plotlyReady: null, schrammAnswer: null};

  let baryonKey = "Omegabh2";  // the baryon-density field set last: its value is sent
  let pendingSince = null;     // time of the oldest change not yet answered
  let timer = null;
  let schrammTimer = null;
  let schrammSetting = null;
  let currentX = meta.inputs.Omegabh2.default;
  let slowTimer = null;

  // ---- values ----
  function fmt(v) {
    if (v === null || v === undefined) return "—";
    if (v !== 0 && (Math.abs(v) < 1e-3 || Math.abs(v) >= 1e4)) return v.toExponential(5);
    return v.toFixed(6);
  }
  function short(v) { return String(Number(v.toPrecision(6))); }
  // a typed value: a number when the text is one, else the text (the server names what is wrong)
  function typed(text) {
    const t = text.trim();
    if (t === "") return undefined;
    const n = Number(t);
    return Number.isFinite(n) ? n : t;
  }

  function rateRows() { return Array.from(document.querySelectorAll("#rates .rate")); }

  function params() {
    const p = {};
    const b = typed($(baryonKey).value);
    if (b !== undefined) p[baryonKey] = b;
    for (const key of ["DeltaNeff", "tau_n", "munuOverTnu_e"]) {
      const v = typed($(key).value);
      if (v !== undefined) p[key] = v;
    }
    p.network = $("network").value;
    if ($("rate_set").value) p.rate_set = $("rate_set").value;
    for (const row of rateRows()) {
      const v = typed(row.querySelector("input").value);
      if (v !== undefined) p[row.dataset.key] = v;
    }
    return p;
  }
  function query(p, extra) {
    const q = new URLSearchParams();
    for (const [k, v] of Object.entries(p)) q.set(k, String(v));
    for (const [k, v] of Object.entries(extra || {})) q.set(k, String(v));
    return q.toString();
  }

  // ---- the form ----
  function sliderFromOmegabh2(x) {
    if (Number.isFinite(x) && x > 0) $("Omegabh2-slider").value = String(1000 * Math.log10(x / XMIN) / Math.log10(XMAX / XMIN));
  }
  function setBaryon(key, text) {
    baryonKey = key;
    const v = Number(text);
    if (key === "Omegabh2") {
      $("Omegabh2").value = text;
      $("eta10").value = Number.isFinite(v) && text.trim() !== "" ? short(v * K) : "";
      sliderFromOmegabh2(v);
    } else {
      $("eta10").value = text;
      $("Omegabh2").value = Number.isFinite(v) && text.trim() !== "" ? short(v / K) : "";
      sliderFromOmegabh2(v / K);
    }
  }

  function fillReactions() {
    const list = $("reaction-list");
    const chosen = new Set(rateRows().map((r) => r.dataset.key));
    list.textContent = "";
    for (const r of meta.networks[$("network").value] || []) {
      if (chosen.has("delta_" + r.name)) continue;
      const o = document.createElement("option");
      o.value = r.name;
      o.textContent = r.label;
      list.appendChild(o);
    }
  }
  function reactionLabel(name) {
    for (const net of Object.values(meta.networks)) for (const r of net) if (r.name === name) return r.label;
    return name;
  }
  function addRate(key, value) {
    if (document.querySelector(`#rates .rate[data-key="${CSS.escape(key)}"]`)) return;
    const row = document.createElement("div");
    row.className = "field rate";
    row.dataset.key = key;
    row.id = "field-" + key;
    const label = document.createElement("label");
    label.htmlFor = key;
    label.textContent = (key.startsWith("p_") ? "p: " : "δ: ") + reactionLabel(key.replace(/^(delta|p)_/, ""));
    const line = document.createElement("div");
    line.className = "row";
    const input = document.createElement("input");
    input.type = "text";
    input.id = key;
    input.inputMode = "decimal";
    input.value = value;
    const remove = document.createElement("button");
    remove.type = "button";
    remove.textContent = "×";
    remove.title = "remove this scaling";
    remove.addEventListener("click", () => { row.remove(); fillReactions(); changed(SLIDER_MS); });
    input.addEventListener("input", () => changed(TYPING_MS));
    input.addEventListener("change", () => changed(0, true));
    const msg = document.createElement("div");
    msg.className = "msg";
    msg.id = "msg-" + key;
    line.append(input, remove);
    row.append(label, line, msg);
    $("rates").appendChild(row);
    fillReactions();
  }

  // ---- messages ----
  function clearMessages() {
    for (const m of document.querySelectorAll(".msg")) m.textContent = "";
    for (const f of document.querySelectorAll(".field.invalid")) f.classList.remove("invalid");
  }
  function showError(data, status) {
    clearMessages();
    const key = data && data.key;
    const text = (data && data.error) || `the server answered ${status}`;
    const slot = key && $("msg-" + key);
    if (slot) {
      slot.textContent = text;
      const field = $("field-" + key);
      if (field) field.classList.add("invalid");
    } else {
      $("msg-general").textContent = text;
    }
  }
  function status(text, busy) {
    $("status").textContent = text;
    $("status").classList.toggle("busy", !!busy);
  }

  // ---- requests ----
  async function call(channel, path, extra) {
    const s = ++seq[channel];
    const body = Object.assign({params: params(), client: client, seq: s}, extra || {});
    let resp, data;
    try {
      resp = await fetch(path, {method: "POST", headers: {"Content-Type": "application/json"}, body: JSON.stringify(body)});
      data = await resp.json();
    } catch (e) {
      if (s === seq[channel]) return {failed: true, status: 0, data: {error: "the server did not answer (" + e.message + ")"}};
      return null;
    }
    if (s !== seq[channel] || (resp.status === 409 && data.superseded)) return null;  // a newer request is out
    if (!resp.ok) return {failed: true, status: resp.status, data: data, retryAfter: Number(resp.headers.get("Retry-After"))};
    return {data: data};
  }

  // delay: the debounce; commit: a finished entry (Enter, leaving a field), timed from now on
  function changed(delay, commit) {
    if (pendingSince === null || commit) pendingSince = performance.now();
    clearTimeout(timer);
    timer = setTimeout(update, delay);
  }

  async function update() {
    const since = pendingSince;
    pendingSince = null;
    const p = params();
    links(p);
    clearTimeout(slowTimer);
    slowTimer = setTimeout(() => status("still computing: a new ξe or network builds tables once", true), SLOW_MS);
    status("computing…", true);
    const running = call("run", "/api/run");
    const setting = JSON.stringify(Object.assign({}, p, {Omegabh2: null, eta10: null}));
    if (setting !== schrammSetting) {
      const first = schrammSetting === null;  // the page's first bands: no reason to wait
      schrammSetting = setting;
      clearTimeout(schrammTimer);
      if (first) schramm();
      else schrammTimer = setTimeout(schramm, SCHRAMM_MS);
    }
    const out = await running;
    if (out === null) return;
    clearTimeout(slowTimer);
    if (out.failed) {
      showError(out.data, out.status);
      $("results").classList.add("stale");
      status("error", false);
      return;
    }
    clearMessages();
    showResults(out.data);
    timings.updates += 1;
    if (since !== null) timings.run.push(performance.now() - since);
    status(`run: ${out.data.elapsed_ms.toFixed(1)} ms on the server`, false);
    evolution();  // after the numbers, which are what the user waits for
  }

  function showResults(data) {
    const table = $("results");
    table.classList.remove("stale");
    const body = table.tBodies[0];
    const byName = {};
    for (const q of data.quantities) byName[q.name] = q;
    for (const name of SHOWN) {
      const q = byName[name];
      let row = $("row-" + name);
      if (!q) { if (row) row.remove(); continue; }
      if (!row) {
        row = document.createElement("tr");
        row.id = "row-" + name;
        const cells = ["name", "value", "unit", "definition"].map((c) => {
          const td = document.createElement("td");
          td.className = c;
          row.appendChild(td);
          return td;
        });
        cells[1].id = "val-" + name;
        cells[0].textContent = NAMES[name] || name;
        cells[2].textContent = q.unit === "1e-6" ? "×10⁻⁶" : q.unit;
        cells[3].textContent = q.definition;
        // keep the order of SHOWN
        const after = SHOWN.slice(SHOWN.indexOf(name) + 1).map((n) => $("row-" + n)).find((r) => r);
        body.insertBefore(row, after || null);
      }
      const cell = $("val-" + name);
      cell.textContent = fmt(q.value);
      cell.dataset.value = q.value === null ? "" : String(q.value);
    }
    currentX = data.params.Omegabh2;
    moveLine();
  }

  function links(p) {
    const q = query(p);
    history.replaceState(null, "", "?" + q);
    $("permalink").href = location.href;
    $("dl-json").href = "/api/run?" + query(p, {format: "json", download: 1});
    $("dl-csv").href = "/api/run?" + query(p, {format: "csv"});
    $("dl-evolution").href = "/api/evolution?" + query(p, {format: "csv", points: 500});
  }

  // ---- plots ----
  async function evolution() {
    const out = await call("evolution", "/api/evolution", {points: meta.evolution.points});
    if (out === null || out.failed) return;
    const d = out.data;
    const traces = [];
    let lowest = Infinity;
    for (const [name, label] of CLASSIC) {
      if (!(name in d.Y)) continue;
      const A = d.A[name];
      const X = d.Y[name].map((y) => (y > 0 ? A * y : null));
      const last = X[X.length - 1];
      if (last) lowest = Math.min(lowest, last);
      traces.push({x: d.T_gamma, y: X, name: label, mode: "lines", hovertemplate: "T=%{x:.3g} MeV: %{y:.3g}"});
    }
    const ymin = Number.isFinite(lowest) ? Math.max(lowest / 30, 1e-30) : 1e-20;
    const layout = {
      margin: {l: 60, r: 10, t: 10, b: 45},
      xaxis: {type: "log", autorange: "reversed", title: {text: "photon temperature T<sub>γ</sub> [MeV]"}},
      yaxis: {type: "log", range: [Math.log10(ymin), Math.log10(2)], title: {text: "mass fraction X = A·Y"}},
      legend: {orientation: "h", y: -0.2},
    };
    await plotlyReady;
    await Plotly.react("evolution", traces, layout, {displaylogo: false, responsive: true});
    $("evolution").dataset.drawn = "lines";
    if (timings.evolutionPaint === null) timings.evolutionPaint = performance.now();
  }

  async function schramm() {
    const note = $("schramm-note");
    note.textContent = "computing the Monte Carlo bands of this setting…";
    const out = await call("schramm", "/api/schramm", {points: meta.schramm.points, samples: meta.schramm.samples});
    if (out === null) return;
    if (timings.schrammAnswer === null) timings.schrammAnswer = performance.now();
    if (out.failed) {
      note.textContent = "Schramm plot: " + ((out.data && out.data.error) || `the server answered ${out.status}`);
      // out of time on a busy server: the computation goes on there; ask again for its result
      if (out.status === 503 && out.retryAfter > 0) schrammTimer = setTimeout(schramm, 1000 * out.retryAfter);
      return;
    }
    note.textContent = "";
    await plotlyReady;
    drawSchramm(out.data);
  }

  function drawSchramm(d) {
    const qs = meta.schramm.quantities;
    const n = qs.length, gap = 0.035, h = (1 - gap * (n - 1)) / n;
    const traces = [], shapes = [lineShape()], annotations = [];
    const layout = {
      margin: {l: 70, r: 10, t: 45, b: 45}, showlegend: false, hovermode: "x",
      xaxis: {type: "log", range: [Math.log10(XMIN), Math.log10(XMAX)], anchor: "y" + n,
              title: {text: "baryon density Ω<sub>b</sub>h<sup>2</sup>"}},
      xaxis2: {type: "log", overlaying: "x", side: "top", anchor: "y", range: [Math.log10(XMIN * K), Math.log10(XMAX * K)],
               title: {text: "η<sub>10</sub>"}},
    };
    qs.forEach((q, i) => {
      const y = i === 0 ? "y" : "y" + (i + 1);
      const top = 1 - i * (h + gap);
      layout[i === 0 ? "yaxis" : "yaxis" + (i + 1)] = {
        domain: [top - h, top], type: q === "Yp" ? "linear" : "log", anchor: "x",
        title: {text: SCHRAMM_LABELS[q] || q}, exponentformat: "power"};
      const band = d.quantities[q];
      if (band.lo && band.hi) {
        traces.push({x: d.Omegabh2, y: band.lo, yaxis: y, mode: "lines", line: {width: 0}, hoverinfo: "skip"});
        traces.push({x: d.Omegabh2, y: band.hi, yaxis: y, mode: "lines", line: {width: 0}, fill: "tonexty",
                     fillcolor: "rgba(31,95,168,0.25)", hoverinfo: "skip"});
      }
      traces.push({x: d.Omegabh2, y: band.central, yaxis: y, mode: "lines", line: {color: "#1f5fa8", width: 2},
                   name: q, hovertemplate: "%{y:.4g}"});
      for (const o of d.observations) {
        if (o.quantity !== q) continue;
        shapes.push({type: "rect", xref: "paper", x0: 0, x1: 1, yref: y, y0: o.value - o.sigma, y1: o.value + o.sigma,
                     fillcolor: "rgba(120,120,120,0.25)", line: {width: 1, color: "rgba(90,90,90,0.6)"},
                     layer: "below"});  // the outline keeps a 1 % measurement visible
        // annotations on a log axis take the logarithm
        annotations.push({xref: "paper", x: 0.01, xanchor: "left", yanchor: "bottom", yref: y,
                          y: (q === "Yp" ? o.value + o.sigma : Math.log10(o.value + o.sigma)),
                          text: o.name, showarrow: false, font: {size: 10, color: "#555"}});
      }
    });
    // the top axis is drawn with a trace of its own
    traces.push({x: [XMIN * K, XMAX * K], y: [null, null], xaxis: "x2", yaxis: "y", mode: "lines", hoverinfo: "skip"});
    layout.shapes = shapes;
    layout.annotations = annotations;
    Plotly.react("schramm", traces, layout, {displaylogo: false, responsive: true}).then(() => {
      $("schramm").dataset.drawn = d.samples > 0 ? "bands" : "lines";
      if (timings.schrammPaint === null && d.samples > 0) timings.schrammPaint = performance.now();
    });
  }

  function lineShape() {
    return {type: "line", xref: "x", yref: "paper", x0: currentX, x1: currentX, y0: 0, y1: 1,
            line: {color: "#c0392b", width: 1.5, dash: "dot"}};
  }
  function moveLine() {
    const div = $("schramm");
    if (div.dataset.drawn) Plotly.relayout(div, {"shapes[0].x0": currentX, "shapes[0].x1": currentX});
  }

  // ---- start ----
  function restore() {
    const q = new URLSearchParams(location.search);
    const d = meta.inputs;
    setBaryon("Omegabh2", String(d.Omegabh2.default));
    if (q.has("eta10")) setBaryon("eta10", q.get("eta10"));
    if (q.has("Omegabh2")) setBaryon("Omegabh2", q.get("Omegabh2"));
    for (const key of ["DeltaNeff", "tau_n"]) {
      $(key).value = q.has(key) ? q.get(key) : String(d[key].default);
      const slider = $(key + "-slider");
      if (slider && Number.isFinite(Number($(key).value))) slider.value = $(key).value;
    }
    if (q.has("munuOverTnu_e")) $("munuOverTnu_e").value = q.get("munuOverTnu_e");
    if (q.has("network") && meta.networks[q.get("network")]) $("network").value = q.get("network");
    else if (q.has("network")) $("network").value = "small";
    for (const set of meta.rate_sets) {
      const o = document.createElement("option");
      o.value = set.name;
      o.textContent = set.name;
      o.title = set.description;
      $("rate_set").appendChild(o);
    }
    $("rate_set").value = d.rate_set.default;
    if (q.has("rate_set")) {
      if (!meta.rate_sets.some((r) => r.name === q.get("rate_set"))) {  // kept, for the server to name
        const o = document.createElement("option");
        o.value = o.textContent = q.get("rate_set");
        $("rate_set").appendChild(o);
      }
      $("rate_set").value = q.get("rate_set");
    }
    fillReactions();
    for (const [k, v] of q.entries()) if (/^(delta|p)_/.test(k)) addRate(k, v);
  }

  function wire() {
    $("Omegabh2").addEventListener("input", () => { setBaryon("Omegabh2", $("Omegabh2").value); changed(TYPING_MS); });
    $("eta10").addEventListener("input", () => { setBaryon("eta10", $("eta10").value); changed(TYPING_MS); });
    $("Omegabh2-slider").addEventListener("input", () => {
      const x = XMIN * Math.pow(XMAX / XMIN, Number($("Omegabh2-slider").value) / 1000);
      setBaryon("Omegabh2", short(x));
      changed(SLIDER_MS);
    });
    for (const key of ["DeltaNeff", "tau_n"]) {
      $(key + "-slider").addEventListener("input", () => { $(key).value = $(key + "-slider").value; changed(SLIDER_MS); });
      $(key).addEventListener("input", () => {
        if (Number.isFinite(Number($(key).value))) $(key + "-slider").value = $(key).value;
        changed(TYPING_MS);
      });
    }
    $("munuOverTnu_e").addEventListener("input", () => changed(TYPING_MS));
    for (const key of ["Omegabh2", "eta10", "DeltaNeff", "tau_n", "munuOverTnu_e"]) $(key).addEventListener("change", () => changed(0, true));
    $("network").addEventListener("change", () => {
      for (const row of rateRows()) {
        const name = row.dataset.key.replace(/^(delta|p)_/, "");
        if (!(meta.networks[$("network").value] || []).some((r) => r.name === name)) row.remove();
      }
      fillReactions();
      changed(0);
    });
    $("rate_set").addEventListener("change", () => changed(0, true));
    $("add-rate").addEventListener("click", () => {
      const name = $("reaction-list").value;
      if (name) { addRate("delta_" + name, "0.1"); changed(0); }
    });
    $("inputs").addEventListener("submit", (e) => { e.preventDefault(); changed(0); });
  }

  restore();
  wire();
  pendingSince = performance.now();
  update();      // sends the first requests now ...
  loadPlotly();  // ... and loads plotly.js while the server answers
})();
