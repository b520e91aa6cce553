// The live page of qm4720d: the live table from /api/v1/values every second, one card per line
// with the same columns in every card. The trend of a clicked register is trend.js's. States are
// data-state attributes, for the style sheet and for whoever tests the page.
"use strict";

(() => {
  const POLL_MS = 1000;
  const COLUMNS = ["Register", "Value", "Unit", "Quality", "Age", "Last error"];

  const linesBox = document.getElementById("lines");
  const statusBox = document.getElementById("status");

  let structure = "";  // the lines, meters and registers the rows were built for
  let rows = new Map();  // "line/station/register" and "line/station" -> <tr>
  let info = new Map();  // "line/station/register" -> {label, unit}
  let lineParts = new Map();  // line name -> its section and state badge
  let selected = null;  // {line, station, register} whose trend is shown

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
      [m.station, m.registers.map((r) => [r.register, r.label, r.unit])])]));
  }

  function build(data) {
    linesBox.replaceChildren();
    rows = new Map();
    info = new Map();
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
      // Fixed columns: every card lines its columns up with the others'.
      const table = make("table");
      const cols = make("colgroup");
      for (const c of COLUMNS) {
        cols.append(make("col", "col-" + c.toLowerCase().replace(" ", "-")));
      }
      const head = make("tr");
      for (const h of COLUMNS) head.append(make("th", h.toLowerCase().replace(" ", "-"), h));
      const thead = make("thead");
      thead.append(head);
      table.append(cols, thead);
      const body = make("tbody");
      for (const meter of line.meters) {
        const tr = make("tr", "meter");
        tr.dataset.line = line.name;
        tr.dataset.station = meter.station;
        const td = make("td");
        td.colSpan = COLUMNS.length;
        td.append(make("span", "station", "station " + meter.station),
                  make("span", "model", meter.model), badge("unknown", ""),
                  make("span", "summary"));
        tr.append(td);
        body.append(tr);
        rows.set(line.name + "/" + meter.station, tr);
        for (const r of meter.registers) {
          const row = make("tr", "register");
          row.dataset.line = line.name;
          row.dataset.station = meter.station;
          row.dataset.register = r.register;
          const name = make("td", "register");
          name.append(make("span", "mnemonic", r.register), make("span", "label", r.label));
          // Without a label, what the model's table says of the register.
          name.title = (r.label ? r.label + "\n" : "") + r.description;
          const quality = make("td", "quality");
          quality.append(badge("unknown", ""));
          row.append(name, make("td", "value"), make("td", "unit", r.unit), quality,
                     make("td", "age"), make("td", "error"));
          row.title = "Click to draw the trend of " + r.register;
          body.append(row);
          const key = line.name + "/" + meter.station + "/" + r.register;
          rows.set(key, row);
          info.set(key, { label: r.label, unit: r.unit });
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
      window.qm4720.tableBuilt();
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
          setBadge(row, r.state, r.quality_text);
          row.querySelector(".value").textContent = formatValue(r.value);
          // The numbers behind the words, for whoever asks.
          row.querySelector(".quality").title = "quality " + r.quality +
            (r.error_code === -1 ? "" : ", error code " + r.error_code);
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

  // Marks the row of the register whose trend is shown (`v`: {line, station, register}).
  function markSelected(v) {
    if (v !== undefined) selected = v;
    for (const tr of linesBox.querySelectorAll("tr.register.selected")) {
      tr.classList.remove("selected");
    }
    if (!selected) return;
    const tr = rows.get(selected.line + "/" + selected.station + "/" + selected.register);
    if (tr) tr.classList.add("selected");
  }

  function clockTime(ms, withSeconds) {
    const options = { hour: "2-digit", minute: "2-digit", hour12: false };
    if (withSeconds) options.second = "2-digit";
    return new Date(ms).toLocaleTimeString([], options);
  }

  linesBox.addEventListener("click", (e) => {
    const tr = e.target.closest("tr.register");
    if (tr) window.qm4720.openTrend(tr.dataset.line, Number(tr.dataset.station),
                                    tr.dataset.register);
  });

  // Shared with trend.js, and for tests and curious people at the console.
  window.qm4720 = {
    formatValue,
    clockTime,
    markSelected,
    registerInfo: (line, station, register) =>
      info.get(line + "/" + station + "/" + register) || { label: "", unit: "" },
    openTrend: () => {},  // trend.js's
    tableBuilt: () => {},  // trend.js's: labels and units are known now
  };

  poll();
})();
