// The live page: the reading as the meter shows it, MIN and MAX since the page was opened, the
// link state, and a chart of the last minutes with statistics of what is in view. It starts from
// the readings the server still holds (/api/readings) and then follows /events; the browser
// reconnects the event stream by itself and asks for what it missed with Last-Event-ID.
//
// Readings of different units never share an axis: the chart shows one series at a time, by
// default the one the meter measures now ("follow the meter"), or one chosen in the list. A
// series is one measuring function: the base unit with AC or DC (V DC and V AC apart, mV and V
// together, drawn in volts), so that auto-ranging does not split it. MIN and MAX are kept per
// function in the same way and show the current function's.
'use strict';

(function () {
  const KEEP = 20000; // readings kept for the chart: about 20 minutes at the meter's full pace
  const REDRAW_MS = 250; // the chart and the statistics follow at most this often
  const RETRY_MS = 3000; // a stream the server refused is asked for again after this long

  const $ = (id) => document.getElementById(id);
  const token = new URLSearchParams(location.search).get('token');

  // A URL of this server for `path`, with the page's token carried on.
  function serverUrl(path, query) {
    const url = new URL(path, location.href);
    url.search = '';
    for (const [name, value] of Object.entries(query || {})) url.searchParams.set(name, value);
    if (token) url.searchParams.set('token', token);
    return url.pathname + url.search;
  }

  // ---- numbers with SI prefixes -------------------------------------------------------------

  const PREFIXES = [[1e9, 'G'], [1e6, 'M'], [1e3, 'k'], [1, ''], [1e-3, 'm'], [1e-6, '\u00b5'], [1e-9, 'n']];
  const UNPREFIXED = new Set(['', '%', '\u00b0C', '\u00b0F']);

  // The factor and prefix that show `magnitude` in `unit` with one to three whole digits.
  function scaleFor(unit, magnitude) {
    if (UNPREFIXED.has(unit) || !isFinite(magnitude) || magnitude === 0) return [1, ''];
    for (const scale of PREFIXES) {
      if (magnitude >= scale[0] * 0.99995) return scale;
    }
    return PREFIXES[PREFIXES.length - 1];
  }

  // How many decimals give `x` `digits` significant digits.
  function decimalsFor(x, digits) {
    const whole = x === 0 || !isFinite(x) ? 1 : Math.floor(Math.log10(Math.abs(x))) + 1;
    return Math.min(9, Math.max(0, digits - whole));
  }

  // `x` with `decimals` decimals, never in exponent notation, and no sign on a zero.
  function fixed(x, decimals) {
    if (!isFinite(x)) return '\u2013';
    const text = x.toFixed(decimals);
    return Number(text) === 0 ? text.replace('-', '') : text;
  }

  const decimal = (x, digits) => fixed(x, decimalsFor(x, digits));

  // ---- state ----------------------------------------------------------------------------------

  const kept = []; // {t, key, v, ov}: v the base value or null, ov an overload; oldest first
  const series = new Map(); // function -> [[Date, base value or null (a gap)]]
  const extremes = new Map(); // function -> {min, max}: readings as received
  let current = null; // the newest reading, as received, with its function in .key
  let run = null; // the server's feed, to tell a restarted logger from a reconnect
  let lastNo = 0; // the newest record number taken from this run
  let status = null; // the newest /api/status or status event
  let connected = false; // the event stream is open
  let everConnected = false; // it has been open
  let problem = ''; // why the page cannot read the server, if it cannot
  let gapNext = false; // the link broke: the next reading starts a new line
  let pinned = ''; // the function chosen in the list, '' to follow the meter
  let graph = null;
  let graphKey = null;
  let formatValue = String; // a value of the charted function with its unit
  let source = null;
  let retryTimer = null;
  let drawTimer = null;
  let opened = false; // the readings from before the page opened are in

  // The measuring function of a reading: its base unit and AC or DC.
  function functionOf(reading) {
    return [reading.base_unit || '', reading.acdc || ''].filter((part) => part).join(' ');
  }
  const unitOfKey = (key) => (key.endsWith(' AC') || key.endsWith(' DC') ? key.slice(0, -3) : key === 'AC' || key === 'DC' ? '' : key);
  const labelOf = (key) => key || 'no unit';
  const isOverload = (reading) => reading.overload === true;
  const shown = (reading) => reading.value + (reading.plain_unit ? '\u2009' + reading.plain_unit : '');

  // ---- readings -------------------------------------------------------------------------------

  function take(reading, live) {
    if (typeof reading.no !== 'number' || reading.no <= lastNo) return;
    lastNo = reading.no;
    const key = functionOf(reading);
    const prev = kept.length ? kept[kept.length - 1] : null;
    let t = Date.parse(reading.time);
    if (!isFinite(t)) t = Date.now();
    if (prev && t < prev.t) t = prev.t; // the chart needs time to run forwards
    const v = typeof reading.base_value === 'number' ? reading.base_value : null;
    const entry = {t: t, key: key, v: v, ov: isOverload(reading)};

    if (!series.has(key)) addFunction(key);
    // A line ends where its function was left, at an overload, or where the link broke.
    if (prev && prev.v !== null && (prev.key !== key || v === null || gapNext))
      series.get(prev.key).push([new Date((prev.t + t) / 2), null]);
    if (v !== null) series.get(key).push([new Date(t), v]);
    gapNext = false;
    kept.push(entry);
    if (kept.length > KEEP + KEEP / 10) forget(kept.length - KEEP);

    reading.key = key;
    current = reading;
    if (live) noteExtremes(reading);
  }

  function forget(count) {
    const cutoff = kept[count].t;
    kept.splice(0, count);
    for (const points of series.values()) {
      let i = 0;
      while (i < points.length && points[i][0].getTime() < cutoff) ++i;
      points.splice(0, i);
    }
  }

  // MIN and MAX as a meter keeps them: compared in the base unit, shown as the display showed
  // them; an overload is beyond every number (a negative one below).
  function noteExtremes(reading) {
    let e = extremes.get(reading.key);
    if (!e) extremes.set(reading.key, (e = {min: null, max: null}));
    if (isOverload(reading)) {
      if (reading.value.trim().startsWith('-')) e.min = reading;
      else e.max = reading;
      return;
    }
    const v = reading.base_value;
    if (typeof v !== 'number') return;
    if (!e.min || (!isOverload(e.min) && v < e.min.base_value)) e.min = reading;
    if (!e.max || (!isOverload(e.max) && v > e.max.base_value)) e.max = reading;
  }

  // ---- what the page shows -----------------------------------------------------------------

  function showReading() {
    if (!current) return;
    $('value').textContent = current.value;
    $('unit').textContent = current.plain_unit;
    $('acdc').textContent = current.acdc;
    $('range').textContent = current.range;
    $('when').textContent = (current.time || '').slice(11, 19);
    $('display').dataset.no = String(current.no);
    $('display').classList.toggle('overload', isOverload(current));
    const e = extremes.get(current.key) || {};
    $('min').textContent = e.min ? shown(e.min) : '\u2013';
    $('max').textContent = e.max ? shown(e.max) : '\u2013';
    const meter = status && status.meter ? status.meter : 'vorlatt';
    document.title = shown(current) + (current.acdc ? ' ' + current.acdc : '') + ' \u2013 ' + meter;
    if (!pinned) $('series').options[0].textContent = 'follow the meter (' + labelOf(current.key) + ')';
  }

  function showLink() {
    const link = $('link');
    let state;
    let text;
    if (problem) {
      state = 'lost';
      text = problem;
    } else if (!connected && everConnected) {
      state = 'lost';
      text = 'no connection to the server, trying again';
    } else {
      state = status ? status.link : 'waiting';
      text = status ? status.link_text : 'connecting';
    }
    link.className = 'link ' + state;
    link.dataset.link = state;
    link.textContent = text;
    $('display').classList.toggle('stale', state !== 'live');
  }

  function applyStatus(st) {
    status = st;
    document.body.dataset.run = st.run || '';
    $('meter').textContent = st.meter || 'vorlatt';
    $('port').textContent = st.port || '';
    if (st.link !== 'live') gapNext = true;
    showLink();
  }

  function addFunction(key) {
    series.set(key, []);
    const option = document.createElement('option');
    option.value = key;
    option.textContent = labelOf(key);
    $('series').appendChild(option);
  }

  // ---- chart and statistics --------------------------------------------------------------

  function scheduleDraw() {
    if (drawTimer === null) drawTimer = setTimeout(draw, REDRAW_MS);
  }

  function draw() {
    drawTimer = null;
    showReading();
    const key = pinned || (current ? current.key : null);
    if (key === null || !kept.length) return;
    if (typeof Dygraph === 'undefined') {
      $('chart').textContent = 'The chart library (dygraph.min.js) could not be loaded.';
      showStatistics([kept[0].t, kept[kept.length - 1].t]);
      return;
    }
    const points = series.get(key) || [];
    // Framed by the first and last reading kept, so every function's chart spans the same time.
    const first = new Date(kept[0].t);
    const last = new Date(kept[kept.length - 1].t);
    const file = [];
    if (!points.length || points[0][0] > first) file.push([first, null]);
    for (const p of points) file.push(p);
    if (!points.length || points[points.length - 1][0] < last) file.push([last, null]);
    let magnitude = 0;
    let count = 0;
    for (const p of points) {
      if (p[1] !== null) {
        magnitude = Math.max(magnitude, Math.abs(p[1]));
        ++count;
      }
    }
    const unit = unitOfKey(key);
    const scale = scaleFor(unit, magnitude);
    formatValue = (y) => {
      const s = scaleFor(unit, Math.abs(y));
      return decimal(y / s[0], 5) + ' ' + s[1] + unit;
    };
    const options = {
      file: file,
      labels: ['Time', labelOf(key)],
      // dygraphs writes the label as HTML.
      ylabel: (scale[1] + labelOf(key)).replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;'),
      axes: {
        y: {
          axisLabelFormatter: (y) => String(Number((y / scale[0]).toPrecision(6))),
          valueFormatter: formatValue,
        },
      },
    };
    if (!graph) {
      // dygraphs' own legend measures itself with an inline style, which the page's Content
      // Security Policy refuses; the page writes the legend itself.
      Dygraph.PLUGINS = Dygraph.PLUGINS.filter((plugin) => plugin !== Dygraph.Plugins.Legend);
      graph = new Dygraph($('chart'), file, Object.assign(options, {
        connectSeparatedPoints: false,
        drawGapEdgePoints: true,
        strokeWidth: 1.5,
        colors: ['#1f5fa8'],
        axisLabelFontSize: 12,
        yLabelWidth: 16,
        highlightCallback: (event, x, points) => showLegend(x, points),
        unhighlightCallback: () => showLegend(null, []),
        animatedZooms: false,
        drawCallback: (g) => showStatistics(g.xAxisRange()),
      }));
    } else {
      if (key !== graphKey && graph.isZoomed('y')) {
        // Another unit: a range of values zoomed into means nothing there; the time range stays.
        const span = graph.isZoomed('x') ? graph.xAxisRange() : null;
        graph.resetZoom();
        if (span) options.dateWindow = span;
      }
      graph.updateOptions(options);
    }
    graphKey = key;
    // For the page's test, which reads the page as a user would see it.
    $('chart').dataset.points = String(count);
    $('chart').dataset.series = key;
    $('chart').dataset.readings = String(kept.length);
    $('chart').dataset.lastNo = current ? String(current.no) : '';
  }

  // The time and value under the pointer, as the chart's legend.
  function showLegend(x, points) {
    const point = points.find((p) => p.yval !== null && !isNaN(p.yval));
    if (x === null || !point) {
      $('legend').textContent = '';
      return;
    }
    const d = new Date(x);
    const two = (n) => String(n).padStart(2, '0');
    const time = two(d.getHours()) + ':' + two(d.getMinutes()) + ':' + two(d.getSeconds()) + '.' +
                 String(d.getMilliseconds()).padStart(3, '0');
    $('legend').textContent = time + '\u2003' + formatValue(point.yval);
  }

  // Count, mean, min, max and standard deviation of every function's readings between the
  // times `range` (as the chart shows it, zoomed or not).
  function showStatistics(range) {
    const from = range[0];
    const to = range[1];
    let lo = 0;
    let hi = kept.length;
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      if (kept[mid].t < from) lo = mid + 1;
      else hi = mid;
    }
    const by = new Map();
    let total = 0;
    for (let i = lo; i < kept.length && kept[i].t <= to; ++i, ++total) {
      const r = kept[i];
      let s = by.get(r.key);
      if (!s) by.set(r.key, (s = {n: 0, mean: 0, m2: 0, min: Infinity, max: -Infinity, over: 0}));
      if (r.v === null) {
        if (r.ov) ++s.over;
        continue;
      }
      // Welford's way: steady for long runs of nearly equal readings.
      ++s.n;
      const d = r.v - s.mean;
      s.mean += d / s.n;
      s.m2 += d * (r.v - s.mean);
      if (r.v < s.min) s.min = r.v;
      if (r.v > s.max) s.max = r.v;
    }
    const body = document.createElement('tbody');
    for (const key of series.keys()) {
      const s = by.get(key);
      if (!s) continue;
      const unit = unitOfKey(key);
      const magnitude = Math.max(Math.abs(s.min), Math.abs(s.max));
      const scale = scaleFor(unit, magnitude);
      // One number of decimals for the row, as a display would show its readings.
      const decimals = decimalsFor(magnitude / scale[0], 5);
      // The row is named as the chart's list names the function (a diode test's "V", not the
      // "mV" its numbers may be shown in); the numbers carry their prefixed unit.
      const inUnit = (x, d) => fixed(x / scale[0], d) + (scale[1] + unit ? '\u2009' + scale[1] + unit : '');
      const cells = [
        labelOf(key),
        String(s.n),
        s.n ? inUnit(s.mean, decimals) : '\u2013',
        s.n ? inUnit(s.min, decimals) : '\u2013',
        s.n ? inUnit(s.max, decimals) : '\u2013',
        s.n > 1 ? inUnit(Math.sqrt(s.m2 / (s.n - 1)), decimals + 1) : '\u2013',
      ];
      const row = document.createElement('tr');
      row.dataset.key = key;
      if (key === graphKey) row.className = 'charted';
      for (const text of cells) {
        const cell = document.createElement('td');
        cell.textContent = text;
        row.appendChild(cell);
      }
      if (s.over) {
        // Overloads have no number: counted apart, below the count of numbers.
        const note = document.createElement('small');
        note.textContent = '+' + s.over + ' OL';
        row.cells[1].appendChild(note);
      }
      body.appendChild(row);
    }
    $('stats').replaceChild(body, $('stats').tBodies[0]);
    $('stats').dataset.total = String(total);
  }

  // ---- the server -----------------------------------------------------------------------------

  async function getJson(path, query) {
    const answer = await fetch(serverUrl(path, query), {cache: 'no-store'});
    if (answer.status === 401) {
      throw new Error(token ? 'the token in this link is wrong' : 'this server needs a token: open the link with ?token=\u2026');
    }
    if (!answer.ok) throw new Error(path + ': ' + answer.status + ' ' + answer.statusText);
    return answer.json();
  }

  function connect() {
    clearTimeout(retryTimer);
    if (source) source.close();
    connected = false;
    source = new EventSource(serverUrl('events', {since: String(lastNo)}));
    const mine = source;
    source.onopen = () => {
      connected = true;
      everConnected = true;
      problem = '';
      showLink();
    };
    source.addEventListener('status', (event) => {
      const st = JSON.parse(event.data);
      if (run !== null && st.run !== run) {
        // Another run of the server (the logger was restarted): its numbers start afresh, and
        // everything it holds is new to this page.
        run = st.run;
        lastNo = 0;
        gapNext = true;
        applyStatus(st);
        connect();
        return;
      }
      run = st.run;
      applyStatus(st);
    });
    source.onmessage = (event) => {
      take(JSON.parse(event.data), true);
      showReading();
      scheduleDraw();
    };
    source.onerror = () => {
      if (mine !== source) return;
      connected = false;
      gapNext = true;
      // The browser tries again by itself after a network error; not after a refusal (an
      // HTTP error such as 401 or 503), which leaves the stream closed.
      if (source.readyState === EventSource.CLOSED) {
        retryTimer = setTimeout(() => start(), RETRY_MS);
        if (!problem) problem = 'the server refused the live stream, trying again';
      }
      showLink();
    };
  }

  async function start() {
    try {
      const st = await getJson('api/status');
      if (run !== null && st.run !== run) lastNo = 0;
      run = st.run;
      applyStatus(st);
      const readings = await getJson('api/readings', {since: String(lastNo)});
      // Those from before the page opened count for the chart, not for MIN and MAX.
      for (const reading of readings) take(reading, opened);
      opened = true;
      problem = '';
      draw();
    } catch (error) {
      problem = error.message || String(error);
      showLink();
      if (/token/.test(problem)) return; // trying again will not help
      retryTimer = setTimeout(() => start(), RETRY_MS);
      return;
    }
    connect();
  }

  $('series').addEventListener('change', (event) => {
    pinned = event.target.value;
    draw();
  });
  $('all').addEventListener('click', () => {
    if (graph) graph.resetZoom();
  });
  $('reset').addEventListener('click', () => {
    extremes.clear();
    if (current) noteExtremes(current);
    showReading();
  });
  showLink();
  start();
})();
