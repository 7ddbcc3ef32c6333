#!/usr/bin/env bash
# Everything a fresh Debian 12 machine needs, idempotent and cached:
# packages, the MinGW dependency builds, the Wine prefix.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
"$here/setup-packages.sh"
"$here/build-deps.sh"
"$here/fetch-corpora.sh"
