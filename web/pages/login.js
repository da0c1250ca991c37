// The login page: sends the token to POST /login, which sets the session
// cookie, then goes back to the page that sent us here (`next`), but only
// to a path of this site.
'use strict';

(() => {
  const form = document.getElementById('login');
  const status = document.getElementById('status');

  // `next` when it is a path on this origin ("/search?user=bob"), else
  // "/". A doubled slash, a backslash or a control character could make
  // a browser read it as another host ("//evil", "/\evil").
  function nextPath() {
    const next = new URLSearchParams(location.search).get('next');
    if (typeof next !== 'string' || !next.startsWith('/') || next.startsWith('//') ||
        /[\\\u0000-\u001f\u007f]/.test(next)) {
      return '/';
    }
    const url = new URL(next, location.origin);
    return url.origin === location.origin ? url.pathname + url.search + url.hash : '/';
  }

  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    status.textContent = 'checking…';
    status.classList.remove('error');
    try {
      const response = await fetch('/login', {
        method: 'POST',
        credentials: 'same-origin',
        headers: {'Content-Type': 'text/plain'},
        body: document.getElementById('token').value.trim(),
      });
      if (response.status === 204) {
        location.assign(nextPath());
        return;
      }
      status.textContent = response.status === 401 ? 'That is not the token.' : 'HTTP ' + response.status;
    } catch (error) {
      status.textContent = error.message;
    }
    status.classList.add('error');
  });
})();
