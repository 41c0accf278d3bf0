// The office's page: plain JavaScript, no build step. Every text from the
// database (site names, alarm texts, comments, names) goes into the page as
// text (textContent, createTextNode), never as markup.
'use strict';

const state = { session: null, events: null, view: null, openAlarms: 0, charts: [] };
const main = document.getElementById('main');

// el('td', {class: 'num'}, 'text', node, ...): an element; strings become text nodes.
function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (v === null || v === undefined || v === false) continue;
    if (k === 'onclick' || k === 'onsubmit' || k === 'onchange') e.addEventListener(k.slice(2), v);
    else e.setAttribute(k, v === true ? '' : String(v));
  }
  for (const c of children.flat(Infinity)) {
    if (c === null || c === undefined) continue;
    e.appendChild(c instanceof Node ? c : document.createTextNode(String(c)));
  }
  return e;
}
const SVG = 'http://www.w3.org/2000/svg';
function svg(tag, attrs, text) {
  const e = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, String(v));
  if (text !== undefined) e.textContent = String(text);
  return e;
}

function pad(n) { return String(n).padStart(2, '0'); }
// Times with a zone are shown in UTC; a site's own time stamps as they are.
function utc(text) {
  if (!text) return '';
  const d = new Date(text);
  if (isNaN(d)) return String(text);
  return `${d.getUTCFullYear()}-${pad(d.getUTCMonth() + 1)}-${pad(d.getUTCDate())} ` +
         `${pad(d.getUTCHours())}:${pad(d.getUTCMinutes())}:${pad(d.getUTCSeconds())}`;
}
function siteTime(text) { return text ? String(text).replace('T', ' ') : ''; }
function ago(text) {
  if (!text) return 'never';
  const s = Math.max(0, (Date.now() - new Date(text).getTime()) / 1000);
  if (s < 90) return `${Math.round(s)} s ago`;
  if (s < 5400) return `${Math.round(s / 60)} min ago`;
  if (s < 172800) return `${Math.round(s / 3600)} h ago`;
  return `${Math.round(s / 86400)} days ago`;
}
function show(v) { return v === null || v === undefined ? '' : v; }
function siteLabel(number, name) { return number === null || number === undefined ? '' : (name ? `${number} ${name}` : String(number)); }
function healthClass(h, silent) {
  if (silent) return 'silent';
  if (h === 'ok' || h === 'normal') return 'ok';
  if (h === 'fault' || h === 'equipment fault' || h === 'failed') return 'bad';
  if (h === 'unknown' || !h) return 'unknown';
  return 'warn';
}

class HttpError extends Error {
  constructor(status, message) { super(message); this.status = status; }
}

// A request to the office. Background ones (live updates) keep no session alive.
async function api(path, options = {}) {
  const headers = { 'Accept': 'application/json' };
  if (options.background) headers['X-Kestova-Refresh'] = '1';
  const init = { method: options.method || 'GET', headers, credentials: 'same-origin' };
  if (options.body !== undefined) {
    headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(options.body);
  }
  if (init.method === 'POST' && state.session) headers['X-CSRF-Token'] = state.session.csrf;
  const res = await fetch(path, init);
  let data = null;
  try { data = await res.json(); } catch (e) { data = null; }
  if (res.status === 401 && path !== '/api/login') {
    loggedOut(data && data.error);
    throw new HttpError(401, 'logged out');
  }
  if (!res.ok) throw new HttpError(res.status, (data && data.error) || `HTTP ${res.status}`);
  return data;
}

function loggedOut(message) {
  if (!state.session && message === 'not logged in') message = '';
  state.session = null;
  if (state.events) { state.events.close(); state.events = null; }
  document.getElementById('live').classList.remove('on');
  showLogin(message);
}

function showLogin(message) {
  document.getElementById('nav').replaceChildren();
  document.getElementById('who').replaceChildren();
  const name = el('input', { name: 'name', autocomplete: 'username', required: true, id: 'login-name' });
  const password = el('input', { name: 'password', type: 'password', autocomplete: 'current-password',
                                 required: true, id: 'login-password' });
  const note = el('div', { class: message ? 'message bad' : 'message', hidden: !message }, message || '');
  const form = el('form', { class: 'login', id: 'login' },
    el('h1', {}, 'Log in'), note,
    el('label', {}, 'Name', name), el('label', {}, 'Password', password),
    el('button', { class: 'primary', type: 'submit' }, 'Log in'));
  form.addEventListener('submit', async (ev) => {
    ev.preventDefault();
    try {
      state.session = await api('/api/login', { method: 'POST', body: { name: name.value, password: password.value } });
      started();
    } catch (e) {
      note.hidden = false;
      note.className = 'message bad';
      note.textContent = e.message;
    }
  });
  main.replaceChildren(form);
  name.focus();
}

const views = [
  ['overview', 'Overview'], ['sites', 'Sites'], ['alarms', 'Alarms'], ['trains', 'Trains'],
];

function drawNav() {
  const here = location.hash.replace(/^#\/?/, '').split(/[/?]/)[0] || 'overview';
  const nav = document.getElementById('nav');
  nav.replaceChildren(...views.map(([id, title]) => {
    const a = el('a', { href: `#/${id}`, class: here === id ? 'here' : null, id: `nav-${id}` }, title);
    if (id === 'alarms' && state.openAlarms > 0) a.appendChild(el('span', { class: 'badge' }, state.openAlarms));
    return a;
  }));
}

function started() {
  const who = document.getElementById('who');
  const out = el('button', { type: 'button', id: 'logout' }, 'Log out');
  out.addEventListener('click', async () => {
    try { await api('/api/logout', { method: 'POST' }); } catch (e) { /* logged out anyway */ }
    loggedOut('Logged out.');
  });
  who.replaceChildren(`${state.session.name} (${state.session.role})`, out);
  listen();
  route();
}

// Live updates: the office says what changed; the page fetches it again.
function listen() {
  if (state.events) state.events.close();
  const es = new EventSource('/api/events');
  state.events = es;
  const live = document.getElementById('live');
  es.addEventListener('hello', () => { live.classList.add('on'); refresh(true); });
  es.addEventListener('changed', () => refresh(true));
  es.addEventListener('ended', () => { es.close(); checkSession(); });
  es.onerror = () => {
    live.classList.remove('on');
    if (es.readyState === EventSource.CLOSED) setTimeout(checkSession, 3000);
  };
}

async function checkSession() {
  try {
    state.session = await api('/api/session', { background: true });
    listen();
  } catch (e) {
    if (!(e instanceof HttpError && e.status === 401)) setTimeout(checkSession, 5000);
  }
}

async function refreshBadge(background) {
  const data = await api('/api/alarms?limit=1', { background });
  state.openAlarms = data.open;
  drawNav();
  document.title = data.open > 0 ? `(${data.open}) Kestova office` : 'Kestova office';
}

let refreshing = false;
async function refresh(background) {
  if (!state.session || refreshing) return;
  refreshing = true;
  try {
    await refreshBadge(background);
    await route(background);
  } catch (e) {
    if (!(e instanceof HttpError && e.status === 401)) console.warn(e);
  } finally {
    refreshing = false;
  }
}

async function route(background) {
  if (!state.session) return;
  drawNav();
  const [path, query] = (location.hash.replace(/^#\/?/, '') || 'overview').split('?');
  const parts = path.split('/');
  const params = new URLSearchParams(query || '');
  try {
    if (parts[0] === 'train' && /^[0-9]+$/.test(parts[1] || '')) await trainView(parts[1], background);
    else if (parts[0] === 'sites') await sitesView(background);
    else if (parts[0] === 'alarms') await alarmsView(params, background);
    else if (parts[0] === 'trains') await trainsView(params, background);
    else await overviewView(background);
  } catch (e) {
    if (e instanceof HttpError && e.status === 401) return;
    if (!background) main.replaceChildren(el('div', { class: 'message bad' }, e.message));
  }
}

function swap(id, ...nodes) {
  state.charts.forEach((c) => c.destroy());
  state.charts = [];
  main.replaceChildren(el('div', { id: `view-${id}` }, ...nodes));
}

// ---- Overview: the collection points
async function overviewView(background) {
  const points = await api('/api/points', { background });
  const cards = points.map((p) => el('div', { class: 'card point' },
    el('h3', {}, p.name, p.status_at ? el('span', { class: `state ${p.online ? 'ok' : 'bad'}` }, p.online ? 'online' : 'offline')
      : el('span', { class: 'state silent' }, 'not told')),
    el('dl', {},
      el('dt', {}, 'Status since'), el('dd', {}, p.status_at ? `${utc(p.status_at)} (${ago(p.status_at)})` : 'not told yet'),
      el('dt', {}, 'Backlog'), el('dd', {}, p.backlog === null ? 'not told' : `${p.backlog} records` +
        (p.backlog_at ? ` (${ago(p.backlog_at)})` : '')),
      el('dt', {}, 'Last train'), el('dd', {}, p.last_train ? `${utc(p.last_train)} (${ago(p.last_train)})` : 'none'),
      el('dt', {}, 'Trains, 24 h'), el('dd', {}, p.trains_day),
      el('dt', {}, 'Sites'), el('dd', {}, p.sites),
      el('dt', {}, 'Open alarms'), el('dd', {}, p.open_alarms > 0 ?
        el('a', { href: '#/alarms' }, el('span', { class: 'state bad' }, p.open_alarms)) : '0'),
      el('dt', {}, 'Last heard'), el('dd', {}, utc(p.last_seen)))));
  swap('overview', el('h1', {}, 'Collection points'),
    points.length ? el('div', { class: 'cards' }, cards) : el('p', { class: 'muted' }, 'No collection point has sent anything yet.'));
}

// ---- Sites: the line by milepost, one line per track
async function sitesView(background) {
  const sites = await api('/api/sites', { background });
  const tracks = [...new Set(sites.map((s) => s.track || 0))].sort((a, b) => a - b);
  const placed = sites.filter((s) => s.milepost !== null);
  const lo = Math.min(...placed.map((s) => s.milepost));
  const hi = Math.max(...placed.map((s) => s.milepost));
  const width = 1200, left = 90, right = 60, rowHeight = 120;
  const x = (m) => hi === lo ? (left + width - right) / 2 : left + (m - lo) * (width - left - right) / (hi - lo);
  const pic = svg('svg', { class: 'line', viewBox: `0 0 ${width} ${Math.max(1, tracks.length) * rowHeight + 30}`,
                           role: 'img', 'aria-label': 'The line by milepost', id: 'line' });
  tracks.forEach((track, row) => {
    const y = 60 + row * rowHeight;
    pic.appendChild(svg('text', { x: 8, y: y + 5, class: 'label' }, track ? `Track ${track}` : 'Track ?'));
    pic.appendChild(svg('line', { x1: left - 10, x2: width - right + 10, y1: y, y2: y, class: 'track' }));
    placed.filter((s) => (s.track || 0) === track).forEach((s, i) => {
      const cx = x(s.milepost);
      const dot = svg('circle', { cx, cy: y, r: 11, class: healthClass(s.health, s.silent) });
      dot.appendChild(svg('title', {}, `${s.point} site ${s.site} ${s.name}: ${s.silent ? 'silent, ' : ''}${s.health}`));
      pic.appendChild(dot);
      const above = i % 2 === 0;
      pic.appendChild(svg('text', { x: cx, y: above ? y - 20 : y + 32, 'text-anchor': 'middle' }, siteLabel(s.site, s.name)));
      pic.appendChild(svg('text', { x: cx, y: above ? y - 36 : y + 48, 'text-anchor': 'middle', class: 'label' },
        `MP ${(s.milepost / 10).toFixed(1)}${s.open_alarms > 0 ? ` · ${s.open_alarms} open` : ''}`));
    });
  });
  const legend = el('div', { class: 'legend' },
    ...[['ok', 'healthy'], ['warn', 'warning'], ['bad', 'fault'], ['unknown', 'not told'], ['silent', 'silent (no call or train for 24 h)']]
      .map(([c, t]) => el('span', {}, el('span', { class: `dot ${c}` }), t)));
  const rows = sites.map((s) => el('tr', {},
    el('td', {}, s.point), el('td', { class: 'num' }, s.site), el('td', {}, s.name),
    el('td', { class: 'num' }, s.milepost === null ? '' : (s.milepost / 10).toFixed(1)), el('td', { class: 'num' }, show(s.track)),
    el('td', {}, el('span', { class: `state ${healthClass(s.health, false)}` }, s.health),
      s.health_detail ? el('span', { class: 'muted' }, ' ', healthText(s.health_detail)) : null),
    el('td', {}, s.silent ? el('span', { class: 'state silent' }, 'silent') : ''),
    el('td', {}, s.last_call ? `${utc(s.last_call)} (${ago(s.last_call)})` : 'never'),
    el('td', {}, s.last_train ? `${utc(s.last_train)} (${ago(s.last_train)})` : 'never'),
    el('td', { class: 'num' }, s.open_alarms > 0 ? el('span', { class: 'state bad' }, s.open_alarms) : '0')));
  swap('sites', el('h1', {}, 'Sites along the line'),
    sites.length ? [pic, legend] : el('p', { class: 'muted' }, 'No site is known yet.'),
    el('h2', {}, 'All sites'),
    el('table', { id: 'sites-table' }, el('thead', {}, el('tr', {}, ['Point', 'Site', 'Name', 'Milepost', 'Track', 'Health', '',
      'Last call', 'Last train', 'Open alarms'].map((h, i) => el('th', { class: [1, 3, 4, 9].includes(i) ? 'num' : null }, h)))),
    el('tbody', {}, rows)));
}

function healthText(detail) {
  if (typeof detail !== 'object' || detail === null) return String(detail);
  if (Array.isArray(detail)) return detail.map(healthText).join('; ');
  return Object.entries(detail).map(([k, v]) => `${k}: ${typeof v === 'object' ? JSON.stringify(v) : v}`).join(', ');
}

// ---- Alarms
function alarmWhat(a) {
  const parts = [];
  if (a.reading !== null) parts.push(`reading ${a.reading}`);
  if (a.reference !== null && a.reference >= 0) parts.push(`against ${a.reference}`);
  if (a.threshold !== null && a.threshold >= 0) parts.push(`rule ${a.threshold}`);
  return parts.join(', ');
}
function axleText(a) {
  if (!a.axle) return '';
  return a.car ? `${a.axle} (car ${a.car}, axle ${a.axle_in_car})` : String(a.axle);
}

async function alarmsView(params, background) {
  const all = params.get('state') === 'all';
  const data = await api(`/api/alarms?state=${all ? 'all' : 'open'}&limit=500`, { background });
  // A comment being written survives a live refresh.
  const typed = {};
  let focused = null;
  main.querySelectorAll('input[data-key]').forEach((i) => {
    typed[i.dataset.key] = i.value;
    if (document.activeElement === i) focused = i.dataset.key;
  });
  const note = main.querySelector('#ack-note');
  const canAck = state.session.role === 'acknowledger';
  const rows = data.alarms.map((a) => {
    const open = !a.acked_by;
    let action;
    if (open && canAck) {
      const input = el('input', { placeholder: 'comment', maxlength: 500, 'data-key': a.key, 'aria-label': 'comment' });
      input.value = typed[a.key] || '';
      const button = el('button', { type: 'button', class: 'primary' }, 'Acknowledge');
      button.addEventListener('click', () => acknowledge(a.key, input.value));
      action = el('div', { class: 'ack' }, input, button);
    } else if (open) {
      action = el('span', { class: 'muted' }, 'open');
    } else {
      action = el('span', {}, `${a.acked_by}, ${utc(a.acked_at)}${a.ack_source === 'point' ? ' at the point' : ''}`,
        a.ack_comment ? el('div', { class: 'muted' }, a.ack_comment) : null);
    }
    return el('tr', { class: open ? 'open' : 'acked', 'data-alarm': a.key },
      el('td', { class: 'nowrap' }, utc(a.raised_at)),
      el('td', { class: 'nowrap' }, a.kind, a.raised_by === 'office' ? el('div', { class: 'muted' }, 'office') : null),
      el('td', {}, a.point), el('td', {}, siteLabel(a.site, a.site_name)),
      el('td', {}, a.train_id ? el('a', { href: `#/train/${a.train_id}` }, show(a.train) || 'train') : show(a.train)),
      el('td', {}, axleText(a)), el('td', {}, a.side === 'none' ? '' : a.side),
      el('td', {}, alarmWhat(a)), el('td', {}, a.text), el('td', {}, action));
  });
  const table = el('table', { id: 'alarms-table' },
    el('thead', {}, el('tr', {}, ['Raised (UTC)', 'Kind', 'Point', 'Site', 'Train', 'Axle', 'Side', 'Reading', 'Text',
      canAck ? 'Acknowledge' : 'Acknowledged'].map((h) => el('th', {}, h)))),
    el('tbody', {}, rows));
  const toggle = el('a', { href: all ? '#/alarms' : '#/alarms?state=all' }, all ? 'Only open alarms' : 'All alarms, acknowledged too');
  const heading = el('h1', {}, all ? 'Alarms' : 'Open alarms', ' ', el('span', { class: 'muted' }, `(${data.open} open)`));
  const newNote = el('div', { id: 'ack-note', class: note ? note.className : 'message', hidden: note ? note.hidden : true },
    note ? note.textContent : '');
  swap('alarms', heading, el('p', {}, toggle), newNote,
    data.alarms.length ? table : el('p', { class: 'muted' }, 'No open alarm.'));
  if (focused) {
    const again = main.querySelector(`input[data-key="${CSS.escape(focused)}"]`);
    if (again) again.focus();
  }
}

async function acknowledge(key, comment) {
  const note = main.querySelector('#ack-note');
  try {
    await api('/api/acknowledge', { method: 'POST', body: { key, comment } });
    note.className = 'message';
    note.textContent = 'Acknowledged.';
  } catch (e) {
    note.className = 'message bad';
    note.textContent = e.message;
  }
  note.hidden = false;
  const input = main.querySelector(`input[data-key="${CSS.escape(key)}"]`);
  if (input) input.value = '';
  await refresh(false);
}

// ---- Trains
async function trainsView(params, background) {
  const page = Math.max(0, parseInt(params.get('page') || '0', 10) || 0);
  const size = 50;
  const query = new URLSearchParams();
  for (const k of ['point', 'site', 'from', 'to', 'train', 'alarms']) if (params.get(k)) query.set(k, params.get(k));
  query.set('page', page);
  query.set('size', size);
  let form = main.querySelector('form.filters');
  if (!form || !background) {
    const field = (name, label, attrs) => el('label', {}, label, el('input', Object.assign({ name }, attrs || {})));
    form = el('form', { class: 'filters', id: 'train-filters' },
      field('point', 'Collection point'), field('site', 'Site', { inputmode: 'numeric', size: 6 }),
      field('from', 'From (UTC)', { type: 'date' }), field('to', 'To (UTC)', { type: 'date' }),
      field('train', 'Train number', { inputmode: 'numeric', size: 6 }),
      el('label', {}, 'With alarms', el('input', { name: 'alarms', type: 'checkbox', value: '1' })),
      el('button', { type: 'submit', class: 'primary' }, 'Show'), el('a', { href: '#/trains' }, 'Clear'));
    for (const k of ['point', 'site', 'from', 'to', 'train']) form.elements[k].value = params.get(k) || '';
    form.elements.alarms.checked = params.get('alarms') === '1';
    form.addEventListener('submit', (ev) => {
      ev.preventDefault();
      const q = new URLSearchParams();
      for (const k of ['point', 'site', 'from', 'to', 'train']) if (form.elements[k].value.trim()) q.set(k, form.elements[k].value.trim());
      if (form.elements.alarms.checked) q.set('alarms', '1');
      location.hash = `#/trains?${q}`;
    });
  }
  let rows;
  try {
    rows = await api(`/api/trains?${query}`, { background });
  } catch (e) {
    if (e instanceof HttpError && e.status === 400) {
      swap('trains', el('h1', {}, 'Trains'), form, el('div', { class: 'message bad' }, e.message));
      return;
    }
    throw e;
  }
  const more = rows.length > size;
  const shown = rows.slice(0, size);
  const link = (p) => { const q = new URLSearchParams(params); q.set('page', p); return `#/trains?${q}`; };
  const table = el('table', { id: 'trains-table' },
    el('thead', {}, el('tr', {}, ['Received (UTC)', 'Point', 'Site', 'Train', 'Site time', 'Axles', 'Cars', 'Speed', 'Track', 'Dir.', 'Alarms']
      .map((h, i) => el('th', { class: [5, 6, 7, 8].includes(i) ? 'num' : null }, h)))),
    el('tbody', {}, shown.map((t) => el('tr', {},
      el('td', {}, el('a', { href: `#/train/${t.id}` }, utc(t.received))), el('td', {}, t.point),
      el('td', {}, siteLabel(t.site, t.site_name)), el('td', {}, show(t.train)), el('td', {}, siteTime(t.first)),
      el('td', { class: 'num' }, show(t.axles)), el('td', { class: 'num' }, show(t.cars)), el('td', { class: 'num' }, show(t.speed)),
      el('td', { class: 'num' }, show(t.track)), el('td', {}, show(t.direction)),
      el('td', {}, t.alarms > 0 ? el('span', { class: `state ${t.open_alarms > 0 ? 'bad' : 'warn'}` },
        `${t.alarms}${t.open_alarms > 0 ? ` (${t.open_alarms} open)` : ''}`) : '')))));
  const pager = el('div', { class: 'pager' },
    page > 0 ? el('a', { href: link(page - 1) }, '← newer') : null, el('span', { class: 'muted' }, `page ${page + 1}`),
    more ? el('a', { href: link(page + 1) }, 'older →') : null);
  swap('trains', el('h1', {}, 'Trains'), form, shown.length ? table : el('p', { class: 'muted' }, 'No train matches.'), pager);
}

// ---- One train
async function trainView(id, background) {
  const t = await api(`/api/trains/${id}`, { background });
  if (background && main.querySelector(`#view-train[data-id="${id}"]`) && main.dataset.alarms === JSON.stringify(t.alarms)) return;
  main.dataset.alarms = JSON.stringify(t.alarms);
  const facts = [
    ['Collection point', t.point], ['Site', siteLabel(t.site, t.site_name)],
    ['Milepost', t.milepost === null ? '' : (t.milepost / 10).toFixed(1)], ['Train number', show(t.train)],
    ['Site time', siteTime(t.first)], ['Received (UTC)', utc(t.received)], ['Axles', show(t.axles)],
    ['Cars', show(t.cars)], ['Speed', show(t.speed)], ['Track', show(t.track)], ['Direction', show(t.direction)],
    ['Delivery', t.delivery === 2 ? `${t.blocks} blocks` : 'all in one'], ['Stream', `${t.bytes} bytes`], ['Key', t.key],
  ];
  const summary = el('div', { class: 'card' }, el('dl', {}, facts.map(([k, v]) => [el('dt', {}, k), el('dd', {}, v)])));
  const boxChart = el('div', { class: 'chartbox' }, el('canvas', { id: 'hotbox-chart', 'aria-label': 'hot box per axle' }));
  const alarmRows = t.alarms.map((a) => el('tr', { class: a.acked_by ? 'acked' : 'open' },
    el('td', {}, a.kind), el('td', {}, axleText(a)), el('td', {}, a.side === 'none' ? '' : a.side), el('td', {}, alarmWhat(a)),
    el('td', {}, a.text), el('td', {}, a.acked_by ? `${a.acked_by}: ${a.ack_comment || ''}` : 'open')));
  const parts = [el('h1', {}, `Train ${show(t.train)} at ${siteLabel(t.site, t.site_name)}`),
    el('div', { class: 'grid2' }, summary, boxChart)];
  parts.push(el('h2', {}, 'Alarms'), t.alarms.length ? el('table', { id: 'train-alarms' },
    el('thead', {}, el('tr', {}, ['Kind', 'Axle', 'Side', 'Reading', 'Text', 'Acknowledged'].map((h) => el('th', {}, h)))),
    el('tbody', {}, alarmRows)) : el('p', { class: 'muted' }, 'None.'));
  const trends = t.alarms.filter((a) => a.kind === 'trend' && Array.isArray(a.trend));
  const trendCanvases = [];
  for (const a of trends) {
    const canvas = el('canvas', { 'aria-label': 'the bearing site by site' });
    trendCanvases.push([a, canvas]);
    parts.push(el('h2', {}, `Trend: axle ${a.axle} ${a.side}, above its side's median site by site`),
      el('div', { class: 'grid2' },
        el('table', { class: 'trend-table' }, el('thead', {}, el('tr', {}, el('th', {}, 'Site'), el('th', { class: 'num' }, 'Above the median'))),
          el('tbody', {}, a.trend.map((s) => el('tr', {}, el('td', {}, s.site), el('td', { class: 'num' }, s.relative))))),
        el('div', { class: 'chartbox small' }, canvas)));
  }
  const hasWheels = t.readings.some((r) => r[4] !== null);
  const wheelChart = el('div', { class: 'chartbox' }, el('canvas', { id: 'hotwheel-chart' }));
  if (hasWheels) parts.push(el('h2', {}, 'Hot wheel per axle'), wheelChart);
  swap('train', ...parts);
  main.firstChild.dataset.id = id;
  if (!window.Chart) {
    boxChart.replaceChildren(el('p', { class: 'muted' }, 'Charts need /assets/chart.js (libjs-chart.js).'));
    return;
  }
  Chart.defaults.color = '#c9d1d9';
  Chart.defaults.borderColor = '#2b3846';
  const axles = t.readings.map((r) => r[0]);
  const lineChart = (canvas, title, sets) => state.charts.push(new Chart(canvas, {
    type: 'line',
    data: { labels: axles, datasets: sets.map(([label, index, color]) => ({
      label, data: t.readings.map((r) => r[index]), borderColor: color, backgroundColor: color,
      pointRadius: 2, borderWidth: 1.5, tension: 0 })) },
    options: { animation: false, maintainAspectRatio: false, interaction: { mode: 'index', intersect: false },
      plugins: { title: { display: true, text: title } },
      scales: { x: { title: { display: true, text: 'axle' } }, y: { beginAtZero: true } } },
  }));
  lineChart(boxChart.firstChild, 'Hot box per axle', [['left', 2, '#58a6ff'], ['right', 3, '#f0883e']]);
  if (hasWheels) lineChart(wheelChart.firstChild, 'Hot wheel per axle', [['left', 4, '#58a6ff'], ['right', 5, '#f0883e']]);
  for (const [a, canvas] of trendCanvases) {
    state.charts.push(new Chart(canvas, {
      type: 'bar',
      data: { labels: a.trend.map((s) => `site ${s.site}`),
        datasets: [{ label: 'above the median', data: a.trend.map((s) => s.relative), backgroundColor: '#f85149' }] },
      options: { animation: false, maintainAspectRatio: false, plugins: { legend: { display: false } },
        scales: { y: { beginAtZero: true } } },
    }));
  }
}

async function boot() {
  window.addEventListener('hashchange', () => route(false));
  try {
    state.session = await api('/api/session');
    started();
  } catch (e) {
    if (!(e instanceof HttpError && e.status === 401)) main.replaceChildren(el('div', { class: 'message bad' }, e.message));
  }
}
boot();
