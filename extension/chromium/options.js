// @ts-check
// The options page: the sites allowed and denied, and those the
// administrator allows.
'use strict';

// Firefox's promise-based namespace where there is one, else Chromium's.
const api = globalThis.browser ?? globalThis.chrome;
const { STORE_KEY, MANAGED_KEY } = globalThis.keloConstants;

/**
 * An element of options.html, which has them all.
 * @param {string} selector
 */
function element(selector) {
  const found = document.querySelector(selector);
  if (!found) throw new Error(`options.html has no ${selector}`);
  return /** @type {HTMLElement} */ (found);
}

/** @param {string} origin */
async function forget(origin) {
  const got = await api.storage.local.get(STORE_KEY);
  const answers = /** @type {{ [origin: string]: string }} */ (got[STORE_KEY] || {});
  delete answers[origin];
  await api.storage.local.set({ [STORE_KEY]: answers });
}

// A failed read or write is shown, never swallowed: the list on screen may
// no longer be what the extension uses.
/** @param {string} text */
function showError(text) {
  const status = element('#status');
  status.textContent = text;
  status.hidden = false;
}

/**
 * @param {string} id the table
 * @param {string[]} origins
 * @param {string | null} button what the button beside each origin says; null: no button
 */
function fill(id, origins, button) {
  const body = /** @type {HTMLTableSectionElement} */ (element(`#${id} tbody`));
  body.replaceChildren();
  for (const origin of origins.sort()) {
    const row = body.insertRow();
    row.insertCell().textContent = origin;
    const cell = row.insertCell();
    if (button) {
      const b = document.createElement('button');
      b.textContent = button;
      // Read out alone (a list of buttons), it must still say which site.
      b.setAttribute('aria-label', `${button} ${origin}`);
      b.dataset.origin = origin;
      b.addEventListener('click', () => forget(origin).catch((e) =>
        showError(`Could not change the answer for ${origin}: ${e.message}`)));
      cell.append(b);
    }
  }
  element(`#${id}-none`).hidden = origins.length > 0;
}

async function render() {
  const answers = (await api.storage.local.get(STORE_KEY))[STORE_KEY] || {};
  /** @type {string[]} */
  let managed = [];
  try {
    const list = (await api.storage.managed.get(MANAGED_KEY))[MANAGED_KEY];
    if (Array.isArray(list)) managed = list.filter((o) => typeof o === 'string');
  } catch {
    // no policy
  }
  const entries = Object.entries(answers);
  fill('allowed', entries.filter(([, a]) => a === 'allow').map(([o]) => o), 'Revoke');
  fill('denied', entries.filter(([, a]) => a === 'deny').map(([o]) => o), 'Ask again');
  fill('managed', managed, null);
}

document.getElementById('name')?.replaceChildren(api.runtime.getManifest().name);
const show = () => render().catch((e) => showError(`Could not read the sites: ${e.message}`));
api.storage.onChanged.addListener(show);
show();
