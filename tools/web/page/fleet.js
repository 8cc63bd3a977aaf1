/*
 * ks318-web's page, fleet mode (when /api/info names a broker): every site's bridge with
 * its online flag, dropped count and terminals, and the action form aimed at a site.
 * Loaded before app.js, whose helpers ($, h, setText, getJSON, describe, quote ...) it uses
 * once the page has started.
 *
 * Stable hooks for tests and scripts:
 *   body.fleet-on, #fleet-section (hidden unless fleet mode), #fleet-count
 *   #fleet-broker[data-connected="true"|"false"]   the dashboard's link to the broker
 *   #fleet-sites li.site[data-site][data-online][data-dropped]   one per site, by name
 *     button.site-choice[aria-pressed]   chooses the site (.site-name, .site-online,
 *                                        .site-meta: .dropped, .terminal-count)
 *   #fleet-terminal-rows tr[data-id][data-connected][data-model]   the chosen site's terminals
 *                                (a terminal of an offline site: data-connected="false" and
 *                                data-site-offline="true", its state "site offline"; what its
 *                                bridge said last is no news of it)
 *     input.fleet-select, td.f-id, td.f-num, td.f-model, td.f-text, td.f-addr, td.f-state
 *   #target-fleet (+ #fleet-target-site, #fleet-target-words)   actions for the chosen site:
 *                                        its ticked terminals, or all of them when none is ticked
 */
'use strict';

const FLEET_REFRESH_MS = 3000;

const fleet = {
  data: null,               // the last /api/fleet
  site: null,               // the chosen site's name
  chosenByPerson: false,    // else the page chose it, and chooses again when it goes offline
  selection: new Set(),     // ticked terminal ids of the chosen site
  sites: new Map(),         // site -> {li, button, parts}
  rows: new Map(),          // terminal id -> {tr, parts}
  loader: {timer: null, running: false, again: false},
};

function startFleet() {
  document.body.classList.add('fleet-on');
  $('fleet-section').hidden = false;
  $('target-fleet-label').hidden = false;
  scheduleFleet(0);
  setInterval(() => { if (!document.hidden) scheduleFleet(0); }, FLEET_REFRESH_MS);
}

/* One read of /api/fleet at a time; changes that come meanwhile make one more. */
function scheduleFleet(ms = 150) {
  const loader = fleet.loader;
  if (loader.running) { loader.again = true; return; }
  if (loader.timer) return;
  loader.timer = setTimeout(loadFleet, ms);
}

async function loadFleet() {
  const loader = fleet.loader;
  loader.timer = null;
  loader.running = true;
  try {
    fleet.data = await getJSON('/api/fleet');
    renderFleet();
  } catch (e) {
    const broker = $('fleet-broker');
    broker.dataset.connected = 'false';
    setText(broker, 'Cannot read the fleet: ' + e.message);
  } finally {
    loader.running = false;
    if (loader.again) { loader.again = false; scheduleFleet(150); }
  }
}

function fleetSites() {
  return (fleet.data && Array.isArray(fleet.data.sites)) ? fleet.data.sites : [];
}

function chosenSite() {
  return fleetSites().find((s) => s.site === fleet.site) || null;
}

function renderFleet() {
  const data = fleet.data;
  const broker = $('fleet-broker');
  broker.dataset.connected = data.connected ? 'true' : 'false';
  setText(broker, `Broker ${data.broker}: ${data.connected ? 'connected' : 'not connected'}`);
  const sites = fleetSites();
  const online = sites.filter((s) => s.online).length;
  setText($('fleet-count'), `(${sites.length} site${sites.length === 1 ? '' : 's'}, ${online} online)`);

  // A site a person chose stays chosen while it is listed; otherwise the first online one is,
  // never an offline one (a person may still choose that).
  const chosen = sites.find((s) => s.site === fleet.site);
  if (!chosen || (!chosen.online && !fleet.chosenByPerson)) {
    const first = sites.find((s) => s.online);
    chooseSite(first ? first.site : null, false);
  }
  renderSites(sites);
  renderFleetTerminals();
}

function renderSites(sites) {
  const list = $('fleet-sites');
  const next = new Map();
  sites.forEach((site, i) => {
    let entry = fleet.sites.get(site.site);
    if (!entry) entry = makeSiteEntry(site.site);
    next.set(site.site, entry);
    const terminals = Array.isArray(site.terminals) ? site.terminals : [];
    const connected = site.online ? terminals.filter((t) => t.connected).length : 0;
    entry.li.dataset.online = site.online ? 'true' : 'false';
    entry.li.dataset.dropped = site.dropped;
    entry.button.setAttribute('aria-pressed', site.site === fleet.site ? 'true' : 'false');
    setText(entry.parts.online, site.online ? 'online' : 'offline');
    setText(entry.parts.dropped, `${num(site.dropped)} dropped`);
    const many = `${terminals.length} terminal${terminals.length === 1 ? '' : 's'}`;
    setText(entry.parts.count, site.online ? `${connected} of ${many} connected` : `${many}, state unknown while offline`);
    if (list.children[i] !== entry.li) list.insertBefore(entry.li, list.children[i] || null);
  });
  for (const [name, entry] of fleet.sites) if (!next.has(name)) entry.li.remove();
  fleet.sites = next;
}

function makeSiteEntry(name) {
  const parts = {
    name: h('span', {class: 'site-name'}, name),
    online: h('span', {class: 'site-online'}),
    dropped: h('span', {class: 'dropped'}),
    count: h('span', {class: 'terminal-count'}),
  };
  const button = h('button', {type: 'button', class: 'site-choice', 'aria-pressed': 'false'},
    parts.name, parts.online, h('span', {class: 'site-meta'}, parts.count, ' · ', parts.dropped));
  button.addEventListener('click', () => {
    chooseSite(name, true);
    renderSites(fleetSites());
    renderFleetTerminals();
  });
  const li = h('li', {class: 'site', dataset: {site: name}}, button);
  return {li, button, parts};
}

function chooseSite(name, byPerson) {
  fleet.chosenByPerson = byPerson && name !== null;
  if (name !== fleet.site) {
    fleet.site = name;
    fleet.selection.clear();
    for (const row of fleet.rows.values()) row.tr.remove();
    fleet.rows.clear();
  }
  if (byPerson && name) $('target-fleet').checked = true;
  fleetTargetChanged();
}

function renderFleetTerminals() {
  const site = chosenSite();
  const body = $('fleet-terminal-rows');
  const terminals = site && Array.isArray(site.terminals) ? site.terminals : [];
  setText($('fleet-terminals-caption'), site
    ? (site.online ? (terminals.length ? `Terminals of ${site.site}` : `${site.site} has no terminal yet.`)
      : `${site.site} is offline: its terminals as its bridge last told them, none known to be connected.`)
    : (fleetSites().length ? 'Every site is offline: choose one to see what it told last.'
      : 'No site has reported to the broker yet.'));
  const next = new Map();
  terminals.forEach((t, i) => {
    const id = String(t.id ?? '');
    let row = fleet.rows.get(id);
    if (!row) row = makeFleetRow(id);
    next.set(id, row);
    updateFleetRow(row, t, site.online);
    if (body.children[i] !== row.tr) body.insertBefore(row.tr, body.children[i] || null);
  });
  for (const [id, row] of fleet.rows) if (!next.has(id)) row.tr.remove();
  fleet.rows = next;
  for (const id of [...fleet.selection]) if (!next.has(id)) fleet.selection.delete(id);
  fleetTargetChanged();
}

function makeFleetRow(id) {
  const parts = {
    select: h('input', {type: 'checkbox', class: 'fleet-select', 'aria-label': `Select ${id}`}),
    id: h('td', {class: 'f-id'}, id),
    num: h('td', {class: 'f-num'}),
    model: h('td', {class: 'f-model'}),
    text: h('td', {class: 'f-text'}),
    addr: h('td', {class: 'f-addr'}),
    state: h('td', {class: 'f-state'}),
  };
  parts.select.addEventListener('change', () => {
    if (parts.select.checked) fleet.selection.add(id);
    else fleet.selection.delete(id);
    $('target-fleet').checked = true;
    fleetTargetChanged();
  });
  const tr = h('tr', {dataset: {id}}, h('td', {class: 'c-sel'}, parts.select), parts.id, parts.num, parts.model,
    parts.text, parts.addr, parts.state);
  return {tr, parts};
}

function updateFleetRow(row, t, siteOnline) {
  const p = row.parts;
  const connected = siteOnline && t.connected;
  row.tr.dataset.connected = connected ? 'true' : 'false';
  row.tr.dataset.siteOffline = siteOnline ? 'false' : 'true';
  row.tr.dataset.model = t.model ?? '';
  p.select.checked = fleet.selection.has(String(t.id));
  setText(p.num, connected && t.number ? t.number : '–');
  setText(p.model, t.model !== undefined && t.model !== null ? `${t.model}${t.version ? ' v' + t.version : ''}` : '–');
  setText(p.text, t.text ?? '');
  setText(p.addr, t.address ?? '–');
  if (!siteOnline) setText(p.state, 'site offline');
  else setText(p.state, t.connected ? `connected since ${clock(t.connected_since)}` : 'disconnected');
}

/* ---- What app.js asks of fleet mode -------------------------------------------------- */

function fleetSite() {
  return fleet.site;
}

function fleetTargets() {
  return fleet.selection.size ? [...fleet.selection].sort() : 'all';
}

function fleetTargetWords() {
  const t = fleetTargets();
  const where = `site ${fleet.site ?? '(none)'}`;
  if (t === 'all') return `${where}: all its terminals`;
  return `${where}: ${t.join(', ')}`;
}

function fleetHas320() {
  const site = chosenSite();
  if (!site || !Array.isArray(site.terminals)) return false;
  const t = fleetTargets();
  return site.terminals.some((x) => x.model === 320 && (t === 'all' || t.includes(String(x.id))));
}

function fleetTargetChanged() {
  setText($('fleet-target-site'), fleet.site ?? '(none chosen)');
  setText($('fleet-target-words'), fleet.selection.size ? `terminals ${fleetTargets().join(', ')}` : 'all its terminals');
  updateGating();
}

function fleetDescribe(e) {
  if (e.kind === 'fleet') {
    const inner = e.event && typeof e.event === 'object' ? e.event : {};
    const words = inner.kind && inner.kind !== 'fleet' && inner.kind !== 'fleet-state' ? describe(inner) : JSON.stringify(inner);
    return `${e.site} ${e.id}: ${words}`;
  }
  if ('broker' in e) return `fleet broker ${e.connected ? 'connected' : 'lost'}`;
  if ('id' in e) {
    if (!e.state) return `${e.site} ${e.id}: no longer listed`;
    return `${e.site} ${e.id}: ${e.state.connected ? 'connected' : 'disconnected'}`;
  }
  return `site ${e.site} ${e.online ? 'online' : 'offline'}, ${num(e.dropped)} dropped`;
}

function fleetOnEvent() {
  scheduleFleet();
}
