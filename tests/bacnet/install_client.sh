#!/usr/bin/env bash
# Installs the BACnet client the tests drive the server with
# (@bacnet-js/client; its version and every dependency's are pinned by
# npm/package-lock.json) into DEST/node_modules with `npm ci`, from npm's
# registry. Once it is there, a second run does nothing.
#
#   bash tests/bacnet/install_client.sh DEST
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dest=${1:?usage: install_client.sh DEST}
node=${NODE:-node}

major=$("$node" -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0)
if [[ $major -lt 20 ]]; then
  echo "install_client: the client needs Node 20 or later; found: $("$node" --version 2>/dev/null || echo none)" >&2
  exit 1
fi
mkdir -p "$dest"
if cmp -s "$here/npm/package-lock.json" "$dest/package-lock.json" &&
   [[ -f $dest/node_modules/@bacnet-js/client/package.json ]]; then
  exit 0
fi
cp "$here/npm/package.json" "$here/npm/package-lock.json" "$dest/"
cd "$dest"
npm ci --no-audit --no-fund --loglevel=error
echo "install_client: $(node -p 'require("@bacnet-js/client/package.json").version') in $dest"
