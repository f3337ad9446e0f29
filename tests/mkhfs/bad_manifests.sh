#!/usr/bin/env bash
# Faulty manifests end with status 1 and a message naming the fault.
set -uo pipefail
mkhfs=$1 work=$2
mkdir -p "$work"
failures=0
expect_error() {  # JSON, expected message fragment
    printf '%s' "$1" > "$work/m.json"
    out=$("$mkhfs" "$work/m.json" "$work/out.img" 2>&1)
    status=$?
    if [ $status -ne 1 ] || [[ "$out" != *"$2"* ]]; then
        echo "FAIL: status $status, output: $out"
        echo "      expected: $2"
        failures=$((failures + 1))
    fi
}
expect_error '{' 'not valid JSON'
expect_error '{"items": []}' 'missing "volume"'
expect_error '{"volume": {"block_size": 3000}}' 'power of two from 512 to 65536'
expect_error '{"volume": {"format": "hfs"}}' 'expected "hfs+" or "hfsx"'
expect_error '{"volume": {"colour": 1}}' 'unknown key "colour"'
expect_error '{"volume": {"key_compare": "binary"}}' 'use format hfsx'
expect_error '{"volume": {}, "items": [{"type": "file", "name": "a"}, {"type": "file", "name": "A"}]}' 'same name'
expect_error '{"volume": {}, "items": [{"type": "file", "name": "x", "data": {"pattern": "zebra", "size": 1}}]}' 'unknown pattern'
expect_error '{"volume": {}, "items": [{"type": "file", "name": "x", "data": "ab", "extents": 3}]}' 'extents need at least as many blocks'
expect_error '{"volume": {}, "items": [{"type": "hardlink", "name": "x", "target": "nope"}]}' 'unknown id "nope"'
expect_error '{"volume": {}, "items": [{"type": "file", "name": "x", "cnid": 5}]}' 'reserved'
expect_error '{"volume": {}, "items": [{"type": "file", "name": "x", "cnid": 40}, {"type": "file", "name": "y", "cnid": 40}]}' 'used twice'
expect_error '{"volume": {"attributes_file": false}, "items": [{"type": "file", "name": "x", "xattrs": [{"name": "a", "value": "b"}]}]}' 'need the attributes file'
expect_error '{"volume": {}, "items": [{"type": "file", "name": "x", "xattrs": [{"name": "a", "value": {"pattern": "zeros", "size": 5000}}]}]}' 'does not fit an attributes node inline'
expect_error '{"volume": {"size": "64K"}, "items": [{"type": "file", "name": "x", "data": {"pattern": "zeros", "size": "1M"}}]}' 'too small'
expect_error '{"volume": {}, "items": [{"type": "file", "name": "x", "compress": {"type": 8, "layout": "sideways"}}]}' 'expected "resource" or "offsets"'
expect_error '{"volume": {}, "items": [{"type": "file", "name": "x", "compress": {"type": 4, "layout": "offsets"}}]}' 'types 8 and 12 only'
expect_error '{"volume": {}, "items": [{"type": "file", "name": "\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff\u00ff"}]}' 'longer than 255'
expect_error '{"volume": {}, "items": [{"type": "folder", "name": "d", "children": [{"type": "file"}]}]}' 'items[0] "d".children[0]: missing "name"'
expect_error '{"volume": {}, "items": [{"type": "folder", "name": "d", "id": "d", "children": [{"type": "hardlink", "name": "up", "target": "d"}]}]}' 'would make a cycle'
expect_error '{"volume": {}, "container": {"format": "dmg"}}' 'expected one of "raw", "udif"'
expect_error '{"volume": {}, "container": {"band_size": 1000}}' 'non-zero multiple of 512'
expect_error '{"volume": {}, "container": {"partition_map": "gpt", "second_partition": {"type": "FFFF"}}}' 'expected a GUID'
expect_error '{"volume": {"size": "2M"}, "container": {"format": "sparseimage", "band_size": 512}}' 'at most 1008 bands'
[ $failures -eq 0 ] && echo "all faulty manifests refused"
exit $failures
