"use strict";
// The fleet page: /api/fleet every 10 s, drawn into the table.

const SVG = "http://www.w3.org/2000/svg";

function cell(row, text, cls) {
  const td = document.createElement("td");
  if (cls) td.className = cls;
  if (text !== undefined) td.textContent = text;
  row.appendChild(td);
  return td;
}

function strip(days) {
  const div = document.createElement("div");
  div.className = "strip";
  for (const d of days) {
    const box = document.createElement("span");
    const share = d.expected > 0 ? d.records / d.expected : null;
    box.className = "day" + (share === null ? "" : share >= 0.99 ? " full" : share >= 0.8 ? " most" : " few");
    box.title = `${d.date}: ${d.records} of ${d.expected} records`;
    div.appendChild(box);
  }
  return div;
}

// A line of one trend column, scaled to its own range (at least 1 % of its mean).
function trend(points, column, cls) {
  const svg = document.createElementNS(SVG, "svg");
  svg.setAttribute("class", "trend");
  svg.setAttribute("viewBox", "0 0 220 44");
  const values = points.map((p) => p[column]).filter((v) => Number.isFinite(v));
  if (values.length < 2) return { svg, text: values.length ? values[0].toFixed(2) : "–" };
  let lo = Math.min(...values), hi = Math.max(...values);
  const mean = values.reduce((a, b) => a + b, 0) / values.length;
  const span = Math.max(hi - lo, Math.abs(mean) * 0.01, 1e-9);
  lo = (lo + hi) / 2 - span / 2;
  const line = document.createElementNS(SVG, "polyline");
  line.setAttribute("class", cls);
  line.setAttribute("points", points.map((p, i) =>
    `${(i * 216 / (points.length - 1) + 2).toFixed(1)},${(42 - (p[column] - lo) / span * 40).toFixed(1)}`).join(" "));
  svg.appendChild(line);
  return { svg, text: values[values.length - 1].toFixed(column === 1 ? 1 : 2) };
}

// The compliance verdict of a station: one line per subject (the voltage, each feeder).
function verdict(compliance) {
  const div = document.createElement("div");
  div.className = "verdict";
  const line = (text, cls, title) => {
    const p = document.createElement("div");
    p.className = cls;
    p.textContent = text;
    if (title) p.title = title;
    div.appendChild(p);
  };
  if (!compliance) {
    line("限度値の設定なし", "muted");
    return div;
  }
  if (compliance.error) {
    line(`判定なし: ${compliance.error}`, "muted");
    return div;
  }
  const order = (s, o) => (o === 0 ? s.totalName : `${o}次`);
  for (const s of compliance.subjects) {
    const title = s.worstMargin === undefined ? "" :
      `最小余裕 ${s.worstMargin.toFixed(1)}% (${order(s, s.worstOrder)})`;
    line(s.exceeded ? `${s.label} 超過 ${s.orders.map((o) => order(s, o)).join(", ")}`
                    : `${s.label} 適合`, s.exceeded ? "exceeded" : "pass", title);
  }
  div.title = `${compliance.profile}: ${compliance.from.replace("T", " ")} – ${compliance.to.replace("T", " ")}, ${compliance.records} records`;
  return div;
}

function draw(doc) {
  document.getElementById("today").textContent = "today " + doc.today;
  const body = document.getElementById("stations");
  body.replaceChildren();
  for (const s of doc.stations) {
    const row = document.createElement("tr");
    cell(row, s.name);
    const state = cell(row);
    const badge = document.createElement("span");
    badge.className = "badge " + (s.online ? "ok" : "bad");
    badge.textContent = s.online ? "online" : "offline";
    state.appendChild(badge);
    cell(row, s.lastRecord ? s.lastRecord.replace("T", " ") : "–", "value");
    cell(row).appendChild(strip(s.days));
    for (const [column, cls] of [[1, "v"], [3, "thd"]]) {
      const t = trend(s.trend, column, cls);
      const td = cell(row, undefined, "value");
      td.appendChild(t.svg);
      td.appendChild(document.createTextNode(t.text));
    }
    cell(row).appendChild(verdict(s.compliance));
    body.appendChild(row);
  }
}

async function refresh() {
  const badge = document.getElementById("connection");
  try {
    const answer = await fetch("/api/fleet", { credentials: "same-origin" });
    const doc = await answer.json();
    if (!answer.ok) throw new Error(doc.error || answer.status);
    draw(doc);
    badge.textContent = "up to date";
    badge.className = "badge ok";
  } catch (e) {
    badge.textContent = "no answer: " + e.message;
    badge.className = "badge bad";
  }
}

refresh();
setInterval(refresh, 10000);
