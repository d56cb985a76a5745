// The monitor page of `pelionp serve`: probe views coloured by the AP RMS of
// the last second, scrolling traces, status, events and recording controls,
// all through the service's public API (/api/v1/...), nothing else.
//
// Every pull has at most one request in flight and waits for its answer
// before the next: a slow browser or a busy service slows the pull rate
// instead of piling up requests. Traces keep one min/max bin per pixel of
// the canvas and pull only the bins that are new since the last frame (the
// API's minmax reduction, so a spike narrower than a pixel still shows).
//
// A service that needs a token (one listening beyond loopback) gets it from
// the Token field as 'Authorization: Bearer', on every call and on the
// event stream (read through fetch: EventSource cannot send the header).
'use strict';

const API = '/api/v1';
const RMS_PERIOD_MS = 1000;
const RMS_DECIMATION = 10;       // 3 kHz: the noise keeps its variance under stride decimation
const RMS_BASELINE = 7;          // samples of the moving mean taken away (about 2 ms: removes the LFP)
const STATUS_PERIOD_MS = 1000;
const MIN_FRAME_MS = 33;         // at most 30 frames a second
const MAX_TRACES = 64;

const TOKEN_KEY = 'pelionp-token';

const state = {
  token: sessionStorage.getItem(TOKEN_KEY) || '',
  traceBuffers: new Map(),  // probe -> min/max bins of its traced channels (see pullBins)
  status: null,
  probes: [],         // {index, kind, geometry, rms: Float32Array|null, canvas, layout}
  traces: [],         // {probe, channel}
  scaleMaxUv: 30,
  frames: 0,
  frameTimes: [],
  traceStamp: 0,
};

const $ = (id) => document.getElementById(id);

// ---------------------------------------------------------------- API

function authorised(headers = {}) {
  return state.token ? { ...headers, Authorization: `Bearer ${state.token}` } : headers;
}

// A refusal as an Error with the service's message and the HTTP status.
async function refusal(response) {
  let message = `HTTP ${response.status}`;
  try { message = (await response.json()).error || message; } catch (_) { /* not JSON */ }
  if (response.status === 401) needToken(message);
  const error = new Error(message);
  error.status = response.status;
  return error;
}

async function api(path, options = {}) {
  const response = await fetch(API + path, { ...options, headers: authorised(options.headers) });
  if (!response.ok) throw await refusal(response);
  const type = response.headers.get('Content-Type') || '';
  return type.includes('json') ? response.json() : response;
}

function post(path, body) {
  return api(path, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body || {}) });
}

// Live samples: {rows, channels, scale (per channel µV), data Int16Array,
// firstIndex, nextIndex, rate}. `reduce` 'minmax': per row (bin) a row of
// minima then one of maxima in `data`.
async function fetchSamples(probe, band, count, decimate, channels, { start = null, reduce = 'pick', fallback = null } = {}) {
  const params = new URLSearchParams({ band, count: String(count), decimate: String(decimate), reduce });
  if (start !== null) params.set('start', String(start));
  if (fallback) params.set('fallback', fallback);
  if (channels) params.set('channels', channels.join(','));
  const response = await fetch(`${API}/probes/${probe}/data?${params}`, { headers: authorised() });
  if (!response.ok) throw await refusal(response);
  const rows = Number(response.headers.get('X-Count'));
  const list = response.headers.get('X-Channels').split(',').map(Number);
  const scaleText = response.headers.get('X-Scale-Uv').split(',').map(Number);
  const scale = scaleText.length === 1 ? list.map(() => scaleText[0]) : scaleText;
  const data = new Int16Array(await response.arrayBuffer());
  return { rows, channels: list, scale, data, firstIndex: Number(response.headers.get('X-First-Index')),
           nextIndex: Number(response.headers.get('X-Next-Index')), rate: Number(response.headers.get('X-Sample-Rate')) };
}

// ---------------------------------------------------------------- token

function needToken(message) {
  const box = $('access');
  if (box.dataset.needed === 'true') return;
  box.dataset.needed = 'true';
  showMessage(`${message}: enter the service's token`, true);
  $('token').focus();
}

function useToken() {
  state.token = $('token').value.trim();
  if (state.token) sessionStorage.setItem(TOKEN_KEY, state.token);
  else sessionStorage.removeItem(TOKEN_KEY);
  $('access').dataset.needed = 'false';
  showMessage(state.token ? 'Token set' : 'Token cleared', false);
}

// ---------------------------------------------------------------- messages

function showMessage(text, refusal) {
  const m = $('message');
  m.textContent = text;
  m.className = refusal ? 'refusal' : 'ok';
}

function addEvent(kind, text) {
  const li = document.createElement('li');
  li.className = kind;
  li.textContent = `${new Date().toLocaleTimeString()} ${kind}: ${text}`;
  const list = $('events');
  list.prepend(li);
  while (list.children.length > 200) list.lastChild.remove();
}

// ---------------------------------------------------------------- status

function formatSeconds(s) {
  if (s == null) return '–';
  const m = Math.floor(s / 60);
  return m > 0 ? `${m} min ${(s % 60).toFixed(0)} s` : `${s.toFixed(1)} s`;
}

function renderStatus(s) {
  state.status = s;
  const st = $('state');
  st.textContent = s.state;
  st.dataset.state = s.state;
  $('run-name').textContent = s.recording ? s.recording.run : '–';
  const elapsed = s.recording ? s.recording.elapsed_s : s.streaming ? s.streaming.elapsed_s : null;
  $('elapsed').textContent = formatSeconds(elapsed);
  const left = s.disk && s.disk.minutes_left;
  $('disk').textContent = left == null ? (s.disk && s.disk.error ? s.disk.error : '–') : `${Math.floor(left)} min`;
  for (const p of s.probes) {
    const view = state.probes[p.index];
    if (!view) continue;
    const c = p.counters;
    const lost = Object.entries(c.lost).map(([k, v]) => `${k} ${v}`).join(', ');
    view.counters.textContent =
      `delivered ${c.delivered}\nlost      ${lost}\nqueue     ${(100 * p.queue.fill).toFixed(1)} % (${p.queue.depth}/${p.queue.limit})`;
  }
}

async function statusLoop() {
  for (;;) {
    try {
      renderStatus(await api('/status'));
    } catch (e) {
      $('state').textContent = `unreachable (${e.message})`;
    }
    await sleep(STATUS_PERIOD_MS);
  }
}

function sleep(ms) { return new Promise((resolve) => setTimeout(resolve, ms)); }

// ---------------------------------------------------------------- colours

// A perceptual dark-blue -> teal -> yellow ramp (viridis-like anchors).
const RAMP = [[68, 1, 84], [59, 82, 139], [33, 145, 140], [94, 201, 98], [253, 231, 37]];
function colour(t) {
  const x = Math.min(1, Math.max(0, t)) * (RAMP.length - 1);
  const i = Math.min(RAMP.length - 2, Math.floor(x));
  const f = x - i;
  const c = RAMP[i].map((v, k) => Math.round(v + f * (RAMP[i + 1][k] - v)));
  return `rgb(${c[0]},${c[1]},${c[2]})`;
}

// ---------------------------------------------------------------- probe view

const PROBE_W = 240, PROBE_H = 400, SCALE_W = 56, MARGIN = 14;

function probeLayout(g) {
  const used = g.channels.filter((c) => c.used);
  const zs = used.map((c) => c.z_um);
  const zLow = Math.min(...zs) - 60, zHigh = Math.max(...zs) + 60;
  const span = g.shanks * g.shank_width_um + (g.shanks - 1) * Math.max(0, g.shank_pitch_um - g.shank_width_um);
  const sx = (PROBE_W - 2 * MARGIN) / span;
  const sz = (PROBE_H - 2 * MARGIN) / (zHigh - zLow);
  return {
    zLow, zHigh, sx, sz,
    x: (shank, x) => MARGIN + (shank * g.shank_pitch_um + x) * sx,
    y: (z) => PROBE_H - MARGIN - (z - zLow) * sz,
  };
}

function drawProbe(view) {
  const g = view.geometry, L = view.layout;
  const ctx = view.canvas.getContext('2d');
  ctx.fillStyle = '#0c0f13';
  ctx.fillRect(0, 0, view.canvas.width, view.canvas.height);
  // Shank outlines (and the tip where it is in view).
  ctx.strokeStyle = '#5b6675';
  ctx.lineWidth = 1;
  for (let s = 0; s < g.shanks; s++) {
    const left = L.x(s, 0), right = L.x(s, g.shank_width_um);
    const top = L.y(L.zHigh), bottom = L.y(Math.max(L.zLow, 0));
    ctx.beginPath();
    ctx.moveTo(left, top);
    ctx.lineTo(left, bottom);
    if (L.zLow < 0) {
      ctx.lineTo((left + right) / 2, L.y(Math.max(L.zLow, -g.tip_length_um)));
    } else {
      ctx.lineTo(right, bottom);
    }
    ctx.lineTo(right, bottom);
    ctx.lineTo(right, top);
    ctx.stroke();
  }
  // Sites, coloured by RMS.
  const w = Math.max(3, Math.min(g.site_size_um * L.sx, 14)), h = Math.max(2, Math.min(g.site_size_um * L.sz, 8));
  let coloured = 0;
  for (const c of g.channels) {
    if (!c.used) continue;
    const rms = view.rms ? view.rms[c.channel] : NaN;
    if (Number.isFinite(rms)) { ctx.fillStyle = colour(rms / state.scaleMaxUv); coloured++; }
    else ctx.fillStyle = '#394250';
    const cx = L.x(c.shank, c.x_um), cy = L.y(c.z_um);
    ctx.fillRect(cx - w / 2, cy - h / 2, w, h);
    if (state.traces.some((t) => t.probe === view.index && t.channel === c.channel)) {
      ctx.strokeStyle = '#ffffff';
      ctx.strokeRect(cx - w / 2 - 1, cy - h / 2 - 1, w + 2, h + 2);
    }
  }
  view.canvas.dataset.colouredSites = String(coloured);
  // Depth ticks.
  ctx.fillStyle = '#8893a0';
  ctx.font = '10px sans-serif';
  const step = (L.zHigh - L.zLow) > 2000 ? 500 : 200;
  for (let z = Math.ceil(L.zLow / step) * step; z <= L.zHigh; z += step) ctx.fillText(`${z}`, 0, L.y(z) + 3);
  drawColourScale(view);
}

function drawColourScale(view) {
  const ctx = view.scale.getContext('2d');
  const H = view.scale.height;
  ctx.clearRect(0, 0, view.scale.width, H);
  const top = MARGIN, bottom = H - MARGIN;
  for (let y = top; y <= bottom; y++) {
    ctx.fillStyle = colour((bottom - y) / (bottom - top));
    ctx.fillRect(4, y, 12, 1);
  }
  ctx.fillStyle = '#dde3ea';
  ctx.font = '10px sans-serif';
  for (let k = 0; k <= 5; k++) {
    const v = (state.scaleMaxUv * k) / 5;
    ctx.fillText(v.toFixed(0), 20, bottom - (k / 5) * (bottom - top) + 3);
  }
  ctx.fillText('µV RMS', 4, H - 2);
}

function siteAt(view, px, py) {
  const g = view.geometry, L = view.layout;
  let best = null, bestD = 12;
  for (const c of g.channels) {
    if (!c.used) continue;
    const d = Math.hypot(L.x(c.shank, c.x_um) - px, L.y(c.z_um) - py);
    if (d < bestD) { bestD = d; best = c; }
  }
  return best;
}

// AP RMS per channel over the last second: stride-decimated samples, a
// short moving mean taken away (the LFP of a wideband probe), scaled back
// for the variance the mean removes.
function channelRms(block) {
  const n = block.rows, m = block.channels.length;
  const out = new Float32Array(m);
  const half = (RMS_BASELINE - 1) / 2;
  const correction = Math.sqrt(RMS_BASELINE / (RMS_BASELINE - 1));
  for (let c = 0; c < m; c++) {
    let power = 0, count = 0;
    for (let r = half; r < n - half; r++) {
      let mean = 0;
      for (let k = -half; k <= half; k++) mean += block.data[(r + k) * m + c];
      const v = block.data[r * m + c] - mean / RMS_BASELINE;
      power += v * v;
      count++;
    }
    out[c] = count ? Math.sqrt(power / count) * block.scale[c] * correction : NaN;
  }
  return out;
}

async function rmsLoop(view) {
  for (;;) {
    const started = performance.now();
    const streaming = state.status && state.status.state !== 'idle';
    if (streaming) {
      try {
        const block = await fetchSamples(view.index, 'ap', Math.round(30000 / RMS_DECIMATION), RMS_DECIMATION, null);
        if (block.rows > 2 * RMS_BASELINE) {
          const rms = channelRms(block);
          view.rms = new Float32Array(384).fill(NaN);
          block.channels.forEach((ch, i) => { view.rms[ch] = rms[i]; });
          drawProbe(view);
        }
      } catch (e) {
        if (e.status !== 416 && e.status !== 410) addEvent('warning', `probe ${view.index} RMS: ${e.message}`);
      }
    }
    // The next pull a period after this one began, or right after a slow one.
    await sleep(Math.max(100, RMS_PERIOD_MS - (performance.now() - started)));
  }
}

async function setUpProbes(status) {
  const host = $('probes');
  host.textContent = '';
  state.probes = [];
  for (const p of status.probes) {
    const geometry = await api(`/probes/${p.index}/geometry`);
    const box = document.createElement('div');
    box.className = 'probe';
    box.dataset.probe = String(p.index);
    const title = document.createElement('h2');
    title.innerHTML = `imec${p.index} <span></span>`;
    title.querySelector('span').textContent = `${p.kind_name} · ${p.place} · ${p.serial}`;
    const row = document.createElement('div');
    row.style.display = 'flex';
    const canvas = document.createElement('canvas');
    canvas.width = PROBE_W;
    canvas.height = PROBE_H;
    canvas.className = 'probe-view';
    canvas.dataset.probe = String(p.index);
    const scale = document.createElement('canvas');
    scale.width = SCALE_W;
    scale.height = PROBE_H;
    scale.className = 'colour-scale';
    row.append(canvas, scale);
    const counters = document.createElement('p');
    counters.className = 'counters';
    box.append(title, row, counters);
    host.append(box);
    const view = { index: p.index, kind: p.kind, geometry, layout: probeLayout(geometry), rms: null, canvas, scale, counters };
    state.probes[p.index] = view;
    canvas.addEventListener('click', (ev) => {
      const r = canvas.getBoundingClientRect();
      const site = siteAt(view, (ev.clientX - r.left) * (canvas.width / r.width), (ev.clientY - r.top) * (canvas.height / r.height));
      if (site) addTrace(view.index, site.channel);
    });
    drawProbe(view);
    rmsLoop(view);
  }
}

// ---------------------------------------------------------------- traces

function addTrace(probe, channel) {
  if (state.traces.some((t) => t.probe === probe && t.channel === channel)) return;
  if (state.traces.length >= MAX_TRACES) { showMessage(`At most ${MAX_TRACES} traces`, true); return; }
  state.traces.push({ probe, channel });
  renderTraceList();
}

function renderTraceList() {
  const list = $('trace-list');
  list.textContent = '';
  state.traces.forEach((t, i) => {
    const li = document.createElement('li');
    li.textContent = `imec${t.probe}:${t.channel}`;
    const x = document.createElement('button');
    x.type = 'button';
    x.textContent = '×';
    x.title = 'Remove';
    x.addEventListener('click', () => { state.traces.splice(i, 1); renderTraceList(); });
    li.append(x);
    list.append(li);
  });
  for (const v of state.probes) if (v) drawProbe(v);
}

function fitCanvas(canvas) {
  const w = Math.max(200, Math.round(canvas.clientWidth * (window.devicePixelRatio || 1)));
  if (canvas.width !== w) canvas.width = w;
}

// The min/max bins of one probe's traced channels, a ring of `capacity`
// bins (each 2 x channels values: minima, then maxima) ending at stream
// index `next`. A change of band, channels or bin size starts it anew.
function traceBuffer(probe, key, capacity, m) {
  let b = state.traceBuffers.get(probe);
  if (!b || b.key !== key) {
    b = { key, capacity, m, data: new Int16Array(capacity * 2 * m), head: 0, filled: 0, next: null, scale: [], channels: [] };
    state.traceBuffers.set(probe, b);
  }
  return b;
}

// Pulls the bins that are new since the last frame into the probe's
// buffer: the latest window's worth the first time, and when the samples
// left the ring or the stream began anew (the service's fallback).
async function pullBins(b, probe, band, decimate, channels) {
  const block = await fetchSamples(probe, band, b.capacity, decimate, channels,
                                   { start: b.next, reduce: 'minmax', fallback: 'latest' });
  if (b.next !== null && block.firstIndex !== b.next) b.filled = 0;  // not where the last block ended
  const width = 2 * b.m;
  for (let k = 0; k < block.rows; k++) {
    b.data.set(block.data.subarray(k * width, (k + 1) * width), b.head * width);
    b.head = (b.head + 1) % b.capacity;
    b.filled = Math.min(b.capacity, b.filled + 1);
  }
  b.next = block.nextIndex;
  b.scale = block.scale;
  b.channels = block.channels;
}

// One frame: per probe with traces, one request for its new min/max bins
// (one bin a pixel over the window), then a redraw.
async function traceFrame() {
  const canvas = $('traces');
  fitCanvas(canvas);
  const band = $('band').value;
  const windowS = Math.min(4, Math.max(0.05, Number($('window').value) || 1));
  const scaleUv = Math.max(1, Number($('scale').value) || 250);
  const rate = band === 'lf' ? 2500 : 30000;
  const width = canvas.width - 60;
  const samples = Math.round(windowS * rate);
  const decimate = Math.max(1, Math.ceil(samples / width));
  const count = Math.max(2, Math.floor(samples / decimate));
  const byProbe = new Map();
  for (const t of state.traces) {
    const view = state.probes[t.probe];
    if (!view || (band === 'lf' && view.kind !== 'np1')) continue;
    if (!byProbe.has(t.probe)) byProbe.set(t.probe, []);
    byProbe.get(t.probe).push(t.channel);
  }
  for (const probe of state.traceBuffers.keys()) if (!byProbe.has(probe)) state.traceBuffers.delete(probe);
  const blocks = [];
  for (const [probe, channels] of byProbe) {
    const sorted = [...new Set(channels)].sort((a, b) => a - b);
    const b = traceBuffer(probe, `${band}|${decimate}|${count}|${sorted}`, count, sorted.length);
    await pullBins(b, probe, band, decimate, sorted);
    blocks.push({ probe, block: b });
  }
  drawTraces(canvas, blocks, count, scaleUv, windowS);
}

function drawTraces(canvas, blocks, count, scaleUv, windowS) {
  const ctx = canvas.getContext('2d');
  const W = canvas.width, H = canvas.height, left = 60;
  ctx.fillStyle = '#0c0f13';
  ctx.fillRect(0, 0, W, H);
  const rows = [];
  for (const { probe, block } of blocks)
    block.channels.forEach((ch, i) => rows.push({ probe, ch, i, block }));
  rows.sort((a, b) => state.traces.findIndex((t) => t.probe === a.probe && t.channel === a.ch) -
                      state.traces.findIndex((t) => t.probe === b.probe && t.channel === b.ch));
  const lane = H / Math.max(1, rows.length);
  const pxPerUv = lane / scaleUv;
  ctx.font = '10px sans-serif';
  let signature = 0;
  rows.forEach((r, k) => {
    const mid = lane * (k + 0.5);
    const { block: b, i } = r;
    const m = b.m, n = b.filled, width = 2 * m;
    // Bin s of the n kept, oldest first: its minimum and maximum.
    const at = (s) => ((b.head - n + s + b.capacity) % b.capacity) * width;
    let mean = 0;
    for (let s = 0; s < n; s++) mean += b.data[at(s) + i] + b.data[at(s) + m + i];
    mean = n ? mean / (2 * n) : 0;
    ctx.strokeStyle = `hsl(${(k * 47) % 360} 70% 65%)`;
    ctx.lineWidth = 1;
    ctx.beginPath();
    // The newest bin at the right edge; each bin a stroke from its minimum to its maximum.
    for (let s = 0; s < n; s++) {
      const x = left + ((W - left) * (count - n + s)) / Math.max(1, count - 1);
      const low = b.data[at(s) + i], high = b.data[at(s) + m + i];
      const y0 = mid - (low - mean) * b.scale[i] * pxPerUv, y1 = mid - (high - mean) * b.scale[i] * pxPerUv;
      if (s === 0) ctx.moveTo(x, y0); else ctx.lineTo(x, y0);
      ctx.lineTo(x, y1);
      signature = (signature * 31 + low + 7 * high) | 0;
    }
    ctx.stroke();
    ctx.fillStyle = '#8893a0';
    ctx.fillText(`imec${r.probe}:${r.ch}`, 2, mid + 3);
  });
  // Scale bar: the µV of one lane, and the window.
  ctx.fillStyle = '#dde3ea';
  ctx.fillText(`${scaleUv} µV / lane · ${windowS} s`, W - 150, H - 4);
  canvas.dataset.traces = String(rows.length);
  canvas.dataset.signature = String(signature);
  canvas.dataset.frames = String(++state.frames);
}

async function traceLoop() {
  for (;;) {
    const started = performance.now();
    const live = state.status && state.status.state !== 'idle' && state.traces.length > 0;
    let took = 0;
    if (live) {
      try {
        await traceFrame();
      } catch (e) {
        if (e.status !== 416 && e.status !== 410) showMessage(`Traces: ${e.message}`, true);
      }
      took = performance.now() - started;
      state.frameTimes.push(performance.now());
      while (state.frameTimes.length && state.frameTimes[0] < performance.now() - 2000) state.frameTimes.shift();
      $('fps').textContent = (state.frameTimes.length / 2).toFixed(1);
      $('fps').dataset.fps = String(state.frameTimes.length / 2);
    }
    // Adaptive: a frame that took long (slow browser, busy service) is
    // followed by a pause as long, so requests never pile up.
    await new Promise((resolve) => requestAnimationFrame(resolve));
    await sleep(Math.max(MIN_FRAME_MS - took, took * 0.5, live ? 0 : 200));
  }
}

// ---------------------------------------------------------------- controls

function wire() {
  const act = (button, call, describe) => {
    $(button).addEventListener('click', async () => {
      try {
        const reply = await call();
        showMessage(describe(reply), false);
        renderStatus(await api('/status'));
      } catch (e) {
        showMessage(`Refused: ${e.message}`, true);
      }
    });
  };
  act('stream-start', () => post('/streaming/start'), () => 'Streaming');
  act('stream-stop', () => post('/streaming/stop'), () => 'Stopped streaming');
  act('record-start', () => {
    const body = { run: $('run').value };
    if ($('folder').value.trim()) body.folder = $('folder').value.trim();
    return post('/recording/start', body);
  }, (reply) => { listFiles(reply.files); return `Recording ${reply.run} into ${reply.folder}`; });
  act('record-stop', () => post('/recording/stop'), (reply) => {
    listFiles(reply.files);
    return `Stopped ${reply.run}${reply.reason ? ` (${reply.reason})` : ''}`;
  });
  $('clear-traces').addEventListener('click', () => { state.traces = []; renderTraceList(); });
  $('token').value = state.token;
  $('token-use').addEventListener('click', useToken);
  $('token').addEventListener('keydown', (ev) => { if (ev.key === 'Enter') useToken(); });
  $('scale').addEventListener('change', () => {});
}

function listFiles(files) {
  const list = $('files');
  list.textContent = '';
  const walk = (v) => {
    if (typeof v === 'string') { const li = document.createElement('li'); li.textContent = v; list.append(li); }
    else if (Array.isArray(v)) v.forEach(walk);
    else if (v && typeof v === 'object') Object.values(v).forEach(walk);
  };
  walk(files);
}

const SHOWN_EVENTS = new Set(['state', 'warning', 'error', 'recording', 'configured', 'streaming']);

function onEvent(type, text) {
  if (!SHOWN_EVENTS.has(type)) return;
  let data = {};
  try { data = JSON.parse(text); } catch (_) { /* keep the raw text */ }
  const shown = data.message || data.error || (type === 'state' ? data.state : JSON.stringify(data));
  addEvent(type === 'warning' || type === 'error' ? type : 'info', `${type}: ${shown}`);
  if (type === 'state' || type === 'recording') api('/status').then(renderStatus).catch(() => {});
}

// The server-sent events, read through fetch so that the token goes along;
// after a drop, again from the last event seen (Last-Event-ID).
async function events() {
  let last = null;
  for (;;) {
    try {
      const headers = authorised({ Accept: 'text/event-stream' });
      if (last !== null) headers['Last-Event-ID'] = last;
      const response = await fetch(`${API}/events`, { headers });
      if (!response.ok) throw await refusal(response);
      const reader = response.body.pipeThrough(new TextDecoderStream()).getReader();
      let pending = '';
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        pending += value;
        let end;
        while ((end = pending.indexOf('\n\n')) >= 0) {
          const message = pending.slice(0, end);
          pending = pending.slice(end + 2);
          let type = 'message', data = '';
          for (const line of message.split('\n')) {
            if (line.startsWith('event: ')) type = line.slice(7);
            else if (line.startsWith('data: ')) data += line.slice(6);
            else if (line.startsWith('id: ')) last = line.slice(4);
          }
          onEvent(type, data);
        }
      }
    } catch (_) { /* shown by the status loop; try again */ }
    await sleep(1000);
  }
}

async function main() {
  wire();
  events();
  let status = null;
  while (!status) {
    try { status = await api('/status'); } catch (e) { $('state').textContent = `unreachable (${e.message})`; await sleep(1000); }
  }
  renderStatus(status);
  await setUpProbes(status);
  // A few channels of the first probe to start with.
  if (status.probes.length) for (const ch of [0, 1, 2, 3]) addTrace(status.probes[0].index, ch);
  renderStatus(status);
  statusLoop();
  traceLoop();
  document.body.dataset.ready = 'true';
}

main();
