// The live page: reads the bench host's API, follows its event stream and
// shows every meter at a glance, or one meter whole. Every text from the API is set as text, never as markup.
'use strict';

const TREND_MINUTES = 10;
const PHASE_ROWS = [
  ['phase_voltage_N_v', true], ['current_N_a', true], ['active_power_N_kw'], ['reactive_power_N_kvar'],
  ['apparent_power_N_kva'], ['power_factor_N'],
];
const SYSTEM_ROWS = ['line_voltage_u12_v', 'line_voltage_u23_v', 'line_voltage_u31_v', 'frequency_hz',
  'total_active_power_kw', 'total_reactive_power_kvar', 'total_apparent_power_kva', 'total_power_factor'];
const ENERGY_ROWS = ['active_energy_pos_wh', 'active_energy_neg_wh', 'reactive_energy_pos_varh',
  'reactive_energy_neg_varh'];
const TREND_SERIES = [
  ['phase_voltage_1_v', 'U A', '#0969da', 'volts'], ['phase_voltage_2_v', 'U B', '#1a7f37', 'volts'],
  ['phase_voltage_3_v', 'U C', '#bf3989', 'volts'], ['current_1_a', 'I A', '#54aeff', 'amps'],
  ['current_2_a', 'I B', '#4ac26b', 'amps'], ['current_3_a', 'I C', '#ff80c8', 'amps'],
];

// The history chart: what each choice of quantity draws, and each period's
// length, the history's resolution for it and its usual step.
const HISTORY_GROUPS = {
  power: { unit: 'kW', series: [['total_active_power_kw', 'total', '#24292f'], ['active_power_1_kw', 'A', '#0969da'],
    ['active_power_2_kw', 'B', '#1a7f37'], ['active_power_3_kw', 'C', '#bf3989']] },
  voltage: { unit: 'V', series: [['phase_voltage_1_v', 'U A', '#0969da'], ['phase_voltage_2_v', 'U B', '#1a7f37'],
    ['phase_voltage_3_v', 'U C', '#bf3989']] },
  current: { unit: 'A', series: [['current_1_a', 'I A', '#0969da'], ['current_2_a', 'I B', '#1a7f37'],
    ['current_3_a', 'I C', '#bf3989']] },
  pf: { unit: '', series: [['total_power_factor', 'total', '#24292f'], ['power_factor_1', 'A', '#0969da'],
    ['power_factor_2', 'B', '#1a7f37'], ['power_factor_3', 'C', '#bf3989']] },
  frequency: { unit: 'Hz', series: [['frequency_hz', 'f', '#8250df']] },
};
const HOUR_MS = 3600e3;
const PERIODS = {
  hour: [HOUR_MS, 'raw'], day: [24 * HOUR_MS, 'minute'], week: [7 * 24 * HOUR_MS, 'hour'],
  month: [30 * 24 * HOUR_MS, 'hour'], year: [365 * 24 * HOUR_MS, 'hour'],
};
const STEP_MS = { minute: 60e3, hour: HOUR_MS };
const MOST_ROWS = 5000;  // the API's most rows an answer

const page = {
  documented: new Map(), confirmed: null, alarmsFrom: null,
  id: null, writesAllowed: false, lastCycle: null, chart: null, refreshing: false, session: null, names: new Map(),
  notice: '',  // what stays said above the values, e.g. that the asked meter is unknown
  zone: undefined,  // the site's time zone (IANA); none: the browser's
  history: { quantity: 'power', period: 'hour', from: null, to: null, chart: null, asked: 0 },
  energy: { by: 'day', interval: 15, chart: null, asked: 0 },
};

// One time format on the page: the site's clock (the browser's until the
// bench host names the site's zone), 24-hour; the UTC text the API gave
// goes in the element's tooltip.
function localTime(ms, withDate) {
  const clock = { hour: '2-digit', minute: '2-digit', second: '2-digit' };
  return zoneTime(ms, withDate ? { year: 'numeric', month: '2-digit', day: '2-digit', ...clock } : clock, 'sv-SE');
}
function timeText(utc) { return utc ? localTime(Date.parse(utc), true) : ''; }

function el(tag, text, className) {
  const node = document.createElement(tag);
  if (text !== undefined && text !== null) node.textContent = String(text);
  if (className) node.className = className;
  return node;
}

function showProblem(text) {
  const box = document.getElementById('problem');
  box.hidden = !text;
  box.textContent = text || '';
}

async function getJson(url, options) {
  const response = await fetch(url, options);
  let body = null;
  try { body = await response.json(); } catch (e) { body = null; }
  if (!response.ok) {
    const why = body && body.error ? body.error : response.statusText;
    throw new Error(`${response.status}: ${why}`);
  }
  return body;
}

function byColumn(detail) {
  const map = new Map();
  for (const q of detail.quantities) map.set(q.column, q);
  return map;
}

// An energy for people: kWh with two decimals below 10 kWh (a quiet
// feeder's day is no "0.0"), one from there, MWh with three from a
// thousand kWh on; rounded on the whole Wh the meter counts. Other
// quantities as the API gave them.
function readable(q) {
  if ((q.unit !== 'Wh' && q.unit !== 'varh') || typeof q.value !== 'number') return [q.text, q.unit];
  if (q.value >= 1e6) return [(Math.round(q.value / 1000) / 1000).toFixed(3), `M${q.unit}`];
  if (q.value >= 1e4) return [(Math.round(q.value / 100) / 10).toFixed(1), `k${q.unit}`];
  return [(Math.round(q.value / 10) / 100).toFixed(2), `k${q.unit}`];
}

// One dt/dd pair: English label with the controller's Chinese name beside it.
function fillList(list, quantities, columns, bigColumns) {
  list.replaceChildren();
  for (const column of columns) {
    const q = quantities.get(column);
    if (!q) continue;
    const dt = el('dt', q.label + ' ');
    dt.append(el('span', q.name, 'zh'));
    const dd = el('dd', null, bigColumns && bigColumns.has(column) ? 'big' : '');
    dd.dataset.column = column;
    const [text, unit] = readable(q);
    dd.append(el('span', text, 'value'));
    if (unit) dd.append(el('span', unit, 'unit'));
    if (text !== q.text) dd.title = `${q.text} ${q.unit} as the meter counts`;
    list.append(dt, dd);
  }
}

function renderQuantities(detail) {
  const quantities = byColumn(detail);
  for (const card of document.querySelectorAll('.phase')) {
    const n = card.dataset.phase;
    const columns = PHASE_ROWS.map(([c]) => c.replace('N', n));
    const big = new Set(PHASE_ROWS.filter(([, b]) => b).map(([c]) => c.replace('N', n)));
    fillList(card.querySelector('dl'), quantities, columns, big);
  }
  fillList(document.getElementById('system'), quantities, SYSTEM_ROWS);
  fillList(document.getElementById('energies'), quantities, ENERGY_ROWS);
}

function renderHealth(detail) {
  const h = detail.health;
  const list = document.getElementById('health');
  list.replaceChildren();
  const add = (label, text, name) => {
    const dd = el('dd', text);
    dd.dataset.health = name;
    list.append(el('dt', label), dd);
  };
  add('cycles completed', h.completed, 'completed');
  add('cycles failed', h.failed, 'failed');
  add('retries', h.retries, 'retries');
  const mean = h.mean_cycle_ms === null ? '–' : `${h.mean_cycle_ms.toFixed(1)} ms`;
  if (h.wire_limit_ms === null) {
    add('mean cycle (Modbus TCP)', mean, 'mean');
  } else {
    add('mean cycle / wire limit', `${mean} / ${h.wire_limit_ms.toFixed(1)} ms`, 'mean');
  }
  if (h.backed_off_until_cycle !== null) add('backed off until cycle', h.backed_off_until_cycle, 'backoff');
  add('last error', h.last_error ? `${h.last_error.text} (${timeText(h.last_error.utc)})` : 'none', 'last_error');
  if (h.last_error) list.lastChild.title = h.last_error.utc;
}

// Green while cycles complete; amber while the meter's latest cycle failed
// (the values are older than it); red once they are stale.
function renderFreshness(detail) {
  const badge = document.getElementById('freshness');
  const f = detail.freshness;
  const stale = f.stale;
  const failing = !stale && detail.health.last_cycle_failed;
  document.body.classList.toggle('stale', stale);
  badge.className = 'freshness ' + (stale ? 'stale' : failing ? 'failing' : 'live');
  if (f.age_s === null) {
    badge.textContent = 'STALE: no cycle completed yet';
  } else if (stale) {
    badge.textContent = `STALE: last completed cycle ${Math.round(f.age_s)} s ago`;
  } else if (failing) {
    badge.textContent = `FAILING: values of cycle ${detail.cycle}, ${f.age_s.toFixed(1)} s ago`;
  } else {
    badge.textContent = `live: cycle ${detail.cycle}, ${f.age_s.toFixed(1)} s ago`;
  }
  badge.dataset.stale = String(stale);
  badge.dataset.failing = String(failing);
}

// The column's name, shown beside the cell where the table's head is not (phones).
function labelled(cell, label) {
  cell.dataset.label = label;
  return cell;
}

// The measured value beside the whole number the controller compared: a
// current of 80.887 A is compared as 80, not above a threshold of 80.
function valueCompared(rule) {
  if (rule.value_text === undefined) return '–';
  const measured = `${rule.value_text} ${rule.unit || ''}`.trim();
  return rule.compared === null || rule.compared === undefined ? measured : `${measured}, compared as ${rule.compared}`;
}

// Rules up first, the rest in the table's order.
function rulesUpFirst(rules) {
  return rules.map((rule, i) => [rule, i])
    .sort(([a, i], [b, j]) => (b.state === 'up') - (a.state === 'up') || i - j)
    .map(([rule]) => rule);
}

// What a stale meter's rules are now nobody knows: the states shown are
// those of its last completed cycle.
function renderAlarms(detail) {
  const body = document.querySelector('#alarms tbody');
  body.replaceChildren();
  const stale = detail.freshness.stale;
  let up = 0;
  for (const rule of rulesUpFirst(detail.alarms)) {
    const row = document.createElement('tr');
    row.dataset.key = rule.key;
    row.dataset.state = rule.state;
    row.className = stale ? 'idle' : rule.state === 'up' ? 'up' : rule.state === 'normal' ? 'normal' : 'idle';
    if (rule.state === 'up') up += 1;
    const ruleCell = el('td', rule.text + ' ');
    ruleCell.append(el('span', rule.direction === 'high' ? '(high)' : '(low)', 'sub'));
    const state = rule.state === 'up' ? 'UP' : rule.state;
    row.append(
      el('td', stale ? `unknown (was ${state})` : state, 'state'),
      ruleCell,
      el('td', rule.label || ''),
      labelled(el('td', rule.level, 'num'), 'level'),
      labelled(el('td', rule.threshold === null ? '–' : rule.threshold, 'num'), 'threshold'),
      labelled(el('td', valueCompared(rule), 'num'), 'value'),
      labelled(el('td', rule.key, 'key'), 'key'));
    body.append(row);
  }
  const summary = document.getElementById('alarm-summary');
  summary.textContent = !detail.threshold_mode_2 ? 'the meter is not in threshold mode 2: no rule is evaluated'
    : stale ? `unknown while the meter is stale; ${up} were up at its last cycle`
      : `${up} up of ${detail.alarms.length}`;
  const top = document.getElementById('alarms-up');
  top.hidden = !detail.threshold_mode_2;
  top.className = 'alarms-up' + (stale ? ' unknown' : up ? ' up' : '');
  top.textContent = stale ? 'alarms unknown' : up ? `${up} alarm${up === 1 ? '' : 's'} up` : 'no alarm up';
  top.dataset.up = stale ? 'unknown' : String(up);
}

// The meter's documented settings offered by name; any other address is
// written only once confirmed.
function renderWrite(detail) {
  const documented = detail.write.documented || [];
  page.documented = new Map(documented.map((r) => [r.address, r.label]));
  const options = document.getElementById('write-registers');
  if (options.children.length !== documented.length) {
    options.replaceChildren(...documented.map((r) => { const o = el('option', r.label); o.value = String(r.address); return o; }));
  }
  document.getElementById('write-documented').textContent = documented.length
    ? `Documented settings: ${documented.map((r) => `${r.address} ${r.label}`).join(', ')}. Any other address asks to be confirmed.`
    : 'The meter\'s register map documents no writable register: a write to any address asks to be confirmed.';
  const last = detail.write.last;
  document.getElementById('write-last').textContent = last
    ? `last write: register ${last.address} = ${last.values.join(', ')}: ${last.outcome} (status ${last.status}) at ${timeText(last.utc)}`
    : '';
  document.getElementById('write-last').title = last ? last.utc : '';
}

function addTrendPoint(detail) {
  if (!page.chart || detail.cycle === page.lastCycle || !detail.cycle_utc) return;
  page.lastCycle = detail.cycle;
  const quantities = byColumn(detail);
  const x = Date.parse(detail.cycle_utc);
  page.chart.data.datasets.forEach((set, i) => {
    const q = quantities.get(TREND_SERIES[i][0]);
    if (q) set.data.push(...withGap(set.data, x, q.value));
  });
  trimTrend();
  updateTrend();
}

// An empty chart says so, not six ticks of midnight.
function updateTrend() {
  const empty = page.chart.data.datasets.every((set) => !set.data.some((p) => p.y !== null));
  document.querySelector('.trend').classList.toggle('empty', empty);
  document.getElementById('trend-empty').hidden = !empty;
  page.chart.update('none');
}

// A point, after a break in the line where no cycle completed between it
// and the one before: a failed cycle left a null there already, or the
// points lie further apart than three of the usual steps.
function withGap(points, x, y) {
  const n = points.length;
  if (n < 3 || points[n - 1].y === null) return [{ x, y }];
  const steps = [];
  for (let i = Math.max(1, n - 20); i < n; i += 1) steps.push(points[i].x - points[i - 1].x);
  steps.sort((a, b) => a - b);
  const usual = steps[Math.floor(steps.length / 2)];
  return x - points[n - 1].x > 3 * usual + 1000 ? [{ x: x - 1, y: null }, { x, y }] : [{ x, y }];
}

// A failed cycle breaks the trend's lines at its time.
function breakTrend(utc) {
  if (!page.chart || !utc) return;
  const x = Date.parse(utc);
  for (const set of page.chart.data.datasets) {
    if (set.data.length && set.data[set.data.length - 1].y !== null) set.data.push({ x, y: null });
  }
  updateTrend();
}

function trimTrend() {
  const oldest = Date.now() - TREND_MINUTES * 60000;
  for (const set of page.chart.data.datasets) {
    while (set.data.length && set.data[0].x < oldest) set.data.shift();
  }
}

function makeChart() {
  if (typeof Chart === 'undefined') {
    document.getElementById('trend-empty').textContent = 'no chart: the chart library is not served';
    return;
  }
  const time = (value) => localTime(value, false);
  page.chart = new Chart(document.getElementById('trend'), {
    type: 'line',
    data: {
      datasets: TREND_SERIES.map(([, label, color, axis]) => ({
        label, borderColor: color, backgroundColor: color, yAxisID: axis, data: [], pointRadius: 0,
        borderWidth: 2, borderDash: axis === 'amps' ? [5, 3] : [],
      })),
    },
    options: {
      animation: false, maintainAspectRatio: false, parsing: false, normalized: true,
      interaction: { mode: 'nearest', intersect: false },
      scales: {
        x: { type: 'linear', ticks: { callback: time, maxTicksLimit: 8 } },
        volts: { type: 'linear', position: 'left', title: { display: true, text: 'V' } },
        amps: { type: 'linear', position: 'right', title: { display: true, text: 'A' }, grid: { drawOnChartArea: false } },
      },
      plugins: { tooltip: { callbacks: { title: (items) => items.length ? time(items[0].parsed.x) : '' } } },
    },
  });
  updateTrend();
}

async function seedTrendFromHistory() {
  if (!page.chart) return;
  const from = new Date(Date.now() - TREND_MINUTES * 60000).toISOString();
  try {
    const history = await getJson(`/api/devices/${page.id}/history?from=${encodeURIComponent(from)}&limit=2000`);
    for (const row of history.rows) {
      const x = Date.parse(row.utc);
      page.chart.data.datasets.forEach((set, i) => set.data.push(...withGap(set.data, x, row[TREND_SERIES[i][0]])));
    }
    updateTrend();
  } catch (e) {
    // The trend starts empty and fills as cycles come.
  }
}

// A time as the site's clock shows it.
const formats = new Map();  // made once each: the events list formats hundreds of times
function zoneTime(ms, parts, locale = 'en-GB') {
  const key = `${locale} ${page.zone} ${JSON.stringify(parts)}`;
  if (!formats.has(key)) formats.set(key, new Intl.DateTimeFormat(locale, { timeZone: page.zone, hourCycle: 'h23', ...parts }));
  return formats.get(key).format(new Date(ms));
}

// How far the site's clock is ahead of UTC at a moment, in ms.
function zoneOffset(ms) {
  const parts = new Intl.DateTimeFormat('en-US', { timeZone: page.zone, hourCycle: 'h23', year: 'numeric', month: 'numeric',
    day: 'numeric', hour: 'numeric', minute: 'numeric', second: 'numeric' }).formatToParts(new Date(ms));
  const p = Object.fromEntries(parts.map((x) => [x.type, Number(x.value)]));
  return Date.UTC(p.year, p.month - 1, p.day, p.hour, p.minute, p.second) - Math.floor(ms / 1000) * 1000;
}

// The UTC moment of a time on the site's clock, given as if it were UTC
// (Date.UTC of its fields); in a clock change's repeated hour, the later.
function utcOf(local) { return local - zoneOffset(local - zoneOffset(local)); }

// Ticks at round times of the site's clock: quarter hours, three hours,
// midnights, Mondays or the first of each month, as the span needs.
function roundTicks(min, max) {
  const length = max - min;
  const local = (utc) => utc + zoneOffset(utc);
  const ticks = [];
  if (length > 62 * 24 * HOUR_MS) {
    const start = new Date(local(min));
    for (let m = start.getUTCMonth() + 1, y = start.getUTCFullYear(); ticks.length < 14; m += 1) {
      const t = utcOf(Date.UTC(y, m, 1));
      if (t > max) break;
      ticks.push({ value: t });
    }
    return ticks;
  }
  const step = length <= 3 * HOUR_MS ? HOUR_MS / 4 : length <= 2 * 24 * HOUR_MS ? 3 * HOUR_MS
    : length <= 8 * 24 * HOUR_MS ? 24 * HOUR_MS : 7 * 24 * HOUR_MS;
  // Weeks begin on Monday (1970-01-05 was one).
  const anchor = step === 7 * 24 * HOUR_MS ? 4 * 24 * HOUR_MS : 0;
  for (let l = Math.ceil((local(min) - anchor) / step) * step + anchor; ticks.length < 40; l += step) {
    const t = utcOf(l);
    if (t > max) break;
    if (t >= min) ticks.push({ value: t });
  }
  return ticks;
}

// The rows of a span, oldest first, with the quantities drawn alone: the
// API gives the newest `MOST_ROWS` of a range, so a year of hours is asked
// for in a few pages.
async function historyRows(from, to, resolution, quantities) {
  let rows = [];
  let upTo = to;
  for (let pages = 0; pages < 4 && upTo >= from; pages += 1) {
    const answer = await getJson(`/api/devices/${page.id}/history?resolution=${resolution}` +
      `&from=${new Date(from).toISOString()}&to=${new Date(upTo).toISOString()}&limit=${MOST_ROWS}` +
      `&quantities=${quantities.join(',')}`);
    rows = answer.rows.concat(rows);
    if (answer.rows.length < MOST_ROWS) break;
    upTo = Date.parse(answer.rows[0].utc) - 1;
  }
  return rows;
}

// A series' points, with a break (a null) wherever the records lie further
// apart than two and a half of their usual steps: never drawn across.
function historyPoints(rows, column, step) {
  const points = [];
  let last = null;
  for (const row of rows) {
    const x = Date.parse(row.utc);
    const y = row[column];
    if (last !== null && x - last > 2.5 * step) points.push({ x: last + step, y: null });
    points.push({ x, y: y === undefined ? null : y });
    last = x;
  }
  return points;
}

function usualStep(rows) {
  const steps = [];
  for (let i = 1; i < rows.length; i += 1) steps.push(Date.parse(rows[i].utc) - Date.parse(rows[i - 1].utc));
  steps.sort((a, b) => a - b);
  return steps.length ? steps[Math.floor(steps.length / 2)] : 1000;
}

// The resolution a span is drawn at: every record for two hours or less,
// minutes for up to three days, hours beyond.
function resolutionFor(length) {
  return length <= 2 * HOUR_MS ? 'raw' : length <= 3 * 24 * HOUR_MS ? 'minute' : 'hour';
}

async function drawHistory() {
  const h = page.history;
  if (!h.chart) return;
  const to = h.to === null ? Date.now() : h.to;
  const from = h.from !== null ? h.from : to - PERIODS[h.period][0];
  const resolution = h.from !== null ? resolutionFor(to - from) : PERIODS[h.period][1];
  const group = HISTORY_GROUPS[h.quantity];
  const asked = ++h.asked;
  for (const button of document.querySelectorAll('#history-card [data-period]')) {
    button.setAttribute('aria-pressed', String(h.from === null && button.dataset.period === h.period));
  }
  document.getElementById('history-forward').disabled = h.to === null;
  const span = document.getElementById('history-span');
  const day = { year: 'numeric', month: '2-digit', day: '2-digit', hour: '2-digit', minute: '2-digit' };
  // 2026-12-10 09:15, as the page's other times.
  const spanText = `${zoneTime(from, day, 'sv-SE')} to ${zoneTime(to, day, 'sv-SE')}${page.zone ? ` (${page.zone})` : ''}`;
  span.textContent = `${spanText}: loading…`;
  let rows;
  try {
    rows = await historyRows(from, to, resolution, group.series.map(([column]) => column));
  } catch (e) {
    span.textContent = `The history could not be read (${e.message}).`;
    return;
  }
  if (asked !== h.asked) return;  // a later choice is being drawn
  const step = resolution === 'raw' ? usualStep(rows) : STEP_MS[resolution];
  const datasets = [];
  for (const [column, label, color] of group.series) {
    if (resolution === 'raw') {
      datasets.push({ label, borderColor: color, backgroundColor: color, data: historyPoints(rows, column, step) });
      continue;
    }
    const band = `${color}33`;
    datasets.push({ label: `${label} lowest`, band: true, borderWidth: 0, backgroundColor: band,
      data: historyPoints(rows, `${column}_min`, step) });
    datasets.push({ label: `${label} highest`, band: true, borderWidth: 0, backgroundColor: band, fill: '-1',
      data: historyPoints(rows, `${column}_max`, step) });
    datasets.push({ label, borderColor: color, backgroundColor: color, data: historyPoints(rows, `${column}_mean`, step) });
  }
  // A few rows are drawn as points too: a lone one has no line.
  const radius = rows.length < 100 ? 2 : 0;
  h.chart.data.datasets = datasets.map((d) => ({ pointRadius: d.band ? 0 : radius, borderWidth: 2, spanGaps: false, ...d }));
  h.chart.options.scales.y.title.text = group.unit;
  h.chart.options.scales.x.min = from;
  h.chart.options.scales.x.max = to;
  h.chart.update('none');
  const empty = rows.length === 0;
  document.getElementById('history-empty').hidden = !empty;
  document.querySelector('#history-card .trend').classList.toggle('empty', empty);
  const per = { raw: 'every record', minute: 'per minute', hour: 'per hour' }[resolution];
  span.textContent = `${spanText}: ${rows.length} ${rows.length === 1 ? 'row' : 'rows'}, ${per}`;
  document.getElementById('history-card').dataset.resolution = resolution;
  document.getElementById('history-card').dataset.rows = String(rows.length);
}

function makeHistoryChart() {
  if (typeof Chart === 'undefined') return;
  document.getElementById('history-card').hidden = false;
  const h = page.history;
  // Ticks as fine as the span shown needs: times within two days, weekdays within a week, dates beyond.
  function tick(value) {
    const length = this.max - this.min;
    const parts = length <= 2 * 24 * HOUR_MS ? { hour: '2-digit', minute: '2-digit' }
      : length <= 8 * 24 * HOUR_MS ? { weekday: 'short', day: 'numeric' } : { month: 'short', day: 'numeric' };
    return zoneTime(value, parts);
  }
  h.chart = new Chart(document.getElementById('history-chart'), {
    type: 'line',
    data: { datasets: [] },
    options: {
      animation: false, maintainAspectRatio: false, parsing: false, normalized: true,
      interaction: { mode: 'nearest', intersect: false },
      scales: {
        x: { type: 'linear', ticks: { callback: tick, autoSkip: true, autoSkipPadding: 12, maxRotation: 0 },
          afterBuildTicks: (scale) => { scale.ticks = roundTicks(scale.min, scale.max); } },
        y: { type: 'linear', title: { display: true, text: '' } },
      },
      plugins: {
        legend: { labels: { filter: (item, data) => !data.datasets[item.datasetIndex].band } },
        tooltip: {
          filter: (item) => !item.dataset.band,
          callbacks: { title: (items) => items.length ? zoneTime(items[0].parsed.x, { dateStyle: 'medium', timeStyle: 'medium' }) : '' },
        },
      },
    },
  });
  for (const button of document.querySelectorAll('#history-card [data-period]')) {
    button.addEventListener('click', () => {
      Object.assign(h, { period: button.dataset.period, from: null, to: null });
      drawHistory();
    });
  }
  document.getElementById('history-quantity').addEventListener('change', (e) => { h.quantity = e.target.value; drawHistory(); });
  // A step moves the span by its own length; forward stops at now.
  const step = (sign) => {
    const to = h.to === null ? Date.now() : h.to;
    const length = h.from !== null ? to - h.from : PERIODS[h.period][0];
    const next = to + sign * length;
    h.to = next >= Date.now() ? null : next;
    if (h.from !== null) h.from = (h.to === null ? Date.now() : h.to) - length;
    drawHistory();
  };
  document.getElementById('history-back').addEventListener('click', () => step(-1));
  document.getElementById('history-forward').addEventListener('click', () => step(1));
  document.getElementById('history-range').addEventListener('click', () => {
    // The fields are read on the site's clock, as the page shows times, not the browser's.
    const from = utcOf(Date.parse(`${document.getElementById('history-from').value}Z`));
    const to = utcOf(Date.parse(`${document.getElementById('history-to').value}Z`));
    if (!(from < to)) {
      document.getElementById('history-span').textContent = 'Give a start before the end.';
      return;
    }
    Object.assign(h, { from, to: Math.min(to, Date.now()) });
    drawHistory();
  });
  drawHistory();
}

// --- Energy -----------------------------------------------------------------

// How far back each kind of bar goes.
const ENERGY_SPANS = { hour: 48 * HOUR_MS, day: 31 * 24 * HOUR_MS, week: 26 * 7 * 24 * HOUR_MS, month: 730 * 24 * HOUR_MS };
const COUNTER_LABELS = {
  active_energy_pos_wh: 'imported active energy', active_energy_neg_wh: 'exported active energy',
  reactive_energy_pos_varh: 'imported reactive energy', reactive_energy_neg_varh: 'exported reactive energy',
};

// An energy in the meter's unit (Wh, varh) as people read it; a dash for none.
function energyText(value, unit) {
  if (value === null || value === undefined) return '–';
  const [text, shown] = readable({ value, unit, text: String(value) });
  return `${text} ${shown}`;
}
function demandText(watts) { return watts === null || watts === undefined ? '–' : `${(watts / 1000).toFixed(1)} kW`; }

// A period's label from its local start ("2026-03-29 00:00:00").
function periodLabel(localStart, by) {
  return by === 'hour' ? localStart.slice(5, 16) : by === 'month' ? localStart.slice(0, 7)
    : by === 'week' ? `wk ${localStart.slice(5, 10)}` : localStart.slice(5, 10);
}

async function drawEnergy() {
  const e = page.energy;
  if (!e.chart) return;
  const asked = ++e.asked;
  for (const button of document.querySelectorAll('#energy-history-card [data-by]')) {
    button.setAttribute('aria-pressed', String(button.dataset.by === e.by));
  }
  const span = document.getElementById('energy-span');
  span.textContent = 'loading…';
  const to = new Date().toISOString();
  const from = new Date(Date.now() - ENERGY_SPANS[e.by]).toISOString();
  let answer;
  let demand;
  try {
    [answer, demand] = await Promise.all([
      getJson(`/api/devices/${page.id}/energy?by=${e.by}&from=${from}&to=${to}`),
      getJson(`/api/devices/${page.id}/demand?interval=${e.interval}`)]);
  } catch (err) {
    span.textContent = `The energy could not be read (${err.message}).`;
    return;
  }
  if (asked !== e.asked) return;
  const periods = answer.periods;
  const bars = (column, label, color) => ({
    label, column, coverage: periods.map((p) => p.coverage),
    data: periods.map((p) => (p[column] === null ? null : p[column] / 1000)),
    backgroundColor: periods.map((p) => (p.coverage >= 0.999 ? color : `${color}66`)),
    borderColor: color, borderWidth: 0,
  });
  e.chart.data.labels = periods.map((p) => periodLabel(p.local_start, e.by));
  e.chart.data.datasets = [bars('active_energy_pos_wh', 'imported', '#0969da'), bars('active_energy_neg_wh', 'exported', '#bf3989')];
  e.chart.update('none');
  const imported = periods.reduce((sum, p) => sum + (p.active_energy_pos_wh || 0), 0);
  const empty = periods.every((p) => p.active_energy_pos_wh === null);
  document.getElementById('energy-empty').hidden = !empty;
  document.querySelector('#energy-history-card .trend').classList.toggle('empty', empty);
  span.textContent = periods.length
    ? `${periods.length} ${e.by}s from ${periods[0].local_start.slice(0, 16)} (${answer.zone}): ${energyText(imported, 'Wh')} imported`
    : 'no periods';
  const peak = demand.peak;
  document.getElementById('peak-demand').textContent = peak
    ? `Highest ${demand.interval_minutes}-minute demand this month: ${demandText(peak.demand_w)}, from ${peak.local_start.slice(0, 16)}`
    : `No ${demand.interval_minutes}-minute interval this month is covered well enough for a peak demand.`;
  e.answer = answer;
  // The newest few; the rest counted.
  const shown = answer.breaks.slice(-5);
  const breaks = shown.map((b) => el('li', `${b.local_time}: the ${COUNTER_LABELS[b.counter] || b.counter} counter ` +
    `went from ${b.before} to ${b.after}: counted anew from there, the step not counted`));
  const earlier = answer.breaks.length - shown.length;
  if (earlier > 0) breaks.unshift(el('li', `${earlier} earlier ${earlier === 1 ? 'break' : 'breaks'}`));
  document.getElementById('energy-breaks').replaceChildren(...breaks);
  const card = document.getElementById('energy-history-card');
  card.dataset.by = e.by;
  card.dataset.periods = String(periods.length);
}

function makeEnergyChart() {
  if (typeof Chart === 'undefined') return;
  document.getElementById('energy-history-card').hidden = false;
  const e = page.energy;
  e.chart = new Chart(document.getElementById('energy-chart'), {
    type: 'bar',
    data: { labels: [], datasets: [] },
    options: {
      animation: false, maintainAspectRatio: false,
      scales: { x: { ticks: { autoSkip: true, autoSkipPadding: 8, maxRotation: 0 } }, y: { title: { display: true, text: 'kWh' } } },
      plugins: {
        // The full colour, whichever bar comes first.
        legend: { labels: { generateLabels: (chart) => chart.data.datasets.map((d, i) => ({
          text: d.label, fillStyle: d.borderColor, strokeStyle: d.borderColor, lineWidth: 0,
          hidden: !chart.isDatasetVisible(i), datasetIndex: i })) } },
        tooltip: {
          callbacks: {
            label: (item) => `${item.dataset.label}: ${energyText(item.raw === null ? null : Math.round(item.raw * 1000), 'Wh')}`,
            afterLabel: (item) => `records over ${Math.round(item.dataset.coverage[item.dataIndex] * 100)} % of it`,
          },
        },
      },
    },
  });
  for (const button of document.querySelectorAll('#energy-history-card [data-by]')) {
    button.addEventListener('click', () => { e.by = button.dataset.by; drawEnergy(); });
  }
  document.getElementById('demand-interval').addEventListener('change', (event) => {
    e.interval = Number(event.target.value);
    drawEnergy();
  });
  drawEnergy();
}

// The site's table: every meter's imported energy today, yesterday, this
// month and last month, the month's peak demand, and the totals; each
// period one answer of the bench host.
async function refreshSiteEnergy() {
  const periods = ['today', 'yesterday', 'this_month', 'last_month'];
  let answers;
  try {
    answers = await Promise.all(periods.map((period) => getJson(`/api/site/energy?period=${period}`)));
  } catch (err) {
    document.getElementById('site-energy-note').textContent = `The energy could not be read (${err.message}).`;
    return;
  }
  const labels = ['today', 'yesterday', 'this month', 'last month', 'peak demand'];
  const row = (name, figures, peak, className) => {
    const tr = el('tr', null, className);
    tr.append(el('td', name));
    figures.forEach((f, i) => {
      const td = el('td', energyText(f ? f.active_energy_pos_wh : null, 'Wh'));
      td.dataset.label = labels[i];
      if (f && f.coverage !== undefined) td.title = `records over ${Math.round(f.coverage * 100)} % of it`;
      tr.append(td);
    });
    const td = el('td', peak);
    td.dataset.label = labels[4];
    tr.append(td);
    return tr;
  };
  page.siteEnergy = answers;
  const month = answers[2];
  const rows = month.meters.map((m) => {
    const peak = m.peak_demand_w === null ? '–' : `${demandText(m.peak_demand_w)}, ${m.peak_local_start.slice(5, 16)}`;
    return row(m.name, answers.map((a) => a.meters.find((x) => x.id === m.id)), peak);
  });
  document.querySelector('#site-energy tbody').replaceChildren(...rows);
  document.querySelector('#site-energy tfoot').replaceChildren(row(`all ${month.meters.length} meters`, answers.map((a) => a.total), '', 'total'));
  document.getElementById('site-energy-note').textContent = `Days and months on the site's clock (${month.zone}); ` +
    'a figure covers the part of its period with records (hover for how much).';
  document.getElementById('site-energy-card').hidden = false;
}

// The links ask for times relative to the moment they are followed.
function setUpDownloads() {
  const link = (id, minutes, resolution) => {
    const a = document.getElementById(id);
    a.addEventListener('click', () => {
      const from = new Date(Date.now() - minutes * 60000).toISOString();
      a.href = `/api/devices/${page.id}/history.csv?resolution=${resolution}&from=${encodeURIComponent(from)}`;
    });
    a.href = `/api/devices/${page.id}/history.csv?resolution=${resolution}`;
  };
  link('download-hour', 60, 'raw');
  link('download-day', 24 * 60, 'minute');
  document.getElementById('downloads').hidden = false;
}

async function refresh() {
  if (page.id === null || page.refreshing) return;
  page.refreshing = true;
  try {
    const detail = await getJson(`/api/devices/${page.id}`);
    showProblem(page.notice);
    document.getElementById('identity').textContent =
      `${detail.name} · ${detail.line} · slave ${detail.slave} · data id ${detail.data_id}`;
    renderFreshness(detail);
    renderQuantities(detail);
    renderHealth(detail);
    renderAlarms(detail);
    renderWrite(detail);
    addTrendPoint(detail);
    document.body.dataset.cycle = String(detail.cycle);
  } catch (e) {
    showProblem(`The bench host does not answer (${e.message}). The values shown are the last received.`);
    document.body.classList.add('stale');
    const badge = document.getElementById('freshness');
    badge.className = 'freshness stale';
    badge.dataset.stale = 'true';
    badge.textContent = 'STALE: the bench host does not answer';
    const top = document.getElementById('alarms-up');
    top.className = 'alarms-up unknown';
    top.textContent = 'alarms unknown';
    top.dataset.up = 'unknown';
  } finally {
    page.refreshing = false;
  }
}

// One rise or clear, from the history's row or a live event's same members.
function alarmItem(row) {
  const item = el('li', `${timeText(row.utc)} `, row.change === 'rise' ? 'alarm-up' : 'alarm');
  item.title = row.utc;
  const known = (v) => v !== null && v !== undefined;
  const value = known(row.value) ? ` (${`${row.value} ${row.unit || ''}`.trim()}` +
    `${known(row.compared) ? `, compared as ${row.compared}` : ''}, threshold ${row.threshold})` : '';
  item.append(`${row.label || row.text} ${row.change === 'rise' ? 'UP' : 'cleared'}${value} `, el('span', row.text, 'zh'));
  return item;
}

function countAlarmHistory() {
  const list = document.getElementById('alarm-history');
  document.getElementById('alarm-history-card').dataset.rows = String(list.children.length);
  document.getElementById('alarm-history-span').textContent = list.children.length
    ? `since ${localTime(page.alarmsFrom, true)}: ${list.children.length} change(s)`
    : `none since ${localTime(page.alarmsFrom, true)}`;
}

// The meter's alarm rules as the history kept them: a day at a time, the
// newest first; `before` (ms) asks for the day before it and adds it below.
const DAY_MS = 86400000;
async function showAlarmHistory(before) {
  const card = document.getElementById('alarm-history-card');
  const list = document.getElementById('alarm-history');
  const to = before === undefined ? Date.now() + 60000 : before - 1;
  const from = to - DAY_MS;
  const shown = page.id;
  try {
    const answer = await getJson(`/api/devices/${shown}/alarms?from=${encodeURIComponent(new Date(from).toISOString())}` +
      `&to=${encodeURIComponent(new Date(to).toISOString())}&limit=5000`);
    if (shown !== page.id) return;
    if (before === undefined) list.replaceChildren();
    for (const row of answer.rows.slice().reverse()) list.append(alarmItem(row));
    page.alarmsFrom = from;
    card.hidden = false;
    countAlarmHistory();
  } catch (e) {
    document.getElementById('alarm-history-span').textContent = `not read: ${e.message}`;
    card.hidden = false;
  }
}

// Every meter's events, each tagged with its meter when there are several.
function logEvent(kind, data) {
  const list = document.getElementById('events');
  const item = el('li', null, kind);
  item.title = data.utc || '';
  item.append(`${timeText(data.utc)} `);
  if (page.names.size > 1 && data.device !== undefined) {
    item.append(el('span', page.names.get(data.device) || `data id ${data.device}`, 'meter'), ' ');
  }
  let text = kind;
  let className = kind;
  if (kind === 'alarm') {
    const value = data.value === null || data.value === undefined ? '' : ` ${data.value} ${data.unit || ''}`.trimEnd();
    const compared = data.compared === null || data.compared === undefined ? '' : `, compared as ${data.compared}`;
    const threshold = data.threshold === null || data.threshold === undefined ? '' : `, threshold ${data.threshold}`;
    text += `: ${data.label || data.text} ${data.up ? 'UP' : 'cleared'}${value ? ` (${value.trim()}${compared}${threshold})` : ''}`;
    className = data.up ? 'alarm-up' : 'alarm';
  } else if (kind === 'meter_error') {
    text += `: ${data.request}: ${data.kind}: ${data.message}`;
  } else if (kind === 'write') {
    text += `: register ${data.address} = ${(data.values || []).join(', ')}: ${data.outcome}`;
  } else if (kind === 'backoff') {
    text += `: ${data.failed_in_a_row} cycles failed in a row, skipped until cycle ${data.next_cycle}`;
  } else if (kind === 'lost') {
    text += `: ${data.frames} events missed`;
  } else {
    text += data.cycle !== undefined ? `: cycle ${data.cycle}` : '';
  }
  item.append(text);
  item.className = className;
  list.prepend(item);
  while (list.children.length > 200) list.lastChild.remove();
}

// The browser gives up on a stream refused with an error status (the
// address holds its share of streams, say): the page opens it again
// itself, 1 s later, then 2, 4, … up to a minute, and says so meanwhile.
function followEvents(wait = 1) {
  const state = document.getElementById('stream-state');
  const source = new EventSource('/api/events');
  source.addEventListener('open', () => {
    wait = 1;
    state.hidden = true;
  });
  source.addEventListener('error', () => {
    state.hidden = false;
    if (source.readyState !== EventSource.CLOSED) {
      state.textContent = 'Live events interrupted: reconnecting…';
      return;
    }
    source.close();
    state.textContent = `Live events unavailable: trying again in ${wait} s.`;
    setTimeout(() => followEvents(Math.min(wait * 2, 60)), wait * 1000);
  });
  source.addEventListener('cycle', (e) => {
    const data = JSON.parse(e.data);
    if (data.device === page.id) refresh();
  });
  if (document.body.dataset.view === 'site') {
    for (const kind of ['alarm', 'meter_error', 'write', 'backoff', 'recovered', 'cycle_failed', 'lost']) {
      source.addEventListener(kind, (e) => logEvent(kind, JSON.parse(e.data)));
    }
    return;
  }
  for (const kind of ['alarm', 'meter_error', 'write', 'backoff', 'recovered', 'cycle_failed', 'lost']) {
    source.addEventListener(kind, (e) => {
      const data = JSON.parse(e.data);
      logEvent(kind, data);
      if (data.device !== undefined && data.device !== page.id) return;
      if (kind === 'cycle_failed') breakTrend(data.utc);
      // The history stores it with its batch; shown at once from the event.
      if (kind === 'alarm' && page.alarmsFrom !== null && data.device === page.id) {
        document.getElementById('alarm-history').prepend(alarmItem({ ...data, change: data.up ? 'rise' : 'clear' }));
        countAlarmHistory();
      }
      if (kind !== 'meter_error') refresh();
    });
  }
}

function numbersOf(text) {
  const parts = text.split(/[\s,]+/).filter((p) => p.length);
  return parts.map((p) => (/^(0x[0-9a-f]+|\d+)$/i.test(p) ? Number(p) : NaN));
}

function setUpWriteForm() {
  document.getElementById('write-card').hidden = false;
  document.getElementById('write-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const answer = document.getElementById('write-answer');
    const [address] = numbersOf(document.getElementById('write-address').value);
    const values = numbersOf(document.getElementById('write-values').value);
    if (!Number.isInteger(address) || !values.length || values.some((v) => !Number.isInteger(v))) {
      answer.className = 'answer refused';
      answer.textContent = 'Give a register number and one or more whole-number values.';
      return;
    }
    const asked = `${address}=${values.join(',')}`;
    if (!page.documented.has(address) && page.confirmed !== asked) {
      page.confirmed = asked;
      answer.className = 'answer ask';
      answer.textContent = `Register ${address} is not a documented setting of this meter; a wrong value may change ` +
        'how it measures or answers. Press write again to write it.';
      return;
    }
    page.confirmed = null;
    answer.className = 'answer';
    answer.textContent = 'writing…';
    try {
      const result = await getJson(`/api/devices/${page.id}/registers`, {
        method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify({ address, values }),
      });
      answer.className = 'answer ' + (result.confirmed ? 'confirmed' : 'refused');
      answer.textContent = `${result.outcome} (status ${result.status}): register ${result.address} = ${result.values.join(', ')}`;
    } catch (e) {
      answer.className = 'answer refused';
      answer.textContent = `refused: ${e.message}`;
    }
  });
}

// The login form, shown when reading or writing needs one; `then` runs
// once logged in.
function askForLogin(why, then) {
  document.getElementById('login-why').textContent = why;
  document.getElementById('login-card').hidden = false;
  const form = document.getElementById('login-form');
  form.onsubmit = async (event) => {
    event.preventDefault();
    const answer = document.getElementById('login-answer');
    try {
      const result = await getJson('/api/login', {
        method: 'POST', headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify({
          user: document.getElementById('login-user').value,
          password: document.getElementById('login-password').value,
        }),
      });
      document.getElementById('login-password').value = '';
      answer.textContent = '';
      document.getElementById('login-card').hidden = true;
      showAccount(result.user);
      then();
    } catch (e) {
      answer.className = 'answer refused';
      answer.textContent = `not logged in: ${e.message}`;
    }
  };
}

function showAccount(user) {
  page.session.user = user;
  document.getElementById('account-user').textContent = `logged in as ${user}`;
  document.getElementById('account').hidden = false;
  document.getElementById('logout').onclick = async () => {
    try { await getJson('/api/logout', { method: 'POST' }); } catch (e) { /* the session ends anyway */ }
    window.location.reload();
  };
}

async function start() {
  try {
    page.session = await getJson('/api/session');
  } catch (e) {
    showProblem(`The bench host does not answer (${e.message}).`);
    return;
  }
  if (page.session.user) showAccount(page.session.user);
  if (page.session.reads_need_login && !page.session.user) {
    askForLogin('Log in to see the meters', showMeters);
    return;
  }
  await showMeters();
}

// A meter's state as a badge says it: live, failing (its last cycle failed,
// the values shown older) or stale.
function statusOf(meter) {
  const f = meter.freshness;
  if (f.age_s === null) return ['stale', 'STALE: no cycle yet'];
  if (f.stale) return ['stale', `STALE: ${Math.round(f.age_s)} s old`];
  if (meter.health.last_cycle_failed) return ['failing', `FAILING: cycle ${meter.cycle}`];
  return ['live', `live: cycle ${meter.cycle}`];
}

function glanceCard(meter) {
  const card = el('a', null, 'card meter-glance');
  card.href = `?device=${meter.id}`;
  card.dataset.device = String(meter.id);
  card.append(el('h3', meter.name || `data id ${meter.id}`),
    el('p', `${meter.line} · slave ${meter.slave} · data id ${meter.data_id}`, 'sub where'));
  const [state, said] = statusOf(meter);
  const badges = el('div', null, 'badges');
  badges.append(el('span', said, `freshness ${state}`));
  if (meter.alarms_up !== null && state === 'stale') {
    badges.append(el('span', 'alarms unknown', 'alarms-up unknown'));
  } else if (meter.alarms_up !== null) {
    badges.append(el('span', meter.alarms_up ? `${meter.alarms_up} alarm(s) up` : 'no alarm up',
      `alarms-up${meter.alarms_up ? ' up' : ''}`));
  }
  card.append(badges);
  const list = el('dl');
  for (const q of meter.glance) {
    const [text, unit] = readable(q);
    const value = el('dd', text);
    value.dataset.column = q.column;
    if (unit) value.append(el('span', unit, 'unit'));
    list.append(el('dt', q.label), value);
  }
  card.append(list);
  return card;
}

async function refreshSite() {
  try {
    const list = await getJson('/api/devices');
    showProblem('');
    const cards = list.devices.map(glanceCard);
    document.getElementById('site-meters').replaceChildren(...cards);
    const notLive = list.devices.filter((m) => statusOf(m)[0] !== 'live').length;
    const up = list.devices.reduce((n, m) => n + (m.alarms_up || 0), 0);
    document.getElementById('site-summary').textContent =
      `${list.devices.length} meters · ${notLive} not live · ${up} alarm(s) up`;
  } catch (e) {
    showProblem(`The bench host does not answer (${e.message}). The values shown are the last received.`);
  }
}

// Every meter at a glance, refreshed as their cycles end.
function showSite(history) {
  document.body.dataset.view = 'site';
  document.getElementById('site').hidden = false;
  followEvents();
  refreshSite();
  setInterval(refreshSite, 2000);
  if (history) {
    refreshSiteEnergy();
    setInterval(refreshSiteEnergy, 60000);
  }
}

async function showMeters() {
  let list;
  try {
    list = await getJson('/api/devices');
  } catch (e) {
    showProblem(`The bench host does not answer (${e.message}).`);
    return;
  }
  page.zone = list.site_timezone || undefined;
  const select = document.getElementById('meter');
  for (const meter of list.devices) {
    const option = el('option', `${meter.name} (data id ${meter.id})`);
    option.value = String(meter.id);
    select.append(option);
    page.names.set(meter.id, meter.name);
  }
  document.getElementById('meter-choice').hidden = list.devices.length < 2;
  document.getElementById('to-site').hidden = list.devices.length < 2;
  // The meter shown is the page's address (?device=ID), to bookmark or share;
  // without one, a site of several meters is shown whole.
  const asked = new URLSearchParams(window.location.search).get('device');
  if (asked === null && list.devices.length > 1) {
    showSite(list.history);
    return;
  }
  document.body.dataset.view = 'meter';
  const chosen = list.devices.find((meter) => String(meter.id) === asked);
  if (asked !== null && !chosen) page.notice = `No meter has data id ${asked}; showing the first.`;
  page.id = chosen ? chosen.id : list.devices.length ? list.devices[0].id : null;
  if (page.id !== null) select.value = String(page.id);
  select.addEventListener('change', () => {
    page.id = Number(select.value);
    window.history.replaceState(null, '', `?device=${page.id}`);
    page.notice = '';
    page.lastCycle = null;
    if (page.chart) { page.chart.data.datasets.forEach((s) => { s.data = []; }); updateTrend(); }
    refresh();
    drawHistory();
    drawEnergy();
    if (list.history) showAlarmHistory();
  });
  if (list.writes_allowed) {
    setUpWriteForm();
    if (page.session.writes_need_login && !page.session.user) {
      document.getElementById('write-form').hidden = true;
      document.getElementById('write-login').hidden = false;
      askForLogin('Log in to write registers', () => {
        document.getElementById('write-form').hidden = false;
        document.getElementById('write-login').hidden = true;
      });
    }
  }
  makeChart();
  if (list.history) {
    setUpDownloads();
    document.getElementById('alarm-history-earlier').addEventListener('click', () => showAlarmHistory(page.alarmsFrom));
    showAlarmHistory();
    await seedTrendFromHistory();
    makeHistoryChart();
    makeEnergyChart();
  }
  followEvents();
  await refresh();
  setInterval(refresh, 2000);
}

document.addEventListener('DOMContentLoaded', start);
