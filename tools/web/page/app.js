/*
 * ks318-web's page: the terminals, their events and the actions on them, live.
 * Plain JavaScript, no library and no build step.
 *
 * Stable hooks for tests and scripts (ids and classes kept from release to release):
 *   #summary                     server line: how many terminals, library version, terminal port
 *   #live-status[data-state]     "live" while the event stream is open, else "connecting"/"lost"
 *   #token-form, #token-input, #token-save, #token-message, #token-change
 *                                the access token (kept in sessionStorage, sent as a Bearer header
 *                                with every request: reads, the event stream and the screens too)
 *   #terminal-rows tr[data-id="ID"]   one row per terminal on the current page, under its id
 *                                (which never moves); also data-terminal (its number as last
 *                                read), data-uid, data-model, data-key (uid|connected_since)
 *     input.select               the row's selection checkbox
 *     td.c-num, td.c-model, td.c-ident (.uid, .text), td.c-addr, td.c-time (.since, .heard),
 *     td.c-frames (.in, .out)    the row's fields
 *     button.thumb-button > img.thumb[data-revision]   the screen thumbnail (scale 0.25); opens
 *                                #screen-dialog (img#screen-full, #screen-approx, #screen-close)
 *     button.device              opens #device-dialog (#device-body, #device-close)
 *   #terminal-count, #page-prev, #page-next, #page-info, #select-page, #select-none, #no-terminals
 *   #feed li.ev[data-kind][data-terminal][data-seq]   the event feed, newest first, at most 500;
 *     (li.ev[data-kind="gap"]: events the stream missed, with how many)
 *     data-terminal is the terminal's id, span.term its name: its identifier text, else "#id"
 *     (span.what holds the words; screen events only move thumbnails; action events show under
 *     the "actions" kind alone); filters #feed-terminal (a name, "#id" or an id), #feed-kind;
 *     #feed-clear
 *   #target-selected, #target-all, #target-model + #target-model-number, #selected-count
 *   tabs #tab-picture #tab-fill #tab-text #tab-file #tab-settings #tab-control (panels #panel-*)
 *   #picture-file + #do-picture; #fill-index + #do-fill (#palette button.swatch[data-index]);
 *   #text-text #text-x #text-y #text-colour #text-height #text-font + #do-text;
 *   #file-file #file-name + #do-file; #font-file + #do-font; upload bars progress.upload;
 *   #setting-kind #setting-value + #do-setting-ask #do-setting-set, #settings-note (model 320 only);
 *   #do-keyboard-on/off, #do-cardreader-on/off, #do-live, #do-restart (+ #do-restart-yes/no)
 *   #action-message              why an action did not start
 *   #results section.result[data-action][data-state="pending"|"done"|"error"]
 *     li[data-terminal][data-terminal-id][data-status]   per terminal (its number when sent, its
 *                                id): status and reason in words (a fleet
 *                                terminal's line has data-id too; li.st-unanswered[data-topic]
 *                                a command no bridge answered);
 *     progress.transfer           per-terminal progress of a file (action events)
 *   fleet mode: see fleet.js
 */
'use strict';

const PAGE_SIZE = 50;
const FEED_MAX = 500;          // lines in the DOM
const EVENT_BUFFER = 2000;     // events kept in memory, for the filters
const RESULTS_MAX = 8;         // result cards kept
const REFRESH_MS = 3000;       // fields such as "last heard" and the frame counts
const TOKEN_KEY = 'ks318.token';
const KINDS = ['connect', 'disconnect', 'identified', 'key', 'card', 'serial', 'answer', 'file', 'screen', 'action',
  'fleet', 'fleet-state', 'gap'];
const KEY_NAMES = {8: 'Backspace', 9: 'Tab', 10: 'Line feed', 13: 'Enter', 27: 'Escape', 32: 'Space', 127: 'Delete'};

const $ = (id) => document.getElementById(id);

const state = {
  token: null,
  info: null,
  count: 0,
  page: 0,
  rows: new Map(),         // terminal id -> {id, n, tr, parts, key, shownRevision, t}
  selection: new Map(),    // terminal id -> model
  names: new Map(),        // terminal id -> its identifier text, once told
  models: new Map(),       // model -> how many terminals
  events: [],              // newest last
  lastSeq: -1,
  live: false,
  transfers: new Map(),    // "action id:terminal id" -> the result line of a file transfer
  actionEvents: new Map(), // "action id:terminal id" -> the last progress event of a transfer
  screenDialogTerminal: 0, // the id of the terminal whose screen is shown
};

/* ---- Small helpers ------------------------------------------------------------------ */

function h(tag, attrs, ...children) {
  const el = document.createElement(tag);
  if (attrs) {
    for (const [k, v] of Object.entries(attrs)) {
      if (v === null || v === undefined || v === false) continue;
      if (k === 'class') el.className = v;
      else if (k === 'text') el.textContent = v;
      else if (k === 'dataset') Object.assign(el.dataset, v);
      else if (k.startsWith('on')) el.addEventListener(k.slice(2), v);
      else el.setAttribute(k, v === true ? '' : v);
    }
  }
  for (const c of children) if (c !== null && c !== undefined) el.append(c);
  return el;
}

function setText(el, text) {
  text = String(text);
  if (el.textContent !== text) el.textContent = text;
}

function toDate(t) {
  if (t === null || t === undefined || t === '') return null;
  const d = typeof t === 'number' ? new Date(t) : new Date(String(t));
  return Number.isNaN(d.getTime()) ? null : d;
}

function clock(t) {
  const d = toDate(t);
  if (!d) return '–';
  const now = new Date();
  const time = d.toLocaleTimeString([], {hour: '2-digit', minute: '2-digit', second: '2-digit', hour12: false});
  return d.toDateString() === now.toDateString() ? time : d.toLocaleDateString() + ' ' + time;
}

function ago(t) {
  const d = toDate(t);
  if (!d) return 'never';
  const s = Math.max(0, Math.round((Date.now() - d.getTime()) / 1000));
  if (s < 2) return 'just now';
  if (s < 60) return s + ' s ago';
  if (s < 3600) return Math.floor(s / 60) + ' min ago';
  return Math.floor(s / 3600) + ' h ago';
}

function bytes(n) {
  if (typeof n !== 'number') return String(n);
  if (n < 1024) return n + ' bytes';
  if (n < 1024 * 1024) return (n / 1024).toFixed(1) + ' KiB';
  return (n / 1024 / 1024).toFixed(1) + ' MiB';
}

function num(n) {
  return typeof n === 'number' ? n.toLocaleString('en') : String(n ?? '–');
}

function quote(s) {
  return '“' + String(s ?? '') + '”';
}

/* ---- Server access -------------------------------------------------------------------- */

async function failure(response) {
  let why = response.status + ' ' + response.statusText;
  try {
    const body = await response.json();
    if (body && body.error) why = body.error;
  } catch (e) { /* not JSON */ }
  const err = new Error(why);
  err.status = response.status;
  return err;
}

function authorization() {
  return state.token ? {'Authorization': 'Bearer ' + state.token} : {};
}

/* Every read carries the token: the server shows nothing without it. */
async function getJSON(path, method) {
  if (needToken()) throw new Error('no access token yet');
  const response = await fetch(path, {method: method || 'GET', cache: 'no-store', headers: authorization()});
  if (response.status === 401 || response.status === 403) tokenRefused(response.status);
  if (!response.ok) throw await failure(response);
  return response.json();
}

/* A screen picture into an <img>, which cannot send the token itself: read with it and shown
   from memory. A later call for the same <img> wins over an earlier one still on its way. */
async function loadPicture(img, path) {
  img.dataset.path = path;
  if (!state.token) return;
  try {
    const response = await fetch(path, {cache: 'no-store', headers: authorization()});
    if (!response.ok || img.dataset.path !== path) return;
    const url = URL.createObjectURL(await response.blob());
    if (img.dataset.path !== path) { URL.revokeObjectURL(url); return; }
    const old = img.src;
    img.src = url;
    if (old.startsWith('blob:')) URL.revokeObjectURL(old);
  } catch (e) { /* the next revision tries again */ }
}

function needToken() {
  if (state.token) return false;
  showTokenForm('Paste the access token that ks318-web printed at its start.');
  return true;
}

function tokenRefused(status) {
  showTokenForm(status === 401 ? 'The server wants an access token.' : 'The server refused this token: paste the one ks318-web printed.');
}

async function postJSON(path, body) {
  if (needToken()) throw new Error('no access token yet');
  const response = await fetch(path, {
    method: 'POST',
    headers: {'Authorization': 'Bearer ' + state.token, 'Content-Type': 'application/json'},
    body: JSON.stringify(body),
  });
  if (response.status === 401 || response.status === 403) tokenRefused(response.status);
  if (!response.ok) throw await failure(response);
  return response.json();
}

/* A file to /api/uploads, with a progress bar; resolves to {"upload", "name", "size"}. */
function upload(file, bar) {
  return new Promise((resolve, reject) => {
    if (needToken()) return reject(new Error('no access token yet'));
    const max = state.info && state.info.max_upload;
    if (max && file.size > max) return reject(new Error(`${file.name} is ${bytes(file.size)}; the server takes at most ${bytes(max)}`));
    const xhr = new XMLHttpRequest();
    xhr.open('POST', '/api/uploads?name=' + encodeURIComponent(file.name));
    xhr.setRequestHeader('Authorization', 'Bearer ' + state.token);
    xhr.setRequestHeader('Content-Type', 'application/octet-stream');
    if (bar) {
      bar.hidden = false;
      bar.value = 0;
      xhr.upload.onprogress = (e) => { if (e.lengthComputable && e.total) bar.value = e.loaded / e.total; };
    }
    xhr.onload = () => {
      if (bar) bar.value = 1;
      let body = null;
      try { body = JSON.parse(xhr.responseText); } catch (e) { /* not JSON */ }
      if (xhr.status === 401 || xhr.status === 403) tokenRefused(xhr.status);
      if (xhr.status >= 200 && xhr.status < 300 && body) resolve(body);
      else if (xhr.status === 413) reject(new Error((body && body.error) || `${file.name} is larger than the server takes`));
      else reject(new Error((body && body.error) || `upload failed: ${xhr.status} ${xhr.statusText}`));
    };
    xhr.onerror = () => reject(new Error('the upload did not reach the server'));
    xhr.send(file);
  });
}

/* ---- Token ---------------------------------------------------------------------------- */

function initToken() {
  const match = location.hash.match(/(?:^#|&)token=([^&]*)/);
  if (match) {
    state.token = decodeURIComponent(match[1]);
    sessionStorage.setItem(TOKEN_KEY, state.token);
    // The token stays out of the address bar, the history and any link copied from it.
    history.replaceState(null, '', location.pathname + location.search);
  } else {
    state.token = sessionStorage.getItem(TOKEN_KEY);
  }
  if (!state.token) showTokenForm('Paste the access token that ks318-web printed at its start; actions need it.');
  else $('token-change').hidden = false;
  $('token-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const value = $('token-input').value.trim();
    if (!value) return;
    state.token = value;
    sessionStorage.setItem(TOKEN_KEY, value);
    $('token-input').value = '';
    $('token-form').hidden = true;
    $('token-change').hidden = false;
    tokenChanged();
  });
  $('token-change').addEventListener('click', () => showTokenForm('Paste the new token.'));
}

/* Whatever waits for a token (the event stream, the first reads) goes on with the new one. */
const tokenWaiters = [];
function nextToken() {
  return new Promise((resolve) => tokenWaiters.push(resolve));
}
function tokenChanged() {
  for (const resolve of tokenWaiters.splice(0)) resolve();
  readInfo();
  scheduleRefresh(0);
  scheduleCensus(0);
}

function showTokenForm(message) {
  $('token-form').hidden = false;
  $('token-change').hidden = true;
  setText($('token-message'), message || '');
}

/* ---- Terminals ------------------------------------------------------------------------ */

function rowKey(t) {
  return `${t.uid ?? ''}|${t.connected_since ?? ''}`;
}

/* ---- Terminal names: a terminal is named by its identifier text, else by its id; never by
   its number, which moves when a terminal below it leaves. --------------------------------- */

function rememberName(id, text) {
  if (!id || typeof text !== 'string' || text === '') return;
  state.names.delete(id);
  state.names.set(id, text);
  while (state.names.size > 8192) state.names.delete(state.names.keys().next().value);
}

function terminalName(id) {
  return state.names.get(id) || `#${id}`;
}

function makeRow(id) {
  const parts = {};
  parts.select = h('input', {type: 'checkbox', class: 'select'});
  parts.select.addEventListener('change', () => onRowSelect(row));
  parts.num = h('td', {class: 'c-num'});
  parts.thumb = h('img', {class: 'thumb', alt: '', loading: 'lazy', decoding: 'async'});
  parts.thumbButton = h('button', {type: 'button', class: 'thumb-button'}, parts.thumb);
  parts.thumbButton.addEventListener('click', () => openScreen(row.id));
  parts.model = h('span', {class: 'model'});
  parts.version = h('span', {class: 'version'});
  parts.uid = h('span', {class: 'uid'});
  parts.text = h('span', {class: 'text'});
  parts.addr = h('td', {class: 'c-addr'});
  parts.since = h('span', {class: 'since'});
  parts.heard = h('span', {class: 'heard'});
  parts.fin = h('span', {class: 'in'});
  parts.fout = h('span', {class: 'out'});
  parts.device = h('button', {type: 'button', class: 'device'}, 'Device');
  parts.device.addEventListener('click', () => openDevice(row.id));
  const tr = h('tr', {dataset: {id}},
    h('td', {class: 'c-sel'}, parts.select),
    parts.num,
    h('td', {class: 'c-screen'}, parts.thumbButton),
    h('td', {class: 'c-model'}, parts.model, parts.version),
    h('td', {class: 'c-ident'}, parts.uid, parts.text),
    parts.addr,
    h('td', {class: 'c-time'}, parts.since, parts.heard),
    h('td', {class: 'c-frames'}, parts.fin, h('span', {class: 'sep', 'aria-hidden': 'true'}, ' / '), parts.fout),
    h('td', {class: 'c-dev'}, parts.device));
  const row = {id, n: null, tr, parts, key: null, shownRevision: null, t: null};
  return row;
}

function updateRow(row, t) {
  const p = row.parts;
  const n = t.number;
  row.n = n;
  row.t = t;
  const key = rowKey(t);
  row.key = key;
  rememberName(row.id, t.text);
  const name = terminalName(row.id);
  row.tr.dataset.terminal = n;
  row.tr.dataset.uid = t.uid ?? '';
  row.tr.dataset.model = t.model ?? '';
  row.tr.dataset.key = key;
  setText(p.num, n);
  p.select.checked = state.selection.has(row.id);
  p.select.setAttribute('aria-label', `Select terminal ${name}`);
  setText(p.model, t.model ?? '–');
  setText(p.version, t.version !== undefined && t.version !== null ? 'v' + t.version : '');
  p.version.title = 'terminal version';
  setText(p.uid, t.uid || 'not identified yet');
  p.uid.classList.toggle('missing', !t.uid);
  setText(p.text, t.text ?? '');
  setText(p.addr, t.address ?? '–');
  setText(p.since, clock(t.connected_since));
  p.since.title = toDate(t.connected_since)?.toString() ?? '';
  setText(p.heard, ago(t.last_heard));
  p.heard.title = 'last heard ' + (toDate(t.last_heard)?.toString() ?? 'never');
  p.heard.dataset.time = t.last_heard ?? '';
  setText(p.fin, num(t.frames_in));
  setText(p.fout, num(t.frames_out));
  p.fin.title = 'frames in';
  p.fout.title = 'frames out';
  p.thumbButton.setAttribute('aria-label', `Terminal ${name}: show its screen full size (approximate)`);
  p.device.setAttribute('aria-label', `Terminal ${name}: device settings`);
  const screen = t.screen || {};
  if (screen.width && screen.height) {
    p.thumb.width = Math.max(1, Math.round(screen.width / 4));
    p.thumb.height = Math.max(1, Math.round(screen.height / 4));
  }
  setThumb(row, screen.revision ?? 0);
}

function setThumb(row, revision) {
  if (row.shownRevision !== null && revision <= row.shownRevision) return;
  row.shownRevision = revision;
  const img = row.parts.thumb;
  img.dataset.revision = revision;
  img.alt = `Screen of terminal ${terminalName(row.id)}, approximate`;
  loadPicture(img, `/api/terminals/${row.id}/screen.png?scale=0.25&rev=${revision}&k=${encodeURIComponent(row.key || '')}`);
}

function renderRows(list) {
  const body = $('terminal-rows');
  const seen = new Set();
  const old = state.rows;
  const next = new Map();
  let i = 0;
  for (const t of list) {
    // A terminal keeps its row (and its loaded thumbnail) under its id, whatever its number.
    let row = old.get(t.id);
    if (!row || seen.has(row)) row = makeRow(t.id);
    seen.add(row);
    updateRow(row, t);
    next.set(t.id, row);
    if (body.children[i] !== row.tr) body.insertBefore(row.tr, body.children[i] || null);
    i++;
  }
  for (const row of old.values()) if (!seen.has(row)) row.tr.remove();
  state.rows = next;
  updatePageSelectBox();
}

function renderPager() {
  const pages = Math.max(1, Math.ceil(state.count / PAGE_SIZE));
  const first = state.count ? state.page * PAGE_SIZE + 1 : 0;
  const last = Math.min(state.count, (state.page + 1) * PAGE_SIZE);
  setText($('page-info'), state.count ? `${first}–${last} of ${state.count} · page ${state.page + 1} of ${pages}` : '');
  $('page-prev').disabled = state.page <= 0;
  $('page-next').disabled = state.page >= pages - 1;
  setText($('terminal-count'), `(${state.count})`);
  $('no-terminals').hidden = state.count > 0;
  renderSummary();
}

function renderSummary() {
  const info = state.info;
  const parts = [`${state.count} terminal${state.count === 1 ? '' : 's'} connected`];
  if (info) {
    parts.push(`terminal port ${info.terminal_port}`);
    parts.push(`library version ${info.library_version}`);
  }
  setText($('summary'), parts.join(' · '));
  const empty = $('no-terminals');
  setText(empty, info ? `No terminal is connected. Terminals connect to port ${info.terminal_port} of this server.` : 'No terminal is connected.');
}

async function loadPage() {
  if (!state.token) return;   // nothing can be read yet; the token form says so
  const offset = state.page * PAGE_SIZE;
  const data = await getJSON(`/api/terminals?offset=${offset}&limit=${PAGE_SIZE}`);
  state.count = data.count;
  const pages = Math.max(1, Math.ceil(data.count / PAGE_SIZE));
  if (state.page > pages - 1) {       // the page emptied: show the last one there is
    state.page = pages - 1;
    return loadPage();
  }
  renderRows(data.terminals || []);
  renderPager();
}

/* One page fetch at a time; requests that come meanwhile make one more. */
const refresher = {timer: null, running: false, again: false};

function scheduleRefresh(ms = 120) {
  if (refresher.running) { refresher.again = true; return; }
  if (refresher.timer) return;
  refresher.timer = setTimeout(runRefresh, ms);
}

async function runRefresh() {
  refresher.timer = null;
  refresher.running = true;
  try {
    await loadPage();
  } catch (e) {
    setText($('summary'), 'Cannot read the terminals: ' + e.message);
  } finally {
    refresher.running = false;
    if (refresher.again) { refresher.again = false; scheduleRefresh(120); }
  }
}

/* The models of every terminal (for "all of model N" and the model-320 check), read in pages. */
const census = {timer: null, running: false, again: false};

function scheduleCensus(ms = 2000) {
  if (census.running) { census.again = true; return; }
  if (census.timer) return;
  census.timer = setTimeout(runCensus, ms);
}

async function runCensus() {
  census.timer = null;
  census.running = true;
  try {
    if (!state.token) return;
    const models = new Map();
    let offset = 0, count = Infinity;
    for (let guard = 0; offset < count && guard < 64; guard++) {
      const data = await getJSON(`/api/terminals?offset=${offset}&limit=1000`);
      count = data.count;
      const list = data.terminals || [];
      for (const t of list) models.set(t.model, (models.get(t.model) || 0) + 1);
      if (!list.length) break;
      offset += list.length;
    }
    state.models = models;
    renderModelChoice();
    updateGating();
  } catch (e) {
    /* the next connect or disconnect tries again */
  } finally {
    census.running = false;
    if (census.again) { census.again = false; scheduleCensus(3000); }
  }
}

function renderModelChoice() {
  const select = $('target-model-number');
  const current = select.value;
  const models = new Set([...state.models.keys()].filter((m) => m !== null && m !== undefined));
  models.add(318);
  models.add(320);
  const sorted = [...models].sort((a, b) => a - b);
  select.replaceChildren(...sorted.map((m) => h('option', {value: m}, `${m} (${state.models.get(m) || 0})`)));
  if (current && models.has(Number(current))) select.value = current;
  else if (state.models.size) select.value = String([...state.models.keys()][0]);
}

/* ---- Selection ------------------------------------------------------------------------ */

function onRowSelect(row) {
  if (row.parts.select.checked) state.selection.set(row.id, row.t ? row.t.model : null);
  else state.selection.delete(row.id);
  $('target-selected').checked = true;
  selectionChanged();
}

function selectionChanged() {
  setText($('selected-count'), state.selection.size);
  updatePageSelectBox();
  updateGating();
}

function updatePageSelectBox() {
  const box = $('select-page');
  const rows = [...state.rows.values()];
  const chosen = rows.filter((r) => state.selection.has(r.id)).length;
  box.checked = rows.length > 0 && chosen === rows.length;
  box.indeterminate = chosen > 0 && chosen < rows.length;
}

/* A terminal that left: its row goes at once, and it leaves the selection. The others keep
   theirs: rows and selection are by id, which does not move (their numbers come with the next
   read of the page). */
function terminalLeft(id) {
  if (!id) return;
  const row = state.rows.get(id);
  if (row) {
    row.tr.remove();
    state.rows.delete(id);
  }
  if (state.selection.delete(id)) selectionChanged();
  else updatePageSelectBox();
}

function targetMode() {
  return document.querySelector('input[name="target"]:checked')?.value || 'selected';
}

function targets() {
  const mode = targetMode();
  if (mode === 'fleet') return fleetTargets();
  if (mode === 'all') return 'all';
  if (mode === 'model') return {model: Number($('target-model-number').value)};
  return [...state.selection.keys()].sort((a, b) => a - b);  // ids
}

function targetWords(t) {
  if (targetMode() === 'fleet') return fleetTargetWords();
  if (t === 'all') return 'all terminals';
  if (Array.isArray(t)) {
    const names = t.map(terminalName);
    return names.length === 1 ? `terminal ${names[0]}` : `terminals ${names.join(', ')}`;
  }
  return `all of model ${t.model}`;
}

function selectionHas320() {
  const mode = targetMode();
  if (mode === 'fleet') return fleetHas320();
  if (mode === 'all') return (state.models.get(320) || 0) > 0;
  if (mode === 'model') return Number($('target-model-number').value) === 320;
  for (const [id, model] of state.selection) {
    const row = state.rows.get(id);
    if ((row && row.t ? row.t.model : model) === 320) return true;
  }
  return false;
}

function updateGating() {
  const ok = selectionHas320();
  $('settings-fields').disabled = !ok;
  $('settings-note').hidden = ok;
  $('tab-settings').classList.toggle('greyed', !ok);
  $('tab-settings').title = ok ? '' : 'model 320 only';
}

/* ---- Events --------------------------------------------------------------------------- */

function keyWords(e) {
  const code = e.key;
  let ch = e.char;
  if ((ch === null || ch === undefined || ch === '') && code >= 33 && code <= 126) ch = String.fromCharCode(code);
  if (ch !== null && ch !== undefined && ch !== '' && ch !== ' ' && !/^[\x00-\x1f\x7f]$/.test(ch)) return `key ${quote(ch)} (${code})`;
  return `key ${code}` + (KEY_NAMES[code] ? ` (${KEY_NAMES[code]})` : '');
}

function describe(e) {
  switch (e.kind) {
    case 'connect': return `connected: model ${e.model}, version ${e.version}, from ${e.address}`;
    case 'disconnect': return `disconnected (${e.address ?? 'address unknown'})`;
    case 'identified': return `identified: ${e.uid} ${quote(e.text)}`;
    case 'key': return keyWords(e);
    case 'card': {
      const texts = [e.first, e.second].filter((s) => s !== null && s !== undefined && s !== '');
      return 'card read: ' + (texts.length ? texts.map(quote).join(' and ') : 'no text');
    }
    case 'serial': return `serial port ${e.port}: ${quote(e.text)} [${e.hex}]`;
    case 'answer': {
      const port = e.port !== undefined && e.port !== null ? `, port ${e.port}` : '';
      const value = e.value !== null && typeof e.value === 'object' ? JSON.stringify(e.value) : e.value;
      return `answer ${e.name ?? ''} (code ${e.code}${port}): ${value ?? '–'}`;
    }
    case 'file': return `file arrived: ${e.name} (${bytes(e.size)})`;
    case 'screen': return `screen changed (revision ${e.revision})`;
    case 'action': {
      const parts = [`${e.action ?? 'action'} ${e.status ?? ''}`];
      if (e.progress !== undefined && e.progress !== null) parts.push(`${percent(e.progress)}%`);
      if (e.result !== undefined && e.result !== null) parts.push(`returned ${e.result}`);
      if (e.reason) parts.push(e.reason);
      return parts.join(', ');
    }
    case 'fleet':
    case 'fleet-state': return fleetDescribe(e);
    case 'gap': return `${num(e.dropped)} event${e.dropped === 1 ? '' : 's'} missed here (the page read too slowly); the lists were read again`;
    default: return JSON.stringify(e);
  }
}

function feedWorthy(e) {
  if (e.kind === 'screen') return false;                 // thumbnails show those
  if (e.kind === 'action') return !isInProgress(e);      // a transfer's steps: the progress bar
  return true;
}

function isInProgress(e) {
  return e.kind === 'action' && /^(running|progress|sending|in progress)$/i.test(String(e.status || ''));
}

function matchesFilter(e) {
  const term = $('feed-terminal').value.trim();
  const kind = $('feed-kind').value;
  if (term && !namesTerminal(term, e.terminal_id)) return false;
  if (kind ? e.kind !== kind : e.kind === 'action') return false;  // actions: under their own filter
  return true;
}

/* The feed's filter: a terminal's name, "#id" or its id. */
function namesTerminal(term, id) {
  if (!id) return false;
  return term.toLowerCase() === terminalName(id).toLowerCase() || term === `#${id}` || term === String(id);
}

function feedLine(e) {
  const what = describe(e);
  const id = e.terminal_id;
  const li = h('li', {class: 'ev ev-' + e.kind, dataset: {kind: e.kind, terminal: id ?? '', seq: e.seq ?? ''}},
    h('time', {datetime: toDate(e.time)?.toISOString() ?? ''}, clock(e.time)),
    h('span', {class: 'term'}, id ? terminalName(id) : '–'),
    h('span', {class: 'kind'}, e.kind),
    h('span', {class: 'what'}, what));
  return li;
}

const pendingFeed = [];
let feedFrame = 0;

function queueFeed(e) {
  pendingFeed.push(e);
  if (!feedFrame) feedFrame = requestAnimationFrame(flushFeed);
}

function flushFeed() {
  feedFrame = 0;
  const ul = $('feed');
  const fragment = document.createDocumentFragment();
  const lines = pendingFeed.splice(0).filter(matchesFilter).slice(-FEED_MAX);
  for (let i = lines.length - 1; i >= 0; i--) fragment.append(feedLine(lines[i]));
  ul.prepend(fragment);
  while (ul.children.length > FEED_MAX) ul.lastElementChild.remove();
}

function renderFeed() {
  const ul = $('feed');
  pendingFeed.length = 0;
  const lines = state.events.filter(matchesFilter).slice(-FEED_MAX);
  const fragment = document.createDocumentFragment();
  for (let i = lines.length - 1; i >= 0; i--) fragment.append(feedLine(lines[i]));
  ul.replaceChildren(fragment);
}

/* live: false for events replayed from /api/events/recent (history: no rows to change). */
function onEvent(e, live) {
  if (typeof e.seq === 'number') {
    if (e.seq <= state.lastSeq) return;       // seen already (history and stream overlap)
    state.lastSeq = e.seq;
  }
  if (e.kind === 'identified') rememberName(e.terminal_id, e.text);
  if (feedWorthy(e)) {
    state.events.push(e);
    if (state.events.length > EVENT_BUFFER) state.events.splice(0, state.events.length - EVENT_BUFFER);
    queueFeed(e);
  }
  if (!live) return;
  switch (e.kind) {
    case 'connect':
      state.count += 1;
      renderPager();
      scheduleRefresh();
      scheduleCensus();
      break;
    case 'disconnect': {
      terminalLeft(e.terminal_id);
      state.count = Math.max(0, state.count - 1);
      renderPager();
      scheduleRefresh(60);
      scheduleCensus();
      break;
    }
    case 'identified':
      scheduleRefresh();
      break;
    case 'screen': {
      const row = state.rows.get(e.terminal_id);
      if (row && typeof e.revision === 'number') setThumb(row, e.revision);
      if (e.terminal_id && state.screenDialogTerminal === e.terminal_id) loadFullScreen(e.terminal_id, e.revision);
      break;
    }
    case 'action':
      onActionEvent(e);
      break;
    case 'fleet-state':
      fleetOnEvent(e);
      break;
    case 'gap':               // what was missed may have changed the lists
      scheduleRefresh(0);
      scheduleCensus(0);
      break;
  }
}

async function loadRecent() {
  const data = await getJSON('/api/events/recent?limit=200');
  const events = (data.events || []).slice().sort((a, b) => (a.seq ?? 0) - (b.seq ?? 0));
  for (const e of events) onEvent(e, false);
}

function setLive(stateName, words) {
  const el = $('live-status');
  el.dataset.state = stateName;
  setText(el, words);
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

/* The event stream, read with fetch (an EventSource cannot send the token), again after a
   break, 1 s at first and up to 10 s between tries. */
function connectEvents() {
  let buffered = [];          // stream events that come before the history is read
  let historyRead = false;
  let broken = false;
  const take = (kind, data) => {
    let e;
    try { e = JSON.parse(data); } catch (x) { return; }
    if (!e.kind && kind !== 'message') e.kind = kind;
    if (historyRead) onEvent(e, true);
    else buffered.push(e);
  };
  const dispatch = (block) => {
    let kind = 'message';
    const data = [];
    for (const line of block.split(/\r?\n/)) {
      if (line.startsWith('event:')) kind = line.slice(6).trim();
      else if (line.startsWith('data:')) data.push(line.slice(5).trim());
    }
    if (data.length) take(kind, data.join('\n'));
  };
  const opened = () => {
    setLive('live', 'Live');
    if (broken) {             // back after a break: read what changed meanwhile
      broken = false;
      loadRecent().catch(() => {});
      scheduleRefresh(0);
      scheduleCensus(0);
    }
  };
  const run = async () => {
    let pause = 1000;
    for (;;) {
      if (!state.token) {
        setLive('connecting', 'Waiting for the access token');
        await nextToken();
      }
      try {
        const response = await fetch('/api/events', {cache: 'no-store',
          headers: {...authorization(), 'Accept': 'text/event-stream'}});
        if (response.status === 401 || response.status === 403) {
          tokenRefused(response.status);
          setLive('connecting', 'Waiting for the access token');
          await nextToken();
          continue;
        }
        if (response.ok && response.body) {
          opened();
          pause = 1000;
          const reader = response.body.pipeThrough(new TextDecoderStream()).getReader();
          let text = '';
          for (;;) {
            const {value, done} = await reader.read();
            if (done) break;
            text += value;
            let end;
            while ((end = text.search(/\r?\n\r?\n/)) >= 0) {
              const block = text.slice(0, end);
              text = text.slice(end).replace(/^\r?\n\r?\n/, '');
              dispatch(block);
            }
          }
        }
      } catch (e) { /* a break: tried again below */ }
      broken = true;
      setLive('connecting', 'Reconnecting…');
      await sleep(pause);
      pause = Math.min(pause * 2, 10000);
    }
  };
  run();
  const history = state.token ? loadRecent() : nextToken().then(loadRecent);
  history.catch((e) => setText($('summary'), 'Cannot read the recent events: ' + e.message)).finally(() => {
    historyRead = true;
    const early = buffered;
    buffered = [];
    for (const e of early) onEvent(e, true);
    scheduleRefresh(0);
  });
}

/* ---- Actions -------------------------------------------------------------------------- */

function percent(p) {
  const v = Number(p);
  if (!Number.isFinite(v)) return 0;
  return Math.max(0, Math.min(100, Math.round(v)));   // the server counts in percent
}

function actionMessage(text) {
  setText($('action-message'), text || '');
}

function statusWords(r) {
  const parts = [r.status || 'unknown'];
  if (r.reason) parts.push(r.reason);
  return parts.join(': ');
}

function resultCard(action, title, t) {
  const box = $('results');
  box.querySelector('p.empty')?.remove();
  const list = h('ul', {class: 'result-list'});
  const state_ = h('span', {class: 'result-state'}, 'sending…');
  const stamp = new Date().toLocaleTimeString([], {hour12: false});
  const card = h('section', {class: 'result', dataset: {state: 'pending', action}},
    h('h3', null, title, ' ', h('span', {class: 'result-target'}, '→ ' + targetWords(t))),
    h('p', {class: 'result-meta'}, h('time', null, stamp), ' · ', state_),
    list);
  box.prepend(card);
  while (box.children.length > RESULTS_MAX) box.lastElementChild.remove();
  return {card, list, state: state_};
}

function showResults(card, action, res, transfer) {
  const results = res.results || [];
  card.card.dataset.state = 'done';
  const counts = {};
  for (const r of results) counts[r.status] = (counts[r.status] || 0) + 1;
  const unanswered = Array.isArray(res.unanswered) ? res.unanswered : [];
  if (unanswered.length) counts.unanswered = unanswered.length;
  setText(card.state, Object.entries(counts).map(([s, c]) => `${c} ${s}`).join(', ') || 'no terminal');
  const fragment = document.createDocumentFragment();
  for (const r of results) {
    const words = h('span', {class: 'status-words'}, statusWords(r));
    // A fleet terminal is named by its id at its site.
    const who = res.site !== undefined ? `${r.id} (T${r.terminal})` : `Terminal ${terminalName(r.terminal_id)}`;
    const li = h('li', {dataset: Object.assign({terminal: r.terminal, terminalId: r.terminal_id ?? '', status: r.status || ''}, r.id !== undefined ? {id: r.id} : {}), class: 'st-' + String(r.status || '').replace(/\s+/g, '-')},
      h('span', {class: 'who'}, who), ' ', words);
    if ('value' in r) {
      li.append(' ', h('span', {class: 'value'}, r.value === null ? `${action}: no answer` : `${action}: ${r.value}`));
    }
    if (r.result !== undefined && r.result !== null) li.append(' ', h('span', {class: 'raw'}, `(returned ${r.result})`));
    if (transfer && r.status === 'sent') {
      const bar = h('progress', {class: 'transfer', max: 100, value: 0, 'aria-label': `Terminal ${r.id ?? terminalName(r.terminal_id)} transfer`});
      const pct = h('span', {class: 'pct'}, '0%');
      li.append(' ', bar, ' ', pct);
      const line = {li, bar, pct, words};
      const key = `${r.id ?? res.id}:${r.terminal_id ?? r.terminal}`;
      state.transfers.set(key, line);
      while (state.transfers.size > 4096) state.transfers.delete(state.transfers.keys().next().value);
      // A small file can be through before this answer: its events came first.
      const early = state.actionEvents.get(key);
      if (early) applyProgress(line, early);
    }
    fragment.append(li);
  }
  for (const topic of unanswered) {
    fragment.append(h('li', {class: 'st-unanswered', dataset: {topic, status: 'unanswered'}}, `no answer on ${topic}`));
  }
  card.list.replaceChildren(fragment);
}

/* A transfer's steps: "sending" with its percentage, then "sent" (100) or "failed". The events
   without a progress repeat what the action's answer says. */
function onActionEvent(e) {
  if (e.progress === undefined || e.progress === null) return;
  const key = `${e.id}:${e.terminal_id ?? e.terminal}`;
  state.actionEvents.delete(key);
  state.actionEvents.set(key, e);
  while (state.actionEvents.size > 4096) state.actionEvents.delete(state.actionEvents.keys().next().value);
  const line = state.transfers.get(key);
  if (line) applyProgress(line, e);
}

function applyProgress(line, e) {
  const p = percent(e.progress);
  line.bar.value = p;
  setText(line.pct, p + '%');
  if (e.status) {
    const why = e.reason ? `: ${e.reason}` : '';
    const sent = e.size ? `, ${num(e.sent)} of ${num(e.size)} bytes` : '';
    setText(line.words, isInProgress(e) ? e.status : `${e.status} (returned ${e.result}${sent})${why}`);
    line.li.dataset.status = e.status;
    line.li.className = 'st-' + String(e.status).replace(/\s+/g, '-');
  }
}

async function runAction(payload, title, options = {}) {
  const t = targets();
  if (Array.isArray(t) && !t.length) {
    actionMessage('Select one or more terminals first (or send to all terminals, or to a model).');
    return;
  }
  const site = targetMode() === 'fleet' ? fleetSite() : null;
  if (targetMode() === 'fleet' && !site) { actionMessage('Choose a fleet site first.'); return; }
  if (needToken()) { actionMessage('An access token is needed to act on terminals.'); return; }
  actionMessage('');
  const card = resultCard(payload.action, title, t);
  try {
    if (options.file) {
      setText(card.state, 'uploading…');
      const up = await upload(options.file, options.bar);
      payload = Object.assign({}, payload, {upload: up.upload});
      setText(card.state, 'sending…');
    }
    // A fleet site's bridge answers once the command is carried out: no progress to follow.
    const res = site
      ? await postJSON('/api/fleet/actions', Object.assign({}, payload, {site, targets: t}))
      : await postJSON('/api/actions', Object.assign({}, payload, {targets: t}));
    showResults(card, payload.action, res, options.transfer && !site);
  } catch (err) {
    card.card.dataset.state = 'error';
    setText(card.state, 'failed');
    card.list.replaceChildren(h('li', {class: 'st-failed'}, err.message));
  } finally {
    if (options.bar) options.bar.hidden = true;
  }
}

function chosenFile(input) {
  const file = input.files && input.files[0];
  if (!file) actionMessage('Choose a file first.');
  return file;
}

function intOf(id, fallback) {
  const v = Number($(id).value);
  return Number.isFinite(v) ? Math.trunc(v) : fallback;
}

function initActions() {
  // Tabs: arrows move between them, as the usual pattern has it.
  const tabs = [...document.querySelectorAll('[role="tab"]')];
  const choose = (tab) => {
    for (const t of tabs) {
      const on = t === tab;
      t.setAttribute('aria-selected', on ? 'true' : 'false');
      t.tabIndex = on ? 0 : -1;
      $(t.getAttribute('aria-controls')).hidden = !on;
    }
  };
  tabs.forEach((tab, i) => {
    tab.addEventListener('click', () => choose(tab));
    tab.addEventListener('keydown', (e) => {
      const d = e.key === 'ArrowRight' ? 1 : e.key === 'ArrowLeft' ? -1 : 0;
      if (!d) return;
      const next = tabs[(i + d + tabs.length) % tabs.length];
      choose(next);
      next.focus();
    });
  });

  for (const radio of document.querySelectorAll('input[name="target"]')) radio.addEventListener('change', updateGating);
  $('target-model-number').addEventListener('change', () => { $('target-model').checked = true; updateGating(); });

  $('do-picture').addEventListener('click', () => {
    const file = chosenFile($('picture-file'));
    if (file) runAction({action: 'picture'}, `Picture ${file.name}`, {file, bar: $('picture-upload')});
  });

  // The standard palette, as a terminal starts with it.
  const palette = $('palette');
  for (let i = 0; i < 256; i++) {
    // A pointer's shortcut: the keyboard has the number field (256 tab stops would be a trap).
    const b = h('button', {type: 'button', class: 'swatch', dataset: {index: i}, title: `entry ${i}`,
      'aria-label': `palette entry ${i}`, tabindex: '-1'});
    b.style.background = paletteColour(i);
    b.addEventListener('click', () => { $('fill-index').value = i; showSwatch(); });
    palette.append(b);
  }
  const showSwatch = () => { $('fill-swatch').style.background = paletteColour(intOf('fill-index', 0)); };
  $('fill-index').addEventListener('input', showSwatch);
  showSwatch();
  $('do-fill').addEventListener('click', () => {
    const index = intOf('fill-index', -1);
    if (index < 0 || index > 255) return actionMessage('A palette entry is a number from 0 to 255.');
    runAction({action: 'fill', index}, `Fill with entry ${index}`);
  });

  $('do-text').addEventListener('click', () => {
    const text = $('text-text').value;
    if (!text) return actionMessage('Type the text first.');
    const payload = {action: 'text', x: intOf('text-x', 0), y: intOf('text-y', 0), text,
      colour: intOf('text-colour', 15), height: intOf('text-height', 0)};
    const font = $('text-font').value.trim();
    if (font) payload.font = font;
    runAction(payload, `Text ${quote(text.length > 24 ? text.slice(0, 24) + '…' : text)}`);
  });

  $('do-file').addEventListener('click', () => {
    const file = chosenFile($('file-file'));
    if (!file) return;
    const name = $('file-name').value.trim() || file.name;
    runAction({action: 'file', name}, `File ${name}`, {file, bar: $('file-upload'), transfer: true});
  });
  $('do-font').addEventListener('click', () => {
    const file = chosenFile($('font-file'));
    if (file) runAction({action: 'font'}, `Font ${file.name}`, {file, bar: $('font-upload')});
  });

  $('do-setting-ask').addEventListener('click', () => {
    const what = $('setting-kind').value;
    runAction({action: what}, `Ask ${what}`);
  });
  $('do-setting-set').addEventListener('click', () => {
    const what = $('setting-kind').value;
    const value = intOf('setting-value', NaN);
    if (!Number.isFinite(value)) return actionMessage('Type a value to set.');
    runAction({action: what, value}, `Set ${what} to ${value}`);
  });

  $('do-keyboard-on').addEventListener('click', () => runAction({action: 'keyboard', on: true}, 'Keyboard on'));
  $('do-keyboard-off').addEventListener('click', () => runAction({action: 'keyboard', on: false}, 'Keyboard off'));
  $('do-cardreader-on').addEventListener('click', () => runAction({action: 'cardreader', on: true}, 'Card reader on'));
  $('do-cardreader-off').addEventListener('click', () => runAction({action: 'cardreader', on: false}, 'Card reader off'));
  $('do-live').addEventListener('click', () => runAction({action: 'live'}, 'Check alive'));
  $('do-restart').addEventListener('click', () => {
    setText($('restart-question'), `Restart ${targetWords(targets())}?`);
    $('restart-confirm').hidden = false;
    $('do-restart-no').focus();
  });
  $('do-restart-no').addEventListener('click', () => { $('restart-confirm').hidden = true; $('do-restart').focus(); });
  $('do-restart-yes').addEventListener('click', () => {
    $('restart-confirm').hidden = true;
    runAction({action: 'restart'}, 'Restart');
  });
}

function paletteColour(i) {
  const basic = [[0, 0, 0], [128, 0, 0], [0, 128, 0], [128, 128, 0], [0, 0, 128], [128, 0, 128], [0, 128, 128],
    [192, 192, 192], [128, 128, 128], [255, 0, 0], [0, 255, 0], [255, 255, 0], [0, 0, 255], [255, 0, 255],
    [0, 255, 255], [255, 255, 255]];
  const levels = [0, 95, 135, 175, 215, 255];
  let rgb;
  if (i < 0 || i > 255) rgb = [0, 0, 0];
  else if (i < 16) rgb = basic[i];
  else if (i < 232) rgb = [levels[Math.floor((i - 16) / 36)], levels[Math.floor((i - 16) / 6) % 6], levels[(i - 16) % 6]];
  else rgb = [8 + 10 * (i - 232), 8 + 10 * (i - 232), 8 + 10 * (i - 232)];
  return `rgb(${rgb[0]}, ${rgb[1]}, ${rgb[2]})`;
}

/* ---- Dialogs -------------------------------------------------------------------------- */

function openScreen(n) {  // n: the terminal's id
  const dialog = $('screen-dialog');
  state.screenDialogTerminal = n;
  setText($('screen-title'), `Terminal ${terminalName(n)}: screen`);
  const row = state.rows.get(n);
  const t = row && row.t;
  const img = $('screen-full');
  if (t && t.screen) { img.width = t.screen.width; img.height = t.screen.height; }
  loadFullScreen(n, row ? row.shownRevision : 0);
  if (!dialog.open) dialog.showModal();
}

function loadFullScreen(n, revision) {
  const img = $('screen-full');
  img.alt = `Screen of terminal ${terminalName(n)}, approximate, full size`;
  img.dataset.revision = revision ?? '';
  loadPicture(img, `/api/terminals/${n}/screen.png?scale=1&rev=${revision ?? 0}&at=${Date.now()}`);
}

function field(name, value) {
  return [h('dt', null, name), h('dd', null, value === null || value === undefined || value === '' ? '–' : String(value))];
}

function ipv4(a) {
  if (typeof a !== 'number') return String(a);
  // Network byte order read as a little-endian number: the first byte is the lowest.
  return [a & 255, (a >>> 8) & 255, (a >>> 16) & 255, (a >>> 24) & 255].join('.');
}

function renderDevice(d) {
  const parts = [];
  const c = d.config;
  parts.push(h('h3', null, 'Configuration'));
  if (c) {
    const addresses = Array.isArray(c.addresses) ? c.addresses : [];
    parts.push(h('dl', {class: 'fields', id: 'device-config'},
      ...addresses.flatMap((a, i) => field(`Address ${i + 1}`, ipv4(a))),
      ...field('Text 1', c.text1), ...field('Number 1', c.number1), ...field('Text 2', c.text2),
      ...field('Text 3', c.text3), ...field('Text 4', c.text4), ...field('Number 2', c.number2),
      ...field('Number 3', c.number3)));
  } else {
    parts.push(h('p', {class: 'empty'}, 'The terminal did not give its configuration.'));
  }
  const w = d.wifi;
  parts.push(h('h3', null, 'Wifi'));
  if (w) {
    parts.push(h('dl', {class: 'fields', id: 'device-wifi'},
      ...field('Number 1', w.number1), ...field('Number 2', w.number2), ...field('Text 1', w.text1),
      ...field('Number 3', w.number3), ...field('Number 4', w.number4), ...field('Text 2', w.text2)));
  } else {
    parts.push(h('p', {class: 'empty'}, 'The terminal did not give its wifi settings.'));
  }
  parts.push(h('h3', null, 'Serial ports'));
  if (Array.isArray(d.serial_status)) {
    parts.push(h('dl', {class: 'fields', id: 'device-serial'},
      ...d.serial_status.flatMap((s, i) => field(`Port ${i} status`, typeof s === 'number' ? `${s} (0x${(s & 0xffff).toString(16).padStart(4, '0')})` : s))));
  } else {
    parts.push(h('p', {class: 'empty'}, 'The terminal did not give its serial status.'));
  }
  if (Array.isArray(d.unanswered) && d.unanswered.length) {
    parts.push(h('p', {class: 'note'}, 'No answer to: ' + d.unanswered.map((u) => typeof u === 'string' ? u : JSON.stringify(u)).join(', ')));
  }
  return parts;
}

async function openDevice(n) {  // n: the terminal's id
  const dialog = $('device-dialog');
  setText($('device-title'), `Terminal ${terminalName(n)}: device`);
  const body = $('device-body');
  body.dataset.state = 'loading';
  body.replaceChildren(h('p', null, `Asking terminal ${terminalName(n)}…`));
  if (!dialog.open) dialog.showModal();
  try {
    const d = await getJSON(`/api/terminals/${n}/device`, 'POST');  // a POST: it asks the terminal
    body.replaceChildren(...renderDevice(d));
    body.dataset.state = 'done';
  } catch (e) {
    body.replaceChildren(h('p', {class: 'message'}, `Cannot read terminal ${n}'s device: ${e.message}`));
    body.dataset.state = 'error';
  }
}

function initDialogs() {
  $('screen-close').addEventListener('click', () => $('screen-dialog').close());
  $('screen-dialog').addEventListener('close', () => { state.screenDialogTerminal = 0; });
  $('device-close').addEventListener('click', () => $('device-dialog').close());
  for (const id of ['screen-dialog', 'device-dialog']) {
    // A click on the backdrop closes the dialog.
    $(id).addEventListener('click', (e) => { if (e.target === e.currentTarget) e.currentTarget.close(); });
  }
}

/* ---- Start ---------------------------------------------------------------------------- */

function initTerminals() {
  $('page-prev').addEventListener('click', () => { if (state.page > 0) { state.page--; scheduleRefresh(0); } });
  $('page-next').addEventListener('click', () => { state.page++; scheduleRefresh(0); });
  $('select-page').addEventListener('change', () => {
    const on = $('select-page').checked;
    for (const row of state.rows.values()) {
      if (on) state.selection.set(row.id, row.t ? row.t.model : null);
      else state.selection.delete(row.id);
      row.parts.select.checked = on;
    }
    $('target-selected').checked = true;
    selectionChanged();
  });
  $('select-none').addEventListener('click', () => {
    state.selection.clear();
    for (const row of state.rows.values()) row.parts.select.checked = false;
    selectionChanged();
  });
  // "Last heard" ages between two reads of the list.
  setInterval(() => {
    for (const row of state.rows.values()) setText(row.parts.heard, ago(row.parts.heard.dataset.time ? Number(row.parts.heard.dataset.time) || row.parts.heard.dataset.time : null));
  }, 1000);
  setInterval(() => { if (!document.hidden) scheduleRefresh(0); }, REFRESH_MS);
}

function initFeed() {
  $('feed-terminal').addEventListener('input', renderFeed);
  $('feed-kind').addEventListener('change', renderFeed);
  $('feed-clear').addEventListener('click', () => { state.events = []; renderFeed(); });
}

async function readInfo() {
  if (!state.token) {
    setText($('summary'), 'The access token is needed to show anything.');
    return;
  }
  try {
    const fleetBefore = state.info && state.info.fleet;
    state.info = await getJSON('/api/info');
    renderSummary();
    if (state.info.fleet && !fleetBefore) startFleet(state.info);
  } catch (e) {
    setText($('summary'), 'Cannot reach the server: ' + e.message);
  }
}

async function start() {
  initToken();
  initTerminals();
  initFeed();
  initActions();
  initDialogs();
  renderModelChoice();
  updateGating();
  await readInfo();
  connectEvents();
  scheduleRefresh(0);
  scheduleCensus(0);
}

document.addEventListener('DOMContentLoaded', start);
