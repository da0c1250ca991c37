// The dashboard: for the chosen range (since -24h, -7d or -30d), access
// rows per hour as a bar chart, the top users, shares, addresses and
// operations, the latest failed accesses and the latest alert rows.
'use strict';

(() => {
  const RANGES = {'-24h': 24, '-7d': 7 * 24, '-30d': 30 * 24};
  const HOUR = 3600 * 1000;
  const TOPS = ['user', 'share', 'ip', 'op'];
  const select = document.getElementById('range');
  let hourly = [];

  // "2026/12/09 22" (quillo-query's hour key, local time on the server)
  // as a number of hours that orders and subtracts like the key.
  function hourOf(key) {
    const m = /^(\d{4})\D(\d{2})\D(\d{2}) (\d{2})$/.exec(key);
    return m ? Date.UTC(+m[1], m[2] - 1, +m[3], +m[4]) / HOUR : null;
  }

  function labelOf(hour, span) {
    const d = new Date(hour * HOUR);
    const two = (n) => String(n).padStart(2, '0');
    const time = two(d.getUTCHours()) + ':00';
    return span <= 24 ? time : `${two(d.getUTCMonth() + 1)}/${two(d.getUTCDate())} ${time}`;
  }

  // One bar per hour, from the range's start to the last hour with rows;
  // hours without rows are bars of height 0.
  function hourBars(counts, span) {
    const byHour = new Map();
    for (const {value, count} of counts) {
      const h = hourOf(value);
      if (h !== null) byHour.set(h, (byHour.get(h) || 0) + count);
    }
    if (byHour.size === 0) return [];
    const hours = [...byHour.keys()];
    const last = Math.max(...hours);
    const first = Math.min(Math.min(...hours), last - span + 1);
    const bars = [];
    for (let h = first; h <= last; ++h) bars.push({label: labelOf(h, span), value: byHour.get(h) || 0});
    return bars;
  }

  function drawChart() {
    const box = document.getElementById('chart');
    if (hourly.length === 0) {
      box.replaceChildren(quillo.el('p', {class: 'hint'}, 'no accesses in this range'));
    } else {
      quillo.barChart(box, hourly);
    }
  }

  async function load() {
    const since = select.value;
    const q = (more) => `kind=${more}&since=${encodeURIComponent(since)}`;
    quillo.status('loading…');
    try {
      const [hours, ...rest] = await Promise.all([
        quillo.getJson('/api/count?' + q('access&by=hour')),
        ...TOPS.map((by) => quillo.getJson('/api/count?' + q('access&by=' + by))),
        quillo.getRows('/api/rows?' + q('access&result=fail') + '&last=20'),
        quillo.getRows('/api/rows?' + q('alert') + '&last=20'),
      ]);
      hourly = hourBars(hours, RANGES[since]);
      drawChart();
      TOPS.forEach((by, i) => quillo.showCounts(document.getElementById('top-' + by), rest[i].slice(0, 10)));
      const [failed, alerts] = rest.slice(TOPS.length);
      quillo.showRows(document.getElementById('failed'), 'access', failed.rows.reverse(), 'no failed accesses');
      quillo.showRows(document.getElementById('alerts'), 'alert', alerts.rows.reverse(), 'no alerts');
      quillo.status('');
    } catch (error) {
      quillo.failed(error);
    }
  }

  const wanted = new URLSearchParams(location.search).get('range');
  if (wanted in RANGES) select.value = wanted;
  select.addEventListener('change', () => {
    history.replaceState(null, '', '/?range=' + encodeURIComponent(select.value));
    load();
  });
  let resizing = 0;
  window.addEventListener('resize', () => {
    clearTimeout(resizing);
    resizing = setTimeout(drawChart, 150);
  });
  load();
})();
