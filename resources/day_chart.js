// Draws the day chart (/api/day) or the history page's data into
// #daychart-canvas with Chart.js; without the library the note stays.
(function () {
  'use strict';
  var canvas = document.getElementById('daychart-canvas');
  var note = document.getElementById('daychart-note');
  if (!canvas || typeof Chart === 'undefined') return;

  function two(n) { return (n < 10 ? '0' : '') + n; }
  function label(t, withDate) {
    var d = new Date(t * 1000);
    var hm = two(d.getHours()) + ':' + two(d.getMinutes());
    return withDate ? two(d.getDate()) + '.' + two(d.getMonth() + 1) + '. ' + hm : hm;
  }
  function points(data, key) {
    var s = data[key] || [];
    return data.t.map(function (t, i) { return { x: t, y: s[i] }; });
  }
  function known(data, key) {
    return (data[key] || []).some(function (v) { return v !== null; });
  }

  function draw(data) {
    if (!data || !data.t) return;
    var span = data.t.length ? data.t[data.t.length - 1] - data.t[0] : 0;
    var stale = data.stale || [];
    var sets = [{
      label: 'Grid (W)', data: points(data, 'grid'), borderColor: '#1f5fbf', yAxisID: 'w',
      pointRadius: data.t.map(function (_, i) { return stale[i] ? 3 : 0; }), pointBackgroundColor: '#c00000'
    }, {
      label: 'Car (W)', data: points(data, 'car'), borderColor: '#2e8b57', yAxisID: 'w', pointRadius: 0
    }];
    if (known(data, 'battery')) {
      sets.push({ label: 'Battery (W)', data: points(data, 'battery'), borderColor: '#d98200', yAxisID: 'w',
                  pointRadius: 0 });
      sets.push({ label: 'SOC (%)', data: points(data, 'soc'), borderColor: '#888888', borderDash: [4, 3],
                  yAxisID: 'soc', pointRadius: 0 });
    }
    if (known(data, 'pv'))
      sets.push({ label: 'PV (W)', data: points(data, 'pv'), borderColor: '#e0c000', yAxisID: 'w', pointRadius: 0 });
    sets.forEach(function (s) { s.borderWidth = 1.5; s.spanGaps = false; });
    new Chart(canvas, {
      type: 'line',
      data: { datasets: sets },
      options: {
        animation: false, maintainAspectRatio: false, parsing: false, normalized: true,
        interaction: { mode: 'nearest', axis: 'x', intersect: false },
        scales: {
          x: { type: 'linear', ticks: { maxTicksLimit: 8, callback: function (v) { return label(v, span > 86400); } } },
          w: { type: 'linear', position: 'left' },
          soc: { type: 'linear', position: 'right', min: 0, max: 100, display: known(data, 'soc'),
                 grid: { drawOnChartArea: false } }
        },
        plugins: {
          tooltip: { callbacks: { title: function (items) { return items.length ? label(items[0].parsed.x, true) : ''; } } }
        }
      }
    });
    if (note) note.style.display = 'none';
  }

  var inline = document.getElementById('chart-data');
  if (inline) {
    draw(JSON.parse(inline.textContent));
  } else if (window.fetch) {
    fetch('/api/day', { cache: 'no-store' })
      .then(function (r) { return r.ok ? r.json() : null; })
      .then(draw)
      .catch(function () {});
  }
})();
