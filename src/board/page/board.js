// The station's board: one snapshot when the stream opens, then the
// station's events as they come; it reconnects by itself.
'use strict';
(() => {
  const STATES = {
    waiting: ['\u25CB', 'WAITING'],
    arrived: ['\u25C6', 'ARRIVED'],
    'store-unavailable': ['\u26A0', 'STORE UNAVAILABLE'],
    burning: ['\u25B6', 'BURNING'],
    passed: ['\u2714', 'PASS'],
    failed: ['\u2716', 'FAIL'],
    stopped: ['\u25A0', 'STOPPED'],
    refused: ['\u2298', 'REFUSED'],
    interrupted: ['\u25A0', 'INTERRUPTED'],
    running: ['\u25B6', 'RUNNING'],
  };
  const CONNECTION = {
    connecting: ['\u25CC', 'Connecting\u2026'],
    live: ['\u25CF', 'Live'],
    lost: ['\u25B2', 'Connection lost, retrying\u2026'],
    ended: ['\u25A0', 'Station ended'],
  };
  const RUNNING = new Set(['arrived', 'store-unavailable', 'burning']);

  const token = new URLSearchParams(location.search).get('token');
  const query = token ? '?token=' + encodeURIComponent(token) : '';
  const $ = (id) => document.getElementById(id);
  const now = () => performance.now();

  const board = {
    station: '',
    image: null,
    ended: false,
    notice: '',
    counters: { passed: 0, failed: 0, stopped: 0, refused: 0 },
    serialsLeft: null,
    startedAt: null, // performance.now() when the station's run began
    endRate: null, // the station's own units per hour once it ended
    slots: new Map(),
    latest: [],
  };
  let connection = 'connecting';
  let source = null;
  let retryDelay = 1000;
  let sound = false;
  let audio = null;
  let renderQueued = false;

  // ---- the model -------------------------------------------------------

  function emptySlot(port) {
    return {
      port, state: 'waiting', phase: '', count: 0, total: 0, serial: '', device: '',
      path: '', message: '', version: '', cur: '', since: 0, elapsedMs: 0,
    };
  }

  function slotOf(port) {
    let slot = board.slots.get(port);
    if (!slot) {
      slot = emptySlot(port);
      board.slots.set(port, slot);
    }
    return slot;
  }

  function clearUnit(slot) {
    Object.assign(slot, { phase: '', count: 0, total: 0, serial: '', message: '', version: '',
      cur: '', elapsedMs: 0 });
  }

  function applySnapshot(s) {
    board.station = s.station || '';
    board.image = s.image || null;
    board.ended = !!s.ended;
    board.notice = s.notice || '';
    const c = s.counters || {};
    board.counters = { passed: c.passed || 0, failed: c.failed || 0, stopped: c.stopped || 0,
      refused: c.refused || 0 };
    board.serialsLeft = c.serialsLeft ?? null;
    board.startedAt = now() - (s.elapsedMs || 0);
    board.endRate = board.ended ? c.unitsPerHour : null;
    board.slots = new Map();
    for (const v of s.slots || []) {
      const slot = Object.assign(emptySlot(v.port), v);
      slot.since = now() - (v.elapsedMs || 0);
      board.slots.set(v.port, slot);
    }
    board.latest = s.latest || [];
  }

  function applyUnits(u) {
    board.latest = u.latest || [];
    board.serialsLeft = u.serialsLeft ?? null;
  }

  function applyEvent(e) {
    if (board.startedAt === null) board.startedAt = now();
    if (e.event === 'notice') {
      board.notice = e.text || '';
      return;
    }
    if (e.event === 'summary') {
      board.counters = { passed: e.passed, failed: e.failed, stopped: e.stopped, refused: e.refused };
      board.endRate = e.unitsPerHour;
      board.ended = true;
      return;
    }
    const slot = slotOf(e.port);
    if (e.path) slot.path = e.path;
    if (e.device) slot.device = e.device;
    switch (e.event) {
      case 'arrived':
        clearUnit(slot);
        slot.state = 'arrived';
        slot.since = now();
        break;
      case 'store-unavailable':
        slot.state = 'store-unavailable';
        slot.message = e.message || '';
        break;
      case 'refused':
        slot.state = 'refused';
        slot.message = e.message || '';
        slot.elapsedMs = e.elapsedMs || 0;
        board.counters.refused++;
        break;
      case 'started':
        clearUnit(slot);
        slot.state = 'burning';
        slot.serial = e.serial || '';
        break;
      case 'status':
        slot.serial = e.serial || '';
        slot.phase = e.text || '';
        slot.count = e.count || 0;
        slot.total = e.total || 0;
        break;
      case 'finished': {
        const result = e.result === 'passed' || e.result === 'stopped' ? e.result : 'failed';
        slot.state = result;
        slot.serial = e.serial || '';
        slot.phase = '';
        slot.count = 0;
        slot.total = 0;
        slot.message = e.text || '';
        slot.version = e.version || '';
        slot.cur = e.cur || '';
        slot.elapsedMs = e.elapsedMs || 0;
        board.counters[result]++;
        if (result === 'failed') beep();
        break;
      }
      case 'left':
        clearUnit(slot);
        slot.state = 'waiting';
        break;
      default:
        break;
    }
  }

  // ---- the view --------------------------------------------------------

  // "4.5 s" for a minute or less, then "12:05".
  function duration(ms) {
    if (ms < 60000) return (Math.max(0, ms) / 1000).toFixed(1) + ' s';
    const s = Math.floor(ms / 1000);
    return Math.floor(s / 60) + ':' + String(s % 60).padStart(2, '0');
  }

  function percent(slot) {
    if (slot.state === 'passed') return 100;
    if (slot.state !== 'burning' || !(slot.total > 0)) return 0;
    return Math.min(100, Math.max(0, Math.floor((slot.count * 100) / slot.total)));
  }

  function el(tag, cls, text) {
    const node = document.createElement(tag);
    if (cls) node.className = cls;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  function makeTile() {
    const tile = el('article', 'tile');
    const head = el('div', 'head');
    head.append(el('span', 'port'), el('span', 'badge'));
    const phase = el('div', 'phase');
    phase.append(el('span', 'what'), el('span', 'percent'));
    const bar = el('div', 'bar');
    bar.append(el('div', 'fill'));
    const dl = el('dl');
    for (const [name, cls] of [['Serial', 'serial'], ['Device', 'device'], ['Time', 'time']]) {
      dl.append(el('dt', cls, name), el('dd', cls));
    }
    tile.append(head, phase, bar, dl, el('div', 'message'));
    return tile;
  }

  function renderTile(tile, slot) {
    const [symbol, word] = STATES[slot.state] || STATES.failed;
    tile.className = 'tile state-' + slot.state;
    tile.dataset.port = slot.port;
    tile.dataset.state = slot.state;
    tile.querySelector('.port').textContent = slot.port;
    const p = percent(slot);
    tile.querySelector('.badge').textContent = symbol + ' ' + word;
    let what = '';
    if (slot.state === 'burning') {
      what = slot.phase || 'Starting\u2026';
    } else if (slot.state === 'passed' && slot.version) {
      what = 'Version ' + slot.version + ', Cur ' + slot.cur;
    } else if (slot.state === 'waiting') {
      what = 'Plug in the next unit';
    } else if (slot.state === 'arrived') {
      what = 'Looking at the device\u2026';
    } else if (slot.state === 'store-unavailable') {
      what = 'Waiting for the record store\u2026';
    }
    tile.querySelector('.phase .what').textContent = what;
    tile.querySelector('.phase .percent').textContent =
      slot.state === 'burning' && slot.total > 0 ? p + '%' : '';
    tile.querySelector('.fill').style.width = p + '%';
    const serial = tile.querySelector('dd.serial');
    serial.textContent = slot.serial || '\u2013';
    serial.classList.toggle('mono', !!slot.serial);
    tile.querySelector('dd.device').textContent = slot.device || '\u2013';
    const ms = RUNNING.has(slot.state) ? now() - slot.since : slot.elapsedMs;
    tile.querySelector('dd.time').textContent = slot.state === 'waiting' ? '\u2013' : duration(ms);
    tile.querySelector('.message').textContent = slot.message;
  }

  function renderTiles() {
    const container = $('tiles');
    const ports = [...board.slots.keys()].sort((a, b) =>
      a.localeCompare(b, undefined, { numeric: true }));
    const existing = new Map([...container.children].map((t) => [t.dataset.port, t]));
    ports.forEach((port, i) => {
      let tile = existing.get(port);
      if (!tile) tile = makeTile();
      existing.delete(port);
      renderTile(tile, board.slots.get(port));
      if (container.children[i] !== tile) container.insertBefore(tile, container.children[i] || null);
    });
    for (const tile of existing.values()) tile.remove();
    $('no-slots').hidden = ports.length > 0;
  }

  function renderCounters() {
    const c = board.counters;
    $('c-passed').textContent = c.passed;
    $('c-failed').textContent = c.failed;
    $('c-stopped').textContent = c.stopped;
    $('c-refused').textContent = c.refused;
    const burned = c.passed + c.failed + c.stopped;
    const yieldPercent = burned ? (c.passed * 100) / burned : null;
    $('c-yield').textContent = yieldPercent === null ? '\u2013'
      : (yieldPercent === 100 ? '100' : yieldPercent.toFixed(1)) + ' %';
    let rate = board.endRate;
    if (rate === null && board.startedAt !== null) {
      const hours = (now() - board.startedAt) / 3600000;
      rate = hours > 0 ? burned / hours : 0;
    }
    $('c-rate').textContent = rate === null ? '\u2013' : rate.toFixed(rate >= 100 ? 0 : 1);
    $('serials-left').hidden = board.serialsLeft === null;
    if (board.serialsLeft !== null) $('c-left').textContent = board.serialsLeft;
  }

  function renderHeader() {
    $('station').textContent = board.station || '\u2013';
    const image = $('image');
    image.textContent = '';
    if (board.image) {
      const i = board.image;
      const parts = [['Image', i.file], ['version', i.version || '\u2013'], ['Cur', i.cur || '\u2013'],
        ['SHA-256', (i.sha256 || '').slice(0, 12)]];
      parts.forEach(([name, value], n) => {
        if (n > 0) image.append('  \u00B7  ');
        const b = el('b', name === 'SHA-256' ? 'mono' : '', value);
        image.append(name + ' ', b);
      });
      image.title = i.path || '';
    }
    const shown = connection === 'live' && board.ended ? 'ended' : connection;
    const [symbol, text] = CONNECTION[shown];
    const status = $('connection');
    status.className = 'connection ' + shown;
    document.body.dataset.connection = shown;
    status.querySelector('.sym').textContent = symbol;
    status.querySelector('.text').textContent = text;
    document.title = (board.station || 'Station') + ' \u2013 ' + text;
    const notice = $('notice');
    notice.hidden = !board.notice;
    notice.textContent = board.notice;
  }

  function renderLatest() {
    const body = $('latest');
    body.textContent = '';
    for (const u of board.latest) {
      const row = el('tr');
      const ended = u.endedAt ? new Date(u.endedAt) : null;
      const [symbol, word] = STATES[u.result] || [' ', String(u.result || '').toUpperCase()];
      const result = el('td', 'result ' + u.result, symbol + ' ' + word);
      row.append(
        el('td', '', ended && !isNaN(ended) ? ended.toLocaleTimeString() : '\u2013'),
        el('td', '', u.port || ''),
        el('td', 'mono', u.serial || '\u2013'),
        result,
        el('td', '', duration(u.durationMs || 0)),
        el('td', '', u.message || u.text || ''),
      );
      body.append(row);
    }
    $('no-units').hidden = board.latest.length > 0;
    body.parentElement.hidden = board.latest.length === 0;
  }

  function render() {
    renderQueued = false;
    renderHeader();
    renderCounters();
    renderTiles();
    renderLatest();
  }

  function queueRender() {
    if (renderQueued) return;
    renderQueued = true;
    requestAnimationFrame(render);
  }

  // ---- sound -----------------------------------------------------------

  function beep() {
    if (!sound || !audio) return;
    const start = audio.currentTime;
    [880, 660, 880].forEach((hz, i) => {
      const osc = audio.createOscillator();
      const gain = audio.createGain();
      osc.type = 'square';
      osc.frequency.value = hz;
      gain.gain.value = 0.15;
      osc.connect(gain).connect(audio.destination);
      osc.start(start + i * 0.18);
      osc.stop(start + i * 0.18 + 0.15);
    });
  }

  $('sound').addEventListener('click', () => {
    sound = !sound;
    // Browsers let a page sound only after a click; this is the click.
    if (sound && !audio && window.AudioContext) audio = new AudioContext();
    if (audio && audio.state === 'suspended') audio.resume();
    const button = $('sound');
    button.setAttribute('aria-pressed', String(sound));
    button.textContent = 'Sound on failure: ' + (sound ? 'on' : 'off');
  });

  // ---- the stream ------------------------------------------------------

  function parse(data) {
    try {
      return JSON.parse(data);
    } catch (err) {
      return null;
    }
  }

  function connect() {
    source = new EventSource('events' + query);
    source.addEventListener('snapshot', (m) => {
      const s = parse(m.data);
      if (!s) return;
      applySnapshot(s);
      connection = 'live';
      retryDelay = 1000;
      queueRender();
    });
    source.addEventListener('units', (m) => {
      const u = parse(m.data);
      if (u) applyUnits(u);
      queueRender();
    });
    source.onmessage = (m) => {
      const e = parse(m.data);
      if (e) applyEvent(e);
      queueRender();
    };
    source.onerror = () => {
      // The browser's own retry gives up on some answers (a 503, a 401):
      // the page retries itself, a little later each time.
      source.close();
      connection = board.ended ? 'ended' : 'lost';
      queueRender();
      setTimeout(connect, retryDelay);
      retryDelay = Math.min(retryDelay * 2, 10000);
    };
  }

  setInterval(queueRender, 1000);
  render();
  connect();
})();
