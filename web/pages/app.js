// Shared by the pages of quillo-web: the API calls (a 401 leads to the
// login page), building elements, the row tables and the SVG bar chart.
//
// Every value that comes from the log goes into the page as text
// (textContent, createTextNode), never as markup: a path such as
// "<img src=x onerror=...>" shows as those characters.
'use strict';

const quillo = (() => {
  const SVG_NS = 'http://www.w3.org/2000/svg';

  // The columns of each kind, as quillo-query --output json names them.
  const ACCESS_COLUMNS = ['time', 'user', 'host', 'ip', 'op', 'result', 'share', 'path'];
  const SYSTEM_COLUMNS = ['time', 'text1', 'text2', 'text3'];
  const HEADINGS = {
    time: 'Time', user: 'User', host: 'Host', ip: 'Address', op: 'Operation',
    result: 'Result', share: 'Share', path: 'Path', text1: 'Source',
    text2: 'Level', text3: 'Message', value: 'Value', count: 'Rows',
  };

  // An HTML element with fixed attributes and children (strings become
  // text nodes).
  function el(tag, attrs, ...children) {
    const node = document.createElement(tag);
    for (const [name, value] of Object.entries(attrs || {})) node.setAttribute(name, value);
    for (const child of children) {
      node.appendChild(typeof child === 'string' ? document.createTextNode(child) : child);
    }
    return node;
  }

  function svg(tag, attrs) {
    const node = document.createElementNS(SVG_NS, tag);
    for (const [name, value] of Object.entries(attrs || {})) node.setAttribute(name, String(value));
    return node;
  }

  function toLogin() {
    const here = location.pathname + location.search;
    location.assign('/login?next=' + encodeURIComponent(here));
  }

  class ApiError extends Error {}

  // GETs an API path with the session cookie; raises ApiError with the
  // server's message, and leaves for the login page on a 401.
  async function get(path) {
    const response = await fetch(path, {credentials: 'same-origin'});
    if (response.status === 401) {
      toLogin();
      throw new ApiError('not logged in');
    }
    if (!response.ok) {
      let message = 'HTTP ' + response.status;
      try {
        const body = await response.json();
        message = body.error + (body.parameter ? ' (' + body.parameter + ')' : '');
      } catch (e) { /* not JSON: the status says enough */ }
      throw new ApiError(message);
    }
    return response;
  }

  async function getJson(path) {
    return (await get(path)).json();
  }

  // The rows of /api/rows (one JSON object a line) and the `after` of the
  // next page from the Link header, or null on the last page.
  async function getRows(path) {
    const response = await get(path);
    const text = await response.text();
    const rows = text.split('\n').filter((line) => line !== '').map((line) => JSON.parse(line));
    const link = response.headers.get('Link') || '';
    const match = /[?&]after=(\d+)>;\s*rel="next"/.exec(link);
    return {rows, next: match ? Number(match[1]) : null};
  }

  function columnsOf(kind) {
    return kind === 'system' ? SYSTEM_COLUMNS : ACCESS_COLUMNS;
  }

  function rowElement(columns, row) {
    const tr = el('tr');
    for (const c of columns) {
      tr.appendChild(el('td', {'data-column': c}, row[c] === undefined ? '' : String(row[c])));
    }
    return tr;
  }

  // A table of `rows` of `kind` in `box`, replacing what was there; the
  // table's body is returned for rows to be added to it.
  function showRows(box, kind, rows, empty) {
    const columns = columnsOf(kind);
    const head = el('tr');
    for (const c of columns) head.appendChild(el('th', {scope: 'col'}, HEADINGS[c]));
    const body = el('tbody');
    for (const row of rows) body.appendChild(rowElement(columns, row));
    box.replaceChildren(el('table', {class: 'rows'}, el('thead', {}, head), body));
    if (rows.length === 0 && empty) box.appendChild(el('p', {class: 'hint'}, empty));
    return body;
  }

  function appendRow(body, kind, row) {
    body.appendChild(rowElement(columnsOf(kind), row));
  }

  // A table of /api/count's values with their counts and a bar each,
  // scaled to the largest.
  function showCounts(box, counts) {
    if (counts.length === 0) {
      box.replaceChildren(el('p', {class: 'hint'}, 'no rows'));
      return;
    }
    const top = counts[0].count;
    const body = el('tbody');
    for (const {value, count} of counts) {
      const meter = svg('svg', {class: 'meter', viewBox: '0 0 100 10', preserveAspectRatio: 'none'});
      meter.appendChild(svg('rect', {class: 'bar', x: 0, y: 0, height: 10, width: (100 * count) / top}));
      body.appendChild(el('tr', {}, el('td', {class: 'value'}, value),
                          el('td', {class: 'count'}, String(count)), el('td', {class: 'meter-cell'}, meter)));
    }
    box.replaceChildren(el('table', {class: 'counts'}, body));
  }

  // Draws `bars` ([{label, value}], in order) as an SVG bar chart filling
  // the width of `box`: a <rect> per bar with its label and value as its
  // title, the largest value on the y axis and a few labels on the x axis.
  function barChart(box, bars) {
    const width = Math.max(box.clientWidth, 280);
    const height = 200;
    const pad = {left: 44, right: 8, top: 10, bottom: 36};
    const plotW = width - pad.left - pad.right;
    const plotH = height - pad.top - pad.bottom;
    const chart = svg('svg', {class: 'bars', width, height, viewBox: `0 0 ${width} ${height}`,
                              role: 'img', 'aria-label': 'rows per hour'});
    const max = bars.reduce((m, b) => Math.max(m, b.value), 0);
    const step = plotW / Math.max(bars.length, 1);
    const gap = step > 4 ? 1 : 0;
    bars.forEach((b, i) => {
      const h = max === 0 ? 0 : (plotH * b.value) / max;
      const rect = svg('rect', {class: 'bar', x: pad.left + i * step + gap / 2, y: pad.top + plotH - h,
                                width: Math.max(step - gap, 0.5), height: h});
      const title = svg('title');
      title.textContent = `${b.label}: ${b.value}`;
      rect.appendChild(title);
      chart.appendChild(rect);
    });
    chart.appendChild(svg('line', {class: 'axis', x1: pad.left, y1: pad.top + plotH,
                                   x2: width - pad.right, y2: pad.top + plotH}));
    chart.appendChild(label(pad.left - 6, pad.top + 10, String(max), 'end'));
    chart.appendChild(label(pad.left - 6, pad.top + plotH, '0', 'end'));
    // About one x label per 110 px, each under the bar it names.
    const every = Math.max(1, Math.ceil((bars.length * 110) / plotW));
    for (let i = 0; i < bars.length; i += every) {
      chart.appendChild(label(pad.left + (i + 0.5) * step, height - 14, bars[i].label, 'middle'));
    }
    box.replaceChildren(chart);
  }

  function label(x, y, text, anchor) {
    const node = svg('text', {x, y, 'text-anchor': anchor, class: 'axis-label'});
    node.textContent = text;
    return node;
  }

  function status(text, isError) {
    const node = document.getElementById('status');
    node.textContent = text;
    node.classList.toggle('error', Boolean(isError));
  }

  // Shows what went wrong with a request, unless it was the 401 that is
  // already on its way to the login page.
  function failed(error) {
    if (error instanceof ApiError && error.message === 'not logged in') return;
    status(error.message, true);
  }

  // `params` (URLSearchParams) with only the `names` that have a value.
  function pick(params, names) {
    const out = new URLSearchParams();
    for (const name of names) {
      const value = params.get(name);
      if (value !== null && value !== '') out.set(name, value);
    }
    return out;
  }

  return {el, get, getJson, getRows, showRows, appendRow, showCounts, barChart, status, failed,
          pick, toLogin, ApiError};
})();
