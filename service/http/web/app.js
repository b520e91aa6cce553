// The live page of qm4720d: the live table from /api/v1/values every second, and the trend of the
// chosen register from /api/v1/history drawn with Chart.js (served by the service as /chart.js).
// States are data-state attributes, for the style sheet and for whoever tests the page.
"use strict";

(() => {
  const POLL_MS = 1000;
  const TREND_REFRESH_MS = 5000;
  // Rows asked for per span: a register polled every second fills an hour with 3600.
  const TREND_LIMIT = { "-1h": 20000, "-1d": 100000 };
  const SPAN_TEXT = { "-1h": "last hour", "-1d": "last day" };
  const SPAN_MS = { "-1h": 3600000, "-1d": 86400000 };

  const linesBox = document.getElementById("lines");
  const statusBox = document.getElementById("status");
  const trendBox = document.getElementById("trend");
  const trendTitle = document.getElementById("trend-title");
  const trendNote = document.getElementById("trend-note");
  const canvas = document.getElementById("chart");

  let structure = "";  // the lines, meters and registers the rows were built for
  let rows = new Map();  // "line/station/register" and "line/station" -> <tr>
  let lineParts = new Map();  // line name -> its section and state badge
  let selected = null;  // {line, station, register}
  let span = "-1h";
  let chart = null;
  let trendTimer = null;
  let trendLoading = false;  // a slow read of a day is not overtaken by the next refresh
  let trend = { of: null, span: null, points: [], truncated: false };  // what the chart shows

  // Six significant digits at most, no trailing zeros: 21.5, -3.25, 100.25, 0.000125.
  function formatValue(v) {
    if (v === null || v === undefined) return "—";
    if (Number.isInteger(v) || Math.abs(v) >= 1e6) return String(v);
    return String(Number(v.toPrecision(6)));
  }

  function formatAge(ms) {
    if (ms === null || ms === undefined) return "—";
    if (ms < 10000) return (ms / 1000).toFixed(1) + " s";
    if (ms < 120000) return Math.round(ms / 1000) + " s";
    if (ms < 7200000) return Math.round(ms / 60000) + " min";
    return Math.round(ms / 3600000) + " h";
  }

  function formatError(r) {
    if (r.error_code === -1) return "";
    const text = r.error || "error " + r.error_code;
    return r.gloss && r.gloss !== text ? text + " — " + r.gloss : text;
  }

  function make(tag, className, text) {
    const e = document.createElement(tag);
    if (className) e.className = className;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  function badge(state, text) {
    const b = make("span", "state", text === undefined ? state : text);
    b.dataset.state = state;
    return b;
  }

  function structureOf(data) {
    return JSON.stringify(data.lines.map((l) => [l.name, l.meters.map((m) =>
      [m.station, m.registers.map((r) => r.register)])]));
  }

  function build(data) {
    linesBox.replaceChildren();
    rows = new Map();
    lineParts = new Map();
    for (const line of data.lines) {
      const section = make("section", "line");
      section.dataset.line = line.name;
      const title = make("h2", "", line.name + " ");
      title.append(make("span", "port", line.port + " "));
      const state = badge(line.state);
      const reason = make("span", "reason");
      title.append(state, reason);
      section.append(title);
      const table = make("table");
      const head = make("tr");
      for (const h of ["Station", "Model", "State", "Register", "Value", "Quality", "Age",
                       "Last error"]) {
        head.append(make("th", "", h));
      }
      const thead = make("thead");
      thead.append(head);
      table.append(thead);
      const body = make("tbody");
      for (const meter of line.meters) {
        const tr = make("tr", "meter");
        tr.dataset.line = line.name;
        tr.dataset.station = meter.station;
        tr.append(make("td", "", "station " + meter.station), make("td", "", meter.model));
        const td = make("td");
        td.append(badge("unknown", ""));
        tr.append(td, make("td", "summary"));
        tr.lastChild.colSpan = 5;
        body.append(tr);
        rows.set(line.name + "/" + meter.station, tr);
        for (const r of meter.registers) {
          const row = make("tr", "register");
          row.dataset.line = line.name;
          row.dataset.station = meter.station;
          row.dataset.register = r.register;
          const stateCell = make("td");
          stateCell.append(badge("unknown", ""));
          row.append(make("td"), make("td"), stateCell, make("td", "register", r.register),
                     make("td", "value"), make("td", "quality"), make("td", "age"),
                     make("td", "error"));
          row.title = "Click to draw the trend of " + r.register;
          body.append(row);
          rows.set(line.name + "/" + meter.station + "/" + r.register, row);
        }
      }
      table.append(body);
      section.append(table);
      linesBox.append(section);
      lineParts.set(line.name, { section, state, reason });
    }
    markSelected();
  }

  function setBadge(tr, state, text) {
    tr.dataset.state = state;
    const b = tr.querySelector(".state");
    b.dataset.state = state;
    b.textContent = text;
  }

  function update(data) {
    const s = structureOf(data);
    if (s !== structure) {
      build(data);
      structure = s;
    }
    for (const line of data.lines) {
      const parts = lineParts.get(line.name);
      parts.section.dataset.state = line.state;
      parts.state.dataset.state = line.state;
      parts.state.textContent = line.state === "lost" ? "line lost" : line.state;
      parts.reason.textContent = line.reason ? " " + line.reason : "";
      for (const meter of line.meters) {
        const tr = rows.get(line.name + "/" + meter.station);
        // A meter with no polled register is only there to be written: nothing says it answers.
        const state = meter.registers.length ? meter.state : "not polled";
        setBadge(tr, state, state);
        const good = meter.registers.filter((r) => r.state === "good").length;
        tr.querySelector(".summary").textContent =
          meter.registers.length ? good + " of " + meter.registers.length + " registers good"
                                 : "not polled";
        for (const r of meter.registers) {
          const row = rows.get(line.name + "/" + meter.station + "/" + r.register);
          setBadge(row, r.state, r.state);
          row.querySelector(".value").textContent = formatValue(r.value);
          row.querySelector(".quality").textContent = r.quality === 192 ? "192 good" : r.quality;
          row.querySelector(".age").textContent = formatAge(r.age_ms);
          row.querySelector(".error").textContent = formatError(r);
          row.querySelector(".error").title = r.error_code === -1 ? "" : "code " + r.error_code;
        }
      }
    }
  }

  async function poll() {
    try {
      const res = await fetch("/api/v1/values", { cache: "no-store" });
      if (!res.ok) throw new Error("HTTP " + res.status);
      const data = await res.json();
      update(data);
      const history = data.history;
      if (history && history.state === "failing") {
        statusBox.dataset.state = "history-failing";
        statusBox.textContent = "updated " + clockTime(Date.parse(data.time), true) +
                                "; the history is not being written (" + history.error + "), " +
                                history.rows_dropped + " rows lost";
      } else {
        statusBox.dataset.state = "live";
        statusBox.textContent = "updated " + clockTime(Date.parse(data.time), true);
      }
    } catch (e) {
      statusBox.dataset.state = "unreachable";
      statusBox.textContent = "the service does not answer (" + e.message +
                              "): the values shown are old";
    } finally {
      setTimeout(poll, POLL_MS);
    }
  }

  function markSelected() {
    for (const tr of linesBox.querySelectorAll("tr.register.selected")) {
      tr.classList.remove("selected");
    }
    if (!selected) return;
    const tr = rows.get(selected.line + "/" + selected.station + "/" + selected.register);
    if (tr) tr.classList.add("selected");
  }

  function trendError(text) {
    trendBox.dataset.state = "error";
    trendNote.textContent = text;
  }

  // The chart, made once; null when Chart.js did not load (the reason is shown instead).
  async function ensureChart() {
    if (chart) return chart;
    if (typeof Chart === "undefined") {
      let reason = "Chart.js did not load from /chart.js";
      try {
        const res = await fetch("/chart.js", { method: "GET" });
        if (!res.ok) reason = (await res.text()).trim();
      } catch (e) {
        reason += ": " + e.message;
      }
      trendError(reason);
      return null;
    }
    chart = new Chart(canvas, {
      type: "line",
      data: { datasets: [{ data: [], borderColor: "#2b5fb3", backgroundColor: "#2b5fb3",
                           borderWidth: 1.5, pointRadius: 2, spanGaps: false }] },
      options: {
        animation: false,
        maintainAspectRatio: false,
        parsing: false,
        normalized: true,
        scales: {
          x: { type: "linear", ticks: { maxRotation: 0, callback: timeTick } },
          y: { ticks: { callback: (v) => formatValue(v) } },
        },
        plugins: {
          legend: { display: false },
          tooltip: { callbacks: {
            title: (items) => new Date(items[0].parsed.x).toLocaleString([], { hour12: false }),
            label: (item) => formatValue(item.parsed.y),
          } },
        },
      },
    });
    return chart;
  }

  function clockTime(ms, withSeconds) {
    const options = { hour: "2-digit", minute: "2-digit", hour12: false };
    if (withSeconds) options.second = "2-digit";
    return new Date(ms).toLocaleTimeString([], options);
  }

  // Epoch ms on the x axis as local clock times, seconds when the axis spans under 15 minutes;
  // a tick that would repeat its left neighbour's label stays unlabelled.
  function timeTick(value, index, ticks) {
    const range = ticks[ticks.length - 1].value - ticks[0].value;
    const label = clockTime(value, range < 15 * 60000);
    return index > 0 && clockTime(ticks[index - 1].value, range < 15 * 60000) === label ? ""
                                                                                        : label;
  }

  // The first load reads the whole span; each refresh after it only the rows since the last
  // point, dropping those that have left the span, so that a day's trend is not read again every
  // few seconds.
  async function loadTrend() {
    if (!selected || trendLoading) return;
    trendLoading = true;
    try {
      await readTrend();
    } finally {
      trendLoading = false;
    }
  }

  async function readTrend() {
    const wanted = selected;
    const wantedSpan = span;
    const c = await ensureChart();
    if (!c) return;
    const onward = trend.of === wanted && trend.span === wantedSpan && trend.points.length > 0;
    const since = onward ? String(trend.points[trend.points.length - 1].x + 1) : wantedSpan;
    const query = new URLSearchParams({ line: wanted.line, station: wanted.station,
                                        register: wanted.register, since,
                                        limit: TREND_LIMIT[wantedSpan] });
    let body;
    try {
      const res = await fetch("/api/v1/history?" + query, { cache: "no-store" });
      if (!res.ok) {
        trendError((await res.text()).trim());
        return;
      }
      body = await res.json();
    } catch (e) {
      trendError("the history could not be read: " + e.message);
      return;
    }
    if (wanted !== selected || wantedSpan !== span) return;  // chosen otherwise meanwhile
    // A failed read is a gap in the line, not a zero.
    const fresh = body.rows.map((r) => ({ x: r.time_ms, y: r.value }));
    if (onward && !body.truncated) {
      trend.points = trend.points.concat(fresh);
      const start = trend.points[trend.points.length - 1].x - SPAN_MS[wantedSpan];
      const first = trend.points.findIndex((p) => p.x >= start);
      if (first > 0) trend.points = trend.points.slice(first);
    } else {
      trend = { of: wanted, span: wantedSpan, points: fresh, truncated: body.truncated };
    }
    const points = trend.points;
    const good = points.filter((p) => p.y !== null).length;
    const dataset = c.data.datasets[0];
    dataset.data = points;
    dataset.pointRadius = points.length > 600 ? 0 : 2;
    c.update();
    canvas.dataset.points = good;
    trendBox.dataset.state = good ? "drawn" : "empty";
    let note = good + " readings";
    if (points.length > good) note += ", " + (points.length - good) + " failed (gaps)";
    if (points.length) {
      note += ", " + clockTime(points[0].x, true) + " to " +
              clockTime(points[points.length - 1].x, true);
    } else {
      note = "no readings in the " + SPAN_TEXT[wantedSpan] +
             " (the history is written once a second)";
    }
    if (trend.truncated) note += "; the span holds more: only the newest are drawn";
    trendNote.textContent = note;
  }

  function select(line, station, register) {
    selected = { line, station, register };
    trendTitle.textContent = "Trend: " + line + " · station " + station + " · " + register +
                             " · " + SPAN_TEXT[span];
    markSelected();
    loadTrend();
    clearInterval(trendTimer);
    trendTimer = setInterval(loadTrend, TREND_REFRESH_MS);
  }

  linesBox.addEventListener("click", (e) => {
    const tr = e.target.closest("tr.register");
    if (tr) select(tr.dataset.line, Number(tr.dataset.station), tr.dataset.register);
  });
  for (const button of document.querySelectorAll(".trend-span button")) {
    button.addEventListener("click", () => {
      span = button.dataset.span;
      for (const b of document.querySelectorAll(".trend-span button")) {
        b.classList.toggle("chosen", b === button);
      }
      if (selected) select(selected.line, selected.station, selected.register);
    });
  }

  // For tests and curious people at the console.
  window.qm4720 = {
    chartPoints: () => Number(canvas.dataset.points),
    select,
    formatValue,
  };

  poll();
})();
