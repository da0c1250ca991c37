// The search page: the filters live in the page's query string (so a
// search can be bookmarked), the results come 100 rows a page through
// the API's `after` cursor, and "Live" follows new rows as they are
// written (/api/follow, the same filters without `until`).
'use strict';

(() => {
  const FIELDS = ['kind', 'since', 'until', 'user', 'host', 'ip', 'op', 'share', 'path', 'result'];
  const PAGE = 100;
  // Rows a live table keeps; older ones leave it as new ones come.
  const LIVE_ROWS = 1000;
  const form = document.getElementById('filters');
  const results = document.getElementById('results');
  const live = document.getElementById('live');
  const here = new URLSearchParams(location.search);
  const filters = quillo.pick(here, FIELDS);
  const kind = filters.get('kind') || 'access';
  const after = Math.max(0, parseInt(here.get('after'), 10) || 0);
  let stream = null;

  for (const name of FIELDS) {
    if (filters.has(name)) form.elements[name].value = filters.get(name);
  }

  function pageLink(id, start) {
    const link = document.getElementById(id);
    if (start === null) {
      link.hidden = true;
      return;
    }
    const params = new URLSearchParams(filters);
    if (start > 0) params.set('after', String(start));
    const query = params.toString();
    link.href = '/search' + (query ? '?' + query : '');
    link.hidden = false;
  }

  async function loadPage() {
    quillo.status('searching…');
    try {
      const params = new URLSearchParams(filters);
      params.set('limit', String(PAGE));
      if (after > 0) params.set('after', String(after));
      const {rows, next} = await quillo.getRows('/api/rows?' + params);
      quillo.showRows(results, kind, rows, 'no rows match');
      pageLink('prev', after > 0 ? Math.max(0, after - PAGE) : null);
      pageLink('next', next);
      const first = rows.length ? after + 1 : after;
      quillo.status(`rows ${first}–${after + rows.length}` + (next !== null ? ' (more on the next page)' : ''));
    } catch (error) {
      quillo.failed(error);
    }
  }

  // Live: the stream first sends the rows since `since` (or its latest
  // few), then "caught-up", then each row as it is written. The table is
  // drawn at caught-up from the last page's worth of the first ones.
  function startLive() {
    const params = new URLSearchParams(filters);
    params.delete('until');
    params.set('lines', String(PAGE));
    let body = null;
    let backlog = [];
    pageLink('prev', null);
    pageLink('next', null);
    quillo.status('live: connecting…');
    stream = new EventSource('/api/follow?' + params);
    stream.addEventListener('open', () => {
      body = null;
      backlog = [];
    });
    stream.addEventListener('message', (event) => {
      const row = JSON.parse(event.data);
      if (body === null) {
        backlog.push(row);
        if (backlog.length > PAGE) backlog.shift();
        return;
      }
      quillo.appendRow(body, kind, row);
      if (body.rows.length > LIVE_ROWS) body.deleteRow(0);
    });
    stream.addEventListener('caught-up', () => {
      body = quillo.showRows(results, kind, backlog, null);
      backlog = [];
      quillo.status('live: new rows appear at the end of the table');
    });
    stream.addEventListener('error', () => {
      if (stream.readyState !== EventSource.CLOSED) {
        quillo.status('live: connection lost, trying again…', true);
        return;
      }
      stopLive();
      live.checked = false;
      // The stream says nothing of why it was refused; a request that
      // does tells a lost login from a bad filter or a full server.
      quillo.get('/api/rows?limit=1&' + filters)
          .then(() => quillo.status('live: the server refused to follow (too many followers?)', true))
          .catch(quillo.failed);
    });
  }

  function stopLive() {
    if (stream !== null) stream.close();
    stream = null;
  }

  form.addEventListener('submit', (event) => {
    event.preventDefault();
    const query = quillo.pick(new FormData(form), FIELDS).toString();
    location.assign('/search' + (query ? '?' + query : ''));
  });
  live.addEventListener('change', () => {
    if (live.checked) {
      startLive();
    } else {
      stopLive();
      loadPage();
    }
  });
  loadPage();
})();
