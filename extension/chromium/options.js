'use strict';

// Firefox's promise-based namespace where there is one, else Chromium's.
const api = globalThis.browser ?? globalThis.chrome;

const STORE_KEY = 'origins';
const MANAGED_KEY = 'allowedOrigins';

async function forget(origin) {
  const got = await api.storage.local.get(STORE_KEY);
  const answers = got[STORE_KEY] || {};
  delete answers[origin];
  await api.storage.local.set({ [STORE_KEY]: answers });
}

// A failed read or write is shown, never swallowed: the list on screen may
// no longer be what the extension uses.
function showError(text) {
  const status = document.getElementById('status');
  status.textContent = text;
  status.hidden = false;
}

function fill(id, origins, button) {
  const body = document.querySelector(`#${id} tbody`);
  body.replaceChildren();
  for (const origin of origins.sort()) {
    const row = body.insertRow();
    row.insertCell().textContent = origin;
    const cell = row.insertCell();
    if (button) {
      const b = document.createElement('button');
      b.textContent = button;
      b.dataset.origin = origin;
      b.addEventListener('click', () => forget(origin).catch((e) =>
        showError(`Could not ${button.toLowerCase()} ${origin}: ${e.message}`)));
      cell.append(b);
    }
  }
  document.getElementById(`${id}-none`).hidden = origins.length > 0;
}

async function render() {
  const answers = (await api.storage.local.get(STORE_KEY))[STORE_KEY] || {};
  let managed = [];
  try {
    const list = (await api.storage.managed.get(MANAGED_KEY))[MANAGED_KEY];
    if (Array.isArray(list)) managed = list.filter((o) => typeof o === 'string');
  } catch {
    // no policy
  }
  const entries = Object.entries(answers);
  fill('allowed', entries.filter(([, a]) => a === 'allow').map(([o]) => o), 'Revoke');
  fill('denied', entries.filter(([, a]) => a === 'deny').map(([o]) => o), 'Forget');
  fill('managed', managed, null);
}

const show = () => render().catch((e) => showError(`Could not read the sites: ${e.message}`));
api.storage.onChanged.addListener(show);
show();
