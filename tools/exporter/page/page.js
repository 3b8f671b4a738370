// The exporter's page: fetches /api/... every few seconds and draws the
// streams, their partitions, the clients and the last hour's charts.
//
// Every name comes from the monitoring topic, which anyone who may write to
// it fills: names are only ever inserted as text (textContent, dataset),
// never as markup.
'use strict';

const REFRESH_MS = 5000;
const PAGE_ROWS = 100;
const PART_ROWS = 100;
const COLORS = ['#1f6fb2', '#d1495b', '#2e933c', '#edae49', '#7a4eab',
                '#00798c', '#a05a2c', '#5d6d7e'];

const state = {
  streamsOffset: 0,
  clientsOffset: 0,
  filter: '',
  open: new Map(), // stream key -> offset of its partitions' page
  renders: 0,
  generation: 0, // of the latest refresh; older ones are dropped
  charts: null,
  timer: null,
};

// Creates an element with properties and children (strings become text).
function el(tag, props, children) {
  const e = document.createElement(tag);
  if (props) {
    for (const [k, v] of Object.entries(props)) {
      if (k === 'data') Object.assign(e.dataset, v);
      else if (k === 'class') e.className = v;
      else e[k] = v;
    }
  }
  for (const c of children || []) {
    e.append(c instanceof Node ? c : document.createTextNode(String(c)));
  }
  return e;
}

// A number with thousands separators, or a dash for null.
function num(v) {
  return v === null || v === undefined ? '—' : Number(v).toLocaleString('en-US');
}

// A rate or a latency with at most one decimal, or a dash for null.
function dec(v, unit) {
  if (v === null || v === undefined) return '—';
  const s = Number(v).toLocaleString('en-US', {maximumFractionDigits: 1});
  return unit ? s + ' ' + unit : s;
}

// A latency in ms, in the unit that keeps it short; a dash for null.
function dur(ms) {
  if (ms === null || ms === undefined) return '—';
  if (ms < 10000) return dec(ms, 'ms');
  if (ms < 7200000) return dec(ms / 1000, 's');
  if (ms < 172800000) return dec(ms / 3600000, 'h');
  return dec(ms / 86400000, 'd');
}

// How long ago a wall-clock time was, from the server's now.
function ago(ms, now) {
  if (ms === null || ms === undefined) return '—';
  const s = Math.max(0, Math.round((now - ms) / 1000));
  if (s < 120) return s + ' s ago';
  if (s < 7200) return Math.round(s / 60) + ' min ago';
  return Math.round(s / 3600) + ' h ago';
}

// A table cell; name cells keep every character of the name as text.
function td(text, cls) {
  return el('td', cls ? {class: cls} : null, [text]);
}

// A cell for a name that may be empty or missing.
function nameCell(name, missingText) {
  if (name === null || name === undefined) {
    return el('td', {class: 'name none'}, [missingText]);
  }
  if (name === '') return el('td', {class: 'name none'}, ['(empty)']);
  return el('td', {class: 'name', title: name}, [name]);
}

const STATE_TEXT = {
  delivered: '✔ delivered',
  not_delivered: '✘ not delivered',
  duplicate: '⚠ duplicates',
  pending: '… pending',
  no_group: 'no consumer group',
  off: 'audit off',
};

// Writes the opened rows into the address's fragment, so that a reload or a
// link opens them again: #open=[[topic,group],...].
function saveOpen() {
  const rows = [...state.open.keys()].map((k) => JSON.parse(k));
  const hash = rows.length ? '#open=' + encodeURIComponent(JSON.stringify(rows))
                           : '';
  history.replaceState(null, '', location.pathname + location.search + hash);
}

// Opens the rows that the address's fragment names; anything else in it is
// ignored.
function loadOpen() {
  if (!location.hash.startsWith('#open=')) return;
  try {
    const rows = JSON.parse(decodeURIComponent(location.hash.slice(6)));
    for (const r of rows) {
      if (Array.isArray(r) && r.length === 2 && typeof r[0] === 'string' &&
          (r[1] === null || typeof r[1] === 'string')) {
        state.open.set(streamKey(r[0], r[1]), 0);
      }
    }
  } catch (err) {
    // A fragment that is not ours: nothing opens.
  }
}

// Fetches one JSON document of the exporter.
async function getJson(path, params) {
  const q = new URLSearchParams(params || {}).toString();
  const r = await fetch(q ? path + '?' + q : path, {cache: 'no-store'});
  if (!r.ok) throw new Error(path + ': HTTP ' + r.status);
  return r.json();
}

// The key of a stream in state.open.
function streamKey(topic, group) {
  return JSON.stringify([topic, group]);
}

// Draws the summary tiles.
function renderSummary(s) {
  const box = document.getElementById('summary');
  const tiles = [];
  const tile = (label, value, cls) =>
    tiles.push(el('div', {class: 'tile' + (cls ? ' ' + cls : '')},
                  [el('b', null, [value]), label]));
  const st = s.states || {};
  if (s.audit) {
    const bad = (st.not_delivered || 0) + (st.duplicate || 0);
    tile('streams delivered', num(st.delivered || 0),
         !bad && st.delivered ? 'good' : '');
    tile('not delivered', num(bad), bad ? 'bad' : '');
    tile('pending', num(st.pending || 0));
    tile('audit windows open', num(s.open_windows));
  } else {
    tile('audit', 'off');
  }
  tile('monitoring records', num(s.records));
  if (s.gaps) {
    tile('missing records', num(s.missing_records),
         s.missing_records ? 'bad' : '');
  }
  if (s.bad_records) tile('bad records', num(s.bad_records), 'bad');
  box.replaceChildren(...tiles);
}

// Draws a pager: previous, rows shown, next.
function renderPager(nav, total, offset, limit, go) {
  const last = Math.min(total, offset + limit);
  const prev = el('button', {type: 'button', disabled: offset === 0,
                             textContent: '◀ previous'});
  const next = el('button', {type: 'button', disabled: last >= total,
                             textContent: 'next ▶'});
  prev.addEventListener('click', () => go(Math.max(0, offset - limit)));
  next.addEventListener('click', () => go(offset + limit));
  const label = total === 0 ? 'no rows'
      : 'rows ' + num(offset + 1) + '–' + num(last) + ' of ' + num(total);
  nav.replaceChildren(...(total > limit ? [prev, el('span', null, [label]), next]
                                        : [el('span', null, [label])]));
}

// Draws the partitions of an opened stream into its row below.
function renderPartitions(row, p, now) {
  const head = el('tr', null, ['Partition', 'Produced', 'Consumed', 'Missing',
      'Duplicate', 'Latency avg', 'max', 'p99', 'Last record'].map(
      (h, i) => el('th', i > 0 && i < 8 ? {class: 'num'} : null, [h])));
  const body = [];
  for (const r of p.rows) {
    body.push(el('tr', {class: 'partition',
        data: {partition: r.partition === null ? 'all' : String(r.partition)}}, [
      td(r.partition === null ? 'all' : String(r.partition)),
      td(num(r.produced), 'num'), td(num(r.consumed), 'num'),
      td(num(r.missing), 'num'), td(num(r.duplicate), 'num'),
      td(dur(r.latency_avg_ms), 'num'), td(dur(r.latency_max_ms), 'num'),
      td(dur(r.latency_p99_ms), 'num'), td(ago(r.last_ms, now)),
    ]));
    // Where the latest findings lie, and the command that reads them again
    // (the brokers' address is the operator's to fill in).
    for (const g of r.ranges || []) {
      body.push(el('tr', {class: 'range', data: {first: String(g.first),
                                                 last: String(g.last)}}, [
        td(''),
        el('td', {colSpan: 8}, [
          (g.missing ? 'missing' : 'duplicate') + ' at offsets ' +
              num(g.first) + '–' + num(g.last) + ': ',
          el('code', null, [g.read_again])]),
      ]));
    }
  }
  const nav = el('nav', {class: 'pages'});
  const key = streamKey(p.topic, p.group);
  renderPager(nav, p.total, p.offset, p.limit, (off) => {
    state.open.set(key, off);
    refresh();
  });
  row.replaceChildren(el('td', {colSpan: 14}, [
    el('table', null, [el('thead', null, [head]), el('tbody', null, body)]),
    nav]));
}

// Draws the streams table; returns the rows whose partitions are open.
function renderStreams(s) {
  const tbody = document.querySelector('#streams tbody');
  const rows = [];
  const opened = [];
  for (const r of s.rows) {
    const key = streamKey(r.topic, r.group);
    const isOpen = state.open.has(key);
    const button = el('button', {type: 'button', class: 'open',
        textContent: isOpen ? '▾' : '▸',
        title: isOpen ? 'close the partitions' : 'open the partitions'});
    button.setAttribute('aria-expanded', String(isOpen));
    button.addEventListener('click', () => {
      if (state.open.has(key)) state.open.delete(key);
      else state.open.set(key, 0);
      saveOpen();
      refresh();
    });
    const data = {topic: r.topic, state: r.state,
                  missing: r.missing === null ? '' : String(r.missing),
                  duplicate: r.duplicate === null ? '' : String(r.duplicate),
                  pending: r.pending === null ? '' : String(r.pending),
                  lag: r.lag_s === null ? '' : String(r.lag_s)};
    if (r.group !== null) data.group = r.group;
    const delivery = el('span', {class: 'state-' + r.state},
                        [STATE_TEXT[r.state] || r.state]);
    const deliveryCell = el('td', {class: 'delivery'}, [delivery]);
    if (r.open_windows && r.group !== null) {
      deliveryCell.append(el('span', {class: 'none'},
                             [' (' + num(r.open_windows) + ' open)']));
    }
    // Lag is not loss: messages the group has not reached yet are shown
    // apart from the missing ones.
    if (r.pending || r.lag_s) {
      deliveryCell.append(el('span', {class: 'lag'},
          [' ' + num(r.pending) + ' pending, lag ' + dur(r.lag_s * 1000)]));
    }
    if (r.unconsumed) {
      deliveryCell.append(el('span', {class: 'none'},
          [' ' + num(r.unconsumed) + ' unconsumed']));
    }
    const tr = el('tr', {class: 'stream' + (isOpen ? ' open' : ''), data}, [
      el('td', null, [button]),
      nameCell(r.topic, ''),
      nameCell(r.group, '(producers only)'),
      deliveryCell,
      td(num(r.produced), 'num'), td(num(r.consumed), 'num'),
      td(num(r.missing), 'num missing'), td(num(r.duplicate), 'num'),
      td(dec(r.produced_per_s), 'num'), td(dec(r.consumed_per_s), 'num'),
      td(dur(r.latency_avg_ms), 'num'),
      td(dur(r.latency_max_ms), 'num'),
      td(dur(r.latency_p99_ms), 'num'),
      el('td', {title: r.last_ms ? new Date(r.last_ms).toISOString() : ''},
         [ago(r.last_ms, s.now)]),
    ]);
    rows.push(tr);
    if (isOpen) {
      const sub = el('tr', {class: 'parts'});
      rows.push(sub);
      opened.push({row: sub, topic: r.topic, group: r.group,
                   offset: state.open.get(key)});
    }
  }
  tbody.replaceChildren(...rows);
  renderPager(document.getElementById('streams-pages'), s.total, s.offset,
              s.limit, (off) => {
                state.streamsOffset = off;
                refresh();
              });
  return opened;
}

// Draws the clients table.
function renderClients(c, now) {
  const tbody = document.querySelector('#clients tbody');
  tbody.replaceChildren(...c.rows.map((r) => el('tr', {class: 'client',
      data: {type: r.type, clientId: r.client_id}}, [
    td(r.type),
    nameCell(r.client_id, ''),
    r.type === 'producer' ? td('—', 'none') : nameCell(r.group, ''),
    nameCell(r.cluster_id === '' ? null : r.cluster_id, '(not known yet)'),
    el('td', {class: 'session', title: r.session}, [r.session.slice(0, 8)]),
    td(num(r.sessions), 'num'), td(num(r.records), 'num'),
    td(num(r.missing_records), 'num'), td(num(r.partitions), 'num'),
    td(ago(r.last_ms, now)),
  ])));
  renderPager(document.getElementById('clients-pages'), c.total, c.offset,
              c.limit, (off) => {
                state.clientsOffset = off;
                refresh();
              });
}

// Counts what a chart has drawn into its canvas's data attributes: the
// points it holds and the canvas pixels that are not blank.
const drawnMarker = {
  id: 'w4drawn',
  afterRender(chart) {
    let points = 0;
    for (const ds of chart.data.datasets) {
      points += ds.data.filter((p) => p.y !== null).length;
    }
    const canvas = chart.canvas;
    const ctx = canvas.getContext('2d');
    const img = ctx.getImageData(0, 0, canvas.width, canvas.height).data;
    let painted = 0;
    for (let i = 3; i < img.length; i += 16) {
      if (img[i] !== 0) painted++;
    }
    canvas.dataset.points = String(points);
    canvas.dataset.painted = String(painted);
  },
};

// A label of the time axis, whose values are minutes before now.
function tickLabel(v) {
  if (v === 0) return 'now';
  if (v > -2) return Math.round(-v * 60) + ' s';
  return Math.round(-v) + ' min';
}

// Creates the three charts, once.
function makeCharts() {
  const base = (yTitle, extra) => ({
    type: 'line',
    data: {datasets: []},
    options: Object.assign({
      animation: false,
      responsive: true,
      maintainAspectRatio: false,
      parsing: false,
      normalized: true,
      spanGaps: false,
      interaction: {mode: 'nearest', intersect: false},
      plugins: {legend: {position: 'bottom', labels: {boxWidth: 12}}},
      scales: {
        x: {type: 'linear', max: 0,
            title: {display: true, text: 'before now'},
            ticks: {maxTicksLimit: 7, maxRotation: 0, callback: tickLabel}},
        y: {beginAtZero: true, title: {display: true, text: yTitle}},
      },
    }, extra || {}),
    plugins: [drawnMarker],
  });
  return {
    rate: new Chart(document.getElementById('chart-rate'), base('msg/s')),
    missing: new Chart(document.getElementById('chart-missing'),
                       base('messages')),
    latency: new Chart(document.getElementById('chart-latency'), base('ms')),
  };
}

// The points of one line: minutes before now on x.
function line(t, values, now) {
  return values.map((v, i) => ({x: (t[i] - now) / 60000, y: v}));
}

// A dataset of a chart line.
function dataset(label, data, color, extra) {
  return Object.assign({label, data, borderColor: color, backgroundColor: color,
                        borderWidth: 2, pointRadius: data.length > 60 ? 0 : 2,
                        tension: 0}, extra || {});
}

// Draws the charts of the last hour.
function renderCharts(h, now) {
  if (!state.charts) state.charts = makeCharts();
  const c = state.charts;
  const groupName = (g) => (g.group === '' ? '(no group)' : g.group);
  c.rate.data.datasets = [dataset('producers', line(h.t, h.produced_per_s, now),
                                  '#1d232a')].concat(h.groups.map((g, i) =>
      dataset(groupName(g), line(h.t, g.consumed_per_s, now),
              COLORS[i % COLORS.length])));
  c.missing.data.datasets = h.groups.map((g, i) =>
      dataset(groupName(g), line(h.t, g.missing, now), COLORS[i % COLORS.length],
              {stepped: true}));
  c.latency.data.datasets = [].concat(...h.groups.map((g, i) => [
    dataset(groupName(g) + ' avg', line(h.t, g.latency_avg_ms, now),
            COLORS[i % COLORS.length]),
    dataset(groupName(g) + ' max', line(h.t, g.latency_max_ms, now),
            COLORS[i % COLORS.length], {borderDash: [5, 4], borderWidth: 1}),
  ]));
  for (const chart of Object.values(c)) chart.update();
}

// Fetches everything and draws it; schedules the next refresh.
async function refresh() {
  clearTimeout(state.timer);
  const generation = ++state.generation;
  const status = document.getElementById('status');
  try {
    const [s, c, h] = await Promise.all([
      getJson('/api/streams', {offset: state.streamsOffset, limit: PAGE_ROWS,
                               q: state.filter}),
      getJson('/api/clients', {offset: state.clientsOffset, limit: PAGE_ROWS}),
      getJson('/api/history'),
    ]);
    if (generation !== state.generation) return;
    renderSummary(s);
    const opened = renderStreams(s);
    const parts = await Promise.all(opened.map((o) => {
      const params = {topic: o.topic, offset: o.offset, limit: PART_ROWS};
      if (o.group !== null) params.group = o.group;
      return getJson('/api/partitions', params);
    }));
    if (generation !== state.generation) return;
    parts.forEach((p, i) => renderPartitions(opened[i].row, p, s.now));
    renderClients(c, s.now);
    if (typeof Chart === 'function') renderCharts(h, s.now);
    state.renders++;
    document.body.dataset.renders = String(state.renders);
    status.className = '';
    status.textContent = 'updated ' + new Date(s.now).toLocaleTimeString() +
        '; refreshes every ' + REFRESH_MS / 1000 + ' s';
  } catch (err) {
    status.className = 'error';
    status.textContent = 'cannot reach the exporter (' + err.message +
        '); retrying';
  }
  state.timer = setTimeout(refresh, REFRESH_MS);
}

// A policy violation would mean that the page tried to run or load something
// that is not its own; counted for the tests.
document.addEventListener('securitypolicyviolation', () => {
  const n = Number(document.body.dataset.violations || 0) + 1;
  document.body.dataset.violations = String(n);
});

let filterTimer = null;
document.getElementById('filter').addEventListener('input', (ev) => {
  clearTimeout(filterTimer);
  filterTimer = setTimeout(() => {
    state.filter = ev.target.value;
    state.streamsOffset = 0;
    refresh();
  }, 300);
});
loadOpen();
refresh();
