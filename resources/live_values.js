// Info page: fetches /api/status every 3 s and replaces the marked values
// (span ids "lv-...") in place, with the texts the daemon renders. A source
// that has gone silent, or a daemon that does not answer, is marked stale.
(function () {
  'use strict';
  var PERIOD_MS = 3000;

  function cell(key) { return document.getElementById('lv-' + key); }
  function text(key, value) {
    var e = cell(key);
    if (e && e.textContent !== value) e.textContent = value;
  }
  // A power in the page's colours: red drawn (discharging), green given back.
  function coloured(key, watts, red, label) {
    var e = cell(key);
    if (!e) return;
    var font = document.createElement('font');
    font.color = red ? '#C00000' : '#00C000';
    font.textContent = Math.abs(watts) + ' W';
    e.replaceChildren(font, ' ' + label);
  }
  function kw(key, watts) { text(key + '-kw', '(' + (Math.abs(watts) / 1000).toFixed(1) + ' kW)'); }
  function amps(a) { return a.toFixed(1); }
  function mark(source, stale) {
    var marks = document.querySelectorAll('[data-stale="' + source + '"]');
    for (var i = 0; i < marks.length; i++) {
      marks[i].className = stale ? 'stale' : '';
      marks[i].textContent = stale ? ' stale' : '';
    }
  }
  function two(n) { return (n < 10 ? '0' : '') + n; }

  function meter(m) {
    if (m.power_W >= 0) coloured('grid', m.power_W, true, 'from the grid');
    else coloured('grid', m.power_W, false, 'to the grid');
    kw('grid', m.power_W);
    text('grid-a', m.current_A.map(amps).join(' / ') + ' A');
    text('meter-last', m.last_receive);
    var data = cell('meter-data');
    if (data) {
      if (m.stale) {
        var font = document.createElement('font');
        font.color = '#C00000';
        font.textContent = 'stale';
        data.replaceChildren(font, ', older than ' + m.timeout_s + ' s');
      } else {
        text('meter-data', 'fresh');
      }
    }
    mark('meter', m.stale);
  }
  function car(c) {
    text('mode', c.mode);
    text('car-state', c.state_text);
    text('car-plug', c.plug_text);
    text('car-enabled', c.enabled === null ? 'unknown' : String(c.enabled));
    var set_mA = Math.round(c.current_set_A * 1000), i_mA = Math.round(c.current_A[0] * 1000);
    text('car-set', set_mA + ' mA');
    text('car-set-a', '(' + amps(c.current_set_A) + ' A)');
    text('car-i', i_mA + ' mA');
    text('car-i-a', '(' + amps(c.current_A[0]) + ' A)');
    text('car-power', c.power_W + ' W');
    kw('car-power', c.power_W);
    text('car-session', c.session_kWh.toFixed(2) + ' kWh');
    text('car-total', c.total_kWh.toFixed(2) + ' kWh');
    text('car-last-reply', c.last_reply);
    text('car-last-control', c.last_control);
    mark('car', c.used && !c.answering);
  }

  function storage(s) {
    text('ss-soc', String(s.soc_pct));
    if (s.power_W === 0) text('ss-power', '0 W');
    else if (s.power_W > 0) coloured('ss-power', s.power_W, true, 'discharging');
    else coloured('ss-power', s.power_W, false, 'charging');
    kw('ss-power', s.power_W);
    mark('storage', s.stale);
  }

  function show(st) {
    text('time', st.time);
    var u = st.uptime_s;
    text('uptime', Math.floor(u / 86400) + 'd ' + two(Math.floor(u % 86400 / 3600)) + ':' +
         two(Math.floor(u % 3600 / 60)) + ':' + two(u % 60));
    meter(st.meter);
    if (st.car.used) car(st.car);
    if (st.storage.used) storage(st.storage);
    document.body.setAttribute('data-live', 'ok');
  }

  // The daemon did not answer (a restart, a lost network): nothing shown is
  // current any more.
  function lost() {
    mark('meter', true);
    mark('car', true);
    mark('storage', true);
    document.body.setAttribute('data-live', 'lost');
  }

  function next() { window.setTimeout(poll, PERIOD_MS); }
  // One request at a time; none while the page is in the background.
  function poll() {
    if (document.hidden) return next();
    fetch('/api/status', { cache: 'no-store', credentials: 'same-origin' })
      .then(function (r) { if (!r.ok) throw new Error('status ' + r.status); return r.json(); })
      .then(show)
      .catch(lost)
      .then(next);
  }
  next();
}());
