#!/usr/bin/env bash
# The monitor page in a real browser: Debian's chromium, headless, driven by
# puppeteer-core (installed from the npm registry into build/web-tests, no
# browser download) against `pelionp serve --sim`. Screenshots go to
# build/web-tests/.
#   tests/web/run.sh [PELIONP]   (default build/release/tools/pelionp)
set -euo pipefail
cd "$(dirname "$0")/../.."
tool=${1:-build/release/tools/pelionp}
dir=build/web-tests
mkdir -p "$dir"
if [ ! -f "$dir/node_modules/puppeteer-core/package.json" ]; then
  (cd "$dir" && [ -f package.json ] || echo '{"name":"pelionp-web-tests","private":true}' > package.json)
  (cd "$dir" && PUPPETEER_SKIP_DOWNLOAD=1 npm install --no-audit --no-fund --loglevel=error puppeteer-core@22.15.0)
fi
exec node tests/web/monitor_test.cjs "$tool" "$dir"
