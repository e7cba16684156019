#!/usr/bin/env bash
# Prints the home directory of a make-nssdb.sh fixture, made once per build
# tree and options and reused after: making one takes seconds, and the tests
# that use it run as many processes, several at once.
#
#   cached-nssdb.sh [make-nssdb.sh options]
#
# The cache is $KELO_NSS_FIXTURE_CACHE, by default nss-fixtures/ of the build
# tree that holds this script's bin/. Its entries are named after the
# scripts' content and the options, so an edited script makes a new one.
# Others read an entry at the same time: copy it before changing anything.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cache=${KELO_NSS_FIXTURE_CACHE:-$here/../nss-fixtures}
key=$(cat "$here/make-nssdb.sh" "$here/fixture-certs.sh" <(printf '%s\n' "$@") | sha256sum | cut -c1-16)
entry=$cache/$key
mkdir -p "$cache"

# One process makes the entry while the others wait on the lock; the rename
# means a failed or killed run never leaves half a database in place.
exec 9>"$entry.lock"
flock 9
if [[ ! -s $entry/fixture/fixture.env ]]; then
  rm -rf "$entry" "$entry.tmp"
  bash "$here/make-nssdb.sh" "$entry.tmp" "$@" >/dev/null
  mv "$entry.tmp" "$entry"
fi
echo "$entry"
