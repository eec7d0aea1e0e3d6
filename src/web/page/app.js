'use strict';
// The status page: polls /api/status, swaps the view image when a new shot was analysed and
// redraws the trend when a record was added. Every text goes into the DOM as text, never HTML.

const colours = ['#1f5fa8', '#c0392b', '#2e8b57', '#8e44ad', '#d68910', '#17a2b8', '#7f8c8d',
                 '#a93226', '#2c3e50'];
let lastShot = -1;
let lastRecords = -1;
let feeders = 0;

const $ = (id) => document.getElementById(id);
const text = (id, value) => { $(id).textContent = value === null || value === undefined ? '–' : String(value); };
const shortTime = (t) => (t ? t.replace('T', ' ') : '–');

function fillRows(tbody, rows) {
  tbody.replaceChildren(...rows.map((cells) => {
    const tr = document.createElement('tr');
    for (const c of cells) {
      const td = document.createElement('td');
      if (c instanceof Node) td.appendChild(c); else td.textContent = c === null || c === undefined ? '–' : String(c);
      tr.appendChild(td);
    }
    return tr;
  }));
}

function fillList(ul, items) {
  if (items.length === 0) {
    const li = document.createElement('li');
    li.className = 'muted';
    li.textContent = 'none';
    ul.replaceChildren(li);
    return;
  }
  ul.replaceChildren(...items.map(([line, cls]) => {
    const li = document.createElement('li');
    li.textContent = line;
    if (cls) li.className = cls;
    return li;
  }));
}

function link(href, label) {
  const a = document.createElement('a');
  a.href = href;
  a.textContent = label;
  return a;
}

function updateFeeders(count) {
  if (count === feeders) return;
  feeders = count;
  const select = $('feeder-select');
  const chosen = select.value;
  select.replaceChildren(...Array.from({ length: count }, (_, i) => {
    const o = document.createElement('option');
    o.value = String(i + 1);
    o.textContent = String(i + 1);
    return o;
  }));
  if (Number(chosen) <= count) select.value = chosen;
}

function updateView(force) {
  const view = $('view-select').value;
  const feeder = $('feeder-select').value;
  if (lastShot <= 0) return;
  const img = $('view-image');
  const src = `/view/${view}.png?feeder=${feeder}&w=640&h=360&shot=${lastShot}`;
  if (force || img.getAttribute('src') !== src) {
    img.onload = () => { text('view-state', `view ${view}, feeder ${feeder}, shot ${img.dataset.shot}`); img.dataset.loaded = 'yes'; };
    img.dataset.shot = String(lastShot);
    img.src = src;
  }
}

// The least span of a trend axis: the rule of the station's TrendAxisSpan (src/render/
// TrendScale.h), kept the same here. A ratio (distortion in %) runs from 0 up to at least 1 %;
// a magnitude (voltage, current) shows at least 1 % of its mean either side of the mean (1
// either side of a mean of 0), so that the noise of a steady feeder does not look like swings.
function trendSpan(values, kind) {
  if (values.length === 0) return [0, 1];
  const lo = Math.min(...values), hi = Math.max(...values);
  if (kind === 'ratio') return [Math.min(0, lo), Math.max(hi, 1)];
  const mean = values.reduce((a, b) => a + b, 0) / values.length;
  const least = mean !== 0 ? Math.abs(mean) * 0.01 : 1;
  return [Math.min(lo, mean - least), Math.max(hi, mean + least)];
}

// Ticks of 1, 2 or 5 times a power of ten, about four intervals, enclosing [lo, hi].
function niceTicks(lo, hi) {
  const raw = (hi - lo) / 4;
  const power = Math.pow(10, Math.floor(Math.log10(raw)));
  const step = [1, 2, 5, 10].map((m) => m * power).find((v) => v >= raw);
  const first = Math.floor(lo / step + 1e-9) * step;
  const last = Math.max(first + step, Math.ceil(hi / step - 1e-9) * step);
  return { first, last, step };
}

function drawChart(canvas, series, unit, kind) {
  const ctx = canvas.getContext('2d');
  const w = canvas.width, h = canvas.height, left = 66, right = 8, top = 8, bottom = 22;
  ctx.fillStyle = '#fff';
  ctx.fillRect(0, 0, w, h);
  const all = series.flatMap((s) => s.points.map((p) => p[1])).filter((v) => Number.isFinite(v));
  const n = series.length ? series[0].points.length : 0;
  ctx.strokeStyle = '#9aa3ad';
  ctx.strokeRect(left, top, w - left - right, h - top - bottom);
  ctx.fillStyle = '#6b7480';
  ctx.font = '11px sans-serif';
  if (all.length === 0) { ctx.fillText('no records yet', left + 10, top + 20); return; }
  const [spanLo, spanHi] = trendSpan(all, kind);
  const ticks = niceTicks(spanLo, spanHi);
  const lo = ticks.first, hi = ticks.last;
  const x = (i) => left + (n <= 1 ? 0.5 : i / (n - 1)) * (w - left - right);
  const y = (v) => top + (1 - (v - lo) / (hi - lo)) * (h - top - bottom);
  // Tick labels with as many decimals as their step needs, right-aligned and centred on their
  // lines.
  const decimals = Math.min(6, Math.max(0, -Math.floor(Math.log10(ticks.step) + 1e-9)));
  ctx.textAlign = 'right';
  ctx.textBaseline = 'middle';
  for (let k = 0; lo + k * ticks.step <= hi + ticks.step / 2; k++) {
    const v = lo + k * ticks.step;
    ctx.fillText(v.toFixed(decimals) + unit, left - 4, y(v));
    ctx.strokeStyle = '#eef0f2';
    ctx.beginPath(); ctx.moveTo(left, y(v)); ctx.lineTo(w - right, y(v)); ctx.stroke();
  }
  ctx.textAlign = 'left';
  ctx.textBaseline = 'alphabetic';
  const times = series[0].points.map((p) => p[0]);
  ctx.fillText(shortTime(times[0]).slice(5, 16), left, h - 6);
  if (n > 1) ctx.fillText(shortTime(times[n - 1]).slice(5, 16), w - right - 70, h - 6);
  for (const s of series) {
    ctx.strokeStyle = s.colour;
    ctx.fillStyle = s.colour;
    ctx.beginPath();
    s.points.forEach((p, i) => (i ? ctx.lineTo(x(i), y(p[1])) : ctx.moveTo(x(i), y(p[1]))));
    ctx.stroke();
    s.points.forEach((p, i) => ctx.fillRect(x(i) - 1.5, y(p[1]) - 1.5, 3, 3));
  }
}

async function updateTrend() {
  const r = await fetch('/api/records', { cache: 'no-store' });
  if (!r.ok) return;
  const doc = await r.json();
  const recs = doc.records;
  const perFeeder = (key) => Array.from({ length: doc.feeders }, (_, f) => ({
    colour: colours[f % colours.length], points: recs.map((x) => [x.time, x[key][f]]) }));
  drawChart($('chart-v'), [{ colour: colours[0], points: recs.map((x) => [x.time, x.V]) }], '', 'magnitude');
  drawChart($('chart-i'), perFeeder('I'), '', 'magnitude');
  drawChart($('chart-vthd'), [{ colour: colours[0], points: recs.map((x) => [x.time, x.Vthd]) }], '%', 'ratio');
  drawChart($('chart-ithd'), perFeeder('Ithd'), '%', 'ratio');
  $('legend').replaceChildren(...Array.from({ length: doc.feeders }, (_, f) => {
    const span = document.createElement('span');
    const i = document.createElement('i');
    i.style.background = colours[f % colours.length];
    span.append(i, `feeder ${f + 1}`);
    return span;
  }));
  $('legend').dataset.records = String(recs.length);
}

// The limit watch's panel (/api/compliance), when the run has one.
async function updateCompliance() {
  const r = await fetch('/api/compliance', { cache: 'no-store' });
  if (!r.ok) return;
  const c = await r.json();
  $('compliance').hidden = !c.active;
  if (!c.active) return;
  text('compliance-profile', `${c.title} (${c.profile}), ${c.records} records checked${c.problem ? ': ' + c.problem : ''}`);
  const num = (v) => (typeof v === 'number' ? v.toFixed(3) : '–');
  fillRows($('compliance-table').tBodies[0], c.subjects.map((s) => {
    const w = s.worst || {};
    const last = s.exceedances.slice(-5).reverse().map((e) =>
      `${shortTime(e.time)} ${e.name} ${num(e.value)} > ${num(e.limit)} ${s.unit}`).join('; ');
    return [s.label + (s.exceeded ? ' (exceeded)' : ''), w.name, `${s.statistic} ${num(w.value)}`,
            num(w.p95), `${num(w.limit)} ${s.unit}`, typeof w.margin === 'number' ? w.margin.toFixed(1) + ' %' : '–',
            s.exceedances.length ? last : 'none'];
  }));
}

function show(s) {
  text('clock', 'station time ' + shortTime(s.time));
  text('status', s.status || '–');
  text('summary', s.summary || '–');
  text('shots', s.shots);
  text('last-shot', shortTime(s.lastShot));
  const rec = s.records;
  // Before the run the schedule is still being set up on the station's screens.
  const planned = (value) => (s.waiting ? '–' : value);
  text('records-written', planned(rec.written));
  text('records-total', planned(rec.expectedTotal));
  text('records-due', planned(rec.expectedByNow));
  text('next-save', planned(rec.nextSave ? shortTime(rec.nextSave).slice(11) : 'none'));
  text('interval', planned(rec.intervalMin));
  text('run-end', planned(shortTime(s.end)));
  const ongoing = s.outages.filter((o) => !o.to).length;
  text('outage-count', s.outages.length + (ongoing ? ' (1 now)' : ''));
  text('gap-count', rec.gaps.length);
  text('message-count', s.messages.length);
  fillRows($('recorders').tBodies[0], s.recorders.map((r) => [r.recorder, r.model, r.link, shortTime(r.lastGoodShot)]));
  fillRows($('feeders').tBodies[0], s.summaries.map((line, i) => [i + 1, line]));
  fillList($('outages'), s.outages.slice().reverse().map((o) =>
    [`${shortTime(o.from)} – ${o.to ? shortTime(o.to) : 'ongoing'}: ${o.reason}`, o.to ? '' : 'ongoing']));
  fillList($('gaps'), rec.gaps.map((g) => [`${shortTime(g.after)} → ${shortTime(g.next)}: ${g.missing} missing`]));
  fillList($('messages'), s.messages.slice().reverse().map((m) => [`${shortTime(m.time)} ${m.title ? m.title + ': ' : ''}${m.text}`]));
  fillRows($('files').tBodies[0], s.files.map((f) => {
    const span = document.createElement('span');
    span.append(link(f.download, 'file'), ' · ', link(f.csv, 'CSV'));
    return [f.name, f.bytes, f.records, span];
  }));
  updateFeeders(s.feeders);
  if (s.shots !== lastShot) { lastShot = s.shots; updateView(false); }
  if (rec.written !== lastRecords) { lastRecords = rec.written; updateTrend(); updateCompliance().catch(() => {}); }
}

async function poll() {
  try {
    const r = await fetch('/api/status', { cache: 'no-store' });
    if (!r.ok) throw new Error('HTTP ' + r.status);
    show(await r.json());
    $('connection').textContent = 'live';
    $('connection').className = 'badge ok';
  } catch (e) {
    $('connection').textContent = 'no answer from the station';
    $('connection').className = 'badge bad';
  }
  setTimeout(poll, 2000);
}

$('view-select').addEventListener('change', () => updateView(true));
$('feeder-select').addEventListener('change', () => updateView(true));
poll();
