// The alerts page: the alert rows of the chosen range, newest first, 100
// a page. The API pages forward in time, so the page is placed from the
// end: the number of rows (/api/count) less 100 per newer page.
'use strict';

(() => {
  const PAGE = 100;
  const RANGES = ['', '-24h', '-7d', '-30d'];
  const select = document.getElementById('range');
  const here = new URLSearchParams(location.search);
  const page = Math.max(0, parseInt(here.get('page'), 10) || 0);
  if (RANGES.includes(here.get('range'))) select.value = here.get('range');

  function filters() {
    const params = new URLSearchParams({kind: 'alert'});
    if (select.value) params.set('since', select.value);
    return params;
  }

  function pageLink(id, number) {
    const link = document.getElementById(id);
    link.hidden = number === null;
    const params = new URLSearchParams();
    if (select.value) params.set('range', select.value);
    if (number) params.set('page', String(number));
    const query = params.toString();
    link.href = '/alerts' + (query ? '?' + query : '');
  }

  async function load() {
    quillo.status('loading…');
    try {
      const days = await quillo.getJson('/api/count?by=day&' + filters());
      const total = days.reduce((sum, d) => sum + d.count, 0);
      const end = Math.max(0, total - page * PAGE);
      const start = Math.max(0, end - PAGE);
      let rows = [];
      if (end > start) {
        const params = filters();
        params.set('limit', String(end - start));
        if (start > 0) params.set('after', String(start));
        rows = (await quillo.getRows('/api/rows?' + params)).rows.reverse();
      }
      quillo.showRows(document.getElementById('results'), 'alert', rows, 'no alert rows');
      pageLink('newer', page > 0 ? page - 1 : null);
      pageLink('older', start > 0 ? page + 1 : null);
      quillo.status(total === 0 ? '' : `alert rows ${total - end + 1}–${total - start} of ${total}, newest first`);
    } catch (error) {
      quillo.failed(error);
    }
  }

  select.addEventListener('change', () => {
    location.assign('/alerts' + (select.value ? '?range=' + encodeURIComponent(select.value) : ''));
  });
  load();
})();
