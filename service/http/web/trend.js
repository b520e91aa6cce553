// The trend of one register: asks /api/v1/history for no more points than the chart is wide and
// draws each point's mean as the line and its min–max as a band, so that a spike inside a bucket
// stays visible. A bucket with no good reading is a gap; one with failed reads is shaded red.
// What is shown lives in the address as #line/station/register/span, span being hour, day, week,
// month or FROM..UNTIL (ISO 8601 UTC), so that a trend can be linked and opened again.
"use strict";

(() => {
  const SPAN_MS = { hour: 3600000, day: 86400000, week: 7 * 86400000, month: 30 * 86400000 };
  const SPAN_TEXT = { hour: "last hour", day: "last day", week: "last week",
                      month: "last 30 days" };
  // A relative span is read again this often; a chosen one stays as it is.
  const REFRESH_MS = { hour: 5000, day: 30000, week: 120000, month: 300000 };
  const DRAG_MIN_PX = 6;

  const page = window.qm4720;
  const trendBox = document.getElementById("trend");
  const title = document.getElementById("trend-title");
  const note = document.getElementById("trend-note");
  const canvas = document.getElementById("chart");
  const chartBox = canvas.parentElement;
  const dragBand = document.getElementById("drag-band");
  const backButton = document.getElementById("zoom-back");
  const csvLink = document.getElementById("trend-csv");
  const fromInput = document.getElementById("span-from");
  const untilInput = document.getElementById("span-until");

  let view = null;  // {line, station, register, span} or with span "chosen" also since, until
  let zoomedFrom = [];  // the views a zoom left, newest last
  let chart = null;
  let timer = null;
  let asked = 0;  // the number of the newest request: an older answer is not drawn over it
  let csvUrl = null;
  let resizeTimer = null;

  function isoText(ms) {
    return new Date(ms).toISOString().replace(".000Z", "Z");
  }

  function spanOf(v) {
    return v.span === "chosen" ? isoText(v.since) + ".." + isoText(v.until) : v.span;
  }

  function hashOf(v) {
    return "#" + [encodeURIComponent(v.line), v.station, encodeURIComponent(v.register),
                  spanOf(v)].join("/");
  }

  // The view a hash names; null when it names none (the span may be left out: the last hour).
  function parseHash(hash) {
    const parts = hash.replace(/^#/, "").split("/");
    if (parts.length < 3 || parts.length > 4) return null;
    let line, register;
    try {
      line = decodeURIComponent(parts[0]);
      register = decodeURIComponent(parts[2]);
    } catch (e) {
      return null;
    }
    const station = Number(parts[1]);
    if (!line || !register || !/^\d{1,2}$/.test(parts[1])) return null;
    const span = parts[3] || "hour";
    if (span in SPAN_MS) return { line, station, register, span };
    const m = /^(.+)\.\.(.+)$/.exec(span);
    if (!m) return null;
    const since = Date.parse(m[1]);
    const until = Date.parse(m[2]);
    if (!Number.isFinite(since) || !Number.isFinite(until) || since >= until) return null;
    return { line, station, register, span: "chosen", since, until };
  }

  function windowOf(v) {
    if (v.span === "chosen") return { since: v.since, until: v.until };
    const until = Date.now();
    return { since: until - SPAN_MS[v.span], until };
  }

  // Epoch ms on the x axis in this browser's time zone: seconds under 15 minutes, dates beyond
  // a day and a half; a label that repeats its left neighbour's is left out.
  function tickText(value, range) {
    const clock = page.clockTime(value, range < 15 * 60000);
    if (range < 36 * 3600000) return clock;
    const date = new Date(value).toLocaleDateString([], { month: "short", day: "numeric" });
    return range < 8 * 86400000 ? date + " " + clock : date;
  }

  function timeTick(value, index, ticks) {
    const range = ticks[ticks.length - 1].value - ticks[0].value;
    const label = tickText(value, range);
    return index > 0 && tickText(ticks[index - 1].value, range) === label ? "" : label;
  }

  // Buckets that hold failed reads, shaded behind the line.
  const failedShade = {
    id: "failedShade",
    beforeDatasetsDraw(c) {
      const marks = c.$failed || [];
      const area = c.chartArea;
      const x = c.scales.x;
      c.ctx.save();
      c.ctx.fillStyle = "rgba(179, 38, 30, 0.2)";
      for (const m of marks) {
        const left = Math.max(area.left, x.getPixelForValue(m.from));
        const right = Math.min(area.right, x.getPixelForValue(m.to));
        if (right < area.left || left > area.right) continue;
        c.ctx.fillRect(left, area.top, Math.max(right - left, 2), area.bottom - area.top);
      }
      c.ctx.restore();
    },
  };

  function trendError(text) {
    trendBox.dataset.state = "error";
    note.textContent = text;
  }

  // The chart, made once; null when Chart.js did not load (the reason is shown instead).
  async function ensureChart() {
    if (chart) return chart;
    if (typeof Chart === "undefined") {
      let reason = "Chart.js did not load from /chart.js";
      try {
        const res = await fetch("/chart.js");
        if (!res.ok) reason = (await res.text()).trim();
      } catch (e) {
        reason += ": " + e.message;
      }
      trendError(reason);
      return null;
    }
    const line = { borderWidth: 0, pointRadius: 0, spanGaps: false, data: [] };
    chart = new Chart(canvas, {
      type: "line",
      data: { datasets: [
        { ...line, label: "max", fill: "+1", backgroundColor: "rgba(43, 95, 179, 0.3)" },
        { ...line, label: "min", fill: false },
        { ...line, label: "mean", borderColor: "#2b5fb3", backgroundColor: "#2b5fb3",
          borderWidth: 1.5, data: [] },
      ] },
      options: {
        animation: false,
        maintainAspectRatio: false,
        parsing: false,
        normalized: true,
        interaction: { mode: "index", intersect: false },
        // Narrower than the points asked for (a scroll bar came, the window shrank): ask again.
        onResize: (c, size) => {
          if (view && Math.floor(size.width) < Number(canvas.dataset.asked || 0)) {
            clearTimeout(resizeTimer);
            resizeTimer = setTimeout(load, 300);
          }
        },
        scales: {
          x: { type: "linear", ticks: { maxRotation: 0, callback: timeTick } },
          y: { title: { display: false, text: "" },
               ticks: { callback: (v) => page.formatValue(v) } },
        },
        plugins: {
          legend: { display: false },
          tooltip: { callbacks: {
            title: (items) => new Date(items[0].parsed.x).toLocaleString([], { hour12: false }),
            label: (item) => item.dataset.label + " " + page.formatValue(item.parsed.y),
          } },
        },
      },
      plugins: [failedShade],
    });
    return chart;
  }

  // The points as CSV, as drawn: one row per point of the answer.
  function pointsCsv(body) {
    const rows = ["time,time_ms,min,max,mean,count,failed"];
    const cell = (v) => (v === null || v === undefined ? "" : String(v));
    for (const p of body.points) {
      rows.push([isoText(p.time_ms), p.time_ms, cell(p.min), cell(p.max), cell(p.mean),
                 p.count, p.failed].join(","));
    }
    return rows.join("\n") + "\n";
  }

  function offerCsv(v, body) {
    if (csvUrl) URL.revokeObjectURL(csvUrl);
    csvUrl = URL.createObjectURL(new Blob([pointsCsv(body)], { type: "text/csv" }));
    csvLink.href = csvUrl;
    csvLink.download = [v.line, v.station, v.register, isoText(body.since_ms),
                        isoText(body.until_ms)].join("_").replace(/[^\w.-]+/g, "-") + ".csv";
    csvLink.hidden = false;
  }

  function durationText(ms) {
    const round = (n) => String(Number(n.toPrecision(3)));
    if (ms < 60000) return round(ms / 1000) + " s";
    if (ms < 3600000) return round(ms / 60000) + " min";
    return round(ms / 3600000) + " h";
  }

  function describe(v, body) {
    const points = body.points;
    const good = points.reduce((n, p) => n + p.count, 0);
    const failed = points.reduce((n, p) => n + p.failed, 0);
    if (!good && !failed) {
      return "no readings from " + new Date(body.since_ms).toLocaleString([], { hour12: false }) +
             " to " + new Date(body.until_ms).toLocaleString([], { hour12: false });
    }
    let text = good + " good readings";
    if (failed) text += ", " + failed + " failed (shaded red)";
    const bucket = body.bucket_ms
      ? points.length + " points of " + durationText(body.bucket_ms) + " each (" +
        body.resolution + ")"
      : "each point one stored reading";
    return text + "; " + bucket;
  }

  function draw(c, v, body) {
    const mean = [], min = [], max = [], failed = [];
    const width = body.bucket_ms || 0;
    body.points.forEach((p, i) => {
      // A bucket without a good reading is a gap, not a zero.
      const none = p.count === 0;
      mean.push({ x: p.time_ms, y: none ? null : p.mean });
      min.push({ x: p.time_ms, y: none ? null : p.min });
      max.push({ x: p.time_ms, y: none ? null : p.max });
      // A stored reading stands until the next one.
      const next = i + 1 < body.points.length ? body.points[i + 1].time_ms : body.until_ms;
      if (p.failed > 0) failed.push({ from: p.time_ms, to: width ? p.time_ms + width : next });
    });
    c.data.datasets[0].data = max;
    c.data.datasets[1].data = min;
    c.data.datasets[2].data = mean;
    c.data.datasets[2].pointRadius = mean.length > 300 ? 0 : 2;
    c.$failed = failed;
    c.options.scales.x.min = body.since_ms;
    c.options.scales.x.max = body.until_ms;
    showTitle(v, false);
    c.update();
    const good = mean.filter((p) => p.y !== null).length;
    canvas.dataset.points = good;
    trendBox.dataset.state = good ? "drawn" : "empty";
    note.textContent = describe(v, body);
    offerCsv(v, body);
  }

  async function load() {
    const v = view;
    if (!v) return;
    const c = await ensureChart();
    if (!c || v !== view) return;
    const { since, until } = windowOf(v);
    // One point per pixel of the chart at most.
    const points = Math.max(1, Math.floor(canvas.clientWidth));
    canvas.dataset.asked = points;
    const query = new URLSearchParams({ line: v.line, station: v.station, register: v.register,
                                        since: String(since), until: String(until),
                                        points: String(points) });
    const mine = ++asked;
    trendBox.dataset.loading = "yes";
    let body;
    try {
      const res = await fetch("/api/v1/history?" + query, { cache: "no-store" });
      if (!res.ok) {
        if (mine === asked) trendError((await res.text()).trim());
        return;
      }
      body = await res.json();
    } catch (e) {
      if (mine === asked) trendError("the history could not be read: " + e.message);
      return;
    } finally {
      if (mine === asked) delete trendBox.dataset.loading;
    }
    if (mine !== asked || v !== view) return;  // something else was chosen meanwhile
    if (!Array.isArray(body.points)) {
      trendError("the history answered without points: this service cannot draw trends");
      return;
    }
    draw(c, v, body);
  }

  // The title and the y axis's unit; `redraw` draws the chart again for the unit.
  function showTitle(v, redraw) {
    const info = page.registerInfo(v.line, v.station, v.register);
    let text = "Trend: " + v.line + " · station " + v.station + " · " + v.register;
    if (info.label) text += " — " + info.label;
    if (info.unit) text += " (" + info.unit + ")";
    const span = v.span === "chosen"
      ? new Date(v.since).toLocaleString([], { hour12: false }) + " to " +
        new Date(v.until).toLocaleString([], { hour12: false })
      : SPAN_TEXT[v.span];
    title.textContent = text + " · " + span;
    if (chart) {
      chart.options.scales.y.title.text = info.unit;
      chart.options.scales.y.title.display = info.unit !== "";
      if (redraw) chart.update();
    }
  }

  // Shows `v`; `fromZoom` keeps the way back to what was shown.
  function open(v, fromZoom) {
    if (fromZoom && view) zoomedFrom.push(view);
    if (!fromZoom) zoomedFrom = [];
    view = v;
    backButton.disabled = zoomedFrom.length === 0;
    for (const b of document.querySelectorAll(".trend-span button[data-span]")) {
      b.classList.toggle("chosen", b.dataset.span === v.span);
    }
    const hash = hashOf(v);
    if (location.hash !== hash) history.replaceState(null, "", hash);
    showTitle(v, false);
    page.markSelected(v);
    clearInterval(timer);
    if (v.span !== "chosen") timer = setInterval(load, REFRESH_MS[v.span]);
    load();
  }

  function localInput(ms) {
    const d = new Date(ms - new Date(ms).getTimezoneOffset() * 60000);
    return d.toISOString().slice(0, 16);
  }

  function openHash() {
    const v = parseHash(location.hash);
    if (v && (!view || hashOf(v) !== hashOf(view))) open(v, false);
  }

  // Drag across the chart to show that range; "back" returns to what was shown before.
  let dragStart = null;
  canvas.addEventListener("mousedown", (e) => {
    if (!chart || !view || e.button !== 0) return;
    const a = chart.chartArea;
    if (e.offsetX < a.left || e.offsetX > a.right) return;
    dragStart = e.offsetX;
  });
  canvas.addEventListener("mousemove", (e) => {
    if (dragStart === null) return;
    const a = chart.chartArea;
    const x = Math.min(Math.max(e.offsetX, a.left), a.right);
    dragBand.style.left = Math.min(x, dragStart) + "px";
    dragBand.style.width = Math.abs(x - dragStart) + "px";
    dragBand.style.top = a.top + "px";
    dragBand.style.height = a.bottom - a.top + "px";
    dragBand.hidden = false;
  });
  window.addEventListener("mouseup", (e) => {
    if (dragStart === null) return;
    const a = chart.chartArea;
    const rect = canvas.getBoundingClientRect();
    const x = Math.min(Math.max(e.clientX - rect.left, a.left), a.right);
    const [left, right] = [Math.min(x, dragStart), Math.max(x, dragStart)];
    dragStart = null;
    dragBand.hidden = true;
    if (right - left < DRAG_MIN_PX) return;
    const scale = chart.scales.x;
    // Whole seconds: the address stays readable.
    const since = Math.round(scale.getValueForPixel(left) / 1000) * 1000;
    const until = Math.round(scale.getValueForPixel(right) / 1000) * 1000;
    open({ ...view, span: "chosen", since, until }, true);
  });
  backButton.addEventListener("click", () => {
    const back = zoomedFrom.pop();
    if (!back) return;
    const rest = zoomedFrom;
    open(back, false);
    zoomedFrom = rest;
    backButton.disabled = zoomedFrom.length === 0;
  });
  for (const b of document.querySelectorAll(".trend-span button[data-span]")) {
    b.addEventListener("click", () => {
      if (view) open({ line: view.line, station: view.station, register: view.register,
                       span: b.dataset.span }, false);
    });
  }
  document.getElementById("span-chosen").addEventListener("submit", (e) => {
    e.preventDefault();
    const since = new Date(fromInput.value).getTime();
    const until = new Date(untilInput.value).getTime();
    if (!view) return;
    if (!Number.isFinite(since) || !Number.isFinite(until) || since >= until) {
      trendError("choose a start before the end");
      return;
    }
    open({ ...view, span: "chosen", since, until }, false);
  });
  window.addEventListener("hashchange", openHash);

  const now = Date.now();
  fromInput.value = localInput(now - SPAN_MS.day);
  untilInput.value = localInput(now);

  page.openTrend = (line, station, register) => {
    const span = view ? (view.span === "chosen" ? "hour" : view.span) : "hour";
    open({ line, station, register, span }, false);
  };
  page.tableBuilt = () => {
    if (view) showTitle(view, true);
  };
  page.chartPoints = () => Number(canvas.dataset.points || 0);
  page.parseHash = parseHash;
  openHash();
})();
